// One record file's environment: opening it, read snapshots, and write transactions.
#include "mkde/file_env.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "enginecore/include/wbtrv32.h"
#include "mkde/companion.h"
#include "mkde/file_env_internal.h"
#include "mkde/lmdb_util.h"

namespace mkde {

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

Status SyncFolder(const std::string& folder) {
  int fd = Fs().Open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Status::kIoError;
  int rc = Fs().Fsync(fd);
  Fs().Close(fd);
  return rc == 0 ? Status::kOk : Status::kIoError;
}

FileEnv::~FileEnv() {
  for (MDB_cursor* c : read_cursors_) {
    if (c) mdb_cursor_close(c);
  }
  if (read_txn_) mdb_txn_abort(read_txn_);
  if (log_reader_) mdb_txn_abort(log_reader_);
  if (env_) mdb_env_close(env_);
  if (gate_fd_ >= 0) Fs().Close(gate_fd_);  // drops every lock of this descriptor
}

int FileEnv::RenewRead(MDB_txn** txn) {
  // A later commit may be in a new file a compact elsewhere put in place.
  if (gate_owner_ == nullptr && ReplacedElsewhere() && FollowReplacement(false) != Status::kOk) {
    return EIO;
  }
  if (kept_) {
    mdb_txn_reset(read_txn_);
    kept_ = false;
  }
  int rc;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (read_txn_) {
      rc = mdb_txn_renew(read_txn_);
      if (rc != 0) {
        mdb_txn_abort(read_txn_);
        read_txn_ = nullptr;
      }
    } else {
      rc = mdb_txn_begin(env_, nullptr, MDB_RDONLY, &read_txn_);
      if (rc != 0) read_txn_ = nullptr;
    }
    if (rc == MDB_MAP_RESIZED) {
      // Another process grew the file: take up its size and try again.
      for (MDB_cursor*& c : read_cursors_) {
        if (c) mdb_cursor_close(c);
        c = nullptr;
      }
      mdb_env_set_mapsize(env_, 0);
      continue;
    }
    break;
  }
  if (rc != 0) return rc;
  read_txn_id_ = mdb_txn_id(read_txn_);
  read_active_ = true;
  ++cursor_uses_;
  cursor_renewed_.assign(read_cursors_.size(), false);
  *txn = read_txn_;
  return 0;
}

void FileEnv::ReleaseIdle() {
  // Counting calls rather than reading a clock keeps the clock out of every read.
  if (kept_ && !read_active_ && reads_ == reads_seen_) {
    mdb_txn_reset(read_txn_);
    kept_ = false;
  }
  reads_seen_ = reads_;
  if (!sync_) return;
  sync_->Check();
  LogShared& s = sync_->shared();
  // The checkpoint's snapshot of a log that has ended (another process checkpointed it)
  // holds nothing any more.
  if (log_active_ && (s.checkpoint.load() == 0 || s.base.load() != log_base_)) DropLogReader();
  RollIfDue();
  // A log no commit of any process used since the last look: checkpointed, so that the
  // file on disk is whole again and the checkpoint's snapshot is let go.
  const uint64_t commits = s.commits.load();
  if (s.checkpoint.load() != 0 && commits == log_commits_seen_ && gate_owner_ == nullptr) {
    GateHold gate;
    if (gate.Take(this, &LogClient()) == Status::kOk && s.checkpoint.load() != 0 &&
        s.commits.load() == commits) {
      // Nothing waits on this one: a checkpoint whose write or sync fails has marked the
      // file failed, and one that could not begin is tried again at the next look.
      (void)Checkpoint();
    }
  }
  log_commits_seen_ = commits;
}

void FileEnv::RollIfDue() {
  // A roll a commit called for: the log's commits so far synced into the file, the next log
  // begun on the last of them, between the calls of every client.
  if (!sync_ || !roll_due_ || !log_active_ || gate_owner_ != nullptr) return;
  LogShared& s = sync_->shared();
  GateHold gate;
  if (gate.Take(this, &LogClient()) != Status::kOk) return;
  // A part a killed writer left after the log's end is finished first, or the log kept.
  if (FinishLinked(false) != Status::kOk) return;
  // The log may have ended or rolled in another process meanwhile.
  if (s.checkpoint.load() != 0 && s.base.load() == log_base_ && s.last_txn.load() == LastCommit()) {
    // Nothing waits on it: a roll whose write or sync fails has marked the file failed.
    (void)RollLog(s.last_txn.load());
  }
  roll_due_ = presynced_ = false;
}

void FileEnv::DropSnapshot() {
  ++cursor_uses_;
  for (MDB_cursor*& c : read_cursors_) {
    if (c) mdb_cursor_close(c);
    c = nullptr;
  }
  if (read_txn_) mdb_txn_abort(read_txn_);
  read_txn_ = nullptr;
  read_active_ = false;
  kept_ = false;
}

int FileEnv::TakeReadCursor(MDB_dbi dbi, MDB_cursor** cursor) {
  if (dbi >= read_cursors_.size()) {
    read_cursors_.resize(dbi + 1, nullptr);
    cursor_renewed_.resize(dbi + 1, false);
  }
  MDB_cursor*& c = read_cursors_[dbi];
  int rc = 0;
  if (!c) {
    rc = mdb_cursor_open(read_txn_, dbi, &c);
    if (rc != 0) c = nullptr;
  } else if (!cursor_renewed_[dbi]) {
    rc = mdb_cursor_renew(read_txn_, c);
  }
  if (rc != 0) return rc;
  cursor_renewed_[dbi] = true;
  *cursor = c;
  return 0;
}

Status FileEnv::GrowMap(size_t extra) {
  // The checkpoint's snapshot must end too: the log is emptied first.
  if (log_active_) {
    Status status = Checkpoint();
    if (status != Status::kOk) return status;
  }
  MDB_envinfo info;
  MDB_stat st;
  mdb_env_info(env_, &info);
  mdb_env_stat(env_, &st);
  size_t used = (info.me_last_pgno + 1) * st.ms_psize;
  size_t want = info.me_mapsize + std::min(info.me_mapsize, kMaxMapStep);
  want = std::max(want, used + extra + (size_t{16} << 20));
  // No snapshot may be live while the map moves: end the cached one for good.
  for (MDB_cursor*& c : read_cursors_) {
    if (c) mdb_cursor_close(c);
    c = nullptr;
  }
  if (read_txn_) {
    mdb_txn_abort(read_txn_);
    read_txn_ = nullptr;
  }
  read_active_ = false;
  kept_ = false;
  int rc = mdb_env_set_mapsize(env_, want);
  return rc == 0 ? Status::kOk : Status::kDiskFull;
}

Status FileEnv::BeginWrite(MDB_txn** txn) {
  if (Failed()) return Status::kIoError;
  MDB_envinfo info;
  MDB_stat st;
  mdb_env_info(env_, &info);
  mdb_env_stat(env_, &st);
  size_t used = (info.me_last_pgno + 1) * st.ms_psize;
  // Grow before it is full: a transaction that meets a full map must start over.
  if (used > info.me_mapsize / 4 * 3) {
    Status status = GrowMap(0);
    if (status != Status::kOk) return status;
  }
  int rc = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    rc = mdb_txn_begin(env_, nullptr, 0, txn);
    if (rc != MDB_MAP_RESIZED) break;
    DropSnapshot();  // the map may only move with no snapshot live
    if (log_active_) {
      Status status = Checkpoint();
      if (status != Status::kOk) return status;
    }
    mdb_env_set_mapsize(env_, 0);
  }
  return rc == 0 ? Status::kOk : LmdbStatus(rc);
}

void FileEnv::ForgetWriteCursors() {
  std::fill(write_cursors_.begin(), write_cursors_.end(), nullptr);
  write_txn_ = nullptr;
}

int FileEnv::WriteCursor(MDB_txn* txn, MDB_dbi dbi, MDB_cursor** cursor) {
  if (txn != write_txn_) {
    ForgetWriteCursors();
    write_txn_ = txn;
  }
  if (dbi >= write_cursors_.size()) write_cursors_.resize(dbi + 1, nullptr);
  MDB_cursor*& c = write_cursors_[dbi];
  if (!c) {
    int rc = mdb_cursor_open(txn, dbi, &c);
    if (rc != 0) {
      c = nullptr;
      return rc;
    }
  }
  *cursor = c;
  return 0;
}

void FileEnv::AbortWrite(MDB_txn* txn) {
  if (txn == write_txn_) ForgetWriteCursors();
  mdb_txn_abort(txn);
}

Status FileEnv::CommitWrite(MDB_txn* txn, bool accelerated, bool* retry,
                            const std::string* changes) {
  *retry = false;
  if (txn == write_txn_) ForgetWriteCursors();  // the commit frees them, whatever its outcome
  if (Failed()) {
    mdb_txn_abort(txn);
    return Status::kIoError;
  }
  if (changes && !accelerated && !read_only_storage_ && sync_) {
    return CommitLogged(txn, *changes, retry);
  }
  // Any other commit comes after a checkpoint: a log replays onto its checkpoint alone.
  Status status = read_only_storage_ || replaying_ ? Status::kOk : Checkpoint();
  if (status != Status::kOk) {
    mdb_txn_abort(txn);
    return status;
  }
  // Accelerated: the data pages are synced, the meta page that makes them the newest state
  // is not. A machine crash may then lose the last commits, but the meta page on disk only
  // ever names pages that are on disk: the file is never damaged.
  mdb_env_set_flags(env_, MDB_NOMETASYNC, accelerated ? 1 : 0);
  // A replay of the log commits its entries unsynced: one sync at its end puts them all on
  // disk before the log is spoilt, and a crash before then starts over from the checkpoint.
  if (replaying_) mdb_env_set_flags(env_, MDB_NOSYNC, 1);
  int rc = Fs().TxnCommit(txn);
  if (replaying_) mdb_env_set_flags(env_, MDB_NOSYNC, 0);
  if (rc == MDB_MAP_FULL) {
    Status status = GrowMap(size_t{16} << 20);
    if (status != Status::kOk) return status;
    *retry = true;
    return Status::kOk;
  }
  if (rc == 0 && accelerated) unsynced_ = true;
  if (IsWriteFailure(rc)) failed_ = true;
  return rc == 0 ? Status::kOk : LmdbStatus(rc);
}

Status FileEnv::OpenEnv(bool want_write) {
  // LMDB makes its lock file with the mode it is given and follows a link to it: made here
  // first, as private as the record file and never through a link. Where it cannot be made
  // (read-only storage), LMDB has the last word, as ever.
  int lock_fd = OpenCompanion(path_, path_ + "-lock", O_RDWR, true);
  if (lock_fd >= 0) {
    Fs().Close(lock_fd);
  } else if (errno == ELOOP) {
    return Status::kIoError;
  }
  int rc = 0;
  for (bool read_only : {false, true}) {
    if (env_) mdb_env_close(env_);
    env_ = nullptr;
    rc = mdb_env_create(&env_);
    if (rc != 0) {
      env_ = nullptr;
      return Status::kIoError;
    }
    mdb_env_set_maxdbs(env_, kMaxDbs);
    rc = Fs().EnvOpen(env_, path_.c_str(), MDB_NOSUBDIR | MDB_NOTLS | (read_only ? MDB_RDONLY : 0),
                      0600);
    if (rc == 0) {
      read_only_storage_ = read_only;
      break;
    }
    if (rc != EACCES && rc != EROFS && rc != EPERM) break;
    if (want_write) return Status::kAccessDenied;
  }
  if (rc != 0) {
    if (rc == MDB_INVALID || rc == MDB_VERSION_MISMATCH || rc == MDB_INCOMPATIBLE) {
      return Status::kNotAFile;
    }
    return LmdbStatus(rc);
  }
  int dead = 0;
  mdb_reader_check(env_, &dead);  // readers of killed processes
  MDB_envinfo info;
  mdb_env_info(env_, &info);
  if (!read_only_storage_ && info.me_mapsize < kInitialMapSize) {
    mdb_env_set_mapsize(env_, kInitialMapSize);
  }
  LmdbTxn txn;
  rc = txn.Begin(env_, MDB_RDONLY);
  if (rc != 0) return LmdbStatus(rc);
  Status status = LoadDescription(txn.get());
  if (status != Status::kOk) return status;
  rc = txn.Commit();  // keeps the database handles
  if (rc != 0) return LmdbStatus(rc);
  size_t max = static_cast<size_t>(mdb_env_get_maxkeysize(env_));
  for (const KeyDef& key : spec_.keys) {
    if (key.encoded_length() + 4 > max) return Status::kNotAFile;
  }
  return Status::kOk;
}

Status FileEnv::LoadDescription(MDB_txn* txn) {
  has_owner_ = false;
  int rc = mdb_dbi_open(txn, kMetaDb, 0, &meta_);
  if (rc == 0) rc = mdb_dbi_open(txn, kRecordsDb, 0, &records_);
  if (rc == MDB_NOTFOUND || rc == MDB_INCOMPATIBLE) return Status::kNotAFile;
  if (rc != 0) return LmdbStatus(rc);
  MDB_val k{std::strlen(kMetaFormat), const_cast<char*>(kMetaFormat)}, v;
  rc = mdb_get(txn, meta_, &k, &v);
  if (rc != 0) return rc == MDB_NOTFOUND ? Status::kNotAFile : LmdbStatus(rc);
  if (View(v) == kFormatTag) {
    checksummed_ = true;
  } else if (View(v) == kFormatTagV1) {
    checksummed_ = false;
  } else {
    return Status::kNotAFile;
  }
  k = MDB_val{std::strlen(kMetaSpec), const_cast<char*>(kMetaSpec)};
  rc = mdb_get(txn, meta_, &k, &v);
  if (rc != 0) return rc == MDB_NOTFOUND ? Status::kNotAFile : LmdbStatus(rc);
  std::string reason;
  if (!DecodeFileSpec(static_cast<const uint8_t*>(v.mv_data), v.mv_size, &spec_, &reason)) {
    return Status::kNotAFile;
  }
  k = MDB_val{std::strlen(kMetaOwner), const_cast<char*>(kMetaOwner)};
  rc = mdb_get(txn, meta_, &k, &v);
  if (rc == 0) {
    if (!DecodeOwner(static_cast<const uint8_t*>(v.mv_data), v.mv_size, &owner_, &reason)) {
      return Status::kIoError;  // a damaged owner record: nothing can be checked against it
    }
    has_owner_ = true;
  } else if (rc != MDB_NOTFOUND) {
    return LmdbStatus(rc);
  }
  keys_.resize(spec_.keys.size());
  for (size_t i = 0; i < keys_.size(); ++i) {
    rc = mdb_dbi_open(txn, KeyDbName(i).c_str(), 0, &keys_[i]);
    if (rc != 0) return rc == MDB_NOTFOUND ? Status::kNotAFile : LmdbStatus(rc);
  }
  return Status::kOk;
}

// ---- WriteTransaction ----

WriteTransaction& WriteTransaction::operator=(WriteTransaction&& other) noexcept {
  if (this != &other) {
    Abort();
    file_ = other.file_;
    txn_ = std::exchange(other.txn_, nullptr);
  }
  return *this;
}

Status WriteTransaction::Begin(FileEnv* file) {
  Abort();
  file_ = file;
  MDB_txn* txn = nullptr;
  Status status = file->BeginWrite(&txn);
  if (status == Status::kOk) txn_ = txn;
  return status;
}

Status WriteTransaction::Commit(bool accelerated, bool* retry, const std::string* changes) {
  *retry = false;
  MDB_txn* txn = std::exchange(txn_, nullptr);
  if (!txn) return Status::kTransactionError;
  return file_->CommitWrite(txn, accelerated, retry, changes);
}

void WriteTransaction::Abort() noexcept {
  if (MDB_txn* txn = std::exchange(txn_, nullptr)) file_->AbortWrite(txn);
}

}  // namespace mkde
