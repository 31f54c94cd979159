#include "automation/persistence.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "dictionary/btrdictlist.h"
#include "dictionary/field_type.h"
#include "keys/btrkey.h"
#include "keys/btrklist.h"
#include "keys/file_flags.h"
#include "platform/error.h"
#include "platform/locale.h"
#include "platform/utf8.h"

namespace vastrel::automation {

// The table's properties as read from a bag, before any of them reaches the table. Each
// starts at the value that leaving the property out stands for.
struct StagedProperties {
  std::string db_owner;
  table::TOwnerProtection owner_protection = table::opNoAccessNoEncrypt;
  std::string client_id;
  keys::tkeylist keys;
  std::vector<dictionary::TRecordItem> fields;
  std::vector<dictionary::TIndexItem> indexes;
  bool auto_create = false;
  bool active = false;
  int32_t data_buffer_length = 0;
  keys::BtrFileFlags file_flags;
  std::string file_name;
  bool first_on_open = false;
  int16_t key_num = 0;
  table::BtrOpenModes open_mode = table::bomNormal;
  uint16_t page_size = 0;
  uint16_t record_size = 0;
  table::TStepType step_type = table::stNormal;
  table::TLockType lock_type = table::ltNone;
  table::TTranType tran_type = table::ttConcurrent;
  table::BtrSharingModes sharing_mode = table::bomDefault;
  bool stream_compression = false;
  bool ignore_small = true;
  std::string true_format = "1";
  std::string false_format = "0";
  std::string date_format = "YYYYMMDD";
  std::string time_format = "HH:NN:SS";
  char decimal_separator = '.';
};

namespace {

using json::Value;
using table::TBtr;

// ---- Member names of the enumerations -------------------------------------------------------

using Names = std::span<const char* const>;

constexpr const char* kOwnerProtections[] = {"opNoAccessNoEncrypt", "opReadAccessNoEncrypt",
                                             "opNoAccessEncrypt", "opReadAccessEncrypt"};
constexpr const char* kOpenModes[] = {"bomNormal", "bomAccelerated", "bomReadOnly", "bomVerify",
                                      "bomExclusive"};
constexpr const char* kSharingModes[] = {"bomDefault", "bomSEFS", "bomMEFS"};
constexpr const char* kStepTypes[] = {"stNormal", "stKeyOnly", "stNoKeys"};
constexpr const char* kLockTypes[] = {"ltNone", "ltSinglewait", "ltSinglenowait", "ltMultiwait",
                                      "ltMultinowait"};
constexpr const char* kTranTypes[] = {"ttExclusive", "ttConcurrent"};
constexpr Names kKeyTypes = keys::kKeyTypeNames;
constexpr Names kFileFlags = keys::kFileFlagNames;

constexpr const char* kSegmentProperties[] = {
    "AllowDuplicates", "AllSegmentNull", "CaseInsensitive", "Descending",
    "ExtendedType",    "KeySortedbyACS", "KeyType",         "Length",
    "Modifiable",      "Position",       "Segment",         "NulSegment"};
constexpr const char* kFieldProperties[] = {"FieldName", "FieldType", "FieldOffset", "FieldSize"};
constexpr const char* kIndexProperties[] = {"IndexName", "IndexKeyNum"};

// ---- Writing values -------------------------------------------------------------------------

Value Text(std::string_view single_byte) { return Value(platform::SingleByteToUtf8(single_byte)); }

// A member by name; a value that is no member by its number.
Value EnumValue(Names names, int64_t v) {
  if (v >= 0 && v < static_cast<int64_t>(names.size())) return Value(names[static_cast<size_t>(v)]);
  return Value(v);
}

json::Array Segments(const keys::tkeylist& list) {
  json::Array out;
  out.reserve(static_cast<size_t>(list.Count()));
  for (int i = 0; i < list.Count(); ++i) {
    const keys::TKey& k = list[i];
    json::Object o;
    o.Append("AllowDuplicates", k.AllowDuplicates());
    o.Append("AllSegmentNull", k.AllSegmentNull());
    o.Append("CaseInsensitive", k.CaseInsensitive());
    o.Append("Descending", k.Descending());
    o.Append("ExtendedType", k.ExtendedType());
    o.Append("KeySortedbyACS", k.KeySortedbyACS());
    o.Append("KeyType", EnumValue(kKeyTypes, k.KeyType()));
    o.Append("Length", k.Length());
    o.Append("Modifiable", k.Modifiable());
    o.Append("Position", k.Position());
    o.Append("Segment", k.Segment());
    o.Append("NulSegment", k.NulSegment());
    out.emplace_back(std::move(o));
  }
  return out;
}

Value FieldTypeValue(uint8_t type) {
  if (const char* name = dictionary::FieldTypeName(type)) return Value(name);
  return Value(type);
}

json::Array Fields(const dictionary::TRecordItems& list) {
  json::Array out;
  out.reserve(static_cast<size_t>(list.Count()));
  for (int i = 0; i < list.Count(); ++i) {
    const dictionary::TRecordItem& f = list[i];
    json::Object o;
    o.Append("FieldName", Text(f.FieldName()));
    o.Append("FieldType", FieldTypeValue(f.FieldType()));
    o.Append("FieldOffset", f.FieldOffset());
    o.Append("FieldSize", f.FieldSize());
    out.emplace_back(std::move(o));
  }
  return out;
}

json::Array Indexes(const dictionary::TIndexItems& list) {
  json::Array out;
  out.reserve(static_cast<size_t>(list.Count()));
  for (int i = 0; i < list.Count(); ++i) {
    json::Object o;
    o.Append("IndexName", Text(list[i].IndexName()));
    o.Append("IndexKeyNum", list[i].IndexKeyNum());
    out.emplace_back(std::move(o));
  }
  return out;
}

json::Array FileFlagNames(keys::BtrFileFlags flags) {
  json::Array out;
  for (int m = 0; m < keys::kFileFlagMembers; ++m) {
    if (flags.Contains(static_cast<keys::BtrFileFlag>(m))) out.emplace_back(kFileFlags[m]);
  }
  return out;
}

// ---- Reading values -------------------------------------------------------------------------

// Messages carry the component's single-byte text, as every other error does: the names and
// texts quoted from the bag are UTF-8, so the message is converted once here.
[[noreturn]] void Refuse(const std::string& path, const std::string& what) {
  throw vastrel::Exception(platform::Utf8ToSingleByte("Property bag: " + path + ": " + what));
}

std::string Kind(const Value& v) { return Value::KindName(v.kind()); }

bool ReadBool(const Value& v, const std::string& path) {
  if (!v.IsBool()) Refuse(path, "must be true or false, not " + Kind(v));
  return v.AsBool();
}

int64_t ReadInt(const Value& v, const std::string& path, int64_t lo, int64_t hi) {
  const std::string range =
      "a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
  if (!v.IsInt()) Refuse(path, "must be " + range + ", not " + Kind(v));
  if (v.AsInt() < lo || v.AsInt() > hi) {
    Refuse(path, "must be " + range + ", not " + std::to_string(v.AsInt()));
  }
  return v.AsInt();
}

template <class T>
T ReadInt(const Value& v, const std::string& path) {
  return static_cast<T>(
      ReadInt(v, path, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()));
}

std::string NameList(Names names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += i + 1 == names.size() ? " or " : ", ";
    out += names[i];
  }
  return out;
}

std::optional<int> IndexOfName(Names names, std::string_view name) {
  for (size_t i = 0; i < names.size(); ++i) {
    if (name == names[i]) return static_cast<int>(i);
  }
  return std::nullopt;
}

// A member name, or a number from lo to hi (the values the property can hold).
int64_t ReadEnum(const Value& v, const std::string& path, Names names, int64_t lo, int64_t hi) {
  if (v.IsString()) {
    if (auto i = IndexOfName(names, v.AsString())) return *i;
    Refuse(path, "unknown value \"" + v.AsString() + "\"; expected " + NameList(names));
  }
  if (v.IsInt()) return ReadInt(v, path, lo, hi);
  Refuse(path, "must be one of " + NameList(names) + ", not " + Kind(v));
}

template <class E>
E ReadTableEnum(const Value& v, const std::string& path, Names names) {
  return static_cast<E>(ReadEnum(v, path, names, std::numeric_limits<int32_t>::min(),
                                 std::numeric_limits<int32_t>::max()));
}

// A UTF-8 text in the table's single-byte code page. A character the code page lacks is
// refused rather than turned into '?', so that loading never changes a text silently.
std::string ReadText(const Value& v, const std::string& path) {
  if (!v.IsString()) Refuse(path, "must be a text, not " + Kind(v));
  const std::string& utf8 = v.AsString();
  if (!json::IsValidUtf8(utf8)) Refuse(path, "is not valid UTF-8");
  std::string single = platform::Utf8ToSingleByte(utf8);
  if (platform::SingleByteToUtf8(single) == utf8) return single;
  // Name the first character that does not come back: convert one character at a time.
  for (size_t i = 0; i < utf8.size();) {
    uint32_t cp = 0;
    const size_t len = platform::DecodeUtf8(utf8, i, &cp);
    const std::string_view one(utf8.data() + i, len);
    if (platform::SingleByteToUtf8(platform::Utf8ToSingleByte(one)) != one) {
      char code[16];
      std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(cp));
      Refuse(path, std::string("holds the character ") + code +
                       ", which the single-byte code page lacks");
    }
    i += len;
  }
  Refuse(path, "cannot be held in the single-byte code page");
}

const json::Array& ReadList(const Value& v, const std::string& path) {
  if (!v.IsArray()) Refuse(path, "must be a list, not " + Kind(v));
  return v.AsArray();
}

// The members of one segment, field or index: exactly the given properties, each once.
class ItemReader {
 public:
  ItemReader(const Value& v, std::string path, Names properties)
      : path_(std::move(path)), properties_(properties) {
    if (!v.IsObject()) Refuse(path_, "must be an object, not " + Kind(v));
    object_ = &v.AsObject();
    for (const json::Member& m : *object_) {
      if (!IndexOfName(properties, m.name)) {
        Refuse(path_, "unknown property \"" + m.name + "\"; expected " + NameList(properties));
      }
    }
    for (const char* name : properties) {
      if (object_->Find(name) == nullptr) Refuse(path_, std::string(name) + " is missing");
    }
  }

  const Value& operator[](const char* name) const { return *object_->Find(name); }
  std::string Path(const char* name) const { return path_ + "." + name; }

 private:
  std::string path_;
  Names properties_;
  const json::Object* object_ = nullptr;
};

std::string Indexed(const char* list, size_t i) {
  return std::string(list) + "[" + std::to_string(i) + "]";
}

keys::tkeylist ReadSegments(const Value& v) {
  const json::Array& items = ReadList(v, "Keys");
  keys::tkeylist list;
  for (size_t i = 0; i < items.size(); ++i) {
    const ItemReader r(items[i], Indexed("Keys", i), kSegmentProperties);
    // Every value is read before the segment is set, in the persisted order: ExtendedType
    // before KeyType, so a type without a code of its own (ktUnknown) keeps the stored code.
    const bool dup = ReadBool(r["AllowDuplicates"], r.Path("AllowDuplicates"));
    const bool all_null = ReadBool(r["AllSegmentNull"], r.Path("AllSegmentNull"));
    const bool no_case = ReadBool(r["CaseInsensitive"], r.Path("CaseInsensitive"));
    const bool desc = ReadBool(r["Descending"], r.Path("Descending"));
    const auto extended = ReadInt(r["ExtendedType"], r.Path("ExtendedType"), 0, 255);
    const bool acs = ReadBool(r["KeySortedbyACS"], r.Path("KeySortedbyACS"));
    const auto type = ReadEnum(r["KeyType"], r.Path("KeyType"), kKeyTypes, 0, keys::ktUnknown);
    const auto length = ReadInt<int16_t>(r["Length"], r.Path("Length"));
    const bool modifiable = ReadBool(r["Modifiable"], r.Path("Modifiable"));
    const auto position = ReadInt<int16_t>(r["Position"], r.Path("Position"));
    const bool segment = ReadBool(r["Segment"], r.Path("Segment"));
    const bool nul_segment = ReadBool(r["NulSegment"], r.Path("NulSegment"));

    keys::TKey& k = list.Add();
    k.SetAllowDuplicates(dup);
    k.SetAllSegmentNull(all_null);
    k.SetCaseInsensitive(no_case);
    k.SetDescending(desc);
    k.SetExtendedType(static_cast<uint16_t>(extended));
    k.SetKeySortedbyACS(acs);
    k.SetKeyType(static_cast<int>(type));
    k.SetLength(length);
    k.SetModifiable(modifiable);
    k.SetPosition(position);
    k.SetSegment(segment);
    k.SetNulSegment(nul_segment);
  }
  return list;
}

dictionary::TxFieldType ReadFieldType(const Value& v, const std::string& path) {
  if (v.IsString()) {
    if (auto type = dictionary::FieldTypeFromName(v.AsString())) return *type;
    std::string names;
    for (int t = 0; t < dictionary::kFieldTypeCount; ++t) {
      names += t == 0 ? "" : t + 1 == dictionary::kFieldTypeCount ? " or " : ", ";
      names += dictionary::FieldTypeName(static_cast<uint8_t>(t));
    }
    Refuse(path, "unknown field type \"" + v.AsString() + "\"; expected " + names);
  }
  // A definition stores any byte as its type; one without a name was written as a number.
  if (v.IsInt()) return static_cast<dictionary::TxFieldType>(ReadInt<uint8_t>(v, path));
  Refuse(path, "must be a field type such as \"ft_STRING\", not " + Kind(v));
}

std::vector<dictionary::TRecordItem> ReadFields(const Value& v) {
  const json::Array& items = ReadList(v, "DDFFields");
  std::vector<dictionary::TRecordItem> out(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    const ItemReader r(items[i], Indexed("DDFFields", i), kFieldProperties);
    out[i].SetFieldName(ReadText(r["FieldName"], r.Path("FieldName")));
    out[i].SetFieldType(ReadFieldType(r["FieldType"], r.Path("FieldType")));
    out[i].SetFieldOffset(ReadInt<int32_t>(r["FieldOffset"], r.Path("FieldOffset")));
    out[i].SetFieldSize(ReadInt<int32_t>(r["FieldSize"], r.Path("FieldSize")));
  }
  return out;
}

std::vector<dictionary::TIndexItem> ReadIndexes(const Value& v) {
  const json::Array& items = ReadList(v, "DDFIndexes");
  std::vector<dictionary::TIndexItem> out(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    const ItemReader r(items[i], Indexed("DDFIndexes", i), kIndexProperties);
    out[i].SetIndexName(ReadText(r["IndexName"], r.Path("IndexName")));
    out[i].SetIndexKeyNum(ReadInt<int32_t>(r["IndexKeyNum"], r.Path("IndexKeyNum")));
  }
  return out;
}

keys::BtrFileFlags ReadFileFlags(const Value& v) {
  const json::Array& items = ReadList(v, "FileFlags");
  keys::BtrFileFlags flags;
  for (size_t i = 0; i < items.size(); ++i) {
    const std::string path = Indexed("FileFlags", i);
    if (!items[i].IsString()) {
      Refuse(path, "must be a file flag name such as \"ffVariableLength\", not " + Kind(items[i]));
    }
    const auto m = IndexOfName(kFileFlags, items[i].AsString());
    if (!m) {
      Refuse(path,
             "unknown file flag \"" + items[i].AsString() + "\"; expected " + NameList(kFileFlags));
    }
    flags.Include(static_cast<keys::BtrFileFlag>(*m));
  }
  return flags;
}

char ReadDecimalSeparator(const Value& v) {
  const std::string text = ReadText(v, "DecimalSeparator");
  if (text.size() != 1) {
    Refuse("DecimalSeparator",
           "must be a text of one character, not of " + std::to_string(text.size()));
  }
  return text[0];
}

// ---- The list of persisted properties -------------------------------------------------------

struct Property {
  const char* name;
  // The value to write; nullopt leaves the property out (it holds its default).
  std::optional<Value> (*save)(const TBtr&);
  void (*load)(const Value&, StagedProperties&);
};

template <class T>
std::optional<Value> Unless(T value, T fallback) {
  if (value == fallback) return std::nullopt;
  return Value(value);
}

// In the persisted order. The notifications OnRecChanged, OnAutoCreate and
// StreamingProgress follow SharingMode in the published list; they bind host code and
// carry no value, so they have no entry and a bag that names them is refused.
const Property kProperties[] = {
    {"DbOwner", [](const TBtr& t) -> std::optional<Value> { return Text(t.DbOwner()); },
     [](const Value& v, StagedProperties& s) { s.db_owner = ReadText(v, "DbOwner"); }},
    {"OwnerProtection",
     [](const TBtr& t) -> std::optional<Value> {
       return EnumValue(kOwnerProtections, t.OwnerProtection());
     },
     [](const Value& v, StagedProperties& s) {
       s.owner_protection =
           ReadTableEnum<table::TOwnerProtection>(v, "OwnerProtection", kOwnerProtections);
     }},
    {"ClientID", [](const TBtr& t) -> std::optional<Value> { return Text(t.ClientID()); },
     [](const Value& v, StagedProperties& s) { s.client_id = ReadText(v, "ClientID"); }},
    {"Keys", [](const TBtr& t) -> std::optional<Value> { return Value(Segments(t.Keys())); },
     [](const Value& v, StagedProperties& s) { s.keys = ReadSegments(v); }},
    {"DDFFields",
     [](const TBtr& t) -> std::optional<Value> { return Value(Fields(t.DDFFields())); },
     [](const Value& v, StagedProperties& s) { s.fields = ReadFields(v); }},
    {"DDFIndexes",
     [](const TBtr& t) -> std::optional<Value> { return Value(Indexes(t.DDFIndexes())); },
     [](const Value& v, StagedProperties& s) { s.indexes = ReadIndexes(v); }},
    {"AutoCreate", [](const TBtr& t) { return Unless(t.AutoCreate(), false); },
     [](const Value& v, StagedProperties& s) { s.auto_create = ReadBool(v, "AutoCreate"); }},
    {"Active", [](const TBtr& t) { return Unless(t.Active(), false); },
     [](const Value& v, StagedProperties& s) { s.active = ReadBool(v, "Active"); }},
    {"DataBufferLength", [](const TBtr& t) { return Unless<int32_t>(t.DataBufferLength(), 0); },
     [](const Value& v, StagedProperties& s) {
       // A table holds no negative length.
       s.data_buffer_length = static_cast<int32_t>(
           ReadInt(v, "DataBufferLength", 0, std::numeric_limits<int32_t>::max()));
     }},
    {"FileFlags",
     [](const TBtr& t) -> std::optional<Value> { return Value(FileFlagNames(t.FileFlags())); },
     [](const Value& v, StagedProperties& s) { s.file_flags = ReadFileFlags(v); }},
    {"FileName", [](const TBtr& t) -> std::optional<Value> { return Text(t.FileName()); },
     [](const Value& v, StagedProperties& s) {
       s.file_name = ReadText(v, "FileName");
       // Refused here, before loading begins, as the table itself refuses it.
       if (s.file_name.size() > static_cast<size_t>(table::kMaxFileNameLength)) {
         Refuse("FileName", "is too long: " + std::to_string(s.file_name.size()) +
                                " characters, at most " +
                                std::to_string(table::kMaxFileNameLength) + " fit");
       }
     }},
    {"FirstOnOpen", [](const TBtr& t) -> std::optional<Value> { return Value(t.FirstOnOpen()); },
     [](const Value& v, StagedProperties& s) { s.first_on_open = ReadBool(v, "FirstOnOpen"); }},
    {"KeyNum", [](const TBtr& t) { return Unless<int16_t>(t.KeyNum(), 0); },
     [](const Value& v, StagedProperties& s) { s.key_num = ReadInt<int16_t>(v, "KeyNum"); }},
    {"OpenMode",
     [](const TBtr& t) -> std::optional<Value> {
       if (t.OpenMode() == table::bomNormal) return std::nullopt;
       return EnumValue(kOpenModes, t.OpenMode());
     },
     [](const Value& v, StagedProperties& s) {
       s.open_mode = ReadTableEnum<table::BtrOpenModes>(v, "OpenMode", kOpenModes);
     }},
    // The default left out is 0, not the 1024 of a new table: a bag without PageSize loads
    // 0, so that a table saved with page size 0 comes back with it.
    {"PageSize", [](const TBtr& t) { return Unless<uint16_t>(t.PageSize(), 0); },
     [](const Value& v, StagedProperties& s) { s.page_size = ReadInt<uint16_t>(v, "PageSize"); }},
    {"RecordSize", [](const TBtr& t) { return Unless<uint16_t>(t.RecordSize(), 0); },
     [](const Value& v, StagedProperties& s) {
       s.record_size = ReadInt<uint16_t>(v, "RecordSize");
     }},
    {"StepType",
     [](const TBtr& t) -> std::optional<Value> { return EnumValue(kStepTypes, t.StepType()); },
     [](const Value& v, StagedProperties& s) {
       s.step_type = ReadTableEnum<table::TStepType>(v, "StepType", kStepTypes);
     }},
    {"LockType",
     [](const TBtr& t) -> std::optional<Value> { return EnumValue(kLockTypes, t.LockType()); },
     [](const Value& v, StagedProperties& s) {
       s.lock_type = ReadTableEnum<table::TLockType>(v, "LockType", kLockTypes);
     }},
    {"TranType",
     [](const TBtr& t) -> std::optional<Value> { return EnumValue(kTranTypes, t.TranType()); },
     [](const Value& v, StagedProperties& s) {
       s.tran_type = ReadTableEnum<table::TTranType>(v, "TranType", kTranTypes);
     }},
    {"SharingMode",
     [](const TBtr& t) -> std::optional<Value> {
       if (t.SharingMode() == table::bomDefault) return std::nullopt;
       return EnumValue(kSharingModes, t.SharingMode());
     },
     [](const Value& v, StagedProperties& s) {
       s.sharing_mode = ReadTableEnum<table::BtrSharingModes>(v, "SharingMode", kSharingModes);
     }},
    {"StreamCompression",
     [](const TBtr& t) -> std::optional<Value> { return Value(t.StreamCompression()); },
     [](const Value& v, StagedProperties& s) {
       s.stream_compression = ReadBool(v, "StreamCompression");
     }},
    {"IgnoreSmall", [](const TBtr& t) -> std::optional<Value> { return Value(t.IgnoreSmall()); },
     [](const Value& v, StagedProperties& s) { s.ignore_small = ReadBool(v, "IgnoreSmall"); }},
    {"TRUEFormat", [](const TBtr& t) -> std::optional<Value> { return Text(t.TRUEFormat()); },
     [](const Value& v, StagedProperties& s) { s.true_format = ReadText(v, "TRUEFormat"); }},
    {"FALSEFormat", [](const TBtr& t) -> std::optional<Value> { return Text(t.FALSEFormat()); },
     [](const Value& v, StagedProperties& s) { s.false_format = ReadText(v, "FALSEFormat"); }},
    {"DATEFormat", [](const TBtr& t) -> std::optional<Value> { return Text(t.DATEFormat()); },
     [](const Value& v, StagedProperties& s) { s.date_format = ReadText(v, "DATEFormat"); }},
    {"TIMEFormat", [](const TBtr& t) -> std::optional<Value> { return Text(t.TIMEFormat()); },
     [](const Value& v, StagedProperties& s) { s.time_format = ReadText(v, "TIMEFormat"); }},
    {"DecimalSeparator",
     [](const TBtr& t) -> std::optional<Value> {
       return Text(std::string(1, t.DecimalSeparator()));
     },
     [](const Value& v, StagedProperties& s) { s.decimal_separator = ReadDecimalSeparator(v); }},
};

// Published members that a bag never holds, and why.
struct NotPersisted {
  const char* name;
  const char* why;
};
constexpr NotPersisted kNotPersisted[] = {
    {"OnRecChanged", "is a handler binding, which is not persisted"},
    {"OnAutoCreate", "is a handler binding, which is not persisted"},
    {"StreamingProgress", "is a handler binding, which is not persisted"},
    {"About", "is never persisted"},
    {"Version", "is never persisted"},
};

const Property* FindProperty(std::string_view name) {
  for (const Property& p : kProperties) {
    if (name == p.name) return &p;
  }
  return nullptr;
}

StagedProperties ReadBag(const json::Object& bag) {
  StagedProperties staged;
  for (const json::Member& m : bag) {
    if (const Property* p = FindProperty(m.name)) {
      p->load(m.value, staged);
      continue;
    }
    for (const NotPersisted& n : kNotPersisted) {
      if (m.name == n.name) Refuse(m.name, n.why);
    }
    throw vastrel::Exception(
        platform::Utf8ToSingleByte("Property bag: unknown property \"" + m.name + "\""));
  }
  return staged;
}

void Apply(TBtr& t, StagedProperties s) {  // a copy: its texts move into the table
  t.BeginLoading();
  try {
    // The data buffer is the one thing loading may fail to obtain; it comes first, before
    // any other property has changed.
    t.SetDataBufferLength(s.data_buffer_length);
  } catch (...) {
    t.Loaded();  // ends the loading state; Active is still false, so nothing opens
    throw;
  }
  t.SetDbOwner(s.db_owner);
  t.SetOwnerProtection(s.owner_protection);
  t.SetClientID(s.client_id);
  t.SetKeys(s.keys);
  dictionary::TRecordItems& fields = t.DDFFields();
  fields.Clear();
  for (const auto& f : s.fields) fields.Append(f);
  dictionary::TIndexItems& indexes = t.DDFIndexes();
  indexes.Clear();
  for (const auto& x : s.indexes) indexes.Append(x);
  t.SetAutoCreate(s.auto_create);
  t.SetActive(s.active);  // stored only: the file opens in Loaded()
  t.SetFileFlags(s.file_flags);
  t.SetFileName(s.file_name);
  t.SetFirstOnOpen(s.first_on_open);
  t.SetKeyNum(s.key_num);
  t.SetOpenMode(s.open_mode);
  t.SetPageSize(s.page_size);
  t.SetRecordSize(s.record_size);
  // A record size above the stored buffer length grows the buffer; the stored length is
  // what was saved (an inactive table may keep a shorter buffer), so it is put back.
  if (t.DataBufferLength() != s.data_buffer_length) t.SetDataBufferLength(s.data_buffer_length);
  t.SetStepType(s.step_type);
  t.SetLockType(s.lock_type);
  t.SetTranType(s.tran_type);
  t.SetSharingMode(s.sharing_mode);
  t.SetStreamCompression(s.stream_compression);
  t.SetIgnoreSmall(s.ignore_small);
  t.SetTRUEFormat(std::move(s.true_format));
  t.SetFALSEFormat(std::move(s.false_format));
  t.SetDATEFormat(std::move(s.date_format));
  t.SetTIMEFormat(std::move(s.time_format));
  t.SetDecimalSeparator(s.decimal_separator);
  t.Loaded();
}

}  // namespace

json::Object SavePropertyObject(const TBtr& table) {
  json::Object bag;
  for (const Property& p : kProperties) {
    if (auto v = p.save(table)) bag.Append(p.name, std::move(*v));
  }
  return bag;
}

std::string SaveProperties(const TBtr& table) { return json::Write(SavePropertyObject(table)); }

PropertyBag CheckPropertyObject(const json::Object& bag) {
  return PropertyBag(std::make_shared<const StagedProperties>(ReadBag(bag)));
}

PropertyBag ParsePropertyBag(std::string_view json_text) {
  json::Value bag;
  try {
    bag = json::Parse(json_text);
  } catch (const json::ParseError& e) {
    throw vastrel::Exception(
        platform::Utf8ToSingleByte(std::string("Property bag is not valid JSON: ") + e.what()));
  }
  if (!bag.IsObject()) {
    throw vastrel::Exception("Property bag: must be a JSON object, not " + Kind(bag));
  }
  return CheckPropertyObject(bag.AsObject());
}

void ApplyPropertyBag(const PropertyBag& bag, TBtr& table) {
  if (table.Active()) throw vastrel::Exception("Can't load saved properties into an active table");
  Apply(table, *bag.staged_);
}

void LoadProperties(TBtr& table, std::string_view json_text) {
  ApplyPropertyBag(ParsePropertyBag(json_text), table);
}

void LoadPropertyObject(TBtr& table, const json::Object& bag) {
  ApplyPropertyBag(CheckPropertyObject(bag), table);
}

std::string SavePropertyBag(const TBtr& table) { return SaveProperties(table); }

}  // namespace vastrel::automation
