// Records and their index entries inside one write transaction.
//
// A record is stored under its 4-byte big-endian position as a 4-byte change counter, in
// files of format 2 a 4-byte checksum, and the record's bytes (sealed in encrypted files). Each key
// has its own database of index entries: the key value's order-preserving encoding, followed for
// keys with duplicates by the record's position (so duplicates keep their insertion order), mapping
// to the position. A record whose value is a null key of a key with a null flag has no entry in
// that key.
#pragma once

#include <lmdb.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "enginecore/status.h"
#include "mkde/file_env.h"
#include "mkde/handles.h"

namespace mkde {

// A record as read from a snapshot; the bytes point into the map and live as long as the
// transaction.
struct StoredRecord {
  uint32_t change = 0;
  const uint8_t* bytes = nullptr;
  size_t size = 0;
  std::string plain;  // the opened record of an encrypted file (bytes point here)
};

// The bytes before a stored record's body in `file`: the change counter, and the checksum
// when the file has them.
inline size_t StoredHeaderSize(const FileEnv& file) { return file.checksummed() ? 8 : 4; }
// Writes the header of a stored record whose body (plain or sealed) is body[0..size) to
// out[0..StoredHeaderSize): the change counter, then the CRC-32C of the position (4 bytes
// big-endian), the counter and the body.
void PutStoredHeader(const FileEnv& file, uint32_t position, uint32_t change, const uint8_t* body,
                     size_t size, uint8_t* out);
// Splits a stored value into its change counter and body. Returns false when the value is
// shorter than its header or its checksum does not match: a damaged record.
bool SplitStored(const FileEnv& file, uint32_t position, const MDB_val& value, uint32_t* change,
                 const uint8_t** body, size_t* size);

// The stored value of a record: its change counter, then the record, sealed under the
// file's record key when the file is encrypted (the position bound in).
Status StoreRecord(const FileEnv& file, uint32_t position, uint32_t change,
                   const std::string& record, std::string* out);

// Reads the record at `position`. Returns 0, MDB_NOTFOUND, or an LMDB error (MDB_CORRUPTED
// for a record whose checksum does not match, or a sealed record that does not open: never
// damaged or unauthenticated bytes).
[[nodiscard]] int ReadRecord(MDB_txn* txn, const FileEnv& file, uint32_t position,
                             StoredRecord* out);
// The same for a stored value already in hand (a cursor on the records).
[[nodiscard]] int DecodeRecord(const FileEnv& file, uint32_t position, const MDB_val& value,
                               StoredRecord* out);

// The index entry of a record on `key`; *null is set when the value is a null key that the
// index leaves out (the entry is still built, so that a place can be kept there).
std::string IndexEntry(const KeyDef& key, const uint8_t* record, size_t size, uint32_t position,
                       bool* null);
// The same into *entry, whose room is reused.
void IndexEntryInto(const KeyDef& key, const uint8_t* record, size_t size, uint32_t position,
                    bool* null, std::string* entry);
// True when `entry`, the index entry on `key` that led to the record at `position`, is the
// entry the record itself makes: false for an entry that a damage made point at another
// record.
bool EntryMatches(const KeyDef& key, const StoredRecord& record, uint32_t position,
                  std::string_view entry);
// The key value as the record holds it (as ExtractValue gives it) into `out`, which has
// room for key.value_length() bytes.
void KeyValueInto(const KeyDef& key, const uint8_t* record, size_t size, uint8_t* out);

// The changes one write call makes, inside one LMDB write transaction. Every method returns
// an engine status, or Retry::kMapFull (the caller grows the map and runs it all again). A
// refusal comes before any write; on a failure after one (wrote()) the caller aborts the
// transaction: nothing half-done is kept.
class RecordWriter {
 public:
  // `batch`: the transaction of several calls that `txn` belongs to, whose counters this
  // call takes up and leaves there (nullptr: a call of its own, which stores them).
  // `log`: for a call of its own, where its changes go for the commit log.
  RecordWriter(FileEnv* file, MDB_txn* txn, FileWrite* batch = nullptr, ChangeLog* log = nullptr)
      : file_(file), txn_(txn), batch_(batch), log_(log) {}

  MDB_txn* txn() const { return txn_; }
  // True once the transaction holds a change of this writer. Every refusal (5, 10, 80, and
  // the edit's own) comes before that; a failure after it is the storage's, and leaves the
  // transaction with part of a call in it.
  bool wrote() const { return wrote_; }
  Status Begin();   // loads the counters
  Result Finish();  // stores the counters (or leaves them with the batch)

  // Adds a record (autoincrement values of 0 are assigned in *record). 5 on a duplicate.
  Result Insert(std::string* record, uint32_t* position);
  // Rewrites the record at `position`, read with change counter `change`, through `edit`
  // (which may answer a status). 80 when the record is gone or its counter moved; 10 a
  // non-modifiable key changed; 5 duplicate. *new_change receives the new counter.
  Result Update(uint32_t position, uint32_t change,
                const std::function<Status(std::string* record)>& edit, std::string* result,
                uint32_t* new_change);
  // Removes the record and all its index entries; 80 as for Update.
  Result Delete(uint32_t position, uint32_t change);

 private:
  Result AddEntries(const std::string& record, uint32_t position);
  // Stores the record at `position` with change counter `change` (LMDB put flags `flags`).
  Result PutRecord(uint32_t position, uint32_t change, const std::string& record, unsigned flags);
  // Whether a unique key's index already holds `entry`.
  Status Taken(size_t key, const std::string& entry, bool* taken);
  Result AddEntry(size_t key, const std::string& entry, uint32_t position);
  Result RemoveEntry(size_t key, const std::string& entry);
  Status PrefixExists(size_t key, std::string_view prefix, bool* exists);
  Status AssignAutoincrement(std::string* record);
  // Values set by hand still count: an assigned value never repeats one stored before.
  void NoteAutoincrement(const std::string& record);

  // Notes a put (`value`) or a delete (nullptr) in the transaction's change log: a
  // transaction's changes to each file wait there for a commit that spans several files.
  void Log(uint8_t db, const MDB_val& key, const MDB_val* value) {
    ChangeLog* log = batch_ ? &batch_->changes : log_;
    if (!log) return;
    if (value) {
      log->Put(db, key, *value);
    } else {
      log->Delete(db, key);
    }
  }

  FileEnv* file_;
  MDB_txn* txn_;
  FileWrite* batch_;
  ChangeLog* log_;
  Counters own_;                // the counters of a call of its own
  Counters* counters_ = &own_;  // what this call changes: own_ or the batch's working copy
  bool wrote_ = false;
};

// Reads a file's counters from `txn`. Returns an engine status.
Status LoadCounters(MDB_txn* txn, const FileEnv& file, Counters* counters);
// Stores them. Returns an engine status (Retry::kMapFull included).
Result StoreCounters(MDB_txn* txn, const FileEnv& file, const Counters& counters);

}  // namespace mkde
