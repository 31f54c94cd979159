#include "platform/locale.h"

#include <langinfo.h>
#include <clocale>
#include <cstdint>

#include "platform/error.h"
#include "platform/utf8.h"

namespace vastrel::platform {
namespace {

LocaleSettings FromProcess() {
  LocaleSettings s;
  if (const lconv* lc = std::localeconv();
      lc && lc->decimal_point && lc->decimal_point[0] && !lc->decimal_point[1]) {
    s.decimal_separator = lc->decimal_point[0];
  }
  // The time separator is the first non-digit of the locale's time format's output
  // pattern; the pattern "%H:%M:%S" gives ':'.
  if (const char* fmt = nl_langinfo(T_FMT)) {
    for (const char* p = fmt; *p; ++p) {
      if (*p == '%' && p[1]) {
        ++p;
        continue;
      }
      if (*p != ' ') {
        s.time_separator = *p;
        break;
      }
    }
  }
  return s;
}

LocaleSettings& Settings() {
  static LocaleSettings settings = FromProcess();
  return settings;
}

// Windows-1252 bytes 0x80..0x9F as Unicode code points; the five undefined ones keep
// their own value so that they survive a round trip.
constexpr uint16_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

uint32_t ToUnicode(unsigned char c) { return (c >= 0x80 && c < 0xA0) ? kHigh[c - 0x80] : c; }

int FromUnicode(uint32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
  for (int i = 0; i < 32; ++i) {
    if (kHigh[i] == cp) return 0x80 + i;
  }
  return -1;
}

}  // namespace

const LocaleSettings& Locale::Current() { return Settings(); }

LocaleSettings Locale::Replace(const LocaleSettings& settings) {
  LocaleSettings old = Settings();
  Settings() = settings;
  return old;
}

void Locale::Reset() { Settings() = FromProcess(); }

unsigned char Locale::ToUpper(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<unsigned char>(c - 32);
  switch (c) {
    case 0x9A:
      return 0x8A;  // s caron
    case 0x9C:
      return 0x8C;  // oe
    case 0x9E:
      return 0x8E;  // z caron
    case 0xFF:
      return 0x9F;  // y diaeresis
    default:
      return c;
  }
}

unsigned char Locale::ToLower(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 32);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<unsigned char>(c + 32);
  switch (c) {
    case 0x8A:
      return 0x9A;
    case 0x8C:
      return 0x9C;
    case 0x8E:
      return 0x9E;
    case 0x9F:
      return 0xFF;
    default:
      return c;
  }
}

std::string Locale::ToUpper(std::string_view text) {
  std::string out(text);
  for (char& ch : out) ch = static_cast<char>(ToUpper(static_cast<unsigned char>(ch)));
  return out;
}

int Locale::CompareNoCase(std::string_view a, std::string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const int ca = ToUpper(static_cast<unsigned char>(a[i]));
    const int cb = ToUpper(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::string SingleByteToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) AppendUtf8(out, ToUnicode(c));
  return out;
}

std::string Utf8ToSingleByte(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp;
    const size_t len = DecodeUtf8(text, i, &cp);
    if (len == 0) {
      // A byte that starts no character: one replacement character for it, never a NUL.
      out.push_back('?');
      ++i;
      continue;
    }
    const int b = FromUnicode(cp);
    out.push_back(b < 0 ? '?' : static_cast<char>(b));
    i += len;
  }
  return out;
}

std::string FileNameFromPath(std::string_view utf8_path) {
  std::string name = Utf8ToSingleByte(utf8_path);
  if (SingleByteToUtf8(name) != utf8_path) {
    throw Exception("The path \"" + name +
                    "\" holds characters that the single-byte code page of file names lacks");
  }
  return name;
}

}  // namespace vastrel::platform
