#include "platform/locale.h"

#include <gtest/gtest.h>

namespace vastrel::platform {
namespace {

TEST(CodePage, EveryByteSurvivesARoundTrip) {
  for (int b = 1; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    EXPECT_EQ(Utf8ToSingleByte(SingleByteToUtf8(one)), one) << "byte " << b;
  }
}

TEST(CodePage, CharactersOutsideTheCodePageBecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToSingleByte("\xE2\x82\xAC"), "\x80");   // euro sign
  EXPECT_EQ(Utf8ToSingleByte("\xE4\xB8\xAD"), "?");      // a CJK character
  EXPECT_EQ(Utf8ToSingleByte("a\xFF" "b"), "a?b");        // invalid UTF-8
  EXPECT_EQ(Utf8ToSingleByte("\xC3"), "?");               // truncated sequence
}

TEST(CaseInsensitive, FoldsAsciiAndLatinLetters) {
  EXPECT_EQ(Locale::CompareNoCase("ab12", "AB12"), 0);
  EXPECT_LT(Locale::CompareNoCase("ab", "abc"), 0);
  EXPECT_EQ(Locale::CompareNoCase("\xE9t\xE9", "\xC9T\xC9"), 0);
  EXPECT_NE(Locale::CompareNoCase("\xF7", "\xD7"), 0);  // division and multiplication signs
}

TEST(LocaleSettings, ReplaceReturnsThePreviousSettings) {
  const LocaleSettings comma{',', '.'};
  const LocaleSettings old = Locale::Replace(comma);
  EXPECT_EQ(Locale::DecimalSeparator(), ',');
  Locale::Replace(old);
  EXPECT_EQ(Locale::DecimalSeparator(), old.decimal_separator);
}

}  // namespace
}  // namespace vastrel::platform
