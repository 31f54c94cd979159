// Creating and connecting the virtual table: its arguments, the dictionary's fields as
// columns and the file's keys as the planner will use them.
#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT3

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "binding/btrexception.h"
#include "hosts/common/owner_input.h"
#include "hosts/sql/vtab.h"
#include "platform/error.h"
#include "platform/locale.h"

namespace vastrel::sql {
namespace {

constexpr int kStatusRecordInUse = 84;
constexpr int kStatusFileInUse = 85;

// The arguments after the module name: name=value, the value optionally in single or
// double quotes (a doubled quote stands for one).
struct Arguments {
  std::string file, dictionary, id, owner, owner_file, code_page;
};

std::string Unquoted(std::string_view v) {
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
  if (v.size() >= 2 && (v.front() == '\'' || v.front() == '"') && v.back() == v.front()) {
    const char q = v.front();
    std::string out;
    for (size_t i = 1; i + 1 < v.size(); ++i) {
      out += v[i];
      if (v[i] == q && i + 2 < v.size() && v[i + 1] == q) ++i;
    }
    return out;
  }
  return std::string(v);
}

Arguments ParseArguments(int argc, const char* const* argv) {
  Arguments a;
  for (int i = 3; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const size_t eq = arg.find('=');
    if (eq == std::string_view::npos)
      throw Exception("argument \"" + std::string(arg) + "\" is not name=value");
    std::string name = Unquoted(arg.substr(0, eq));
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string value = Unquoted(arg.substr(eq + 1));
    std::string* target = name == "file"         ? &a.file
                          : name == "dictionary" ? &a.dictionary
                          : name == "id"         ? &a.id
                          : name == "owner"      ? &a.owner
                          : name == "owner_file" ? &a.owner_file
                          : name == "code_page"  ? &a.code_page
                                                 : nullptr;
    if (!target)
      throw Exception("unknown argument \"" + name +
                      "\"; the arguments are file, dictionary, id, owner, owner_file, code_page");
    if (!target->empty()) throw Exception("argument \"" + name + "\" is given twice");
    *target = std::move(value);
  }
  if (a.file.empty()) throw Exception("the argument file='RECORD FILE' is missing");
  if (a.dictionary.empty()) throw Exception("the argument dictionary='ITEM FILE' is missing");
  if (a.id.empty()) throw Exception("the argument id='DICTIONARY ID' is missing");
  if (!a.owner.empty() && !a.owner_file.empty())
    throw Exception("give the owner name once: owner or owner_file");
  return a;
}

std::string Quoted(std::string_view name) {
  std::string out = "\"";
  for (const char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

const char* SqlType(python::FieldKind kind) {
  switch (kind) {
    case python::FieldKind::kInteger:
    case python::FieldKind::kBoolean:
      return "INTEGER";
    case python::FieldKind::kFloat:
      return "REAL";
    default:
      return "TEXT";
  }
}

// The dictionary's fields under the ID; every one must lie inside the record.
void LoadFields(Table& t, const Arguments& a, int32_t record_length) {
  table::TBtr scratch;
  const std::string ddf = platform::FileNameFromPath(a.dictionary);
  scratch.DDFFields().LoadItems(ddf, platform::Utf8ToSingleByte(a.id));
  const auto& items = scratch.DDFFields();
  if (items.Count() == 0)
    throw Exception("dictionary " + a.dictionary + " holds no fields under the ID " + a.id +
                    " (or does not exist)");
  for (int i = 0; i < items.Count(); ++i) {
    const dictionary::TRecordItem& item = items[i];
    python::FieldSpec spec;
    spec.name = platform::SingleByteToUtf8(item.FieldName());
    if (item.FieldType() >= dictionary::kFieldTypeCount)
      throw Exception("field \"" + spec.name + "\" has an unknown type");
    spec.kind = static_cast<python::FieldKind>(item.FieldType());
    spec.offset = item.FieldOffset();
    spec.size = item.FieldSize();
    if (spec.offset < 0 || spec.size <= 0 ||
        static_cast<int64_t>(spec.offset) + spec.size > record_length)
      throw Exception("field \"" + spec.name + "\" (offset " + std::to_string(spec.offset) +
                      ", size " + std::to_string(spec.size) + ") lies outside the record of " +
                      std::to_string(record_length) + " bytes");
    for (const auto& other : t.fields) {
      if (platform::Locale::EqualNoCase(platform::Utf8ToSingleByte(other.name), item.FieldName()))
        throw Exception("the dictionary names the field \"" + spec.name + "\" twice");
    }
    if (platform::Locale::EqualNoCase(item.FieldName(), kPositionColumn))
      throw Exception("the field \"" + spec.name + "\" has the name of the position column");
    t.fields.push_back(std::move(spec));
  }
}

// The file's keys, segment by segment, with the column each segment covers.
void LoadKeys(Table& t, const keys::tkeylist& list) {
  Key key;
  for (int j = 0; j < list.Count(); ++j) {
    const keys::TKey& k = list[j];
    Segment s;
    s.length = k.Length();
    s.case_insensitive = k.CaseInsensitive();
    const bool text_key = k.KeyType() == keys::ktString || k.KeyType() == keys::ktOldString;
    // Keys that leave records out (null segments) or order by a table of their own are
    // never used: a walk along them would not meet every record.
    const bool plain = text_key && !k.Descending() && !k.KeySortedbyACS() && !k.NulSegment() &&
                       !k.AllSegmentNull();
    for (size_t c = 0; c < t.fields.size(); ++c) {
      const auto& f = t.fields[c];
      if (f.offset == k.Position() - 1 && f.size == k.Length()) {
        s.column = static_cast<int>(c);
        break;
      }
    }
    if (s.column >= 0 && plain) {
      const auto kind = t.fields[static_cast<size_t>(s.column)].kind;
      s.equality = kind == python::FieldKind::kString || kind == python::FieldKind::kInteger;
      s.ordered = kind == python::FieldKind::kString && !s.case_insensitive;
    }
    if (k.AllowDuplicates()) key.unique = false;
    if (!plain) key.number = -1;  // marks the key unusable
    key.segments.push_back(s);
    if (!k.Segment() || j + 1 == list.Count()) {
      const int number = static_cast<int>(t.keys.size());
      if (key.number != -1) key.number = number;
      t.keys.push_back(std::move(key));
      key = Key{};
    }
  }
}

}  // namespace

std::unique_ptr<table::TBtr> OpenTable(const Table& t) {
  auto table = std::make_unique<table::TBtr>();
  table->SetFileName(t.file);
  table->SetDbOwner(t.owner);
  table->SetClientID(t.session->client_id);
  table->Open();
  return table;
}

int Fail(sqlite3_vtab* vtab, const std::string& message, int code) {
  sqlite3_free(vtab->zErrMsg);
  vtab->zErrMsg = sqlite3_mprintf("%s", message.c_str());
  return code;
}

int FailCurrent(sqlite3_vtab* vtab, const std::string& context) {
  const std::string prefix = context.empty() ? "" : context + ": ";
  try {
    throw;
  } catch (const engine::Btrexception& e) {
    std::string text = e.what();
    const size_t cr = text.find('\r');
    if (cr != std::string::npos) text = text.substr(0, cr);
    const Table& t = *static_cast<Table*>(vtab);
    const int code = e.Status() == kStatusRecordInUse || e.Status() == kStatusFileInUse
                         ? SQLITE_BUSY
                         : SQLITE_ERROR;
    return Fail(vtab, prefix + text + ": " + t.file_utf8, code);
  } catch (const python::Refusal& e) {
    return Fail(vtab, prefix + e.what());
  } catch (const std::bad_alloc&) {
    return SQLITE_NOMEM;
  } catch (const std::exception& e) {
    return Fail(vtab, prefix + e.what());
  }
}

int Create(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** vtab,
           char** error) {
  auto t = std::make_unique<Table>();
  std::memset(static_cast<sqlite3_vtab*>(t.get()), 0, sizeof(sqlite3_vtab));
  t->session = static_cast<Session*>(aux);
  t->name = argv[2];
  try {
    const Arguments a = ParseArguments(argc, argv);
    t->file = platform::FileNameFromPath(a.file);
    t->file_utf8 = a.file;
    if (!a.owner_file.empty()) {
      t->owner = cli::ReadOwnerFile(a.owner_file);
    } else if (!a.owner.empty()) {
      t->owner = a.owner;
    } else if (const char* env = std::getenv(cli::kOwnerVariable)) {
      t->owner = env;
    }
    if (!a.code_page.empty()) {
      t->code_page = cli::CodePageNamed(a.code_page);
      if (!t->code_page)
        throw Exception("unknown code page \"" + a.code_page + "\"; the code pages are " +
                        cli::kCodePageNames);
    }
    const bool latin1 = t->code_page == cli::CodePage::kLatin1;
    const bool cp1252 = !t->code_page || t->code_page == cli::CodePage::kCp1252;
    for (int b = 0x80; b < 0x100; ++b) t->misordered[b] = !latin1 && (!cp1252 || b < 0xA0);
    std::unique_ptr<table::TBtr> first = OpenTable(*t);
    t->formats.true_text = first->TRUEFormat();
    t->formats.false_text = first->FALSEFormat();
    t->formats.date = first->DATEFormat();
    t->formats.time = first->TIMEFormat();
    t->formats.decimal = first->DecimalSeparator();
    LoadFields(*t, a, first->DataBufferLength());
    LoadKeys(*t, first->Keys());
    t->record_count = first->RecordCount();
    t->idle.push_back(std::move(first));

    std::string schema = "CREATE TABLE x(";
    for (const auto& f : t->fields) schema += Quoted(f.name) + " " + SqlType(f.kind) + ", ";
    schema += std::string(kPositionColumn) + " INTEGER HIDDEN)";
    const int rc = sqlite3_declare_vtab(db, schema.c_str());
    if (rc != SQLITE_OK) throw Exception(sqlite3_errmsg(db));
  } catch (const engine::Btrexception& e) {
    std::string text = e.what();
    const size_t cr = text.find('\r');
    if (cr != std::string::npos) text = text.substr(0, cr);
    *error =
        sqlite3_mprintf("vastrel table %s: %s: %s", argv[2], text.c_str(), t->file_utf8.c_str());
    return SQLITE_ERROR;
  } catch (const std::exception& e) {
    *error = sqlite3_mprintf("vastrel table %s: %s", argv[2], e.what());
    return SQLITE_ERROR;
  }
  *vtab = t.release();
  return SQLITE_OK;
}

int Disconnect(sqlite3_vtab* vtab) {
  // Writes of this table that a rollback to a savepoint would undo can't be undone without it.
  Session& s = *static_cast<Table*>(vtab)->session;
  const auto before = s.undo.size();
  std::erase_if(s.undo, [&](const Undo& u) { return u.table == vtab; });
  if (s.undo.size() != before) s.doomed = true;
  // Closing may fail (nothing can report it here); the table objects' destructors drop it.
  delete static_cast<Table*>(vtab);
  return SQLITE_OK;
}

}  // namespace vastrel::sql
