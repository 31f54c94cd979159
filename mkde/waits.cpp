#include "mkde/waits.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "mkde/fs.h"
#include "mkde/notices.h"

namespace mkde {

namespace {

constexpr uint32_t kMagic = 0x56574731;  // "VWG1"
constexpr size_t kSlots = 256;
constexpr size_t kMaxHeld = 32;

struct Slot {
  uint64_t client;  // 0: free; else the process id in the high half
  Resource wanted;
  uint32_t held_count;
  uint32_t pad;
  Resource held[kMaxHeld];
};

struct Table {
  std::atomic<uint32_t> epoch;
  std::atomic<uint32_t> waiters;
  uint32_t magic;
  uint32_t pad;
  Slot slots[kSlots];
};
static_assert(std::atomic<uint32_t>::is_always_lock_free);

Table* T(void* p) { return static_cast<Table*>(p); }

bool Alive(uint64_t client) {
  pid_t pid = static_cast<pid_t>(client >> 32);
  return pid > 0 && (::kill(pid, 0) == 0 || errno != ESRCH);
}

bool Holds(const Slot& s, const Resource& r) {
  for (uint32_t i = 0; i < s.held_count && i < kMaxHeld; ++i) {
    if (s.held[i] == r) return true;
  }
  return false;
}

// Past this, a wait for the table's lock gives the table up.
constexpr auto kTableLockWait = std::chrono::milliseconds(100);

std::string& TablePathOverride() {
  static std::string path;
  return path;
}

std::string TablePath() {
  if (!TablePathOverride().empty()) return TablePathOverride();
  return "/dev/shm/vastrel-waits-" + std::to_string(::getuid());
}

Resource noted;
bool has_noted = false;
bool retrying = false;

}  // namespace

void SetRetrying(bool on) { retrying = on; }
bool Retrying() { return retrying; }

void NoteWait(const Resource& r) {
  noted = r;
  has_noted = true;
}

bool TakeNotedWait(Resource* r) {
  if (!has_noted) return false;
  *r = noted;
  has_noted = false;
  return true;
}

size_t WaitsTableBytes() { return sizeof(Table); }

void SetWaitsTablePath(const std::string& path) { TablePathOverride() = path; }

bool ProcessWaits(pid_t pid) {
  int fd = ::open(TablePath().c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  void* p = MAP_FAILED;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
      static_cast<size_t>(st.st_size) == sizeof(Table)) {
    p = ::mmap(nullptr, sizeof(Table), PROT_READ, MAP_SHARED, fd, 0);
  }
  bool waits = false;
  struct flock fl = ByteLock(F_WRLCK, 0);
  // A lock of its own open file keeps out every other user of the table, this process's
  // engine among them. Held elsewhere: no answer yet, and the caller asks again.
  if (p != MAP_FAILED && ::fcntl(fd, F_OFD_SETLK, &fl) == 0) {
    const Table* t = T(p);
    for (const Slot& s : t->slots) {
      if (t->magic == kMagic && s.client != 0 && (s.client >> 32) == static_cast<uint64_t>(pid)) {
        waits = true;
      }
    }
    fl.l_type = F_UNLCK;
    ::fcntl(fd, F_OFD_SETLK, &fl);
  }
  if (p != MAP_FAILED) ::munmap(p, sizeof(Table));
  ::close(fd);
  return waits;
}

Waits& Waits::Get() {
  static Waits waits;
  return waits;
}

bool Waits::Attach() {
  if (table_) return Usable();
  if (failed_) return false;
  failed_ = true;  // until the table is taken up
  const std::string path = TablePath();
  // Made private, never through a link; one that is there is taken up only when it is a
  // regular file of this user's own, open to nobody else, of the table's size and header.
  int fd = Fs().Open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  const bool made = fd >= 0;
  if (fd < 0 && errno == EEXIST) {
    fd = Fs().Open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  }
  if (fd < 0) return Refuse(path, errno == ELOOP ? "is a link" : std::strerror(errno));
  fd_ = fd;
  struct stat st;
  if (Fs().Fstat(fd, &st) != 0) return Refuse(path, std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return Refuse(path, "is not a regular file");
  if (st.st_uid != ::geteuid()) return Refuse(path, "belongs to another user");
  if ((st.st_mode & 077) != 0) return Refuse(path, "is open to other users");
  // Grown by the process that made it, or by one that finds it still empty: the new bytes
  // read as zero, which is an empty table.
  if (made || st.st_size == 0) {
    if (Fs().Ftruncate(fd, sizeof(Table)) != 0) return Refuse(path, std::strerror(errno));
    st.st_size = sizeof(Table);
  }
  if (static_cast<size_t>(st.st_size) != sizeof(Table)) return Refuse(path, "has the wrong size");
  void* p = Fs().Map(fd, sizeof(Table));
  if (p == MAP_FAILED) return Refuse(path, std::strerror(errno));
  if (!LockTable()) {
    Fs().Unmap(p, sizeof(Table));
    return Refuse(path, "stays locked by another process");
  }
  // Looked at again under the lock: it may have shrunk since.
  if (Fs().Fstat(fd, &st) != 0 || static_cast<size_t>(st.st_size) != sizeof(Table)) {
    UnlockTable();
    Fs().Unmap(p, sizeof(Table));
    return Refuse(path, "shrank under this process");
  }
  Table* t = T(p);
  if (t->magic == 0) {
    std::memset(static_cast<void*>(t->slots), 0, sizeof t->slots);
    t->waiters.store(0);
    t->magic = kMagic;
  } else if (t->magic != kMagic) {
    UnlockTable();
    Fs().Unmap(p, sizeof(Table));
    return Refuse(path, "has a foreign header");
  }
  // Entries of processes that died waiting: a count of waiters that never falls would make
  // every release wake nobody, at the cost of a system call.
  for (Slot& s : t->slots) {
    if (s.client != 0 && !Alive(s.client)) {
      s.client = 0;
      t->waiters.fetch_sub(1);
    }
  }
  UnlockTable();
  table_ = p;
  failed_ = false;
  return true;
}

bool Waits::Refuse(const std::string& path, const std::string& why) {
  // A table given up after use stays mapped (a sleep of another thread may still name it)
  // but is never touched again.
  if (fd_ >= 0) Fs().Close(fd_);
  table_ = nullptr;
  fd_ = -1;
  failed_ = true;
  Notice("the waits table " + path + " " + why +
         ": not used; waits between clients are only bounded, and a deadlock ends with its "
         "wait's bound rather than with 78");
  return false;
}

bool Waits::Usable() {
  struct stat st;
  if (Fs().Fstat(fd_, &st) == 0 && static_cast<size_t>(st.st_size) >= sizeof(Table)) return true;
  // Another process shrank it: its pages past the end would kill this one.
  return Refuse(TablePath(), "shrank under this process");
}

bool Waits::LockTable() {
  // The table is held for a look over its slots, microseconds: a holder past the bound is
  // stopped, or not one of ours.
  struct flock fl = ByteLock(F_WRLCK, 0);
  const auto deadline = std::chrono::steady_clock::now() + kTableLockWait;
  auto pause = std::chrono::microseconds(20);
  while (Fs().Lock(fd_, F_OFD_SETLK, &fl) != 0) {
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(2000));
  }
  return true;
}

void Waits::UnlockTable() { LetGoLock(fd_, 0); }

bool Waits::Enter() {
  if (!LockTable()) {
    GiveUpLocked();
    return false;
  }
  return Usable();  // closing the table lets its lock go
}

void Waits::GiveUpLocked() {
  // This process's own entries go without the lock: a search that misses one of them finds
  // fewer edges, never a cycle that is not there.
  Table* t = T(table_);
  const uint64_t pid = static_cast<uint64_t>(::getpid());
  struct stat st;
  if (Fs().Fstat(fd_, &st) == 0 && static_cast<size_t>(st.st_size) >= sizeof(Table)) {
    for (Slot& s : t->slots) {
      if (s.client != 0 && (s.client >> 32) == pid) {
        s.client = 0;
        t->waiters.fetch_sub(1);
      }
    }
  }
  Refuse(TablePath(), "stays locked by another process");
}

uint32_t Waits::Epoch() {
  if (!Attach()) return 0;
  return T(table_)->epoch.load();
}

bool Waits::Publish(uint64_t client, const Resource& wanted, const std::vector<Resource>& held) {
  if (!Attach()) return false;
  Table* t = T(table_);
  if (!Enter()) return false;  // this wait goes unchecked, bounded as ever
  Slot* mine = nullptr;
  Slot* free_slot = nullptr;
  for (Slot& s : t->slots) {
    if (s.client == client) {
      mine = &s;
    } else if (s.client != 0 && !Alive(s.client)) {
      s.client = 0;  // a process that died waiting
      t->waiters.fetch_sub(1);
    }
    if (s.client == 0 && !free_slot) free_slot = &s;
  }
  if (!mine) {
    if (!free_slot) {  // a full table: this wait goes unchecked, bounded as ever
      UnlockTable();
      return false;
    }
    mine = free_slot;
    mine->client = client;
    t->waiters.fetch_add(1);
  }
  mine->wanted = wanted;
  mine->held_count = static_cast<uint32_t>(std::min(held.size(), kMaxHeld));
  for (uint32_t i = 0; i < mine->held_count; ++i) mine->held[i] = held[i];

  // Follow who holds what is waited for, among the waiting clients only: reaching this
  // client again closes a cycle.
  bool cycle = false;
  std::vector<uint8_t> seen(kSlots, 0);
  seen[mine - t->slots] = 1;
  std::vector<std::pair<const Slot*, size_t>> stack{{mine, 0}};
  while (!stack.empty() && !cycle) {
    auto& [from, next] = stack.back();
    bool pushed = false;
    for (; next < kSlots; ++next) {
      const Slot& s = t->slots[next];
      if (s.client == 0 || !Holds(s, from->wanted)) continue;
      if (&s == mine) {
        cycle = from != mine;  // waiting on itself is not a cycle of clients
        if (cycle) break;
        continue;
      }
      if (seen[next]) continue;
      seen[next] = 1;
      ++next;
      stack.push_back({&s, 0});
      pushed = true;
      break;
    }
    if (!pushed && !cycle) stack.pop_back();
  }
  if (cycle) {
    mine->client = 0;
    t->waiters.fetch_sub(1);
  }
  UnlockTable();
  return cycle;
}

void Waits::Withdraw(uint64_t client) {
  if (!table_ || !Usable()) return;
  Table* t = T(table_);
  if (!Enter()) return;
  for (Slot& s : t->slots) {
    if (s.client == client) {
      s.client = 0;
      t->waiters.fetch_sub(1);
    }
  }
  UnlockTable();
}

void Waits::Sleep(uint32_t epoch, long timeout_us) {
  if (!table_) {
    std::this_thread::sleep_for(std::chrono::microseconds(std::min(timeout_us, 1000L)));
    return;
  }
  struct timespec ts;
  ts.tv_sec = timeout_us / 1000000;
  ts.tv_nsec = (timeout_us % 1000000) * 1000;
  Fs().FutexWait(reinterpret_cast<uint32_t*>(&T(table_)->epoch), epoch, &ts);
}

bool Waits::GateWantedByHolder(const Resource& gate) {
  if (!Attach() || !Queued()) return false;
  Table* t = T(table_);
  if (!Enter()) return false;
  bool wanted = false;
  for (const Slot& s : t->slots) {
    if (s.client == 0 || !(s.wanted == gate)) continue;
    for (uint32_t i = 0; i < s.held_count && i < kMaxHeld && !wanted; ++i) {
      wanted = s.held[i].byte == 0;  // byte 0 of a gate file: a write gate
    }
    if (wanted) break;
  }
  UnlockTable();
  return wanted;
}

bool Waits::Queued() {
  return table_ && Usable() && T(table_)->waiters.load(std::memory_order_relaxed) > 0;
}

void Waits::Released() {
  if (!Attach()) return;
  Table* t = T(table_);
  // The lock was let go (a system call) before this reads whether anyone waits; a waiter
  // counts itself before it tries again. One of the two sees the other.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (t->waiters.load() == 0) return;
  t->epoch.fetch_add(1);
  Fs().FutexWake(reinterpret_cast<uint32_t*>(&t->epoch));
}

void Waits::ForgetAfterFork() {
  if (table_) Fs().Unmap(table_, sizeof(Table));
  if (fd_ >= 0) Fs().Close(fd_);
  table_ = nullptr;
  fd_ = -1;
  failed_ = false;
  has_noted = false;
}

}  // namespace mkde
