// The per-file counters a record file keeps in its meta database, and their stored form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mkde {

// Per-file counters kept in the meta database: the next record position, and per key its
// number of unique values and the highest autoincrement value ever stored.
struct Counters {
  uint32_t next_position = 1;
  std::vector<uint32_t> unique_values;
  std::vector<int64_t> autoincrement_high;

  // The stored form: u32 next position, u32 key count, then per key u32 unique values and
  // u64 autoincrement high, all little-endian.
  std::string Encode() const;
  // False when the stored form does not fit `keys` keys.
  bool Decode(const void* data, size_t length, size_t keys);
};

}  // namespace mkde
