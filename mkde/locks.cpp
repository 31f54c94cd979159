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

#include "mkde/coding.h"
#include "mkde/engine.h"
#include "mkde/fs.h"
#include "mkde/include/wbtrv32.h"
#include "mkde/waits.h"

namespace mkde {

namespace {

// F_SETLK-style request on one record's byte. Returns 0, or errno. Letting go wakes
// whoever waits.
int LockByte(int fd, short type, uint32_t position, int command) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = kRecordLockBase + position;
  fl.l_len = 1;
  int err = ::fcntl(fd, command, &fl) == 0 ? 0 : errno;
  if (type == F_UNLCK) Waits::Get().Released();
  return err;
}

int EnsureLockFd(Handle* h) {
  if (h->lock_fd >= 0) return BTR_OK;
  h->lock_fd = Fs().Open(h->file->gate_path().c_str(), O_RDWR | O_CLOEXEC);
  return h->lock_fd >= 0 ? BTR_OK : BTR_ACCESS_DENIED;
}

}  // namespace

int Engine::TakeLock(Handle* h, int lock, uint32_t position) {
  Client* owner = h->file->gate_owner();
  if (owner && owner != h->client && owner->in_transaction && !owner->concurrent) {
    return BTR_FILE_IN_USE;  // the whole file is another client's for its transaction
  }
  bool single = lock <= 2;
  bool held = single ? (h->single_locked && h->single_position == position)
                     : std::count(h->multiple.begin(), h->multiple.end(), position) > 0;
  if (held) return BTR_OK;
  int status = EnsureLockFd(h);
  if (status != BTR_OK) return status;
  int err = LockByte(h->lock_fd, F_WRLCK, position, F_OFD_SETLK);
  if (err == EAGAIN || err == EACCES) {
    NoteWait(h->file->LockResource(position));
    return BTR_RECORD_IN_USE;
  }
  if (err != 0) return BTR_IO_ERROR;
  if (single) {
    h->single_locked = true;
    h->single_position = position;
  } else {
    h->multiple.push_back(position);
  }
  if (h->client->in_transaction) h->locked_in_transaction.emplace_back(position, single);
  return BTR_OK;
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
        LockByte(h->lock_fd, F_UNLCK, position, F_OFD_SETLK);
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
    LockByte(h->lock_fd, F_UNLCK, h->single_position, F_OFD_SETLK);
  }
}

void Engine::DropLocksOn(Handle* h, uint32_t position) {
  if (h->single_locked && h->single_position == position) h->single_locked = false;
  auto it = std::find(h->multiple.begin(), h->multiple.end(), position);
  if (it != h->multiple.end()) h->multiple.erase(it);
  if (h->lock_fd >= 0) LockByte(h->lock_fd, F_UNLCK, position, F_OFD_SETLK);
}

int Engine::CheckNotLocked(Handle* h, uint32_t position) {
  int status = EnsureLockFd(h);
  if (status != BTR_OK) return BTR_OK;  // storage nobody can write holds no locks
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kRecordLockBase + position;
  fl.l_len = 1;
  if (::fcntl(h->lock_fd, F_OFD_GETLK, &fl) != 0) return BTR_IO_ERROR;
  return fl.l_type == F_UNLCK ? BTR_OK : BTR_RECORD_IN_USE;
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

int Engine::Unlock(Call& call) {
  Handle* h = call.handle;
  if (call.key_num >= 0) {
    if (!h->single_locked) return BTR_LOCK_ERROR;
    DropSingleLock(h);
    return BTR_OK;
  }
  if (call.key_num == -1) {
    if (call.data_len < 4) return BTR_DATA_LENGTH;
    uint32_t position = DecodeFixed32(call.data);
    auto it = std::find(h->multiple.begin(), h->multiple.end(), position);
    if (it == h->multiple.end()) return BTR_LOCK_ERROR;
    h->multiple.erase(it);
    if (!(h->single_locked && h->single_position == position)) {
      LockByte(h->lock_fd, F_UNLCK, position, F_OFD_SETLK);
    }
    return BTR_OK;
  }
  if (call.key_num == -2) {
    if (h->multiple.empty()) return BTR_LOCK_ERROR;
    for (uint32_t position : h->multiple) {
      if (!(h->single_locked && h->single_position == position)) {
        LockByte(h->lock_fd, F_UNLCK, position, F_OFD_SETLK);
      }
    }
    h->multiple.clear();
    return BTR_OK;
  }
  return BTR_INVALID_FUNCTION;
}

}  // namespace mkde
