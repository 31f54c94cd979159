// One storage back end under the benchmark. Every store keeps the same records with the same
// two keys (key 0 unique, key 1 with duplicates in insertion order) and answers the same reads,
// each of which copies the record it reaches into record().
//
// Not thread-safe. Every failure other than the ends of a path throws StoreError with the
// store's own status or message, so that the benchmark stops rather than timing a fault.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>

#include "bench/engine/workload.h"

namespace vastrel::bench {

class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class OpenFor {
  kLoad,     // commits consistent but not synced
  kDurable,  // every commit on disk when the insert returns
  kRead,
};

class Store {
 public:
  virtual ~Store() = default;

  // The short name printed in the results.
  virtual std::string Name() const = 0;
  // How this store commits during the bulk load, for the notes under the results.
  virtual std::string LoadNote() const = 0;

  // Removes any earlier files and creates them empty, leaving the store closed.
  virtual void Create() = 0;
  virtual void Open(OpenFor mode) = 0;
  // Closes the files and lets go of their mapping and caches. Harmless when closed.
  virtual void Close() = 0;

  // Inserts records first .. first + count - 1 the store's fastest sound way (open kLoad).
  virtual void Load(uint32_t first, uint32_t count) = 0;
  // Inserts one record, committed on its own (open kDurable).
  virtual void InsertOne(uint32_t ordinal) = 0;
  // Inserts records first .. first + count - 1 in one transaction, committed durably (open
  // kDurable); a failure undoes them all.
  virtual void InsertTransaction(uint32_t first, uint32_t count) = 0;

  // Changes record `ordinal`'s filler (MakeUpdatedRecord; its keys stay), found by key 0, and
  // deletes record `ordinal`: each committed on its own as InsertOne is (open kDurable).
  virtual void UpdateOne(uint32_t ordinal) = 0;
  virtual void DeleteOne(uint32_t ordinal) = 0;
  // The bytes the store's files hold on disk (closed: what stays between uses).
  virtual uint64_t BytesOnDisk() const = 0;
  // Rewrites the files into their smallest form (open kDurable); false when the store has no
  // such operation.
  virtual bool Compact() { return false; }

  // Reads (open kRead). Between BeginReads and EndReads a store may hold one read snapshot.
  virtual void BeginReads() {}
  virtual void EndReads() {}
  // Each returns false at the end of its path; a miss of Equal throws.
  virtual bool FirstKey0() = 0;
  virtual bool NextKey0() = 0;
  virtual void EqualKey0(int32_t key) = 0;
  // key points at kKey1Size bytes.
  virtual void EqualKey1(const char* key) = 0;
  virtual bool NextKey1() = 0;
  virtual bool StepFirst() = 0;
  virtual bool StepNext() = 0;

  const uint8_t* record() const { return record_; }

 protected:
  uint8_t record_[kRecordSize] = {};
};

// The sizes of the files that exist among `paths`, summed.
uint64_t FileBytes(std::initializer_list<std::string> paths);

// The record engine reached through BTRCALL in a shared library loaded at run time, named
// `name` in the results (its file too). Returns nullptr and sets *why when the library or its
// entry point cannot be found.
std::unique_ptr<Store> MakeEngineStore(const std::string& library, const std::string& dir,
                                       std::string* why, const std::string& name = "engine");

// LMDB used directly, in the layout the engine keeps: records by a 4-byte position and one
// index per key. one_per_call false: the load commits every 1,000 records and a read run keeps
// one snapshot and its cursors, LMDB at its best. true: one commit per insert and a fresh
// snapshot for every read, the contract each engine call has.
std::unique_ptr<Store> MakeLmdbStore(const std::string& dir, bool one_per_call);

// SQLite in WAL mode with synchronous NORMAL (`full`: FULL, which syncs every commit),
// prepared statements, a unique index on key 0 and an index on key 1; the load commits every
// 1,000 records.
std::unique_ptr<Store> MakeSqliteStore(const std::string& dir, bool full = false);

}  // namespace vastrel::bench
