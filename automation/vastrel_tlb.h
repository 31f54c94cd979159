// VastrelCtrl_TLB: the type library VastrelCtrl 1.0 ("VastrelCtrl Library"). Every
// interface, member, DISPID, enumeration and record of the control's automation surface is
// listed here exactly once, as an X-macro; the typed C++ interfaces below, the dispatch
// tables (vastrel_tlb.cpp) and the library description (Library()) all expand from these
// lists. The identifiers are fixed and never change between builds.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "automation/dispatch.h"
#include "platform/export.h"
#include "platform/oleauto.h"

namespace vastrel::automation {

inline constexpr GUID LIBID_VastrelCtrl = MakeGuid("86C46058-300A-47EE-8235-D9538398EC6A");
inline constexpr CLSID CLSID_Vastrel = MakeGuid("E3C4D791-CE7C-44CF-9006-A29A63309145");
inline constexpr const char* kVastrelProgID = "VastrelCtrl.Vastrel";

// ---------------------------------------------------------------------------------------
// Enumerations: every member's value is its position from 0.

#define VASTREL_ENUMS(E)                                                                          \
  E(TxUnlockType, "3FD1E17C-2981-40D5-976B-5BEC5189F2EF", utSingleSingle, utSingleMulti,          \
    utAllMulti)                                                                                   \
  E(TxOwnerProtection, "4213F590-4581-469B-BA4A-D6DD63046A35", opNoAccessNoEncrypt,               \
    opReadAccessNoEncrypt, opNoAccessEncrypt, opReadAccessEncrypt)                                \
  E(TxBtrOpenModes, "A7C0D0B6-FD15-4EE9-9750-BAF03B2021D1", bomNormal, bomAccelerated,            \
    bomReadOnly, bomVerify, bomExclusive)                                                         \
  E(TxStepType, "7202D39C-D2BE-4443-ABEB-77B58010E1DB", stNormal, stKeyOnly, stNoKeys)            \
  E(TxLockType, "D2DAF77E-80AA-4CEF-AD24-CEB3C6043CB4", ltNone, ltSinglewait, ltSinglenowait,     \
    ltMultiwait, ltMultinowait)                                                                   \
  E(TxTranType, "F8C5A2AD-DB0C-44AD-840A-D9EEC4EF0A26", ttExclusive, ttConcurrent)                \
  E(TxBtrSharingModes, "72C6EFA0-9AE8-4AA7-A984-B3FD2EFD1823", bomDefault, bomSEFS, bomMEFS)      \
  E(TxProgressType, "1FAA8DBF-7D95-49A4-AEA0-3D08BE567719", ptCompressing, ptUncompressing,       \
    ptWriting, ptReading)                                                                         \
  E(TxKeyTypes, "CAD3B7EF-28D2-40FC-B122-0924860C48A9", ktOldBinary, ktOldString, ktString,       \
    ktInteger, ktFloat, ktDate, ktTime, ktDecimal, ktMoney, ktLogical, ktNumeric, ktBasicFloat,   \
    ktPascalString, ktAsciiZString, ktUnsignedBinary, ktAutoIncrement, ktSignTrailing, ktUnknown) \
  E(TxFieldType, "87DF7CB8-5AF0-4758-B91C-66753CDC2CAB", ftSTRING, ftINTEGER, ftFLOAT, ftBOOLEAN, \
    ftDATE, ftTIME, ftDATETIME)

// The open and sharing modes share the prefix bom; each enumeration is scoped so that
// bomDefault and bomNormal do not meet.
#define VASTREL_DECLARE_ENUM(Name, Guid, ...)   \
  enum class Name : int32_t { __VA_ARGS__ };    \
  template <>                                   \
  struct EnumTraits<Name> {                     \
    static constexpr const char* kName = #Name; \
    VASTREL_API static const EnumDesc& Desc();  \
  };
VASTREL_ENUMS(VASTREL_DECLARE_ENUM)
#undef VASTREL_DECLARE_ENUM

// ---------------------------------------------------------------------------------------
// Records

// F(field, kind): C++ field types follow the kind (VT_I4 int32_t, VT_UI1 uint8_t,
// VT_BOOL VARIANT_BOOL, VT_BSTR UTF-8 std::string).
// One field a line, which the formatter would fold differently on each run.
// clang-format off
#define VASTREL_RECORD_TxKeyDesc(F) \
  F(Position, VT_I4)                \
  F(Length, VT_I4)                  \
  F(KeyFlag, VT_I4)                 \
  F(KeyValues, VT_I4)               \
  F(Extended, VT_UI1)               \
  F(NullVal, VT_UI1)                \
  F(Reserv, VT_BSTR)                \
  F(Manually, VT_I4)                \
  F(ACS, VT_I4)
#define VASTREL_RECORD_TxFileFlags(F) \
  F(ffVariableLength, VT_BOOL)        \
  F(ffTruncateBlank, VT_BOOL)         \
  F(ffPreallocate, VT_BOOL)           \
  F(ffCompress, VT_BOOL)              \
  F(ffKeyOnly, VT_BOOL)               \
  F(ffIndexBalancing, VT_BOOL)        \
  F(ff10, VT_BOOL)                    \
  F(ff20, VT_BOOL)                    \
  F(ff30, VT_BOOL)                    \
  F(ffDuplicatePtrs, VT_BOOL)         \
  F(ffKeyNumSpecified, VT_BOOL)       \
  F(ffUseVATs, VT_BOOL)
// clang-format on

namespace detail {
template <VARTYPE V>
struct RecordField {
  using type = typename ScalarMember<V>::type;
};
template <>
struct RecordField<VT_BSTR> {
  using type = std::string;
};
}  // namespace detail

#define VASTREL_RECORD_MEMBER(Name, V) detail::RecordField<V>::type Name{};
struct TxKeyDesc {
  VASTREL_RECORD_TxKeyDesc(VASTREL_RECORD_MEMBER) friend bool operator==(
      const TxKeyDesc&, const TxKeyDesc&) = default;
};
struct TxFileFlags {
  VASTREL_RECORD_TxFileFlags(VASTREL_RECORD_MEMBER) friend bool operator==(
      const TxFileFlags&, const TxFileFlags&) = default;
};
#undef VASTREL_RECORD_MEMBER

template <>
struct RecordTraits<TxKeyDesc> {
  static constexpr const char* kName = "TxKeyDesc";
  VASTREL_API static const RecordDesc& Desc();
  VASTREL_API static void ToFields(const TxKeyDesc& r, Variant* fields);
  VASTREL_API static void FromFields(const Variant* fields, TxKeyDesc* r);
};
template <>
struct RecordTraits<TxFileFlags> {
  static constexpr const char* kName = "TxFileFlags";
  VASTREL_API static const RecordDesc& Desc();
  VASTREL_API static void ToFields(const TxFileFlags& r, Variant* fields);
  VASTREL_API static void FromFields(const Variant* fields, TxFileFlags* r);
};

// ---------------------------------------------------------------------------------------
// Interfaces. Member lists take (METHOD, PROP, GETTER, GETFN) adapters:
//   METHOD(Name, DISPID, "param names", params...)   GETFN: an indexed property get
//   PROP(Name, DISPID, type)                          GETTER: read-only property

using BoolT = Scalar<VT_BOOL>;
using TextT = Scalar<VT_BSTR>;
using LongT = Scalar<VT_I4>;
using ShortT = Scalar<VT_I2>;
using WordT = Scalar<VT_UI2>;
using ByteT = Scalar<VT_UI1>;
using DoubleT = Scalar<VT_R8>;
using DateT = Scalar<VT_DATE>;
using VariantT = Scalar<VT_VARIANT>;

struct IKey;
struct IKeys;
struct IDDFFieldItem;
struct IDDFFieldItems;
struct IBtrField;
struct IDDFIndexItem;
struct IDDFIndexItems;
struct IBtrIndex;

#define VASTREL_IKey(METHOD, PROP, GETTER, GETFN) \
  PROP(AllowDuplicates, 0x1, BoolT)               \
  PROP(AllSegmentNull, 0x2, BoolT)                \
  PROP(CaseInsensitive, 0x3, BoolT)               \
  PROP(Descending, 0x4, BoolT)                    \
  PROP(ExtendedType, 0x5, LongT)                  \
  PROP(KeySortedByACS, 0x6, BoolT)                \
  PROP(KeyType, 0x7, Enum<TxKeyTypes>)            \
  PROP(Length, 0x8, LongT)                        \
  PROP(Modifiable, 0x9, BoolT)                    \
  PROP(Position, 0xA, LongT)                      \
  PROP(Segment, 0xB, BoolT)                       \
  PROP(NullSegment, 0xC, BoolT)                   \
  PROP(Description, 0xE, Record<TxKeyDesc>)

#define VASTREL_IKeys(METHOD, PROP, GETTER, GETFN)                                 \
  GETTER(Count, 0x1, LongT)                                                        \
  GETFN(Items, 0x60020001, "Index", In<LongT>, Ret<Object<IKey>>)                  \
  GETTER(_NewEnum, -4, Unknown)                                                    \
  METHOD(Keys, 0x3, "", Ret<VariantT>)                                             \
  METHOD(KeySeg, 0x4, "j,KeyNum,Segment", In<LongT>, Out<VariantT>, Out<VariantT>) \
  METHOD(Insert, 0x6, "At", In<LongT>)                                             \
  METHOD(Delete, 0x7, "At", In<LongT>)                                             \
  METHOD(Add, 0x9, "", Ret<Object<IKey>>)

#define VASTREL_IDDFFieldItem(METHOD, PROP, GETTER, GETFN) \
  PROP(FieldName, 1, TextT)                                \
  PROP(FieldType, 2, Enum<TxFieldType>)                    \
  PROP(Offset, 3, LongT)                                   \
  PROP(Size, 4, LongT)

#define VASTREL_IDDFFieldItems(METHOD, PROP, GETTER, GETFN)                                     \
  GETTER(Count, 1, LongT)                                                                       \
  GETTER(_NewEnum, -4, Unknown)                                                                 \
  METHOD(IndexOf, 4, "ExceptIndex,FieldName", In<LongT>, In<TextT>, Ret<LongT>)                 \
  METHOD(Exchange, 5, "Index1,Index2", In<LongT>, In<LongT>)                                    \
  METHOD(Add, 6, "", Ret<Object<IDDFFieldItem>>)                                                \
  METHOD(FindField, 7, "FieldName", In<TextT>, Ret<Object<IBtrField>>)                          \
  METHOD(Delete, 13, "Index", In<LongT>)                                                        \
  METHOD(Clear, 14, "")                                                                         \
  GETFN(Items, 16, "Index", In<LongT>, Ret<Object<IDDFFieldItem>>)                              \
  METHOD(LoadItems, 2, "DDFFileName,ID", In<TextT>, In<TextT>)                                  \
  METHOD(SaveItems, 3, "DDFFileName,OverwriteWhenExists,AppendToFile,ID", In<TextT>, In<BoolT>, \
         In<BoolT>, In<TextT>)

#define VASTREL_IBtrField(METHOD, PROP, GETTER, GETFN) \
  PROP(AsString, 1, TextT)                             \
  PROP(AsInteger, 2, LongT)                            \
  PROP(AsFloat, 3, DoubleT)                            \
  PROP(AsBoolean, 4, BoolT)                            \
  PROP(AsDate, 5, DateT)                               \
  PROP(AsTime, 6, DateT)                               \
  PROP(AsDateTime, 7, DateT)                           \
  PROP(FieldType, 8, Enum<TxFieldType>)                \
  PROP(FieldName, 9, TextT)                            \
  PROP(Offset, 10, LongT)                              \
  PROP(Size, 11, LongT)

#define VASTREL_IDDFIndexItem(METHOD, PROP, GETTER, GETFN) \
  PROP(IndexName, 1, TextT)                                \
  PROP(IndexKeyNum, 2, LongT)

#define VASTREL_IBtrIndex(METHOD, PROP, GETTER, GETFN) \
  PROP(IndexName, 1, TextT)                            \
  PROP(IndexKeyNum, 2, LongT)

#define VASTREL_IDDFIndexItems(METHOD, PROP, GETTER, GETFN)                                      \
  GETTER(Count, 1, LongT)                                                                        \
  GETTER(_NewEnum, -4, Unknown)                                                                  \
  METHOD(IndexOf, 3, "ExceptIndex,IndexName", In<LongT>, In<TextT>, Ret<LongT>)                  \
  METHOD(Exchange, 4, "Index1,Index2", In<LongT>, In<LongT>)                                     \
  METHOD(Add, 5, "", Ret<Object<IDDFIndexItem>>)                                                 \
  METHOD(FindIndex, 6, "IndexName", In<TextT>, Ret<Object<IBtrIndex>>)                           \
  METHOD(Delete, 7, "Index", In<LongT>)                                                          \
  METHOD(Clear, 8, "")                                                                           \
  GETFN(Items, 9, "Index", In<LongT>, Ret<Object<IDDFIndexItem>>)                                \
  METHOD(LoadItems, 10, "DDFFileName,ID", In<TextT>, In<TextT>)                                  \
  METHOD(SaveItems, 11, "DDFFileName,OverwriteWhenExists,AppendToFile,ID", In<TextT>, In<BoolT>, \
         In<BoolT>, In<TextT>)

// The control's interface, in the order of its function table.
#define VASTREL_IVastrel(METHOD, PROP, GETTER, GETFN)                              \
  METHOD(CallBtrieve, 0x1, "Operation", In<WordT>)                                 \
  METHOD(Loaded, 0x2, "")                                                          \
  METHOD(CreateFile, 0x3, "")                                                      \
  METHOD(Open, 0x4, "")                                                            \
  METHOD(Close, 0x5, "")                                                           \
  METHOD(Stat, 0x6, "")                                                            \
  METHOD(Delete, 0x7, "")                                                          \
  METHOD(Insert, 0x8, "")                                                          \
  METHOD(UpdateFixed, 0x9, "")                                                     \
  METHOD(First, 0xA, "")                                                           \
  METHOD(Next, 0xB, "")                                                            \
  METHOD(Last, 0xC, "")                                                            \
  METHOD(Prev, 0xD, "")                                                            \
  METHOD(GreaterEq, 0xE, "")                                                       \
  METHOD(SetOwner, 0xF, "")                                                        \
  METHOD(clearowner, 0x10, "")                                                     \
  METHOD(LessEq, 0x11, "")                                                         \
  METHOD(Equal, 0x12, "")                                                          \
  METHOD(GetDirect, 0x13, "")                                                      \
  METHOD(Unlock, 0x14, "Unlocktype", In<Enum<TxUnlockType>>)                       \
  METHOD(GetPosition, 0x15, "")                                                    \
  METHOD(SwitchKeys, 0x16, "")                                                     \
  METHOD(ClearKeyBuffer, 0x17, "")                                                 \
  METHOD(begintransaction, 0x18, "")                                               \
  METHOD(aborttransaction, 0x19, "")                                               \
  METHOD(committransaction, 0x1A, "")                                              \
  METHOD(findpercentage, 0x1B, "Value", Out<WordT>)                                \
  METHOD(getbypercentage, 0x1C, "perc", In<WordT>)                                 \
  PROP(KeyString, 0x1D, TextT)                                                     \
  PROP(KeyWord, 0x1E, WordT)                                                       \
  PROP(KeyInt, 0x1F, ShortT)                                                       \
  PROP(KeyByte, 0x20, ByteT)                                                       \
  PROP(KeyLong, 0x21, LongT)                                                       \
  PROP(KeyDouble, 0x22, DoubleT)                                                   \
  GETTER(NumberOfKeys, 0x23, LongT)                                                \
  GETTER(RecordCount, 0x24, LongT)                                                 \
  PROP(Position, 0x25, LongT)                                                      \
  PROP(Searching, 0x26, BoolT)                                                     \
  GETTER(MoreAvailable, 0x29, BoolT)                                               \
  PROP(About, 0x2A, TextT)                                                         \
  PROP(DbOwner, 0x2B, TextT)                                                       \
  PROP(OwnerProtection, 0x2C, Enum<TxOwnerProtection>)                             \
  PROP(ClientID, 0x2D, TextT)                                                      \
  PROP(AutoCreate, 0x2E, BoolT)                                                    \
  PROP(Active, 0x2F, BoolT)                                                        \
  PROP(DataBufferLength, 0x30, LongT)                                              \
  PROP(FileName, 0x31, TextT)                                                      \
  PROP(FirstOnOpen, 0x32, BoolT)                                                   \
  PROP(KeyNum, 0x33, ShortT)                                                       \
  PROP(OpenMode, 0x34, Enum<TxBtrOpenModes>)                                       \
  PROP(PageSize, 0x35, WordT)                                                      \
  PROP(RecordSize, 0x36, WordT)                                                    \
  PROP(StepType, 0x37, Enum<TxStepType>)                                           \
  PROP(LockType, 0x38, Enum<TxLockType>)                                           \
  PROP(TranType, 0x39, Enum<TxTranType>)                                           \
  PROP(SharingMode, 0x3A, Enum<TxBtrSharingModes>)                                 \
  PROP(StreamCompression, 0x3B, BoolT)                                             \
  PROP(IgnoreSmall, 0x3C, BoolT)                                                   \
  PROP(Version, 0x3D, TextT)                                                       \
  PROP(DoubleBuffered, 0x3F, BoolT)                                                \
  GETTER(VisibleDockClientCount, 0x40, LongT)                                      \
  METHOD(DrawTextBiDiModeFlagsReadingOnly, 0x42, "", Ret<LongT>)                   \
  PROP(Enabled, DISPID_ENABLED, BoolT)                                             \
  METHOD(InitiateAction, 0x43, "")                                                 \
  METHOD(IsRightToLeft, 0x44, "", Ret<BoolT>)                                      \
  METHOD(UseRightToLeftReading, 0x47, "", Ret<BoolT>)                              \
  METHOD(UseRightToLeftScrollBar, 0x48, "", Ret<BoolT>)                            \
  PROP(Cursor, 0x49, ShortT)                                                       \
  METHOD(AboutBox, DISPID_ABOUTBOX, "")                                            \
  PROP(DataBuffer, 0x28, TextT)                                                    \
  PROP(KeyBuffer, 0x41, TextT)                                                     \
  METHOD(Post, 0x45, "")                                                           \
  PROP(Keys, 0x27, Object<IKeys>)                                                  \
  PROP(FileFlags, 0x46, Record<TxFileFlags>)                                       \
  METHOD(FieldByName, 0x4A, "FieldName", In<TextT>, Ret<Object<IBtrField>>)        \
  PROP(TRUEFormat, 0x4C, TextT)                                                    \
  PROP(FALSEFormat, 0x4D, TextT)                                                   \
  PROP(DATEFormat, 0x4E, TextT)                                                    \
  PROP(TIMEFormat, 0x4F, TextT)                                                    \
  PROP(DecimalSeparator, 0x50, TextT)                                              \
  PROP(Visible, 0x3E, BoolT)                                                       \
  METHOD(FindKey, 0x51, "IndexName,KeyValue", In<TextT>, In<VariantT>, Ret<BoolT>) \
  METHOD(Locate, 0x52, "IndexName,KeyValue", In<TextT>, In<VariantT>, Ret<BoolT>)  \
  METHOD(LocateNext, 0x53, "", Ret<BoolT>)                                         \
  METHOD(LocatePrior, 0x54, "", Ret<BoolT>)                                        \
  PROP(DDFIndexes, 0x55, Object<IDDFIndexItems>)                                   \
  PROP(DDFFields, 0x5A, Object<IDDFFieldItems>)

// Events of the control, raised on the host's sink by dispatch (no results).
#define VASTREL_IVastrelEvents(METHOD, PROP, GETTER, GETFN) \
  METHOD(OnRecChanged, 0x1, "")                             \
  METHOD(OnAutoCreate, 0x2, "")                             \
  METHOD(StreamingProgress, 0x3, "DoingWhat,PercComplete", In<Enum<TxProgressType>>, In<LongT>)

#define VASTREL_DECLARE_INTERFACE(Name, Guid)   \
  struct VASTREL_API Name : IDispatch {         \
    static constexpr IID kIID = MakeGuid(Guid); \
    static constexpr const char* kName = #Name; \
    static const InterfaceDesc& Desc();         \
    VASTREL_DECLARE_MEMBERS(VASTREL_##Name)     \
                                                \
   protected:                                   \
    ~Name() = default;                          \
  };

VASTREL_DECLARE_INTERFACE(IKey, "6A59C14A-CC8D-42D1-A7D7-4EAC9B77BA63")
VASTREL_DECLARE_INTERFACE(IKeys, "E7ADB57B-7B00-4B33-9124-6AB89B0422D6")
VASTREL_DECLARE_INTERFACE(IDDFFieldItem, "A7C6EA27-FC67-460A-916F-EC861E5B7F21")
VASTREL_DECLARE_INTERFACE(IBtrField, "6ED0F504-B818-4E6B-B359-023BAC251E10")
VASTREL_DECLARE_INTERFACE(IDDFFieldItems, "E2BE9364-8B93-49E3-A112-D68C6F831175")
VASTREL_DECLARE_INTERFACE(IDDFIndexItem, "9BB834C9-D2EB-442E-BB3B-4D70F35272DE")
VASTREL_DECLARE_INTERFACE(IBtrIndex, "242AE120-780A-45B8-8FC1-8D3DC58F5406")
VASTREL_DECLARE_INTERFACE(IDDFIndexItems, "B1A17C3E-2CF5-4904-89FC-343D13AA62B8")
VASTREL_DECLARE_INTERFACE(IVastrel, "D03EEC06-0893-44D1-98B8-10FA0BD8D101")

// The event interface is a pure dispatch interface: the host's sink implements IDispatch
// and receives these DISPIDs; it has no typed calls.
struct IVastrelEvents {
  static constexpr IID kIID = MakeGuid("83428AA9-C12D-4355-8C13-56973DA2E259");
  static constexpr const char* kName = "IVastrelEvents";
  VASTREL_API static const InterfaceDesc& Desc();
  static constexpr DISPID kOnRecChanged = 0x1;
  static constexpr DISPID kOnAutoCreate = 0x2;
  static constexpr DISPID kStreamingProgress = 0x3;
};

// ---------------------------------------------------------------------------------------
// The library as a whole, for registration, the help page and documentation checks.

struct CoClassDesc {
  const char* name;
  CLSID clsid;
  const char* help;
  const InterfaceDesc* default_interface;
  const InterfaceDesc* default_source;
};

struct LibraryDesc {
  const char* name;
  GUID libid;
  uint16_t major;
  uint16_t minor;
  const char* help;
  std::span<const CoClassDesc> classes;
  std::span<const InterfaceDesc* const> interfaces;
  std::span<const EnumDesc* const> enums;
  std::span<const RecordDesc* const> records;
};
VASTREL_API const LibraryDesc& Library();

}  // namespace vastrel::automation
