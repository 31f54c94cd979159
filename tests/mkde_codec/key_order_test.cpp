// The encoded key's byte order must be the key's order: for random values a and b of
// every type, read back to what they mean, a < b exactly when encode(a) < encode(b), and
// equal exactly when the encodings are equal.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "enginecore/codec/keycodec.h"

namespace mkde {
namespace {

using Bytes = std::vector<uint8_t>;

int Sign(long double d) { return d < 0 ? -1 : d > 0 ? 1 : 0; }
template <typename T>
int Cmp(const T& a, const T& b) {
  return a < b ? -1 : b < a ? 1 : 0;
}

uint64_t Little(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = n; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

int64_t SignedLittle(const uint8_t* p, size_t n) {
  uint64_t v = Little(p, n);
  if (n < 8 && (v >> (8 * n - 1)) & 1) v |= ~uint64_t{0} << (8 * n);
  return static_cast<int64_t>(v);
}

// Case folding as a reader of the Western single-byte code page sees it.
uint8_t Upper(uint8_t c) {
  if (c >= 'a' && c <= 'z') return c - 32;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 32;
  if (c == 0x9A || c == 0x9C || c == 0x9E) return c - 16;
  if (c == 0xFF) return 0x9F;
  return c;
}

std::string Text(const uint8_t* p, size_t n, bool fold) {
  std::string s(reinterpret_cast<const char*>(p), n);
  if (fold) {
    for (char& c : s) c = static_cast<char>(Upper(static_cast<uint8_t>(c)));
  }
  return s;
}

long double FloatValue(const uint8_t* p, size_t n, bool* nan) {
  long double v;
  if (n == 4) {
    float f;
    std::memcpy(&f, p, 4);
    v = f;
  } else {
    double d;
    std::memcpy(&d, p, 8);
    v = d;
  }
  *nan = std::isnan(v);
  return v;
}

// The old BASIC float: mantissa little-endian with the sign in the top bit of its high
// byte, then the exponent byte; 1.m x 2^(e - 129), exponent 0 is zero.
long double BFloatValue(const uint8_t* p, size_t n) {
  const uint8_t e = p[n - 1];
  if (e == 0) return 0;
  const int mant_bits = static_cast<int>(8 * (n - 1) - 1);
  const uint64_t mant = Little(p, n - 1) & ((uint64_t{1} << mant_bits) - 1);
  long double v =
      std::ldexp(1.0L + std::ldexp(static_cast<long double>(mant), -mant_bits), e - 129);
  return (p[n - 2] & 0x80) ? -v : v;
}

// Decimal, numeric and sign-trailing values all read as a sign and a digit string of a
// length fixed by the segment, so two values compare as sign, then digits.
struct Fixed {
  bool negative;
  std::string digits;
};
int CmpFixed(Fixed a, Fixed b) {
  if (a.digits.find_first_not_of('0') == std::string::npos) a.negative = false;
  if (b.digits.find_first_not_of('0') == std::string::npos) b.negative = false;
  if (a.negative != b.negative) return a.negative ? -1 : 1;
  const int c = Cmp(a.digits, b.digits);
  return a.negative ? -c : c;
}

Fixed DecimalValue(const uint8_t* p, size_t n) {
  Fixed f{false, ""};
  for (size_t i = 0; i < 2 * n - 1; ++i) {
    const uint8_t nib = (i % 2 == 0) ? p[i / 2] >> 4 : p[i / 2] & 0x0F;
    f.digits += static_cast<char>('0' + nib);
  }
  const uint8_t sign = p[n - 1] & 0x0F;
  f.negative = sign == 0x0D || sign == 0x0B;
  return f;
}

Fixed NumericValue(const uint8_t* p, size_t n) {
  Fixed f{false, ""};
  for (size_t i = 0; i + 1 < n; ++i) f.digits += p[i] == ' ' ? '0' : static_cast<char>(p[i]);
  const char last = static_cast<char>(p[n - 1]);
  const std::string pos = "{ABCDEFGHI", neg = "}JKLMNOPQR";
  if (last >= '0' && last <= '9') {
    f.digits += last;
  } else if (pos.find(last) != std::string::npos) {
    f.digits += static_cast<char>('0' + pos.find(last));
  } else if (neg.find(last) != std::string::npos) {
    f.digits += static_cast<char>('0' + neg.find(last));
    f.negative = true;
  } else {
    f.digits += static_cast<char>('0' + (last - 'p'));
    f.negative = true;
  }
  return f;
}

Fixed TrailingSignValue(const uint8_t* p, size_t n) {
  Fixed f{p[n - 1] == '-', ""};
  for (size_t i = 0; i + 1 < n; ++i) f.digits += p[i] == ' ' ? '0' : static_cast<char>(p[i]);
  return f;
}

// What a segment's bytes mean, compared: -1, 0 or 1 in ascending order.
int CompareSegment(const Segment& s, const uint8_t* a, const uint8_t* b) {
  const size_t n = s.length;
  const bool fold = s.case_insensitive();
  switch (s.type) {
    case kTypeInteger:
    case kTypeAutoIncrement:
      return Cmp(SignedLittle(a, n), SignedLittle(b, n));
    case kTypeUnsignedBinary:
    case kTypeLogical:
      return Cmp(Little(a, n), Little(b, n));
    case kTypeFloat: {
      bool na, nb;
      const long double x = FloatValue(a, n, &na), y = FloatValue(b, n, &nb);
      if (na || nb) return na == nb ? 0 : na ? 1 : -1;  // NaN after everything
      return Cmp(x, y);
    }
    case kTypeBFloat:
      return Cmp(BFloatValue(a, n), BFloatValue(b, n));
    case kTypeDate: {
      auto v = [](const uint8_t* p) { return std::tuple(Little(p + 2, 2), p[1], p[0]); };
      return Cmp(v(a), v(b));
    }
    case kTypeTime: {
      auto v = [](const uint8_t* p) { return std::tuple(p[3], p[2], p[1], p[0]); };
      return Cmp(v(a), v(b));
    }
    case kTypeDecimal:
    case kTypeMoney:
      return CmpFixed(DecimalValue(a, n), DecimalValue(b, n));
    case kTypeNumeric:
      return CmpFixed(NumericValue(a, n), NumericValue(b, n));
    case kTypeNumericSTS:
      return CmpFixed(TrailingSignValue(a, n), TrailingSignValue(b, n));
    case kTypeLString: {
      auto v = [&](const uint8_t* p) { return Text(p + 1, std::min<size_t>(p[0], n - 1), fold); };
      return Cmp(v(a), v(b));
    }
    case kTypeZString: {
      auto v = [&](const uint8_t* p) {
        return Text(p, strnlen(reinterpret_cast<const char*>(p), n), fold);
      };
      return Cmp(v(a), v(b));
    }
    default:
      return Cmp(Text(a, n, fold), Text(b, n, fold));
  }
}

int CompareKey(const KeyDef& key, const uint8_t* a, const uint8_t* b) {
  for (const Segment& s : key.segments) {
    int c = CompareSegment(s, a, b);
    if (c != 0) return s.descending() ? -c : c;
    a += s.length;
    b += s.length;
  }
  return 0;
}

// Random values drawn from small pools as often as from the whole range, so that equal
// values, neighbours and the awkward cases (zeros of both signs, NaNs, NUL bytes,
// letters of both cases) turn up in every run.
class ValueMaker {
 public:
  explicit ValueMaker(uint32_t seed) : rng_(seed) {}

  int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  uint8_t Byte() { return static_cast<uint8_t>(Below(256)); }
  bool Coin() { return Below(2) == 0; }

  void Make(const Segment& s, uint8_t* p) {
    const size_t n = s.length;
    switch (s.type) {
      case kTypeInteger:
      case kTypeAutoIncrement:
      case kTypeUnsignedBinary:
      case kTypeLogical:
        if (Coin()) {
          const int64_t v = Below(7) - 3;
          for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
        } else {
          for (size_t i = 0; i < n; ++i) p[i] = Byte();
          if (Coin()) p[n - 1] = Coin() ? 0x80 : 0x7F;  // near the extremes
        }
        break;
      case kTypeFloat: {
        static const double pool[] = {0.0,  -0.0,     1.0,       -1.0, 1e-310, -1e-310, 3.5,
                                      -3.5, INFINITY, -INFINITY, NAN,  -NAN,   1e300,   -1e300};
        if (Coin()) {
          const double d = pool[Below(std::size(pool))];
          if (n == 4) {
            const float f = static_cast<float>(d);
            std::memcpy(p, &f, 4);
          } else {
            std::memcpy(p, &d, 8);
          }
        } else {
          for (size_t i = 0; i < n; ++i) p[i] = Byte();  // NaN payloads included
        }
        break;
      }
      case kTypeBFloat:
        for (size_t i = 0; i < n; ++i) p[i] = Coin() ? Byte() : static_cast<uint8_t>(Below(2));
        if (Below(4) == 0) p[n - 1] = 0;  // zero with stray mantissa and sign bits
        if (Coin()) p[n - 1] = static_cast<uint8_t>(128 + Below(3));
        break;
      case kTypeDate:
        p[0] = static_cast<uint8_t>(1 + Below(3));
        p[1] = static_cast<uint8_t>(1 + Below(3));
        p[2] = Coin() ? static_cast<uint8_t>(Below(3)) : Byte();
        p[3] = Coin() ? 0x07 : Byte();
        break;
      case kTypeTime:
        for (size_t i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(Below(3) * 20);
        break;
      case kTypeDecimal:
      case kTypeMoney: {
        static const uint8_t signs[] = {0x0C, 0x0D, 0x0F, 0x0B};
        const bool small = Coin();
        for (size_t i = 0; i < 2 * n - 1; ++i) {
          const uint8_t d = static_cast<uint8_t>(small ? Below(2) : Below(10));
          if (i % 2 == 0) {
            p[i / 2] = static_cast<uint8_t>(d << 4);
          } else {
            p[i / 2] |= d;
          }
        }
        p[n - 1] |= signs[Below(4)];
        break;
      }
      case kTypeNumeric: {
        static const char last[] = "0123456789{ABCDEFGHI}JKLMNOPQRpqrstuvwxy";
        for (size_t i = 0; i + 1 < n; ++i)
          p[i] = static_cast<uint8_t>(Coin() ? ' ' : '0' + Below(3));
        p[n - 1] = static_cast<uint8_t>(last[Below(std::size(last) - 1)]);
        break;
      }
      case kTypeNumericSTS:
        for (size_t i = 0; i + 1 < n; ++i)
          p[i] = static_cast<uint8_t>(Coin() ? ' ' : '0' + Below(3));
        p[n - 1] = static_cast<uint8_t>("+- "[Below(3)]);
        break;
      case kTypeLString:
        p[0] = static_cast<uint8_t>(Below(4) == 0 ? Byte() : Below(static_cast<int>(n)));
        for (size_t i = 1; i < n; ++i) p[i] = Letter();
        break;
      default:
        for (size_t i = 0; i < n; ++i) p[i] = Letter();
        break;
    }
  }

  // A random key: one to three segments of random types and lengths, each possibly
  // descending and case-insensitive.
  KeyDef MakeKey() {
    static const uint8_t types[] = {
        kTypeString,  kTypeInteger, kTypeFloat,          kTypeDate,          kTypeTime,
        kTypeDecimal, kTypeMoney,   kTypeLogical,        kTypeNumeric,       kTypeBFloat,
        kTypeLString, kTypeZString, kTypeUnsignedBinary, kTypeAutoIncrement, kTypeNumericSTS};
    KeyDef key;
    const int count = 1 + Below(3);
    for (int i = 0; i < count; ++i) {
      Segment s;
      s.type = types[Below(std::size(types))];
      for (;;) {
        s.length = static_cast<uint16_t>(1 + Below(Coin() ? 4 : 12));
        if (ValidateSegment(s) == Status::kOk) break;
      }
      s.flags = kFlagExtendedType;
      if (Coin()) s.flags |= kFlagDescending;
      if (Coin()) s.flags |= kFlagCaseInsensitive;
      key.segments.push_back(s);
    }
    return key;
  }

 private:
  uint8_t Letter() {
    static const uint8_t pool[] = {'a', 'A', 'b', 'B', 0, 1, 0xE9, 0xC9, 0xFF, 0x9F, 0xF7, 0xD7};
    return pool[Below(std::size(pool))];
  }
  std::mt19937 rng_;
};

Bytes MakeValue(ValueMaker& maker, const KeyDef& key) {
  Bytes v(key.value_length());
  uint8_t* p = v.data();
  for (const Segment& s : key.segments) {
    maker.Make(s, p);
    p += s.length;
  }
  return v;
}

std::string Encode(const KeyDef& key, const Bytes& v) {
  std::string out;
  EncodeValue(key, v.data(), &out);
  return out;
}

std::string Hex(const Bytes& v) {
  std::string s;
  for (uint8_t b : v) s += "0123456789abcdef"[b >> 4], s += "0123456789abcdef"[b & 15];
  return s;
}

TEST(KeyOrder, EncodingOrderIsValueOrderForRandomKeys) {
  ValueMaker maker(20261208);
  for (int k = 0; k < 3000; ++k) {
    const KeyDef key = maker.MakeKey();
    for (int i = 0; i < 40; ++i) {
      const Bytes a = MakeValue(maker, key), b = MakeValue(maker, key);
      const std::string ea = Encode(key, a), eb = Encode(key, b);
      ASSERT_EQ(ea.size(), key.encoded_length());
      const int want = CompareKey(key, a.data(), b.data());
      const int got = Sign(static_cast<long double>(ea.compare(eb)));
      ASSERT_EQ(got, want) << "key " << k << " segment 0 type " << int(key.segments[0].type)
                           << " a=" << Hex(a) << " b=" << Hex(b);
    }
  }
}

// Appending to a buffer that already holds bytes (the engine builds keys with a prefix)
// must leave those bytes and write exactly the encoded length.
TEST(KeyOrder, EncodeAppendsFixedWidth) {
  ValueMaker maker(7);
  for (int k = 0; k < 200; ++k) {
    const KeyDef key = maker.MakeKey();
    const Bytes v = MakeValue(maker, key);
    std::string out = "prefix";
    EncodeValue(key, v.data(), &out);
    EXPECT_EQ(out.substr(0, 6), "prefix");
    EXPECT_EQ(out.size(), 6 + key.encoded_length());
    EXPECT_EQ(out.substr(6), Encode(key, v));
  }
}

KeyDef OneSegment(uint8_t type, uint16_t length, uint16_t flags = 0) {
  KeyDef key;
  Segment s;
  s.type = type;
  s.length = length;
  s.flags = flags | kFlagExtendedType;
  key.segments.push_back(s);
  key.flags = s.flags;
  return key;
}

// The awkward equalities spelled out, so a failure names the case.
TEST(KeyOrder, EqualValuesOfDifferentBytesEncodeEqual) {
  struct Case {
    const char* what;
    uint8_t type;
    Bytes a, b;
    uint16_t flags = 0;
  };
  const Case cases[] = {
      {"float -0 and +0", kTypeFloat, {0, 0, 0, 0x80}, {0, 0, 0, 0}},
      {"two NaN payloads", kTypeFloat, {1, 0, 0xC0, 0x7F}, {0, 0, 0xC0, 0xFF}},
      {"decimal -0 and +0", kTypeDecimal, {0x00, 0x0D}, {0x00, 0x0C}},
      {"decimal signs C and F", kTypeDecimal, {0x12, 0x3C}, {0x12, 0x3F}},
      {"money signs D and B", kTypeMoney, {0x12, 0x3D}, {0x12, 0x3B}},
      {"numeric -0 and +0", kTypeNumeric, {'0', '}'}, {'0', '0'}},
      {"numeric overpunch and digit", kTypeNumeric, {'1', 'B'}, {'1', '2'}},
      {"numeric space and zero", kTypeNumeric, {' ', '5'}, {'0', '5'}},
      {"trailing sign -0 and +0", kTypeNumericSTS, {'0', '0', '-'}, {'0', '0', '+'}},
      {"bfloat zero exponent", kTypeBFloat, {1, 2, 0x83, 0}, {0, 0, 0, 0}},
      {"zstring bytes after NUL", kTypeZString, {'a', 0, 'x'}, {'a', 0, 'y'}},
      {"lstring bytes past length", kTypeLString, {1, 'a', 'x'}, {1, 'a', 'y'}},
      {"lstring length clamped", kTypeLString, {9, 'a', 'b'}, {2, 'a', 'b'}},
      {"case-insensitive string", kTypeString, {'a', 0xE9}, {'A', 0xC9}, kFlagCaseInsensitive},
  };
  for (const Case& c : cases) {
    const KeyDef key = OneSegment(c.type, static_cast<uint16_t>(c.a.size()), c.flags);
    EXPECT_EQ(Encode(key, c.a), Encode(key, c.b)) << c.what;
  }
}

TEST(KeyOrder, LStringSortsBeforeItsExtensionsWithNul) {
  const KeyDef key = OneSegment(kTypeLString, 4);
  EXPECT_LT(Encode(key, {1, 'a', 0, 0}), Encode(key, {2, 'a', 0, 0}));
  EXPECT_LT(Encode(key, {0, 0, 0, 0}), Encode(key, {1, 0, 0, 0}));
}

TEST(NullKey, AllAndAnySegmentForms) {
  KeyDef key;
  Segment s;
  s.length = 2;
  s.null_value = ' ';
  key.segments = {s, s};
  key.segments[1].offset = 2;
  key.segments[1].null_value = 0;
  const uint8_t both_null[] = {' ', ' ', 0, 0};
  const uint8_t first_null[] = {' ', ' ', 0, 1};
  const uint8_t half_null[] = {' ', 'x', 0, 0};
  const uint8_t none_null[] = {'a', ' ', 1, 0};

  key.flags = 0;
  EXPECT_FALSE(IsNullValue(key, both_null)) << "a key without a null flag is never null";

  key.flags = kFlagNullAll;
  EXPECT_TRUE(IsNullValue(key, both_null));
  EXPECT_FALSE(IsNullValue(key, first_null));
  EXPECT_FALSE(IsNullValue(key, none_null));

  key.flags = kFlagNullAny;
  EXPECT_TRUE(IsNullValue(key, both_null));
  EXPECT_TRUE(IsNullValue(key, first_null));
  EXPECT_TRUE(IsNullValue(key, half_null));
  EXPECT_FALSE(IsNullValue(key, none_null));
}

TEST(ExtractValue, SegmentsBackToBackAndNothingReadPastAShortRecord) {
  KeyDef key;
  Segment a, b;
  a.offset = 4;
  a.length = 2;
  b.offset = 0;
  b.length = 3;
  key.segments = {a, b};
  const Bytes record = {'0', '1', '2', '3', '4', '5'};
  EXPECT_EQ(ExtractValue(key, record.data(), record.size()), "45012");
  // Five bytes of a six-byte key definition: the missing byte reads as zero.
  const Bytes shorter(record.begin(), record.begin() + 5);
  EXPECT_EQ(ExtractValue(key, shorter.data(), shorter.size()), std::string("4\0"
                                                                           "012",
                                                                           5));
}

}  // namespace
}  // namespace mkde
