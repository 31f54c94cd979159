// The text rules of typed field access, shared with the key search of the table, which
// writes numbers and dates into the key buffer exactly as a field write would.
//
// Dates are OLE Automation dates: days since 30 December 1899, the time of day as the
// fraction (for days before that date the fraction still counts forward from midnight:
// -1.25 is 29 December 1899, 06:00). Calendar dates run from 1 January 1 to 31 December
// 9999 in the Gregorian calendar.
//
// Format letters, recognised regardless of case:
//   YYYY year, four digits     YY (or a lone Y) last two digits of the year
//   MM month, two digits       M  month without leading zero
//   DD day, two digits         D  day without leading zero
//   HH hour 00..23             H  hour without leading zero
//   NN minute, two digits      N  minute without leading zero
//   SS second, two digits      S  second without leading zero
//   :  the system's time separator (platform::Locale)
// Longer runs split into these forms from the left ("MMM" is "MM" then "M"); every other
// character is copied unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/export.h"

namespace vastrel::dictionary {

// Blanks are the space and every control character (codes 0 to 32).
VASTREL_API std::string_view TrimBlanks(std::string_view text);
VASTREL_API std::string_view TrimTrailingBlanks(std::string_view text);

// A signed 32-bit decimal integer: optional sign, then digits only; nullopt otherwise
// (empty text, other characters, or out of range).
VASTREL_API std::optional<int32_t> ParseInteger(std::string_view text);

// The number in general format with up to 15 significant digits, with the system's
// decimal separator: shortest form, no trailing zeros, a separator only for a fraction;
// fixed notation for magnitudes from 0.00001 with at most 15 digits before the separator,
// otherwise scientific ("1.5E-6", "1E20"). Infinities and NaN give "INF", "-INF", "NAN".
VASTREL_API std::string FormatFloatGeneral(double value);
// FormatFloatGeneral with every system decimal separator replaced by `decimal_separator`:
// how a floating-point value is written into a field or the key buffer.
VASTREL_API std::string FloatToText(double value, char decimal_separator);
// Reads text written with `decimal_separator`: every occurrence is exchanged for the
// system's separator, then the text must be an optional sign, digits with at most one
// system separator, and an optional exponent. `exchanged` receives the text after the
// exchange (the error message shows it). nullopt when it is not such a number or overflows.
VASTREL_API std::optional<double> TextToFloat(std::string_view text, char decimal_separator,
                                              std::string* exchanged = nullptr);

// Formatting. Date values outside the calendar range, and NaN, raise vastrel::Exception
// "Invalid date value".
VASTREL_API std::string FormatDateTimeText(std::string_view format, double value);
// date to text (DATEFormat), time to text (TIMEFormat), date-time to text (both joined by
// a comma, the date first).
VASTREL_API std::string DateToText(double value, std::string_view date_format);
VASTREL_API std::string TimeToText(double value, std::string_view time_format);
VASTREL_API std::string DateTimeToText(double value, std::string_view date_format,
                                       std::string_view time_format);

// Reading: each component is taken from the text at the position where its letters stand
// in the format (the pair, else the short form), as many characters as the form has
// letters. A component whose letters are absent, whose characters the text lacks, or
// whose characters are no integer keeps its default (year 1900, month 1, day 1, time 0).
// A two-digit year is the year itself: "99" is the year 99, "00" the year 0.
// TextToDate raises "Invalid argument to date encode" for a combination that forms no
// date; TextToTime raises "Invalid argument to time encode" for hour, minute or second out
// of range. TextToDateTime reads the date with date_format, then the time with
// time_format from the text after its first date_format.size() + 1 characters.
VASTREL_API double TextToDate(std::string_view text, std::string_view date_format);
VASTREL_API double TextToTime(std::string_view text, std::string_view time_format);
VASTREL_API double TextToDateTime(std::string_view text, std::string_view date_format,
                                  std::string_view time_format);

// Calendar helpers. EncodeDate raises "Invalid argument to date encode", EncodeTime
// "Invalid argument to time encode".
VASTREL_API double EncodeDate(int year, int month, int day);
VASTREL_API double EncodeTime(int hour, int minute, int second);

struct DateTimeParts {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};
// Splits a date value, rounded to the millisecond. Raises "Invalid date value" outside
// the calendar range.
VASTREL_API DateTimeParts DecodeDateTime(double value);

}  // namespace vastrel::dictionary
