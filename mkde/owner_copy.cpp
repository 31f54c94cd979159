// An owner change: the file to itself, a copy of it with every record transformed, and the
// copy put in the file's place.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "mkde/file_env.h"
#include "mkde/file_env_internal.h"
#include "mkde/include/wbtrv32.h"
#include "mkde/lmdb_util.h"

namespace mkde {

namespace {

// A copy's transform leaves the entry out.
constexpr int kStatusSkip = -3;

}  // namespace

int FileEnv::WriteCopy(const std::string& temp, const RecordTransform& transform,
                       const std::string* owner_value) {
  Fs().Unlink(temp.c_str());
  Fs().Unlink((temp + "-lock").c_str());
  MDB_envinfo info;
  MDB_stat st;
  mdb_env_info(env_, &info);
  mdb_env_stat(env_, &st);
  LmdbTxn from;
  int rc = from.Begin(env_, MDB_RDONLY);
  if (rc != 0) return LmdbStatus(rc);
  MDB_stat records;
  mdb_stat(from.get(), records_, &records);
  // Room for everything as it is, each record's seal, and slack: the map is sparse.
  size_t used = (info.me_last_pgno + 1) * st.ms_psize;
  size_t map = 2 * used + records.ms_entries * 128 + kInitialMapSize;
  MDB_env* out = nullptr;
  LmdbTxn to;  // ended before `out` closes
  rc = mdb_env_create(&out);
  if (rc == 0) {
    mdb_env_set_maxdbs(out, kMaxDbs);
    mdb_env_set_mapsize(out, map);
    rc = Fs().EnvOpen(out, temp.c_str(), MDB_NOSUBDIR | MDB_NOTLS | MDB_NOSYNC, 0644);
  }
  if (rc == 0) rc = to.Begin(out, 0);
  int status = rc == 0 ? BTR_OK : LmdbStatus(rc);
  // Copies one database's entries in order, each through `each` (nullptr: as it is).
  auto copy = [&](MDB_dbi dbi, const char* name,
                  const std::function<int(MDB_val*, MDB_val*, std::string*)>& each) {
    MDB_dbi target;
    int r = mdb_dbi_open(to.get(), name, MDB_CREATE, &target);
    if (r != 0) return LmdbStatus(r);
    MDB_cursor* c;
    r = mdb_cursor_open(from.get(), dbi, &c);
    if (r != 0) return LmdbStatus(r);
    MDB_val k, v;
    std::string room;
    int s = BTR_OK;
    for (r = mdb_cursor_get(c, &k, &v, MDB_FIRST); r == 0 && s == BTR_OK;
         r = mdb_cursor_get(c, &k, &v, MDB_NEXT)) {
      if (each) {
        s = each(&k, &v, &room);
        if (s == kStatusSkip) {
          s = BTR_OK;
          continue;
        }
        if (s != BTR_OK) break;
      }
      int p = mdb_put(to.get(), target, &k, &v, MDB_APPEND);
      if (p != 0) s = LmdbStatus(p);
    }
    mdb_cursor_close(c);
    if (s != BTR_OK) return s;
    return r == MDB_NOTFOUND ? BTR_OK : LmdbStatus(r);
  };
  const std::string owner_name = kMetaOwner;
  if (status == BTR_OK) {
    status = copy(meta_, kMetaDb, [&](MDB_val* k, MDB_val* v, std::string*) {
      bool owner = View(*k) == owner_name;
      if (owner && !owner_value) return kStatusSkip;
      if (owner) *v = Val(*owner_value);
      return int{BTR_OK};
    });
  }
  if (status == BTR_OK && owner_value) {
    // Written again, or for the first time: the copy has its owner record either way.
    MDB_dbi meta;
    MDB_val k = Val(std::string_view(owner_name)), v = Val(*owner_value);
    rc = mdb_dbi_open(to.get(), kMetaDb, 0, &meta);
    if (rc == 0) rc = mdb_put(to.get(), meta, &k, &v, 0);
    status = LmdbStatus(rc);
  }
  if (status == BTR_OK) {
    status = copy(records_, kRecordsDb, [&](MDB_val* k, MDB_val* v, std::string* room) {
      int s = transform(*k, *v, room);
      *v = Val(*room);
      return s;
    });
  }
  for (size_t i = 0; status == BTR_OK && i < keys_.size(); ++i) {
    status = copy(keys_[i], KeyDbName(i).c_str(), nullptr);
  }
  from.Abort();
  if (to.get()) {
    if (status == BTR_OK) {
      status = LmdbStatus(to.Commit());
    } else {
      to.Abort();
    }
  }
  if (status == BTR_OK) status = LmdbStatus(Fs().EnvSync(out, 1));
  if (out) mdb_env_close(out);
  Fs().Unlink((temp + "-lock").c_str());
  if (status != BTR_OK) {
    Fs().Unlink(temp.c_str());
    return status == kStatusMapFull ? BTR_DISK_FULL : status;
  }
  return BTR_OK;
}

int FileEnv::Replace(const std::string& temp) {
  DropSnapshot();
  mdb_env_close(env_);
  env_ = nullptr;
  // The rename is the one step: before it the old file is whole, after it the new one.
  int status = BTR_OK;
  if (Fs().Rename(temp.c_str(), path_.c_str()) != 0) {
    Fs().Unlink(temp.c_str());
    status = BTR_IO_ERROR;
  } else if (SyncFolder(FolderOf(path_)) != BTR_OK) {
    // The new file is in place but the rename may not be on disk: no later write may build
    // on it as though it were.
    status = BTR_IO_ERROR;
  }
  int reopened = OpenEnv(true);
  if (reopened != BTR_OK) {
    if (env_) mdb_env_close(env_);
    env_ = nullptr;  // every call on the file answers 2 from now on
    return reopened;
  }
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0) {
    dev_ = st.st_dev;
    ino_ = st.st_ino;
  }
  if (status == BTR_IO_ERROR) failed_ = true;
  return status;
}

int FileEnv::BeginOwnerChange() {
  if (LockByte(kOwnerChangeByte, F_WRLCK) != BTR_OK) return BTR_FILE_IN_USE;
  // This process's own shared lock on byte 1 does not stand in the way of its own upgrade;
  // any other process's does.
  if (HoldOpen(true) != BTR_OK) {
    LockByte(kOwnerChangeByte, F_UNLCK);
    return BTR_FILE_IN_USE;
  }
  // The change rewrites or replaces the file: the log is emptied before.
  int status = Checkpoint();
  if (status != BTR_OK) {
    EndOwnerChange();
    return status;
  }
  return BTR_OK;
}

void FileEnv::EndOwnerChange() {
  if (exclusive_owner == nullptr) HoldOpen(false);
  LockByte(kOwnerChangeByte, F_UNLCK);
}

}  // namespace mkde
