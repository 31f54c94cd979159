// The stored form of a file's counters.
#include "mkde/counters.h"

#include "enginecore/coding.h"

namespace mkde {

std::string Counters::Encode() const {
  std::string out;
  PutFixed32(&out, next_position);
  PutFixed32(&out, static_cast<uint32_t>(unique_values.size()));
  for (size_t i = 0; i < unique_values.size(); ++i) {
    PutFixed32(&out, unique_values[i]);
    PutFixed64(&out, static_cast<uint64_t>(autoincrement_high[i]));
  }
  return out;
}

bool Counters::Decode(const void* data, size_t length, size_t keys) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (length < 8) return false;
  uint32_t n = static_cast<uint32_t>(DecodeFixed32(p + 4));
  if (n != keys || length != 8 + size_t{12} * n) return false;
  next_position = static_cast<uint32_t>(DecodeFixed32(p));
  unique_values.assign(n, 0);
  autoincrement_high.assign(n, 0);
  for (size_t i = 0; i < n; ++i) {
    unique_values[i] = static_cast<uint32_t>(DecodeFixed32(p + 8 + 12 * i));
    autoincrement_high[i] = static_cast<int64_t>(DecodeFixed64(p + 12 + 12 * i));
  }
  return true;
}

}  // namespace mkde
