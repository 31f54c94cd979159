// A fuzz input read from its front: bytes, little-endian words and runs of bytes, with zeros
// (or shorter runs) once it is used up, so that a target never reads past what it was given.
#ifndef VASTREL_FUZZ_FUZZ_INPUT_H_
#define VASTREL_FUZZ_FUZZ_INPUT_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace fuzz_support {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
  // `bytes` bytes (at most 8) as a little-endian number.
  uint64_t Bits(int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint64_t{Byte()} << (8 * i);
    return v;
  }
  // Up to n bytes (fewer at the end of the input).
  std::string_view Take(size_t n) {
    n = std::min(n, size_ - std::min(at_, size_));
    std::string_view out(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return out;
  }
  std::string_view Rest() { return Take(size_); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace fuzz_support

#endif  // VASTREL_FUZZ_FUZZ_INPUT_H_
