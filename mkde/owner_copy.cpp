// An owner change: the file to itself, a copy of it with every record transformed, and the
// copy put in the file's place.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "enginecore/include/wbtrv32.h"
#include "mkde/companion.h"
#include "mkde/file_env.h"
#include "mkde/file_env_internal.h"
#include "mkde/lmdb_util.h"

namespace mkde {

Status FileEnv::WriteCopy(const std::string& temp, const RecordTransform& transform,
                          const std::string* owner_value) {
  // A copy left there by a killed change must go: the new one is not written over it.
  for (const std::string& old : {temp, temp + "-lock"}) {
    if (Fs().Unlink(old.c_str()) != 0 && errno != ENOENT) return Status::kIoError;
  }
  MDB_envinfo info;
  MDB_stat st;
  mdb_env_info(env_, &info);
  mdb_env_stat(env_, &st);
  LmdbTxn from;
  int rc = from.Begin(env_, MDB_RDONLY);
  if (rc != 0) return LmdbStatus(rc);
  MDB_stat records;
  rc = mdb_stat(from.get(), records_, &records);
  if (rc != 0) return LmdbStatus(rc);
  // Room for everything as it is, each record's seal, and slack: the map is sparse.
  size_t used = (info.me_last_pgno + 1) * st.ms_psize;
  size_t map = 2 * used + records.ms_entries * 128 + kInitialMapSize;
  MDB_env* out = nullptr;
  LmdbTxn to;  // ended before `out` closes
  rc = mdb_env_create(&out);
  if (rc == 0) {
    mdb_env_set_maxdbs(out, kMaxDbs);
    mdb_env_set_mapsize(out, map);
    // Made first, as the record file is (its mode and owner): the copy takes its place.
    int fd = OpenCompanion(path_, temp, O_RDWR, true);
    if (fd < 0) {
      rc = errno;
    } else {
      Fs().Close(fd);
      rc = Fs().EnvOpen(out, temp.c_str(), MDB_NOSUBDIR | MDB_NOTLS | MDB_NOSYNC, 0600);
    }
  }
  if (rc == 0) rc = to.Begin(out, 0);
  Result status = LmdbResult(rc);
  // Copies one database's entries in order, each through `each` (nullptr: as it is), which
  // may clear *keep to leave the entry out.
  auto copy = [&](MDB_dbi dbi, const char* name,
                  const std::function<Status(MDB_val*, MDB_val*, std::string*, bool* keep)>& each)
      -> Result {
    MDB_dbi target;
    int r = mdb_dbi_open(to.get(), name, MDB_CREATE, &target);
    if (r != 0) return LmdbResult(r);
    MDB_cursor* c;
    r = mdb_cursor_open(from.get(), dbi, &c);
    if (r != 0) return LmdbResult(r);
    MDB_val k, v;
    std::string room;
    Result s = Status::kOk;
    for (r = mdb_cursor_get(c, &k, &v, MDB_FIRST); r == 0 && s == Status::kOk;
         r = mdb_cursor_get(c, &k, &v, MDB_NEXT)) {
      if (each) {
        bool keep = true;
        s = each(&k, &v, &room, &keep);
        if (s != Status::kOk) break;
        if (!keep) continue;
      }
      int p = mdb_put(to.get(), target, &k, &v, MDB_APPEND);
      if (p != 0) s = LmdbResult(p);
    }
    mdb_cursor_close(c);
    if (s != Status::kOk) return s;
    return r == MDB_NOTFOUND ? Status::kOk : LmdbResult(r);
  };
  const std::string owner_name = kMetaOwner;
  if (status == Status::kOk) {
    status = copy(meta_, kMetaDb, [&](MDB_val* k, MDB_val* v, std::string*, bool* keep) {
      bool owner = View(*k) == owner_name;
      if (owner && !owner_value) {
        *keep = false;
      } else if (owner) {
        *v = Val(*owner_value);
      }
      return Status::kOk;
    });
  }
  if (status == Status::kOk && owner_value) {
    // Written again, or for the first time: the copy has its owner record either way.
    MDB_dbi meta;
    MDB_val k = Val(std::string_view(owner_name)), v = Val(*owner_value);
    rc = mdb_dbi_open(to.get(), kMetaDb, 0, &meta);
    if (rc == 0) rc = mdb_put(to.get(), meta, &k, &v, 0);
    status = LmdbResult(rc);
  }
  if (status == Status::kOk) {
    status = copy(records_, kRecordsDb, [&](MDB_val* k, MDB_val* v, std::string* room, bool*) {
      Status s = transform(*k, *v, room);
      *v = Val(*room);
      return s;
    });
  }
  for (size_t i = 0; status == Status::kOk && i < keys_.size(); ++i) {
    status = copy(keys_[i], KeyDbName(i).c_str(), nullptr);
  }
  from.Abort();
  if (to.get()) {
    if (status == Status::kOk) {
      status = LmdbResult(to.Commit());
    } else {
      to.Abort();
    }
  }
  if (status == Status::kOk) status = LmdbResult(Fs().EnvSync(out, 1));
  if (out) mdb_env_close(out);
  RemoveLeftover(temp + "-lock");
  if (status != Status::kOk) {
    RemoveLeftover(temp);
    return status.Settle();
  }
  return Status::kOk;
}

Status FileEnv::Replace(const std::string& temp) {
  DropSnapshot();
  mdb_env_close(env_);
  env_ = nullptr;
  failed_ = failed_ || (data_fd_ && data_fd_->failed.load());  // kept past the descriptor
  data_fd_.reset();
  // The rename is the one step: before it the old file is whole, after it the new one.
  Status status = Status::kOk;
  if (Fs().Rename(temp.c_str(), path_.c_str()) != 0) {
    RemoveLeftover(temp);
    status = Status::kIoError;
  } else if (SyncFolder(FolderOf(path_)) != Status::kOk) {
    // The new file is in place but the rename may not be on disk: no later write may build
    // on it as though it were.
    status = Status::kIoError;
  }
  Status reopened = OpenEnv(true);
  if (reopened != Status::kOk) {
    if (env_) mdb_env_close(env_);
    env_ = nullptr;  // every call on the file answers 2 from now on
    return reopened;
  }
  struct stat st;
  if (Fs().Stat(path_.c_str(), &st) == 0) {
    dev_ = st.st_dev;
    ino_ = st.st_ino;
  }
  if (status == Status::kIoError) failed_ = true;
  return status;
}

Status FileEnv::BeginOwnerChange() {
  if (LockByte(kOwnerChangeByte, F_WRLCK) != Status::kOk) return Status::kFileInUse;
  // This process's own shared lock on byte 1 does not stand in the way of its own upgrade;
  // any other process's does.
  if (HoldOpen(true) != Status::kOk) {
    UnlockByte(kOwnerChangeByte);
    return Status::kFileInUse;
  }
  // The change rewrites or replaces the file: the log is emptied before.
  Status status = Checkpoint();
  if (status != Status::kOk) {
    EndOwnerChange();
    return status;
  }
  return Status::kOk;
}

void FileEnv::EndOwnerChange() {
  if (exclusive_owner == nullptr) ShareOpen();
  UnlockByte(kOwnerChangeByte);
}

}  // namespace mkde
