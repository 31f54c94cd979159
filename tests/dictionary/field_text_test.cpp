// The text rules shared by field access and the key search: general float format and the
// date and time texts.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "dictionary/field_text.h"
#include "platform/error.h"
#include "platform/locale.h"
#include "tests/dictionary/fake_host.h"

namespace vastrel::dictionary {
namespace {

using testing::ExpectError;

// Runs each test with a point as the system's decimal separator and a colon as its time
// separator, whatever the process locale says.
class TextRules : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = platform::Locale::Replace({'.', ':'}); }
  void TearDown() override { platform::Locale::Replace(saved_); }

 private:
  platform::LocaleSettings saved_;
};

TEST_F(TextRules, GeneralFormatFifteenSignificantDigits) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {0, "0"},
      {-0.0, "0"},
      {1, "1"},
      {-2.5, "-2.5"},
      {3.25, "3.25"},
      {0.1, "0.1"},
      {1.0 / 3, "0.333333333333333"},
      {2.0 / 3, "0.666666666666667"},
      {123456789012345, "123456789012345"},
      {999999999999999, "999999999999999"},
      {1e15, "1E15"},
      {1234567890123456, "1.23456789012346E15"},
      {1e20, "1E20"},
      {0.00001, "0.00001"},
      {0.000012345, "0.000012345"},
      {0.0000099, "9.9E-6"},
      {1.5e-7, "1.5E-7"},
      {-1e-300, "-1E-300"},
      {0.1 + 0.2, "0.3"},
      {100, "100"},
      {1e14, "100000000000000"},
      {double{INFINITY}, "INF"},
      {-double{INFINITY}, "-INF"},
      {double{NAN}, "NAN"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatFloatGeneral(c.value), c.text) << c.value;
  }
}

TEST_F(TextRules, FloatTextUsesTheGivenSeparatorAndReadsBack) {
  EXPECT_EQ(FloatToText(1234.5, ','), "1234,5");
  platform::Locale::Replace({',', ':'});
  EXPECT_EQ(FormatFloatGeneral(1234.5), "1234,5");
  EXPECT_EQ(FloatToText(1234.5, '.'), "1234.5");
  for (double v : {0.1, -7.25, 1e-7, 6.02214076e23, 123456.789}) {
    EXPECT_EQ(TextToFloat(FloatToText(v, '.'), '.'), v) << v;
  }
}

TEST_F(TextRules, DateFormats) {
  const double when = EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 9);
  EXPECT_EQ(DateToText(when, "YYYYMMDD"), "20240305");
  EXPECT_EQ(DateToText(when, "MMDDYY"), "030524");
  EXPECT_EQ(DateToText(when, "DDMMYYYY"), "05032024");
  EXPECT_EQ(DateToText(when, "YYMMDD"), "240305");
  EXPECT_EQ(DateToText(when, "yyyy-m-d"), "2024-3-5");
  EXPECT_EQ(DateToText(when, "D.M.YY"), "5.3.24");
  EXPECT_EQ(TimeToText(when, "HH:NN:SS"), "14:07:09");
  EXPECT_EQ(TimeToText(when, "hh:nn:ss"), "14:07:09");
  EXPECT_EQ(TimeToText(EncodeTime(4, 5, 6), "H/N/S"), "4/5/6");
  EXPECT_EQ(DateTimeToText(when, "YYYYMMDD", "HH:NN:SS"), "20240305,14:07:09");
  EXPECT_EQ(DateToText(EncodeDate(7, 1, 2), "YYYY"), "0007");
}

TEST_F(TextRules, ColonIsTheSystemTimeSeparator) {
  platform::Locale::Replace({'.', '.'});
  const double when = EncodeTime(14, 7, 9);
  EXPECT_EQ(TimeToText(when, "HH:NN:SS"), "14.07.09");
  EXPECT_DOUBLE_EQ(TextToTime("14.07.09", "HH:NN:SS"), when);
}

TEST_F(TextRules, TimeOfDaySurvivesFloatingPointNoise) {
  // 14:07:09 as a fraction is not exact; the second must not drop to 08.
  for (int s = 0; s < 86400; s += 37) {
    const double t = EncodeTime(s / 3600, s / 60 % 60, s % 60);
    const double dt = EncodeDate(2024, 2, 29) + t;
    ASSERT_DOUBLE_EQ(
        TextToDateTime(DateTimeToText(dt, "YYYYMMDD", "HH:NN:SS"), "YYYYMMDD", "HH:NN:SS"), dt)
        << s;
  }
  // A value a hair before midnight rounds to the next day, not to 24:00:00.
  EXPECT_EQ(DateTimeToText(EncodeDate(2023, 12, 31) + 0.9999999999, "YYYYMMDD", "HH:NN:SS"),
            "20240101,00:00:00");
}

TEST_F(TextRules, ReadingDatesByLetterPositions) {
  EXPECT_EQ(TextToDate("20240229", "YYYYMMDD"), EncodeDate(2024, 2, 29));
  EXPECT_EQ(TextToDate("", "YYYYMMDD"), EncodeDate(1900, 1, 1));
  EXPECT_EQ(TextToDate("2024", "YYYYMMDD"), EncodeDate(2024, 1, 1));
  EXPECT_EQ(TextToDate("2024XX05", "YYYYMMDD"), EncodeDate(2024, 1, 5));
  EXPECT_EQ(TextToDate("202403", "YYYYMMDD"), EncodeDate(2024, 3, 1)) << "day too short";
  EXPECT_EQ(TextToDate("05.03.2024", "dd.mm.yyyy"), EncodeDate(2024, 3, 5));
  EXPECT_EQ(TextToDate("2024-3-5", "YYYY-M-D"), EncodeDate(2024, 3, 5));
  EXPECT_EQ(TextToDate("0305", "MMDD"), EncodeDate(1900, 3, 5)) << "no year letters";
}

TEST_F(TextRules, TwoDigitYearsAreTakenLiterally) {
  EXPECT_EQ(TextToDate("123199", "MMDDYY"), EncodeDate(99, 12, 31));
  EXPECT_EQ(TextToDate("240305", "YYMMDD"), EncodeDate(24, 3, 5));
  ExpectError([] { TextToDate("010100", "MMDDYY"); }, "Invalid argument to date encode");
}

TEST_F(TextRules, DatesThatDoNotExist) {
  for (const char* t : {"20230229", "20241301", "20240001", "20240431", "00000101", "2024-101"}) {
    ExpectError([&] { TextToDate(t, "YYYYMMDD"); }, "Invalid argument to date encode");
  }
}

TEST_F(TextRules, ReadingTimes) {
  EXPECT_DOUBLE_EQ(TextToTime("14:07:09", "HH:NN:SS"), EncodeTime(14, 7, 9));
  EXPECT_DOUBLE_EQ(TextToTime("14:07:09", "hh:nn:ss"), EncodeTime(14, 7, 9));
  EXPECT_EQ(TextToTime("", "HH:NN:SS"), 0);
  EXPECT_DOUBLE_EQ(TextToTime("14:0", "HH:NN:SS"), EncodeTime(14, 0, 0));
  for (const char* t : {"25:00:00", "24:00:00", "10:60:00", "10:00:60", "-1:00:00"}) {
    ExpectError([&] { TextToTime(t, "HH:NN:SS"); }, "Invalid argument to time encode");
  }
}

TEST_F(TextRules, ReadingDateTimesSkipsTheDatePartAndItsComma) {
  const double want = EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 9);
  EXPECT_DOUBLE_EQ(TextToDateTime("20240305,14:07:09", "YYYYMMDD", "HH:NN:SS"), want);
  EXPECT_DOUBLE_EQ(TextToDateTime("20240305", "YYYYMMDD", "HH:NN:SS"), EncodeDate(2024, 3, 5));
  ExpectError([] { TextToDateTime("20230229,10:00:00", "YYYYMMDD", "HH:NN:SS"); },
              "Invalid argument to date encode");
  ExpectError([] { TextToDateTime("20240229,10:99:00", "YYYYMMDD", "HH:NN:SS"); },
              "Invalid argument to time encode");
  // Before 30 December 1899 the time still counts forward from midnight.
  const double early = TextToDateTime("18000101,06:00:00", "YYYYMMDD", "HH:NN:SS");
  EXPECT_EQ(DateTimeToText(early, "YYYYMMDD", "HH:NN:SS"), "18000101,06:00:00");
}

TEST_F(TextRules, OutOfRangeValuesAreRefusedNotWrapped) {
  for (double v : {1e300, -1e300, double{NAN}, double{INFINITY}, 2958466.0, -693594.0}) {
    ExpectError([&] { DateToText(v, "YYYYMMDD"); }, "Invalid date value");
  }
  EXPECT_EQ(DateToText(2958465.5, "YYYYMMDD"), "99991231");
  EXPECT_EQ(DateToText(-693593.0, "YYYYMMDD"), "00010101");
}

}  // namespace
}  // namespace vastrel::dictionary
