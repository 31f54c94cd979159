// Fuzz target for the field text rules: reading dates, times and numbers from any text
// with any format, and formatting any double, must either succeed or raise
// vastrel::Exception; never read out of bounds or overflow.
//
// Input: one byte of selector, then the format and the text separated by the first NUL
// byte. The first eight bytes after the selector also serve as the double to format.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "dictionary/field_text.h"
#include "platform/error.h"

using namespace vastrel::dictionary;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t selector = data[0];
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t nul = rest.find('\0');
  const std::string_view format = rest.substr(0, nul);
  const std::string_view text =
      nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
  double value = 0;
  std::memcpy(&value, rest.data(), std::min(rest.size(), sizeof value));
  try {
    switch (selector % 6) {
      case 0:
        TextToDate(text, format);
        break;
      case 1:
        TextToTime(text, format);
        break;
      case 2:
        TextToDateTime(text, format, format);
        break;
      case 3:
        TextToFloat(rest, static_cast<char>(selector));
        break;
      case 4:
        FormatDateTimeText(format, value);
        break;
      case 5:
        FloatToText(value, static_cast<char>(selector));
        break;
    }
  } catch (const vastrel::Exception&) {
  }
  return 0;
}
