#include "hosts/cli/record_text.h"

#include <array>
#include <cstdio>

#include <sodium.h>

namespace vastrel::cli {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

bool Printable(uint8_t b) { return b >= 0x20 && b < 0x7F; }

}  // namespace

// The four codecs are libsodium's, which are strict as these must be (padding bits zero,
// nothing outside the alphabet) and run in constant time besides.

std::string Base64Encode(const uint8_t* data, size_t size) {
  std::string out(sodium_base64_encoded_len(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
  out.pop_back();  // the zero byte the C function ends its text with
  return out;
}

bool Base64Decode(std::string_view text, Bytes& out) {
  out.assign(text.size() / 4 * 3 + 3, 0);
  size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != text.data() + text.size()) {
    out.clear();
    return false;
  }
  out.resize(length);
  return true;
}

std::string HexEncode(const uint8_t* data, size_t size) {
  std::string out(size * 2 + 1, '\0');
  sodium_bin2hex(out.data(), out.size(), data, size);
  out.pop_back();
  return out;
}

bool HexDecode(std::string_view text, Bytes& out) {
  out.assign(text.size() / 2 + 1, 0);
  size_t length = 0;
  const char* end = nullptr;
  if (text.size() % 2 != 0 ||
      sodium_hex2bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, &end) !=
          0 ||
      end != text.data() + text.size()) {
    out.clear();
    return false;
  }
  out.resize(length);
  return true;
}

std::string HexDump(const uint8_t* data, size_t size, std::string_view indent) {
  std::string out;
  for (size_t line = 0; line < size; line += 16) {
    std::array<char, 32> offset;
    std::snprintf(offset.data(), offset.size(), "%08zx ", line);
    out += indent;
    out += offset.data();
    for (size_t i = line; i < line + 16; ++i) {
      if (i == line + 8) out += ' ';
      if (i < size) {
        out += ' ';
        out += kHexDigits[data[i] >> 4];
        out += kHexDigits[data[i] & 15];
      } else {
        out += "   ";
      }
    }
    out += "  |";
    for (size_t i = line; i < line + 16 && i < size; ++i)
      out += Printable(data[i]) ? char(data[i]) : '.';
    out += "|\n";
  }
  return out;
}

std::string PrintableText(const uint8_t* data, size_t size) {
  std::string out(size, '.');
  for (size_t i = 0; i < size; ++i) {
    if (Printable(data[i])) out[i] = static_cast<char>(data[i]);
  }
  return out;
}

std::string CsvField(const uint8_t* data, size_t size) {
  std::string out = "\"";
  for (size_t i = 0; i < size; ++i) {
    const uint8_t b = data[i];
    if (b == '"') {
      out += "\"\"";
    } else if (b == '\\') {
      out += "\\\\";
    } else if (Printable(b)) {
      out += static_cast<char>(b);
    } else {
      out += "\\x";
      out += kHexDigits[b >> 4];
      out += kHexDigits[b & 15];
    }
  }
  out += '"';
  return out;
}

}  // namespace vastrel::cli
