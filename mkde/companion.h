// The files the engine keeps beside a record file (its gate, commit log, redo slots, LMDB's
// lock file, an owner change's sealed copy) and the shared files it maps: none is ever
// opened through a symbolic link, and none is ever more open than the record file.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace mkde {

// Opens the companion `path` of the record file `record` with `flags` (O_RDWR or O_WRONLY,
// O_CLOEXEC is added), never through a link. With `create` a missing one is made: private
// at first (0600), then given the record file's permission bits (and its owner and group
// where the process may set them), so that it is never more open than the record file. An
// existing one must be a regular file; one of this user's that is more open than that (an
// earlier version made them 0644) loses the extra bits. Returns the descriptor, or -1 with
// errno set (ELOOP for a link or anything else that is not a regular file). *created: the
// file is new.
int OpenCompanion(const std::string& record, const std::string& path, int flags, bool create,
                  bool* created = nullptr);

// Gives the file behind `fd` the permission bits, owner and group of `record` (a stat of the
// record file). The owner and group go as far as the process may set them: a refusal
// (EPERM) leaves them the process's own. False when the permission bits could not be set.
bool MatchRecordFile(int fd, const struct stat& record);

// The permission bits a companion of a record file with mode `mode` takes: the record
// file's, but that its owner always reads and writes it (the engine locks and maps its
// companions, also for a record file its owner may only read). Nobody else gains anything.
inline mode_t CompanionMode(mode_t mode) { return (mode & 0777) | 0600; }

}  // namespace mkde
