#include "mkde/companion.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "mkde/fs.h"

namespace mkde {

bool MatchRecordFile(int fd, const struct stat& record) {
  struct stat st;
  if (Fs().Fstat(fd, &st) != 0) return false;
  if (st.st_uid != record.st_uid || st.st_gid != record.st_gid) {
    // The owner only as root; the group also as one of its members, so that the others
    // who share the record file through it share its companions too.
    if (Fs().Fchown(fd, record.st_uid, record.st_gid) != 0 &&
        (errno != EPERM ||
         (Fs().Fchown(fd, static_cast<uid_t>(-1), record.st_gid) != 0 && errno != EPERM))) {
      return false;
    }
  }
  // After the owner: a change of owner may clear set-id bits, which a companion never has.
  return (st.st_mode & 0777) == CompanionMode(record.st_mode) ||
         Fs().Fchmod(fd, CompanionMode(record.st_mode)) == 0;
}

int OpenCompanion(const std::string& record, const std::string& path, int flags, bool create,
                  bool* created) {
  if (created) *created = false;
  // Nonblocking: an open of a fifo planted under the name must not hang.
  flags |= O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
  for (int round = 0; round < 2; ++round) {
    int fd = Fs().Open(path.c_str(), flags);
    if (fd >= 0) {
      struct stat st;
      if (Fs().Fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        Fs().Close(fd);
        errno = ELOOP;
        return -1;
      }
      struct stat rec;
      if (st.st_uid == ::geteuid() && Fs().Stat(record.c_str(), &rec) == 0 &&
          (st.st_mode & 0777 & ~CompanionMode(rec.st_mode)) != 0) {
        (void)Fs().Fchmod(fd, st.st_mode & 0777 & CompanionMode(rec.st_mode));
      }
      return fd;
    }
    if (errno != ENOENT || !create) return -1;
    fd = Fs().Open(path.c_str(), flags | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;  // another process made it at the same moment
      return -1;
    }
    struct stat rec;
    if (Fs().Stat(record.c_str(), &rec) != 0 || !MatchRecordFile(fd, rec)) {
      const int err = errno;
      Fs().Close(fd);
      RemoveLeftover(path);
      errno = err;
      return -1;
    }
    if (created) *created = true;
    return fd;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace mkde
