// Every record file this process has open, found again by device and inode, and the
// creation of record files. Not thread-safe by itself: the engine serialises every call.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "enginecore/codec/filespec.h"
#include "enginecore/status.h"
#include "mkde/file_env.h"

namespace mkde {

// Every file this process has open, by device and inode.
class Registry {
 public:
  static Registry& Get();

  // Opens `path` (or finds it open). Returns an engine status; *reason receives a text for
  // statuses whose cause the caller cannot see otherwise (a network file system).
  Result Open(const std::string& path, bool want_write, FileEnv** out, std::string* reason);
  // Drops one open of the file; the environment closes with the last.
  void Release(FileEnv* file);
  // Creates a record file at `path` from a parsed description. `replace` false refuses an
  // existing file (59). Returns an engine status.
  Status Create(const std::string& path, const FileSpec& spec, bool replace, std::string* reason);
  // Lets go of read snapshots no call has used since the previous ReleaseIdle.
  void ReleaseIdle();
  // Rolls the logs that are due a roll (FileEnv::RollIfDue).
  void RollDue();
  // The data files whose log is due a roll, to sync ahead of it without the engine's lock.
  std::vector<std::shared_ptr<LogFd>> PresyncsDue();
  // After fork(): the parent's environments must not be touched; forget them.
  void ForgetAfterFork();
  // The file this process has open with the identity `st` names, or nullptr.
  FileEnv* Find(const struct stat& st) const;

 private:
  std::vector<std::unique_ptr<FileEnv>> files_;
};

}  // namespace mkde
