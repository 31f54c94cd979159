#include "hosts/cli/dict_verb.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "dictionary/field_type.h"
#include "dictionary/item_file.h"
#include "hosts/cli/errors.h"
#include "keys/file_flags.h"
#include "platform/locale.h"
#include "table/btr.h"

namespace vastrel::cli {
namespace {

namespace fs = std::filesystem;
namespace json = automation::json;
using dictionary::ItemRecord;
using platform::Locale;

// A dictionary as the tool holds it: names in UTF-8, numbers wide enough for any input, so
// that a value out of range is named rather than cut.
struct Field {
  std::string name;
  int64_t type = 0;
  int64_t offset = 0;
  int64_t size = 0;
};
struct Index {
  std::string name;
  int64_t key = 0;
};
struct Dictionary {
  std::string id;
  std::vector<Field> fields;
  std::vector<Index> indexes;
};

// What a check sets the fields and indexes against: the record file's description.
struct RecordShape {
  int64_t length = 0;
  bool variable = false;  // fields may reach beyond the fixed part
  int64_t keys = 0;
};

struct DictOptions {
  std::string ddf, id, from, record_file, owner, field, type, index;
  int64_t offset = 0, size = 0, key = 0;
  bool overlap = false, replace = false;
  CLI::App *show = nullptr, *create = nullptr, *add = nullptr, *remove = nullptr, *check = nullptr;
};
DictOptions g;

// ---- Names ----------------------------------------------------------------------------------

// The names of the field types, for a refusal: "ft_STRING, ft_INTEGER, ...".
std::string TypeNames() {
  std::string out;
  for (int t = 0; t < dictionary::kFieldTypeCount; ++t) {
    if (t) out += ", ";
    out += dictionary::FieldTypeName(static_cast<uint8_t>(t));
  }
  return out;
}

// A type by its name: the stored name ("ft_INTEGER"), or without regard to case, with or
// without its "ft_" ("integer").
std::optional<int64_t> TypeNamed(const std::string& name) {
  const std::string upper = Locale::ToUpper(name);
  for (int t = 0; t < dictionary::kFieldTypeCount; ++t) {
    const std::string stored = dictionary::FieldTypeName(static_cast<uint8_t>(t));
    if (upper == stored.substr(3) || upper == Locale::ToUpper(stored)) return t;
  }
  return std::nullopt;
}

// A name or ID of the file: single-byte text. Empty when the text holds a character the
// code page lacks.
std::string SingleByte(const std::string& utf8) {
  const std::string out = platform::Utf8ToSingleByte(utf8);
  return platform::SingleByteToUtf8(out) == utf8 ? out : std::string();
}

// Why a name cannot be stored as it is; empty when it can.
std::string NameProblem(const std::string& utf8, size_t limit) {
  if (utf8.empty()) return "has no name";
  const std::string stored = SingleByte(utf8);
  if (stored.empty()) return "holds a character the code page (Windows-1252) lacks";
  if (stored.size() > limit) {
    return "is " + std::to_string(stored.size()) + " characters long; a name keeps at most " +
           std::to_string(limit);
  }
  return {};
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// The ID as the file stores it; refused when it cannot be stored whole.
std::string StoredId(const std::string& id) {
  const std::string problem = NameProblem(id, dictionary::kItemIdSize);
  if (!problem.empty()) throw DataError("the ID " + Quoted(id) + " " + problem);
  return SingleByte(id);
}

// ---- Reading and writing the file -------------------------------------------------------------

// Inputs larger than these are refused before they are read: a dictionary of a million
// definitions, a JSON document of 16 MiB, are far beyond any record's fields.
constexpr uintmax_t kMaxItemFile = uintmax_t{1'000'000} * dictionary::kItemRecordSize;
constexpr uintmax_t kMaxJson = uintmax_t{16} << 20;

// Refuses a file larger than the limit, before it is read.
void RefuseLarger(const std::string& file, uintmax_t limit) {
  std::error_code ec;
  const uintmax_t size = fs::file_size(file, ec);
  if (!ec && size > limit) {
    throw DataError(file + " holds " + std::to_string(size) + " bytes, more than the " +
                    std::to_string(limit) + " this command reads");
  }
}

// The records of the item file; none when it is missing and need not exist.
std::vector<ItemRecord> ReadRecords(const std::string& ddf, bool must_exist) {
  const std::string name = platform::FileNameFromPath(ddf);
  RefuseLarger(ddf, kMaxItemFile);
  std::vector<uint8_t> bytes;
  if (!dictionary::ReadItemFile(name, &bytes)) {
    if (must_exist) throw DataError(ddf + ": no such dictionary file");
    return {};
  }
  return dictionary::DecodeItemFile(bytes, name);
}

// Whether the record is a field or index definition of the ID (letter case ignored).
bool IsOfId(const ItemRecord& r, const std::string& stored_id) {
  return (r.kind == dictionary::kFieldRecordKind || r.kind == dictionary::kIndexRecordKind) &&
         Locale::EqualNoCase(r.id, stored_id);
}

// The IDs the records hold, each once, in file order: "A, B", or "none".
std::string IdsOf(const std::vector<ItemRecord>& records) {
  std::vector<std::string> ids;
  for (const ItemRecord& r : records) {
    const bool seen = std::any_of(ids.begin(), ids.end(), [&](const std::string& id) {
      return Locale::EqualNoCase(id, r.id);
    });
    if (!seen) ids.push_back(r.id);
  }
  std::string out;
  for (const std::string& id : ids)
    out += (out.empty() ? "" : ", ") + platform::SingleByteToUtf8(id);
  return out.empty() ? "none" : out;
}

// The dictionary of the ID among the records: its fields and indexes in file order.
Dictionary FromRecords(const std::vector<ItemRecord>& records, const std::string& stored_id) {
  Dictionary d;
  d.id = platform::SingleByteToUtf8(stored_id);
  bool first = true;
  for (const ItemRecord& r : records) {
    if (!IsOfId(r, stored_id)) continue;
    if (first) d.id = platform::SingleByteToUtf8(r.id);  // as the file spells it
    first = false;
    if (r.kind == dictionary::kFieldRecordKind) {
      d.fields.push_back({platform::SingleByteToUtf8(r.name), r.field_type, r.offset, r.size});
    } else {
      d.indexes.push_back({platform::SingleByteToUtf8(r.name), r.offset});
    }
  }
  return d;
}

// The dictionary of the ID; refused when the file lacks it, naming the IDs it holds.
Dictionary Load(const std::string& ddf, const std::string& id) {
  const std::string stored_id = StoredId(id);
  const std::vector<ItemRecord> records = ReadRecords(ddf, true);
  Dictionary d = FromRecords(records, stored_id);
  if (d.fields.empty() && d.indexes.empty()) {
    throw DataError(ddf + ": no dictionary under the ID " + Quoted(id) +
                    "; the IDs in the file: " + IdsOf(records));
  }
  return d;
}

// Writes the records as the whole file: into a new file beside it, which then takes its
// place, so that a failure leaves the old file as it was. The new file keeps the old one's
// permissions; a link is followed to the file it names.
void WriteRecords(const std::string& ddf, const std::vector<ItemRecord>& records) {
  std::error_code ec;
  struct stat st {};
  if (::stat(ddf.c_str(), &st) != 0) {
    // A new file: made as the dictionary layer makes one.
    dictionary::SaveItemRecords(platform::FileNameFromPath(ddf), true, false, records);
    return;
  }
  fs::path target = fs::is_symlink(ddf, ec) ? fs::canonical(ddf) : fs::path(ddf);
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::string temp = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    throw DataError("cannot write " + ddf +
                    ": a new file beside it cannot be made: " + std::strerror(errno));
  }
  auto fail = [&](int error) {
    ::close(fd);
    ::unlink(temp.c_str());
    throw DataError("cannot write " + ddf + ": " + std::strerror(error));
  };
  if (::fchmod(fd, st.st_mode & 07777) != 0) fail(errno);
  try {
    dictionary::SaveItemRecords(platform::FileNameFromPath(temp), true, false, records);
  } catch (...) {
    ::close(fd);
    ::unlink(temp.c_str());
    throw;
  }
  // On the disk before it takes the old file's place, so that a crash leaves one whole.
  if (::fsync(fd) != 0) fail(errno);
  ::close(fd);
  if (std::rename(temp.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    throw DataError("cannot write " + ddf + ": " + std::strerror(error));
  }
}

// Puts the dictionary in place of the ID's fields and indexes, where the first of them stood
// (at the end for a new ID); the records of other IDs stay as they are.
void Store(const std::string& ddf, const Dictionary& d) {
  const std::string stored_id = StoredId(d.id);
  std::vector<ItemRecord> records = ReadRecords(ddf, false);
  const auto first = std::find_if(records.begin(), records.end(),
                                  [&](const ItemRecord& r) { return IsOfId(r, stored_id); });
  const ptrdiff_t at = first - records.begin();
  std::erase_if(records, [&](const ItemRecord& r) { return IsOfId(r, stored_id); });
  std::vector<ItemRecord> mine;
  for (const Field& f : d.fields) {
    mine.push_back({stored_id, SingleByte(f.name), static_cast<uint8_t>(f.type),
                    static_cast<int32_t>(f.offset), static_cast<int32_t>(f.size),
                    dictionary::kFieldRecordKind});
  }
  for (const Index& i : d.indexes) {
    mine.push_back({stored_id, SingleByte(i.name), 0, static_cast<int32_t>(i.key), 0,
                    dictionary::kIndexRecordKind});
  }
  records.insert(records.begin() + at, mine.begin(), mine.end());
  WriteRecords(ddf, records);
}

// ---- The checks -------------------------------------------------------------------------------

// A field and its bytes as the problems name them: field "Qty" (bytes 26 to 31).
std::string FieldLabel(const Field& f) { return "field " + Quoted(f.name); }
std::string Bytes(const Field& f) {
  return "(bytes " + std::to_string(f.offset) + " to " + std::to_string(f.offset + f.size - 1) +
         ")";
}

// Everything that keeps the dictionary from being stored whole or from describing the record:
// each problem as one line. `shape`, when known, is the record file's description.
std::vector<std::string> Problems(const Dictionary& d, bool overlap_allowed,
                                  const RecordShape* shape) {
  std::vector<std::string> out;
  constexpr int64_t kMax = INT32_MAX;
  bool ranges_known = true;
  for (const Field& f : d.fields) {
    const std::string name = NameProblem(f.name, dictionary::kItemNameSize);
    if (!name.empty()) out.push_back(FieldLabel(f) + " " + name);
    if (f.type < 0 || f.type >= dictionary::kFieldTypeCount) {
      out.push_back(FieldLabel(f) + ": type " + std::to_string(f.type) + " is none of " +
                    TypeNames());
    }
    const bool offset_ok = f.offset >= 0 && f.offset <= kMax;
    const bool size_ok = f.size >= 1 && f.size <= kMax;
    if (!offset_ok) {
      out.push_back(FieldLabel(f) + ": the offset " + std::to_string(f.offset) +
                    " is not from 0 to " + std::to_string(kMax));
    }
    if (!size_ok) {
      out.push_back(FieldLabel(f) + ": the size " + std::to_string(f.size) + " is not from 1 to " +
                    std::to_string(kMax));
    }
    // Past here offset + size fits a 64-bit sum.
    ranges_known = ranges_known && offset_ok && size_ok;
    if (offset_ok && size_ok && shape && !shape->variable && f.offset + f.size > shape->length) {
      out.push_back(FieldLabel(f) + " " + Bytes(f) + " ends beyond the record's " +
                    std::to_string(shape->length) + " bytes");
    }
  }
  auto same_names = [&](const char* what, const std::string& a, const std::string& b) {
    if (!a.empty() && Locale::EqualNoCase(SingleByte(a), SingleByte(b)))
      out.push_back(std::string(what) + " " + Quoted(a) + " and " + Quoted(b) +
                    ": the same name (names compare without regard to case)");
  };
  for (size_t i = 0; i < d.fields.size(); ++i)
    for (size_t j = i + 1; j < d.fields.size(); ++j)
      same_names("fields", d.fields[i].name, d.fields[j].name);
  if (!overlap_allowed && ranges_known) {
    std::vector<const Field*> by_offset;
    for (const Field& f : d.fields) by_offset.push_back(&f);
    std::stable_sort(by_offset.begin(), by_offset.end(),
                     [](const Field* a, const Field* b) { return a->offset < b->offset; });
    for (size_t i = 0; i < by_offset.size(); ++i) {
      for (size_t j = i + 1; j < by_offset.size(); ++j) {
        const Field& a = *by_offset[i];
        const Field& b = *by_offset[j];
        if (b.offset >= a.offset + a.size) break;
        out.push_back("fields " + Quoted(a.name) + " " + Bytes(a) + " and " + Quoted(b.name) + " " +
                      Bytes(b) + " overlap (--overlap allows it)");
      }
    }
  }
  for (const Index& x : d.indexes) {
    const std::string label = "index " + Quoted(x.name);
    const std::string name = NameProblem(x.name, dictionary::kItemNameSize);
    if (!name.empty()) out.push_back(label + " " + name);
    if (x.key < 0 || x.key > kMax) {
      out.push_back(label + ": the key number " + std::to_string(x.key) + " is not from 0 to " +
                    std::to_string(kMax));
    } else if (shape && x.key >= shape->keys) {
      out.push_back(label + ": key " + std::to_string(x.key) + " does not exist; the file has " +
                    (shape->keys == 0 ? std::string("no keys")
                                      : "keys 0 to " + std::to_string(shape->keys - 1)));
    }
  }
  for (size_t i = 0; i < d.indexes.size(); ++i)
    for (size_t j = i + 1; j < d.indexes.size(); ++j)
      same_names("indexes", d.indexes[i].name, d.indexes[j].name);
  return out;
}

// Refuses with every problem, one to a line.
void Refuse(const std::string& what, const std::vector<std::string>& problems) {
  if (problems.empty()) return;
  std::string message = what + ": " + std::to_string(problems.size()) +
                        (problems.size() == 1 ? " problem" : " problems") + "; nothing written";
  for (const std::string& p : problems) message += "\n  " + p;
  throw DataError(message);
}

// ---- JSON -------------------------------------------------------------------------------------

// The dictionary as the JSON that show prints and create reads.
json::Value ToJson(const Dictionary& d) {
  json::Object out;
  out.Set("id", d.id);
  json::Array fields;
  for (const Field& f : d.fields) {
    json::Object o;
    o.Set("name", f.name);
    if (f.type >= 0 && f.type < dictionary::kFieldTypeCount) {
      o.Set("type", dictionary::FieldTypeName(static_cast<uint8_t>(f.type)));
    } else {
      o.Set("type", f.type);  // outside the known types: shown as stored
    }
    o.Set("offset", f.offset);
    o.Set("size", f.size);
    fields.push_back(std::move(o));
  }
  out.Set("fields", std::move(fields));
  json::Array indexes;
  for (const Index& x : d.indexes) {
    json::Object o;
    o.Set("name", x.name);
    o.Set("key", x.key);
    indexes.push_back(std::move(o));
  }
  out.Set("indexes", std::move(indexes));
  return out;
}

// Readers of the JSON input: each refusal names `where` and the member.
void OnlyMembers(const json::Object& o, std::initializer_list<std::string_view> names,
                 const std::string& where) {
  for (const json::Member& m : o) {
    if (std::find(names.begin(), names.end(), m.name) != names.end()) continue;
    std::string valid;
    for (std::string_view n : names) valid += (valid.empty() ? "" : ", ") + std::string(n);
    throw DataError(where + ": unknown member " + Quoted(m.name) + "; the members are " + valid);
  }
}

const json::Value& Member(const json::Object& o, const char* name, const std::string& where) {
  const json::Value* v = o.Find(name);
  if (!v) throw DataError(where + ": " + Quoted(name) + " is missing");
  return *v;
}

std::string Text(const json::Object& o, const char* name, const std::string& where) {
  const json::Value& v = Member(o, name, where);
  if (!v.IsString()) throw DataError(where + ": " + Quoted(name) + " must be a text");
  return v.AsString();
}

int64_t Whole(const json::Object& o, const char* name, const std::string& where) {
  const json::Value& v = Member(o, name, where);
  if (!v.IsInt()) throw DataError(where + ": " + Quoted(name) + " must be a whole number");
  return v.AsInt();
}

const json::Array& List(const json::Object& o, const char* name, const std::string& where) {
  static const json::Array kNone;
  const json::Value* v = o.Find(name);
  if (!v) return kNone;
  if (!v->IsArray()) throw DataError(where + ": " + Quoted(name) + " must be a list");
  return v->AsArray();
}

// A field type by its name; an unknown one is refused with the names there are.
int64_t TypeOf(const std::string& name, const std::string& where) {
  const std::optional<int64_t> type = TypeNamed(name);
  if (!type) {
    throw DataError(where + ": unknown type " + Quoted(name) + "; the types are " + TypeNames());
  }
  return *type;
}

// The dictionary of a JSON value of the form ToJson writes.
Dictionary FromJson(const json::Value& value, const std::string& id, const std::string& source) {
  if (!value.IsObject()) throw DataError(source + ": a dictionary is a JSON object");
  const json::Object& o = value.AsObject();
  OnlyMembers(o, {"id", "fields", "indexes"}, source);
  Dictionary d;
  d.id = id;
  if (const json::Value* given = o.Find("id")) {
    if (!given->IsString() || !Locale::EqualNoCase(SingleByte(given->AsString()), StoredId(id))) {
      throw DataError(source + ": the dictionary's \"id\" is " +
                      (given->IsString() ? Quoted(given->AsString()) : "not a text") +
                      ", --id says " + Quoted(id));
    }
  }
  const json::Array& fields = List(o, "fields", source);
  for (size_t i = 0; i < fields.size(); ++i) {
    std::string where = source + ": field " + std::to_string(i + 1);
    if (!fields[i].IsObject()) throw DataError(where + " is not an object");
    const json::Object& f = fields[i].AsObject();
    OnlyMembers(f, {"name", "type", "offset", "size"}, where);
    Field field;
    field.name = Text(f, "name", where);
    where += " (" + Quoted(field.name) + ")";
    const json::Value& type = Member(f, "type", where);
    if (type.IsInt()) {
      field.type = type.AsInt();
    } else if (type.IsString()) {
      field.type = TypeOf(type.AsString(), where);
    } else {
      throw DataError(where + ": \"type\" must be one of " + TypeNames());
    }
    field.offset = Whole(f, "offset", where);
    field.size = Whole(f, "size", where);
    d.fields.push_back(field);
  }
  const json::Array& indexes = List(o, "indexes", source);
  for (size_t i = 0; i < indexes.size(); ++i) {
    const std::string where = source + ": index " + std::to_string(i + 1);
    if (!indexes[i].IsObject()) throw DataError(where + " is not an object");
    const json::Object& x = indexes[i].AsObject();
    OnlyMembers(x, {"name", "key"}, where);
    d.indexes.push_back({Text(x, "name", where), Whole(x, "key", where)});
  }
  if (d.fields.empty() && d.indexes.empty()) {
    throw DataError(source + ": the dictionary has no fields and no indexes");
  }
  return d;
}

// The record's shape as a description of `create`/`describe` gives it.
std::optional<RecordShape> ShapeOfDescription(const json::Object& description) {
  const json::Value* length = description.Find("record_length");
  if (!length || !length->IsInt()) return std::nullopt;
  RecordShape shape;
  shape.length = length->AsInt();
  if (const json::Value* keys = description.Find("keys"); keys && keys->IsArray())
    shape.keys = static_cast<int64_t>(keys->AsArray().size());
  if (const json::Value* flags = description.Find("file_flags"); flags && flags->IsArray()) {
    for (const json::Value& f : flags->AsArray())
      if (f.IsString() && f.AsString() == keys::kFileFlagNames[keys::ffVariableLength])
        shape.variable = true;
  }
  return shape;
}

// ---- The subcommands --------------------------------------------------------------------------

// A JSON value on standard output, on a line of its own.
void Print(const json::Value& v) {
  std::fputs(json::Write(v).c_str(), stdout);
  std::fputs("\n", stdout);
}

// dict show, create, add, remove and check, each on the options parsed into g.
int Show() {
  if (!g.id.empty()) {
    Print(ToJson(Load(g.ddf, g.id)));
    return 0;
  }
  const std::vector<ItemRecord> records = ReadRecords(g.ddf, true);
  json::Array all;
  for (const std::string& id : dictionary::ListItemIDs(platform::FileNameFromPath(g.ddf))) {
    Dictionary d = FromRecords(records, id);
    if (!d.fields.empty() || !d.indexes.empty()) all.push_back(ToJson(d));
  }
  Print(all);
  return 0;
}

int Create() {
  RefuseLarger(g.from, kMaxJson);
  std::ifstream in(g.from, std::ios::binary);
  if (!in) throw DataError("cannot read " + g.from + ": " + std::strerror(errno));
  json::Value value;
  try {
    value = json::Parse(std::string(std::istreambuf_iterator<char>(in), {}));
  } catch (const json::ParseError& e) {
    throw DataError(g.from + ": " + e.what());
  }
  CreateDictionary(g.ddf, g.id, value, g.from, g.replace);
  return 0;
}

// The dictionary as it stands, or an empty one when the file does not hold the ID yet.
Dictionary LoadOrNew(const std::string& ddf, const std::string& id) {
  return FromRecords(ReadRecords(ddf, false), StoredId(id));
}

int Add() {
  Dictionary d = LoadOrNew(g.ddf, g.id);
  const std::vector<std::string> before = Problems(d, g.overlap, nullptr);
  if (!g.field.empty()) {
    d.fields.push_back({g.field, TypeOf(g.type, "--type"), g.offset, g.size});
  } else {
    d.indexes.push_back({g.index, g.key});
  }
  // Only what the new item brings is refused: an older problem is for check to tell.
  std::vector<std::string> added;
  for (const std::string& p : Problems(d, g.overlap, nullptr))
    if (std::find(before.begin(), before.end(), p) == before.end()) added.push_back(p);
  Refuse(g.ddf, added);
  Store(g.ddf, d);
  return 0;
}

int Remove() {
  Dictionary d = Load(g.ddf, g.id);
  const bool field = !g.field.empty();
  const std::string& name = field ? g.field : g.index;
  const std::string stored = SingleByte(name);
  auto named = [&](const auto& item) {
    return !stored.empty() && Locale::EqualNoCase(SingleByte(item.name), stored);
  };
  auto remove = [&](auto& items, const char* what) {
    const auto it = std::find_if(items.begin(), items.end(), named);
    if (it == items.end()) {
      std::string names;
      for (const auto& item : items) names += (names.empty() ? "" : ", ") + item.name;
      throw DataError(g.ddf + ": the dictionary " + Quoted(g.id) + " has no " + what + " " +
                      Quoted(name) + "; its " + what + "s: " + (names.empty() ? "none" : names));
    }
    items.erase(it);
  };
  if (field) {
    remove(d.fields, "field");
  } else {
    remove(d.indexes, "index");
  }
  Store(g.ddf, d);
  return 0;
}

int Check() {
  const Dictionary d = Load(g.ddf, g.id);
  table::TBtr t;
  t.SetFileName(platform::FileNameFromPath(g.record_file));
  t.SetDbOwner(platform::Utf8ToSingleByte(g.owner));
  t.SetOpenMode(table::bomReadOnly);
  t.Open();
  RecordShape shape;
  shape.length = t.RecordSize();
  shape.variable = t.FileFlags().Contains(keys::ffVariableLength);
  shape.keys = t.NumberOfKeys();
  t.Close();
  const std::vector<std::string> problems = Problems(d, g.overlap, &shape);
  std::printf("dictionary %s: %zu fields, %zu indexes; %s: records of %lld bytes%s, %lld keys\n",
              d.id.c_str(), d.fields.size(), d.indexes.size(), g.record_file.c_str(),
              static_cast<long long>(shape.length), shape.variable ? " and more" : "",
              static_cast<long long>(shape.keys));
  for (const std::string& p : problems) std::printf("  problem: %s\n", p.c_str());
  if (problems.empty()) {
    std::printf("ok\n");
  } else {
    std::printf("%zu problem%s\n", problems.size(), problems.size() == 1 ? "" : "s");
  }
  return problems.empty() ? 0 : 1;
}

}  // namespace

json::Value DictionaryJson(const std::string& ddf, const std::string& id) {
  return ToJson(Load(ddf, id));
}

void RequireFields(const std::string& ddf, const std::string& id) {
  const std::vector<ItemRecord> records = ReadRecords(ddf, true);
  const std::string stored_id = SingleByte(id);
  if (stored_id.empty() || FromRecords(records, stored_id).fields.empty()) {
    throw DataError(ddf + ": no fields under the ID " + Quoted(id) +
                    "; the IDs in the file: " + IdsOf(records));
  }
}

void CreateDictionary(const std::string& ddf, const std::string& id, const json::Value& value,
                      const std::string& source, bool replace, bool check_only) {
  const std::string stored_id = StoredId(id);
  const json::Value* dictionary = &value;
  std::optional<RecordShape> shape;
  if (value.IsObject()) {
    if (const json::Value* inner = value.AsObject().Find("dictionary")) {
      dictionary = inner;
      shape = ShapeOfDescription(value.AsObject());
    } else if (value.AsObject().Find("record_length")) {
      throw DataError(source + ": the description has no member \"dictionary\"");
    }
  }
  const Dictionary d = FromJson(*dictionary, id, source);
  Refuse(source, Problems(d, g.overlap, shape ? &*shape : nullptr));
  const std::vector<ItemRecord> records = ReadRecords(ddf, false);
  if (!replace && std::any_of(records.begin(), records.end(),
                              [&](const ItemRecord& r) { return IsOfId(r, stored_id); })) {
    throw DataError(ddf + " holds a dictionary under the ID " + Quoted(id) +
                    " already; --replace puts this one in its place");
  }
  if (!check_only) Store(ddf, d);
}

CLI::App* AddDictVerb(CLI::App& app, const std::string& footer, OwnerNames& owners) {
  CLI::App* dict = app.add_subcommand(
      "dict",
      "field and index dictionaries (dictionary item files) as JSON: show, create, "
      "add, remove, check");
  dict->footer(footer);
  dict->require_subcommand(1);
  auto sub = [&](const char* name, const char* help, bool id_required) {
    CLI::App* s = dict->add_subcommand(name, help);
    s->footer(footer);
    s->add_option("DDF", g.ddf, "the dictionary item file")->required();
    CLI::Option* id = s->add_option("--id", g.id, "the dictionary's ID, at most 10 characters");
    if (id_required) id->required();
    return s;
  };
  g.show = sub("show", "one dictionary (--id), or every one the file holds, as JSON", false);

  g.create = sub("create",
                 "stores a dictionary from its JSON: the form show prints, or a description "
                 "of create/describe with a \"dictionary\" member",
                 true);
  g.create->add_option("FROM", g.from, "the JSON file")->required();
  g.create->add_flag("--replace", g.replace, "replaces a dictionary of that ID");
  g.create->add_flag("--overlap", g.overlap, "lets fields overlap");

  g.add = sub("add",
              "adds a field (--field with --type, --offset, --size) or an index "
              "(--index with --key); creates the file or the ID when missing",
              true);
  CLI::Option_group* adding = g.add->add_option_group("item", "the field or the index");
  CLI::Option* field = adding->add_option("--field", g.field, "the new field's name");
  CLI::Option* index = adding->add_option("--index", g.index, "the new index's name");
  adding->require_option(1);
  CLI::Option* type =
      g.add->add_option("--type", g.type, "the field's type: " + TypeNames() + " (or INTEGER...)");
  CLI::Option* offset =
      g.add->add_option("--offset", g.offset, "where the field starts in the record, from 0");
  CLI::Option* size = g.add->add_option("--size", g.size, "the field's width in bytes");
  CLI::Option* key = g.add->add_option("--key", g.key, "the key number the index names, from 0");
  field->needs(type)->needs(offset)->needs(size);
  index->needs(key);
  type->needs(field);
  offset->needs(field);
  size->needs(field);
  key->needs(index);
  g.add->add_flag("--overlap", g.overlap, "lets the field overlap others");

  g.remove = sub("remove", "removes a field or an index by its name", true);
  CLI::Option_group* removing = g.remove->add_option_group("item", "the field or the index");
  removing->add_option("--field", g.field, "the field's name");
  removing->add_option("--index", g.index, "the index's name");
  removing->require_option(1);

  g.check = sub("check",
                "sets the dictionary against a record file: fields inside the record, no "
                "overlaps, indexes of keys the file has, names unique; exit code 1 with problems",
                true);
  g.check->add_option("RECORDFILE", g.record_file, "the record file")->required();
  owners.Add(g.check, "--owner", &g.owner, "the record file's owner name, for a file that has one",
             "the record file's owner name", OwnerNames::Kind::kOpens);
  g.check->footer(std::string(kOwnerHelp) + footer);
  g.check->add_flag("--overlap", g.overlap, "lets fields overlap");
  return dict;
}

int RunDict() {
  if (g.show->parsed()) return Show();
  if (g.create->parsed()) return Create();
  if (g.add->parsed()) return Add();
  if (g.remove->parsed()) return Remove();
  return Check();
}

}  // namespace vastrel::cli
