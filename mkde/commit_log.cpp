// The commit log beside a record file: a durable commit at one sync (of the log), its
// checkpoints, and the recovery of a log whose process died.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include <sodium.h>

#include "mkde/coding.h"
#include "mkde/file_env.h"
#include "mkde/file_env_internal.h"
#include "mkde/include/wbtrv32.h"
#include "mkde/lmdb_util.h"

namespace mkde {

namespace {

// Byte 3: held by the process whose commit log is in use, from its start to its checkpoint.
// A log whose header checks while nobody holds it was left by a process that died.
constexpr off_t kLogByte = 3;

// The commit log: its tag, and how far it grows before a checkpoint empties it.
constexpr char kLogTag[8] = {'v', 's', 't', 'l', 'o', 'g', '0', '1'};
constexpr uint64_t kLogLimitBytes = uint64_t{8} << 20;
constexpr uint64_t kLogLimitCommits = 4096;
constexpr size_t kLogHash = 16;

std::string LogHash(std::string_view bytes) {
  std::string h(kLogHash, '\0');
  crypto_generichash(reinterpret_cast<unsigned char*>(h.data()), kLogHash,
                     reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), nullptr,
                     0);
  return h;
}

bool WriteAt(int fd, std::string_view bytes, uint64_t at) {
  while (!bytes.empty()) {
    ssize_t n = Fs().Pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
    at += static_cast<uint64_t>(n);
  }
  return true;
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

int FileEnv::StartLog() {
  if (log_fd_ < 0) {
    log_fd_ = Fs().Open(log_path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (log_fd_ < 0) return BTR_IO_ERROR;
  }
  if (!LogByte(F_WRLCK)) return BTR_FILE_IN_USE;
  // The checkpoint: everything committed so far is on disk (every commit but an
  // accelerated one was synced), and its snapshot is held, so that LMDB reuses none of its
  // pages while the log lasts: the file can always be put back to it.
  if (unsynced_) {
    if (Fs().EnvSync(env_, 1) != 0) {
      failed_ = true;
      LogByte(F_UNLCK);
      return BTR_IO_ERROR;
    }
    unsynced_ = false;
  }
  LmdbTxn reader;
  if (reader.Begin(env_, MDB_RDONLY) != 0) return BTR_IO_ERROR;
  MDB_stat st;
  mdb_env_stat(env_, &st);
  std::string metas(size_t{2} * st.ms_psize, '\0');
  int dfd = Fs().Open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  bool read = dfd >= 0 &&
              Fs().Pread(dfd, metas.data(), metas.size(), 0) == static_cast<ssize_t>(metas.size());
  if (dfd >= 0) Fs().Close(dfd);
  std::string header(kLogTag, sizeof kLogTag);
  PutFixed64(&header, mdb_txn_id(reader.get()));
  PutFixed32(&header, st.ms_psize);
  PutFixed32(&header, 0);
  header += metas;
  header += LogHash(header);
  if (!read) {
    LogByte(F_UNLCK);
    return BTR_IO_ERROR;
  }
  if (!WriteAt(log_fd_, header, 0) ||
      Fs().Ftruncate(log_fd_, static_cast<off_t>(header.size())) != 0) {
    failed_ = true;
    LogByte(F_UNLCK);
    return BTR_IO_ERROR;
  }
  log_reader_ = reader.release();  // ended by EndLog
  log_active_ = true;
  log_end_ = header.size();
  log_commits_ = log_commits_seen_ = 0;
  return BTR_OK;
}

int FileEnv::CommitLogged(MDB_txn* txn, const std::string& changes, bool* retry) {
  // The entry: u32 length, u64 the transaction id this commit makes, the changes, a hash.
  std::string entry;
  PutFixed32(&entry, static_cast<uint32_t>(8 + changes.size()));
  PutFixed64(&entry, mdb_txn_id(txn));
  entry += changes;
  entry += LogHash(entry);
  const uint64_t at = log_end_;
  // On disk before LMDB has the commit: the one sync a durable commit costs.
  if (!WriteAt(log_fd_, entry, at) || Fs().Fdatasync(log_fd_) != 0) {
    failed_ = true;
    mdb_txn_abort(txn);
    if (Fs().Ftruncate(log_fd_, static_cast<off_t>(at)) == 0) Fs().Fdatasync(log_fd_);
    return BTR_IO_ERROR;
  }
  log_end_ = at + entry.size();
  mdb_env_set_flags(env_, MDB_NOMETASYNC, 0);
  mdb_env_set_flags(env_, MDB_NOSYNC, 1);
  int rc = Fs().TxnCommit(txn);
  mdb_env_set_flags(env_, MDB_NOSYNC, 0);
  if (rc != 0) {
    if (IsWriteFailure(rc)) failed_ = true;
    // Not committed: neither may its entry stay.
    if (Fs().Ftruncate(log_fd_, static_cast<off_t>(at)) == 0) Fs().Fdatasync(log_fd_);
    log_end_ = at;
    if (rc == MDB_MAP_FULL) {
      int status = GrowMap(size_t{16} << 20);
      if (status != BTR_OK) return status;
      *retry = true;
      return BTR_OK;
    }
    return LmdbStatus(rc);
  }
  ++log_commits_;
  if (log_end_ > kLogLimitBytes || log_commits_ >= kLogLimitCommits) Checkpoint();
  return BTR_OK;
}

int FileEnv::Checkpoint() {
  if (!log_active_) return BTR_OK;
  // After a failed write the log stays as it is: the next open recovers from it.
  if (failed_) return BTR_IO_ERROR;
  // LMDB's file synced whole; only then may the log, and the checkpoint's snapshot, go.
  if (Fs().EnvSync(env_, 1) != 0 || Fs().Ftruncate(log_fd_, 0) != 0 ||
      Fs().Fdatasync(log_fd_) != 0) {
    failed_ = true;
    return BTR_IO_ERROR;
  }
  EndLog();
  unsynced_ = false;
  return BTR_OK;
}

void FileEnv::EndLog() {
  mdb_txn_abort(log_reader_);
  log_reader_ = nullptr;
  log_active_ = false;
  log_end_ = 0;
  LogByte(F_UNLCK);
}

bool FileEnv::LogByte(short type) const {
  if (gate_fd_ < 0) return false;
  struct flock fl = GateByte(type, kLogByte);
  return ::fcntl(gate_fd_, F_OFD_SETLK, &fl) == 0;
}

bool FileEnv::LogOwnerAlive() const {
  if (gate_fd_ < 0) return true;
  struct flock fl = GateByte(F_WRLCK, kLogByte);
  return ::fcntl(gate_fd_, F_OFD_GETLK, &fl) != 0 || fl.l_type != F_UNLCK;
}

int FileEnv::EndOthersLog() {
  if (log_fd_ < 0) {
    log_fd_ = Fs().Open(log_path().c_str(), O_RDWR | O_CLOEXEC);
    if (log_fd_ < 0) return BTR_OK;  // none
  }
  struct stat st;
  if (Fs().Fstat(log_fd_, &st) != 0) return BTR_IO_ERROR;
  if (st.st_size == 0) return BTR_OK;
  // Another process's commits since its checkpoint: synced into the file, so that a later
  // commit here never stands on commits only that log holds. Its next commit finds its
  // log ended.
  if (Fs().EnvSync(env_, 1) != 0 || Fs().Ftruncate(log_fd_, 0) != 0 ||
      Fs().Fdatasync(log_fd_) != 0) {
    failed_ = true;
    return BTR_IO_ERROR;
  }
  return BTR_OK;
}

int FileEnv::ReadLogHeader(uint64_t* checkpoint, std::string* metas) const {
  std::string bytes;
  if (log_fd_ < 0 || !ReadAll(log_fd_, &bytes)) return BTR_IO_ERROR;
  if (bytes.size() < 24 + kLogHash || std::memcmp(bytes.data(), kLogTag, sizeof kLogTag) != 0) {
    return BTR_NOT_A_FILE;
  }
  const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data());
  uint64_t psize = DecodeFixed32(p + 16);
  size_t size = 24 + 2 * psize + kLogHash;
  if (psize == 0 || psize > (1u << 20) || bytes.size() < size ||
      LogHash(std::string_view(bytes).substr(0, size - kLogHash)) !=
          std::string_view(bytes).substr(size - kLogHash, kLogHash)) {
    return BTR_NOT_A_FILE;
  }
  *checkpoint = DecodeFixed64(p + 8);
  metas->assign(bytes, 24, 2 * psize);
  return BTR_OK;
}

int FileEnv::RestoreFromLog(bool* replay) {
  *replay = false;
  uint64_t checkpoint = 0;
  std::string metas;
  if (ReadLogHeader(&checkpoint, &metas) != BTR_OK) return BTR_OK;  // no log in use
  if (LogOwnerAlive()) return BTR_OK;  // in use; its first commit here ends it
  // The process that kept this log died, with the machine perhaps. The
  // file goes back to the checkpoint, whose pages no commit since has reused, and the log's
  // commits are replayed on it.
  int dfd = Fs().Open(path_.c_str(), O_RDWR | O_CLOEXEC);
  if (dfd < 0) return BTR_IO_ERROR;
  bool ok = WriteAt(dfd, metas, 0) && Fs().Fdatasync(dfd) == 0;
  Fs().Close(dfd);
  if (!ok) return BTR_IO_ERROR;
  *replay = true;
  return BTR_OK;
}

int FileEnv::ReplayLog() {
  uint64_t checkpoint = 0;
  std::string metas, bytes;
  if (ReadLogHeader(&checkpoint, &metas) != BTR_OK || !ReadAll(log_fd_, &bytes)) {
    return BTR_IO_ERROR;
  }
  LmdbTxn reader;
  if (reader.Begin(env_, MDB_RDONLY) != 0) return BTR_IO_ERROR;
  int status = mdb_txn_id(reader.get()) == checkpoint ? BTR_OK : BTR_IO_ERROR;
  // Each whole entry in turn, as long as it makes the next transaction: a torn last entry
  // was never acknowledged.
  size_t at = 24 + metas.size() + kLogHash;
  while (status == BTR_OK && at + 4 <= bytes.size()) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data()) + at;
    uint64_t length = DecodeFixed32(p);
    if (length < 8 || at + 4 + length + kLogHash > bytes.size()) break;
    std::string_view whole(bytes.data() + at, 4 + length);
    if (LogHash(whole) != std::string_view(bytes).substr(at + 4 + length, kLogHash)) break;
    uint64_t id = DecodeFixed64(p + 4);
    uint64_t last = LastTxnId(this);
    if (id != last + 1) break;
    status = Replay(this, whole.substr(12));
    if (status == BTR_OK && LastTxnId(this) != id) status = BTR_IO_ERROR;
    at += 4 + length + kLogHash;
  }
  if (status == BTR_OK && Fs().EnvSync(env_, 1) != 0) status = BTR_IO_ERROR;
  if (status == BTR_OK && (Fs().Ftruncate(log_fd_, 0) != 0 || Fs().Fdatasync(log_fd_) != 0)) {
    status = BTR_IO_ERROR;
  }
  return status;
}

}  // namespace mkde
