// The workload every store runs: records of 100 bytes with two keys, generated from their
// ordinal so that no store needs the data set in memory and every store sees the same bytes.
//
// Record layout: bytes 0-3 key 0, a unique signed 32-bit integer, little-endian; bytes 4-23
// key 1, a 20-byte string with about 1,000 distinct values; bytes 24-99 filler.
// Record i holds key 0 = i * an odd constant, so the keys are unique and arrive in an order
// unrelated to their value, and records along key 0 differ from physical order.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace vastrel::bench {

inline constexpr uint32_t kRecordSize = 100;
inline constexpr uint32_t kKey0Offset = 0;
inline constexpr uint32_t kKey0Size = 4;
inline constexpr uint32_t kKey1Offset = 4;
inline constexpr uint32_t kKey1Size = 20;
inline constexpr uint32_t kKey1Distinct = 1000;

// A stateless 64-bit mixer (splitmix64's finaliser).
inline uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Multiplying by an odd constant is a bijection modulo 2^32: unique keys for every ordinal.
inline int32_t Key0Of(uint32_t ordinal) { return static_cast<int32_t>(ordinal * 0x9E3779B1u); }

// Writes record `ordinal`'s key 1 (kKey1Size bytes, blank padded) to out.
inline void Key1Of(uint32_t ordinal, char* out) {
  char text[kKey1Size + 1];
  const unsigned group = static_cast<unsigned>(Mix(ordinal) % kKey1Distinct);
  std::snprintf(text, sizeof text, "customer group %04u", group);
  std::memset(out, ' ', kKey1Size);
  std::memcpy(out, text, std::strlen(text));
}

inline void MakeRecord(uint32_t ordinal, uint8_t* out) {
  const int32_t k0 = Key0Of(ordinal);
  const uint32_t u = static_cast<uint32_t>(k0);
  for (uint32_t b = 0; b < kKey0Size; ++b)
    out[kKey0Offset + b] = static_cast<uint8_t>(u >> (8 * b));
  Key1Of(ordinal, reinterpret_cast<char*>(out + kKey1Offset));
  uint64_t fill = Mix(ordinal ^ 0x5A5A5A5Aull);
  for (uint32_t b = kKey1Offset + kKey1Size; b < kRecordSize; ++b) {
    out[b] = static_cast<uint8_t>('a' + fill % 26);
    fill = fill / 26 ? fill / 26 : Mix(fill + b);
  }
}

// Record `ordinal` as an update leaves it: the same keys, another filler of the same length.
inline void MakeUpdatedRecord(uint32_t ordinal, uint8_t* out) {
  MakeRecord(ordinal, out);
  for (uint32_t b = kKey1Offset + kKey1Size; b < kRecordSize; ++b)
    out[b] = static_cast<uint8_t>('A' + (out[b] - 'a'));
}

inline int32_t Key0OfRecord(const uint8_t* record) {
  uint32_t u = 0;
  for (uint32_t b = 0; b < kKey0Size; ++b) u |= uint32_t{record[kKey0Offset + b]} << (8 * b);
  return static_cast<int32_t>(u);
}

// A small, fast generator for the random probes, seeded the same for every store.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next() { return Mix(state_++); }
  uint32_t Below(uint32_t bound) { return static_cast<uint32_t>(Next() % bound); }

 private:
  uint64_t state_;
};

}  // namespace vastrel::bench
