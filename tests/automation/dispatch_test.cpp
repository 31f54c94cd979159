// The control reached as a script host reaches it: names, DISPIDs, argument conversion,
// Booleans, records, and the standard failures of late binding.
#include <gtest/gtest.h>

#include <set>

#include "automation/vastrel_impl.h"
#include "automation/vastrel_tlb.h"
#include "script_host.h"

namespace vastrel::testing {
namespace {

using namespace vastrel::automation;

class ControlTest : public ::testing::Test {
 protected:
  ComPtr<IDispatch> control = NewControl();
};

TEST(ClassRegistry, CreatesTheControlByProgIdAndClassId) {
  CLSID clsid;
  ASSERT_EQ(CLSIDFromProgID("vastrelctrl.VASTREL", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_Vastrel);
  EXPECT_EQ(CLSIDFromProgID("Other.Thing", &clsid), REGDB_E_CLASSNOTREG);

  ComPtr<IVastrel> typed;
  ASSERT_EQ(CoCreateInstance(CLSID_Vastrel, nullptr, IVastrel::kIID,
                             reinterpret_cast<void**>(typed.Out())),
            S_OK);
  ComPtr<IConnectionPointContainer> cpc = QueryAs<IConnectionPointContainer>(typed.get());
  EXPECT_TRUE(cpc);
  EXPECT_FALSE(QueryAs<IKeys>(typed.get())) << "the control is no key collection";

  void* p = nullptr;
  EXPECT_EQ(CoCreateInstance(IID_IDispatch, nullptr, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(CoCreateInstance(CLSID_Vastrel, typed.get(), IID_IUnknown, &p), CLASS_E_NOAGGREGATION);
}

TEST_F(ControlTest, NamesResolveWithoutRegardToCaseToTheirDispids) {
  const struct {
    const char* name;
    DISPID id;
  } rows[] = {{"callbtrieve", 0x1}, {"NEXT", 0xB},         {"KeyString", 0x1D},
              {"searching", 0x26},  {"Enabled", -514},     {"aboutbox", -552},
              {"DataBuffer", 0x28}, {"KeyBuffer", 0x41},   {"Keys", 0x27},
              {"FileFlags", 0x46},  {"FieldByName", 0x4A}, {"decimalseparator", 0x50},
              {"Visible", 0x3E},    {"LocatePrior", 0x54}, {"DDFIndexes", 0x55},
              {"ddffields", 0x5A}};
  for (const auto& r : rows) EXPECT_EQ(IdOf(control.get(), r.name), r.id) << r.name;

  const char* with_params[] = {"findkey", "KEYVALUE", "IndexName"};
  DISPID ids[3];
  ASSERT_EQ(control->GetIDsOfNames(IID_NULL, with_params, 3, 0, ids), S_OK);
  EXPECT_EQ(ids[0], 0x51);
  EXPECT_EQ(ids[1], 1);
  EXPECT_EQ(ids[2], 0);

  const char* unknown[] = {"NoSuchMember"};
  EXPECT_EQ(control->GetIDsOfNames(IID_NULL, unknown, 1, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], DISPID_UNKNOWN);
  const char* bad_param[] = {"FindKey", "Key"};
  EXPECT_EQ(control->GetIDsOfNames(IID_NULL, bad_param, 2, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], 0x51);
  EXPECT_EQ(ids[1], DISPID_UNKNOWN);
}

// Each interface of the library answers every (DISPID, kind) once and every name once per
// kind, so that dispatch can never pick the wrong member.
TEST(TypeLibrary, EveryInterfaceHasUniqueNamesAndDispids) {
  const LibraryDesc& lib = Library();
  EXPECT_STREQ(lib.name, "VastrelCtrl");
  EXPECT_STREQ(lib.help, "VastrelCtrl Library");
  ASSERT_EQ(lib.classes.size(), 1u);
  EXPECT_STREQ(lib.classes[0].default_interface->name, "IVastrel");
  EXPECT_STREQ(lib.classes[0].default_source->name, "IVastrelEvents");
  std::set<GUID> guids = {lib.libid, lib.classes[0].clsid};
  for (const InterfaceDesc* iface : lib.interfaces) {
    EXPECT_TRUE(guids.insert(iface->iid).second) << iface->name;
    std::set<std::pair<DISPID, int>> slots;
    std::set<std::pair<std::string, int>> names;
    for (const MemberDesc& m : iface->members) {
      EXPECT_TRUE(slots.insert({m.id, static_cast<int>(m.kind)}).second)
          << iface->name << "." << m.name;
      EXPECT_TRUE(names.insert({m.name, static_cast<int>(m.kind)}).second)
          << iface->name << "." << m.name;
    }
  }
  for (const EnumDesc* e : lib.enums) {
    EXPECT_TRUE(guids.insert(e->guid).second) << e->name;
    for (size_t i = 0; i < e->members.size(); ++i) EXPECT_EQ(e->members[i].value, int(i));
  }
  for (const RecordDesc* r : lib.records) EXPECT_TRUE(guids.insert(r->guid).second) << r->name;
  EXPECT_EQ(EnumTraits<TxKeyTypes>::Desc().members.size(), 18u);
  EXPECT_STREQ(EnumTraits<TxKeyTypes>::Desc().members[17].name, "ktUnknown");
  EXPECT_EQ(IVastrel::Desc().members.size(), 130u) << "methods, gets and puts of IVastrel";
}

TEST_F(ControlTest, BooleansCrossAsMinusOneAndZeroAndAnyNonZeroWritesTrue) {
  Outcome r = Get(control.get(), "IgnoreSmall");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value.vt, VT_BOOL);
  EXPECT_EQ(r.value.boolVal, VARIANT_TRUE);

  for (Variant written : {Variant(int32_t{2}), Variant(-7.5), Variant("true"), Variant("1")}) {
    ASSERT_TRUE(Put(control.get(), "AutoCreate", Variant(false)).ok());
    ASSERT_TRUE(Put(control.get(), "AutoCreate", written).ok());
    EXPECT_EQ(Get(control.get(), "AutoCreate").value.boolVal, VARIANT_TRUE);
  }
  ASSERT_TRUE(Put(control.get(), "AutoCreate", Variant(int32_t{0})).ok());
  EXPECT_EQ(Get(control.get(), "AutoCreate").value.boolVal, VARIANT_FALSE);
  EXPECT_TRUE(TableOf(control.get()).IgnoreSmall());
  EXPECT_FALSE(TableOf(control.get()).AutoCreate());
}

TEST_F(ControlTest, ArgumentsAreConvertedToTheMembersKinds) {
  // Text to a 16-bit signed view, read back through the unsigned view of the same bytes.
  ASSERT_TRUE(Put(control.get(), "KeyInt", Variant("-5")).ok());
  EXPECT_EQ(Get(control.get(), "KeyWord").Int(), 65531);
  EXPECT_EQ(Get(control.get(), "KeyWord").value.vt, VT_UI2);

  ASSERT_TRUE(Put(control.get(), "KeyLong", Variant(1e3)).ok());
  EXPECT_EQ(Get(control.get(), "KeyLong").Int(), 1000);
  ASSERT_TRUE(Put(control.get(), "KeyDouble", Variant("2.5")).ok());
  EXPECT_EQ(Get(control.get(), "KeyDouble").value.dblVal, 2.5);

  // A by-reference argument is read through.
  int16_t by_ref = 77;
  ASSERT_TRUE(Put(control.get(), "KeyNum", Variant::ByRef(VT_I2, &by_ref)).ok());
  EXPECT_EQ(TableOf(control.get()).KeyNum(), 77);

  // Enumerations cross as integers.
  ASSERT_TRUE(Put(control.get(), "LockType", Variant(int32_t{3})).ok());
  EXPECT_EQ(TableOf(control.get()).LockType(), table::ltMultiwait);
  EXPECT_EQ(Get(control.get(), "TranType").value.vt, VT_I4);
}

TEST_F(ControlTest, TextViewsOfTheKeyBufferKeepEveryByteAndStayInside) {
  // Automation text is UTF-8; the key buffer holds the single-byte form.
  ASSERT_TRUE(Put(control.get(), "KeyBuffer", Variant("caf\xC3\xA9")).ok());
  EXPECT_EQ(TableOf(control.get()).KeyBufferBytes()[3], 0xE9);
  EXPECT_EQ(Get(control.get(), "KeyBuffer").Text(), "caf\xC3\xA9");

  ASSERT_TRUE(Put(control.get(), "KeyString", Variant("AB")).ok());
  EXPECT_EQ(Get(control.get(), "KeyByte").Int(), 2);
  EXPECT_EQ(Get(control.get(), "KeyString").Text(), "AB");
  EXPECT_EQ(Get(control.get(), "KeyBuffer").Text(),
            "\x02"
            "AB\xC3\xA9")
      << "KeyString writes no zero byte: the old text's last letter stays";

  // Text longer than the buffer is cut so that it and its zero stay inside 255 bytes.
  ASSERT_TRUE(Put(control.get(), "KeyBuffer", Variant(std::string(400, 'x'))).ok());
  EXPECT_EQ(Get(control.get(), "KeyBuffer").Text(), std::string(254, 'x'));
  ASSERT_TRUE(Put(control.get(), "KeyString", Variant(std::string(300, 'y'))).ok());
  EXPECT_EQ(Get(control.get(), "KeyByte").Int(), 254);
  EXPECT_EQ(Get(control.get(), "KeyString").Text(), std::string(254, 'y'));
  TableOf(control.get()).KeyBufferBytes()[0] = 255;  // a length the buffer cannot hold
  EXPECT_EQ(Get(control.get(), "KeyString").Text().size(), 254u);

  ASSERT_TRUE(Call(control.get(), "ClearKeyBuffer").ok());
  EXPECT_EQ(Get(control.get(), "KeyBuffer").Text(), "");
}

TEST_F(ControlTest, WrongCountsTypesNamesAndKindsAreRefused) {
  Outcome r = Call(control.get(), "Open", {Variant(int32_t{1})});
  EXPECT_EQ(r.hr, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Call(control.get(), "CallBtrieve").hr, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Get(control.get(), "FileName", {Variant(int32_t{1})}).hr, DISP_E_BADPARAMCOUNT);

  r = Call(control.get(), "CallBtrieve", {Variant("not a number")});
  EXPECT_EQ(r.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(r.arg_err, 0u);
  r = Put(control.get(), "KeyByte", Variant(int32_t{300}));
  EXPECT_EQ(r.hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Put(control.get(), "FileName", Variant(control.get())).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Put(control.get(), "Keys", Variant(int32_t{5})).hr, DISP_E_TYPEMISMATCH);

  EXPECT_EQ(Call(control.get(), "NoSuchMember").hr, DISP_E_UNKNOWNNAME);
  EXPECT_EQ(InvokeId(control.get(), 0x7777, DISPATCH_METHOD, {}).hr, DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Put(control.get(), "NumberOfKeys", Variant(int32_t{1})).hr, DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(InvokeId(control.get(), 0x17, DISPATCH_PROPERTYGET, {}).hr, S_OK)
      << "a host may read a method as a property";
  // A named argument the member lacks, and a missing argument marker.
  EXPECT_EQ(InvokeId(control.get(), 0x1, DISPATCH_METHOD, {}, {{5, Variant(int32_t{1})}}).hr,
            DISP_E_PARAMNOTFOUND);
  r = Call(control.get(), "CallBtrieve", {Variant::Missing()});
  EXPECT_EQ(r.hr, DISP_E_PARAMNOTOPTIONAL);
  EXPECT_EQ(r.arg_err, 0u);
  EXPECT_EQ(TableOf(control.get()).KeyNum(), 0) << "nothing ran";
}

TEST_F(ControlTest, RecordsCrossAsObjectsAndFileFlagsFoldTenAndTwentyIntoThirty) {
  Outcome flags = Get(control.get(), "FileFlags");
  ASSERT_TRUE(flags.ok());
  ASSERT_NE(flags.Object(), nullptr);
  ASSERT_TRUE(Put(flags.Object(), "ff10", Variant(true)).ok());
  ASSERT_TRUE(Put(flags.Object(), "FF20", Variant(int32_t{1})).ok());
  ASSERT_TRUE(Put(flags.Object(), "ffCompress", Variant(true)).ok());
  EXPECT_EQ(Put(flags.Object(), "ff99", Variant(true)).hr, DISP_E_UNKNOWNNAME);
  ASSERT_TRUE(Put(control.get(), "FileFlags", flags.value).ok());

  Outcome back = Get(control.get(), "FileFlags");
  EXPECT_EQ(Get(back.Object(), "ff30").value.boolVal, VARIANT_TRUE);
  EXPECT_EQ(Get(back.Object(), "ff10").value.boolVal, VARIANT_FALSE);
  EXPECT_EQ(Get(back.Object(), "ff20").value.boolVal, VARIANT_FALSE);
  EXPECT_EQ(Get(back.Object(), "ffCompress").value.boolVal, VARIANT_TRUE);

  // The typed call gives the same record.
  ComPtr<IVastrel> typed = QueryAs<IVastrel>(control.get());
  TxFileFlags record;
  ASSERT_EQ(typed->get_FileFlags(&record), S_OK);
  EXPECT_EQ(record.ff30, VARIANT_TRUE);
  EXPECT_EQ(record.ffVariableLength, VARIANT_FALSE);
}

TEST_F(ControlTest, FileFlagsAllFalseClearTheWholeWordOnlyWhenTheSetWasNotEmpty) {
  table::TBtr& t = TableOf(control.get());
  TxFileFlags none;
  ComPtr<IVastrel> typed = QueryAs<IVastrel>(control.get());
  ASSERT_EQ(typed->put_FileFlags(TxFileFlags{}), S_OK);
  EXPECT_TRUE(t.FileFlags().Empty());
  t.SetFileFlags(keys::BtrFileFlags{keys::ffKeyOnly});
  ASSERT_EQ(typed->put_FileFlags(none), S_OK);
  EXPECT_TRUE(t.FileFlags().Empty());
  EXPECT_EQ(t.FileSpec()[10] | (t.FileSpec()[11] << 8), 0);
}

TEST_F(ControlTest, StandardMembersAnswerPlainly) {
  EXPECT_EQ(Get(control.get(), "Enabled").value.boolVal, VARIANT_TRUE);
  ASSERT_TRUE(Put(control.get(), "Enabled", Variant(false)).ok());
  EXPECT_EQ(Get(control.get(), "Enabled").value.boolVal, VARIANT_FALSE);
  EXPECT_EQ(Call(control.get(), "IsRightToLeft").value.boolVal, VARIANT_FALSE);
  EXPECT_EQ(Call(control.get(), "DrawTextBiDiModeFlagsReadingOnly").Int(), 0);
  ASSERT_TRUE(Put(control.get(), "Cursor", Variant(int16_t{-11})).ok());
  EXPECT_EQ(Get(control.get(), "Cursor").Int(), -11);
  Outcome about = Call(control.get(), "AboutBox");  // no pages library in this program
  EXPECT_EQ(about.hr, DISP_E_EXCEPTION);
  EXPECT_NE(about.message.find("libvastrel_pages"), std::string::npos) << about.message;
  const std::string banner = Get(control.get(), "About").Text();
  EXPECT_EQ(banner, table::TBtr::About());
  EXPECT_TRUE(Put(control.get(), "About", Variant("mine")).ok()) << "a write is ignored";
  EXPECT_EQ(Get(control.get(), "About").Text(), banner);
  EXPECT_EQ(IdOf(control.get(), "About"), 0x2A);
  EXPECT_EQ(Get(control.get(), "NumberOfKeys").Int(), 0);
}

TEST_F(ControlTest, DecimalSeparatorTakesTheFirstCharacterAndIgnoresEmptyText) {
  ASSERT_TRUE(Put(control.get(), "DecimalSeparator", Variant(",;")).ok());
  EXPECT_EQ(Get(control.get(), "DecimalSeparator").Text(), ",");
  ASSERT_TRUE(Put(control.get(), "DecimalSeparator", Variant("")).ok());
  EXPECT_EQ(TableOf(control.get()).DecimalSeparator(), ',');
}

TEST_F(ControlTest, FailuresCarryTheirMessageInExcepinfoAndErrorInfo) {
  Outcome fields = Get(control.get(), "DDFFields");
  ASSERT_TRUE(fields.ok());
  Outcome r = Get(fields.Object(), "Items", {Variant(int32_t{5})});
  EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(r.message, "List index out of bounds (5)");

  // The typed call fails with the same message as error info.
  ComPtr<IVastrel> typed = QueryAs<IVastrel>(control.get());
  ComPtr<IBtrField> field;
  EXPECT_EQ(typed->FieldByName(Bstr("SALARY").get(), field.Out()), E_FAIL);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(info.Out()), S_OK);
  Bstr text;
  ASSERT_EQ(info->GetDescription(text.Out()), S_OK);
  EXPECT_EQ(text.view(), "Field \"SALARY\" not exists.");
  EXPECT_EQ(GetErrorInfo(info.Out()), S_FALSE) << "error info is handed over once";

  // A refused setter: a negative buffer length.
  r = Put(control.get(), "DataBufferLength", Variant(int32_t{-1}));
  EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
  EXPECT_FALSE(r.message.empty());
  EXPECT_EQ(Get(control.get(), "DataBufferLength").Int(), 0);

  // Null collections are refused and the lists stay.
  r = Put(control.get(), "Keys", Variant(static_cast<IDispatch*>(nullptr)));
  EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(r.message, "Keys can't be set to no object");
}

// A null out-pointer on the typed path answers E_POINTER and writes nothing, on the control
// and on every collection.
TEST_F(ControlTest, NullOutPointersAnswerEPointer) {
  ComPtr<IVastrel> typed = QueryAs<IVastrel>(control.get());
  EXPECT_EQ(typed->get_FileFlags(nullptr), E_POINTER);
  EXPECT_EQ(typed->get_About(nullptr), E_POINTER);
  EXPECT_EQ(typed->get_KeyNum(nullptr), E_POINTER);
  EXPECT_EQ(typed->FieldByName(Bstr("X").get(), nullptr), E_POINTER);
  ComPtr<IKeys> keys;
  ASSERT_EQ(typed->get_Keys(keys.Out()), S_OK);
  Variant v;
  EXPECT_EQ(keys->Keys(nullptr), E_POINTER);
  EXPECT_EQ(keys->KeySeg(0, nullptr, v.Out()), E_POINTER);
  EXPECT_EQ(keys->KeySeg(0, v.Out(), nullptr), E_POINTER);
  EXPECT_EQ(keys->get_Items(0, nullptr), E_POINTER);
  ComPtr<IDDFFieldItems> fields;
  ASSERT_EQ(typed->get_DDFFields(fields.Out()), S_OK);
  EXPECT_EQ(fields->IndexOf(-1, Bstr("X").get(), nullptr), E_POINTER);
}

}  // namespace
}  // namespace vastrel::testing
