// Compact: a file rewritten into its smallest form. Its trees are copied entry by entry into a
// new file, packed as a bulk load packs them and without the free pages of the old one, which
// is put in the file's place by one rename, the way an owner change puts its sealed copy.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "enginecore/include/wbtrv32.h"
#include "mkde/engine.h"
#include "mkde/fs.h"
#include "mkde/redo.h"

namespace mkde {

namespace {

// The copy gets the file's mode and owner before it takes the file's place: a compact never
// opens a file to more readers, nor hands it to another user. Returns a status.
Status TakeModeAndOwner(const std::string& file, const std::string& copy) {
  struct stat was, now;
  if (Fs().Stat(file.c_str(), &was) != 0 || Fs().Stat(copy.c_str(), &now) != 0) {
    return Status::kIoError;
  }
  if ((was.st_uid != now.st_uid || was.st_gid != now.st_gid) &&
      Fs().Chown(copy.c_str(), was.st_uid, was.st_gid) != 0) {
    return Status::kAccessDenied;
  }
  return Fs().Chmod(copy.c_str(), was.st_mode & 07777) == 0 ? Status::kOk : Status::kIoError;
}

}  // namespace

Result Engine::Compact(Call& call) {
  Handle* h = call.handle;
  FileEnv* file = h->file;
  if (call.client->in_transaction) return Status::kOperationNotAllowed;
  if (!h->writable()) return Status::kAccessDenied;
  if (handles_.OfFile(file).size() > 1) return Status::kFileInUse;
  // Stored values go over as they are (sealed records stay sealed), the owner record too.
  const std::string owner_value = file->has_owner() ? EncodeOwner(file->owner()) : std::string();
  Result status = file->BeginOwnerChange();
  if (status != Status::kOk) return status;
  GateHold gate;
  status = gate.Acquire(file, h->client);
  if (status == Status::kOk) status = EmptyRedoSlots(*file);
  if (status == Status::kOk) {
    status = file->WriteCopy(
        file->rewrite_path(),
        [](const MDB_val&, const MDB_val& v, std::string* out) {
          out->assign(static_cast<const char*>(v.mv_data), v.mv_size);
          return Status::kOk;
        },
        file->has_owner() ? &owner_value : nullptr);
    if (status == Status::kOk) {
      status = TakeModeAndOwner(file->path(), file->rewrite_path());
      if (status != Status::kOk) (void)Fs().Unlink(file->rewrite_path().c_str());
    }
    if (status == Status::kOk) {
      Fs().Reached("compact-copied");
      status = file->Replace(file->rewrite_path());
    }
    gate.Release();
  }
  file->EndOwnerChange();
  return status;
}

}  // namespace mkde
