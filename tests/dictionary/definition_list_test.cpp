// Field and index definition lists: defaults of Add, offsets, exact-name lookup, Exchange.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>

#include "dictionary/btrdictlist.h"
#include "platform/error.h"
#include "tests/dictionary/fake_host.h"

namespace vastrel::dictionary {
namespace {

using testing::FakeHost;

void ExpectIndexError(const std::function<void()>& f, const std::string& index) {
  try {
    f();
    ADD_FAILURE() << "no index error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (" + index + ")");
  }
}

class FieldList : public ::testing::Test {
 protected:
  // Appends a field with the given name, offset and size.
  TRecordItem& Field(const std::string& name, int32_t offset, int32_t size) {
    TRecordItem& f = fields.Add();
    f.SetFieldName(name);
    f.SetFieldOffset(offset);
    f.SetFieldSize(size);
    return f;
  }
  std::string Names() const {
    std::string out;
    for (int i = 0; i < fields.Count(); ++i) out += (i ? "," : "") + fields[i].FieldName();
    return out;
  }

  FakeHost host;
  TRecordItems fields{host};
};

TEST_F(FieldList, AddNamesByCountAndPlacesAfterEarlierSizes) {
  const TRecordItem& f1 = fields.Add();
  EXPECT_EQ(f1.FieldName(), "FIELD1");
  EXPECT_EQ(f1.FieldType(), ftSTRING);
  EXPECT_EQ(f1.FieldOffset(), 0);
  EXPECT_EQ(f1.FieldSize(), 1);
  EXPECT_EQ(fields.Add().FieldOffset(), 1);
  fields[0].SetFieldSize(10);
  EXPECT_EQ(fields[1].FieldOffset(), 1) << "stored offsets are never recomputed";
  const TRecordItem& f3 = fields.Add();
  EXPECT_EQ(f3.FieldName(), "FIELD3");
  EXPECT_EQ(f3.FieldOffset(), 11);
}

TEST_F(FieldList, AddAfterDeleteRepeatsAName) {
  fields.Add();
  fields.Add();
  fields.Add();
  fields.Delete(0);
  fields.Add();
  EXPECT_EQ(Names(), "FIELD2,FIELD3,FIELD3");
}

TEST_F(FieldList, CalcFieldOffsetBounds) {
  Field("A", 0, 10);
  Field("B", 10, 5);
  EXPECT_EQ(fields.CalcFieldOffset(0), 0);
  EXPECT_EQ(fields.CalcFieldOffset(1), 10);
  EXPECT_EQ(fields.CalcFieldOffset(2), 0) << "beyond the last position";
  EXPECT_EQ(fields.CalcFieldOffset(-4), 0);
}

TEST_F(FieldList, CalcFieldOffsetSaturatesInsteadOfWrapping) {
  Field("A", 0, INT32_MAX);
  Field("B", 0, INT32_MAX);
  Field("C", 0, 1);
  EXPECT_EQ(fields.CalcFieldOffset(2), INT32_MAX);
  fields[0].SetFieldSize(INT32_MIN);
  fields[1].SetFieldSize(INT32_MIN);
  EXPECT_EQ(fields.CalcFieldOffset(2), INT32_MIN);
}

TEST_F(FieldList, IndexOfIsCaseSensitiveAndSkipsOnePosition) {
  Field("FIELD1", 0, 1);
  EXPECT_EQ(fields.IndexOf(-1, "field1"), -1);
  EXPECT_EQ(fields.IndexOf(-1, "FIELD1"), 0);
  EXPECT_EQ(fields.IndexOf(0, "FIELD1"), -1);
  Field("X", 0, 1);
  Field("FIELD1", 0, 1);
  EXPECT_EQ(fields.IndexOf(0, "FIELD1"), 2);
  EXPECT_EQ(fields.IndexOf(99, "FIELD1"), 0) << "an except index outside skips nothing";
  EXPECT_EQ(fields.IndexOf(-1, "FIELD"), -1) << "a prefix is not a match";
  EXPECT_EQ(fields.IndexOf(-1, "FIELD1 "), -1);
}

TEST_F(FieldList, ExchangeSwapsValuesOffsetsTravel) {
  Field("A", 0, 10).SetFieldType(ftINTEGER);
  Field("B", 10, 5);
  TRecordItem* first = &fields[0];
  fields.Exchange(1, 2);
  EXPECT_EQ(&fields[0], first) << "definitions keep their places";
  EXPECT_EQ(fields[0].FieldName(), "B");
  EXPECT_EQ(fields[0].FieldOffset(), 10);
  EXPECT_EQ(fields[0].FieldSize(), 5);
  EXPECT_EQ(fields[0].FieldType(), ftSTRING);
  EXPECT_EQ(fields[1].FieldName(), "A");
  EXPECT_EQ(fields[1].FieldOffset(), 0);
  EXPECT_EQ(fields[1].FieldType(), ftINTEGER);
  fields.Exchange(2, 2);
  EXPECT_EQ(Names(), "B,A");
}

TEST_F(FieldList, ExchangeOutOfBoundsChangesNothing) {
  Field("A", 0, 1);
  Field("B", 1, 1);
  ExpectIndexError([&] { fields.Exchange(0, 1); }, "-1");
  ExpectIndexError([&] { fields.Exchange(1, 3); }, "2");
  ExpectIndexError([&] { fields.Exchange(3, 0); }, "2");
  ExpectIndexError([&] { fields.Exchange(INT_MIN, 1); }, "-2147483649");
  EXPECT_EQ(Names(), "A,B");
}

TEST_F(FieldList, ItemsAndDeleteBounds) {
  Field("A", 0, 1);
  ExpectIndexError([&] { fields.Items(1); }, "1");
  ExpectIndexError([&] { fields.Items(-1); }, "-1");
  ExpectIndexError([&] { fields.Delete(1); }, "1");
  EXPECT_EQ(fields.Count(), 1);
  fields.Clear();
  EXPECT_EQ(fields.Count(), 0);
  ExpectIndexError([&] { fields.Delete(0); }, "0");
}

TEST(IndexList, AddAndLookupByExactName) {
  FakeHost host;
  TIndexItems indexes(host);
  const TIndexItem& i1 = indexes.Add();
  EXPECT_EQ(i1.IndexName(), "INDEX1");
  EXPECT_EQ(i1.IndexKeyNum(), -1);
  indexes.Add().SetIndexName("ByName");
  indexes[1].SetIndexKeyNum(3);
  EXPECT_EQ(indexes.IndexOf(-1, "ByName"), 1);
  EXPECT_EQ(indexes.IndexOf(-1, "BYNAME"), -1);
  indexes.Exchange(2, 1);
  EXPECT_EQ(indexes[0].IndexName(), "ByName");
  EXPECT_EQ(indexes[0].IndexKeyNum(), 3);
  EXPECT_EQ(indexes[1].IndexKeyNum(), -1);
  EXPECT_EQ(&indexes.Owner(), &host);
  EXPECT_EQ(&indexes.Accessor().Table(), &host);
}

}  // namespace
}  // namespace vastrel::dictionary
