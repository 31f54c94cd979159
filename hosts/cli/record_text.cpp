#include "hosts/cli/record_text.h"

#include <array>
#include <cstdio>

namespace vastrel::cli {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexDigits[] = "0123456789abcdef";

// The value of a base64 character, or -1.
int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Printable(uint8_t b) { return b >= 0x20 && b < 0x7F; }

}  // namespace

std::string Base64Encode(const uint8_t* data, size_t size) {
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (const size_t rest = size - i; rest > 0) {
    const uint32_t v = (uint32_t{data[i]} << 16) | (rest == 2 ? uint32_t{data[i + 1]} << 8 : 0);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool Base64Decode(std::string_view text, Bytes& out) {
  out.clear();
  if (text.size() % 4 != 0) return false;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int pad = 0;
    if (last && text[i + 3] == '=') pad = text[i + 2] == '=' ? 2 : 1;
    uint32_t v = 0;
    for (int j = 0; j < 4; ++j) {
      int d = 0;
      if (j < 4 - pad) {
        d = Base64Value(text[i + j]);
        if (d < 0) return false;
      }
      v = (v << 6) | static_cast<uint32_t>(d);
    }
    out.push_back(static_cast<uint8_t>(v >> 16));
    if (pad < 2) out.push_back(static_cast<uint8_t>(v >> 8));
    if (pad < 1) out.push_back(static_cast<uint8_t>(v));
    // Bits below the last whole byte must be zero, or two texts would give one record.
    if ((pad == 1 && (v & 0xFF) != 0) || (pad == 2 && (v & 0xFFFF) != 0)) return false;
  }
  return true;
}

std::string HexEncode(const uint8_t* data, size_t size) {
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out += kHexDigits[data[i] >> 4];
    out += kHexDigits[data[i] & 15];
  }
  return out;
}

bool HexDecode(std::string_view text, Bytes& out) {
  out.clear();
  if (text.size() % 2 != 0) return false;
  out.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = HexValue(text[i]);
    const int lo = HexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
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
