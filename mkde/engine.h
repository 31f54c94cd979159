// The engine behind BTRCALL and BTRCALLID: decodes a call, checks its position block and
// runs the operation. One instance per process; every call runs under one lock, so the
// engine's tables and each file's LMDB handles are only ever used by one thread at a time.
#pragma once

#include <lmdb.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "enginecore/run.h"
#include "enginecore/status.h"
#include "mkde/engine_lock.h"
#include "mkde/file_env.h"
#include "mkde/handles.h"
#include "mkde/records.h"

namespace mkde {

// One call: its arguments (enginecore/call.h), and the client and handle they name.
struct Call : core::CallArgs {
  Client* client = nullptr;
  Handle* handle = nullptr;
};

// The snapshot one read call works in: the client's own transaction on the file when it
// has one (so it sees its own changes), else a fresh snapshot of the last commit. Ends on
// every path out of the call.
class ReadScope {
 public:
  ReadScope(FileEnv* file, const Client* client) : file_(file), client_(client) {}
  ~ReadScope() {
    if (own_) {
      CloseOpened();
    } else if (txn_) {
      file_->EndRead();
    }
  }
  ReadScope(const ReadScope&) = delete;
  ReadScope& operator=(const ReadScope&) = delete;
  // Returns an LMDB error code.
  [[nodiscard]] int Begin() {
    if (MDB_txn* mine = client_ ? client_->WriteTxn(file_) : nullptr) {
      txn_ = mine;
      own_ = true;
      return 0;
    }
    return file_->BeginRead(&txn_);
  }
  MDB_txn* txn() const { return txn_; }
  // The file's cached snapshot, whose cursors stay from call to call.
  bool shared() const { return !own_; }
  [[nodiscard]] int Cursor(MDB_dbi dbi, MDB_cursor** cursor) {
    return own_ ? OpenOwn(dbi, cursor) : file_->ReadCursor(dbi, cursor);
  }

 private:
  FileEnv* file_;
  const Client* client_;
  MDB_txn* txn_ = nullptr;
  bool own_ = false;  // the client's write transaction, not the file's cached snapshot
  std::vector<MDB_cursor*> opened_;

  int OpenOwn(MDB_dbi dbi, MDB_cursor** cursor);
  void CloseOpened();
};

class Engine {
 public:
  static Engine& Get();
  ~Engine();
  // True once the process-wide engine has been destroyed; no call may reach Get() then.
  static bool Gone();

  // Around fork(): the child starts with the engine's lock free.
  void LockForFork() { lock_.LockVisit(); }
  void UnlockForFork() { lock_.unlock(); }
  void ResetLockInChild() { lock_.ResetInChild(); }

  int16_t Dispatch(uint16_t op, void* pos_block, void* data, uint32_t* data_len, void* key,
                   uint8_t key_len, int8_t key_num, void* client_id);

  // Wakes the engine's thread before its next look: a log is due a roll, or a commit over
  // several files left its slots held.
  void WakeReaper();

 private:
  template <class R, class E, class C>
  friend R core::RunOperation(E& e, C& call);

  Engine();
  // Dispatch with the engine's lock held (let go while it waits).
  Status Serve(std::unique_lock<EngineLock>& lock, uint16_t op, void* pos_block, void* data,
               uint32_t* data_len, void* key, uint8_t key_len, int8_t key_num, void* client_id);
  Result Run(Call& call);

  // Files (ops_file.cpp).
  Result Open(Call& call);
  Status Close(Call& call);
  Status Create(Call& call);
  Result Stat(Call& call);
  Status Version(Call& call);
  Status StopClient(Call& call);
  void CloseHandle(Handle* handle);

  // Owner names (ops_owner.cpp).
  Result SetOwner(Call& call);
  Result ClearOwner(Call& call);
  // Compact (ops_compact.cpp): the file rewritten into its smallest form.
  Result Compact(Call& call);
  // At Open of a file with an owner: 0 (with *read_only for a name-less open the level
  // allows), 51, or 2.
  Status CheckOwnerAtOpen(const Call& call, FileEnv* file, bool* read_only);

  // Transactions (ops_txn.cpp).
  Status BeginTransaction(Call& call);
  Status EndTransaction(Call& call);
  Status AbortTransaction(Call& call);
  // Ends the client's transaction, committing it; returns the first failing status.
  Status CommitTransaction(Client* client);
  // Ends the client's transaction without keeping anything of it (nothing there can fail).
  void DropTransaction(Client* client);

  // Record locks (locks.cpp).
  // Takes the lock a read's bias asks for on `position`: 0, 84 another block holds the
  // record, 85 another client's exclusive transaction holds the file.
  Status TakeLock(Handle* handle, int lock, uint32_t position);
  // Ends the block's single-record lock (a read, Update or Delete through the block).
  void DropSingleLock(Handle* handle);
  // At End or Abort: lets go of every record lock the client's blocks took inside the
  // transaction (locks taken before it stay).
  void DropTransactionLocks(const Client* client);
  // Drops the block's locks on a record that is gone.
  void DropLocksOn(Handle* handle, uint32_t position);
  // 84 when another block holds a lock on the record, else 0.
  Status CheckNotLocked(Handle* handle, uint32_t position);
  Status Unlock(Call& call);
  // What the client holds that another client may wait for: the write gates of its
  // transaction's files and its blocks' record locks.
  std::vector<Resource> Holdings(const Client* client) const;

  // Reads (ops_read.cpp).
  Result GetByKey(Call& call, bool key_only);
  Result GetNextPrevious(Call& call, bool key_only);
  Status GetPosition(Call& call);
  Result GetDirect(Call& call);
  Result Step(Call& call);
  Result GetByPercentage(Call& call);
  Result FindPercentage(Call& call);
  // Copies a record reached on key path `key` (-1: physical order) to the caller and sets
  // the block's currency there.
  // `stored`: the record's stored value when the caller already has it.
  Status Deliver(Call& call, MDB_txn* txn, int key, std::string_view entry, uint32_t position,
                 bool key_only, const MDB_val* stored = nullptr);

  // Writes (ops_write.cpp).
  Result Insert(Call& call);
  Result Update(Call& call);
  Result Delete(Call& call);
  Result UpdateChunk(Call& call);
  // The client's write transaction on the handle's file, begun behind the file's write
  // gate (held until End or Abort) when the transaction has none there yet. Returns an
  // engine status (85 or Retry::kGateBusy when another client holds the gate).
  Result JoinTransaction(Handle* handle, MDB_txn** txn);
  // Before a read inside an exclusive transaction: the file is taken as a write takes it.
  Result HoldForRead(Handle* handle);
  // Runs `change` in a write transaction behind the file's write gate, synced on commit
  // (the data pages only in accelerated mode), again from the start if the map had to grow.
  // `logged`: every change goes through the RecordWriter, so that a durable commit may go
  // through the commit log; false for a change that writes to the transaction directly.
  Result RunWrite(Handle* handle, const std::function<Result(RecordWriter&)>& change,
                  bool logged = true);
  // A transaction's write transaction on a file met a full map: it is dropped, the map
  // grown, and the transaction's changes so far written again into a new one. The write
  // gate stays held throughout. Returns an engine status.
  Result RedoInGrownMap(FileWrite* batch);
  // After a verify-mode write: the record as stored must equal what was written.
  Status VerifyRecord(Handle* handle, uint32_t position, const std::string& record);
  // Updates the block's logical place after a write of `record` on key path `key`.
  void PlaceAfterWrite(Handle* handle, int key, const std::string& record, uint32_t position,
                       uint32_t change);

  // Lets go of read snapshots that no call has used for a moment (see FileEnv::EndRead);
  // started with the first call, stopped with the engine.
  void StartReaper();
  void Reap();

  EngineLock lock_;
  HandleTable handles_;
  std::thread* reaper_ = nullptr;  // left behind, not joined, in the child of a fork
  std::atomic<bool> stopping_{false};
  // Bumped to wake the reaper before its next look (a futex word: no lock that a fork could
  // leave taken in the child).
  std::atomic<uint32_t> reaper_wake_{0};
};

}  // namespace mkde
