// Every file this process has open, and the creation of record files.
#include "mkde/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "enginecore/coding.h"
#include "enginecore/include/wbtrv32.h"
#include "mkde/companion.h"
#include "mkde/file_check.h"
#include "mkde/file_env_internal.h"
#include "mkde/file_space.h"
#include "mkde/fs.h"
#include "mkde/lmdb_util.h"
#include "mkde/redo.h"

namespace mkde {

namespace {

// LMDB's meta page: after the 16-byte page header of a 64-bit build, the magic and the
// format version. Checked before LMDB sees a file, so that opening a foreign file never
// turns it into a database.
constexpr uint32_t kLmdbMagic = 0xBEEFC0DE;
constexpr size_t kLmdbMagicOffset = 16;

bool HasLmdbHeader(const std::string& path) {
  int fd = Fs().Open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  uint8_t head[kLmdbMagicOffset + 8];
  ssize_t n = Fs().Pread(fd, head, sizeof head, 0);
  Fs().Close(fd);
  return n == static_cast<ssize_t>(sizeof head) &&
         DecodeFixed32(head + kLmdbMagicOffset) == kLmdbMagic &&
         DecodeFixed32(head + kLmdbMagicOffset + 4) == 1;
}

// statfs of the path (or of its folder when it does not exist yet); answers 94 for a
// network file system, with the reason.
Status CheckFileSystem(const std::string& path, std::string* reason) {
  struct statfs fs;
  if (Fs().Statfs(path.c_str(), &fs) != 0) {
    if (Fs().Statfs(FolderOf(path).c_str(), &fs) != 0)
      return Status::kOk;  // the open or create reports it
  }
  const char* name = nullptr;
  if (IsNetworkFileSystem(static_cast<long>(fs.f_type), &name)) {
    if (reason) {
      *reason = std::string("record files cannot be kept on a network file system (") + name +
                "): its locks do not reach other machines";
    }
    return Status::kPermission;
  }
  return Status::kOk;
}

}  // namespace

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

namespace {
// Recovery of a transaction over several files opens its other files here (redo.h).
Result OpenPartner(const std::string& path, FileEnv** out) {
  return Registry::Get().Open(path, true, out, nullptr);
}
void ReleasePartner(FileEnv* file) { Registry::Get().Release(file); }
}  // namespace

Registry& Registry::Get() {
  static Registry registry;
  static const bool partners = (SetPartnerFiles({&OpenPartner, &ReleasePartner}), true);
  (void)partners;
  return registry;
}

void Registry::ForgetAfterFork() {
  // The parent's environments stay theirs: LMDB handles must not cross a fork, so they are
  // let go without being closed. The gate descriptor is closed: its locks belong to the
  // open file description, which the parent still holds, and a copy kept here would keep
  // them alive after the parent ends.
  for (auto& f : files_) {
    if (f->gate_fd_ >= 0) Fs().Close(f->gate_fd_);
    if (f->log_fd_ >= 0) Fs().Close(f->log_fd_);
    if (f->log_hold_) f->log_hold_->fd = -1;
    (void)f.release();
  }
  files_.clear();
}

Result Registry::Open(const std::string& path, bool want_write, FileEnv** out,
                      std::string* reason) {
  struct stat st;
  if (Fs().Stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return Status::kFileNotFound;
    if (errno == ENAMETOOLONG) return Status::kInvalidFileName;
    return errno == EACCES ? Status::kAccessDenied : Status::kIoError;
  }
  if (S_ISDIR(st.st_mode)) return Status::kInvalidFileName;
  if (!S_ISREG(st.st_mode)) return Status::kNotAFile;
  Result status = CheckFileSystem(path, reason);
  if (status != Status::kOk) return status;

  auto open_here = [&](FileEnv* f) -> Result {
    if (want_write && f->read_only_storage_) return Status::kAccessDenied;
    // A transaction over several files that a crash interrupted is finished (or dropped)
    // before anyone reads the file.
    if (!f->read_only_storage_ && RedoPending(*f)) {
      Result s = RecoverPending(f);
      if (s != Status::kOk) return s;
    }
    *out = f;
    return Status::kOk;
  };
  // A file this process has open that a compact elsewhere replaced is found by its new
  // identity once it has followed.
  for (auto& f : files_) {
    if (f->gate_owner_ == nullptr && f->ReplacedElsewhere()) (void)f->FollowReplacement(false);
  }
  if (FileEnv* f = Find(st)) return open_here(f);
  if (!HasLmdbHeader(path)) return Status::kNotAFile;

  std::unique_ptr<FileEnv> file(new FileEnv);
  file->path_ = path;
  if (!Fs().RealPath(path.c_str(), &file->abs_path_)) file->abs_path_ = path;
  // The gate file's locks come first: they keep this open from meeting an owner change in
  // another process half done, and that process's change from starting once this open has
  // begun (byte 1, held from here on).
  std::string gate = path + "-gate";
  bool made_gate = false;
  file->gate_fd_ = OpenCompanion(path, gate, O_RDWR, true, &made_gate);
  if (file->gate_fd_ < 0 && want_write) return Status::kAccessDenied;
  status = file->LockByte(FileEnv::kOwnerChangeByte, F_RDLCK);
  if (status != Status::kOk) {
    return status == Status::kIncompatibleMode ? Result(Retry::kGateBusy) : status;
  }
  status = file->LockByte(FileEnv::kOpeningByte, F_WRLCK);
  if (status != Status::kOk) {
    return status == Status::kIncompatibleMode ? Result(Retry::kGateBusy) : status;
  }
  status = file->HoldOpen(false);  // another process's exclusive open stands in the way
  if (status != Status::kOk) return status;
  // An owner change that ended just before the locks were taken replaced the file.
  if (Fs().Stat(path.c_str(), &st) != 0) return Status::kFileNotFound;
  if (FileEnv* f = Find(st)) return open_here(f);
  file->dev_ = st.st_dev;
  file->ino_ = st.st_ino;
  // A commit log that no live process uses (no other process has the file open): finished
  // under the gate before anyone reads the file. One in use stays; its users checkpoint it.
  // The gate is not waited for otherwise: another process's transaction may hold it.
  GateHold log_gate;  // let go before `file` ends
  bool replay = false;
  file->MapLogSync();
  if (file->sync_) file->replaced_seen_ = file->sync_->shared().replaced.load();
  // A log that is there but cannot be opened would leave its commits out of the file.
  status = file->OpenLog(false);
  if (status != Status::kOk && status != Status::kFileNotFound) return status;
  uint64_t checkpoint = 0;
  std::string metas, key;
  if (file->log_fd_ >= 0 && file->ReadLogHeader(&checkpoint, &metas, &key) == Status::kOk &&
      file->Alone()) {
    status = log_gate.Take(file.get(), &LogClient());
    if (status != Status::kOk) return status;
    status = file->RestoreFromLog(&replay);  // again: another open may have finished it
    if (status != Status::kOk) return status;
  }
  // LMDB trusts its meta pages: they are checked first, so that a damaged or truncated file
  // is refused with a status rather than read past its end.
  status = CheckMetaPages(path, reason);
  if (status == Status::kOk) status = file->OpenEnv(want_write);
  if (log_gate.held()) {
    if (status == Status::kOk && replay) status = file->ReplayLog();
    log_gate.Release();
  }
  file->UnlockByte(FileEnv::kOpeningByte);
  if (status == Status::kNotAFile && made_gate) RemoveLeftover(gate);  // nothing of ours here
  if (status != Status::kOk) return status;
  if (!file->read_only_storage_ && file->gate_fd_ >= 0) {
    // No owner change runs anywhere while byte 2 is held shared: a rewritten copy left
    // beside the file is a killed one's.
    RemoveLeftover(file->rewrite_path());
    RemoveLeftover(file->rewrite_path() + "-lock");
    if (file->Alone()) ResetRedoSlots(*file);
    if (RedoPending(*file)) {
      status = RecoverPending(file.get());
      if (status != Status::kOk) return status;
    }
  }
  file->UnlockByte(FileEnv::kOwnerChangeByte);
  *out = file.get();
  files_.push_back(std::move(file));
  return Status::kOk;
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

void Registry::RollDue() {
  for (auto& f : files_) f->RollIfDue();
}

std::vector<std::shared_ptr<LogFd>> Registry::PresyncsDue() {
  std::vector<std::shared_ptr<LogFd>> due;
  for (auto& f : files_) {
    if (std::shared_ptr<LogFd> fd = f->PresyncDue()) due.push_back(std::move(fd));
  }
  return due;
}

// Fewer free pages than this are left to the next commits: not worth a sync.
constexpr size_t kGiveBackAtLeast = 64;

void Registry::Release(FileEnv* file) {
  if (--file->open_count > 0) return;
  // The last close here checkpoints the log when this process keeps its checkpoint, or
  // when no other process has the file open, and then removes it.
  // A redo file this process cleared goes the same way.
  if ((file->log_fd_ >= 0 || file->redo_written_ || file->unsynced_) && file->env_ &&
      file->gate_owner_ == nullptr && !file->read_only_storage_) {
    GateHold gate;
    if (gate.Take(file, &LogClient()) == Status::kOk) {
      const bool alone = file->Alone();
      // No log that a recovery would replay onto its checkpoint, whose pages must then stay.
      struct stat log_st;
      bool settled =
          file->log_fd_ < 0 && Fs().Stat(file->log_path().c_str(), &log_st) != 0 && errno == ENOENT;
      if (file->log_fd_ >= 0 && (alone || file->log_active_) && file->Checkpoint() == Status::kOk &&
          alone) {
        RemoveLeftover(file->log_path());
        settled = true;
      }
      if (alone && file->redo_written_) DropClearedRedo(*file);
      // The pages its commits freed go back to the file system, now that no log's checkpoint
      // needs them.
      if (alone && settled && !file->Failed()) {
        // Worth it when the blocks the free pages hold come to a quarter of the file's (and 64
        // pages): a file whose later writes free a little at a time keeps its blocks, rather
        // than have the file system give them again, wherever it finds them, at each session.
        // A close after one that gave them back finds none to give.
        FileSpace space;
        struct stat st;
        bool due =
            ReadFileSpace(file, &space) == Status::kOk && Fs().Stat(file->path().c_str(), &st) == 0;
        if (due) {
          const uint64_t held = static_cast<uint64_t>(st.st_blocks) * 512;
          const uint64_t needed = (space.used_pages - space.free_pages) * space.page_size;
          due = held > needed &&
                held - needed >= std::max<uint64_t>(kGiveBackAtLeast * space.page_size, held / 4);
        }
        if (due && file->unsynced_) {
          // Both meta pages on disk first: an accelerated commit leaves its own unsynced.
          if (Fs().EnvSync(file->env_, 1) == 0) {
            file->unsynced_ = false;
          } else {
            file->failed_ = true;
          }
        }
        if (due && !file->unsynced_ && !file->failed_) GiveBack(file, PagesToGiveBack(file));
      }
    }
  }
  for (auto it = files_.begin(); it != files_.end(); ++it) {
    if (it->get() == file) {
      files_.erase(it);
      return;
    }
  }
}

Status Registry::Create(const std::string& path, const FileSpec& spec, bool replace,
                        std::string* reason) {
  Status status = CheckFileSystem(path, reason);
  if (status != Status::kOk) return status;
  struct stat st;
  if (Fs().Stat(path.c_str(), &st) == 0) {
    if (!replace) return Status::kFileExists;
    if (!S_ISREG(st.st_mode)) return Status::kInvalidFileName;
    for (auto& f : files_) {
      if (f->dev_ == st.st_dev && f->ino_ == st.st_ino) return Status::kFileInUse;
    }
    // Another process that has the file open holds a shared lock on LMDB's lock file.
    std::string lock = path + "-lock";
    int fd = Fs().Open(lock.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd >= 0) {
      struct flock fl = ByteLock(F_WRLCK, 0);
      const int looked = Fs().Lock(fd, F_OFD_GETLK, &fl);
      Fs().Close(fd);
      // A look that failed cannot tell that nobody has the file open: it stays as it is.
      if (looked != 0) return Status::kCannotCreate;
      if (fl.l_type != F_UNLCK) return Status::kFileInUse;
    }
  } else if (errno != ENOENT) {
    return errno == ENAMETOOLONG || errno == ENOTDIR ? Status::kInvalidFileName
                                                     : Status::kCannotCreate;
  }

  // Built under a temporary name and renamed into place, so that a crash never leaves
  // half a file under the caller's name.
  std::string temp = path + ".new-XXXXXX";
  int fd = Fs().MakeTemp(temp.data());
  if (fd < 0) return Status::kCannotCreate;
  Fs().Close(fd);
  std::string temp_lock = temp + "-lock";
  auto fail = [&](Status s) {
    RemoveLeftover(temp);
    RemoveLeftover(temp_lock);
    return s;
  };
  MDB_env* env = nullptr;
  if (mdb_env_create(&env) != 0) return fail(Status::kCannotCreate);
  mdb_env_set_maxdbs(env, kMaxDbs);
  mdb_env_set_mapsize(env, size_t{1} << 20);
  int rc = Fs().EnvOpen(env, temp.c_str(), MDB_NOSUBDIR | MDB_NOTLS, 0600);
  LmdbTxn txn;  // ended before `env` closes
  if (rc == 0) rc = txn.Begin(env, 0);
  if (rc == 0) {
    MDB_dbi meta, records, key;
    rc = mdb_dbi_open(txn.get(), kMetaDb, MDB_CREATE, &meta);
    if (rc == 0) rc = mdb_dbi_open(txn.get(), kRecordsDb, MDB_CREATE, &records);
    for (size_t i = 0; rc == 0 && i < spec.keys.size(); ++i) {
      rc = mdb_dbi_open(txn.get(), KeyDbName(i).c_str(), MDB_CREATE, &key);
    }
    Counters counters;
    counters.unique_values.assign(spec.keys.size(), 0);
    counters.autoincrement_high.assign(spec.keys.size(), 0);
    std::string encoded_spec = EncodeFileSpec(spec);
    std::string encoded_counters = counters.Encode();
    auto put = [&](const char* name, const std::string& value) {
      MDB_val k{std::strlen(name), const_cast<char*>(name)};
      MDB_val v{value.size(), const_cast<char*>(value.data())};
      return mdb_put(txn.get(), meta, &k, &v, 0);
    };
    if (rc == 0) rc = put(kMetaFormat, kFormatTag);
    if (rc == 0) rc = put(kMetaSpec, encoded_spec);
    if (rc == 0) rc = put(kMetaCounters, encoded_counters);
    if (rc == 0) {
      rc = txn.Commit();
    } else {
      txn.Abort();
    }
  }
  mdb_env_close(env);
  if (rc != 0)
    return fail(rc == ENOSPC || rc == MDB_MAP_FULL ? Status::kDiskFull : Status::kCannotCreate);
  // The old file's reader table (unused, checked above), unfinished commit and commit log are
  // no business of the new file: one left behind would be taken up by its next open.
  std::vector<std::string> companions = {"-lock", "-log"};
  for (int slot = 0; slot < kRedoSlots; ++slot) {
    companions.push_back("-redo" + (slot > 0 ? std::to_string(slot) : std::string()));
  }
  for (const std::string& companion : companions) {
    if (Fs().Unlink((path + companion).c_str()) != 0 && errno != ENOENT) {
      return fail(Status::kCannotCreate);
    }
  }
  if (Fs().Rename(temp.c_str(), path.c_str()) != 0) return fail(Status::kCannotCreate);
  RemoveLeftover(temp_lock);
  // In place, but not yet for certain on disk.
  return SyncFolder(FolderOf(path));
}

}  // namespace mkde
