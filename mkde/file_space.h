// How a record file uses its space on disk: the figures of Stat's storage form (key number
// -1, see include/wbtrv32.h).
#pragma once

#include <cstdint>
#include <vector>

#include "enginecore/status.h"
#include "mkde/file_env.h"

namespace mkde {

struct FileSpace {
  uint64_t file_bytes = 0;    // the data file's size
  uint64_t page_size = 0;     // LMDB's page size
  uint64_t used_pages = 0;    // pages up to the last one written: the file's pages
  uint64_t map_bytes = 0;     // the map, which grows ahead of need
  uint64_t record_pages = 0;  // the records' tree
  uint64_t key_pages = 0;     // the keys' trees together
  uint64_t other_pages = 0;   // meta pages, the meta entries, LMDB's own trees
  uint64_t free_pages = 0;    // listed in LMDB's free list, for reuse by later commits
};

// The reply's size: eight little-endian u64 in the order above.
inline constexpr uint32_t kFileSpaceReply = 64;

// Reads the figures from a snapshot of its own (LMDB's free list is not readable inside a
// write transaction). Returns an engine status.
Status ReadFileSpace(FileEnv* file, FileSpace* out);
// At the last close, with the write gate held, no other process on the file and no commit log
// left to replay onto a checkpoint: the pages in LMDB's free list that no snapshot can read,
// those freed by commits up to the last and the oldest reader's, in order. Empty when they
// cannot be read.
std::vector<uint64_t> PagesToGiveBack(FileEnv* file);
// Gives their blocks back to the file system, the file keeping its length: LMDB writes a free
// page whole before it uses it again. So a file that commits grew takes on disk about what its
// records need. REQUIRES: both meta pages on disk (a machine crash must not bring back an
// older one than the newest). Nothing is lost when it fails or the file system cannot do it:
// the pages stay as they are.
void GiveBack(FileEnv* file, const std::vector<uint64_t>& pages);

// Lays them out as the reply; `room` at least kFileSpaceReply bytes.
void PutFileSpace(const FileSpace& space, uint8_t* room);

}  // namespace mkde
