// A record file put in its place by another process (a compact) while this one keeps it open:
// the swap marked in the gate file's shared page, and each process's environment taken up
// again on the new file before it reads a later commit or writes.
#include <sys/stat.h>

#include "mkde/file_env.h"
#include "mkde/fs.h"

namespace mkde {

void FileEnv::MarkReplacing(bool begin) {
  if (!sync_) return;
  std::atomic<uint64_t>& replaced = sync_->shared().replaced;
  const uint64_t now = replaced.load();
  // Odd while under way; a count left odd by a compact that died is passed over.
  replaced.store(begin ? (now | 1) + ((now & 1) ? 2 : 0) : (now | 1) + 1);
  replaced_seen_ = replaced.load();
}

Status FileEnv::FollowReplacement(bool gate_held) {
  if (!sync_ || !env_) return Status::kOk;
  std::atomic<uint64_t>& replaced = sync_->shared().replaced;
  // The count is read before the path: a swap that ends after this read moves it again, and is
  // followed at the next look, even when this look already found its file.
  const uint64_t now = replaced.load();
  const bool under_way = (now & 1) != 0;
  // A swap under way holds the gate: until its rename the old file is whole, and the new one
  // holds the same state. Followed once it is done. With the gate held here, the process that
  // marked it died, before or after its rename: the path says which.
  if (under_way && !gate_held) return Status::kOk;
  struct stat st;
  if (::stat(path_.c_str(), &st) != 0) return Status::kIoError;
  if (!Is(st.st_dev, st.st_ino)) {
    // The rename on disk before anything is built on the new file: its process may have died
    // before it synced the folder.
    if (SyncFolder(FolderOf(path_)) != Status::kOk) return Status::kIoError;
    DropSnapshot();
    DropLogReader();
    failed_ = failed_ || (data_fd_ && data_fd_->failed.load());  // kept past the descriptor
    data_fd_.reset();
    mdb_env_close(env_);
    env_ = nullptr;
    Status status = OpenEnv(!read_only_storage_);
    if (status != Status::kOk) {
      if (env_) mdb_env_close(env_);
      env_ = nullptr;  // every call on the file answers 2 from now on
      return status;
    }
    // The file the environment has, which a swap after the look above may have made another.
    mdb_filehandle_t fd;
    if (mdb_env_get_fd(env_, &fd) == 0 && Fs().Fstat(fd, &st) != 0) return Status::kIoError;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
  }
  uint64_t seen = now;
  if (under_way) {
    uint64_t expected = now;
    if (replaced.compare_exchange_strong(expected, now + 1)) seen = now + 1;
  }
  replaced_seen_ = seen;
  return Status::kOk;
}

}  // namespace mkde
