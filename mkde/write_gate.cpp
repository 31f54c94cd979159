// The gate file beside a record file: the write gate (byte 0), the mark of an open (byte 1)
// and the other bytes its locks stand for.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "mkde/file_env.h"
#include "mkde/file_env_internal.h"
#include "mkde/include/wbtrv32.h"
#include "mkde/lmdb_util.h"

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

int FileEnv::AcquireGate(Client* client) {
  for (int round = 0;; ++round) {
    int status = TakeGate(client);
    if (status != BTR_OK || gate_depth_ > 1 || !RedoPending(*this)) return status;
    // A transaction over several files that a crash interrupted: finished (or dropped)
    // before this write, which would otherwise build on a file missing its part.
    ReleaseGate(client);
    if (round > 0) return BTR_IO_ERROR;  // a redo file that will not go away
    status = RecoverPending(this);
    if (status != BTR_OK) return status;
  }
}

int FileEnv::TakeGate(Client* client) {
  if (gate_owner_ == client) {
    ++gate_depth_;
    return BTR_OK;
  }
  if (gate_owner_ != nullptr) return BTR_FILE_IN_USE;
  if (gate_fd_ < 0) return BTR_ACCESS_DENIED;
  struct flock fl = GateByte(F_WRLCK, 0);
  auto deadline = std::chrono::steady_clock::now() + kGateSpin;
  auto pause = std::chrono::microseconds(20);
  while (::fcntl(gate_fd_, F_OFD_SETLK, &fl) != 0) {
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) return BTR_IO_ERROR;
    if (std::chrono::steady_clock::now() >= deadline) {
      NoteWait(GateResource());
      return kStatusGateBusy;
    }
    std::this_thread::sleep_for(pause);
    // Short pauses: a commit holds the gate for tens of microseconds, its sync comes after.
    pause = std::min(pause * 2, std::chrono::microseconds(50));
  }
  gate_owner_ = client;
  gate_depth_ = 1;
  return BTR_OK;
}

void FileEnv::ReleaseGate(Client* client) {
  if (gate_owner_ != client || --gate_depth_ > 0) return;
  struct flock fl = GateByte(F_UNLCK, 0);
  ::fcntl(gate_fd_, F_OFD_SETLK, &fl);
  gate_owner_ = nullptr;
  gate_depth_ = 0;
  Waits::Get().Released();
}

int FileEnv::HoldOpen(bool exclusive) {
  if (gate_fd_ < 0) return BTR_OK;
  struct flock fl = GateByte(exclusive ? F_WRLCK : F_RDLCK, kOpenByte);
  if (::fcntl(gate_fd_, F_OFD_SETLK, &fl) == 0) return BTR_OK;
  return errno == EAGAIN || errno == EACCES ? BTR_INCOMPATIBLE_MODE : BTR_IO_ERROR;
}

bool FileEnv::Alone() const {
  if (gate_fd_ < 0) return false;
  struct flock fl = GateByte(F_WRLCK, kOpenByte);
  // This process's own lock on the byte is held through gate_fd_ and does not count.
  return ::fcntl(gate_fd_, F_OFD_GETLK, &fl) == 0 && fl.l_type == F_UNLCK;
}

int FileEnv::LockByte(off_t byte, short type) {
  if (gate_fd_ < 0) return BTR_OK;
  struct flock fl = GateByte(type, byte);
  auto deadline = std::chrono::steady_clock::now() + kGateSpin;
  while (::fcntl(gate_fd_, F_OFD_SETLK, &fl) != 0) {
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) return BTR_IO_ERROR;
    if (std::chrono::steady_clock::now() >= deadline) return BTR_INCOMPATIBLE_MODE;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return BTR_OK;
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

int GateHold::Acquire(FileEnv* file, Client* client) {
  Release();
  int status = file->AcquireGate(client);
  if (status == BTR_OK) {
    file_ = file;
    client_ = client;
  }
  return status;
}

int GateHold::Take(FileEnv* file, Client* client) {
  Release();
  int status = file->TakeGate(client);
  if (status == BTR_OK) {
    file_ = file;
    client_ = client;
  }
  return status;
}

void GateHold::Release() noexcept {
  if (FileEnv* file = std::exchange(file_, nullptr)) file->ReleaseGate(client_);
}

}  // namespace mkde
