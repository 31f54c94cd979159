// Preloaded into the crash test's writer to model a power cut: every write to a file in the
// test's folder (the record files, LMDB's data pages and meta pages among them, and the redo
// files) first appends the bytes it overwrites, and the file's size before it, to an undo
// journal of that file; a sync of the file empties its journal, and a write through a
// descriptor opened for synchronous writes needs none. After the writer is killed the test
// applies each journal backwards (power_cut.h), leaving every file as the disk held it at
// its last sync. LMDB's reader table (`-lock`) and the gate file hold no data and are left
// alone; so are creations, renames and removals of names, which the engine syncs where it
// relies on them.
//
// Environment: VASTREL_CUT_DIR, the folder whose files are tracked; the journals go to
// VASTREL_CUT_DIR/.cut/<file name>.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

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

struct Tracked {
  std::string path;
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
std::map<std::string, int>& Journals() {
  static std::map<std::string, int> journals;
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

int Journal(const std::string& path) {
  auto it = Journals().find(path);
  if (it != Journals().end()) return it->second;
  std::string folder = Dir() + "/.cut";
  mkdir(folder.c_str(), 0755);
  std::string name = folder + "/" + path.substr(Dir().size() + 1);
  int fd = Next<OpenFn>("open")(name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  Journals()[path] = fd;
  return fd;
}

void WriteAll(int fd, const void* data, size_t n) {
  auto write = Next<WriteFn>("write");
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) {
      if (w < 0 && errno == EINTR) continue;
      std::abort();  // a journal that cannot be written makes the test meaningless
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

// Saves what [offset, offset + length) of the file holds now, before a write there.
void Remember(const Tracked& t, int fd, off_t offset, size_t length) {
  struct stat st;
  if (fstat(fd, &st) != 0) std::abort();
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  std::string old;
  if (static_cast<uint64_t>(offset) < size) {
    old.resize(std::min<uint64_t>(length, size - static_cast<uint64_t>(offset)));
    int rfd = Next<OpenFn>("open")(t.path.c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t got = rfd >= 0 ? pread(rfd, old.data(), old.size(), offset) : -1;
    if (rfd >= 0) Next<CloseFn>("close")(rfd);
    if (got != static_cast<ssize_t>(old.size())) std::abort();
  }
  std::string record = powercut::EncodeUndo(static_cast<uint64_t>(offset), size, old);
  WriteAll(Journal(t.path), record.data(), record.size());
}

void Synced(int fd) {
  auto it = Fds().find(fd);
  if (it == Fds().end()) return;
  int j = Journal(it->second.path);
  if (ftruncate(j, 0) != 0) std::abort();
}

int Opened(int fd, const char* path, int flags) {
  if (fd < 0 || inside) return fd;
  std::string abs = Absolute(path);
  std::lock_guard<std::recursive_mutex> lock(Mutex());
  Fds().erase(fd);
  if (!Wanted(abs)) return fd;
  Tracked t{abs, (flags & O_DSYNC) != 0};
  Fds()[fd] = t;
  return fd;
}

// Before a write of `length` bytes at `offset` (-1: the descriptor's own offset).
void BeforeWrite(int fd, off_t offset, size_t length) {
  if (inside) return;
  std::lock_guard<std::recursive_mutex> lock(Mutex());
  auto it = Fds().find(fd);
  if (it == Fds().end() || it->second.synchronous || length == 0) return;
  inside = true;
  if (offset < 0) offset = lseek(fd, 0, SEEK_CUR);
  Remember(it->second, fd, offset, length);
  inside = false;
}

int OpenCommon(const char* fn, const char* path, int flags, mode_t mode) {
  // A truncating open of a file with contents saves them first.
  if ((flags & O_TRUNC) && !inside) {
    std::string abs = Absolute(path);
    struct stat st;
    if (Wanted(abs) && stat(abs.c_str(), &st) == 0 && st.st_size > 0) {
      std::lock_guard<std::recursive_mutex> lock(Mutex());
      inside = true;
      int rfd = Next<OpenFn>("open")(abs.c_str(), O_RDONLY | O_CLOEXEC);
      if (rfd >= 0) {
        Tracked t{abs, false};
        Remember(t, rfd, 0, static_cast<size_t>(st.st_size));
        Next<CloseFn>("close")(rfd);
      }
      inside = false;
    }
  }
  int fd = Next<OpenFn>(fn)(path, flags, mode);
  return Opened(fd, path, flags);
}

}  // namespace

// The build hides symbols by default; these must replace the C library's.
#define SHIM_EXPORT __attribute__((visibility("default")))

extern "C" {

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
  BeforeWrite(fd, offset, n);
  return Next<PwriteFn>("pwrite")(fd, buf, n, offset);
}

SHIM_EXPORT ssize_t pwrite64(int fd, const void* buf, size_t n, off_t offset) {
  BeforeWrite(fd, offset, n);
  return Next<PwriteFn>("pwrite64")(fd, buf, n, offset);
}

SHIM_EXPORT ssize_t write(int fd, const void* buf, size_t n) {
  BeforeWrite(fd, -1, n);
  return Next<WriteFn>("write")(fd, buf, n);
}

SHIM_EXPORT ssize_t writev(int fd, const struct iovec* iov, int count) {
  size_t n = 0;
  for (int i = 0; i < count; ++i) n += iov[i].iov_len;
  BeforeWrite(fd, -1, n);
  return Next<WritevFn>("writev")(fd, iov, count);
}

SHIM_EXPORT int fsync(int fd) {
  int rc = Next<SyncFn>("fsync")(fd);
  if (rc == 0) {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    Synced(fd);
  }
  return rc;
}

SHIM_EXPORT int fdatasync(int fd) {
  int rc = Next<SyncFn>("fdatasync")(fd);
  if (rc == 0) {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    Synced(fd);
  }
  return rc;
}

}  // extern "C"
