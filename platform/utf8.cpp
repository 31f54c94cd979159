#include "platform/utf8.h"

namespace vastrel::platform {

size_t DecodeUtf8(std::string_view text, size_t at, uint32_t* code_point) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[at + k]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    if (code_point) *code_point = lead;
    return 1;
  }
  size_t len;
  uint32_t cp;
  // The second byte's range carries the rules that the lead byte alone cannot: shorter
  // forms are overlong, U+D800..U+DFFF are surrogates, and nothing lies above U+10FFFF.
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2, cp = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3, cp = lead & 0x0Fu;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4, cp = lead & 0x07u;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - at < len) return 0;
  if (byte(1) < lo || byte(1) > hi) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((byte(k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(k) & 0x3Fu);
  }
  if (code_point) *code_point = cp;
  return len;
}

bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t len = DecodeUtf8(text, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace vastrel::platform
