// The key and dictionary collection objects: live structural operations on the table's
// lists, item objects as copies, write-back through the control, the shared accessor, the
// enumerator, and objects that outlive their control.
#include <gtest/gtest.h>

#include "automation/comlib.h"
#include "automation/vastrel_impl.h"
#include "script_host.h"

namespace vastrel::testing {
namespace {

using namespace vastrel::automation;

class CollectionTest : public ::testing::Test {
 protected:
  table::TBtr& T() { return TableOf(control.get()); }
  ComPtr<IDispatch> Obj(const Outcome& o) { return ComPtr<IDispatch>(o.Object()); }
  ComPtr<IDispatch> Keys() { return Obj(Get(control.get(), "Keys")); }
  ComPtr<IDispatch> Fields() { return Obj(Get(control.get(), "DDFFields")); }
  ComPtr<IDispatch> Indexes() { return Obj(Get(control.get(), "DDFIndexes")); }
  ComPtr<IDispatch> Item(IDispatch* coll, int32_t i) {
    return Obj(Get(coll, "Items", {Variant(i)}));
  }
  void AddField(const std::string& name, int32_t offset, int32_t size) {
    dictionary::TRecordItem& f = T().DDFFields().Add();
    f.SetFieldName(name);
    f.SetFieldOffset(offset);
    f.SetFieldSize(size);
  }

  ComPtr<IDispatch> control = NewControl();
};

// ---- Keys ----------------------------------------------------------------------------------

TEST_F(CollectionTest, KeysOnAnEmptyListAndTheFirstAddedSegment) {
  ComPtr<IDispatch> keys = Keys();
  EXPECT_EQ(Get(keys.get(), "Count").Int(), 0);
  EXPECT_EQ(Call(keys.get(), "Keys").Int(), 0);
  Variant key_num, segment;
  ASSERT_TRUE(
      Call(keys.get(), "KeySeg",
           {Variant(int32_t{0}), Variant::ByRef(VT_VARIANT, static_cast<VARIANT*>(&key_num)),
            Variant::ByRef(VT_VARIANT, static_cast<VARIANT*>(&segment))})
          .ok());
  EXPECT_EQ(key_num.lVal, 0);
  EXPECT_EQ(segment.lVal, 1);
  // An out-parameter that is not by reference is refused.
  EXPECT_EQ(Call(keys.get(), "KeySeg", {Variant(int32_t{0}), Variant(), Variant()}).hr,
            DISP_E_TYPEMISMATCH);

  Outcome added = Call(keys.get(), "Add");
  ASSERT_TRUE(added.ok());
  EXPECT_EQ(Get(added.Object(), "KeyType").Int(), 1) << "ktOldString";
  for (const char* b : {"AllowDuplicates", "AllSegmentNull", "CaseInsensitive", "Descending",
                        "KeySortedByACS", "Modifiable", "Segment", "NullSegment"})
    EXPECT_EQ(Get(added.Object(), b).value.boolVal, VARIANT_FALSE) << b;
  EXPECT_EQ(Get(keys.get(), "Count").Int(), 1);
  EXPECT_EQ(T().Keys().Count(), 1);
  EXPECT_NE(added.Object(), Item(keys.get(), 0).get()) << "Add returns a copy of its own";
}

TEST_F(CollectionTest, KeysReadTwiceIsTheSameObjectUntilActiveReplacesIt) {
  ComPtr<IDispatch> a = Keys();
  EXPECT_EQ(a, Keys());
  T().Keys().Add();
  ASSERT_TRUE(Put(control.get(), "Active", Variant(false)).ok());
  EXPECT_EQ(T().Keys().Count(), 0) << "Active false empties the list even when inactive";
  EXPECT_NE(a, Keys());
}

TEST_F(CollectionTest, ItemEditsStayCopiesUntilTheCollectionIsWrittenBack) {
  T().Keys().SetCount(3);
  T().Keys()[1].SetPosition(5);
  ComPtr<IDispatch> keys = Keys();
  ComPtr<IDispatch> first = Item(keys.get(), 0);
  ASSERT_TRUE(Put(first.get(), "AllowDuplicates", Variant(true)).ok());
  ASSERT_TRUE(Put(first.get(), "Segment", Variant(true)).ok());
  EXPECT_FALSE(T().Keys()[0].AllowDuplicates()) << "the table's segment is unchanged";
  Variant key_num, segment;
  ASSERT_TRUE(
      Call(keys.get(), "KeySeg",
           {Variant(int32_t{1}), Variant::ByRef(VT_VARIANT, static_cast<VARIANT*>(&key_num)),
            Variant::ByRef(VT_VARIANT, static_cast<VARIANT*>(&segment))})
          .ok());
  EXPECT_EQ(key_num.lVal, 1) << "numbering follows the table, not the items";

  // Insert(1) rebuilds: the edit on item 0 is lost, and positions 1 and 2 both copy the
  // former second segment.
  ASSERT_TRUE(Call(keys.get(), "Insert", {Variant(int32_t{1})}).ok());
  EXPECT_EQ(Get(keys.get(), "Count").Int(), 4);
  EXPECT_EQ(Get(Item(keys.get(), 0).get(), "AllowDuplicates").value.boolVal, VARIANT_FALSE);
  EXPECT_EQ(Get(Item(keys.get(), 1).get(), "Position").Int(), 5);
  EXPECT_EQ(Get(Item(keys.get(), 2).get(), "Position").Int(), 5);
  EXPECT_EQ(Get(first.get(), "AllowDuplicates").value.boolVal, VARIANT_TRUE)
      << "a dropped item stays a usable copy";

  // Written back, the edits reach the segments.
  ComPtr<IDispatch> item3 = Item(keys.get(), 3);
  ASSERT_TRUE(Put(item3.get(), "Length", Variant(int32_t{12})).ok());
  ASSERT_TRUE(Put(item3.get(), "CaseInsensitive", Variant(true)).ok());
  ASSERT_TRUE(Put(control.get(), "Keys", Variant(keys.get())).ok());
  EXPECT_EQ(T().Keys()[3].Length(), 12);
  EXPECT_TRUE(T().Keys()[3].CaseInsensitive());
  EXPECT_EQ(Keys(), keys) << "the written object is the current one";
}

TEST_F(CollectionTest, WritingMoreKeyItemsThanSegmentsFailsAfterCopyingTheEarlierOnes) {
  T().Keys().SetCount(2);
  ComPtr<IDispatch> keys = Keys();
  ComPtr<IDispatch> other_control = NewControl();
  TableOf(other_control.get()).Keys().SetCount(1);
  ASSERT_TRUE(Put(Item(keys.get(), 0).get(), "Length", Variant(int32_t{9})).ok());
  Outcome r = Put(other_control.get(), "Keys", Variant(keys.get()));
  EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(r.message, "List index out of bounds (1)");
  EXPECT_EQ(TableOf(other_control.get()).Keys()[0].Length(), 9);
  EXPECT_EQ(Get(other_control.get(), "Keys").Object(), keys.get());
}

// The definition collections behave as the keys do: the earlier items are copied, then
// the first item without a definition fails the write.
TEST_F(CollectionTest, WritingMoreDefinitionItemsThanDefinitionsFailsAfterCopyingTheEarlierOnes) {
  AddField("A", 0, 1);
  AddField("B", 1, 1);
  T().DDFIndexes().Add().SetIndexName("I1");
  T().DDFIndexes().Add().SetIndexName("I2");
  ComPtr<IDispatch> other = NewControl();
  TableOf(other.get()).DDFFields().Add();
  TableOf(other.get()).DDFIndexes().Add();
  Outcome r = Put(other.get(), "DDFFields", Variant(Fields().get()));
  EXPECT_EQ(r.message, "List index out of bounds (1)");
  EXPECT_EQ(TableOf(other.get()).DDFFields()[0].FieldName(), "A");
  r = Put(other.get(), "DDFIndexes", Variant(Indexes().get()));
  EXPECT_EQ(r.message, "List index out of bounds (1)");
  EXPECT_EQ(TableOf(other.get()).DDFIndexes()[0].IndexName(), "I1");
}

// Written back together, the key type wins over a disagreeing extended type, except Custom
// (ktUnknown), which keeps the extended type code as written.
TEST_F(CollectionTest, KeyTypeAndExtendedTypeWrittenBackTogether) {
  T().Keys().SetCount(2);
  ComPtr<IDispatch> keys = Keys();
  ASSERT_TRUE(Put(Item(keys.get(), 0).get(), "KeyType", Variant(int32_t{keys::ktInteger})).ok());
  ASSERT_TRUE(Put(Item(keys.get(), 0).get(), "ExtendedType", Variant(int32_t{0})).ok());
  ASSERT_TRUE(Put(Item(keys.get(), 1).get(), "KeyType", Variant(int32_t{keys::ktUnknown})).ok());
  ASSERT_TRUE(Put(Item(keys.get(), 1).get(), "ExtendedType", Variant(int32_t{99})).ok());
  ASSERT_TRUE(Put(control.get(), "Keys", Variant(keys.get())).ok());
  EXPECT_EQ(T().Keys()[0].KeyType(), keys::ktInteger);
  EXPECT_EQ(T().Keys()[0].ExtendedType(), 1);
  EXPECT_EQ(T().Keys()[1].ExtendedType(), 99);
  EXPECT_EQ(T().Keys()[1].KeyType(), keys::ktUnknown);
}

TEST_F(CollectionTest, ForEachWalksTheIndexes) {
  T().DDFIndexes().Add().SetIndexName("I1");
  T().DDFIndexes().Add().SetIndexName("I2");
  ComPtr<IEnumVARIANT> it = QueryAs<IEnumVARIANT>(Get(Indexes().get(), "_NewEnum").value.punkVal);
  ASSERT_TRUE(it);
  std::vector<std::string> names;
  VARIANT v;
  while (it->Next(1, &v, nullptr) == S_OK) {
    names.push_back(Get(v.pdispVal, "IndexName").Text());
    VariantClear(&v);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"I1", "I2"}));
}

TEST_F(CollectionTest, KeysCountEndsTheLastKeyAndOldItemsKeepShowingTheirCopy) {
  T().Keys().SetCount(2);
  T().Keys()[0].SetSegment(true);
  T().Keys()[1].SetSegment(true);
  ComPtr<IDispatch> keys = Keys();
  EXPECT_EQ(Call(keys.get(), "Keys").Int(), 1);
  EXPECT_FALSE(T().Keys()[1].Segment());
  EXPECT_EQ(Get(Item(keys.get(), 1).get(), "Segment").value.boolVal, VARIANT_TRUE);
}

TEST_F(CollectionTest, SixteenBitFieldsAreSignExtendedInItemsAndDescriptions) {
  keys::TKey& k = T().Keys().Add();
  k.SetPosition(40000);
  k.SetLength(65535);
  k.SetKeyValues(0xA1B2C3D4u);
  k.SetManually(0xFF);
  k.SetReserv(0x4241);  // "AB"
  ComPtr<IDispatch> item = Item(Keys().get(), 0);
  EXPECT_EQ(Get(item.get(), "Position").Int(), 40000 - 65536);
  EXPECT_EQ(Get(item.get(), "Length").Int(), -1);
  ComPtr<IDispatch> desc = Obj(Get(item.get(), "Description"));
  EXPECT_EQ(Get(desc.get(), "Position").Int(), 40000 - 65536);
  EXPECT_EQ(Get(desc.get(), "KeyValues").Int(), static_cast<int32_t>(0xA1B2C3D4u));
  EXPECT_EQ(Get(desc.get(), "Manually").Int(), -1);
  EXPECT_EQ(Get(desc.get(), "Reserv").Text(), "AB");

  // The description is a separate copy: a put replaces it whole and the individual
  // properties stay; written back, its key values, null value, Manually and ACS arrive.
  ASSERT_TRUE(Put(desc.get(), "KeyValues", Variant(int32_t{7})).ok());
  ASSERT_TRUE(Put(desc.get(), "ACS", Variant(int32_t{3})).ok());
  ASSERT_TRUE(Put(desc.get(), "Position", Variant(int32_t{99})).ok());
  ASSERT_TRUE(Put(item.get(), "Description", Variant(desc.get())).ok());
  EXPECT_EQ(Get(item.get(), "Position").Int(), 40000 - 65536);
  ASSERT_TRUE(Put(control.get(), "Keys", Variant(Keys().get())).ok());
  EXPECT_EQ(T().Keys()[0].KeyValues(), 7u);
  EXPECT_EQ(T().Keys()[0].ACS(), 3);
  EXPECT_EQ(T().Keys()[0].Position(), static_cast<int16_t>(40000));
}

TEST_F(CollectionTest, KeyIndexErrorsChangeNothing) {
  T().Keys().SetCount(2);
  ComPtr<IDispatch> keys = Keys();
  ComPtr<IDispatch> kept = Item(keys.get(), 0);
  for (int32_t at : {-1, 3}) {
    Outcome r = Call(keys.get(), "Insert", {Variant(at)});
    EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(r.message, "List index out of bounds (" + std::to_string(at) + ")");
  }
  EXPECT_EQ(Call(keys.get(), "Delete", {Variant(int32_t{2})}).message,
            "List index out of bounds (2)");
  EXPECT_EQ(Get(keys.get(), "Items", {Variant(int32_t{-1})}).message,
            "List index out of bounds (-1)");
  EXPECT_EQ(T().Keys().Count(), 2);
  EXPECT_EQ(Item(keys.get(), 0), kept) << "no rebuild after a failure";
}

// ---- Dictionary ----------------------------------------------------------------------------

TEST_F(CollectionTest, FindFieldIgnoresCaseWhileIndexOfDoesNot) {
  AddField("NAME", 0, 10);
  AddField("AGE", 10, 3);
  ComPtr<IDispatch> fields = Fields();
  Outcome found = Call(fields.get(), "FindField", {Variant("age")});
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(Get(found.Object(), "FieldName").Text(), "AGE");
  EXPECT_EQ(Get(found.Object(), "Offset").Int(), 10);
  EXPECT_EQ(Call(fields.get(), "IndexOf", {Variant(int32_t{-1}), Variant("age")}).Int(), -1);
  EXPECT_EQ(Call(fields.get(), "IndexOf", {Variant(int32_t{-1}), Variant("AGE")}).Int(), 1);
  // Named arguments in any order reach their parameters.
  Outcome named = InvokeId(fields.get(), IdOf(fields.get(), "IndexOf"), DISPATCH_METHOD, {},
                           {{1, Variant("NAME")}, {0, Variant(int32_t{-1})}});
  EXPECT_EQ(named.Int(), 0);
  Outcome missing = Call(fields.get(), "FindField", {Variant("SALARY")});
  EXPECT_EQ(missing.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(missing.message, "Field \"SALARY\" not exists.");

  // The lookup reads the item copies, edits not yet written back included, and a miss
  // leaves the accessor loaded from the last item.
  ASSERT_TRUE(Put(Item(fields.get(), 0).get(), "Offset", Variant(int32_t{4})).ok());
  ComPtr<IDispatch> held = Obj(Call(fields.get(), "FindField", {Variant("name")}));
  EXPECT_EQ(Get(held.get(), "Offset").Int(), 4);
  EXPECT_FALSE(Call(fields.get(), "FindField", {Variant("SALARY")}).ok());
  EXPECT_EQ(Get(held.get(), "FieldName").Text(), "AGE");
  EXPECT_EQ(Get(held.get(), "Size").Int(), 3);

  // FieldByName on the control uses the same lookup.
  EXPECT_EQ(Get(Call(control.get(), "FieldByName", {Variant("name")}).Object(), "Size").Int(), 10);
}

TEST_F(CollectionTest, ItemEditsReachLookupsButNotTheDefinitionsUntilWrittenBack) {
  AddField("NAME", 0, 10);
  ComPtr<IDispatch> fields = Fields();
  ASSERT_TRUE(Put(Item(fields.get(), 0).get(), "FieldName", Variant("KEY")).ok());
  EXPECT_EQ(Get(Item(fields.get(), 0).get(), "FieldName").Text(), "KEY");
  EXPECT_TRUE(Call(fields.get(), "FindField", {Variant("key")}).ok());
  EXPECT_EQ(Call(fields.get(), "IndexOf", {Variant(int32_t{-1}), Variant("KEY")}).Int(), -1);

  // A rebuild (Add) discards the edit.
  Outcome added = Call(fields.get(), "Add");
  ASSERT_TRUE(added.ok());
  EXPECT_EQ(Get(Item(fields.get(), 0).get(), "FieldName").Text(), "NAME");
  ASSERT_TRUE(Put(added.Object(), "FieldName", Variant("OTHER")).ok());
  EXPECT_EQ(Get(Item(fields.get(), 1).get(), "FieldName").Text(), "FIELD2");

  // Written back before a rebuild, the edit stays.
  ASSERT_TRUE(Put(Item(fields.get(), 0).get(), "FieldName", Variant("KEY")).ok());
  ASSERT_TRUE(Put(control.get(), "DDFFields", Variant(fields.get())).ok());
  EXPECT_EQ(T().DDFFields()[0].FieldName(), "KEY");
  ASSERT_TRUE(Call(fields.get(), "Clear").ok());
  EXPECT_EQ(T().DDFFields().Count(), 0);
  EXPECT_EQ(Get(fields.get(), "Count").Int(), 0);
}

TEST_F(CollectionTest, ExchangeCountsFromOneAndRebuilds) {
  AddField("A", 0, 1);
  AddField("B", 1, 1);
  ComPtr<IDispatch> fields = Fields();
  ASSERT_TRUE(Call(fields.get(), "Exchange", {Variant(int32_t{1}), Variant(int32_t{2})}).ok());
  EXPECT_EQ(Get(Item(fields.get(), 0).get(), "FieldName").Text(), "B");
  Outcome bad = Call(fields.get(), "Exchange", {Variant(int32_t{0}), Variant(int32_t{1})});
  EXPECT_EQ(bad.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(bad.message, "List index out of bounds (-1)");
  EXPECT_EQ(Call(fields.get(), "Delete", {Variant(int32_t{2})}).message,
            "List index out of bounds (2)");
}

TEST_F(CollectionTest, EveryLookupReturnsTheOneAccessorLoadedWithTheLastField) {
  AddField("NAME", 0, 5);
  AddField("CITY", 5, 4);
  T().SetDataBufferLength(16);
  T().SetDataBufferText("ALICEOSLO");
  ComPtr<IDispatch> fields = Fields();
  ComPtr<IDispatch> name = Obj(Call(fields.get(), "FindField", {Variant("NAME")}));
  ComPtr<IDispatch> city = Obj(Call(fields.get(), "FindField", {Variant("CITY")}));
  EXPECT_EQ(name, city);
  EXPECT_EQ(Get(name.get(), "FieldName").Text(), "CITY");
  // Typed access needs an open file; the definition members do not.
  Outcome r = Get(name.get(), "AsString");
  EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(r.message, "File not open.");
  EXPECT_EQ(Get(name.get(), "Size").Int(), 4);
}

TEST_F(CollectionTest, IndexCollectionFindsByNameAndWritesBack) {
  dictionary::TIndexItem& ix = T().DDFIndexes().Add();
  ix.SetIndexName("BYNAME");
  ix.SetIndexKeyNum(2);
  ComPtr<IDispatch> indexes = Indexes();
  Outcome found = Call(indexes.get(), "FindIndex", {Variant("byname")});
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(Get(found.Object(), "IndexKeyNum").Int(), 2);
  EXPECT_EQ(Call(indexes.get(), "FindIndex", {Variant("X")}).message, "Index \"X\" not exists.");
  ASSERT_TRUE(Put(Item(indexes.get(), 0).get(), "IndexKeyNum", Variant(int32_t{4})).ok());
  EXPECT_EQ(T().DDFIndexes()[0].IndexKeyNum(), 2);
  ASSERT_TRUE(Put(control.get(), "DDFIndexes", Variant(indexes.get())).ok());
  EXPECT_EQ(T().DDFIndexes()[0].IndexKeyNum(), 4);
}

// ---- Enumerator ----------------------------------------------------------------------------

TEST_F(CollectionTest, EnumeratorNextSkipResetAndClone) {
  AddField("A", 0, 1);
  AddField("B", 1, 1);
  AddField("C", 2, 1);
  Outcome e = Get(Fields().get(), "_NewEnum");
  ASSERT_TRUE(e.ok());
  ASSERT_EQ(e.value.vt, VT_UNKNOWN);
  ComPtr<IEnumVARIANT> it = QueryAs<IEnumVARIANT>(e.value.punkVal);
  ASSERT_TRUE(it);

  auto name_of = [](const VARIANT& v) { return Get(v.pdispVal, "FieldName").Text(); };
  VARIANT out[2];
  uint32_t fetched = 99;
  EXPECT_EQ(it->Next(2, out, &fetched), S_OK);
  EXPECT_EQ(fetched, 2u);
  EXPECT_EQ(name_of(out[0]), "A");
  EXPECT_EQ(name_of(out[1]), "B");
  VariantClear(&out[0]);
  VariantClear(&out[1]);
  EXPECT_EQ(it->Next(2, out, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 1u);
  EXPECT_EQ(name_of(out[0]), "C");
  VariantClear(&out[0]);

  EXPECT_EQ(it->Reset(), S_OK);
  EXPECT_EQ(it->Skip(5), S_FALSE);
  EXPECT_EQ(it->Next(1, out, &fetched), S_FALSE) << "the position stands at the end";
  EXPECT_EQ(fetched, 0u);

  it->Reset();
  ASSERT_EQ(it->Next(1, out, nullptr), S_OK);
  VariantClear(&out[0]);
  ComPtr<IEnumVARIANT> clone;
  ASSERT_EQ(it->Clone(clone.Out()), S_OK);
  ASSERT_EQ(clone->Next(1, out, nullptr), S_OK);
  EXPECT_EQ(name_of(out[0]), "B");
  VariantClear(&out[0]);
}

TEST_F(CollectionTest, EnumeratorSeesChangesMadeWhileItRunsAndKeepsItsCollectionAlive) {
  T().Keys().SetCount(1);
  ComPtr<IEnumVARIANT> it;
  {
    ComPtr<IDispatch> keys = Keys();
    it = QueryAs<IEnumVARIANT>(Get(keys.get(), "_NewEnum").value.punkVal);
    ASSERT_TRUE(Call(keys.get(), "Add").ok());
  }
  ASSERT_TRUE(Put(control.get(), "Active", Variant(false)).ok());  // drops the control's copy
  VARIANT out[3];
  uint32_t fetched = 0;
  EXPECT_EQ(it->Next(3, out, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 2u);
  for (uint32_t i = 0; i < fetched; ++i) VariantClear(&out[i]);
}

// ---- Objects outliving their control -------------------------------------------------------

TEST_F(CollectionTest, ObjectsUsedAfterTheControlIsGoneFailWithoutTouchingIt) {
  AddField("NAME", 0, 5);
  T().Keys().SetCount(1);
  ComPtr<IDispatch> keys = Keys();
  ComPtr<IDispatch> fields = Fields();
  ComPtr<IDispatch> field = Obj(Call(fields.get(), "FindField", {Variant("NAME")}));
  ComPtr<IDispatch> item = Item(keys.get(), 0);
  control = nullptr;  // the last reference: the control and its table are freed

  for (Outcome r : {Call(keys.get(), "Add"), Call(keys.get(), "Keys"), Call(fields.get(), "Clear"),
                    Get(field.get(), "FieldName"),
                    Call(fields.get(), "IndexOf", {Variant(int32_t{-1}), Variant("NAME")})}) {
    EXPECT_EQ(r.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(r.message, kControlGone);
  }
  // Copies held by the host still answer.
  EXPECT_EQ(Get(keys.get(), "Count").Int(), 1);
  EXPECT_EQ(Get(item.get(), "KeyType").Int(), 1);
}

}  // namespace
}  // namespace vastrel::testing
