// Key segment properties as views onto the 16-byte key specification block.
#include <gtest/gtest.h>

#include "keys/btrkey.h"

namespace vastrel::keys {
namespace {

TEST(KeySegmentBlock, NewSegmentIsAllZeroAndReadsOldString) {
  TKey k;
  EXPECT_EQ(k.Block(), KeySpecBlock{});
  EXPECT_EQ(k.KeyType(), ktOldString);
  EXPECT_EQ(k.ExtendedType(), 0);
  EXPECT_FALSE(k.AllowDuplicates() || k.AllSegmentNull() || k.CaseInsensitive() || k.Descending() ||
               k.KeySortedbyACS() || k.Modifiable() || k.Segment() || k.NulSegment());
}

TEST(KeySegmentBlock, FieldsSitAtTheirOffsetsLittleEndian) {
  TKey k;
  k.SetPosition(0x0102);
  k.SetLength(0x0304);
  k.SetKeyValues(0x0A0B0C0D);
  k.SetExtendedType(0x11);
  k.SetNullVal(0x22);
  k.SetReserv(0x3344);
  k.SetManually(0x55);
  k.SetACS(0x66);
  k.SetAllowDuplicates(true);
  k.SetCaseInsensitive(true);
  const KeySpecBlock want = {0x02, 0x01, 0x04, 0x03, 0x01, 0x04, 0x0D, 0x0C,
                             0x0B, 0x0A, 0x11, 0x22, 0x44, 0x33, 0x55, 0x66};
  EXPECT_EQ(k.Block(), want);
}

TEST(KeySegmentBlock, PositionAndLengthKeepLow16BitsSigned) {
  TKey k;
  k.SetPosition(0x12345);
  EXPECT_EQ(k.Position(), 0x2345);
  k.SetLength(40000);
  EXPECT_EQ(k.Length(), static_cast<int16_t>(40000 - 65536));
  k.SetPosition(-1);
  EXPECT_EQ(k.Position(), -1);
}

// Each Boolean touches only its own bit; the bits without a property survive.
TEST(KeySegmentFlags, BooleansTouchOnlyTheirBit) {
  struct Case {
    void (TKey::*set)(bool);
    bool (TKey::*get)() const;
    uint16_t bit;
  };
  const Case cases[] = {
      {&TKey::SetAllowDuplicates, &TKey::AllowDuplicates, 0x0001},
      {&TKey::SetModifiable, &TKey::Modifiable, 0x0002},
      {&TKey::SetAllSegmentNull, &TKey::AllSegmentNull, 0x0008},
      {&TKey::SetSegment, &TKey::Segment, 0x0010},
      {&TKey::SetKeySortedbyACS, &TKey::KeySortedbyACS, 0x0020},
      {&TKey::SetDescending, &TKey::Descending, 0x0040},
      {&TKey::SetNulSegment, &TKey::NulSegment, 0x0200},
      {&TKey::SetCaseInsensitive, &TKey::CaseInsensitive, 0x0400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bit);
    TKey k;
    const uint16_t others = 0xF880;  // the bits no property views
    k.SetKeyFlag(others);
    (k.*c.set)(true);
    EXPECT_EQ(k.KeyFlag(), others | c.bit);
    EXPECT_TRUE((k.*c.get)());
    k.SetKeyFlag(static_cast<uint16_t>(0xFFFF));
    (k.*c.set)(false);
    EXPECT_EQ(k.KeyFlag(), 0xFFFF & ~c.bit);
    EXPECT_FALSE((k.*c.get)());
  }
}

TEST(KeyTypeWrite, StoresFlagsAndExtendedCode) {
  struct Case {
    int type;
    uint16_t flags;
    uint8_t extended;
  };
  const Case cases[] = {
      {ktOldBinary, 0x0104, 0},      {ktString, 0x0100, 0},
      {ktInteger, 0x0100, 1},        {ktFloat, 0x0100, 2},
      {ktDate, 0x0100, 3},           {ktTime, 0x0100, 4},
      {ktDecimal, 0x0100, 5},        {ktMoney, 0x0100, 6},
      {ktLogical, 0x0100, 7},        {ktNumeric, 0x0100, 8},
      {ktBasicFloat, 0x0100, 9},     {ktPascalString, 0x0100, 10},
      {ktAsciiZString, 0x0100, 11},  {ktUnsignedBinary, 0x0100, 14},
      {ktAutoIncrement, 0x0100, 15}, {ktSignTrailing, 0x0100, 17},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    TKey k;
    k.SetKeyType(c.type);
    EXPECT_EQ(k.KeyFlag(), c.flags);
    EXPECT_EQ(k.Extended(), c.extended);
    EXPECT_EQ(k.KeyType(), c.type) << "must read back as written";
  }
}

TEST(KeyTypeWrite, OldStringClearsBothTypeFlags) {
  TKey k;
  k.SetKeyType(ktInteger);
  k.SetKeyType(ktOldString);
  EXPECT_EQ(k.KeyFlag(), 0);
  EXPECT_EQ(k.Extended(), 0);
}

TEST(KeyTypeWrite, UnknownSetsExtendedFlagClearsBinaryKeepsCode) {
  TKey k;
  k.SetKeyType(ktOldBinary);
  k.SetExtended(12);  // now reads ktOldBinary still: the binary flag wins
  k.SetKeyType(ktUnknown);
  EXPECT_EQ(k.KeyFlag(), 0x0100);
  EXPECT_EQ(k.Extended(), 12);
  EXPECT_EQ(k.KeyType(), ktUnknown);
}

TEST(KeyTypeWrite, UsesLowEightBitsAndSkipsSameValue) {
  TKey k;
  k.SetKeyType(0x100 + ktFloat);
  EXPECT_EQ(k.KeyType(), ktFloat);
  // Writing what it reads changes nothing, not even flags written behind its back.
  k.SetKeyFlag(0x0100 | 0x0004 | 0x0001);
  k.SetKeyType(ktOldBinary);
  EXPECT_EQ(k.KeyFlag(), 0x0105);
  k.SetKeyType(200);
  EXPECT_EQ(k.KeyFlag(), 0x0101) << "17..255 write as ktUnknown";
  EXPECT_EQ(k.KeyType(), ktFloat) << "Extended kept, so it reads by its code";
}

TEST(KeyTypeWrite, KeepsOtherFlags) {
  TKey k;
  k.SetDescending(true);
  k.SetSegment(true);
  k.SetKeyType(ktOldBinary);
  k.SetKeyType(ktMoney);
  EXPECT_EQ(k.KeyFlag(), 0x0040 | 0x0010 | 0x0100);
}

TEST(KeyTypeRead, ExtendedCodesWithoutTypeReadUnknown) {
  for (int code : {12, 13, 16, 18, 100, 255}) {
    TKey k;
    k.SetKeyFlag(0x0100);
    k.SetExtended(static_cast<uint8_t>(code));
    EXPECT_EQ(k.KeyType(), ktUnknown) << code;
  }
}

TEST(KeyTypeRead, BinaryFlagReadsOldBinaryWithOrWithoutExtendedFlag) {
  TKey a;
  a.SetKeyFlag(0x0004);  // the engine's old binary type, as statistics bring it
  EXPECT_EQ(a.KeyType(), ktOldBinary);
  TKey b;
  b.SetKeyFlag(0x0104);
  b.SetExtended(3);
  EXPECT_EQ(b.KeyType(), ktOldBinary);
}

TEST(KeyExtendedType, KeepsLowByteAndLeavesFlags) {
  TKey k;
  k.SetKeyType(ktOldBinary);
  k.SetExtendedType(300);
  EXPECT_EQ(k.ExtendedType(), 44);
  EXPECT_EQ(k.KeyFlag(), 0x0104);
}

}  // namespace
}  // namespace vastrel::keys
