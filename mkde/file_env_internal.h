// What the files of one record file's implementation (file_env.cpp, write_gate.cpp,
// commit_log.cpp, owner_copy.cpp, registry.cpp) share and nobody else needs.
#pragma once

#include <fcntl.h>
#include <lmdb.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

#include "mkde/lmdb_util.h"

namespace mkde {

// The map an environment starts with; a map grows by at most kMaxMapStep at a time.
inline constexpr size_t kInitialMapSize = size_t{64} << 20;
inline constexpr size_t kMaxMapStep = size_t{1} << 30;
// Named databases an environment may hold: meta, records, one per key, and spare.
inline constexpr unsigned kMaxDbs = 2 + kMaxKeys + 4;

struct Client;

// The client under which the engine itself holds a gate for a checkpoint or a log replay.
Client& LogClient();

// Wakes the engine's reaper thread before its round is over: a log is due a roll.
void WakeReaper();

// The name of the named database of key `key`'s index entries.
inline std::string KeyDbName(size_t key) { return "key" + std::to_string(key); }

}  // namespace mkde
