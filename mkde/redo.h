// Transactions over several files, made whole across a crash.
//
// Each file's changes wait in its own LMDB write transaction, and LMDB commits one file at a
// time. So that a crash between two files' commits never leaves a transaction in some of its
// files only, End first writes a redo file beside every changed file, `<path>-redo`: the
// transaction's identity, the list of every file it changed, and this file's changes as
// key-level puts and deletes. Once every redo file is complete and synced the transaction is
// decided: the files are then committed one by one and the redo files cleared (written over
// with a tag of zeros: kept, so that the next transaction writes in place without creating
// a file; the last close removes it).
//
// Whoever next takes the write gate of a file that has a redo file, or opens it, finishes the
// work: when every participant's redo file is present, complete and of the same transaction,
// every participant whose LMDB state is still the one before the transaction gets its changes
// replayed; otherwise the transaction was never decided, no file had committed any of it, and
// the redo file is dropped. Each redo file records the LMDB transaction id its file's commit
// produces, so a replay happens exactly when that commit is missing, and a stale redo file is
// harmless.
#pragma once

#include <lmdb.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mkde/status.h"

namespace mkde {

class FileEnv;
struct FileWrite;

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

// The id of the file's last committed LMDB transaction.
uint64_t LastTxnId(FileEnv* file);
// Runs `changes` in a write transaction of its own, synced. REQUIRES: the gate is held.
// Returns an engine status.
Status Replay(FileEnv* file, std::string_view changes);

// Applies a change log to `txn` of `file`. Returns an engine status (Retry::kMapFull when the
// map filled up); a log that does not parse, or names a database the file lacks, answers 2.
Result ApplyChanges(FileEnv* file, MDB_txn* txn, std::string_view log);

// End of a transaction that changed at least two files: writes the redo files, commits each
// file's write transaction and removes the redo files. Every write's gate is held by the
// caller and stays held. On a refusal before the decision nothing is committed and every
// write transaction is aborted; after it, a file whose commit fails has its changes replayed
// at once, and its redo file is left for a later open when that fails too. Returns an engine
// status.
Status CommitAcross(std::vector<FileWrite>& writes);

// True when `file` has a redo file beside it that holds a transaction (to finish or drop).
// Looks at the file: for an open.
bool RedoPending(const FileEnv& file);
// True when a redo may be pending: the mark in the gate file's shared page, which every
// writer sets before it writes a redo and clears once the redo is gone (the file itself
// where the page is not mapped). For the write gate, taken on every write.
bool RedoMarked(FileEnv& file);
// At the last close: removes a redo file that holds no transaction.
void DropClearedRedo(const FileEnv& file);

// Finishes or drops the transaction named by `file`'s redo file, taking the write gate of
// every participant (Retry::kGateBusy when one is held elsewhere: the caller tries again).
// `file` may be one the registry does not know yet (an open in progress). Returns an engine
// status.
Result RecoverPending(FileEnv* file);

}  // namespace mkde
