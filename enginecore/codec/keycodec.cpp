#include "enginecore/codec/keycodec.h"

#include <array>
#include <cstring>

// Encoded forms, one per type. Every form has a width fixed by the segment's definition,
// and its unsigned byte order is the type's order:
//
//   string            the n bytes (case-insensitive: letters folded to upper case, the
//                     single-byte Western code page's accented letters included)
//   integer, autoinc  big-endian, the sign bit flipped                         n bytes
//   unsigned, logical big-endian                                               n bytes
//   float             IEEE bits big-endian: negatives all bits flipped, others the sign
//                     bit; -0 is +0 and every NaN is one value above +infinity   n bytes
//   date              year (big-endian), month, day                            4 bytes
//   time              hours, minutes, seconds, hundredths                      4 bytes
//   decimal, money    one sign nibble (0 negative, 1 otherwise) then the 2n-1 digits,
//                     complemented when negative; a zero of either sign is +0   n bytes
//   numeric           a sign byte, then the n characters with the overpunched last one
//                     replaced by its digit, complemented when negative        n+1 bytes
//   numeric STS       a sign byte, then the n-1 digit characters, likewise      n bytes
//                     (a last byte of '-' is negative, any other positive)
//   bfloat            exponent and mantissa as one magnitude, offset around a zero
//                     code in the manner of the IEEE form                       n bytes
//   lstring           the payload (length byte clamped to n-1) zero-padded to n-1
//                     bytes, then the clamped length: a string sorts before its
//                     extensions, even those that add NUL bytes               n bytes
//   zstring           the bytes before the first NUL, zero-padded             n bytes
//
// A key of at most 255 value bytes therefore encodes to at most 255 + 119 bytes (one more
// per numeric segment), well inside LMDB's key size with a 4-byte position appended.
//
// A descending segment complements its whole form. An alternate collating sequence is not
// applied: such segments order as their type does without it.
//
// bfloat, the old BASIC binary float, in the form this engine reads it: 4 bytes are the
// mantissa's low, middle and high bytes (bit 7 of the high byte is the sign) and then the
// exponent byte; 8 bytes are seven mantissa bytes (sign in bit 7 of byte 6) and the
// exponent byte. The value is 1.mmm x 2^(exponent - 129); an exponent of 0 is zero
// whatever the other bytes hold.
//
// Digit characters in numeric forms: '0'-'9' are their digits and a space counts as '0';
// any other byte is kept as it is, so malformed values still order consistently and stay
// distinct from one another.

namespace mkde {
namespace {

// Upper-case folding of the single-byte Western code page: ASCII letters, the accented
// letters 0xE0-0xFE (but the division sign 0xF7), and the four letters outside those
// ranges that have an upper-case partner (0x9A, 0x9C, 0x9E, 0xFF).
constexpr std::array<uint8_t, 256> MakeFoldTable() {
  std::array<uint8_t, 256> t{};
  for (int i = 0; i < 256; ++i) t[i] = static_cast<uint8_t>(i);
  for (int c = 'a'; c <= 'z'; ++c) t[c] = static_cast<uint8_t>(c - 32);
  for (int c = 0xE0; c <= 0xFE; ++c) {
    if (c != 0xF7) t[c] = static_cast<uint8_t>(c - 32);
  }
  t[0x9A] = 0x8A;
  t[0x9C] = 0x8C;
  t[0x9E] = 0x8E;
  t[0xFF] = 0x9F;
  return t;
}
constexpr std::array<uint8_t, 256> kFold = MakeFoldTable();

size_t EncodedWidth(const Segment& s) {
  return s.type == kTypeNumeric && s.length > 0 ? s.length + size_t{1} : s.length;
}

uint64_t LoadLittle(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = n; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

void StoreBig(uint64_t v, size_t n, uint8_t* out) {
  for (size_t i = n; i-- > 0;) {
    out[i] = static_cast<uint8_t>(v);
    v >>= 8;
  }
}

void EncodeBigEndian(const uint8_t* src, size_t n, bool is_signed, uint8_t* out) {
  for (size_t i = 0; i < n; ++i) out[i] = src[n - 1 - i];
  if (is_signed && n > 0) out[0] ^= 0x80;
}

void EncodeFloat(const uint8_t* src, size_t n, uint8_t* out) {
  if (n == 4) {
    uint32_t bits = static_cast<uint32_t>(LoadLittle(src, 4));
    if ((bits & 0x7F800000u) == 0x7F800000u && (bits & 0x007FFFFFu) != 0) {
      bits = 0xFFFFFFFFu;  // NaN: after +infinity (0xFF800000)
    } else if ((bits & 0x7FFFFFFFu) == 0) {
      bits = 0x80000000u;  // both zeros
    } else if (bits & 0x80000000u) {
      bits = ~bits;
    } else {
      bits |= 0x80000000u;
    }
    StoreBig(bits, 4, out);
    return;
  }
  if (n == 8) {
    uint64_t bits = LoadLittle(src, 8);
    constexpr uint64_t kExp = 0x7FF0000000000000ull;
    constexpr uint64_t kSign = 0x8000000000000000ull;
    if ((bits & kExp) == kExp && (bits & ~(kExp | kSign)) != 0) {
      bits = ~uint64_t{0};
    } else if ((bits & ~kSign) == 0) {
      bits = kSign;
    } else if (bits & kSign) {
      bits = ~bits;
    } else {
      bits |= kSign;
    }
    StoreBig(bits, 8, out);
    return;
  }
  std::memcpy(out, src, n);  // not a valid float length: raw bytes keep a total order
}

void EncodeBFloat(const uint8_t* src, size_t n, uint8_t* out) {
  if (n != 4 && n != 8) {
    std::memcpy(out, src, n);
    return;
  }
  const size_t bits = n * 8;
  const uint64_t top = uint64_t{1} << (bits - 1);
  const uint8_t exponent = src[n - 1];
  const bool negative = src[n - 2] & 0x80;
  // Exponent above the mantissa (without its sign bit): one magnitude of bits-1 bits.
  uint64_t magnitude = (uint64_t{exponent} << (bits - 9)) |
                       (LoadLittle(src, n - 1) & ((uint64_t{1} << (bits - 9)) - 1));
  uint64_t code;
  if (exponent == 0) {
    code = top;
  } else if (negative) {
    code = (top - 1) - magnitude;
  } else {
    code = top | magnitude;
  }
  StoreBig(code, n, out);
}

void EncodeDecimal(const uint8_t* src, size_t n, uint8_t* out) {
  const uint8_t sign = src[n - 1] & 0x0F;
  bool zero = (src[n - 1] & 0xF0) == 0;
  for (size_t i = 0; zero && i + 1 < n; ++i) zero = src[i] == 0;
  const bool negative = !zero && (sign == 0x0D || sign == 0x0B);
  // Shift the digits one nibble right, the sign nibble in front. A negative value is
  // built with sign nibble 0xF and then complemented whole: sign 0, digits 15 - d.
  out[0] = static_cast<uint8_t>(((negative ? 0xF : 0x1) << 4) | (src[0] >> 4));
  for (size_t i = 1; i < n; ++i) {
    out[i] = static_cast<uint8_t>(((src[i - 1] & 0x0F) << 4) | (src[i] >> 4));
  }
  if (negative) {
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(~out[i]);
  }
}

uint8_t DigitChar(uint8_t c) { return c == ' ' ? '0' : c; }

// Writes the sign byte and the magnitude characters (already in out[1..count]).
void FinishNumeric(bool negative, size_t count, uint8_t* out) {
  bool zero = true;
  for (size_t i = 1; zero && i <= count; ++i) zero = out[i] == '0';
  if (zero) negative = false;
  out[0] = negative ? 0x00 : 0x01;
  if (negative) {
    for (size_t i = 1; i <= count; ++i) out[i] = static_cast<uint8_t>(~out[i]);
  }
}

void EncodeNumeric(const uint8_t* src, size_t n, uint8_t* out) {
  for (size_t i = 0; i + 1 < n; ++i) out[1 + i] = DigitChar(src[i]);
  const uint8_t last = src[n - 1];
  bool negative = false;
  uint8_t digit;
  if (last >= '0' && last <= '9') {
    digit = last;
  } else if (last == ' ') {
    digit = '0';
  } else if (last == '{') {
    digit = '0';
  } else if (last >= 'A' && last <= 'I') {
    digit = static_cast<uint8_t>('1' + (last - 'A'));
  } else if (last == '}') {
    digit = '0';
    negative = true;
  } else if (last >= 'J' && last <= 'R') {
    digit = static_cast<uint8_t>('1' + (last - 'J'));
    negative = true;
  } else if (last >= 'p' && last <= 'y') {
    digit = static_cast<uint8_t>('0' + (last - 'p'));
    negative = true;
  } else {
    digit = last;
  }
  out[n] = digit;
  FinishNumeric(negative, n, out);
}

void EncodeNumericSTS(const uint8_t* src, size_t n, uint8_t* out) {
  for (size_t i = 0; i + 1 < n; ++i) out[1 + i] = DigitChar(src[i]);
  FinishNumeric(src[n - 1] == '-', n - 1, out);
}

void Fold(uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) p[i] = kFold[p[i]];
}

void EncodeSegment(const Segment& s, const uint8_t* src, uint8_t* out) {
  const size_t n = s.length;
  if (n == 0) return;
  switch (s.type) {
    case kTypeInteger:
    case kTypeAutoIncrement:
      EncodeBigEndian(src, n, true, out);
      break;
    case kTypeUnsignedBinary:
    case kTypeLogical:
      EncodeBigEndian(src, n, false, out);
      break;
    case kTypeFloat:
      EncodeFloat(src, n, out);
      break;
    case kTypeBFloat:
      EncodeBFloat(src, n, out);
      break;
    case kTypeDate:
      if (n == 4) {
        out[0] = src[3];
        out[1] = src[2];
        out[2] = src[1];
        out[3] = src[0];
      } else {
        std::memcpy(out, src, n);
      }
      break;
    case kTypeTime:
      for (size_t i = 0; i < n; ++i) out[i] = src[n - 1 - i];
      break;
    case kTypeDecimal:
    case kTypeMoney:
      EncodeDecimal(src, n, out);
      break;
    case kTypeNumeric:
      EncodeNumeric(src, n, out);
      break;
    case kTypeNumericSTS:
      if (n >= 2) {
        EncodeNumericSTS(src, n, out);
      } else {
        std::memcpy(out, src, n);
      }
      break;
    case kTypeLString: {
      if (n < 2) {
        std::memcpy(out, src, n);
        break;
      }
      size_t len = src[0];
      if (len > n - 1) len = n - 1;
      std::memcpy(out, src + 1, len);
      std::memset(out + len, 0, n - 1 - len);
      if (s.case_insensitive()) Fold(out, len);
      out[n - 1] = static_cast<uint8_t>(len);
      break;
    }
    case kTypeZString: {
      const void* nul = std::memchr(src, 0, n);
      const size_t len = nul ? static_cast<const uint8_t*>(nul) - src : n;
      std::memcpy(out, src, len);
      std::memset(out + len, 0, n - len);
      if (s.case_insensitive()) Fold(out, len);
      break;
    }
    default:  // string, and the old binary form
      std::memcpy(out, src, n);
      if (s.case_insensitive()) Fold(out, n);
      break;
  }
  if (s.descending()) {
    const size_t w = EncodedWidth(s);
    for (size_t i = 0; i < w; ++i) out[i] = static_cast<uint8_t>(~out[i]);
  }
}

}  // namespace

size_t KeyDef::value_length() const {
  size_t n = 0;
  for (const Segment& s : segments) n += s.length;
  return n;
}

size_t KeyDef::encoded_length() const {
  size_t n = 0;
  for (const Segment& s : segments) n += EncodedWidth(s);
  return n;
}

Status ValidateSegment(const Segment& segment) {
  const uint16_t n = segment.length;
  auto one_of = [n](std::initializer_list<uint16_t> allowed) {
    for (uint16_t a : allowed) {
      if (a == n) return true;
    }
    return false;
  };
  bool ok;
  switch (segment.type) {
    case kTypeString:
      ok = n >= 1 && n <= 255;
      break;
    case kTypeInteger:
    case kTypeUnsignedBinary:
      ok = one_of({1, 2, 4, 8});
      break;
    case kTypeFloat:
    case kTypeBFloat:
      ok = one_of({4, 8});
      break;
    case kTypeDate:
    case kTypeTime:
      ok = n == 4;
      break;
    case kTypeDecimal:
    case kTypeMoney:
      ok = n >= 1 && n <= 64;
      break;
    case kTypeLogical:
      ok = one_of({1, 2});
      break;
    case kTypeNumeric:
      ok = n >= 1 && n <= 37;
      break;
    case kTypeLString:
    case kTypeZString:
      ok = n >= 2 && n <= 255;
      break;
    case kTypeAutoIncrement:
      ok = one_of({2, 4, 8});
      break;
    case kTypeNumericSTS:
      ok = n >= 2 && n <= 37;
      break;
    default:
      return Status::kKeyType;
  }
  return ok ? Status::kOk : Status::kKeyLength;
}

std::string ExtractValue(const KeyDef& key, const uint8_t* record, size_t record_length) {
  std::string out;
  out.reserve(key.value_length());
  for (const Segment& s : key.segments) {
    // A segment beyond a short record reads as zeros rather than past the record.
    size_t have = 0;
    if (s.offset < record_length) {
      have = record_length - s.offset;
      if (have > s.length) have = s.length;
      out.append(reinterpret_cast<const char*>(record) + s.offset, have);
    }
    out.append(s.length - have, '\0');
  }
  return out;
}

bool IsNullValue(const KeyDef& key, const uint8_t* value) {
  const bool all = key.null_all();
  const bool any = key.null_any();
  if (!all && !any) return false;
  bool every_null = true;
  for (const Segment& s : key.segments) {
    bool null = true;
    for (size_t i = 0; null && i < s.length; ++i) null = value[i] == s.null_value;
    value += s.length;
    if (null && any) return true;
    every_null = every_null && null;
  }
  return all && every_null && !key.segments.empty();
}

void EncodeValue(const KeyDef& key, const uint8_t* value, std::string* out) {
  const size_t start = out->size();
  out->resize(start + key.encoded_length());
  uint8_t* dst = reinterpret_cast<uint8_t*>(out->data()) + start;
  for (const Segment& s : key.segments) {
    EncodeSegment(s, value, dst);
    value += s.length;
    dst += EncodedWidth(s);
  }
}

}  // namespace mkde
