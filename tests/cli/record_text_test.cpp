// The text forms of record bytes: what export writes must load back byte for byte, and a
// damaged text must be refused rather than read as other bytes.
#include <gtest/gtest.h>

#include <string>

#include "hosts/cli/record_text.h"

namespace vastrel::cli {
namespace {

Bytes AllBytes(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 37 + 11);
  return b;
}

std::string B64(std::string_view s) {
  return Base64Encode(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

TEST(RecordText, Base64MatchesTheStandardVectors) {
  EXPECT_EQ(B64(""), "");
  EXPECT_EQ(B64("f"), "Zg==");
  EXPECT_EQ(B64("fo"), "Zm8=");
  EXPECT_EQ(B64("foo"), "Zm9v");
  EXPECT_EQ(B64("foobar"), "Zm9vYmFy");
}

TEST(RecordText, Base64AndHexRoundTripEveryLengthAndByte) {
  for (size_t n = 0; n <= 300; ++n) {
    const Bytes in = AllBytes(n);
    Bytes out;
    ASSERT_TRUE(Base64Decode(Base64Encode(in.data(), in.size()), out)) << n;
    EXPECT_EQ(out, in) << n;
    ASSERT_TRUE(HexDecode(HexEncode(in.data(), in.size()), out)) << n;
    EXPECT_EQ(out, in) << n;
  }
}

TEST(RecordText, DamagedBase64IsRefused) {
  Bytes out;
  for (const char* bad :
       {"Zg=", "Zg", "Z===", "=Zg=", "Zg==Zg==", "Zm9v!mFy", "Zm 9", "Zh==", "Zm9=", "Zm8=\n"}) {
    EXPECT_FALSE(Base64Decode(bad, out)) << bad;
  }
}

TEST(RecordText, DamagedHexIsRefused) {
  Bytes out;
  EXPECT_FALSE(HexDecode("abc", out));
  EXPECT_FALSE(HexDecode("0g", out));
  EXPECT_FALSE(HexDecode("0x", out));
  ASSERT_TRUE(HexDecode("00FFaB", out));
  EXPECT_EQ(out, (Bytes{0x00, 0xFF, 0xAB}));
}

TEST(RecordText, CsvFieldStaysOnOneLineAndEscapesWhatWouldBreakIt) {
  const std::string raw = std::string("a\"b\\c\n\r,", 8) + '\0' + "\x7f\xff";
  const std::string field = CsvField(reinterpret_cast<const uint8_t*>(raw.data()), raw.size());
  EXPECT_EQ(field, "\"a\"\"b\\\\c\\x0a\\x0d,\\x00\\x7f\\xff\"");
}

TEST(RecordText, HexDumpShowsOffsetsBytesAndCharacters) {
  const std::string raw = "P0100 Hex bolt M6 x 20";
  const std::string dump = HexDump(reinterpret_cast<const uint8_t*>(raw.data()), raw.size(), "  ");
  EXPECT_EQ(dump,
            "  00000000  50 30 31 30 30 20 48 65  78 20 62 6f 6c 74 20 4d  |P0100 Hex bolt M|\n"
            "  00000010  36 20 78 20 32 30                                 |6 x 20|\n");
  EXPECT_EQ(HexDump(nullptr, 0, ""), "");
  const uint8_t odd[] = {'a', 0, 0x80, '~'};
  EXPECT_EQ(PrintableText(odd, 4), "a..~");
}

}  // namespace
}  // namespace vastrel::cli
