// A transaction over several durable files committed through their logs: one linked entry in
// each participant's log, each file committed unsynced behind its entry, and the logs' syncs
// shared with every other committer of those files (linked_log.h).
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "enginecore/coding.h"
#include "enginecore/include/wbtrv32.h"
#include "mkde/change_log.h"
#include "mkde/file_env.h"
#include "mkde/file_env_internal.h"
#include "mkde/fs.h"
#include "mkde/handles.h"
#include "mkde/linked_log.h"
#include "mkde/lmdb_util.h"
#include "mkde/log_sync.h"

namespace mkde {

namespace {

// A transaction's identity: 16 bytes drawn at random once in a process (again in a child after
// a fork), the count of the process's transactions over several files added to the last 8, so
// that no commit waits for a call to the system's random source.
std::string NewIdentity() {
  static std::mutex mutex;
  static uint32_t drawn_by = 0;
  static unsigned char base[kLinkedIdSize];
  static uint64_t count = 0;
  std::lock_guard<std::mutex> hold(mutex);
  if (drawn_by != OwnPid()) {
    randombytes_buf(base, sizeof base);
    drawn_by = OwnPid();
  }
  unsigned char identity[kLinkedIdSize];
  std::memcpy(identity, base, sizeof identity);
  EncodeFixed64(identity + 8, DecodeFixed64(base + 8) + ++count);
  return std::string(reinterpret_cast<const char*>(identity), sizeof identity);
}

// Zeroes the length of an entry that is not committed and syncs the log: whatever of it
// reached the disk never checks as an entry.
bool Spoil(int fd, uint64_t at) {
  const char zeros[4] = {};
  return WriteAllAt(fd, zeros, sizeof zeros, static_cast<off_t>(at)) && Fs().Fdatasync(fd) == 0;
}

}  // namespace

Status FileEnv::WriteLinked(MDB_txn* txn, const LogEntry& linked, uint64_t* at, size_t* size,
                            int* mark) {
  if (Failed() || !sync_) return Status::kIoError;
  LogShared& s = sync_->shared();
  const uint64_t id = mdb_txn_id(txn);
  Status status = JoinLog(id);
  if (status != Status::kOk) return status;
  const std::string entry = EncodeLogEntry(
      linked, kLogVersion, std::string_view(reinterpret_cast<const char*>(s.key), sizeof s.key));
  const uint64_t offset = s.appended.load() - s.base.load();
  status = MakeRoom(offset, entry.size());
  if (status != Status::kOk) return status;
  s.linked_writer.store(OwnPid());
  if (!WriteAllAt(log_fd_, entry.data(), entry.size(), static_cast<off_t>(offset))) {
    const bool full = IsDiskFull(errno);
    if (!full || !Spoil(log_fd_, offset)) failed_ = true;
    if (!failed_) s.linked_writer.store(0);
    return full ? Status::kDiskFull : Status::kIoError;
  }
  if (s.syncing.load() == 0) {
    (void)Fs().StartWrite(log_fd_, static_cast<off_t>(offset), static_cast<off_t>(entry.size()));
  }
  // Marked undecided before any participant commits: a commit after it in this log answers,
  // and a checkpoint goes on, only once every participant's entry is on disk.
  const uint64_t base = s.base.load();
  *mark = sync_->MarkLinked(*log_hold_, base + offset, base + offset + entry.size());
  if (*mark < 0) {
    if (!Spoil(log_fd_, offset)) failed_ = true;
    if (!failed_) s.linked_writer.store(0);
    return Status::kIoError;
  }
  *at = offset;
  *size = entry.size();
  return Status::kOk;
}

void FileEnv::DropLinked(uint64_t at, size_t size, int mark) {
  if (log_fd_ < 0 || !Spoil(log_fd_, at)) failed_ = true;
  if (!failed_) sync_->shared().linked_writer.store(0);
  sync_->ClearLinked(mark, sync_->shared().base.load() + at + size);
}

Status FileEnv::CommitLinked(MDB_txn* txn, std::string_view changes, bool first, uint64_t at,
                             size_t size, int mark) {
  if (txn == write_txn_) ForgetWriteCursors();
  LogShared& s = sync_->shared();
  const uint64_t id = mdb_txn_id(txn);
  mdb_env_set_flags(env_, MDB_NOMETASYNC, 0);
  mdb_env_set_flags(env_, MDB_NOSYNC, 1);
  int rc = Fs().TxnCommit(txn);
  if (!first && (rc == ENOSPC || rc == EDQUOT || rc == MDB_MAP_FULL)) {
    // The participants before this one have committed their parts: the transaction stands.
    // Out of room, its part here is committed once more from the entry, in a transaction of
    // its own that makes the same id (LMDB kept nothing of the failed one); other room may
    // have come free meanwhile.
    MDB_txn* again = nullptr;
    if (mdb_txn_begin(env_, nullptr, 0, &again) == 0) {
      if (mdb_txn_id(again) == id && ApplyChanges(this, again, changes) == Status::kOk) {
        rc = Fs().TxnCommit(again);
      } else {
        mdb_txn_abort(again);
      }
    }
  }
  mdb_env_set_flags(env_, MDB_NOSYNC, 0);
  if (rc != 0) {
    // The first participant's failure leaves nothing committed: the caller drops every entry.
    // A later one's leaves the file marked failed, and its next open recovers its part from
    // the entry, which stays.
    if (!first || IsWriteFailure(rc)) failed_ = true;
    return rc == MDB_MAP_FULL ? Status::kDiskFull : LmdbStatus(rc);
  }
  const uint64_t end = s.base.load() + at + size;
  s.last_txn.store(id);
  s.appended.store(end);
  s.linked_writer.store(0);
  NoteTicket(LogTicket{sync_, log_hold_, end, mark});
  // Counted against the log's limits as a single commit is, or the log would never roll and
  // LMDB could not reuse a page freed since its checkpoint. Not rolled here at the limits:
  // a roll waits for every linked entry in the log to be decided, this one's too; the
  // reaper rolls it between calls.
  if (CountCommit(id, at + size)) {
    roll_due_ = true;
    WakeReaper();
  }
  return Status::kOk;
}

Result FileEnv::FinishLinked(bool may_open) {
  // Not within its own commit of the entry (a map grown meanwhile checkpoints first).
  if (!kLinkedCommits || !LinkedCommits() || Failed() || !env_ || replaying_) return Status::kOk;
  LogShared& s = sync_->shared();
  if (s.checkpoint.load() == 0) return Status::kOk;  // no log: nothing after its end
  // Nobody was between writing an entry and committing behind it: nothing to look for.
  if (s.linked_writer.load() == 0) return Status::kOk;
  // Whatever is found after the log's end is settled here (or the file marked failed).
  auto settled = [&s]() -> Result {
    s.linked_writer.store(0);
    return Status::kOk;
  };
  if (log_fd_ < 0 || log_base_ != s.base.load()) {
    if (OpenLog(true) != Status::kOk || !LogAtPath()) return Status::kIoError;
    log_base_ = s.base.load();
    log_commits_ = s.commits.load();
  }
  const uint64_t base = s.base.load(), last = s.last_txn.load();
  const uint64_t at = s.appended.load() - base;
  uint8_t head[4];
  if (Fs().Pread(log_fd_, head, sizeof head, static_cast<off_t>(at)) != 4) return settled();
  const uint64_t length = DecodeFixed32(head);
  if (length < 8 || length > kMaxLogRead) return settled();
  std::string bytes(4 + length + 16, '\0');
  if (Fs().Pread(log_fd_, bytes.data(), bytes.size(), static_cast<off_t>(at)) !=
      static_cast<ssize_t>(bytes.size())) {
    return settled();
  }
  LogEntry e;
  const std::string_view key(reinterpret_cast<const char*>(s.key), sizeof s.key);
  if (!DecodeLogEntry(bytes, 0, kLogVersion, key, &e) || !e.linked || e.id != last + 1) {
    return settled();
  }
  // The writer may also have died after this file's commit, before the log's place moved on.
  const uint64_t committed = LastTxnId(this);
  if (committed != last && committed != e.id) return settled();
  if (committed == last) {
    bool written = false;
    Result status = LinkedWritten(this, e, may_open, &written);
    if (status != Status::kOk) return status;
    if (!written) {
      // Killed before every entry was written: no participant committed it.
      if (!Spoil(log_fd_, at)) failed_ = true;
      return failed_ ? Result(Status::kIoError) : settled();
    }
    replaying_ = true;
    status = Replay(this, e.changes);
    replaying_ = false;
    if (status != Status::kOk) return status;
  }
  // Committed now, or by the writer before it died: the log's place moves past the entry.
  if (LastTxnId(this) != e.id) return Status::kIoError;
  s.last_txn.store(e.id);
  s.appended.store(base + at + e.end);
  s.commits.fetch_add(1);
  return settled();
}

Status CommitLinkedAcross(std::vector<FileWrite>& writes) {
  std::vector<FileWrite*> parts;
  for (FileWrite& w : writes) {
    if (w.changes.empty()) {
      w.txn.Abort();
    } else {
      parts.push_back(&w);
    }
  }
  auto abort_all = [&](Status status) {
    for (FileWrite* w : parts) w->txn.Abort();
    return status;
  };
  const std::string identity = NewIdentity();
  std::vector<LinkedPart> list;
  for (FileWrite* w : parts) list.push_back({w->file->abs_path(), mdb_txn_id(w->txn.get())});
  // Each file notes the transaction for every other one: what decides its entry there once
  // this file's log has been checkpointed.
  for (size_t i = 0; i < parts.size(); ++i) {
    FileWrite* w = parts[i];
    for (size_t j = 0; j < parts.size(); ++j) {
      if (j == i) continue;
      const std::string key = LinkedNoteKey(list[j].path);
      const std::string value = EncodeLinkedNote(list[j].after, identity);
      MDB_val k = Val(key), v = Val(value);
      const int rc = mdb_put(w->txn.get(), w->file->meta_db(), &k, &v, 0);
      if (rc != 0) return abort_all(rc == MDB_MAP_FULL ? Status::kDiskFull : LmdbStatus(rc));
      w->changes.Put(ChangeLog::kMetaDb, k, v);
    }
  }
  // Every entry written before any commit: a writer killed meanwhile leaves no file with the
  // transaction committed.
  std::vector<uint64_t> at(parts.size());
  std::vector<size_t> size(parts.size());
  std::vector<int> marks(parts.size(), -1);
  for (size_t i = 0; i < parts.size(); ++i) {
    LogEntry e;
    e.id = list[i].after;
    e.linked = true;
    e.identity = identity;
    e.parts = list;
    e.index = static_cast<uint32_t>(i);
    e.changes = parts[i]->changes.bytes();
    Status status =
        parts[i]->file->WriteLinked(parts[i]->txn.get(), e, &at[i], &size[i], &marks[i]);
    if (status != Status::kOk) {
      for (size_t k = 0; k < i; ++k) parts[k]->file->DropLinked(at[k], size[k], marks[k]);
      return abort_all(status);
    }
    if (i == 0) Fs().Reached("linked-entry-1");
  }
  Fs().Reached("linked-written");
  Status first = Status::kOk;
  for (size_t i = 0; i < parts.size(); ++i) {
    Status status = parts[i]->file->CommitLinked(parts[i]->txn.Release(), parts[i]->changes.bytes(),
                                                 i == 0, at[i], size[i], marks[i]);
    if (i == 0 && status != Status::kOk) {
      // Nothing committed anywhere: not decided.
      for (size_t k = 0; k < parts.size(); ++k) {
        parts[k]->file->DropLinked(at[k], size[k], marks[k]);
      }
      return abort_all(status);
    }
    if (first == Status::kOk) first = status;
    if (i == 0) Fs().Reached("linked-committed-1");
  }
  Fs().Reached("linked-committed");
  return first;
}

}  // namespace mkde
