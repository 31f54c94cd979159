// The system's locale as the component sees it: the decimal and time separators, the
// single-byte code page of record text and case-insensitive comparison of that text.
//
// The settings are read once from the process locale (LC_NUMERIC, LC_TIME) and can be
// replaced as a whole, for instance by a test that needs a comma as decimal separator.
// Not thread-safe to replace while other threads read it; hosts set it at start-up.
#pragma once

#include <string>
#include <string_view>

#include "platform/export.h"

namespace vastrel::platform {

struct VASTREL_API LocaleSettings {
  char decimal_separator = '.';
  char time_separator = ':';
};

class VASTREL_API Locale {
 public:
  // The settings in force: the process locale's unless a caller replaced them.
  static const LocaleSettings& Current();
  // Replaces the settings; returns the previous ones so that a caller can put them back.
  static LocaleSettings Replace(const LocaleSettings& settings);
  // Reads the settings again from the process locale.
  static void Reset();

  static char DecimalSeparator() { return Current().decimal_separator; }
  static char TimeSeparator() { return Current().time_separator; }

  // Letter case folding of one single-byte (Windows-1252) character.
  static unsigned char ToUpper(unsigned char c);
  static unsigned char ToLower(unsigned char c);
  static std::string ToUpper(std::string_view text);
  // Compares two single-byte texts without regard to letter case: <0, 0 or >0.
  static int CompareNoCase(std::string_view a, std::string_view b);
  static bool EqualNoCase(std::string_view a, std::string_view b) {
    return CompareNoCase(a, b) == 0;
  }
};

// Conversions between the component's single-byte text (Windows-1252) and the UTF-8 of
// automation strings. Every byte 1 to 255 survives a round trip: the five bytes that
// Windows-1252 leaves undefined map to the C1 control characters of the same value.
// A character the code page lacks becomes '?'; so does each byte that starts no well-formed
// UTF-8 character (overlong forms, surrogates, cut sequences): never a NUL.
VASTREL_API std::string SingleByteToUtf8(std::string_view text);
VASTREL_API std::string Utf8ToSingleByte(std::string_view text);

// A path as a program receives it (UTF-8) as the single-byte FileName of a table, which
// names the same file again when the table opens it. Throws vastrel::Exception when the
// path holds a character the code page lacks, so that no other file is ever named.
VASTREL_API std::string FileNameFromPath(std::string_view utf8_path);

}  // namespace vastrel::platform
