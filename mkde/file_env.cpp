#include "mkde/file_env.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <sodium.h>

#include "mkde/handles.h"
#include "mkde/include/wbtrv32.h"
#include "mkde/lmdb_util.h"

namespace mkde {

namespace {

constexpr size_t kInitialMapSize = size_t{64} << 20;
constexpr size_t kMaxMapStep = size_t{1} << 30;
constexpr unsigned kMaxDbs = 2 + kMaxKeys + 4;
// How long a write waits for another process's gate. Writes outside transactions hold it
// for one commit, so a wait this long only ends in 85 when something holds it for good.
// Bytes of the gate file: 0 the write gate, 1 held shared by every process that has the
// file open and exclusively by an exclusive open.
constexpr off_t kOpenByte = 1;
// Byte 3: held by the process whose commit log is in use, from its start to its checkpoint.
// A log whose header checks while nobody holds it was left by a process that died.
constexpr off_t kLogByte = 3;
// A copy's transform leaves the entry out.
constexpr int kStatusSkip = -3;
// A short wait inside the call, for the common case of another process's single write;
// longer waits happen with the engine's lock let go (see Engine::Dispatch).
constexpr auto kGateSpin = std::chrono::milliseconds(2);

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
    ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
    at += static_cast<uint64_t>(n);
  }
  return true;
}

bool ReadAll(int fd, std::string* out) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  out->resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < out->size()) {
    ssize_t n = ::pread(fd, out->data() + done, out->size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The client under which the engine itself holds a gate for a checkpoint or a log replay.
Client& LogClient() {
  static Client client;
  return client;
}

// LMDB's meta page: after the 16-byte page header of a 64-bit build, the magic and the
// format version. Checked before LMDB sees a file, so that opening a foreign file never
// turns it into a database.
constexpr uint32_t kLmdbMagic = 0xBEEFC0DE;
constexpr size_t kLmdbMagicOffset = 16;

void PutU32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}
void PutU64(std::string* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}
uint64_t GetLE(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

std::string KeyDbName(size_t key) { return "key" + std::to_string(key); }

bool HasLmdbHeader(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  uint8_t head[kLmdbMagicOffset + 8];
  ssize_t n = ::pread(fd, head, sizeof head, 0);
  ::close(fd);
  return n == static_cast<ssize_t>(sizeof head) &&
         GetLE(head + kLmdbMagicOffset, 4) == kLmdbMagic &&
         GetLE(head + kLmdbMagicOffset + 4, 4) == 1;
}

// statfs of the path (or of its folder when it does not exist yet); answers 94 for a
// network file system, with the reason.
int CheckFileSystem(const std::string& path, std::string* reason) {
  struct statfs fs;
  if (::statfs(path.c_str(), &fs) != 0) {
    if (::statfs(FolderOf(path).c_str(), &fs) != 0) return BTR_OK;  // the open or create reports it
  }
  const char* name = nullptr;
  if (IsNetworkFileSystem(static_cast<long>(fs.f_type), &name)) {
    if (reason) {
      *reason = std::string("record files cannot be kept on a network file system (") + name +
                "): its locks do not reach other machines";
    }
    return BTR_PERMISSION;
  }
  return BTR_OK;
}

}  // namespace

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return BTR_IO_ERROR;
  int rc = ::fsync(fd);
  ::close(fd);
  return rc == 0 ? BTR_OK : BTR_IO_ERROR;
}

bool IsNetworkFileSystem(long magic, const char** name) {
  struct Known {
    unsigned long magic;
    const char* name;
  };
  static constexpr Known kKnown[] = {
      {0x6969, "nfs"},      {0x517B, "smb"},      {0xFF534D42, "cifs"},   {0xFE534D42, "smb2"},
      {0x564C, "ncp"},      {0x5346414F, "afs"},  {0x73757245, "coda"},   {0x01021997, "9p"},
      {0x00C36400, "ceph"}, {0x47504653, "gpfs"}, {0x0BD00BD0, "lustre"}, {0x65735546, "fuse"},
  };
  for (const Known& k : kKnown) {
    if (static_cast<unsigned long>(magic) == k.magic) {
      if (name) *name = k.name;
      return true;
    }
  }
  return false;
}

// ---- Counters ----

std::string Counters::Encode() const {
  std::string out;
  PutU32(&out, next_position);
  PutU32(&out, static_cast<uint32_t>(unique_values.size()));
  for (size_t i = 0; i < unique_values.size(); ++i) {
    PutU32(&out, unique_values[i]);
    PutU64(&out, static_cast<uint64_t>(autoincrement_high[i]));
  }
  return out;
}

bool Counters::Decode(const void* data, size_t length, size_t keys) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (length < 8) return false;
  uint32_t n = static_cast<uint32_t>(GetLE(p + 4, 4));
  if (n != keys || length != 8 + size_t{12} * n) return false;
  next_position = static_cast<uint32_t>(GetLE(p, 4));
  unique_values.assign(n, 0);
  autoincrement_high.assign(n, 0);
  for (size_t i = 0; i < n; ++i) {
    unique_values[i] = static_cast<uint32_t>(GetLE(p + 8 + 12 * i, 4));
    autoincrement_high[i] = static_cast<int64_t>(GetLE(p + 12 + 12 * i, 8));
  }
  return true;
}

// ---- FileEnv ----

FileEnv::~FileEnv() {
  for (MDB_cursor* c : read_cursors_) {
    if (c) mdb_cursor_close(c);
  }
  if (read_txn_) mdb_txn_abort(read_txn_);
  if (log_reader_) mdb_txn_abort(log_reader_);
  if (log_fd_ >= 0) ::close(log_fd_);
  if (env_) mdb_env_close(env_);
  if (gate_fd_ >= 0) ::close(gate_fd_);  // drops every lock of this descriptor
}

int FileEnv::BeginRead(MDB_txn** txn) {
  if (read_txn_ && kept_) {
    // The snapshot of the last call is still the newest commit: nothing to take up, and
    // the cursors stand where that call left them.
    MDB_envinfo info;
    mdb_env_info(env_, &info);
    if (mdb_txn_id(read_txn_) == info.me_last_txnid) {
      read_active_ = true;
      *txn = read_txn_;
      return 0;
    }
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
  read_active_ = true;
  cursor_renewed_.assign(read_cursors_.size(), false);
  *txn = read_txn_;
  return 0;
}

void FileEnv::EndRead() {
  // Kept for the next call while it stays the newest; ReleaseIdle lets it go soon after the
  // calls stop, so that an idle process never holds back the reuse of freed pages.
  if (read_active_) {
    kept_ = true;
    ++reads_;
  }
  read_active_ = false;
}

void FileEnv::ReleaseIdle() {
  // Counting calls rather than reading a clock keeps the clock out of every read.
  if (kept_ && !read_active_ && reads_ == reads_seen_) {
    mdb_txn_reset(read_txn_);
    kept_ = false;
  }
  reads_seen_ = reads_;
  // A log no commit used since the last look: checkpointed, so that the file on disk is
  // whole again and the checkpoint's snapshot is let go.
  if (log_active_ && log_commits_ == log_commits_seen_ && gate_owner_ == nullptr &&
      TakeGate(&LogClient()) == BTR_OK) {
    Checkpoint();
    ReleaseGate(&LogClient());
  }
  log_commits_seen_ = log_commits_;
}

void FileEnv::DropSnapshot() {
  for (MDB_cursor*& c : read_cursors_) {
    if (c) mdb_cursor_close(c);
    c = nullptr;
  }
  if (read_txn_) mdb_txn_abort(read_txn_);
  read_txn_ = nullptr;
  read_active_ = false;
  kept_ = false;
}

int FileEnv::ReadCursor(MDB_dbi dbi, MDB_cursor** cursor) {
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

int FileEnv::AcquireGate(Client* client) {
  for (int round = 0;; ++round) {
    int status = TakeGate(client);
    if (status != BTR_OK || gate_depth_ > 1 || !RedoPending(*this)) return status;
    // A transaction over several files that a crash interrupted: finished (or dropped)
    // before this write, which would otherwise build on a file missing its part.
    ReleaseGate(client);
    if (round > 0) return BTR_IO_ERROR;  // a redo file that will not go away
    status = RecoverPending(this);
    if (status != BTR_OK) return status;
  }
}

int FileEnv::TakeGate(Client* client) {
  if (gate_owner_ == client) {
    ++gate_depth_;
    return BTR_OK;
  }
  if (gate_owner_ != nullptr) return BTR_FILE_IN_USE;
  if (gate_fd_ < 0) return BTR_ACCESS_DENIED;
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 1;
  auto deadline = std::chrono::steady_clock::now() + kGateSpin;
  auto pause = std::chrono::microseconds(20);
  while (::fcntl(gate_fd_, F_OFD_SETLK, &fl) != 0) {
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) return BTR_IO_ERROR;
    if (std::chrono::steady_clock::now() >= deadline) {
      NoteWait(GateResource());
      return kStatusGateBusy;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(500));
  }
  gate_owner_ = client;
  gate_depth_ = 1;
  return BTR_OK;
}

void FileEnv::ReleaseGate(Client* client) {
  if (gate_owner_ != client || --gate_depth_ > 0) return;
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_UNLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 1;
  ::fcntl(gate_fd_, F_OFD_SETLK, &fl);
  gate_owner_ = nullptr;
  gate_depth_ = 0;
  Waits::Get().Released();
}

int FileEnv::HoldOpen(bool exclusive) {
  if (gate_fd_ < 0) return BTR_OK;
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = exclusive ? F_WRLCK : F_RDLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kOpenByte;
  fl.l_len = 1;
  if (::fcntl(gate_fd_, F_OFD_SETLK, &fl) == 0) return BTR_OK;
  return errno == EAGAIN || errno == EACCES ? BTR_INCOMPATIBLE_MODE : BTR_IO_ERROR;
}

int FileEnv::GrowMap(size_t extra) {
  // The checkpoint's snapshot must end too: the log is emptied first.
  if (log_active_) {
    int status = Checkpoint();
    if (status != BTR_OK) return status;
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
  return rc == 0 ? BTR_OK : BTR_DISK_FULL;
}

int FileEnv::BeginWrite(MDB_txn** txn) {
  MDB_envinfo info;
  MDB_stat st;
  mdb_env_info(env_, &info);
  mdb_env_stat(env_, &st);
  size_t used = (info.me_last_pgno + 1) * st.ms_psize;
  // Grow before it is full: a transaction that meets a full map must start over.
  if (used > info.me_mapsize / 4 * 3) {
    int status = GrowMap(0);
    if (status != BTR_OK) return status;
  }
  int rc = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    rc = mdb_txn_begin(env_, nullptr, 0, txn);
    if (rc != MDB_MAP_RESIZED) break;
    DropSnapshot();  // the map may only move with no snapshot live
    if (log_active_) Checkpoint();
    mdb_env_set_mapsize(env_, 0);
  }
  return rc == 0 ? BTR_OK : LmdbStatus(rc);
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

bool FileEnv::Alone() const {
  if (gate_fd_ < 0) return false;
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kOpenByte;
  fl.l_len = 1;
  // This process's own lock on the byte is held through gate_fd_ and does not count.
  return ::fcntl(gate_fd_, F_OFD_GETLK, &fl) == 0 && fl.l_type == F_UNLCK;
}

int FileEnv::StartLog() {
  if (log_fd_ < 0) {
    log_fd_ = ::open(log_path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (log_fd_ < 0) return BTR_IO_ERROR;
  }
  if (!LogByte(F_WRLCK)) return BTR_FILE_IN_USE;
  // The checkpoint: everything committed so far is on disk (every commit but an
  // accelerated one was synced), and its snapshot is held, so that LMDB reuses none of its
  // pages while the log lasts: the file can always be put back to it.
  if (unsynced_) {
    if (mdb_env_sync(env_, 1) != 0) return BTR_IO_ERROR;
    unsynced_ = false;
  }
  MDB_txn* reader = nullptr;
  if (mdb_txn_begin(env_, nullptr, MDB_RDONLY, &reader) != 0) return BTR_IO_ERROR;
  MDB_stat st;
  mdb_env_stat(env_, &st);
  std::string metas(size_t{2} * st.ms_psize, '\0');
  int dfd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  bool read = dfd >= 0 && ::pread(dfd, metas.data(), metas.size(), 0) ==
                              static_cast<ssize_t>(metas.size());
  if (dfd >= 0) ::close(dfd);
  std::string header(kLogTag, sizeof kLogTag);
  PutU64(&header, mdb_txn_id(reader));
  PutU32(&header, st.ms_psize);
  PutU32(&header, 0);
  header += metas;
  header += LogHash(header);
  if (!read || !WriteAt(log_fd_, header, 0) ||
      ::ftruncate(log_fd_, static_cast<off_t>(header.size())) != 0) {
    mdb_txn_abort(reader);
    LogByte(F_UNLCK);
    return BTR_IO_ERROR;
  }
  log_reader_ = reader;
  log_active_ = true;
  log_end_ = header.size();
  log_commits_ = log_commits_seen_ = 0;
  return BTR_OK;
}

int FileEnv::CommitLogged(MDB_txn* txn, const std::string& changes, bool* retry) {
  // The entry: u32 length, u64 the transaction id this commit makes, the changes, a hash.
  std::string entry;
  PutU32(&entry, static_cast<uint32_t>(8 + changes.size()));
  PutU64(&entry, mdb_txn_id(txn));
  entry += changes;
  entry += LogHash(entry);
  const uint64_t at = log_end_;
  // On disk before LMDB has the commit: the one sync a durable commit costs.
  if (!WriteAt(log_fd_, entry, at) || ::fdatasync(log_fd_) != 0) {
    mdb_txn_abort(txn);
    if (::ftruncate(log_fd_, static_cast<off_t>(at)) == 0) ::fdatasync(log_fd_);
    return BTR_IO_ERROR;
  }
  log_end_ = at + entry.size();
  mdb_env_set_flags(env_, MDB_NOMETASYNC, 0);
  mdb_env_set_flags(env_, MDB_NOSYNC, 1);
  int rc = mdb_txn_commit(txn);
  mdb_env_set_flags(env_, MDB_NOSYNC, 0);
  if (rc != 0) {
    // Not committed: neither may its entry stay.
    if (::ftruncate(log_fd_, static_cast<off_t>(at)) == 0) ::fdatasync(log_fd_);
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
  // LMDB's file synced whole; only then may the log, and the checkpoint's snapshot, go.
  if (mdb_env_sync(env_, 1) != 0) return BTR_IO_ERROR;
  if (::ftruncate(log_fd_, 0) != 0 || ::fdatasync(log_fd_) != 0) return BTR_IO_ERROR;
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
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = kLogByte;
  fl.l_len = 1;
  return ::fcntl(gate_fd_, F_OFD_SETLK, &fl) == 0;
}

bool FileEnv::LogOwnerAlive() const {
  if (gate_fd_ < 0) return true;
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kLogByte;
  fl.l_len = 1;
  return ::fcntl(gate_fd_, F_OFD_GETLK, &fl) != 0 || fl.l_type != F_UNLCK;
}

int FileEnv::EndOthersLog() {
  if (log_fd_ < 0) {
    log_fd_ = ::open(log_path().c_str(), O_RDWR | O_CLOEXEC);
    if (log_fd_ < 0) return BTR_OK;  // none
  }
  struct stat st;
  if (::fstat(log_fd_, &st) != 0) return BTR_IO_ERROR;
  if (st.st_size == 0) return BTR_OK;
  // Another process's commits since its checkpoint: synced into the file, so that a later
  // commit here never stands on commits only that log holds. Its next commit finds its
  // log ended.
  if (mdb_env_sync(env_, 1) != 0 || ::ftruncate(log_fd_, 0) != 0 || ::fdatasync(log_fd_) != 0) {
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
  uint64_t psize = GetLE(p + 16, 4);
  size_t size = 24 + 2 * psize + kLogHash;
  if (psize == 0 || psize > (1u << 20) || bytes.size() < size ||
      LogHash(std::string_view(bytes).substr(0, size - kLogHash)) !=
          std::string_view(bytes).substr(size - kLogHash, kLogHash)) {
    return BTR_NOT_A_FILE;
  }
  *checkpoint = GetLE(p + 8, 8);
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
  int dfd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
  if (dfd < 0) return BTR_IO_ERROR;
  bool ok = WriteAt(dfd, metas, 0) && ::fdatasync(dfd) == 0;
  ::close(dfd);
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
  MDB_txn* reader = nullptr;
  if (mdb_txn_begin(env_, nullptr, MDB_RDONLY, &reader) != 0) return BTR_IO_ERROR;
  int status = mdb_txn_id(reader) == checkpoint ? BTR_OK : BTR_IO_ERROR;
  // Each whole entry in turn, as long as it makes the next transaction: a torn last entry
  // was never acknowledged.
  size_t at = 24 + metas.size() + kLogHash;
  while (status == BTR_OK && at + 4 <= bytes.size()) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data()) + at;
    uint64_t length = GetLE(p, 4);
    if (length < 8 || at + 4 + length + kLogHash > bytes.size()) break;
    std::string_view whole(bytes.data() + at, 4 + length);
    if (LogHash(whole) != std::string_view(bytes).substr(at + 4 + length, kLogHash)) break;
    uint64_t id = GetLE(p + 4, 8);
    uint64_t last = LastTxnId(this);
    if (id != last + 1) break;
    status = Replay(this, whole.substr(12));
    if (status == BTR_OK && LastTxnId(this) != id) status = BTR_IO_ERROR;
    at += 4 + length + kLogHash;
  }
  if (status == BTR_OK && mdb_env_sync(env_, 1) != 0) status = BTR_IO_ERROR;
  if (status == BTR_OK && (::ftruncate(log_fd_, 0) != 0 || ::fdatasync(log_fd_) != 0)) {
    status = BTR_IO_ERROR;
  }
  mdb_txn_abort(reader);
  return status;
}

int FileEnv::CommitWrite(MDB_txn* txn, bool accelerated, bool* retry,
                         const std::string* changes) {
  *retry = false;
  if (txn == write_txn_) ForgetWriteCursors();  // the commit frees them, whatever its outcome
  if (changes && !accelerated && !read_only_storage_ && Alone()) {
    // A log that another process's open ended meanwhile is left behind, and a new one begun.
    struct stat st;
    if (log_active_ &&
        (::fstat(log_fd_, &st) != 0 || static_cast<uint64_t>(st.st_size) != log_end_)) {
      EndLog();
    }
    if (log_active_ || StartLog() == BTR_OK) return CommitLogged(txn, *changes, retry);
  }
  // Any other commit comes after a checkpoint, this process's or another's: a log replays
  // onto its checkpoint alone.
  int status = log_active_ ? Checkpoint() : (read_only_storage_ ? BTR_OK : EndOthersLog());
  if (status != BTR_OK) {
    mdb_txn_abort(txn);
    return status;
  }
  // Accelerated: the data pages are synced, the meta page that makes them the newest state
  // is not. A machine crash may then lose the last commits, but the meta page on disk only
  // ever names pages that are on disk: the file is never damaged.
  mdb_env_set_flags(env_, MDB_NOMETASYNC, accelerated ? 1 : 0);
  int rc = mdb_txn_commit(txn);
  if (rc == MDB_MAP_FULL) {
    int status = GrowMap(size_t{16} << 20);
    if (status != BTR_OK) return status;
    *retry = true;
    return BTR_OK;
  }
  if (rc == 0 && accelerated) unsynced_ = true;
  return rc == 0 ? BTR_OK : LmdbStatus(rc);
}

int FileEnv::OpenEnv(bool want_write) {
  int rc = 0;
  for (bool read_only : {false, true}) {
    if (env_) mdb_env_close(env_);
    env_ = nullptr;
    rc = mdb_env_create(&env_);
    if (rc != 0) {
      env_ = nullptr;
      return BTR_IO_ERROR;
    }
    mdb_env_set_maxdbs(env_, kMaxDbs);
    rc = mdb_env_open(env_, path_.c_str(), MDB_NOSUBDIR | MDB_NOTLS | (read_only ? MDB_RDONLY : 0),
                      0644);
    if (rc == 0) {
      read_only_storage_ = read_only;
      break;
    }
    if (rc != EACCES && rc != EROFS && rc != EPERM) break;
    if (want_write) return BTR_ACCESS_DENIED;
  }
  if (rc != 0) {
    if (rc == MDB_INVALID || rc == MDB_VERSION_MISMATCH || rc == MDB_INCOMPATIBLE) {
      return BTR_NOT_A_FILE;
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
  MDB_txn* txn = nullptr;
  rc = mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn);
  if (rc != 0) return LmdbStatus(rc);
  int status = LoadDescription(txn);
  if (status != BTR_OK) {
    mdb_txn_abort(txn);
    return status;
  }
  rc = mdb_txn_commit(txn);  // keeps the database handles
  if (rc != 0) return LmdbStatus(rc);
  size_t max = static_cast<size_t>(mdb_env_get_maxkeysize(env_));
  for (const KeyDef& key : spec_.keys) {
    if (key.encoded_length() + 4 > max) return BTR_NOT_A_FILE;
  }
  return BTR_OK;
}

int FileEnv::WriteCopy(const std::string& temp, const RecordTransform& transform,
                       const std::string* owner_value) {
  ::unlink(temp.c_str());
  ::unlink((temp + "-lock").c_str());
  MDB_envinfo info;
  MDB_stat st;
  mdb_env_info(env_, &info);
  mdb_env_stat(env_, &st);
  MDB_txn* from = nullptr;
  int rc = mdb_txn_begin(env_, nullptr, MDB_RDONLY, &from);
  if (rc != 0) return LmdbStatus(rc);
  MDB_stat records;
  mdb_stat(from, records_, &records);
  // Room for everything as it is, each record's seal, and slack: the map is sparse.
  size_t used = (info.me_last_pgno + 1) * st.ms_psize;
  size_t map = 2 * used + records.ms_entries * 128 + kInitialMapSize;
  MDB_env* out = nullptr;
  MDB_txn* to = nullptr;
  rc = mdb_env_create(&out);
  if (rc == 0) {
    mdb_env_set_maxdbs(out, kMaxDbs);
    mdb_env_set_mapsize(out, map);
    rc = mdb_env_open(out, temp.c_str(), MDB_NOSUBDIR | MDB_NOTLS | MDB_NOSYNC, 0644);
  }
  if (rc == 0) rc = mdb_txn_begin(out, nullptr, 0, &to);
  int status = rc == 0 ? BTR_OK : LmdbStatus(rc);
  // Copies one database's entries in order, each through `each` (nullptr: as it is).
  auto copy = [&](MDB_dbi dbi, const char* name,
                  const std::function<int(MDB_val*, MDB_val*, std::string*)>& each) {
    MDB_dbi target;
    int r = mdb_dbi_open(to, name, MDB_CREATE, &target);
    if (r != 0) return LmdbStatus(r);
    MDB_cursor* c;
    r = mdb_cursor_open(from, dbi, &c);
    if (r != 0) return LmdbStatus(r);
    MDB_val k, v;
    std::string room;
    int s = BTR_OK;
    for (r = mdb_cursor_get(c, &k, &v, MDB_FIRST); r == 0 && s == BTR_OK;
         r = mdb_cursor_get(c, &k, &v, MDB_NEXT)) {
      if (each) {
        s = each(&k, &v, &room);
        if (s == kStatusSkip) {
          s = BTR_OK;
          continue;
        }
        if (s != BTR_OK) break;
      }
      int p = mdb_put(to, target, &k, &v, MDB_APPEND);
      if (p != 0) s = LmdbStatus(p);
    }
    mdb_cursor_close(c);
    if (s != BTR_OK) return s;
    return r == MDB_NOTFOUND ? BTR_OK : LmdbStatus(r);
  };
  const std::string owner_name = kMetaOwner;
  if (status == BTR_OK) {
    status = copy(meta_, kMetaDb, [&](MDB_val* k, MDB_val* v, std::string*) {
      bool owner = View(*k) == owner_name;
      if (owner && !owner_value) return kStatusSkip;
      if (owner) *v = Val(*owner_value);
      return int{BTR_OK};
    });
  }
  if (status == BTR_OK && owner_value) {
    // Written again, or for the first time: the copy has its owner record either way.
    MDB_dbi meta;
    MDB_val k = Val(std::string_view(owner_name)), v = Val(*owner_value);
    rc = mdb_dbi_open(to, kMetaDb, 0, &meta);
    if (rc == 0) rc = mdb_put(to, meta, &k, &v, 0);
    status = LmdbStatus(rc);
  }
  if (status == BTR_OK) {
    status = copy(records_, kRecordsDb, [&](MDB_val* k, MDB_val* v, std::string* room) {
      int s = transform(*k, *v, room);
      *v = Val(*room);
      return s;
    });
  }
  for (size_t i = 0; status == BTR_OK && i < keys_.size(); ++i) {
    status = copy(keys_[i], KeyDbName(i).c_str(), nullptr);
  }
  mdb_txn_abort(from);
  if (to) {
    if (status == BTR_OK) {
      rc = mdb_txn_commit(to);
      status = LmdbStatus(rc);
    } else {
      mdb_txn_abort(to);
    }
  }
  if (status == BTR_OK) status = LmdbStatus(mdb_env_sync(out, 1));
  if (out) mdb_env_close(out);
  ::unlink((temp + "-lock").c_str());
  if (status != BTR_OK) {
    ::unlink(temp.c_str());
    return status == kStatusMapFull ? BTR_DISK_FULL : status;
  }
  return BTR_OK;
}

int FileEnv::Replace(const std::string& temp) {
  DropSnapshot();
  mdb_env_close(env_);
  env_ = nullptr;
  // The rename is the one step: before it the old file is whole, after it the new one.
  int status = BTR_OK;
  if (::rename(temp.c_str(), path_.c_str()) != 0) {
    ::unlink(temp.c_str());
    status = BTR_IO_ERROR;
  } else {
    SyncFolder(FolderOf(path_));
  }
  int reopened = OpenEnv(true);
  if (reopened != BTR_OK) {
    if (env_) mdb_env_close(env_);
    env_ = nullptr;  // every call on the file answers 2 from now on
    return reopened;
  }
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0) {
    dev_ = st.st_dev;
    ino_ = st.st_ino;
  }
  return status;
}

int FileEnv::LockByte(off_t byte, short type) {
  if (gate_fd_ < 0) return BTR_OK;
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  auto deadline = std::chrono::steady_clock::now() + kGateSpin;
  while (::fcntl(gate_fd_, F_OFD_SETLK, &fl) != 0) {
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) return BTR_IO_ERROR;
    if (std::chrono::steady_clock::now() >= deadline) return BTR_INCOMPATIBLE_MODE;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return BTR_OK;
}

int FileEnv::BeginOwnerChange() {
  if (LockByte(kOwnerChangeByte, F_WRLCK) != BTR_OK) return BTR_FILE_IN_USE;
  // This process's own shared lock on byte 1 does not stand in the way of its own upgrade;
  // any other process's does.
  if (HoldOpen(true) != BTR_OK) {
    LockByte(kOwnerChangeByte, F_UNLCK);
    return BTR_FILE_IN_USE;
  }
  // The change rewrites or replaces the file: the log is emptied before.
  int status = Checkpoint();
  if (status != BTR_OK) {
    EndOwnerChange();
    return status;
  }
  return BTR_OK;
}

void FileEnv::EndOwnerChange() {
  if (exclusive_owner == nullptr) HoldOpen(false);
  LockByte(kOwnerChangeByte, F_UNLCK);
}

int FileEnv::LoadDescription(MDB_txn* txn) {
  has_owner_ = false;
  int rc = mdb_dbi_open(txn, kMetaDb, 0, &meta_);
  if (rc == 0) rc = mdb_dbi_open(txn, kRecordsDb, 0, &records_);
  if (rc == MDB_NOTFOUND || rc == MDB_INCOMPATIBLE) return BTR_NOT_A_FILE;
  if (rc != 0) return LmdbStatus(rc);
  MDB_val k{std::strlen(kMetaFormat), const_cast<char*>(kMetaFormat)}, v;
  rc = mdb_get(txn, meta_, &k, &v);
  if (rc == MDB_NOTFOUND || v.mv_size != std::strlen(kFormatTag) ||
      std::memcmp(v.mv_data, kFormatTag, v.mv_size) != 0) {
    return rc == 0 || rc == MDB_NOTFOUND ? BTR_NOT_A_FILE : LmdbStatus(rc);
  }
  k = MDB_val{std::strlen(kMetaSpec), const_cast<char*>(kMetaSpec)};
  rc = mdb_get(txn, meta_, &k, &v);
  if (rc != 0) return rc == MDB_NOTFOUND ? BTR_NOT_A_FILE : LmdbStatus(rc);
  std::string reason;
  if (!DecodeFileSpec(static_cast<const uint8_t*>(v.mv_data), v.mv_size, &spec_, &reason)) {
    return BTR_NOT_A_FILE;
  }
  k = MDB_val{std::strlen(kMetaOwner), const_cast<char*>(kMetaOwner)};
  rc = mdb_get(txn, meta_, &k, &v);
  if (rc == 0) {
    if (!DecodeOwner(static_cast<const uint8_t*>(v.mv_data), v.mv_size, &owner_, &reason)) {
      return BTR_IO_ERROR;  // a damaged owner record: nothing can be checked against it
    }
    has_owner_ = true;
  } else if (rc != MDB_NOTFOUND) {
    return LmdbStatus(rc);
  }
  keys_.resize(spec_.keys.size());
  for (size_t i = 0; i < keys_.size(); ++i) {
    rc = mdb_dbi_open(txn, KeyDbName(i).c_str(), 0, &keys_[i]);
    if (rc != 0) return rc == MDB_NOTFOUND ? BTR_NOT_A_FILE : LmdbStatus(rc);
  }
  return BTR_OK;
}

// ---- Registry ----

Registry& Registry::Get() {
  static Registry registry;
  return registry;
}

void Registry::ForgetAfterFork() {
  // The parent's environments stay theirs: LMDB handles must not cross a fork, so they are
  // let go without being closed. The gate descriptor is closed: its locks belong to the
  // open file description, which the parent still holds, and a copy kept here would keep
  // them alive after the parent ends.
  for (auto& f : files_) {
    if (f->gate_fd_ >= 0) ::close(f->gate_fd_);
    if (f->log_fd_ >= 0) ::close(f->log_fd_);
    (void)f.release();
  }
  files_.clear();
}

int Registry::Open(const std::string& path, bool want_write, FileEnv** out, std::string* reason) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return BTR_FILE_NOT_FOUND;
    if (errno == ENAMETOOLONG) return BTR_INVALID_FILE_NAME;
    return errno == EACCES ? BTR_ACCESS_DENIED : BTR_IO_ERROR;
  }
  if (S_ISDIR(st.st_mode)) return BTR_INVALID_FILE_NAME;
  if (!S_ISREG(st.st_mode)) return BTR_NOT_A_FILE;
  int status = CheckFileSystem(path, reason);
  if (status != BTR_OK) return status;

  auto open_here = [&](FileEnv* f) {
    if (want_write && f->read_only_storage_) return int{BTR_ACCESS_DENIED};
    // A transaction over several files that a crash interrupted is finished (or dropped)
    // before anyone reads the file.
    if (!f->read_only_storage_ && RedoPending(*f)) {
      int s = RecoverPending(f);
      if (s != BTR_OK) return s;
    }
    *out = f;
    return int{BTR_OK};
  };
  if (FileEnv* f = Find(st)) return open_here(f);
  if (!HasLmdbHeader(path)) return BTR_NOT_A_FILE;

  std::unique_ptr<FileEnv> file(new FileEnv);
  file->path_ = path;
  char* real = ::realpath(path.c_str(), nullptr);
  file->abs_path_ = real ? real : path;
  std::free(real);
  // The gate file's locks come first: they keep this open from meeting an owner change in
  // another process half done, and that process's change from starting once this open has
  // begun (byte 1, held from here on).
  std::string gate = path + "-gate";
  file->gate_fd_ = ::open(gate.c_str(), O_RDWR | O_CLOEXEC);
  bool made_gate = false;
  if (file->gate_fd_ < 0 && errno == ENOENT) {
    file->gate_fd_ = ::open(gate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    made_gate = file->gate_fd_ >= 0;
    // Another process made it at the same moment.
    if (file->gate_fd_ < 0 && errno == EEXIST) {
      file->gate_fd_ = ::open(gate.c_str(), O_RDWR | O_CLOEXEC);
    }
  }
  if (file->gate_fd_ < 0 && want_write) return BTR_ACCESS_DENIED;
  status = file->LockByte(FileEnv::kOwnerChangeByte, F_RDLCK);
  if (status != BTR_OK) return status == BTR_INCOMPATIBLE_MODE ? kStatusGateBusy : status;
  status = file->HoldOpen(false);  // another process's exclusive open stands in the way
  if (status != BTR_OK) return status;
  // An owner change that ended just before the locks were taken replaced the file.
  if (::stat(path.c_str(), &st) != 0) return BTR_FILE_NOT_FOUND;
  if (FileEnv* f = Find(st)) return open_here(f);
  file->dev_ = st.st_dev;
  file->ino_ = st.st_ino;
  // A commit log left by a process that died: finished under the gate before anyone reads
  // the file (one in use by a live process is ended by the first commit here).
  bool gated = false, replay = false;
  file->log_fd_ = ::open(file->log_path().c_str(), O_RDWR | O_CLOEXEC);
  uint64_t checkpoint = 0;
  std::string metas;
  if (file->log_fd_ >= 0 && file->ReadLogHeader(&checkpoint, &metas) == BTR_OK &&
      !file->LogOwnerAlive()) {
    status = file->TakeGate(&LogClient());
    if (status != BTR_OK) return status;
    gated = true;
    status = file->RestoreFromLog(&replay);  // again: another open may have finished it
    if (status != BTR_OK) {
      file->ReleaseGate(&LogClient());
      return status;
    }
  }
  status = file->OpenEnv(want_write);
  if (gated) {
    if (status == BTR_OK && replay) status = file->ReplayLog();
    file->ReleaseGate(&LogClient());
  }
  if (status == BTR_NOT_A_FILE && made_gate) ::unlink(gate.c_str());  // nothing of ours here
  if (status != BTR_OK) return status;
  if (!file->read_only_storage_ && file->gate_fd_ >= 0) {
    // No owner change runs anywhere while byte 2 is held shared: a rewritten copy left
    // beside the file is a killed one's.
    ::unlink(file->rewrite_path().c_str());
    ::unlink((file->rewrite_path() + "-lock").c_str());
    if (RedoPending(*file)) {
      status = RecoverPending(file.get());
      if (status != BTR_OK) return status;
    }
  }
  file->LockByte(FileEnv::kOwnerChangeByte, F_UNLCK);
  *out = file.get();
  files_.push_back(std::move(file));
  return BTR_OK;
}

FileEnv* Registry::Find(const struct stat& st) const {
  for (auto& f : files_) {
    if (f->Is(st.st_dev, st.st_ino)) return f.get();
  }
  return nullptr;
}

void Registry::ReleaseIdle() {
  for (auto& f : files_) f->ReleaseIdle();
}

void Registry::Release(FileEnv* file) {
  if (--file->open_count > 0) return;
  // The last close here checkpoints the log, and removes it when no other process has the
  // file open (one that does keeps its own log, ended as it needs).
  if (file->log_fd_ >= 0 && file->env_ && file->gate_owner_ == nullptr &&
      file->TakeGate(&LogClient()) == BTR_OK) {
    if (file->Checkpoint() == BTR_OK && file->Alone()) ::unlink(file->log_path().c_str());
    file->ReleaseGate(&LogClient());
  }
  for (auto it = files_.begin(); it != files_.end(); ++it) {
    if (it->get() == file) {
      files_.erase(it);
      return;
    }
  }
}

int Registry::Create(const std::string& path, const FileSpec& spec, bool replace,
                     std::string* reason) {
  int status = CheckFileSystem(path, reason);
  if (status != BTR_OK) return status;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (!replace) return BTR_FILE_EXISTS;
    if (!S_ISREG(st.st_mode)) return BTR_INVALID_FILE_NAME;
    for (auto& f : files_) {
      if (f->dev_ == st.st_dev && f->ino_ == st.st_ino) return BTR_FILE_IN_USE;
    }
    // Another process that has the file open holds a shared lock on LMDB's lock file.
    std::string lock = path + "-lock";
    int fd = ::open(lock.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
      struct flock fl;
      std::memset(&fl, 0, sizeof fl);
      fl.l_type = F_WRLCK;
      fl.l_whence = SEEK_SET;
      fl.l_len = 1;
      bool busy = ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
      ::close(fd);
      if (busy) return BTR_FILE_IN_USE;
    }
  } else if (errno != ENOENT) {
    return errno == ENAMETOOLONG || errno == ENOTDIR ? BTR_INVALID_FILE_NAME : BTR_CANNOT_CREATE;
  }

  // Built under a temporary name and renamed into place, so that a crash never leaves
  // half a file under the caller's name.
  std::string temp = path + ".new-XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return BTR_CANNOT_CREATE;
  ::close(fd);
  std::string temp_lock = temp + "-lock";
  auto fail = [&](int s) {
    ::unlink(temp.c_str());
    ::unlink(temp_lock.c_str());
    return s;
  };
  MDB_env* env = nullptr;
  if (mdb_env_create(&env) != 0) return fail(BTR_CANNOT_CREATE);
  mdb_env_set_maxdbs(env, kMaxDbs);
  mdb_env_set_mapsize(env, size_t{1} << 20);
  int rc = mdb_env_open(env, temp.c_str(), MDB_NOSUBDIR | MDB_NOTLS, 0644);
  MDB_txn* txn = nullptr;
  if (rc == 0) rc = mdb_txn_begin(env, nullptr, 0, &txn);
  if (rc == 0) {
    MDB_dbi meta, records, key;
    rc = mdb_dbi_open(txn, kMetaDb, MDB_CREATE, &meta);
    if (rc == 0) rc = mdb_dbi_open(txn, kRecordsDb, MDB_CREATE, &records);
    for (size_t i = 0; rc == 0 && i < spec.keys.size(); ++i) {
      rc = mdb_dbi_open(txn, KeyDbName(i).c_str(), MDB_CREATE, &key);
    }
    Counters counters;
    counters.unique_values.assign(spec.keys.size(), 0);
    counters.autoincrement_high.assign(spec.keys.size(), 0);
    std::string encoded_spec = EncodeFileSpec(spec);
    std::string encoded_counters = counters.Encode();
    auto put = [&](const char* name, const std::string& value) {
      MDB_val k{std::strlen(name), const_cast<char*>(name)};
      MDB_val v{value.size(), const_cast<char*>(value.data())};
      return mdb_put(txn, meta, &k, &v, 0);
    };
    if (rc == 0) rc = put(kMetaFormat, kFormatTag);
    if (rc == 0) rc = put(kMetaSpec, encoded_spec);
    if (rc == 0) rc = put(kMetaCounters, encoded_counters);
    if (rc == 0) {
      rc = mdb_txn_commit(txn);
    } else {
      mdb_txn_abort(txn);
    }
  }
  mdb_env_close(env);
  if (rc != 0) return fail(rc == ENOSPC || rc == MDB_MAP_FULL ? BTR_DISK_FULL : BTR_CANNOT_CREATE);
  ::unlink((path + "-lock").c_str());  // the old file's reader table, unused (checked above)
  ::unlink((path + "-redo").c_str());  // the old file's unfinished commit is no business of the new
  ::unlink((path + "-log").c_str());
  if (::rename(temp.c_str(), path.c_str()) != 0) return fail(BTR_CANNOT_CREATE);
  ::unlink(temp_lock.c_str());
  SyncFolder(FolderOf(path));
  return BTR_OK;
}

}  // namespace mkde
