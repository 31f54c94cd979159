// What the files of one record file's implementation (file_env.cpp, write_gate.cpp,
// commit_log.cpp, owner_copy.cpp, registry.cpp) share and nobody else needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "mkde/handles.h"

namespace mkde {

// The map an environment starts with; a map grows by at most kMaxMapStep at a time.
inline constexpr size_t kInitialMapSize = size_t{64} << 20;
inline constexpr size_t kMaxMapStep = size_t{1} << 30;
// Named databases an environment may hold: meta, records, one per key, and spare.
inline constexpr unsigned kMaxDbs = 2 + kMaxKeys + 4;

// The client under which the engine itself holds a gate for a checkpoint or a log replay.
Client& LogClient();

// The name of the named database of key `key`'s index entries.
inline std::string KeyDbName(size_t key) { return "key" + std::to_string(key); }

// Little-endian appends and reads of the stored forms (counters, commit log).
inline void PutU32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}
inline void PutU64(std::string* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}
inline uint64_t GetLE(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace mkde
