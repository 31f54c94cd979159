// The gate file beside a record file: the write gate (byte 0), the mark of an open (byte 1)
// and the other bytes its locks stand for.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "enginecore/include/wbtrv32.h"
#include "mkde/file_env.h"
#include "mkde/file_env_internal.h"
#include "mkde/fs.h"
#include "mkde/handles.h"
#include "mkde/lmdb_util.h"
#include "mkde/redo.h"

namespace mkde {

namespace {

// Bytes of the gate file: 0 the write gate, 1 held shared by every process that has the
// file open and exclusively by an exclusive open.
constexpr off_t kOpenByte = 1;
// A short wait inside the call, for the common case of another process's single write;
// longer waits happen with the engine's lock let go (see Engine::Dispatch).
constexpr auto kGateSpin = std::chrono::milliseconds(2);

}  // namespace

// The client under which the engine itself holds a gate for a checkpoint or a log replay.
Client& LogClient() {
  static Client client;
  return client;
}

Result FileEnv::AcquireGate(Client* client) {
  for (int round = 0;; ++round) {
    Result status = TakeGate(client);
    if (status != Status::kOk || gate_depth_ > 1) return status;
    status = FinishLinked(true);
    if (status != Status::kOk) {
      ReleaseGate(client);
      return status;
    }
    if (!RedoMarked(*this)) return status;
    // A transaction over several files that a crash interrupted: finished (or dropped)
    // before this write, which would otherwise build on a file missing its part.
    ReleaseGate(client);
    if (round > 0) return Status::kIoError;  // a redo file that will not go away
    status = RecoverPending(this);
    if (status != Status::kOk) return status;
  }
}

Result FileEnv::TakeGate(Client* client) {
  if (gate_owner_ == client) {
    ++gate_depth_;
    return Status::kOk;
  }
  if (gate_owner_ != nullptr) return Status::kFileInUse;
  if (gate_fd_ < 0) return Status::kAccessDenied;
  // A transaction's first gate goes to a transaction that already holds one and waits for
  // it: taken here, the two would wait on each other as soon as this one needs that one's
  // gate, and one of them would end in 78 with its work lost.
  if (client->in_transaction && client->writes.empty() &&
      Waits::Get().GateWantedByHolder(GateResource())) {
    NoteWait(GateResource());
    return Retry::kGateBusy;
  }
  struct flock fl = ByteLock(F_WRLCK, 0);
  auto deadline = std::chrono::steady_clock::now() + kGateSpin;
  auto pause = std::chrono::microseconds(20);
  while (Fs().Lock(gate_fd_, F_OFD_SETLK, &fl) != 0) {
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) return Status::kIoError;
    // Once others queue for a gate, spinning beside them only takes the holder's processor:
    // the wait's sleep ends when the gate is let go. A transaction that holds another gate
    // waits at once, its wait published: the holder of this gate may be waiting for that
    // one, and the cycle then answers 78 now rather than after each side's spin, while a
    // transaction about to take its first gate sees that this one waits and lets it pass.
    if (Retrying() || !client->writes.empty() || Waits::Get().Queued() ||
        std::chrono::steady_clock::now() >= deadline) {
      NoteWait(GateResource());
      return Retry::kGateBusy;
    }
    std::this_thread::sleep_for(pause);
    // Short pauses: a commit holds the gate for tens of microseconds, its sync comes after.
    pause = std::min(pause * 2, std::chrono::microseconds(50));
  }
  if (sync_) sync_->Check();  // the writes behind the gate use its page
  // A compact elsewhere put a new file in place (or died swapping one): writes go to it.
  if (sync_ && env_ && (ReplacedElsewhere() || (sync_->shared().replaced.load() & 1))) {
    Status followed = FollowReplacement(true);
    if (followed != Status::kOk) {
      struct flock off = ByteLock(F_UNLCK, 0);
      ::fcntl(gate_fd_, F_OFD_SETLK, &off);
      return followed;
    }
  }
  gate_owner_ = client;
  gate_depth_ = 1;
  return Status::kOk;
}

void FileEnv::ReleaseGate(Client* client) {
  if (gate_owner_ != client || --gate_depth_ > 0) return;
  LetGoLock(gate_fd_, 0);
  gate_owner_ = nullptr;
  gate_depth_ = 0;
  Waits::Get().Released();
}

Status FileEnv::HoldOpen(bool exclusive) {
  if (gate_fd_ < 0) return Status::kOk;
  struct flock fl = ByteLock(exclusive ? F_WRLCK : F_RDLCK, kOpenByte);
  if (Fs().Lock(gate_fd_, F_OFD_SETLK, &fl) == 0) return Status::kOk;
  return errno == EAGAIN || errno == EACCES ? Status::kIncompatibleMode : Status::kIoError;
}

void FileEnv::ShareOpen() {
  if (gate_fd_ < 0) return;
  struct flock fl = ByteLock(F_RDLCK, kOpenByte);
  // A step down from the write lock this descriptor holds: one that fails keeps the write
  // lock, which keeps others out longer and never lets one in early.
  static_cast<void>(Fs().Lock(gate_fd_, F_OFD_SETLK, &fl));
}

bool FileEnv::Alone() const {
  if (gate_fd_ < 0) return false;
  struct flock fl = ByteLock(F_WRLCK, kOpenByte);
  // This process's own lock on the byte is held through gate_fd_ and does not count.
  return Fs().Lock(gate_fd_, F_OFD_GETLK, &fl) == 0 && fl.l_type == F_UNLCK;
}

Status FileEnv::LockByte(off_t byte, short type) {
  if (gate_fd_ < 0) return Status::kOk;
  struct flock fl = ByteLock(type, byte);
  auto deadline = std::chrono::steady_clock::now() + kGateSpin;
  while (Fs().Lock(gate_fd_, F_OFD_SETLK, &fl) != 0) {
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) return Status::kIoError;
    if (std::chrono::steady_clock::now() >= deadline) return Status::kIncompatibleMode;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return Status::kOk;
}

void FileEnv::UnlockByte(off_t byte) {
  if (gate_fd_ < 0) return;
  LetGoLock(gate_fd_, byte);
}

// ---- GateHold ----

GateHold& GateHold::operator=(GateHold&& other) noexcept {
  if (this != &other) {
    Release();
    file_ = std::exchange(other.file_, nullptr);
    client_ = other.client_;
  }
  return *this;
}

Result GateHold::Acquire(FileEnv* file, Client* client) {
  Release();
  Result status = file->AcquireGate(client);
  if (status == Status::kOk) {
    file_ = file;
    client_ = client;
  }
  return status;
}

Result GateHold::Take(FileEnv* file, Client* client) {
  Release();
  Result status = file->TakeGate(client);
  if (status == Status::kOk) {
    file_ = file;
    client_ = client;
  }
  return status;
}

void GateHold::Release() noexcept {
  if (FileEnv* file = std::exchange(file_, nullptr)) file->ReleaseGate(client_);
}

}  // namespace mkde
