// Cursors: a walk in physical order, along a key from a sought key value to a bound, or
// the one record at a position. The engine puts the key of every record a key read reaches
// into the key buffer, so the walk ends by comparing that buffer with the bound's bytes.
#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT3

#include <algorithm>
#include <cmath>
#include <cstring>

#include "binding/btrexception.h"
#include "hosts/sql/vtab.h"
#include "platform/error.h"
#include "platform/locale.h"

namespace vastrel::sql {
namespace {

constexpr int kStatusKeyNotFound = 4;
constexpr int kStatusEndOfFile = 9;
constexpr int kStatusInvalidPosition = 43;
// Finished cursors' table objects kept open per virtual table.
constexpr size_t kMaxIdle = 4;

struct Cursor : sqlite3_vtab_cursor {
  std::unique_ptr<table::TBtr> table;
  Plan plan;
  bool eof = true;
  // The bound the walk ends at: the key buffer's first stop.size() bytes, segment by
  // segment; forward the walk ends past it, backward before it.
  std::string stop;
  const Key* key = nullptr;
  bool position_known = false;
  int32_t position = 0;
};

Table& TableOf(sqlite3_vtab_cursor* c) { return *static_cast<Table*>(c->pVtab); }

// Compares the key buffer with the bound, segment by segment as the key orders them.
int CompareKey(const Cursor& c) {
  const auto* key = reinterpret_cast<const char*>(c.table->KeyBufferBytes());
  size_t at = 0;
  for (const Segment& s : c.key->segments) {
    if (at >= c.stop.size()) break;
    const size_t n = std::min(static_cast<size_t>(s.length), c.stop.size() - at);
    const std::string_view a(key + at, n), b(c.stop.data() + at, n);
    const int r = s.case_insensitive ? platform::Locale::CompareNoCase(a, b) : a.compare(b);
    if (r != 0) return r;
    at += n;
  }
  return 0;
}

bool NotFound(const engine::Btrexception& e) {
  return e.Status() == kStatusEndOfFile || e.Status() == kStatusKeyNotFound ||
         e.Status() == kStatusInvalidPosition;
}

// A walk that gives SQLite its ORDER BY refuses to go on past a key whose bytes sort
// otherwise than its characters, rather than give rows out of order.
void CheckOrder(const Cursor& c, const Table& t) {
  const auto* key = c.table->KeyBufferBytes();
  size_t at = 0;
  for (int i = 0; i < c.plan.equalities + c.plan.ordered; ++i) {
    const Segment& s = c.key->segments[static_cast<size_t>(i)];
    const size_t end = std::min(at + static_cast<size_t>(s.length), size_t{table::kKeyBufferSize});
    if (i >= c.plan.equalities) {
      for (size_t j = at; j < end; ++j) {
        if (!t.misordered[key[j]]) continue;
        const std::string& name = t.fields[static_cast<size_t>(s.column)].name;
        throw Exception(
            "the key orders \"" +
            cli::ToUtf8(std::string_view(reinterpret_cast<const char*>(key) + at, end - at),
                        t.code_page.value_or(cli::CodePage::kCp1252)) +
            "\" otherwise than SQL does; ORDER BY +" + name + " sorts in SQLite");
      }
    }
    at = end;
  }
}

// Runs a read; false at the end (or past the bound).
bool Read(Cursor& c, void (table::TBtr::*read)()) {
  c.position_known = false;
  try {
    (c.table.get()->*read)();
  } catch (const engine::Btrexception& e) {
    if (NotFound(e)) return false;
    throw;
  }
  if (c.plan.ordered) CheckOrder(c, *static_cast<Table*>(c.pVtab));
  if (c.stop.empty()) return true;
  const int r = CompareKey(c);
  return c.plan.descending ? r >= 0 : r <= 0;
}

// A bound of a range on a text key segment, as the key holds it: the text in the record's
// code page, cut or padded with blanks to the segment. Nothing when the value can't bound
// the walk safely (not text, a character the code page lacks, a control character, which
// sorts below the blanks that pad the key, a character beyond ASCII in a code page whose
// bytes sort otherwise than their characters), so that the walk goes on and SQLite judges.
std::optional<std::string> BoundText(const Table& t, const Segment& s, sqlite3_value* value) {
  if (sqlite3_value_type(value) != SQLITE_TEXT) return std::nullopt;
  const char* p = reinterpret_cast<const char*>(sqlite3_value_text(value));
  const std::string utf8(p ? p : "", static_cast<size_t>(sqlite3_value_bytes(value)));
  std::string text;
  if (t.code_page) {
    std::optional<std::string> converted = cli::FromUtf8(utf8, *t.code_page);
    if (!converted) return std::nullopt;
    text = std::move(*converted);
  } else {
    text = python::ToSingleByte(utf8);
    if (python::ToUtf8(text) != utf8) return std::nullopt;
  }
  // A bound of characters whose bytes sort as they do compares with every record's key as
  // SQL compares the texts; so does one of ASCII alone against any text.
  const bool ascii_only =
      std::any_of(t.misordered.begin(), t.misordered.end(), [](bool b) { return b; });
  for (const char ch : text) {
    const auto b = static_cast<unsigned char>(ch);
    if (b < 0x20 || (ascii_only && b >= 0x80)) return std::nullopt;
  }
  text.resize(static_cast<size_t>(s.length), ' ');
  return text;
}

// Starts the walk of a key plan.
void StartKey(Cursor& c, const Table& t, sqlite3_value** argv) {
  const Key& key = t.keys[static_cast<size_t>(c.plan.key)];
  c.key = &key;
  c.table->SetKeyNum(static_cast<int16_t>(key.number));
  std::string fixed;
  for (int i = 0; i < c.plan.equalities; ++i) {
    const Segment& s = key.segments[static_cast<size_t>(i)];
    std::string text;
    try {
      text = FieldTextOf(t, static_cast<size_t>(s.column), argv[i]);
    } catch (const python::Refusal&) {
      // A value no field holds is not sought: the whole key is walked, still in the order
      // SQLite may have been promised, and SQLite judges each row.
      c.eof = !Read(c, c.plan.descending ? &table::TBtr::Last : &table::TBtr::First);
      return;
    }
    text.resize(static_cast<size_t>(s.length), ' ');
    fixed += text;
  }
  int arg = c.plan.equalities;
  std::optional<std::string> lower, upper;
  const Segment* ranged = c.plan.lower || c.plan.upper
                              ? &key.segments[static_cast<size_t>(c.plan.equalities)]
                              : nullptr;
  if (c.plan.lower) lower = BoundText(t, *ranged, argv[arg++]);
  if (c.plan.upper) upper = BoundText(t, *ranged, argv[arg++]);

  size_t key_length = 0;
  for (const Segment& s : key.segments) key_length += static_cast<size_t>(s.length);
  std::string seek = fixed + (c.plan.descending ? upper : lower).value_or("");
  c.stop = fixed + (c.plan.descending ? lower : upper).value_or("");
  table::TBtr& b = *c.table;
  if (seek.empty()) {
    c.eof = !Read(c, c.plan.descending ? &table::TBtr::Last : &table::TBtr::First);
    return;
  }
  seek.resize(std::min(key_length, static_cast<size_t>(table::kKeyBufferSize)),
              c.plan.descending ? '\xff' : '\0');
  b.ClearKeyBuffer();
  std::memcpy(b.KeyBufferBytes(), seek.data(), seek.size());
  c.eof = !Read(c, c.plan.descending ? &table::TBtr::LessEq : &table::TBtr::GreaterEq);
}

std::string PositionText(Cursor& c) {
  try {
    c.table->GetPosition();
    return "the record at position " + std::to_string(c.table->Position());
  } catch (const std::exception&) {
    return "a record";
  }
}

}  // namespace

int Open(sqlite3_vtab* vtab, sqlite3_vtab_cursor** out) {
  Table& t = *static_cast<Table*>(vtab);
  auto c = std::make_unique<Cursor>();
  try {
    if (!t.idle.empty()) {
      c->table = std::move(t.idle.back());
      t.idle.pop_back();
    } else {
      c->table = OpenTable(t);
    }
  } catch (...) {
    return FailCurrent(vtab, "table " + t.name);
  }
  *out = c.release();
  return SQLITE_OK;
}

int Close(sqlite3_vtab_cursor* cursor) {
  std::unique_ptr<Cursor> c(static_cast<Cursor*>(cursor));
  Table& t = TableOf(cursor);
  if (c->table && t.idle.size() < kMaxIdle) t.idle.push_back(std::move(c->table));
  return SQLITE_OK;
}

int Filter(sqlite3_vtab_cursor* cursor, int idx_num, const char*, int argc, sqlite3_value** argv) {
  auto& c = *static_cast<Cursor*>(cursor);
  Table& t = TableOf(cursor);
  c.plan = DecodePlan(idx_num);
  c.stop.clear();
  c.key = nullptr;
  c.eof = true;
  table::TBtr& b = *c.table;
  try {
    b.SetStepType(table::stNormal);
    // The record at a position; a value that is no whole number is left to a walk.
    const int type = c.plan.direct ? sqlite3_value_type(argv[0]) : SQLITE_NULL;
    const double number = type == SQLITE_FLOAT ? sqlite3_value_double(argv[0]) : 0;
    if (type == SQLITE_INTEGER || (type == SQLITE_FLOAT && number == std::trunc(number))) {
      const double position =
          type == SQLITE_INTEGER ? static_cast<double>(sqlite3_value_int64(argv[0])) : number;
      if (position < 0 || position > UINT32_MAX) return SQLITE_OK;  // no record is there
      b.SetPosition(static_cast<int32_t>(static_cast<uint32_t>(position)));
      b.SetKeyNum(0);
      c.eof = !Read(c, &table::TBtr::GetDirect);
      return SQLITE_OK;
    }
    if (!c.plan.direct && c.plan.key >= 0) {
      StartKey(c, t, argv);
      return SQLITE_OK;
    }
    // Physical order: the step operations.
    c.plan = Plan{};
    c.stop.clear();
    b.SetStepType(table::stNoKeys);
    c.eof = !Read(c, &table::TBtr::First);
  } catch (...) {
    return FailCurrent(cursor->pVtab, "table " + t.name);
  }
  return SQLITE_OK;
}

int Next(sqlite3_vtab_cursor* cursor) {
  auto& c = *static_cast<Cursor*>(cursor);
  if (c.plan.direct) {
    c.eof = true;
    return SQLITE_OK;
  }
  try {
    c.eof = !Read(c, c.plan.descending ? &table::TBtr::Prev : &table::TBtr::Next);
  } catch (...) {
    return FailCurrent(cursor->pVtab, "table " + TableOf(cursor).name);
  }
  return SQLITE_OK;
}

int Eof(sqlite3_vtab_cursor* cursor) { return static_cast<Cursor*>(cursor)->eof ? 1 : 0; }

int Rowid(sqlite3_vtab_cursor* cursor, sqlite3_int64* rowid) {
  auto& c = *static_cast<Cursor*>(cursor);
  try {
    if (!c.position_known) {
      c.table->GetPosition();
      c.position = c.table->Position();
      c.position_known = true;
    }
  } catch (...) {
    return FailCurrent(cursor->pVtab, "table " + TableOf(cursor).name);
  }
  *rowid = static_cast<uint32_t>(c.position);
  return SQLITE_OK;
}

int Column(sqlite3_vtab_cursor* cursor, sqlite3_context* ctx, int column) {
  auto& c = *static_cast<Cursor*>(cursor);
  Table& t = TableOf(cursor);
  if (column == static_cast<int>(t.fields.size())) {
    sqlite3_int64 rowid = 0;
    const int rc = Rowid(cursor, &rowid);
    if (rc == SQLITE_OK) sqlite3_result_int64(ctx, rowid);
    return rc;
  }
  // An UPDATE that leaves this column as it is: the record keeps the field's bytes.
  if (sqlite3_vtab_nochange(ctx)) return SQLITE_OK;
  try {
    ResultField(ctx, t, static_cast<size_t>(column), RecordText(*c.table));
  } catch (const python::Refusal& r) {
    return Fail(cursor->pVtab, "table " + t.name + ", " + PositionText(c) + ": field \"" +
                                   t.fields[static_cast<size_t>(column)].name + "\": " + r.what());
  } catch (...) {
    return FailCurrent(cursor->pVtab, "table " + t.name);
  }
  return SQLITE_OK;
}

}  // namespace vastrel::sql
