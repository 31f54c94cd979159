// A write transaction's changes to one file, in the form a transaction over several files
// writes into its redo file (redo.h), and their replay.
#pragma once

#include <lmdb.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "enginecore/status.h"

namespace mkde {

// The changes of one file's write transaction, as the redo file carries them. Each entry:
// u8 kind (1 put, 2 delete), u8 database (0 meta, 1 records, 2 + k the index of key k), u32
// key length, the key, and for a put u32 value length and the value.
class ChangeLog {
 public:
  static constexpr uint8_t kMetaDb = 0;
  static constexpr uint8_t kRecordsDb = 1;
  static uint8_t KeyDb(size_t key) { return static_cast<uint8_t>(2 + key); }

  void Put(uint8_t db, const MDB_val& key, const MDB_val& value);
  void Delete(uint8_t db, const MDB_val& key);
  bool empty() const { return bytes_.empty(); }
  const std::string& bytes() const { return bytes_; }
  void Clear() { bytes_.clear(); }
  // Forgets every change after the first `size` bytes (a call that did not go through).
  void Truncate(size_t size) { bytes_.resize(std::min(size, bytes_.size())); }

 private:
  std::string bytes_;
};

class FileEnv;

// The id of the file's last committed LMDB transaction.
uint64_t LastTxnId(FileEnv* file);
// Runs `changes` in a write transaction of its own, synced. REQUIRES: the gate is held.
// Returns an engine status.
Status Replay(FileEnv* file, std::string_view changes);

// Applies a change log to `txn` of `file`. Returns an engine status (Retry::kMapFull when the
// map filled up); a log that does not parse, or names a database the file lacks, answers 2.
Result ApplyChanges(FileEnv* file, MDB_txn* txn, std::string_view log);

}  // namespace mkde
