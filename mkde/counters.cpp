// The stored form of a file's counters.
#include "mkde/file_env.h"
#include "mkde/file_env_internal.h"

namespace mkde {

std::string Counters::Encode() const {
  std::string out;
  PutU32(&out, next_position);
  PutU32(&out, static_cast<uint32_t>(unique_values.size()));
  for (size_t i = 0; i < unique_values.size(); ++i) {
    PutU32(&out, unique_values[i]);
    PutU64(&out, static_cast<uint64_t>(autoincrement_high[i]));
  }
  return out;
}

bool Counters::Decode(const void* data, size_t length, size_t keys) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (length < 8) return false;
  uint32_t n = static_cast<uint32_t>(GetLE(p + 4, 4));
  if (n != keys || length != 8 + size_t{12} * n) return false;
  next_position = static_cast<uint32_t>(GetLE(p, 4));
  unique_values.assign(n, 0);
  autoincrement_high.assign(n, 0);
  for (size_t i = 0; i < n; ++i) {
    unique_values[i] = static_cast<uint32_t>(GetLE(p + 8 + 12 * i, 4));
    autoincrement_high[i] = static_cast<int64_t>(GetLE(p + 12 + 12 * i, 8));
  }
  return true;
}

}  // namespace mkde
