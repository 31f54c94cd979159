// Compact: a file rewritten into its smallest form. Its trees are copied entry by entry into a
// new file, packed as a bulk load packs them and without the free pages of the old one, which
// is put in the file's place by one rename, the way an owner change puts its sealed copy,
// while other processes keep the file open: they follow the swap (file_swap.cpp).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "enginecore/coding.h"
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

// Processes that keep the file open share LMDB's reader table with the copy once it is in
// place, and a reader there takes its meta page by the transaction id that table holds: the
// copy's state goes under the id of the file's last commit `txnid` (the meta page it belongs
// to), and under the id before it in the other, so that the copy goes on from the file's
// last commit. Synced. Returns a status.
Status StampCopy(const std::string& copy, uint64_t txnid) {
  constexpr size_t kPageSizeAt = 40, kTxnIdAt = 144, kMetaBytes = 152;
  if (txnid == 0) return Status::kIoError;
  int fd = Fs().Open(copy.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return Status::kIoError;
  uint8_t head[kMetaBytes];
  std::string pages;
  bool ok = Fs().Pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head);
  const size_t psize = ok ? DecodeFixed32(head + kPageSizeAt) : 0;
  ok = ok && psize >= 512 && psize <= 65536;
  if (ok) {
    pages.resize(2 * psize);
    ok = Fs().Pread(fd, pages.data(), pages.size(), 0) == static_cast<ssize_t>(pages.size());
  }
  if (ok) {
    uint8_t* p = reinterpret_cast<uint8_t*>(pages.data());
    const size_t newer =
        DecodeFixed64(p + psize + kTxnIdAt) > DecodeFixed64(p + kTxnIdAt) ? psize : 0;
    std::string page = pages.substr(newer, psize);
    for (uint64_t id : {txnid, txnid - 1}) {
      const size_t slot = static_cast<size_t>(id & 1);
      std::memcpy(p + slot * psize, page.data(), psize);
      EncodeFixed64(p + slot * psize, slot);  // the page's number
      EncodeFixed64(p + slot * psize + kTxnIdAt, id);
    }
    ok = WriteAllAt(fd, pages.data(), pages.size(), 0) && Fs().Fdatasync(fd) == 0;
  }
  Fs().Close(fd);
  return ok ? Status::kOk : Status::kIoError;
}

}  // namespace

Result Engine::Compact(Call& call) {
  Handle* h = call.handle;
  FileEnv* file = h->file;
  if (call.client->in_transaction) return Status::kOperationNotAllowed;
  if (!h->writable()) return Status::kAccessDenied;
  // Stored values go over as they are (sealed records stay sealed), the owner record too.
  const std::string owner_value = file->has_owner() ? EncodeOwner(file->owner()) : std::string();
  // Byte 2 keeps new opens out until the new file is in place (a copy beside the file while
  // no one holds it is a killed compact's, which an open removes); the gate keeps every
  // writer out, so that the copy holds every commit.
  Result status = file->LockByte(FileEnv::kOwnerChangeByte, F_WRLCK);
  if (status == Status::kIncompatibleMode) return Retry::kGateBusy;
  if (status != Status::kOk) return status;
  GateHold gate;
  status = gate.Acquire(file, h->client);
  // The log's commits into the file first: the copy is made from the file alone.
  if (status == Status::kOk) status = file->Checkpoint();
  if (status == Status::kOk) status = EmptyRedoSlots(*file);
  const std::string copy = file->rewrite_path();
  if (status == Status::kOk) {
    status = file->WriteCopy(
        copy,
        [](const MDB_val&, const MDB_val& v, std::string* out) {
          out->assign(static_cast<const char*>(v.mv_data), v.mv_size);
          return Status::kOk;
        },
        file->has_owner() ? &owner_value : nullptr);
    if (status == Status::kOk) status = StampCopy(copy, LastTxnId(file));
    if (status == Status::kOk) status = TakeModeAndOwner(file->path(), copy);
    if (status != Status::kOk) {
      RemoveLeftover(copy);
    } else {
      Fs().Reached("compact-copied");
      // Other processes that have the file open follow the swap before they read a later
      // commit or write (FileEnv::FollowReplacement).
      file->MarkReplacing(true);
      status = file->Replace(copy);
      file->MarkReplacing(false);
    }
  }
  gate.Release();
  file->UnlockByte(FileEnv::kOwnerChangeByte);
  return status;
}

}  // namespace mkde
