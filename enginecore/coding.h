// Fixed-width little-endian integers: the byte order of every stored form the engine writes
// (counters, commit log, redo files, descriptions, owner records, position blocks) and of
// the integers callers pass in data buffers. Each works byte by byte, so it reads and writes
// any address and the same bytes on any host.
#pragma once

#include <cstdint>
#include <string>

namespace mkde {

// Writes `v` to p[0..1], p[0..3] or p[0..7], lowest byte first.
inline void EncodeFixed16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void EncodeFixed32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void EncodeFixed64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Reads the value that the matching Encode wrote at `p`.
inline uint16_t DecodeFixed16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t DecodeFixed32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline uint64_t DecodeFixed64(const uint8_t* p) {
  return DecodeFixed32(p) | (uint64_t{DecodeFixed32(p + 4)} << 32);
}

// Appends `v` to *out, as EncodeFixed32 or EncodeFixed64 lays it out.
inline void PutFixed32(std::string* out, uint32_t v) {
  uint8_t b[4];
  EncodeFixed32(b, v);
  out->append(reinterpret_cast<const char*>(b), sizeof b);
}
inline void PutFixed64(std::string* out, uint64_t v) {
  uint8_t b[8];
  EncodeFixed64(b, v);
  out->append(reinterpret_cast<const char*>(b), sizeof b);
}

}  // namespace mkde
