// The commit log beside a record file: a durable commit at one sync (of the log), its
// checkpoints, and the recovery of a log whose process died.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include <sodium.h>

#include "enginecore/coding.h"
#include "enginecore/include/wbtrv32.h"
#include "mkde/companion.h"
#include "mkde/file_env.h"
#include "mkde/file_env_internal.h"
#include "mkde/fs.h"
#include "mkde/linked_log.h"
#include "mkde/lmdb_util.h"
#include "mkde/log_sync.h"
#include "mkde/redo.h"

namespace mkde {

namespace {

// The commit log: its tag (02: entries hashed under the key of their log's header; 01 logs,
// unkeyed, are still recovered), and how far it grows before a checkpoint empties it.
constexpr char kLogTag[8] = {'v', 's', 't', 'l', 'o', 'g', '0', '2'};
constexpr char kLogTagUnkeyed[8] = {'v', 's', 't', 'l', 'o', 'g', '0', '1'};
constexpr uint64_t kLogLimitBytes = uint64_t{8} << 20;
constexpr uint64_t kLogLimitCommits = 4096;
// Pages the log's commits free stay out of use until its checkpoint lets go of the
// checkpoint's snapshot. A checkpoint comes once they pass an eighth of the pages in use, or
// this many, whichever is more: the file then holds about a seventh more pages than its
// records need, while a small file checkpoints every few dozen commits rather than every few.
// (Each checkpoint costs two syncs; the data pages it syncs are the same however often.)
constexpr uint64_t kFreedShare = 8;
constexpr uint64_t kFreedFloor = 256;
constexpr size_t kLogHash = 16;
constexpr size_t kLogKey = 16;
// The log grows by this much of zeros at a time: a sync of bytes written over the file's
// own blocks needs no change of its size or blocks, which costs a sync about twice as much.
constexpr uint64_t kLogGrowth = uint64_t{256} << 10;

std::string LogHash(std::string_view bytes, std::string_view key = {}) {
  std::string h(kLogHash, '\0');
  crypto_generichash(reinterpret_cast<unsigned char*>(h.data()), kLogHash,
                     reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                     reinterpret_cast<const unsigned char*>(key.data()), key.size());
  return h;
}

// False with errno set when the write failed (ENOSPC when the file system took no byte).
bool WriteAt(int fd, std::string_view bytes, uint64_t at) {
  return WriteAllAt(fd, bytes.data(), bytes.size(), static_cast<off_t>(at));
}

// An entry at `at` that is not committed: its length zeroed and the log synced, so that
// whatever of it reached the disk never checks as an entry, not even when a later entry
// written over it is cut short. The next entry goes in its place.
bool SpoilEntry(int fd, uint64_t at) {
  return WriteAt(fd, std::string(4, '\0'), at) && Fs().Fdatasync(fd) == 0;
}

// The pages commit `id` freed: the count at the head of LMDB's free-list record for it (none
// when it freed nothing). 0 when it cannot be read: the other limits still bound the log.
uint64_t PagesFreedBy(MDB_env* env, uint64_t id) {
  LmdbTxn reader;
  if (reader.Begin(env, MDB_RDONLY) != 0) return 0;
  MDB_cursor* cursor = nullptr;
  if (mdb_cursor_open(reader.get(), 0, &cursor) != 0) return 0;
  size_t txn = static_cast<size_t>(id);
  MDB_val key{sizeof txn, &txn}, value;
  size_t count = 0;
  if (mdb_cursor_get(cursor, &key, &value, MDB_SET) == 0 && value.mv_size >= sizeof count) {
    std::memcpy(&count, value.mv_data, sizeof count);
  }
  mdb_cursor_close(cursor);
  return count;
}

bool ReadAll(int fd, std::string* out) {
  struct stat st;
  if (Fs().Fstat(fd, &st) != 0) return false;
  out->resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < out->size()) {
    ssize_t n = Fs().Pread(fd, out->data() + done, out->size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

Status FileEnv::OpenLog(bool create) {
  if (log_fd_ >= 0) return Status::kOk;
  int fd = OpenCompanion(path_, log_path(), O_RDWR, create);
  if (fd < 0) return errno == ENOENT && !create ? Status::kFileNotFound : Status::kIoError;
  log_hold_ = std::make_shared<LogFd>(fd);
  log_fd_ = fd;
  log_size_ = 0;
  return Status::kOk;
}

bool FileEnv::Failed() const {
  return failed_ || (log_hold_ && log_hold_->failed.load()) ||
         (data_fd_ && data_fd_->failed.load());
}

void FileEnv::CloseLog() {
  if (log_hold_ && log_hold_->failed.load()) failed_ = true;
  log_hold_.reset();
  log_fd_ = -1;
  log_size_ = 0;
}

bool FileEnv::LogAtPath() const {
  struct stat mine, named;
  return log_fd_ >= 0 && Fs().Fstat(log_fd_, &mine) == 0 &&
         Fs().Stat(log_path().c_str(), &named) == 0 && mine.st_dev == named.st_dev &&
         mine.st_ino == named.st_ino;
}

bool FileEnv::CheckpointHeld(uint64_t checkpoint) {
  if (log_reader_ && mdb_txn_id(log_reader_) <= checkpoint) return true;
  // Any reader, of any process, on the checkpoint or an older state keeps LMDB from reusing
  // the checkpoint's pages. One that is there now has been since the checkpoint: a reader
  // begun later sees a later state.
  struct Seen {
    uint64_t checkpoint;
    bool held = false;
  } seen{checkpoint};
  mdb_reader_list(
      env_,
      [](const char* line, void* ctx) -> int {
        auto* s = static_cast<Seen*>(ctx);
        int pid = 0;
        size_t thread = 0;
        unsigned long long txnid = 0;
        if (std::sscanf(line, "%d %zx %llu", &pid, &thread, &txnid) == 3 && txnid != 0 &&
            txnid <= s->checkpoint) {
          s->held = true;
        }
        return 0;
      },
      &seen);
  return seen.held;
}

Status FileEnv::StartLog(uint64_t last) {
  if (!sync_) return Status::kIoError;
  Status status = OpenLog(true);
  if (status != Status::kOk) return status;
  // The log at the path may be a new one since this process opened its own (the last
  // process to close the file removes it).
  if (!LogAtPath()) {
    CloseLog();
    status = OpenLog(true);
    if (status != Status::kOk) return status;
  }
  // The checkpoint: every commit so far is on disk, its meta page aside (the log keeps
  // that), and its snapshot is held, so that LMDB reuses none of its pages while the log
  // lasts: the file can always be put back to it.
  if (unsynced_) {
    if (Fs().EnvSync(env_, 1) != 0) {
      failed_ = true;
      return Status::kIoError;
    }
    unsynced_ = false;
  }
  DropLogReader();
  LmdbTxn reader;
  if (reader.Begin(env_, MDB_RDONLY) != 0) return Status::kIoError;
  const uint64_t checkpoint = mdb_txn_id(reader.get());
  if (checkpoint != last) return Status::kIoError;
  MDB_stat st;
  mdb_env_stat(env_, &st);
  std::string metas(size_t{2} * st.ms_psize, '\0');
  int dfd = Fs().Open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  bool read = dfd >= 0 &&
              Fs().Pread(dfd, metas.data(), metas.size(), 0) == static_cast<ssize_t>(metas.size());
  if (dfd >= 0) Fs().Close(dfd);
  // A new key for every log: an entry of an earlier log that its bytes still hold further
  // on never checks under this one.
  std::string key(kLogKey, '\0');
  randombytes_buf(key.data(), key.size());
  std::string header;
  if (kLogVersion == 3) {
    LogHeader h;
    h.checkpoint = checkpoint;
    h.page_size = st.ms_psize;
    h.metas = metas;
    h.key = key;
    header = EncodeLogHeader(h);
  } else {
    header.assign(kLogTag, sizeof kLogTag);
    PutFixed64(&header, checkpoint);
    PutFixed32(&header, st.ms_psize);
    PutFixed32(&header, 0);
    header += metas;
    header += key;
    header += LogHash(header);
  }
  // On disk before any commit that stands on it: LMDB commits ahead of the sync of their
  // entries, and whatever of them reaches the disk is undone through this header. Entries
  // follow it over what the file held before.
  if (!read) return Status::kIoError;
  if (!WriteAt(log_fd_, header, 0) || Fs().Fdatasync(log_fd_) != 0) {
    // Out of room: no log is begun, and LMDB's file holds every commit (the checkpoint before
    // this synced it). The header spoilt again, the next commit begins the log anew.
    const bool full = IsDiskFull(errno);
    if (!full || !EmptyLog()) failed_ = true;
    return full ? Status::kDiskFull : Status::kIoError;
  }
  LogShared& s = sync_->shared();
  sync_->ClearAllLinked();
  std::memcpy(s.key, key.data(), kLogKey);
  const uint64_t base = std::max(s.appended.load(), s.synced.load()) + 1;
  s.base.store(base);
  s.last_txn.store(checkpoint);
  s.appended.store(base + header.size());
  s.freed.store(0);
  s.checkpoint.store(checkpoint);
  log_reader_ = reader.release();  // ended by DropLogReader
  log_base_ = base;
  log_commits_ = s.commits.load();
  log_active_ = true;
  return Status::kOk;
}

Status FileEnv::JoinLog(uint64_t id) {
  LogShared& s = sync_->shared();
  // The log a commit joins: begun on the state the commit stands on, kept by a live reader of
  // its checkpoint, and the file named by the log's path. Anything else (no log, a log whose
  // last commit died before LMDB had it, a checkpoint whose reader's process is gone) is
  // checkpointed and the log begun again here.
  bool joins = s.checkpoint.load() != 0 && s.last_txn.load() == id - 1 &&
               s.appended.load() - s.base.load() < kLogLimitBytes &&
               CheckpointHeld(s.checkpoint.load());
  if (joins && log_base_ != s.base.load()) {
    if (OpenLog(true) != Status::kOk) joins = false;
    if (joins && !LogAtPath()) {
      CloseLog();
      joins = OpenLog(true) == Status::kOk && LogAtPath();
    }
    if (joins) {
      log_base_ = s.base.load();
      log_commits_ = s.commits.load();
    }
  }
  if (joins) return Status::kOk;
  Status status = Checkpoint();
  return status == Status::kOk ? StartLog(id - 1) : status;
}

Status FileEnv::MakeRoom(uint64_t at, size_t n) {
  // Past the file's end the log first grows by a run of zeros (an end of entries to a
  // replay), synced at once: the log's size and blocks are on disk before any entry lands in
  // them, so that an entry is on disk as soon as its bytes are and a flush of the disk's cache
  // has followed, whichever file's sync made it (AwaitTickets). The file only ever grows while
  // it is at the log's path (any process may grow it), so a size seen once still holds.
  if (at + n > log_size_) {
    struct stat st;
    if (Fs().Fstat(log_fd_, &st) != 0) return Status::kIoError;
    log_size_ = static_cast<uint64_t>(st.st_size);
  }
  if (at + n <= log_size_) return Status::kOk;
  const uint64_t from = log_size_;
  const std::string zeros(at + n - from + kLogGrowth, '\0');
  if (!WriteAt(log_fd_, zeros, from)) {
    // Out of room, the log is as sound as before: whatever zeros got written end a replay
    // just as the file's end does.
    const bool full = IsDiskFull(errno);
    if (!full) failed_ = true;
    return full ? Status::kDiskFull : Status::kIoError;
  }
  if (Fs().Fdatasync(log_fd_) != 0) {
    // As final as any failed sync: what of the zeros reached the disk is not known.
    const bool full = IsDiskFull(errno);
    failed_ = true;
    return full ? Status::kDiskFull : Status::kIoError;
  }
  log_size_ = from + zeros.size();
  return Status::kOk;
}

Status FileEnv::CommitLogged(MDB_txn* txn, const std::string& changes, bool* retry) {
  LogShared& s = sync_->shared();
  const uint64_t id = mdb_txn_id(txn);
  Status status = JoinLog(id);
  if (status != Status::kOk) {
    mdb_txn_abort(txn);
    return status;
  }
  // The entry: u32 length, u64 the transaction id this commit makes, the changes, a hash.
  std::string entry;
  const std::string_view key(reinterpret_cast<const char*>(s.key), kLogKey);
  if (kLogVersion == 3) {
    LogEntry plain;
    plain.id = id;
    plain.changes = changes;
    entry = EncodeLogEntry(plain, kLogVersion, key);
  } else {
    PutFixed32(&entry, static_cast<uint32_t>(8 + changes.size()));
    PutFixed64(&entry, id);
    entry += changes;
    entry += LogHash(entry, key);
  }
  const uint64_t base = s.base.load();
  const uint64_t at = s.appended.load() - base;
  status = MakeRoom(at, entry.size());
  if (status != Status::kOk) {
    mdb_txn_abort(txn);
    return status;
  }
  // Written behind whatever the last commit appended (a commit that failed or died left
  // nothing that counts beyond it), and committed to LMDB unsynced. The sync, shared with
  // the commits around it, comes after the gate is let go (LogSync::Await).
  if (!WriteAt(log_fd_, entry, at)) {
    // Out of room (a file system that allocates anew on every write): nothing is committed,
    // and once the part of the entry that got written is spoilt, the next commit writes over
    // it. Unless that fails too, the file goes on as soon as there is room.
    const bool full = IsDiskFull(errno);
    mdb_txn_abort(txn);
    if (!full || !SpoilEntry(log_fd_, at)) failed_ = true;
    return full ? Status::kDiskFull : Status::kIoError;
  }
  // The disk takes the entry while LMDB commits, which leaves the sync little more than the
  // flush of the disk's cache. While another committer's sync is under way, the next sync
  // takes this entry with the others in one write, and a write of its own would only cost
  // the disk and the processor more. A failure here costs only the head start: the sync
  // reports any fault of the write.
  if (s.syncing.load() == 0) {
    (void)Fs().StartWrite(log_fd_, static_cast<off_t>(at), static_cast<off_t>(entry.size()));
  }
  mdb_env_set_flags(env_, MDB_NOMETASYNC, 0);
  mdb_env_set_flags(env_, MDB_NOSYNC, 1);
  int rc = Fs().TxnCommit(txn);
  mdb_env_set_flags(env_, MDB_NOSYNC, 0);
  if (rc != 0) {
    if (IsWriteFailure(rc)) failed_ = true;
    // Not committed: neither may its entry stay, should a sync of another commit have
    // taken it to disk. A write or sync that fails here leaves that unknown: final.
    if (!SpoilEntry(log_fd_, at)) failed_ = true;
    if (rc == MDB_MAP_FULL) {
      Status status = GrowMap(size_t{16} << 20);
      if (status != Status::kOk) return status;
      *retry = true;
      return Status::kOk;
    }
    return LmdbStatus(rc);
  }
  const uint64_t end = base + at + entry.size();
  s.last_txn.store(id);
  s.appended.store(end);
  NoteTicket(LogTicket{sync_, log_hold_, end});
  if (CountCommit(id, at + entry.size())) {
    // The commit stands, in the log, whatever comes of this: a checkpoint whose write or
    // sync fails has marked the file failed (later writes answer 2), and one that could not
    // begin is tried again by a later commit or the last close.
    (void)RollLog(id);
  }
  return Status::kOk;
}

bool FileEnv::CountCommit(uint64_t id, uint64_t log_end) {
  LogShared& s = sync_->shared();
  const uint64_t commits = s.commits.fetch_add(1) + 1;
  // The limits count the commits and freed pages of every process: were each to count its
  // own, writers that commit side by side would reach them together, and the log would hold
  // as many times more.
  const uint64_t freed_now = PagesFreedBy(env_, id);
  const uint64_t freed = s.freed.fetch_add(freed_now) + freed_now;
  MDB_envinfo info;
  mdb_env_info(env_, &info);
  const uint64_t freed_limit =
      std::max<uint64_t>(kFreedFloor, (static_cast<uint64_t>(info.me_last_pgno) + 1) / kFreedShare);
  // A roll syncs the data file and the next log's header: left to the reaper, woken at half
  // the limits, which rolls the log between calls, its data file synced ahead without the
  // engine's lock (PresyncDue). At the limits (a reaper that fell behind, or one kept from the
  // gate by other processes' writers), the committer rolls it itself.
  if (!roll_due_ && (commits - log_commits_ >= kLogLimitCommits / 2 || freed > freed_limit / 2)) {
    roll_due_ = true;
    WakeReaper();
  }
  if (log_end > kLogLimitBytes || commits - log_commits_ >= kLogLimitCommits ||
      freed > freed_limit) {
    log_commits_ = commits;
    return true;
  }
  return false;
}

Status FileEnv::RollLog(uint64_t last) {
  if (Failed()) return Status::kIoError;
  // Every linked entry decided first: the sync below makes this file's part permanent.
  if (Status linked = sync_->AwaitLinked(*log_hold_, UINT64_MAX); linked != Status::kOk) {
    return linked;
  }
  // LMDB's file synced whole, the commits of every process that used the log among it: a
  // waiter's commit is on disk from here on, whichever header a crash leaves.
  if (Fs().EnvSync(env_, 1) != 0) {
    failed_ = true;
    return Status::kIoError;
  }
  unsynced_ = false;
  sync_->CoverAll();
  // The next log's header over this one's, synced: a crash before it is whole leaves this
  // log, whose replay from its checkpoint ends at `last` too, or no header that checks, with
  // LMDB's file synced at `last`. No commit comes between (the gate is held), so the old
  // checkpoint's pages are still whole until the new header stands.
  return StartLog(last);
}

Status FileEnv::Checkpoint() {
  // After a failed write or sync the log stays as it is: the next open recovers from it.
  if (Failed()) return Status::kIoError;
  if (log_fd_ < 0) {
    Status status = OpenLog(false);
    if (status == Status::kFileNotFound) {
      DropLogReader();
      return Status::kOk;  // none
    }
    if (status != Status::kOk) return status;
  }
  if (!LogAtPath()) {
    // Removed (and perhaps made again) by the last close of another process.
    CloseLog();
    Status status = OpenLog(false);
    if (status == Status::kFileNotFound) {
      DropLogReader();
      return Status::kOk;
    }
    if (status != Status::kOk) return status;
  }
  uint64_t checkpoint = 0;
  std::string metas, key;
  if (ReadLogHeader(&checkpoint, &metas, &key) == Status::kOk ||
      (sync_ && sync_->shared().checkpoint.load() != 0)) {
    // A part a killed writer left uncommitted after the log's end is finished or dropped
    // first: the log, which holds it, goes below.
    if (FinishLinked(false) != Status::kOk) return Status::kIoError;
    // Every linked entry decided first: the sync below makes this file's part permanent.
    if (sync_ && log_hold_) {
      Status linked = sync_->AwaitLinked(*log_hold_, UINT64_MAX);
      if (linked != Status::kOk) return linked;
    }
    // LMDB's file synced whole, the commits of every process that used the log among it;
    // only then may the log, and the checkpoint's snapshot, go.
    if (Fs().EnvSync(env_, 1) != 0 || !EmptyLog()) {
      failed_ = true;
      return Status::kIoError;
    }
    if (sync_) {
      sync_->shared().checkpoint.store(0);
      sync_->CoverAll();
    }
  }
  DropLogReader();
  unsynced_ = false;
  return Status::kOk;
}

Status FileEnv::SyncLog() {
  if (Failed()) return Status::kIoError;
  if (!sync_) return Status::kOk;
  LogShared& s = sync_->shared();
  const uint64_t end = s.appended.load();
  if (s.checkpoint.load() == 0 || s.synced.load() >= end) return Status::kOk;
  // The log another process began since this one looked: a checkpoint makes its commits
  // part of the file just as well.
  if (log_fd_ < 0 || log_base_ != s.base.load() || !LogAtPath()) return Checkpoint();
  return sync_->Await(*log_hold_, end);
}

void FileEnv::DropLogReader() {
  mdb_txn_abort(log_reader_);
  log_reader_ = nullptr;
  log_active_ = false;
  roll_due_ = presynced_ = false;
}

std::shared_ptr<LogFd> FileEnv::PresyncDue() {
  if (!roll_due_ || presynced_ || !env_ || Failed()) return nullptr;
  if (!data_fd_) {
    mdb_filehandle_t fd;
    if (mdb_env_get_fd(env_, &fd) != 0) return nullptr;
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) return nullptr;
    data_fd_ = std::make_shared<LogFd>(own);
  }
  presynced_ = true;
  return data_fd_;
}

bool FileEnv::EmptyLog() {
  // The header no longer checks: the log holds nothing, whatever bytes follow.
  return WriteAt(log_fd_, std::string(sizeof kLogTag, '\0'), 0) && Fs().Fdatasync(log_fd_) == 0;
}

Status FileEnv::ReadHeader(LogHeader* header, size_t* size) const {
  if (log_fd_ < 0) return Status::kIoError;
  std::string bytes(24, '\0');
  if (Fs().Pread(log_fd_, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
    return Status::kNotAFile;
  }
  const size_t limit = LogHeaderLimit(bytes);
  if (limit == 0) return Status::kNotAFile;
  bytes.resize(limit);
  const ssize_t n = Fs().Pread(log_fd_, bytes.data(), limit, 0);
  if (n < 0) return Status::kNotAFile;
  bytes.resize(static_cast<size_t>(n));
  const size_t whole = DecodeLogHeader(bytes, header);
  if (whole == 0) return Status::kNotAFile;
  *size = whole;
  return Status::kOk;
}

Status FileEnv::ReadLogHeader(uint64_t* checkpoint, std::string* metas, std::string* key,
                              size_t* size) const {
  LogHeader header;
  size_t whole = 0;
  Status status = ReadHeader(&header, &whole);
  if (status != Status::kOk) return status;
  *checkpoint = header.checkpoint;
  *metas = std::move(header.metas);
  *key = std::move(header.key);
  if (size) *size = whole;
  return Status::kOk;
}

Status FileEnv::RestoreFromLog(bool* replay) {
  *replay = false;
  uint64_t checkpoint = 0;
  std::string metas, key;
  if (ReadLogHeader(&checkpoint, &metas, &key) != Status::kOk) return Status::kOk;  // no log in use
  // Another process has the file open: the machine has kept running since, and LMDB's
  // file holds every commit of the log. Whoever commits next ends the log.
  if (!Alone()) return Status::kOk;
  // Every process that used this log is gone, perhaps with the machine. The file goes back
  // to the checkpoint, whose pages no commit since has reused, and the log's commits are
  // replayed on it.
  int dfd = Fs().Open(path_.c_str(), O_RDWR | O_CLOEXEC);
  if (dfd < 0) return Status::kIoError;
  bool ok = WriteAt(dfd, metas, 0) && Fs().Fdatasync(dfd) == 0;
  Fs().Close(dfd);
  if (!ok) return Status::kIoError;
  *replay = true;
  return Status::kOk;
}

Result FileEnv::ReplayLog() {
  LogHeader header;
  std::string bytes;
  size_t at = 0;
  if (ReadHeader(&header, &at) != Status::kOk || !ReadAll(log_fd_, &bytes)) {
    return Status::kIoError;
  }
  LmdbTxn reader;
  if (reader.Begin(env_, MDB_RDONLY) != 0) return Status::kIoError;
  Result status = mdb_txn_id(reader.get()) == header.checkpoint ? Status::kOk : Status::kIoError;
  // Every whole entry, each making the next transaction, up to the first that is not: a torn
  // last entry was never acknowledged.
  const std::vector<LogEntry> entries = WholeEntries(bytes, at, header);
  // Linked entries are replayed only when decided, as every other participant sees it; the
  // participants are settled first, while this log still stands.
  size_t decided = entries.size();
  if (status == Status::kOk) status = SettleLinked(this, header, entries, &decided);
  // Each entry in turn, as long as it makes the next transaction. The log stays whole until
  // every entry is in: a crash meanwhile starts over from the checkpoint, which `reader`
  // keeps intact on disk.
  replaying_ = true;
  for (size_t i = 0; i < decided && status == Status::kOk; ++i) {
    if (entries[i].id != LastTxnId(this) + 1) break;
    status = Replay(this, entries[i].changes);
    if (status == Status::kOk && LastTxnId(this) != entries[i].id) status = Status::kIoError;
  }
  replaying_ = false;
  if (status == Status::kOk && Fs().EnvSync(env_, 1) != 0) status = Status::kIoError;
  if (status == Status::kOk && !EmptyLog()) status = Status::kIoError;
  if (status == Status::kOk && sync_) {
    sync_->shared().checkpoint.store(0);
    sync_->CoverAll();
  }
  return status;
}

}  // namespace mkde
