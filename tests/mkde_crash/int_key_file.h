// The file the crash cases work on: records of a given length whose first 4 bytes are key 0,
// a unique integer. Reached through BTRCALL only, like the programs that use it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

#include "enginecore/include/wbtrv32.h"

namespace crash {

// Creates the file (variable: variable-length records, `record_length` their fixed part).
inline int CreateIntKeyFile(const std::string& path, uint16_t record_length,
                            bool variable = false) {
  std::string spec(32, '\0');
  spec[0] = static_cast<char>(record_length & 0xff);
  spec[1] = static_cast<char>(record_length >> 8);
  spec[3] = 0x10;  // page size 4096
  spec[4] = 1;     // one key
  spec[10] = variable ? 1 : 0;
  spec[16] = 1;     // key position 1
  spec[18] = 4;     // key length 4
  spec[21] = 0x01;  // extended type flag
  spec[26] = 1;     // integer
  std::string key = path + '\0';
  uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
  uint32_t len = static_cast<uint32_t>(spec.size());
  return BTRCALL(BTR_CREATE, pos, spec.data(), &len, key.data(), static_cast<uint8_t>(key.size()),
                 0);
}

// True when the redo file at `path` holds a transaction (one cleared after its commit starts
// with zeros; a missing one holds none).
inline bool HoldsRedo(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char tag[8] = {};
  return in.read(tag, sizeof tag) && std::any_of(tag, tag + 8, [](char c) { return c != 0; });
}

// Opens `path` in `mode`, offering the owner name `owner` (NUL-terminated; may be "").
inline int OpenWithName(uint8_t* pos, const std::string& path, const char* owner, int8_t mode = 0) {
  std::string key = path + '\0';
  std::string name(owner, std::strlen(owner) + 1);
  uint32_t len = static_cast<uint32_t>(name.size());
  return BTRCALL(BTR_OPEN, pos, name.data(), &len, key.data(), static_cast<uint8_t>(key.size()),
                 mode);
}

}  // namespace crash
