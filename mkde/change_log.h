// A write transaction's changes to one file, in the form a transaction over several files
// writes into its redo file (redo.h). Put and Delete live with the redo file's reader, in
// redo.cpp.
#pragma once

#include <lmdb.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

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

}  // namespace mkde
