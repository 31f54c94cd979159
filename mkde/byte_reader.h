// A bounded reader of the engine's own stored forms (redo files, change logs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "enginecore/coding.h"

namespace mkde {

// Reads little-endian integers and byte runs from a buffer, never past its end.
class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes) : bytes_(bytes) {}
  bool U8(uint8_t* v) {
    if (left() < 1) return false;
    *v = static_cast<uint8_t>(bytes_[at_++]);
    return true;
  }
  bool U32(uint32_t* v) {
    if (left() < 4) return false;
    *v = DecodeFixed32(here());
    at_ += 4;
    return true;
  }
  bool U64(uint64_t* v) {
    if (left() < 8) return false;
    *v = DecodeFixed64(here());
    at_ += 8;
    return true;
  }
  bool Bytes(size_t n, std::string_view* out) {
    if (left() < n) return false;
    *out = bytes_.substr(at_, n);
    at_ += n;
    return true;
  }
  size_t left() const { return bytes_.size() - at_; }

 private:
  const uint8_t* here() const { return reinterpret_cast<const uint8_t*>(bytes_.data()) + at_; }
  std::string_view bytes_;
  size_t at_ = 0;
};

}  // namespace mkde
