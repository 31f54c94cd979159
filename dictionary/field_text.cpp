#include "dictionary/field_text.h"

#include <locale.h>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/calendar.h"
#include "platform/error.h"
#include "platform/locale.h"

namespace vastrel::dictionary {
namespace {

using platform::Locale;

constexpr int64_t kMsPerDay = 86'400'000;

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

char Upper(char c) { return static_cast<char>(Locale::ToUpper(static_cast<unsigned char>(c))); }

using platform::CivilFromDayNumber;
using platform::DayNumberFromCivil;
using platform::DaysInMonth;

const int64_t kFirstDay = DayNumberFromCivil(1, 1, 1);
const int64_t kLastDay = DayNumberFromCivil(9999, 12, 31);

void AppendNumber(std::string& out, int value, int min_digits) {
  std::string digits = std::to_string(value);
  if (static_cast<int>(digits.size()) < min_digits) {
    out.append(static_cast<size_t>(min_digits) - digits.size(), '0');
  }
  out += digits;
}

// Counts the run of the (case-folded) letter `letter` that starts at `at`.
size_t RunLength(std::string_view format, size_t at, char letter) {
  size_t n = 0;
  while (at + n < format.size() && Upper(format[at + n]) == letter) ++n;
  return n;
}

// Position of `letters` in `format`, regardless of case; npos when absent.
size_t FindNoCase(std::string_view format, std::string_view letters) {
  if (letters.size() > format.size()) return std::string_view::npos;
  for (size_t i = 0; i + letters.size() <= format.size(); ++i) {
    if (Locale::EqualNoCase(format.substr(i, letters.size()), letters)) return i;
  }
  return std::string_view::npos;
}

// One component read by the positions of its letters in the format (see the header).
int ReadComponent(std::string_view text, std::string_view format, std::string_view pair,
                  std::string_view short_form, int fallback) {
  size_t at = FindNoCase(format, pair);
  size_t width = pair.size();
  if (at == std::string_view::npos) {
    at = FindNoCase(format, short_form);
    width = short_form.size();
  }
  if (at == std::string_view::npos || at + width > text.size()) return fallback;
  const std::optional<int32_t> v = ParseInteger(text.substr(at, width));
  return v ? *v : fallback;
}

locale_t CLocale() {
  static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return c;
}

}  // namespace

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return TrimTrailingBlanks(text);
}

std::string_view TrimTrailingBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::optional<int32_t> ParseInteger(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{1} << 31) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::string FormatFloatGeneral(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  if (value == 0) return "0";
  // Fifteen significant digits, rounded, in a locale-independent form: d.dddddddddddddde±x.
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, 14);
  const std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  const size_t e_at = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_at)) {
    if (c >= '0' && c <= '9') digits += c;
  }
  int exponent = 0;
  std::from_chars(sci.data() + e_at + (sci[e_at + 1] == '+' ? 2 : 1), sci.data() + sci.size(),
                  exponent);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  const char sep = Locale::DecimalSeparator();
  std::string out = value < 0 ? "-" : "";
  if (exponent >= -5 && exponent < 15) {
    if (exponent >= 0) {
      const size_t whole = static_cast<size_t>(exponent) + 1;
      if (digits.size() <= whole) {
        out += digits;
        out.append(whole - digits.size(), '0');
      } else {
        out += digits.substr(0, whole);
        out += sep;
        out += digits.substr(whole);
      }
    } else {
      out += '0';
      out += sep;
      out.append(static_cast<size_t>(-exponent - 1), '0');
      out += digits;
    }
  } else {
    out += digits[0];
    if (digits.size() > 1) {
      out += sep;
      out += digits.substr(1);
    }
    out += 'E';
    out += std::to_string(exponent);
  }
  return out;
}

std::string FloatToText(double value, char decimal_separator) {
  std::string text = FormatFloatGeneral(value);
  const char sys = Locale::DecimalSeparator();
  for (char& c : text) {
    if (c == sys) c = decimal_separator;
  }
  return text;
}

std::optional<double> TextToFloat(std::string_view text, char decimal_separator,
                                  std::string* exchanged) {
  const char sys = Locale::DecimalSeparator();
  std::string s(text);
  for (char& c : s) {
    if (c == decimal_separator) c = sys;
  }
  if (exchanged) *exchanged = s;

  // The system's notation: [sign] digits [sep digits] [e [sign] digits], rewritten with a
  // point for the C library.
  std::string plain;
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) plain += s[i++];
  int mantissa_digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') plain += s[i++], ++mantissa_digits;
  if (i < s.size() && s[i] == sys) {
    plain += '.';
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') plain += s[i++], ++mantissa_digits;
  }
  if (mantissa_digits == 0) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    plain += 'e';
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) plain += s[i++];
    int exponent_digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') plain += s[i++], ++exponent_digits;
    if (exponent_digits == 0) return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;

  errno = 0;
  const double v = strtod_l(plain.c_str(), nullptr, CLocale());
  // Overflow is an error; a value too small for a double reads as (nearly) zero.
  if (errno == ERANGE && std::isinf(v)) return std::nullopt;
  return v;
}

double EncodeDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month)) {
    throw Exception("Invalid argument to date encode");
  }
  return static_cast<double>(DayNumberFromCivil(year, month, day));
}

double EncodeTime(int hour, int minute, int second) {
  if (hour < 0 || hour >= 24 || minute < 0 || minute >= 60 || second < 0 || second >= 60) {
    throw Exception("Invalid argument to time encode");
  }
  return (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
}

DateTimeParts DecodeDateTime(double value) {
  if (!(value > static_cast<double>(kFirstDay) - 1 && value < static_cast<double>(kLastDay) + 1)) {
    throw Exception("Invalid date value");
  }
  int64_t day = static_cast<int64_t>(std::trunc(value));
  int64_t ms = std::llround(std::fabs(value - static_cast<double>(day)) * kMsPerDay);
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    ++day;
  }
  if (day < kFirstDay || day > kLastDay) throw Exception("Invalid date value");
  DateTimeParts p;
  CivilFromDayNumber(day, &p.year, &p.month, &p.day);
  p.hour = static_cast<int>(ms / 3'600'000);
  p.minute = static_cast<int>(ms / 60'000 % 60);
  p.second = static_cast<int>(ms / 1000 % 60);
  p.millisecond = static_cast<int>(ms % 1000);
  return p;
}

std::string FormatDateTimeText(std::string_view format, double value) {
  const DateTimeParts p = DecodeDateTime(value);
  std::string out;
  size_t i = 0;
  while (i < format.size()) {
    const char c = Upper(format[i]);
    if (c == 'Y') {
      size_t run = RunLength(format, i, 'Y');
      i += run;
      while (run > 0) {
        if (run >= 4) {
          AppendNumber(out, p.year, 4);
          run -= 4;
        } else {
          AppendNumber(out, p.year % 100, 2);
          run -= run >= 2 ? 2 : 1;
        }
      }
      continue;
    }
    int component = -1;
    switch (c) {
      case 'M':
        component = p.month;
        break;
      case 'D':
        component = p.day;
        break;
      case 'H':
        component = p.hour;
        break;
      case 'N':
        component = p.minute;
        break;
      case 'S':
        component = p.second;
        break;
      default:
        break;
    }
    if (component >= 0) {
      size_t run = RunLength(format, i, c);
      i += run;
      for (; run >= 2; run -= 2) AppendNumber(out, component, 2);
      if (run == 1) AppendNumber(out, component, 1);
      continue;
    }
    out += c == ':' ? Locale::TimeSeparator() : format[i];
    ++i;
  }
  return out;
}

std::string DateToText(double value, std::string_view date_format) {
  return FormatDateTimeText(date_format, value);
}

std::string TimeToText(double value, std::string_view time_format) {
  return FormatDateTimeText(time_format, value);
}

std::string DateTimeToText(double value, std::string_view date_format,
                           std::string_view time_format) {
  std::string format(date_format);
  format += ',';
  format += time_format;
  return FormatDateTimeText(format, value);
}

double TextToDate(std::string_view text, std::string_view date_format) {
  const int year = ReadComponent(text, date_format, "YYYY", "YY", 1900);
  const int month = ReadComponent(text, date_format, "MM", "M", 1);
  const int day = ReadComponent(text, date_format, "DD", "D", 1);
  return EncodeDate(year, month, day);
}

double TextToTime(std::string_view text, std::string_view time_format) {
  const int hour = ReadComponent(text, time_format, "HH", "H", 0);
  const int minute = ReadComponent(text, time_format, "NN", "N", 0);
  const int second = ReadComponent(text, time_format, "SS", "S", 0);
  return EncodeTime(hour, minute, second);
}

double TextToDateTime(std::string_view text, std::string_view date_format,
                      std::string_view time_format) {
  const double date = TextToDate(text, date_format);
  const size_t skip = date_format.size() + 1;
  const double time =
      TextToTime(skip < text.size() ? text.substr(skip) : std::string_view(), time_format);
  // Before the epoch the fraction still counts forward from midnight.
  return date < 0 ? date - time : date + time;
}

}  // namespace vastrel::dictionary
