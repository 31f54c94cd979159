#include "mkde/crc32c.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace mkde {

namespace {

// Eight tables, so that eight bytes go through at a time ("slicing by 8").
constexpr std::array<std::array<uint32_t, 256>, 8> MakeTables() {
  std::array<std::array<uint32_t, 256>, 8> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0x82F63B78u & (0u - (c & 1)));
    t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i) {
    for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  }
  return t;
}

constexpr auto kTables = MakeTables();

#if defined(__x86_64__)
// The register after `bytes` zero bytes more, for one register byte at a time: the CRC is
// linear, so a register moves past a run of zeros by four lookups and three xors.
struct ZeroShift {
  std::array<std::array<uint32_t, 256>, 4> t;
  uint32_t operator()(uint32_t c) const {
    return t[0][c & 0xFF] ^ t[1][(c >> 8) & 0xFF] ^ t[2][(c >> 16) & 0xFF] ^ t[3][c >> 24];
  }
};

constexpr ZeroShift MakeZeroShift(size_t bytes) {
  ZeroShift z{};
  for (uint32_t i = 0; i < 4; ++i) {
    for (uint32_t b = 0; b < 256; ++b) {
      uint32_t c = b << (8 * i);
      for (size_t k = 0; k < bytes; ++k) c = (c >> 8) ^ kTables[0][c & 0xFF];
      z.t[i][b] = c;
    }
  }
  return z;
}

// Each instruction waits for the one before it on the same register, while the processor can
// run several at once: a block goes through as three lanes of this many bytes, each on its
// own register, joined at the end of the block.
constexpr size_t kLane = 32;
constexpr ZeroShift kPastOneLane = MakeZeroShift(kLane);
constexpr ZeroShift kPastTwoLanes = MakeZeroShift(2 * kLane);

inline uint64_t Word(const uint8_t* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// The processor's own CRC-32C instruction (SSE 4.2), eight bytes at a time, on the register
// itself (the CRC inverted).
__attribute__((target("sse4.2"))) inline uint32_t Sse42Register(uint32_t reg, const uint8_t* p,
                                                                size_t n) {
  uint64_t c = reg;
  for (; n >= 3 * kLane; p += 3 * kLane, n -= 3 * kLane) {
    // Lanes b and d start from a zero register: the register after a, b and d is a's moved
    // past two lanes of zeros, xor b's moved past one, xor d's.
    uint64_t b = 0, d = 0;
    for (size_t i = 0; i < kLane; i += 8) {
      c = _mm_crc32_u64(c, Word(p + i));
      b = _mm_crc32_u64(b, Word(p + kLane + i));
      d = _mm_crc32_u64(d, Word(p + 2 * kLane + i));
    }
    c = kPastTwoLanes(static_cast<uint32_t>(c)) ^ kPastOneLane(static_cast<uint32_t>(b)) ^ d;
  }
  for (; n >= 8; p += 8, n -= 8) c = _mm_crc32_u64(c, Word(p));
  uint32_t c32 = static_cast<uint32_t>(c);
  if (n >= 4) {
    uint32_t word;
    std::memcpy(&word, p, sizeof word);
    c32 = _mm_crc32_u32(c32, word);
    p += 4;
    n -= 4;
  }
  for (; n > 0; ++p, --n) c32 = _mm_crc32_u8(c32, *p);
  return c32;
}

__attribute__((target("sse4.2"))) uint32_t Crc32cSse42(uint32_t crc, const uint8_t* p, size_t n) {
  return ~Sse42Register(~crc, p, n);
}

__attribute__((target("sse4.2"))) uint32_t Crc32cSse42AfterWord(uint64_t word, const uint8_t* p,
                                                                size_t n) {
  return ~Sse42Register(static_cast<uint32_t>(_mm_crc32_u64(0xFFFFFFFFu, word)), p, n);
}
#endif

uint32_t PortableAfterWord(uint64_t word, const uint8_t* p, size_t n) {
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(word >> (8 * i));
  return Crc32cPortable(Crc32cPortable(0, bytes, sizeof bytes), p, n);
}

using CrcFunction = uint32_t (*)(uint32_t, const uint8_t*, size_t);
using AfterWordFunction = uint32_t (*)(uint64_t, const uint8_t*, size_t);

CrcFunction Choose() {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("sse4.2")) return Crc32cSse42;
#endif
  return Crc32cPortable;
}

AfterWordFunction ChooseAfterWord() {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("sse4.2")) return Crc32cSse42AfterWord;
#endif
  return PortableAfterWord;
}

}  // namespace

uint32_t Crc32cPortable(uint32_t crc, const uint8_t* p, size_t n) {
  uint32_t c = ~crc;
  while (n >= 8) {
    uint32_t lo = c ^ (uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) |
                       (uint32_t{p[3]} << 24));
    uint32_t hi =
        uint32_t{p[4]} | (uint32_t{p[5]} << 8) | (uint32_t{p[6]} << 16) | (uint32_t{p[7]} << 24);
    c = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
        kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
        kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) c = (c >> 8) ^ kTables[0][(c ^ *p++) & 0xFF];
  return ~c;
}

uint32_t Crc32cExtend(uint32_t crc, const uint8_t* p, size_t n) {
  static const CrcFunction crc32c = Choose();
  return crc32c(crc, p, n);
}

uint32_t Crc32cAfterWord(uint64_t word, const uint8_t* p, size_t n) {
  static const AfterWordFunction crc32c = ChooseAfterWord();
  return crc32c(word, p, n);
}

}  // namespace mkde
