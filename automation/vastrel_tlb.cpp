#include "automation/vastrel_tlb.h"

namespace vastrel::automation {

// ---------------------------------------------------------------------------------------
// Enumerations

namespace {
template <class E>
constexpr EnumMemberDesc Member(const char* name, E value) {
  return EnumMemberDesc{name, static_cast<int32_t>(value)};
}
}  // namespace

#define VASTREL_DEFINE_ENUM(Name, Guid, ...)                              \
  const EnumDesc& EnumTraits<Name>::Desc() {                              \
    using enum Name;                                                      \
    static const char* const names[] = {VASTREL_ENUM_NAMES(__VA_ARGS__)}; \
    static const Name values[] = {__VA_ARGS__};                           \
    static EnumMemberDesc members[sizeof values / sizeof values[0]];      \
    static const EnumDesc desc = [] {                                     \
      for (size_t i = 0; i < sizeof values / sizeof values[0]; ++i)       \
        members[i] = Member(names[i], values[i]);                         \
      return EnumDesc{#Name, MakeGuid(Guid), members};                    \
    }();                                                                  \
    return desc;                                                          \
  }

// Stringizes each of up to 18 arguments.
#define VASTREL_NAMES_N(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, _12, _13, _14, _15, _16, \
                        _17, _18, N, ...)                                                      \
  N
#define VASTREL_S1(a) #a
#define VASTREL_S2(a, ...) #a, VASTREL_S1(__VA_ARGS__)
#define VASTREL_S3(a, ...) #a, VASTREL_S2(__VA_ARGS__)
#define VASTREL_S4(a, ...) #a, VASTREL_S3(__VA_ARGS__)
#define VASTREL_S5(a, ...) #a, VASTREL_S4(__VA_ARGS__)
#define VASTREL_S6(a, ...) #a, VASTREL_S5(__VA_ARGS__)
#define VASTREL_S7(a, ...) #a, VASTREL_S6(__VA_ARGS__)
#define VASTREL_S8(a, ...) #a, VASTREL_S7(__VA_ARGS__)
#define VASTREL_S9(a, ...) #a, VASTREL_S8(__VA_ARGS__)
#define VASTREL_S10(a, ...) #a, VASTREL_S9(__VA_ARGS__)
#define VASTREL_S11(a, ...) #a, VASTREL_S10(__VA_ARGS__)
#define VASTREL_S12(a, ...) #a, VASTREL_S11(__VA_ARGS__)
#define VASTREL_S13(a, ...) #a, VASTREL_S12(__VA_ARGS__)
#define VASTREL_S14(a, ...) #a, VASTREL_S13(__VA_ARGS__)
#define VASTREL_S15(a, ...) #a, VASTREL_S14(__VA_ARGS__)
#define VASTREL_S16(a, ...) #a, VASTREL_S15(__VA_ARGS__)
#define VASTREL_S17(a, ...) #a, VASTREL_S16(__VA_ARGS__)
#define VASTREL_S18(a, ...) #a, VASTREL_S17(__VA_ARGS__)
#define VASTREL_ENUM_NAMES(...)                                                                 \
  VASTREL_NAMES_N(__VA_ARGS__, VASTREL_S18, VASTREL_S17, VASTREL_S16, VASTREL_S15, VASTREL_S14, \
                  VASTREL_S13, VASTREL_S12, VASTREL_S11, VASTREL_S10, VASTREL_S9, VASTREL_S8,   \
                  VASTREL_S7, VASTREL_S6, VASTREL_S5, VASTREL_S4, VASTREL_S3, VASTREL_S2,       \
                  VASTREL_S1)                                                                   \
  (__VA_ARGS__)

VASTREL_ENUMS(VASTREL_DEFINE_ENUM)

// ---------------------------------------------------------------------------------------
// Records

namespace {
void Get(const Variant& v, int32_t* out) { *out = v.lVal; }
void Get(const Variant& v, uint8_t* out) { *out = v.bVal; }
void Get(const Variant& v, int16_t* out) { *out = v.boolVal; }
void Get(const Variant& v, std::string* out) { *out = std::string(v.Text()); }
}  // namespace

#define VASTREL_FIELD_DESC(Name, V) FieldDesc{#Name, V},
#define VASTREL_FIELD_TO(Name, V) \
  fields[i] = Variant(r.Name);    \
  fields[i++].ChangeType(V);
#define VASTREL_FIELD_FROM(Name, V) Get(fields[i++], &r->Name);

#define VASTREL_DEFINE_RECORD(R, Guid)                                          \
  const RecordDesc& RecordTraits<R>::Desc() {                                   \
    static const FieldDesc fields[] = {VASTREL_RECORD_##R(VASTREL_FIELD_DESC)}; \
    static_assert(sizeof fields / sizeof fields[0] <= kMaxRecordFields);        \
    static const RecordDesc desc{#R, MakeGuid(Guid), fields};                   \
    return desc;                                                                \
  }                                                                             \
  void RecordTraits<R>::ToFields(const R& r, Variant* fields) {                 \
    size_t i = 0;                                                               \
    VASTREL_RECORD_##R(VASTREL_FIELD_TO)                                        \
  }                                                                             \
  void RecordTraits<R>::FromFields(const Variant* fields, R* r) {               \
    size_t i = 0;                                                               \
    VASTREL_RECORD_##R(VASTREL_FIELD_FROM)                                      \
  }

VASTREL_DEFINE_RECORD(TxKeyDesc, "8DD3D189-2C02-4AE3-B1E1-0D7AEEDB7DCD")
VASTREL_DEFINE_RECORD(TxFileFlags, "1DCFDFD1-9841-4FC3-AB8F-CF00F0D8219C")

// ---------------------------------------------------------------------------------------
// Interfaces

#define VASTREL_DEFINE_INTERFACE(Name, Help)                                                   \
  const InterfaceDesc& Name::Desc() {                                                          \
    using Self = Name;                                                                         \
    static const MemberDesc members[] = {VASTREL_MEMBER_TABLE(VASTREL_##Name)};                \
    static const MemberIndex index(members);                                                   \
    static const InterfaceDesc desc{#Name, kIID, Help, InterfaceKind::kDual, members, &index}; \
    return desc;                                                                               \
  }

VASTREL_DEFINE_INTERFACE(IKey, "Key segment")
VASTREL_DEFINE_INTERFACE(IKeys, "Key segment collection")
VASTREL_DEFINE_INTERFACE(IDDFFieldItem, "Field definition")
VASTREL_DEFINE_INTERFACE(IBtrField, "Typed field access")
VASTREL_DEFINE_INTERFACE(IDDFFieldItems, "Field definition collection")
VASTREL_DEFINE_INTERFACE(IDDFIndexItem, "Index definition")
VASTREL_DEFINE_INTERFACE(IBtrIndex, "Index access")
VASTREL_DEFINE_INTERFACE(IDDFIndexItems, "Index definition collection")
VASTREL_DEFINE_INTERFACE(IVastrel, "Dispatch interface for Vastrel Control")

// Events have no typed calls: their entries describe the members and cannot be invoked.
#define VASTREL_EVENT_ENTRY(Name, Id, Names, ...)                                           \
  MemberDesc{#Name,                                                                         \
             Id,                                                                            \
             MemberKind::kMethod,                                                           \
             std::span<const ParamDesc>(Sig<__VA_ARGS__>::params, Sig<__VA_ARGS__>::count), \
             Names,                                                                         \
             nullptr},
const InterfaceDesc& IVastrelEvents::Desc() {
  static const MemberDesc members[] = {VASTREL_IVastrelEvents(VASTREL_EVENT_ENTRY, , , )};
  static const InterfaceDesc desc{kName, kIID, "Events interface for Vastrel Control",
                                  InterfaceKind::kDispInterface, members};
  return desc;
}

// ---------------------------------------------------------------------------------------

const LibraryDesc& Library() {
#define VASTREL_ENUM_DESC(Name, Guid, ...) &EnumTraits<Name>::Desc(),
  static const EnumDesc* const enums[] = {VASTREL_ENUMS(VASTREL_ENUM_DESC)};
#undef VASTREL_ENUM_DESC
  static const RecordDesc* const records[] = {&RecordTraits<TxKeyDesc>::Desc(),
                                              &RecordTraits<TxFileFlags>::Desc()};
  static const InterfaceDesc* const interfaces[] = {
      &IVastrel::Desc(),       &IVastrelEvents::Desc(), &IKeys::Desc(),     &IKey::Desc(),
      &IDDFFieldItem::Desc(),  &IDDFFieldItems::Desc(), &IBtrField::Desc(), &IDDFIndexItem::Desc(),
      &IDDFIndexItems::Desc(), &IBtrIndex::Desc()};
  static const CoClassDesc classes[] = {
      {"Vastrel", CLSID_Vastrel, "Vastrel Control", &IVastrel::Desc(), &IVastrelEvents::Desc()}};
  static const LibraryDesc lib{
      "VastrelCtrl", LIBID_VastrelCtrl, 1,     0,      "VastrelCtrl Library",
      classes,       interfaces,        enums, records};
  return lib;
}

}  // namespace vastrel::automation
