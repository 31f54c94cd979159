#include "mkde/waits.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "mkde/fs.h"

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

Waits& Waits::Get() {
  static Waits waits;
  return waits;
}

bool Waits::Attach() {
  if (table_) return true;
  if (failed_) return false;
  std::string name = "/vastrel-waits-" + std::to_string(::getuid());
  int fd = ::open(("/dev/shm" + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    if (fd >= 0) ::close(fd);
    failed_ = true;
    return false;
  }
  // Grown by whoever comes first; the new bytes read as zero, which is an empty table.
  if (static_cast<size_t>(st.st_size) < sizeof(Table) && ::ftruncate(fd, sizeof(Table)) != 0) {
    ::close(fd);
    failed_ = true;
    return false;
  }
  void* p = ::mmap(nullptr, sizeof(Table), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    ::close(fd);
    failed_ = true;
    return false;
  }
  fd_ = fd;
  table_ = p;
  LockTable();
  Table* t = T(table_);
  if (t->magic != kMagic) {
    std::memset(static_cast<void*>(t->slots), 0, sizeof t->slots);
    t->waiters.store(0);
    t->magic = kMagic;
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
  return true;
}

void Waits::LockTable() {
  struct flock fl = ByteLock(F_WRLCK, 0);
  while (::fcntl(fd_, F_OFD_SETLKW, &fl) != 0 && errno == EINTR) {
  }
}

void Waits::UnlockTable() {
  struct flock fl = ByteLock(F_UNLCK, 0);
  ::fcntl(fd_, F_OFD_SETLK, &fl);
}

uint32_t Waits::Epoch() {
  if (!Attach()) return 0;
  return T(table_)->epoch.load();
}

bool Waits::Publish(uint64_t client, const Resource& wanted, const std::vector<Resource>& held) {
  if (!Attach()) return false;
  Table* t = T(table_);
  LockTable();
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
  if (!table_) return;
  Table* t = T(table_);
  LockTable();
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
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&T(table_)->epoch), FUTEX_WAIT, epoch, &ts,
            nullptr, 0);
}

bool Waits::GateWantedByHolder(const Resource& gate) {
  if (!Attach() || !Queued()) return false;
  Table* t = T(table_);
  LockTable();
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

bool Waits::Queued() { return table_ && T(table_)->waiters.load(std::memory_order_relaxed) > 0; }

void Waits::Released() {
  if (!Attach()) return;
  Table* t = T(table_);
  // The lock was let go (a system call) before this reads whether anyone waits; a waiter
  // counts itself before it tries again. One of the two sees the other.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (t->waiters.load() == 0) return;
  t->epoch.fetch_add(1);
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&t->epoch), FUTEX_WAKE, INT_MAX, nullptr,
            nullptr, 0);
}

void Waits::ForgetAfterFork() {
  if (table_) ::munmap(table_, sizeof(Table));
  if (fd_ >= 0) ::close(fd_);
  table_ = nullptr;
  fd_ = -1;
  failed_ = false;
  has_noted = false;
}

}  // namespace mkde
