#include "platform/locale.h"
#include "platform/utf8.h"

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
  EXPECT_EQ(Utf8ToSingleByte("\xE2\x82\xAC"), "\x80");  // euro sign
  EXPECT_EQ(Utf8ToSingleByte("\xE4\xB8\xAD"), "?");     // a CJK character
  EXPECT_EQ(Utf8ToSingleByte("a\xFF"
                             "b"),
            "a?b");                          // invalid UTF-8
  EXPECT_EQ(Utf8ToSingleByte("\xC3"), "?");  // truncated sequence
}

// Ill-formed UTF-8 never decodes to a character it only resembles: an overlong NUL would
// cut a record text short, an overlong '/' could change a path.
TEST(CodePage, IllFormedSequencesBecomeQuestionMarksNeverNul) {
  EXPECT_EQ(Utf8ToSingleByte("A\xC0\x80"
                             "B"),
            "A??B");                                        // overlong NUL
  EXPECT_EQ(Utf8ToSingleByte("\xE0\x80\xAF"), "???");       // overlong '/'
  EXPECT_EQ(Utf8ToSingleByte("\xC1\xA9"), "??");            // overlong 0x69
  EXPECT_EQ(Utf8ToSingleByte("\xED\xA0\x80x"), "???x");     // a surrogate
  EXPECT_EQ(Utf8ToSingleByte("\xF4\x90\x80\x80"), "????");  // above U+10FFFF
  EXPECT_EQ(Utf8ToSingleByte("\xE2\x82"
                             "a"),
            "??a");                                                         // cut short
  EXPECT_EQ(Utf8ToSingleByte(std::string("\0", 1)), std::string("\0", 1));  // a real NUL stays
  EXPECT_FALSE(IsValidUtf8("A\xC0\x80"));
  EXPECT_TRUE(IsValidUtf8("caf\xC3\xA9 \xF0\x9F\x98\x80"));
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
