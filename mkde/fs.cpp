#include "mkde/fs.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace mkde {

int FileSystem::Open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int FileSystem::Close(int fd) { return ::close(fd); }
ssize_t FileSystem::Read(int fd, void* buf, size_t n) { return ::read(fd, buf, n); }
ssize_t FileSystem::Pread(int fd, void* buf, size_t n, off_t at) { return ::pread(fd, buf, n, at); }
ssize_t FileSystem::Write(int fd, const void* buf, size_t n) { return ::write(fd, buf, n); }
ssize_t FileSystem::Pwrite(int fd, const void* buf, size_t n, off_t at) {
  return ::pwrite(fd, buf, n, at);
}
int FileSystem::Fsync(int fd) { return ::fsync(fd); }
int FileSystem::Fdatasync(int fd) { return ::fdatasync(fd); }
void FileSystem::FdatasyncAll(const int* fds, int* errors, size_t n) {
  for (size_t i = 0; i < n; ++i) errors[i] = Fdatasync(fds[i]) == 0 ? 0 : errno;
}
int FileSystem::StartWrite(int fd, off_t at, off_t n) {
  return ::sync_file_range(fd, at, n, SYNC_FILE_RANGE_WRITE);
}
int FileSystem::WriteBack(int fd) {
  return ::sync_file_range(
      fd, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
}
int FileSystem::Ftruncate(int fd, off_t size) { return ::ftruncate(fd, size); }
int FileSystem::PunchHole(int fd, off_t at, off_t n) {
  return ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, at, n);
}
int FileSystem::Fstat(int fd, struct stat* st) { return ::fstat(fd, st); }
int FileSystem::Rename(const char* from, const char* to) { return ::rename(from, to); }
int FileSystem::Unlink(const char* path) { return ::unlink(path); }
int FileSystem::MakeTemp(char* name) { return ::mkstemp(name); }
int FileSystem::Stat(const char* path, struct stat* st) { return ::stat(path, st); }
int FileSystem::Statfs(const char* path, struct statfs* st) { return ::statfs(path, st); }
bool FileSystem::RealPath(const char* path, std::string* out) {
  char* real = ::realpath(path, nullptr);
  if (real == nullptr) return false;
  out->assign(real);
  std::free(real);
  return true;
}
int FileSystem::Fchown(int fd, uid_t uid, gid_t gid) { return ::fchown(fd, uid, gid); }
int FileSystem::Fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }
int FileSystem::Chown(const char* path, uid_t uid, gid_t gid) { return ::chown(path, uid, gid); }
int FileSystem::Chmod(const char* path, mode_t mode) { return ::chmod(path, mode); }
int FileSystem::Lock(int fd, int cmd, struct flock* lock) { return ::fcntl(fd, cmd, lock); }
void* FileSystem::Map(int fd, size_t size) {
  return ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
}
int FileSystem::Unmap(void* at, size_t size) { return ::munmap(at, size); }
int FileSystem::FutexWait(uint32_t* word, uint32_t expected, const struct timespec* timeout) {
  return static_cast<int>(::syscall(SYS_futex, word, FUTEX_WAIT, expected, timeout, nullptr, 0));
}
int FileSystem::FutexWake(uint32_t* word) {
  return static_cast<int>(::syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0));
}
int FileSystem::EnvOpen(MDB_env* env, const char* path, unsigned flags, mdb_mode_t mode) {
  return mdb_env_open(env, path, flags, mode);
}
int FileSystem::TxnCommit(MDB_txn* txn) { return mdb_txn_commit(txn); }
int FileSystem::EnvSync(MDB_env* env, int force) { return mdb_env_sync(env, force); }
void FileSystem::Reached(const char*) {}

namespace {

// Never destroyed: the engine's destructor (library unload, process exit) still syncs, closes
// and wakes its thread through it, after statics made later than the engine are gone.
FileSystem& Default() {
  static FileSystem* fs = new FileSystem;
  return *fs;
}

FileSystem* installed = nullptr;

}  // namespace

FileSystem& Fs() { return installed ? *installed : Default(); }

FileSystem* InstallFileSystem(FileSystem* fs) {
  FileSystem* before = installed;
  installed = fs;
  return before;
}

void RemoveLeftover(const std::string& path) {
  // The one result the engine lets go: a leftover that will not go only costs room until a
  // later open or write removes it.
  static_cast<void>(Fs().Unlink(path.c_str()));
}

bool WriteAllAt(int fd, const void* buf, size_t n, off_t at) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    ssize_t w = Fs().Pwrite(fd, p, n, at);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return false;
    if (w == 0) {
      errno = ENOSPC;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
    at += w;
  }
  return true;
}

}  // namespace mkde
