// The key buffer's views and the search by index name: what lands in the key buffer,
// which key number is searched, and what is left behind after a hit or a miss.
#include <cstring>

#include "platform/locale.h"
#include "tests/table/table_fixture.h"

namespace vastrel::table {
namespace {

std::vector<uint8_t> KeyBytes(const TBtr& t, int n) {
  return std::vector<uint8_t>(t.KeyBufferBytes(), t.KeyBufferBytes() + n);
}

TEST_F(TableTest, KeyStringIsLengthPrefixedAndAddsNoZeroByte) {
  std::memset(table.KeyBufferBytes(), 'z', kKeyBufferSize);
  table.SetKeyString("ABC");
  EXPECT_EQ(KeyBytes(table, 5), (std::vector<uint8_t>{3, 'A', 'B', 'C', 'z'}));
  EXPECT_EQ(table.KeyString(), "ABC");

  table.SetKeyString(std::string(300, 'q'));
  EXPECT_EQ(table.KeyByte(), 254);
  EXPECT_EQ(table.KeyString(), std::string(254, 'q'));
  table.SetKeyByte(255);
  EXPECT_EQ(table.KeyString(), std::string(254, 'q')) << "only 254 characters lie in the buffer";
}

TEST_F(TableTest, NumericViewsShareTheLittleEndianBytes) {
  table.ClearKeyBuffer();
  table.SetKeyInt(-2);
  EXPECT_EQ(KeyBytes(table, 3), (std::vector<uint8_t>{0xFE, 0xFF, 0}));
  EXPECT_EQ(table.KeyWord(), 65534);
  EXPECT_EQ(table.KeyByte(), 254);

  table.SetKeyLong(1);
  EXPECT_EQ(table.KeyBuffer(), std::string(1, '\x01'));
  table.SetKeyDouble(2.5);
  EXPECT_EQ(table.KeyDouble(), 2.5);
  EXPECT_EQ(table.KeyLong(), 0) << "the double's low word";

  table.ClearKeyBuffer();
  EXPECT_EQ(table.KeyBuffer(), "");
}

TEST_F(TableTest, KeyBufferTextNeverRunsPastTheBuffer) {
  table.SetKeyBuffer(std::string(400, 'k'));
  EXPECT_EQ(table.KeyBuffer(), std::string(254, 'k'));
  EXPECT_EQ(table.KeyBufferBytes()[254], 0);
  std::memset(table.KeyBufferBytes(), 'x', kKeyBufferSize);
  EXPECT_EQ(table.KeyBuffer(), std::string(255, 'x')) << "no zero byte: all 255, nothing more";
}

class KeySearch : public TableTest {
 protected:
  // Index "Idx1" on key number 1, whose first segment (position 1 in the segment list) is
  // 10 bytes wide; key 0 has a segment of width 4.
  void SetUp() override {
    OpenFile(40);
    table.Keys().Add().SetLength(4);
    table.Keys().Add().SetLength(10);
    auto& index = table.DDFIndexes().Add();
    index.SetIndexName("Idx1");
    index.SetIndexKeyNum(1);
    table.DDFIndexes().Add().SetIndexName("Wide");        // key number -1
    table.DDFIndexes().Items(1).SetIndexKeyNum(0x10005);  // low 16 bits: 5
  }
  std::string SentKey() const { return engine.Last().KeyText(); }
};

TEST_F(KeySearch, FindKeyPadsTheTextToTheSegmentWidthAndKeepsTheIndexOnSuccess) {
  EXPECT_TRUE(table.FindKey("Idx1", Variant("AB")));
  EXPECT_EQ(engine.Last().operation, engine::kOpGetEqual);
  EXPECT_EQ(engine.Last().key_number, 1);
  EXPECT_EQ(SentKey(), "AB        ");
  EXPECT_EQ(engine.Last().key[10], 0);
  EXPECT_EQ(table.KeyNum(), 1);

  EXPECT_TRUE(table.LocateNext());
  EXPECT_EQ(engine.Last().operation, engine::kOpGetNext);
  EXPECT_EQ(engine.Last().key_number, 1);
}

TEST_F(KeySearch, LocateReadsGreaterOrEqualWithTheComposedCode) {
  table.SetLockType(ltSinglenowait);
  EXPECT_TRUE(table.Locate("Idx1", Variant(int32_t{42})));
  EXPECT_EQ(engine.Last().operation, 209);
  EXPECT_EQ(SentKey(), "42        ");
}

TEST_F(KeySearch, AMissRestoresKeyNumAndTheNextStepUsesIt) {
  table.SetKeyNum(0);
  engine.Reply(engine::kOpGetEqual, 4);
  EXPECT_FALSE(table.FindKey("Idx1", Variant("ZZ")));
  EXPECT_EQ(table.KeyNum(), 0);
  EXPECT_TRUE(table.LocateNext());
  EXPECT_EQ(engine.Last().key_number, 0);

  engine.Reply(engine::kOpGetGreaterOrEqual, 9);
  EXPECT_FALSE(table.Locate("Idx1", Variant("~~~")));
  EXPECT_EQ(table.KeyNum(), 0);

  engine.Reply(engine::kOpGetPrevious, 9);
  EXPECT_FALSE(table.LocatePrior());
  engine.Reply(engine::kOpGetNext, 1001);
  EXPECT_FALSE(table.LocateNext());
}

TEST_F(KeySearch, NamesAreMatchedWithCase) {
  table.SetKeyNum(0);
  table.SetKeyBuffer("as it was");
  EXPECT_TRUE(table.FindKey("IDX1", Variant("AB")));
  EXPECT_EQ(engine.Last().key_number, 0);
  EXPECT_EQ(SentKey(), "as it was") << "an unknown name searches with what is there";

  engine.Reply(engine::kOpGetEqual, 4);
  table.SetKeyNum(1);
  EXPECT_FALSE(table.FindKey("idx1", Variant("AB")));
  EXPECT_EQ(table.KeyNum(), 1);
}

TEST_F(KeySearch, ValuesBecomeTextByTheirKind) {
  table.SetKeyNum(0);
  table.Keys().Clear();  // no segment: no padding
  table.SetDecimalSeparator(',');
  table.SetTRUEFormat("Y");
  table.SetFALSEFormat("N");
  table.SetDATEFormat("DD.MM.YYYY");
  const auto saved = platform::Locale::Replace({.decimal_separator = '.', .time_separator = ':'});
  Variant by_ref;
  int32_t referenced = 7;
  by_ref.vt = VT_I4 | VT_BYREF;
  by_ref.plVal = &referenced;
  const std::vector<std::pair<Variant, std::string>> cases = {
      {Variant(int16_t{-12}), "-12"},
      {Variant(int32_t{123456}), "123456"},
      {Variant(uint8_t{200}), "200"},
      {Variant(3.5), "3,5"},
      {Variant(0.25f), "0,25"},
      {Variant::Currency(12345), "1,2345"},
      {Variant::Date(36526.0), "01.01.2000"},
      {Variant(true), "Y"},
      {Variant(false), "N"},
      {Variant("Grüße"),
       "Gr\xFC\xDF"
       "e"},
      {Variant(), ""},
      {Variant::Null(), ""},
      {Variant(int64_t{5}), ""},
      {by_ref, ""},
  };
  for (const auto& [value, text] : cases) {
    EXPECT_EQ(table.KeyText(value), text) << "kind " << value.vt;
  }
  platform::Locale::Replace(saved);
}

TEST_F(KeySearch, DecimalSeparatorIsExchangedWhateverTheSystemUses) {
  const auto saved = platform::Locale::Replace({.decimal_separator = ',', .time_separator = ':'});
  table.SetDecimalSeparator('.');
  EXPECT_EQ(table.KeyText(Variant(3.5)), "3.5 ") << "padded to key 0's width";
  table.SetDecimalSeparator(',');
  EXPECT_EQ(table.KeyText(Variant(3.5)), "3,5 ");
  platform::Locale::Replace(saved);
}

TEST_F(KeySearch, PreparationErrorsReachTheCallerAndLeaveKeyNum) {
  table.SetKeyNum(0);
  engine.ClearCalls();
  Variant object;
  object.vt = VT_UNKNOWN;
  object.punkVal = nullptr;
  EXPECT_EQ(ErrorOf([&] { table.FindKey("Idx1", object); }), kInvalidVariantConversion);
  EXPECT_EQ(table.KeyNum(), 0);

  table.DDFIndexes().Add().SetIndexName("Negative");  // key number -1: segment -1
  EXPECT_EQ(ErrorOf([&] { table.Locate("Negative", Variant("A")); }),
            "List index out of bounds (-1)");
  EXPECT_EQ(table.KeyNum(), 0);
  EXPECT_TRUE(engine.Calls().empty()) << "nothing is searched after a preparation error";
}

TEST_F(KeySearch, KeyNumBeyondTheSegmentsAndOverlongTextStayInsideTheBuffer) {
  EXPECT_TRUE(table.FindKey("Wide", Variant(int32_t{42})));
  EXPECT_EQ(engine.Last().key_number, 5);
  EXPECT_EQ(SentKey(), "42");

  EXPECT_TRUE(table.FindKey("Idx1", Variant(std::string(300, 'L'))));
  EXPECT_EQ(SentKey(), std::string(254, 'L'));
}

TEST_F(KeySearch, ASuccessfulSearchRaisesRecChanged) {
  WatchRecChanged();
  EXPECT_TRUE(table.FindKey("Idx1", Variant("AB")));
  EXPECT_EQ(rec_changed, 1);
}

// A C++ host's handler may throw anything; the search still answers false and puts KeyNum
// back.
TEST_F(KeySearch, AHandlerThatThrowsAnythingMakesTheSearchFalse) {
  table.SetKeyNum(0);
  table.OnRecChanged = [](TBtr&) { throw 42; };
  EXPECT_FALSE(table.FindKey("Idx1", Variant("AB")));
  EXPECT_EQ(table.KeyNum(), 0);
  EXPECT_FALSE(table.Locate("Idx1", Variant("AB")));
  EXPECT_FALSE(table.LocateNext());
  EXPECT_FALSE(table.LocatePrior());
}

}  // namespace
}  // namespace vastrel::table
