// Small helpers shared by the engine's files for talking to LMDB.
#pragma once

#include <lmdb.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "enginecore/status.h"
#include "mkde/fs.h"

namespace mkde {

// True for an error of a write or a sync (a system error, or LMDB's own after one): the file
// is marked failed (FileEnv::MarkFailed).
inline bool IsWriteFailure(int rc) { return rc > 0 || rc == MDB_PANIC; }
// True for a system error of a write or a sync that found no room (the disk or the owner's
// quota full): the call answers 18, whether or not the file is marked failed.
inline bool IsDiskFull(int err) { return err == ENOSPC || err == EDQUOT; }

// The one place where LMDB's and the system's error codes become engine results: a full
// map is a step to run again in a grown map (Retry::kMapFull); every other failure is the
// status a caller gets.
inline Result LmdbResult(int rc) {
  switch (rc) {
    case 0:
      return Status::kOk;
    case MDB_MAP_FULL:
      return Retry::kMapFull;
    case ENOSPC:
    case EDQUOT:
      return Status::kDiskFull;
    case ENOMEM:
      return Status::kNoMemory;
    case EROFS:
    case EACCES:
      return Status::kAccessDenied;
    default:
      return Status::kIoError;  // an I/O error, a damaged file
  }
}
// The same where nothing runs again (a read, an open): a full map there is a full disk.
inline Status LmdbStatus(int rc) { return LmdbResult(rc).Settle(); }

// Where LMDB's 64-bit meta page (the first two pages of a file) keeps the transaction id of
// the state it names.
constexpr size_t kMetaTxnOffset = 144;

inline MDB_val Val(const void* data, size_t size) { return MDB_val{size, const_cast<void*>(data)}; }
inline MDB_val Val(std::string_view s) { return MDB_val{s.size(), const_cast<char*>(s.data())}; }
inline std::string_view View(const MDB_val& v) {
  return std::string_view(static_cast<const char*>(v.mv_data), v.mv_size);
}

// An LMDB transaction of its own (not a file's write transaction, see WriteTransaction),
// owned from Begin until Commit, Abort, release or the end of the guard's life, which aborts
// one still open. Commit lets go of the handle before LMDB ends the transaction, which it
// does whatever the outcome. Not copyable; never throws.
class LmdbTxn {
 public:
  LmdbTxn() = default;
  LmdbTxn(const LmdbTxn&) = delete;
  LmdbTxn& operator=(const LmdbTxn&) = delete;
  ~LmdbTxn() { Abort(); }

  // mdb_txn_begin on `env` with `flags` (an open transaction is aborted first). Returns an
  // LMDB error code.
  [[nodiscard]] int Begin(MDB_env* env, unsigned flags) {
    Abort();
    MDB_txn* txn = nullptr;
    int rc = mdb_txn_begin(env, nullptr, flags, &txn);
    if (rc == 0) txn_ = txn;
    return rc;
  }
  // mdb_txn_commit. Returns an LMDB error code (EINVAL when none is open).
  [[nodiscard]] int Commit() {
    MDB_txn* txn = std::exchange(txn_, nullptr);
    return txn ? Fs().TxnCommit(txn) : EINVAL;
  }
  // Ends it without keeping anything, when open.
  void Abort() noexcept {
    if (MDB_txn* txn = std::exchange(txn_, nullptr)) mdb_txn_abort(txn);
  }
  // Hands the transaction to the caller, who ends it.
  MDB_txn* release() { return std::exchange(txn_, nullptr); }
  // The open transaction, or nullptr.
  MDB_txn* get() const { return txn_; }

 private:
  MDB_txn* txn_ = nullptr;
};

// Record positions are 4-byte big-endian keys, so LMDB's byte order is physical order.
inline void PositionKey(uint32_t position, unsigned char out[4]) {
  out[0] = static_cast<unsigned char>(position >> 24);
  out[1] = static_cast<unsigned char>(position >> 16);
  out[2] = static_cast<unsigned char>(position >> 8);
  out[3] = static_cast<unsigned char>(position);
}
inline uint32_t PositionFromKey(const void* data) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
// The position a stored key or index value names; 0 (never a record's) when its size is not
// that of a position, as in a damaged file.
inline uint32_t PositionFromKey(const MDB_val& v) {
  return v.mv_size == 4 ? PositionFromKey(v.mv_data) : 0;
}

}  // namespace mkde
