// Preloaded into the crash test's writers to model a power cut: every write to a file in the
// test's folder (the record files, LMDB's data pages and meta pages among them, and the redo
// files) first appends the bytes it overwrites, and the file's size before it, to an undo
// journal of that file; a sync of the file empties its journal, a sync of every file system
// (sync, syncfs) every journal, and a write through a descriptor opened for synchronous
// writes needs none. After the writers are killed the test applies each journal backwards
// (power_cut.h), leaving every file as the disk held it at its last sync. LMDB's reader table
// (`-lock`) and the gate file hold no data and are left alone; so are creations, renames and
// removals of names, which the engine syncs where it relies on them.
//
// A journal belongs to the file itself (its device and inode), not to its name: a copy that
// a compact or an owner change renames over a record file keeps its journal, and a process
// still holding the replaced file cannot write into the new one's. The journal of a file that
// a rename or an unlink removes goes with it, and a write to a file no name reaches any more
// is not journaled: no cut can bring it back.
//
// A disk's flush: a sync_file_range() of a whole file that waits for its write-back marks the
// journal's records so far as taken by the disk (a note `.cut/<device>-<inode>.<pid>-<n>.wb`
// holding the journal's length before the call; a sync of the file itself drops its notes);
// the next sync of any tracked file flushes them, and a marker record
// appended to each such journal says that the records before that length are on disk, all but
// those that reached or changed the file's end (a size or blocks need the file's own sync).
// Only write-backs noted before the sync began count.
//
// Cuts at chosen steps: with VASTREL_CUT_AT=k, once the process has called powercut_arm()
// (found with dlsym by the test's writer), the k-th write, truncation or sync of a tracked
// file, or sync of every file system, after the arming is followed at once by SIGKILL to the
// process's group when the test made it a group of its own (all the writers die in the same
// instant), else to the process alone.
//
// Environment: VASTREL_CUT_DIR, the folder whose files are tracked; the journals go to
// VASTREL_CUT_DIR/.cut/<device>-<inode>. VASTREL_CUT_AT as above.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "tests/mkde_crash/power_cut.h"

namespace {

template <class F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using OpenFn = int (*)(const char*, int, ...);
using CloseFn = int (*)(int);
using PwriteFn = ssize_t (*)(int, const void*, size_t, off_t);
using WriteFn = ssize_t (*)(int, const void*, size_t);
using WritevFn = ssize_t (*)(int, const struct iovec*, int);
using SyncFn = int (*)(int);
using TruncateFn = int (*)(int, off_t);
using RenameFn = int (*)(const char*, const char*);
using UnlinkFn = int (*)(const char*);
using SyncAllFn = void (*)();
using SyncRangeFn = int (*)(int, off64_t, off64_t, unsigned int);

using FileId = std::pair<dev_t, ino_t>;

struct Tracked {
  FileId id;
  bool synchronous = false;
};

std::recursive_mutex& Mutex() {
  static std::recursive_mutex m;
  return m;
}
std::map<int, Tracked>& Fds() {
  static std::map<int, Tracked> fds;
  return fds;
}
std::map<FileId, int>& Journals() {
  static std::map<FileId, int> journals;
  return journals;
}
thread_local bool inside = false;  // the shim's own calls pass straight through

const std::string& Dir() {
  static const std::string dir = [] {
    const char* d = std::getenv("VASTREL_CUT_DIR");
    return d ? std::string(d) : std::string();
  }();
  return dir;
}

// The cut at a chosen call: counted once armed.
std::atomic<bool> armed{false};
std::atomic<long> calls{0};

long CutAt() {
  static const long at = [] {
    const char* k = std::getenv("VASTREL_CUT_AT");
    return k ? std::atol(k) : 0L;
  }();
  return at;
}

// After a counted call: the power goes at the chosen one. The whole group dies only when it
// is not the test's own.
void Counted() {
  if (!armed.load()) return;
  const long n = ++calls;
  if (CutAt() <= 0 || n != CutAt()) return;
  if (getpgrp() != getpgid(getppid())) kill(0, SIGKILL);
  raise(SIGKILL);
}

bool Wanted(const std::string& path) {
  const std::string& dir = Dir();
  if (dir.empty() || path.compare(0, dir.size() + 1, dir + "/") != 0) return false;
  std::string name = path.substr(dir.size() + 1);
  if (name.find('/') != std::string::npos) return false;
  auto ends = [&](const char* s) {
    size_t n = std::strlen(s);
    return name.size() >= n && name.compare(name.size() - n, n, s) == 0;
  };
  return !ends("-lock") && !ends("-gate");
}

std::string Absolute(const char* path) {
  if (path[0] == '/') return path;
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) return path;
  return std::string(cwd) + "/" + path;
}

std::string JournalPath(const FileId& id) {
  return Dir() + "/.cut/" + std::to_string(id.first) + "-" + std::to_string(id.second);
}

// The journal of a file, opened once per process; opened again when another process removed
// it (its file was replaced, and the inode may since belong to a new one).
int Journal(const FileId& id) {
  auto it = Journals().find(id);
  if (it != Journals().end()) {
    struct stat st;
    if (fstat(it->second, &st) == 0 && st.st_nlink > 0) return it->second;
    Next<CloseFn>("close")(it->second);
    Journals().erase(it);
  }
  std::string folder = Dir() + "/.cut";
  mkdir(folder.c_str(), 0755);
  int fd = Next<OpenFn>("open")(JournalPath(id).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                                0644);
  if (fd < 0) std::abort();  // a journal that cannot be written makes the test meaningless
  Journals()[id] = fd;
  return fd;
}

// A file no name reaches any more: no cut brings its bytes back, so its journal goes.
void DropJournal(const FileId& id) {
  auto it = Journals().find(id);
  if (it != Journals().end()) {
    Next<CloseFn>("close")(it->second);
    Journals().erase(it);
  }
  Next<UnlinkFn>("unlink")(JournalPath(id).c_str());
}

void WriteAll(int fd, const void* data, size_t n) {
  auto write = Next<WriteFn>("write");
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) {
      if (w < 0 && errno == EINTR) continue;
      std::abort();
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

// Saves what [offset, offset + length) of the file behind `fd` holds now, before a write or a
// truncation there. Read through the process's own link to the descriptor, which reaches the
// file whatever name it has now and however the descriptor was opened.
void Remember(const Tracked& t, int fd, off_t offset, size_t length) {
  struct stat st;
  if (fstat(fd, &st) != 0) std::abort();
  if (st.st_nlink == 0) return;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  std::string old;
  if (static_cast<uint64_t>(offset) < size) {
    old.resize(std::min<uint64_t>(length, size - static_cast<uint64_t>(offset)));
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    int rfd = Next<OpenFn>("open")(self.c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t got = rfd >= 0 ? pread(rfd, old.data(), old.size(), offset) : -1;
    if (rfd >= 0) Next<CloseFn>("close")(rfd);
    if (got != static_cast<ssize_t>(old.size())) std::abort();
  }
  std::string record = powercut::EncodeUndo(static_cast<uint64_t>(offset), size, old);
  WriteAll(Journal(t.id), record.data(), record.size());
}

uint64_t Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// A flush of the disk that began at `began`, noted for the roll-back.
void Flushed(uint64_t began) {
  std::lock_guard<std::recursive_mutex> lock(Mutex());
  const std::string path = Dir() + "/.cut/" + powercut::kFlushes;
  int fd = Next<OpenFn>("open")(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) std::abort();
  std::string record;
  powercut::Put(&record, began, 8);
  WriteAll(fd, record.data(), record.size());
  Next<CloseFn>("close")(fd);
}

// A sync of the file behind `fd`; false when it is not one of the test's.
bool Synced(int fd) {
  std::lock_guard<std::recursive_mutex> lock(Mutex());
  auto it = Fds().find(fd);
  if (it == Fds().end()) return false;
  const std::string journal = JournalPath(it->second.id);
  if (::truncate(journal.c_str(), 0) != 0 && errno != ENOENT) std::abort();
  return true;
}

// A sync of every file system: every journal emptied, of every process's files.
void SyncedAll() {
  std::lock_guard<std::recursive_mutex> lock(Mutex());
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(Dir() + "/.cut", ec)) {
    if (entry.path().filename() == powercut::kFlushes) continue;
    if (::truncate(entry.path().c_str(), 0) != 0 && errno != ENOENT) std::abort();
  }
}

// Before a write-back of the whole file behind `fd`: the length of its journal, or -1 when it
// is not one of the test's files.
long BeforeWriteBack(int fd) {
  if (inside) return -1;
  std::lock_guard<std::recursive_mutex> lock(Mutex());
  auto it = Fds().find(fd);
  if (it == Fds().end()) return -1;
  struct stat st;
  inside = true;
  const int journal = Journal(it->second.id);
  inside = false;
  return fstat(journal, &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// After it: its record in the journal, with the moment the disk had taken the bytes.
void WrittenBack(int fd, long length) {
  std::lock_guard<std::recursive_mutex> lock(Mutex());
  auto it = Fds().find(fd);
  if (it == Fds().end()) return;
  const std::string record = powercut::EncodeWrittenBack(static_cast<uint64_t>(length), Now());
  WriteAll(Journal(it->second.id), record.data(), record.size());
}

int Opened(int fd, const char* path, int flags) {
  if (fd < 0 || inside) return fd;
  std::string abs = Absolute(path);
  std::lock_guard<std::recursive_mutex> lock(Mutex());
  Fds().erase(fd);
  struct stat st;
  if (!Wanted(abs) || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return fd;
  Fds()[fd] = Tracked{{st.st_dev, st.st_ino}, (flags & O_DSYNC) != 0};
  return fd;
}

// Before a write of `length` bytes at `offset` (-1: the descriptor's own offset). True when
// the descriptor is one of the test's files: the call is counted once it returns.
bool BeforeWrite(int fd, off_t offset, size_t length) {
  if (inside) return false;
  std::lock_guard<std::recursive_mutex> lock(Mutex());
  auto it = Fds().find(fd);
  if (it == Fds().end()) return false;
  if (it->second.synchronous || length == 0) return true;
  inside = true;
  if (offset < 0) offset = lseek(fd, 0, SEEK_CUR);
  Remember(it->second, fd, offset, length);
  inside = false;
  return true;
}

// Before a truncation to `length`: what it cuts away, or the size it grows from.
bool BeforeTruncate(int fd, off_t length) {
  if (inside) return false;
  std::lock_guard<std::recursive_mutex> lock(Mutex());
  auto it = Fds().find(fd);
  struct stat st;
  if (it == Fds().end() || fstat(fd, &st) != 0) return false;
  inside = true;
  if (length < st.st_size) {
    Remember(it->second, fd, length, static_cast<size_t>(st.st_size - length));
  } else {
    Remember(it->second, fd, st.st_size, 0);
  }
  inside = false;
  return true;
}

// The file a name about to be removed or replaced reaches, when it is one of the test's and
// that name is its last.
bool LastNameOf(const char* path, FileId* id) {
  struct stat st;
  if (inside || !Wanted(Absolute(path)) || lstat(path, &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_nlink != 1) {
    return false;
  }
  *id = {st.st_dev, st.st_ino};
  return true;
}

int OpenCommon(const char* fn, const char* path, int flags, mode_t mode) {
  // A truncating open of a file with contents saves them first.
  if ((flags & O_TRUNC) && !inside) {
    std::string abs = Absolute(path);
    struct stat st;
    if (Wanted(abs) && stat(abs.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
      std::lock_guard<std::recursive_mutex> lock(Mutex());
      inside = true;
      int rfd = Next<OpenFn>("open")(abs.c_str(), O_RDONLY | O_CLOEXEC);
      if (rfd >= 0) {
        Tracked t{{st.st_dev, st.st_ino}, false};
        Remember(t, rfd, 0, static_cast<size_t>(st.st_size));
        Next<CloseFn>("close")(rfd);
      }
      inside = false;
    }
  }
  int fd = Next<OpenFn>(fn)(path, flags, mode);
  return Opened(fd, path, flags);
}

template <class T>
T Count(bool tracked, T rc) {
  if (tracked && rc >= 0) Counted();
  return rc;
}

}  // namespace

// The build hides symbols by default; these must replace the C library's.
#define SHIM_EXPORT __attribute__((visibility("default")))

extern "C" {

// Called by the test's writer where the count towards VASTREL_CUT_AT begins.
SHIM_EXPORT void powercut_arm() {
  calls.store(0);
  armed.store(true);
}

// open and open64: the mode is there only when the flags create a file.
#define SHIM_OPEN(name)                                    \
  SHIM_EXPORT int name(const char* path, int flags, ...) { \
    mode_t mode = 0;                                       \
    if (flags & (O_CREAT | O_TMPFILE)) {                   \
      va_list ap;                                          \
      va_start(ap, flags);                                 \
      mode = va_arg(ap, mode_t);                           \
      va_end(ap);                                          \
    }                                                      \
    return OpenCommon(#name, path, flags, mode);           \
  }
SHIM_OPEN(open)
SHIM_OPEN(open64)

SHIM_EXPORT int close(int fd) {
  {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    Fds().erase(fd);
  }
  return Next<CloseFn>("close")(fd);
}

SHIM_EXPORT ssize_t pwrite(int fd, const void* buf, size_t n, off_t offset) {
  const bool tracked = BeforeWrite(fd, offset, n);
  return Count(tracked, Next<PwriteFn>("pwrite")(fd, buf, n, offset));
}

SHIM_EXPORT ssize_t pwrite64(int fd, const void* buf, size_t n, off_t offset) {
  const bool tracked = BeforeWrite(fd, offset, n);
  return Count(tracked, Next<PwriteFn>("pwrite64")(fd, buf, n, offset));
}

SHIM_EXPORT ssize_t write(int fd, const void* buf, size_t n) {
  const bool tracked = BeforeWrite(fd, -1, n);
  return Count(tracked, Next<WriteFn>("write")(fd, buf, n));
}

SHIM_EXPORT ssize_t writev(int fd, const struct iovec* iov, int count) {
  size_t n = 0;
  for (int i = 0; i < count; ++i) n += iov[i].iov_len;
  const bool tracked = BeforeWrite(fd, -1, n);
  return Count(tracked, Next<WritevFn>("writev")(fd, iov, count));
}

SHIM_EXPORT int ftruncate(int fd, off_t length) {
  const bool tracked = BeforeTruncate(fd, length);
  return Count(tracked, Next<TruncateFn>("ftruncate")(fd, length));
}

SHIM_EXPORT int ftruncate64(int fd, off_t length) {
  const bool tracked = BeforeTruncate(fd, length);
  return Count(tracked, Next<TruncateFn>("ftruncate64")(fd, length));
}

SHIM_EXPORT int fsync(int fd) {
  const uint64_t began = Now();
  const int rc = Next<SyncFn>("fsync")(fd);
  const bool tracked = rc == 0 && Synced(fd);
  if (tracked) Flushed(began);
  return Count(tracked, rc);
}

SHIM_EXPORT int fdatasync(int fd) {
  const uint64_t began = Now();
  const int rc = Next<SyncFn>("fdatasync")(fd);
  const bool tracked = rc == 0 && Synced(fd);
  if (tracked) Flushed(began);
  return Count(tracked, rc);
}

// Only a write-back of the whole file that waits for the disk is noted.
SHIM_EXPORT int sync_file_range(int fd, off64_t offset, off64_t n, unsigned int flags) {
  constexpr unsigned kAll =
      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
  const long length = offset == 0 && n == 0 && (flags & kAll) == kAll ? BeforeWriteBack(fd) : -1;
  const int rc = Next<SyncRangeFn>("sync_file_range")(fd, offset, n, flags);
  if (rc == 0 && length >= 0) WrittenBack(fd, length);
  return Count(length >= 0, rc);
}

SHIM_EXPORT void sync() {
  Next<SyncAllFn>("sync")();
  SyncedAll();
  Counted();
}

SHIM_EXPORT int syncfs(int fd) {
  const int rc = Next<SyncFn>("syncfs")(fd);
  if (rc == 0) SyncedAll();
  return Count(rc == 0, rc);
}

// A file replaced by a rename or removed by its last name takes its journal with it.
SHIM_EXPORT int rename(const char* from, const char* to) {
  std::lock_guard<std::recursive_mutex> lock(Mutex());
  FileId victim;
  const bool last = LastNameOf(to, &victim);
  const int rc = Next<RenameFn>("rename")(from, to);
  if (rc == 0 && last) DropJournal(victim);
  return rc;
}

SHIM_EXPORT int unlink(const char* path) {
  std::lock_guard<std::recursive_mutex> lock(Mutex());
  FileId victim;
  const bool last = LastNameOf(path, &victim);
  const int rc = Next<UnlinkFn>("unlink")(path);
  if (rc == 0 && last) DropJournal(victim);
  return rc;
}

}  // extern "C"
