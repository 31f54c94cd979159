// Record locks. Each position block that locks opens its own descriptor on the file's
// gate file; a record's lock is a write lock on one byte of it, far above the bytes the
// write gate uses. Open-file-description locks conflict between descriptors even inside
// one process, so two blocks of one thread exclude each other as two processes do, and a
// process that dies takes its locks with it.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "enginecore/include/wbtrv32.h"
#include "mkde/engine.h"
#include "mkde/fs.h"
#include "mkde/waits.h"

namespace mkde {

namespace {

// F_OFD_SETLK request for a write lock on one record's byte. Returns 0, or errno.
[[nodiscard]] int LockRecordByte(int fd, uint32_t position) {
  struct flock fl = ByteLock(F_WRLCK, kRecordLockBase + position);
  return Fs().Lock(fd, F_OFD_SETLK, &fl) == 0 ? 0 : errno;
}

// Lets go of one record's byte and wakes whoever waits. Letting go of a byte on a
// descriptor the block holds open is always granted: there is no failure to answer.
void UnlockRecordByte(int fd, uint32_t position) {
  LetGoLock(fd, kRecordLockBase + position);
  Waits::Get().Released();
}

Status EnsureLockFd(Handle* h) {
  if (h->lock_fd >= 0) return Status::kOk;
  // The gate file, never through a link: a record lock taken on another file would
  // hold nobody off.
  h->lock_fd = Fs().Open(h->file->gate_path().c_str(),
                         O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  return h->lock_fd >= 0 ? Status::kOk : Status::kAccessDenied;
}

}  // namespace

Status Engine::TakeLock(Handle* h, int lock, uint32_t position) {
  Client* owner = h->file->gate_owner();
  if (owner && owner != h->client && owner->in_transaction && !owner->concurrent) {
    return Status::kFileInUse;  // the whole file is another client's for its transaction
  }
  bool single = lock <= 2;
  bool held = single ? (h->single_locked && h->single_position == position)
                     : std::count(h->multiple.begin(), h->multiple.end(), position) > 0;
  if (held) return Status::kOk;
  Status status = EnsureLockFd(h);
  if (status != Status::kOk) return status;
  int err = LockRecordByte(h->lock_fd, position);
  if (err == EAGAIN || err == EACCES) {
    NoteWait(h->file->LockResource(position));
    return Status::kRecordInUse;
  }
  if (err != 0) return Status::kIoError;
  if (single) {
    h->single_locked = true;
    h->single_position = position;
  } else {
    h->multiple.push_back(position);
  }
  if (h->client->in_transaction) h->locked_in_transaction.emplace_back(position, single);
  return Status::kOk;
}

void Engine::DropTransactionLocks(const Client* client) {
  for (Handle* h : handles_.OfClient(client)) {
    for (const auto& [position, single] : h->locked_in_transaction) {
      if (single) {
        if (h->single_locked && h->single_position == position) DropSingleLock(h);
        continue;
      }
      auto it = std::find(h->multiple.begin(), h->multiple.end(), position);
      if (it == h->multiple.end()) continue;  // let go already
      h->multiple.erase(it);
      if (!(h->single_locked && h->single_position == position)) {
        UnlockRecordByte(h->lock_fd, position);
      }
    }
    h->locked_in_transaction.clear();
  }
}

void Engine::DropSingleLock(Handle* h) {
  if (!h->single_locked) return;
  h->single_locked = false;
  // The same record may also stand under one of the block's multiple-record locks.
  if (std::count(h->multiple.begin(), h->multiple.end(), h->single_position) == 0) {
    UnlockRecordByte(h->lock_fd, h->single_position);
  }
}

void Engine::DropLocksOn(Handle* h, uint32_t position) {
  if (h->single_locked && h->single_position == position) h->single_locked = false;
  auto it = std::find(h->multiple.begin(), h->multiple.end(), position);
  if (it != h->multiple.end()) h->multiple.erase(it);
  if (h->lock_fd >= 0) UnlockRecordByte(h->lock_fd, position);
}

Status Engine::CheckNotLocked(Handle* h, uint32_t position) {
  Status status = EnsureLockFd(h);
  if (status != Status::kOk) return Status::kOk;  // storage nobody can write holds no locks
  struct flock fl = ByteLock(F_WRLCK, kRecordLockBase + position);
  if (Fs().Lock(h->lock_fd, F_OFD_GETLK, &fl) != 0) return Status::kIoError;
  return fl.l_type == F_UNLCK ? Status::kOk : Status::kRecordInUse;
}

std::vector<Resource> Engine::Holdings(const Client* client) const {
  std::vector<Resource> held;
  for (const FileWrite& w : client->writes) held.push_back(w.file->GateResource());
  for (const Handle* h : handles_.OfClient(client)) {
    if (h->single_locked) held.push_back(h->file->LockResource(h->single_position));
    for (uint32_t p : h->multiple) held.push_back(h->file->LockResource(p));
  }
  return held;
}

Status Engine::Unlock(Call& call) {
  Handle* h = call.handle;
  core::UnlockWhat what;
  uint32_t position = 0;
  Status status = core::DecodeUnlock(call, &what, &position);
  if (status != Status::kOk) return status;
  if (what == core::UnlockWhat::kSingle) {
    if (!h->single_locked) return Status::kLockError;
    DropSingleLock(h);
    return Status::kOk;
  }
  if (what == core::UnlockWhat::kOne) {
    auto it = std::find(h->multiple.begin(), h->multiple.end(), position);
    if (it == h->multiple.end()) return Status::kLockError;
    h->multiple.erase(it);
    if (!(h->single_locked && h->single_position == position)) {
      UnlockRecordByte(h->lock_fd, position);
    }
    return Status::kOk;
  }
  if (h->multiple.empty()) return Status::kLockError;
  for (uint32_t held : h->multiple) {
    if (!(h->single_locked && h->single_position == held)) UnlockRecordByte(h->lock_fd, held);
  }
  h->multiple.clear();
  return Status::kOk;
}

}  // namespace mkde
