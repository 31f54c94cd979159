// The tool's code pages and CSV reader, directly: every byte survives each page, text a page
// cannot hold or that is not UTF-8 is refused, and CSV records split where RFC 4180 says.
#include <gtest/gtest.h>

#include <sstream>

#include "hosts/cli/typed_records.h"
#include "hosts/common/code_page.h"

namespace vastrel::cli {
namespace {

TEST(CodePage, EveryByteComesBackAndStrangersAreRefused) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  for (CodePage page : {CodePage::kCp1252, CodePage::kCp437, CodePage::kCp850, CodePage::kLatin1}) {
    const std::string utf8 = ToUtf8(all, page);
    EXPECT_EQ(FromUtf8(utf8, page), all);
    EXPECT_EQ(FromUtf8("\u65e5", page), std::nullopt) << "a character no page holds";
  }
  EXPECT_EQ(ToUtf8("\x80", CodePage::kCp1252), "\u20ac");
  EXPECT_EQ(ToUtf8("\x80", CodePage::kCp437), "\u00c7");
  EXPECT_EQ(FromUtf8("\u20ac", CodePage::kLatin1), std::nullopt);
  // Not UTF-8: a lone continuation byte, a cut sequence, an overlong form, a surrogate.
  for (const char* bad : {"\x80", "a\xc3", "\xc0\xaf", "\xed\xa0\x80"})
    EXPECT_EQ(FromUtf8(bad, CodePage::kCp1252), std::nullopt) << bad;
  EXPECT_EQ(Utf8ErrorAt("a\xc3\xa9\xed\xa0\x80"), 3u) << "where it stops being UTF-8";
  EXPECT_EQ(Utf8ErrorAt("a\xc3\xa9"), std::string_view::npos);
  EXPECT_EQ(CodePageNamed("cp850"), CodePage::kCp850);
  EXPECT_EQ(CodePageNamed("cp1251"), std::nullopt);
}

TEST(CsvRecord, SplitsAsTheRfcSays) {
  std::istringstream in(
      "a,\"b,c\",\"say \"\"hi\"\"\",\r\n"
      "\"two\nlines\",,x\n"
      "\"open\n");
  std::vector<CsvCell> cells;
  uint64_t line = 0;
  ASSERT_TRUE(ReadCsvRecord(in, cells, line));
  ASSERT_EQ(cells.size(), 4u);
  EXPECT_EQ(cells[1].text, "b,c");
  EXPECT_EQ(cells[2].text, "say \"hi\"");
  EXPECT_TRUE(cells[2].quoted);
  EXPECT_EQ(cells[3].text, "");
  EXPECT_FALSE(cells[3].quoted);
  ASSERT_TRUE(ReadCsvRecord(in, cells, line));
  EXPECT_EQ(line, 3u);
  ASSERT_EQ(cells.size(), 3u);
  EXPECT_EQ(cells[0].text, "two\nlines");
  EXPECT_THROW(ReadCsvRecord(in, cells, line), Exception);
  std::istringstream after("\"a\"b\n");
  EXPECT_THROW(ReadCsvRecord(after, cells, line), Exception);

  // The limit holds for the record's lines together: 8 bytes over two lines.
  for (size_t limit : {7, 8}) {
    std::istringstream two_lines("\"abc\ndef\"\n");
    if (limit == 7) {
      EXPECT_THROW(ReadCsvRecord(two_lines, cells, line, limit), Exception);
    } else {
      ASSERT_TRUE(ReadCsvRecord(two_lines, cells, line, limit));
      EXPECT_EQ(cells.at(0).text, "abc\ndef");
    }
  }
}

}  // namespace
}  // namespace vastrel::cli
