#include "automation/persistence.h"

#include <limits>
#include <optional>

#include "automation/json.h"
#include "automation/vastrel_tlb.h"
#include "dictionary/field_type.h"
#include "platform/error.h"
#include "platform/locale.h"

namespace vastrel::automation {

namespace {

using json::Value;
using Step = std::function<void(table::TBtr&)>;

[[noreturn]] void Bad(std::string_view where, std::string_view what) {
  throw Exception("Invalid property bag: " + std::string(where) + " " + std::string(what));
}

// ---- Reading checked values --------------------------------------------------------------

bool GetBool(const Value& v, std::string_view where) {
  if (v.kind() != Value::Kind::kBool) Bad(where, "must be true or false");
  return v.AsBool();
}

int64_t GetInt(const Value& v, std::string_view where, int64_t lo, int64_t hi) {
  if (!v.is_integer()) Bad(where, "must be a whole number");
  if (v.AsInteger() < lo || v.AsInteger() > hi)
    Bad(where, "is out of range (" + std::to_string(lo) + " to " + std::to_string(hi) + ")");
  return v.AsInteger();
}

// Text in the table's single-byte form.
std::string GetText(const Value& v, std::string_view where) {
  if (v.kind() != Value::Kind::kString) Bad(where, "must be text");
  return platform::Utf8ToSingleByte(v.AsString());
}

Value Text(std::string_view table_text) {
  return Value::String(platform::SingleByteToUtf8(table_text));
}

template <class E>
int32_t GetEnum(const Value& v, std::string_view where) {
  const EnumDesc& d = EnumTraits<E>::Desc();
  if (v.kind() == Value::Kind::kString)
    for (const EnumMemberDesc& m : d.members)
      if (v.AsString() == m.name) return m.value;
  Bad(where, "must be a member name of " + std::string(d.name));
}

template <class E>
Value EnumName(int32_t value) {
  for (const EnumMemberDesc& m : EnumTraits<E>::Desc().members)
    if (m.value == value) return Value::String(m.name);
  // A value outside the members (a host may write one) is kept as its number.
  return Value::Integer(value);
}

template <class E>
int32_t GetEnumOrNumber(const Value& v, std::string_view where) {
  if (v.is_integer()) return static_cast<int32_t>(GetInt(v, where, INT32_MIN, INT32_MAX));
  return GetEnum<E>(v, where);
}

const Value& Member(const Value& obj, std::string_view name, std::string_view where) {
  const Value* v = obj.Find(name);
  if (!v) Bad(where, "lacks " + std::string(name));
  return *v;
}

void RequireOnly(const Value& obj, std::initializer_list<std::string_view> names,
                 std::string_view where) {
  if (obj.kind() != Value::Kind::kObject) Bad(where, "must be an object");
  for (const Value::Member& m : obj.members()) {
    bool known = false;
    for (std::string_view n : names) known = known || m.first == n;
    if (!known) Bad(where, "has an unknown member \"" + m.first + "\"");
  }
}

// ---- Compound properties ----------------------------------------------------------------

constexpr const char* kSegmentProps[] = {"AllowDuplicates", "AllSegmentNull", "CaseInsensitive",
                                         "Descending",      "ExtendedType",   "KeySortedbyACS",
                                         "KeyType",         "Length",         "Modifiable",
                                         "Position",        "Segment",        "NulSegment"};

Value SaveKeys(const keys::tkeylist& list) {
  Value arr = Value::Array();
  for (int i = 0; i < list.Count(); ++i) {
    const keys::TKey& k = list[i];
    Value seg = Value::Object();
    seg.Set("AllowDuplicates", Value::Bool(k.AllowDuplicates()));
    seg.Set("AllSegmentNull", Value::Bool(k.AllSegmentNull()));
    seg.Set("CaseInsensitive", Value::Bool(k.CaseInsensitive()));
    seg.Set("Descending", Value::Bool(k.Descending()));
    seg.Set("ExtendedType", Value::Integer(k.ExtendedType()));
    seg.Set("KeySortedbyACS", Value::Bool(k.KeySortedbyACS()));
    seg.Set("KeyType", EnumName<TxKeyTypes>(static_cast<int32_t>(k.KeyType())));
    seg.Set("Length", Value::Integer(k.Length()));
    seg.Set("Modifiable", Value::Bool(k.Modifiable()));
    seg.Set("Position", Value::Integer(k.Position()));
    seg.Set("Segment", Value::Bool(k.Segment()));
    seg.Set("NulSegment", Value::Bool(k.NulSegment()));
    arr.Push(std::move(seg));
  }
  return arr;
}

Step ParseKeys(const Value& v) {
  if (v.kind() != Value::Kind::kArray) Bad("Keys", "must be an array");
  keys::tkeylist list;
  for (size_t i = 0; i < v.items().size(); ++i) {
    const std::string where = "Keys[" + std::to_string(i) + "]";
    const Value& s = v.items()[i];
    RequireOnly(
        s,
        {"AllowDuplicates", "AllSegmentNull", "CaseInsensitive", "Descending", "ExtendedType",
         "KeySortedbyACS", "KeyType", "Length", "Modifiable", "Position", "Segment", "NulSegment"},
        where);
    for (const char* name : kSegmentProps) Member(s, name, where);
    keys::TKey& k = list.Add();
    // The setters in the stored order, as loading a segment runs them.
    k.SetAllowDuplicates(GetBool(*s.Find("AllowDuplicates"), where + ".AllowDuplicates"));
    k.SetAllSegmentNull(GetBool(*s.Find("AllSegmentNull"), where + ".AllSegmentNull"));
    k.SetCaseInsensitive(GetBool(*s.Find("CaseInsensitive"), where + ".CaseInsensitive"));
    k.SetDescending(GetBool(*s.Find("Descending"), where + ".Descending"));
    k.SetExtendedType(
        static_cast<uint16_t>(GetInt(*s.Find("ExtendedType"), where + ".ExtendedType", 0, 65535)));
    k.SetKeySortedbyACS(GetBool(*s.Find("KeySortedbyACS"), where + ".KeySortedbyACS"));
    k.SetKeyType(GetEnumOrNumber<TxKeyTypes>(*s.Find("KeyType"), where + ".KeyType"));
    k.SetLength(static_cast<int32_t>(GetInt(*s.Find("Length"), where + ".Length", -32768, 32767)));
    k.SetModifiable(GetBool(*s.Find("Modifiable"), where + ".Modifiable"));
    k.SetPosition(
        static_cast<int32_t>(GetInt(*s.Find("Position"), where + ".Position", -32768, 32767)));
    k.SetSegment(GetBool(*s.Find("Segment"), where + ".Segment"));
    k.SetNulSegment(GetBool(*s.Find("NulSegment"), where + ".NulSegment"));
  }
  return [list = std::move(list)](table::TBtr& t) { t.SetKeys(list); };
}

Value SaveFields(const dictionary::TRecordItems& list) {
  Value arr = Value::Array();
  for (int i = 0; i < list.Count(); ++i) {
    const dictionary::TRecordItem& f = list[i];
    Value item = Value::Object();
    item.Set("FieldName", Text(f.FieldName()));
    const char* type = dictionary::FieldTypeName(f.FieldType());
    item.Set("FieldType", type ? Value::String(type) : Value::Integer(f.FieldType()));
    item.Set("Offset", Value::Integer(f.FieldOffset()));
    item.Set("Size", Value::Integer(f.FieldSize()));
    arr.Push(std::move(item));
  }
  return arr;
}

Step ParseFields(const Value& v) {
  if (v.kind() != Value::Kind::kArray) Bad("DDFFields", "must be an array");
  std::vector<dictionary::TRecordItem> items;
  for (size_t i = 0; i < v.items().size(); ++i) {
    const std::string where = "DDFFields[" + std::to_string(i) + "]";
    const Value& f = v.items()[i];
    RequireOnly(f, {"FieldName", "FieldType", "Offset", "Size"}, where);
    dictionary::TRecordItem item;
    item.SetFieldName(GetText(Member(f, "FieldName", where), where + ".FieldName"));
    const Value& type = Member(f, "FieldType", where);
    if (type.is_integer()) {
      item.SetFieldType(
          static_cast<dictionary::TxFieldType>(GetInt(type, where + ".FieldType", 0, 255)));
    } else {
      std::optional<dictionary::TxFieldType> t;
      if (type.kind() == Value::Kind::kString) t = dictionary::FieldTypeFromName(type.AsString());
      if (!t) Bad(where + ".FieldType", "must be one of ft_STRING to ft_DATETIME");
      item.SetFieldType(*t);
    }
    item.SetFieldOffset(static_cast<int32_t>(
        GetInt(Member(f, "Offset", where), where + ".Offset", INT32_MIN, INT32_MAX)));
    item.SetFieldSize(static_cast<int32_t>(
        GetInt(Member(f, "Size", where), where + ".Size", INT32_MIN, INT32_MAX)));
    items.push_back(std::move(item));
  }
  return [items = std::move(items)](table::TBtr& t) {
    dictionary::TRecordItems& list = t.DDFFields();
    list.Clear();
    for (const dictionary::TRecordItem& item : items) list.Append(item);
  };
}

Value SaveIndexes(const dictionary::TIndexItems& list) {
  Value arr = Value::Array();
  for (int i = 0; i < list.Count(); ++i) {
    Value item = Value::Object();
    item.Set("IndexName", Text(list[i].IndexName()));
    item.Set("IndexKeyNum", Value::Integer(list[i].IndexKeyNum()));
    arr.Push(std::move(item));
  }
  return arr;
}

Step ParseIndexes(const Value& v) {
  if (v.kind() != Value::Kind::kArray) Bad("DDFIndexes", "must be an array");
  std::vector<dictionary::TIndexItem> items;
  for (size_t i = 0; i < v.items().size(); ++i) {
    const std::string where = "DDFIndexes[" + std::to_string(i) + "]";
    const Value& x = v.items()[i];
    RequireOnly(x, {"IndexName", "IndexKeyNum"}, where);
    dictionary::TIndexItem item;
    item.SetIndexName(GetText(Member(x, "IndexName", where), where + ".IndexName"));
    item.SetIndexKeyNum(static_cast<int32_t>(
        GetInt(Member(x, "IndexKeyNum", where), where + ".IndexKeyNum", INT32_MIN, INT32_MAX)));
    items.push_back(std::move(item));
  }
  return [items = std::move(items)](table::TBtr& t) {
    dictionary::TIndexItems& list = t.DDFIndexes();
    list.Clear();
    for (const dictionary::TIndexItem& item : items) list.Append(item);
  };
}

Value SaveFlags(keys::BtrFileFlags flags) {
  Value arr = Value::Array();
  const RecordDesc& names = RecordTraits<TxFileFlags>::Desc();
  for (int m = 0; m < keys::kFileFlagMembers; ++m)
    if (flags.Contains(static_cast<keys::BtrFileFlag>(m)))
      arr.Push(Value::String(names.fields[static_cast<size_t>(m)].name));
  return arr;
}

Step ParseFlags(const Value& v) {
  if (v.kind() != Value::Kind::kArray) Bad("FileFlags", "must be an array of member names");
  const RecordDesc& names = RecordTraits<TxFileFlags>::Desc();
  keys::BtrFileFlags flags;
  for (const Value& item : v.items()) {
    bool found = false;
    for (int m = 0; m < keys::kFileFlagMembers && !found; ++m) {
      if (item.kind() == Value::Kind::kString &&
          item.AsString() == names.fields[static_cast<size_t>(m)].name) {
        flags.Include(static_cast<keys::BtrFileFlag>(m));
        found = true;
      }
    }
    if (!found) Bad("FileFlags", "holds something that is not a file flag name");
  }
  return [flags](table::TBtr& t) { t.SetFileFlags(flags); };
}

// ---- The property table -------------------------------------------------------------------

struct Property {
  const char* name;
  // Adds the property to the bag unless it is at its default.
  void (*save)(const table::TBtr& t, Value& bag);
  // Checks a stored value and returns the setter call that loads it.
  Step (*parse)(const Value& v);
};

#define VASTREL_TEXT_PROP(Name)                                                        \
  Property {                                                                           \
#Name, [](const table::TBtr& t, Value& bag) { bag.Set(#Name, Text(t.Name())); },     \
        [](const Value& v) -> Step {                                                     \
          return [s = GetText(v, #Name)](table::TBtr& t) { t.Set##Name(s); };            \
        } \
  }
#define VASTREL_BOOL_PROP(Name, OmitFalse)                                             \
  Property {                                                                           \
#Name,                                                                               \
        [](const table::TBtr& t, Value& bag) {                                           \
          if (!(OmitFalse) || t.Name()) bag.Set(#Name, Value::Bool(t.Name()));           \
        },                                                                               \
        [](const Value& v) -> Step {                                                     \
          return [b = GetBool(v, #Name)](table::TBtr& t) { t.Set##Name(b); };            \
        } \
  }
#define VASTREL_ENUM_PROP(Name, TxT, TableT, Default)                                  \
  Property {                                                                           \
#Name,                                                                               \
        [](const table::TBtr& t, Value& bag) {                                           \
          if (static_cast<int32_t>(t.Name()) != (Default))                               \
            bag.Set(#Name, EnumName<TxT>(static_cast<int32_t>(t.Name())));               \
        },                                                                               \
        [](const Value& v) -> Step {                                                     \
          return [e = GetEnumOrNumber<TxT>(v, #Name)](table::TBtr& t) {                  \
            t.Set##Name(static_cast<table::TableT>(e));                                  \
          };                                                                             \
        } \
  }
#define VASTREL_INT_PROP(Name, T, Lo, Hi)                                              \
  Property {                                                                           \
#Name,                                                                               \
        [](const table::TBtr& t, Value& bag) {                                           \
          if (t.Name() != 0) bag.Set(#Name, Value::Integer(t.Name()));                   \
        },                                                                               \
        [](const Value& v) -> Step {                                                     \
          return [n = static_cast<T>(GetInt(v, #Name, Lo, Hi))](table::TBtr& t) {        \
            t.Set##Name(n);                                                              \
          };                                                                             \
        } \
  }

constexpr int kNoDefault = std::numeric_limits<int32_t>::min();

const Property kProperties[] = {
    VASTREL_TEXT_PROP(DbOwner),
    VASTREL_ENUM_PROP(OwnerProtection, TxOwnerProtection, TOwnerProtection, kNoDefault),
    VASTREL_TEXT_PROP(ClientID),
    {"Keys", [](const table::TBtr& t, Value& bag) { bag.Set("Keys", SaveKeys(t.Keys())); },
     ParseKeys},
    {"DDFFields",
     [](const table::TBtr& t, Value& bag) { bag.Set("DDFFields", SaveFields(t.DDFFields())); },
     ParseFields},
    {"DDFIndexes",
     [](const table::TBtr& t, Value& bag) { bag.Set("DDFIndexes", SaveIndexes(t.DDFIndexes())); },
     ParseIndexes},
    VASTREL_BOOL_PROP(AutoCreate, true),
    VASTREL_BOOL_PROP(Active, true),
    VASTREL_INT_PROP(DataBufferLength, int32_t, 0, INT32_MAX),
    {"FileFlags",
     [](const table::TBtr& t, Value& bag) { bag.Set("FileFlags", SaveFlags(t.FileFlags())); },
     ParseFlags},
    VASTREL_TEXT_PROP(FileName),
    VASTREL_BOOL_PROP(FirstOnOpen, false),
    VASTREL_INT_PROP(KeyNum, int16_t, INT16_MIN, INT16_MAX),
    VASTREL_ENUM_PROP(OpenMode, TxBtrOpenModes, BtrOpenModes, 0),
    VASTREL_INT_PROP(PageSize, uint16_t, 0, UINT16_MAX),
    VASTREL_INT_PROP(RecordSize, uint16_t, 0, UINT16_MAX),
    VASTREL_ENUM_PROP(StepType, TxStepType, TStepType, kNoDefault),
    VASTREL_ENUM_PROP(LockType, TxLockType, TLockType, kNoDefault),
    VASTREL_ENUM_PROP(TranType, TxTranType, TTranType, kNoDefault),
    VASTREL_ENUM_PROP(SharingMode, TxBtrSharingModes, BtrSharingModes, 0),
    VASTREL_BOOL_PROP(StreamCompression, false),
    VASTREL_BOOL_PROP(IgnoreSmall, false),
    VASTREL_TEXT_PROP(TRUEFormat),
    VASTREL_TEXT_PROP(FALSEFormat),
    VASTREL_TEXT_PROP(DATEFormat),
    VASTREL_TEXT_PROP(TIMEFormat),
    {"DecimalSeparator",
     [](const table::TBtr& t, Value& bag) {
       bag.Set("DecimalSeparator", Text(std::string(1, t.DecimalSeparator())));
     },
     [](const Value& v) -> Step {
       const std::string s = GetText(v, "DecimalSeparator");
       if (s.size() != 1) Bad("DecimalSeparator", "must be one character");
       return [c = s[0]](table::TBtr& t) { t.SetDecimalSeparator(c); };
     }},
};

}  // namespace

std::string SavePropertyBag(const table::TBtr& table) {
  Value bag = Value::Object();
  for (const Property& p : kProperties) p.save(table, bag);
  return bag.Write();
}

PropertyBag ParsePropertyBag(std::string_view text) {
  const Value bag = json::Parse(text);
  if (bag.kind() != Value::Kind::kObject) Bad("the bag", "must be an object");
  constexpr size_t n = std::size(kProperties);
  std::vector<Step> by_property(n);
  for (const Value::Member& m : bag.members()) {
    size_t i = 0;
    while (i < n && m.first != kProperties[i].name) ++i;
    if (i == n) Bad("the bag", "has an unknown property \"" + m.first + "\"");
    by_property[i] = kProperties[i].parse(m.second);
  }
  PropertyBag result;
  for (Step& s : by_property)
    if (s) result.steps.push_back(std::move(s));
  return result;
}

void ApplyPropertyBag(const PropertyBag& bag, table::TBtr& table) {
  table.BeginLoading();
  try {
    for (const Step& s : bag.steps) s(table);
  } catch (...) {
    // The loading state never outlives a failed load.
    table.Loaded();
    throw;
  }
  table.Loaded();
}

}  // namespace vastrel::automation
