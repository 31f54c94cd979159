// The file-system seam: every open, read, write, sync, rename, unlink and truncate of the
// engine's own files (the gate file, the commit log, redo files, the data file's meta pages,
// folder syncs), every look at a path (stat, statfs, realpath), every change of a file's
// owner or mode, every byte-range lock, shared mapping and futex, and every call into LMDB
// that writes or syncs, goes through the one FileSystem installed in the process. The
// default passes each call straight on; a test installs one that fails the Nth call, cuts a
// write short, or ends the process at a named moment.
//
// The system calls keep their own conventions (-1 and errno on failure; Map answers
// MAP_FAILED); the LMDB calls return LMDB's error codes. Every result is looked at, but
// those of Close, Unmap and the futex calls: the descriptor or mapping is gone either way
// (whatever had to reach the disk was synced before), and every futex wait is a bounded
// sleep whose caller looks at the word again, however it ended. Not thread-safe to replace:
// install before the engine runs.
#pragma once

#include <fcntl.h>
#include <lmdb.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <string>

namespace mkde {

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  [[nodiscard]] virtual int Open(const char* path, int flags, mode_t mode = 0);
  virtual int Close(int fd);
  [[nodiscard]] virtual ssize_t Read(int fd, void* buf, size_t n);
  [[nodiscard]] virtual ssize_t Pread(int fd, void* buf, size_t n, off_t at);
  [[nodiscard]] virtual ssize_t Write(int fd, const void* buf, size_t n);
  [[nodiscard]] virtual ssize_t Pwrite(int fd, const void* buf, size_t n, off_t at);
  [[nodiscard]] virtual int Fsync(int fd);
  [[nodiscard]] virtual int Fdatasync(int fd);
  // Fdatasync of each of `n` files, every one tried whatever the others answer. errors[i]: 0,
  // or the errno of fds[i]'s failed sync. The default syncs them in turn through Fdatasync:
  // syncs run side by side made this disk flush more often, not sooner.
  virtual void FdatasyncAll(const int* fds, int* errors, size_t n);
  // Starts writing the file's bytes [at, at + n) to the disk and returns without waiting:
  // no promise that they got there (only a sync makes one), just a head start for the sync
  // that follows.
  [[nodiscard]] virtual int StartWrite(int fd, off_t at, off_t n);
  // Writes every changed byte of the file to the disk and waits until the disk took them,
  // without a flush of the disk's cache and without the file's metadata (a sync of any file
  // on the same disk flushes them to stable storage after it).
  [[nodiscard]] virtual int WriteBack(int fd);
  [[nodiscard]] virtual int Ftruncate(int fd, off_t size);
  // Gives the blocks of the file's bytes [at, at + n) back to the file system, the file's
  // length kept: they read as zeros until written again.
  [[nodiscard]] virtual int PunchHole(int fd, off_t at, off_t n);
  [[nodiscard]] virtual int Fstat(int fd, struct stat* st);
  [[nodiscard]] virtual int Rename(const char* from, const char* to);
  [[nodiscard]] virtual int Unlink(const char* path);
  // Makes and opens a private file of a fresh name: the last six characters of `name`,
  // XXXXXX, replaced by the name made (mkstemp).
  [[nodiscard]] virtual int MakeTemp(char* name);

  // Paths as the caller names them, links followed.
  [[nodiscard]] virtual int Stat(const char* path, struct stat* st);
  [[nodiscard]] virtual int Statfs(const char* path, struct statfs* st);
  // The path made absolute, every link resolved. False with errno set.
  [[nodiscard]] virtual bool RealPath(const char* path, std::string* out);
  // Owner and mode: of a companion through its descriptor, of a compact's copy by its path.
  [[nodiscard]] virtual int Fchown(int fd, uid_t uid, gid_t gid);
  [[nodiscard]] virtual int Fchmod(int fd, mode_t mode);
  [[nodiscard]] virtual int Chown(const char* path, uid_t uid, gid_t gid);
  [[nodiscard]] virtual int Chmod(const char* path, mode_t mode);

  // Open-file-description byte-range locks: `cmd` F_OFD_SETLK or F_OFD_GETLK. Never the
  // waiting form: the engine's waits are its own, each with a bound. Letting go (F_UNLCK) of
  // a lock on a descriptor held open is always granted; LetGoLock says so.
  [[nodiscard]] virtual int Lock(int fd, int cmd, struct flock* lock);
  // A shared mapping of the first `size` bytes of the file, for reading and writing, and its
  // end.
  [[nodiscard]] virtual void* Map(int fd, size_t size);
  virtual int Unmap(void* at, size_t size);
  // The futex of a 32-bit word in a shared mapping: Wait sleeps while the word holds
  // `expected`, at most `timeout`, or until a Wake on it (or for no reason: the caller looks
  // again); Wake wakes every sleeper on it.
  virtual int FutexWait(uint32_t* word, uint32_t expected, const struct timespec* timeout);
  virtual int FutexWake(uint32_t* word);

  // LMDB's own writes and syncs.
  [[nodiscard]] virtual int EnvOpen(MDB_env* env, const char* path, unsigned flags,
                                    mdb_mode_t mode);
  [[nodiscard]] virtual int TxnCommit(MDB_txn* txn);
  [[nodiscard]] virtual int EnvSync(MDB_env* env, int force);

  // A named moment of a commit that a crash test may end the process at: "claimed" (the redo
  // slots of a transaction over several files claimed, nothing written), "prepared" (every
  // redo file of a transaction over several files written, nothing committed),
  // "committed-1" (the first file committed), "committed" (every file committed, the redo
  // files still there), "released" (its gates let go, its logs not yet waited for),
  // "owner-copied" (an owner change's sealed copy written, not yet in
  // place), "compact-copied" (a compact's copy written, not yet in place). The default does
  // nothing.
  virtual void Reached(const char* moment);
};

// The file system the engine uses.
FileSystem& Fs();
// Installs `fs` (nullptr: the default) and returns the one it replaces. For tests.
FileSystem* InstallFileSystem(FileSystem* fs);

// Writes all of `n` bytes at `at`, through short writes and interruptions. Returns false
// with errno set on a failure (ENOSPC when the file system took no byte).
[[nodiscard]] bool WriteAllAt(int fd, const void* buf, size_t n, off_t at);

// Removes a file the engine no longer needs where one left behind does no harm: a
// temporary copy, a companion of a file that is gone, a redo file of a transaction that is
// finished (the next open or write that finds it removes it again). Through Fs().
void RemoveLeftover(const std::string& path);

// A lock of type `type` (F_RDLCK, F_WRLCK, F_UNLCK) on one byte of a lock file, for
// F_OFD_SETLK, F_OFD_SETLKW and F_OFD_GETLK.
inline struct flock ByteLock(short type, off_t byte) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  return fl;
}

// Lets go of the lock on one byte of a lock file: always granted (see FileSystem::Lock).
inline void LetGoLock(int fd, off_t byte) {
  struct flock fl = ByteLock(F_UNLCK, byte);
  static_cast<void>(Fs().Lock(fd, F_OFD_SETLK, &fl));
}

}  // namespace mkde
