// The record file of the engine's smaller benchmarks: records of `length` bytes whose first
// four hold a unique integer key, on pages of 4096 bytes; and its opening, without an owner.
#pragma once

#include <cstdint>
#include <string>

#include "enginecore/include/wbtrv32.h"

namespace vastrel::bench {

// An engine's BTRCALL: this build's, or another library's a bench measures beside it.
using BtrCallFunction = int16_t (*)(uint16_t, void*, void*, uint32_t*, void*, uint8_t, int8_t);

inline int16_t CreateIntKeyFile(const std::string& path, uint16_t length,
                                BtrCallFunction call = BTRCALL) {
  std::string spec(32, '\0');
  spec[0] = static_cast<char>(length);
  spec[1] = static_cast<char>(length >> 8);
  spec[3] = 0x10;  // page size 4096
  spec[4] = 1;     // one key: a unique 4-byte integer at position 1
  spec[16] = 1;
  spec[18] = 4;
  spec[21] = 0x01;
  spec[26] = 1;
  std::string key = path + '\0';
  uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
  uint32_t len = static_cast<uint32_t>(spec.size());
  return call(BTR_CREATE, pos, spec.data(), &len, key.data(), static_cast<uint8_t>(key.size()), 0);
}

inline int16_t OpenFile(uint8_t* pos, const std::string& path, int8_t mode = 0,
                        BtrCallFunction call = BTRCALL) {
  std::string key = path + '\0';
  uint32_t len = 0;
  return call(BTR_OPEN, pos, nullptr, &len, key.data(), static_cast<uint8_t>(key.size()), mode);
}

}  // namespace vastrel::bench
