// One record file as this process keeps it open: its LMDB environment, its named
// databases, its decoded description, and the write gate that every write passes.
//
// A file is opened once per process (the registry, registry.h, finds it again by device
// and inode) and shared by every position block and client on it. Not thread-safe by
// itself: the engine serialises every call (see engine.h). Implemented in file_env.cpp
// (environment, snapshots, transactions), write_gate.cpp, commit_log.cpp and owner_copy.cpp.
#pragma once

#include <lmdb.h>
#include <sys/types.h>

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "enginecore/codec/filespec.h"
#include "enginecore/crypto/owner.h"
#include "enginecore/status.h"
#include "mkde/counters.h"
#include "mkde/log_sync.h"
#include "mkde/waits.h"

namespace mkde {

struct Client;
struct LogHeader;
struct LogEntry;

// The first byte of the gate file that stands for a record lock: 2^32 + position.
inline constexpr off_t kRecordLockBase = off_t{1} << 32;

// Names of the named databases and the meta entries inside a record file (the stored form
// is described in docs/engine-file-format.md).
inline constexpr const char* kMetaDb = "meta";
inline constexpr const char* kRecordsDb = "records";
inline constexpr const char* kMetaFormat = "format";
inline constexpr const char* kMetaSpec = "description";
inline constexpr const char* kMetaCounters = "counters";
inline constexpr const char* kMetaOwner = "owner";
// The format of the files the engine creates: each stored record carries a checksum. Files
// of the first format (records without one) are read and written in their own format.
inline constexpr const char* kFormatTag = "vastrel record file 2";
inline constexpr const char* kFormatTagV1 = "vastrel record file 1";

class FileEnv {
 public:
  // Ends the snapshots and the environment, and closes the gate file (every lock of this
  // process on it goes with it).
  ~FileEnv();

  // The path the file was opened by.
  const std::string& path() const { return path_; }
  // The gate file beside it, whose byte locks stand for the write gate and the opens.
  std::string gate_path() const { return path_ + "-gate"; }
  // Beside the file while a transaction over several files is being committed: one per redo
  // slot (redo.h), the first without a number.
  std::string redo_path(int slot = 0) const {
    return path_ + "-redo" + (slot > 0 ? std::to_string(slot) : std::string());
  }
  // The path made absolute when the file was opened, as other files' redo files name it.
  const std::string& abs_path() const { return abs_path_; }
  // True when this is the file with device `dev` and inode `ino`.
  bool Is(dev_t dev, ino_t ino) const { return dev_ == dev && ino_ == ino; }
  // The file's write gate and the lock on one of its records, as waits name them.
  Resource GateResource() const { return {dev_, ino_, 0}; }
  Resource LockResource(uint32_t position) const {
    return {dev_, ino_, static_cast<uint64_t>(kRecordLockBase) + position};
  }
  // The environment and its named databases: meta entries, records, key `key`'s entries.
  MDB_env* env() const { return env_; }
  MDB_dbi meta_db() const { return meta_; }
  MDB_dbi records_db() const { return records_; }
  MDB_dbi key_db(size_t key) const { return keys_[key]; }
  // The description the file was created with, and its number of keys.
  const FileSpec& spec() const { return spec_; }
  size_t key_count() const { return spec_.keys.size(); }
  // True when the file's records carry a checksum (its format is 2).
  bool checksummed() const { return checksummed_; }
  // True when the environment could only be opened read-only.
  bool read_only_storage() const { return read_only_storage_; }

  // The owner: present when the file has one. Its record key, once an open has had the
  // right name (or, at level 3, without it), seals and opens the records of encrypted
  // files for every block on the file.
  bool has_owner() const { return has_owner_; }
  const OwnerRecord& owner() const { return owner_; }
  bool encrypted() const { return has_owner_ && OwnerLevelEncrypts(owner_.level); }
  const SecretKey& record_key() const { return record_key_; }
  void SetRecordKey(SecretKey key) { record_key_ = std::move(key); }
  // After Set Owner (owner given) or Clear Owner (nullptr) committed.
  void SetOwner(const OwnerRecord* owner, SecretKey key) {
    has_owner_ = owner != nullptr;
    if (owner) owner_ = *owner;
    record_key_ = std::move(key);
  }
  // The place beside the file where an owner change builds its replacement.
  std::string rewrite_path() const { return path_ + ".compact"; }
  // Writes a copy of the file to `temp`: every database as it is, except that each record's
  // stored value passes through `transform` (which writes the new stored value to *out) and
  // the owner record becomes `owner_value` (nullptr: none). Synced; removed again on failure.
  // Returns an engine status.
  using RecordTransform =
      std::function<Status(const MDB_val& key, const MDB_val& value, std::string* out)>;
  Status WriteCopy(const std::string& temp, const RecordTransform& transform,
                   const std::string* owner_value);
  // Puts the copy at `temp` in the file's place by one rename and takes up the new file.
  // REQUIRES: no transaction on the file; the gate held, and other processes that have the
  // file open told of the swap (MarkReplacing), or no other open of it anywhere.
  Status Replace(const std::string& temp);

  // After a compact in another process put a new file at the path (LogShared::replaced): the
  // environment taken up again on the file now there, its snapshots let go. `gate_held`: a
  // swap still marked under way was cut short by its process's death, and is settled here.
  // REQUIRES: no transaction or snapshot of this process on the file. Returns a status.
  Status FollowReplacement(bool gate_held);
  bool ReplacedElsewhere() const {
    return sync_ && sync_->shared().replaced.load(std::memory_order_relaxed) != replaced_seen_;
  }
  // Marks a swap of the file under way (true) or done (false) for every process. REQUIRES: the
  // gate and byte 2 of the gate file held.
  void MarkReplacing(bool begin);

  // An owner change needs the file to itself: no other process may have it open, or open
  // it, until EndOwnerChange. Returns 0 or 85.
  Status BeginOwnerChange();
  void EndOwnerChange();
  // Takes (F_RDLCK, F_WRLCK) one byte of the gate file, waiting a moment for another
  // process. Returns 0, 88 when another process holds it, or 2.
  Status LockByte(off_t byte, short type);
  // Lets go of a byte taken with LockByte. Letting go is always granted.
  void UnlockByte(off_t byte);

  // Opens handles on this file: the count of position blocks that use it.
  int open_count = 0;
  // The client that holds an exclusive open, or nullptr.
  Client* exclusive_owner = nullptr;

  // A read snapshot for one call: the snapshot of the previous call when no commit came
  // since, else a renewed one. Returns an LMDB error code. REQUIRES: no snapshot is active.
  [[nodiscard]] int BeginRead(MDB_txn** txn) {
    if (kept_ && read_txn_id_ == LastCommit()) {
      // Still the newest commit: nothing to take up, and the cursors stand where the previous
      // call left them.
      read_active_ = true;
      *txn = read_txn_;
      return 0;
    }
    return RenewRead(txn);
  }
  void EndRead() {
    // Kept for the next call while it stays the newest; ReleaseIdle lets it go soon after the
    // calls stop, so that an idle process never holds back the reuse of freed pages.
    if (read_active_) {
      kept_ = true;
      ++reads_;
    }
    read_active_ = false;
  }
  // Lets go of a kept snapshot that no call has used since the previous ReleaseIdle, and
  // checkpoints a log no commit has used since then.
  void ReleaseIdle();
  // Rolls the log when a commit found it due a roll (the gate taken; another process's
  // writer holding it leaves the roll for a later look).
  void RollIfDue();
  // Ends the cached snapshot and its cursors for good (before the map moves).
  void DropSnapshot();
  // The cursor on `dbi` inside the active read snapshot (opened once, renewed per snapshot).
  [[nodiscard]] int ReadCursor(MDB_dbi dbi, MDB_cursor** cursor) {
    ++cursor_uses_;
    if (dbi < read_cursors_.size() && cursor_renewed_[dbi] && read_cursors_[dbi]) {
      *cursor = read_cursors_[dbi];
      return 0;
    }
    return TakeReadCursor(dbi, cursor);
  }

  // Cursors handed out and snapshots taken, counted: a cursor stands where the last use
  // left it while this stays the same.
  uint64_t cursor_uses() const { return cursor_uses_; }
  // The records cursor stands on `position`, where the caller put it through its own use
  // (`uses`: cursor_uses() right after taking the cursor); nothing when another use came
  // between.
  void NoteRecordsCursorAt(uint32_t position, uint64_t uses) {
    if (uses != cursor_uses_) return;
    records_cursor_at_ = position;
    records_cursor_mark_ = uses;
  }
  // The records cursor of the snapshot still stands on `position` as NoteRecordsCursorAt
  // left it: no cursor handed out and no snapshot taken since.
  bool RecordsCursorAt(uint32_t position) const {
    return records_cursor_mark_ == cursor_uses_ && records_cursor_at_ == position;
  }

  // The client that holds the write gate (taken through a GateHold), or nullptr.
  Client* gate_owner() const { return gate_owner_; }

  // Marks the file open in this process for other processes to see: a shared lock on the
  // gate file, or with `exclusive` a lock that no other process's open may share. Returns
  // 0 or 88.
  Status HoldOpen(bool exclusive);
  // Back from HoldOpen(true) to the shared hold of every open: the holder of a lock may
  // always weaken it, so this cannot fail.
  void ShareOpen();
  // Byte 2 of the gate file: held exclusively through an owner change, which replaces or
  // rewrites the whole file; every open holds it shared until its environment is open, so
  // that no process opens a file half changed.
  static constexpr off_t kOwnerChangeByte = 2;
  // Byte 3: held exclusively by an open from before it marks the file open (byte 1) until it
  // has finished a commit log that no live process uses. Two processes opening at once after
  // a crash would otherwise each see the other and leave the log to nobody.
  static constexpr off_t kOpeningByte = 3;

  // Makes every logged commit part of the file on disk and empties the log. REQUIRES: the
  // gate is held, or the file is this process's alone (an owner change). Returns a status.
  Status Checkpoint();
  // Every commit the log holds so far on disk (a sync of the log, when one is still due),
  // so that a recovery after a crash reaches at least the file's last commit. REQUIRES: the
  // gate is held. Returns a status.
  Status SyncLog();
  // One file's part of a transaction over several durable files, in two steps behind the
  // gate: WriteLinked joins the log (or begins it), writes the linked entry after its last one
  // and starts it on its way, nothing committed (*at, *size: where it went); once every
  // participant's entry is written, CommitLinked commits `txn` unsynced behind it and notes
  // the ticket its sync answers, or DropLinked spoils it. The entry is marked undecided
  // (LogShared::linked_end, *mark) from its write until every participant's log has it on disk.
  // Return a status; WriteLinked leaves the log as it was when it fails.
  bool LinkedCommits() const { return sync_ && !read_only_storage_; }
  Status WriteLinked(MDB_txn* txn, const LogEntry& entry, uint64_t* at, size_t* size, int* mark);
  // `first`: no participant has committed yet, and a failure leaves the entry to be dropped;
  // a later participant's commit that fails is made again from `changes`.
  Status CommitLinked(MDB_txn* txn, std::string_view changes, bool first, uint64_t at, size_t size,
                      int mark);
  void DropLinked(uint64_t at, size_t size, int mark);
  // A linked entry right after the log's last commit, making the next transaction, whose
  // writer died before this file's commit (it held the gate until every participant's
  // commit): committed from the entry when every participant's entry was written (the last
  // one's log, or its state, holds it), else spoilt, before this gate's holder writes over
  // it. Without `may_open` (a checkpoint or roll between calls, which may run over the
  // registry's files) a decision that needs the last participant opened answers 2, the
  // entry left as it was. REQUIRES: the gate is held. Returns an engine status.
  Result FinishLinked(bool may_open);
  bool log_active() const { return log_active_; }
  // The data file's descriptor for a sync ahead of a roll of the log that is due (the reaper
  // syncs it without the engine's lock, so that the roll it then makes behind the gate finds
  // few pages left to write); nullptr when no roll is due or the sync was handed out already.
  // A sync that fails marks the descriptor failed, and with it the file.
  std::shared_ptr<LogFd> PresyncDue();
  // The shared page of the gate file, mapped when the file is opened for writing.
  void MapLogSync() { sync_ = LogSync::Map(gate_fd_); }
  LogSync* log_sync() const { return sync_.get(); }
  const std::shared_ptr<LogSync>& shared_log_sync() const { return sync_; }
  // This process wrote a redo file beside the file (its last close removes it when cleared).
  void NoteRedo() { redo_written_ = true; }
  // The log beside the file.
  std::string log_path() const { return path_ + "-log"; }
  // A cursor on `dbi` inside the write transaction `txn`, opened on its first use and kept
  // for the rest of the transaction (a transaction of many calls opens each one once).
  // LMDB frees a write transaction's cursors when it ends, so every write transaction ends
  // through a WriteTransaction, which has them forgotten. Returns an LMDB error code.
  [[nodiscard]] int WriteCursor(MDB_txn* txn, MDB_dbi dbi, MDB_cursor** cursor);
  // Room for one index entry per key, kept from call to call so that a write builds its
  // entries without allocating (calls are serialised, and a write uses one file's room).
  std::vector<std::string>& EntryRoom(size_t keys) {
    if (entry_room_.size() < keys) entry_room_.resize(keys);
    return entry_room_;
  }
  // Grows the map so that at least `extra` more bytes fit. Returns an engine status.
  Status GrowMap(size_t extra);

  // A write or sync of the file or of one of its companions failed: what is on disk is no
  // longer known, and a later sync that succeeds would not say that the earlier writes got
  // there. Every write of every handle in this process answers 2 from now on, and nothing
  // is synced or checkpointed again, until the last close; the next open starts from what
  // is on disk (and from the commit log, when one was in use). A commit whose write to the
  // log found no room is undone instead, and answers 18 (commit_log.cpp).
  void MarkFailed() { failed_ = true; }
  bool failed() const { return Failed(); }

  friend class Registry;
  friend class GateHold;
  friend class WriteTransaction;

 private:
  FileEnv() = default;

  // Write gate. The in-process owner and an open-file-description lock on "<path>-gate"
  // keep every write of this file, from any thread or process, one at a time, and are
  // taken before LMDB's own writer lock, so that no call ever waits on LMDB. Returns 0; 85
  // when another client of this process holds the gate; Retry::kGateBusy when another
  // process holds it (the caller waits, a bounded time, without the engine's lock).
  // Held and let go only through a GateHold.
  Result AcquireGate(Client* client);
  void ReleaseGate(Client* client);
  // Begins a write transaction. REQUIRES: the gate is held. Grows the map first when it
  // runs low. Returns an engine status (0, 2 or 18).
  Status BeginWrite(MDB_txn** txn);
  // Commits, synced (`accelerated`: the data pages only, not the meta page); `txn` is ended
  // whatever the outcome. On MDB_MAP_FULL the map grows and *retry is set: the caller runs
  // its change again in a new transaction. `changes`: the commit's changes as a change log;
  // with them a durable commit of a file that no other process has open goes through the
  // commit log (one sync, of the log), see docs/engine-file-format.md. Returns an engine
  // status.
  Status CommitWrite(MDB_txn* txn, bool accelerated, bool* retry,
                     const std::string* changes = nullptr);
  // Ends a write transaction without keeping its changes.
  void AbortWrite(MDB_txn* txn);
  Status OpenEnv(bool want_write);
  Status LoadDescription(MDB_txn* txn);

  std::string path_;
  std::string abs_path_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  MDB_env* env_ = nullptr;
  MDB_dbi meta_ = 0;
  MDB_dbi records_ = 0;
  std::vector<MDB_dbi> keys_;
  FileSpec spec_;
  bool read_only_storage_ = false;
  bool failed_ = false;
  bool checksummed_ = true;
  bool has_owner_ = false;
  OwnerRecord owner_;
  SecretKey record_key_;
  int gate_fd_ = -1;
  Client* gate_owner_ = nullptr;
  int gate_depth_ = 0;
  MDB_txn* read_txn_ = nullptr;  // reset between calls
  uint64_t read_txn_id_ = 0;     // the commit read_txn_ was last renewed on
  bool read_active_ = false;
  bool kept_ = false;                      // read_txn_ is live between calls
  uint64_t reads_ = 0;                     // calls that ended a snapshot
  uint64_t reads_seen_ = 0;                // reads_ at the previous ReleaseIdle
  std::vector<MDB_cursor*> read_cursors_;  // by dbi
  std::vector<bool> cursor_renewed_;       // renewed in the active snapshot
  uint64_t cursor_uses_ = 0;
  uint64_t records_cursor_mark_ = UINT64_MAX;  // cursor_uses_ when records_cursor_at_ was noted
  uint32_t records_cursor_at_ = 0;
  MDB_txn* write_txn_ = nullptr;            // the transaction write_cursors_ belong to
  std::vector<MDB_cursor*> write_cursors_;  // by dbi
  std::vector<std::string> entry_room_;

  void ForgetWriteCursors();
  Result TakeGate(Client* client);

  // The last commit of the file, in any process.
  uint64_t LastCommit() const {
    MDB_envinfo info;
    mdb_env_info(env_, &info);
    return info.me_last_txnid;
  }
  // BeginRead when the kept snapshot is not the newest, or there is none.
  [[nodiscard]] int RenewRead(MDB_txn** txn);
  // ReadCursor when the cursor is not open or not renewed in the active snapshot yet.
  [[nodiscard]] int TakeReadCursor(MDB_dbi dbi, MDB_cursor** cursor);

  // failed_, or a failed sync of the commit log this process holds.
  bool Failed() const;

  // The commit log.
  bool Alone() const;           // no other process has the file open
  Status OpenLog(bool create);  // log_fd_, when not open yet; Status::kFileNotFound: none
  void CloseLog();
  bool LogAtPath() const;  // log_fd_ is the file the log's path names
  // True when a reader of any process holds `checkpoint` or an older state.
  bool CheckpointHeld(uint64_t checkpoint);
  // Begins the log on the last commit, `last`, with the gate held. Returns a status.
  Status StartLog(uint64_t last);
  // Joins the log for a commit that makes transaction `id`, or checkpoints and begins it
  // again; then makes room for an entry of `n` bytes at offset `at`, the log grown by a synced
  // run of zeros when it is too short. Return a status (a failure leaves the log as sound as
  // before; a failed sync marks the file failed). REQUIRES: the gate is held.
  Status JoinLog(uint64_t id);
  Status MakeRoom(uint64_t at, size_t n);
  Status CommitLogged(MDB_txn* txn, const std::string& changes, bool* retry);
  // Counts a commit through the log (transaction `id`, its entry ending at `log_end` in the
  // log) against the log's limits of commits, freed pages and bytes, which keep the file near
  // its size and a recovery short: at half of them the reaper is woken to roll the log
  // between calls; true at the limits themselves, where the committer rolls it.
  bool CountCommit(uint64_t id, uint64_t log_end);
  // A checkpoint that begins the next log on `last` (the last commit) at once, its header
  // written over the old one: one sync fewer than a checkpoint and a start. Returns a status.
  Status RollLog(uint64_t last);
  // At the first open in this process, the gate held: a log whose header checks is
  // finished (alone: the file is put back to the log's checkpoint and the log's commits
  // replayed; else another process's log is ended by a checkpoint). Returns a status.
  // The log's header: its checkpoint, the meta pages saved with it, the key its entries'
  // hashes use and its size. Status::kNotAFile when no header checks (no log in use).
  Status ReadLogHeader(uint64_t* checkpoint, std::string* metas, std::string* key,
                       size_t* size = nullptr) const;
  // The whole header, partners included, and its size. Status::kNotAFile: none checks.
  Status ReadHeader(LogHeader* header, size_t* size) const;
  bool EmptyLog();  // the header spoilt and synced: no log in use
  Status RestoreFromLog(bool* replay);
  void DropLogReader();  // lets go of the checkpoint's snapshot, when held here
  Result ReplayLog();
  int log_fd_ = -1;                  // log_hold_'s descriptor
  uint64_t log_size_ = 0;            // the log file's size as last seen (it only grows)
  std::shared_ptr<LogFd> log_hold_;  // shared with the commits waiting for their sync
  std::shared_ptr<LogSync> sync_;    // the gate file's shared page; null: no log here
  bool redo_written_ = false;
  bool log_active_ = false;        // this process holds the checkpoint's snapshot
  bool unsynced_ = false;          // an accelerated commit left its meta page unsynced
  bool replaying_ = false;         // ReplayLog's commits leave the log they come from alone
  uint64_t log_base_ = 0;          // the log whose file this process checked last (LogShared::base)
  uint64_t log_commits_ = 0;       // LogShared::commits when this process took up the log
  uint64_t log_commits_seen_ = 0;  // LogShared::commits at the previous ReleaseIdle
  MDB_txn* log_reader_ = nullptr;  // the checkpoint's snapshot, held while the log is active
  // A roll of the log that a limit calls for, left to the reaper (ReleaseIdle) so that its
  // syncs stay off the committer's path; presynced_: the data file's sync ahead of it was
  // handed out (PresyncDue). Both end with the log.
  bool roll_due_ = false;
  bool presynced_ = false;
  std::shared_ptr<LogFd> data_fd_;  // a duplicate of LMDB's descriptor of the data file
  uint64_t replaced_seen_ = 0;      // LogShared::replaced when the environment was last taken up
};

// Holds a file's write gate for one client, from a successful Acquire or Take until Release
// or the end of the guard's life, so that no path forgets to let it go. Movable, not
// copyable; never throws.
class GateHold {
 public:
  GateHold() = default;
  GateHold(const GateHold&) = delete;
  GateHold& operator=(const GateHold&) = delete;
  GateHold(GateHold&& other) noexcept
      : file_(std::exchange(other.file_, nullptr)), client_(other.client_) {}
  GateHold& operator=(GateHold&& other) noexcept;
  ~GateHold() { Release(); }

  // Takes the gate of `file` for `client` (a transaction over several files that a crash
  // interrupted is finished first). Returns 0, held; or the status of FileEnv's gate, not
  // held.
  Result Acquire(FileEnv* file, Client* client);
  // The same without that recovery: for the engine's own checkpoints and log replays.
  Result Take(FileEnv* file, Client* client);
  // Lets the gate go, when held.
  void Release() noexcept;
  // Forgets the gate without letting it go: after fork(), where it is the parent's.
  void Forget() noexcept { file_ = nullptr; }
  bool held() const { return file_ != nullptr; }

 private:
  FileEnv* file_ = nullptr;
  Client* client_ = nullptr;
};

// One write transaction on a file, from Begin to Commit or Abort; the destructor aborts one
// still open. Commit lets go of the handle before LMDB ends the transaction, which it does
// whatever the outcome, so that nothing is ended twice. Movable, not copyable; never throws.
class WriteTransaction {
 public:
  WriteTransaction() = default;
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;
  WriteTransaction(WriteTransaction&& other) noexcept
      : file_(other.file_), txn_(std::exchange(other.txn_, nullptr)) {}
  WriteTransaction& operator=(WriteTransaction&& other) noexcept;
  ~WriteTransaction() { Abort(); }

  // Begins a write transaction on `file` (an open one is aborted first). REQUIRES: the
  // file's gate is held. Returns an engine status (0, 2 or 18).
  Status Begin(FileEnv* file);
  // Commits it, as FileEnv::CommitWrite does; afterwards none is open. Returns an engine
  // status.
  Status Commit(bool accelerated, bool* retry, const std::string* changes = nullptr);
  // Ends it without keeping its changes, when open.
  void Abort() noexcept;
  // Forgets it without ending it: after fork(), where it is the parent's.
  void Forget() noexcept { txn_ = nullptr; }
  // Hands the open transaction to the caller, who ends it (FileEnv::CommitLinked).
  MDB_txn* Release() noexcept { return std::exchange(txn_, nullptr); }
  // The open transaction, or nullptr.
  MDB_txn* get() const { return txn_; }

 private:
  FileEnv* file_ = nullptr;
  MDB_txn* txn_ = nullptr;
};

// The folder that holds `path` ("." for a bare name), and a sync of a folder (so that the
// names created or renamed in it are on disk). SyncFolder returns an engine status.
std::string FolderOf(const std::string& path);
Status SyncFolder(const std::string& folder);

// True for the file-system magic numbers of network file systems, on which LMDB's shared
// memory locking does not work.
bool IsNetworkFileSystem(long magic, const char** name);

}  // namespace mkde
