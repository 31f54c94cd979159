// Shared syncs of a commit log: see log_sync.h.
#include "mkde/log_sync.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "enginecore/include/wbtrv32.h"
#include "mkde/fs.h"
#include "mkde/linked_log.h"
#include "mkde/lmdb_util.h"
#include "mkde/notices.h"

namespace mkde {

namespace {

constexpr size_t kPage = 4096;
constexpr uint64_t kMagic = 0x31636e7973746c76;  // "vltsync1"
static_assert(sizeof(LogShared) <= kPage);
// Where processes of earlier versions look for them.
static_assert(offsetof(LogShared, redo) == 84 && offsetof(LogShared, slot) == 88);

// A waiter sleeps in slices this long, looking each time whether the syncing process is
// still there; past kTakeOver of waiting on one sync it syncs the log itself.
constexpr long kSliceUs = 1000;
constexpr auto kTakeOver = std::chrono::milliseconds(50);

void AtLeast(std::atomic<uint64_t>& v, uint64_t n) {
  uint64_t seen = v.load();
  while (seen < n && !v.compare_exchange_weak(seen, n)) {
  }
}

// This process's id, asked of the system once per process rather than at every commit's wait:
// the child of a fork forgets its parent's and asks again.
std::atomic<uint32_t> own_pid{0};

std::vector<LogTicket>& Pending() {
  static std::vector<LogTicket> pending;
  return pending;
}

}  // namespace

bool Alive(uint32_t pid) { return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH; }

uint32_t OwnPid() {
  uint32_t pid = own_pid.load(std::memory_order_relaxed);
  if (pid != 0) return pid;
  static const int forget_in_child =
      ::pthread_atfork(nullptr, nullptr, [] { own_pid.store(0, std::memory_order_relaxed); });
  (void)forget_in_child;
  pid = static_cast<uint32_t>(::getpid());
  own_pid.store(pid, std::memory_order_relaxed);
  return pid;
}

namespace {

// True when the file system of `st` (a file on it) writes a file's bytes over its own blocks:
// ext4 mounted without data journaling, or XFS. The last disk's answer is kept (its device
// number shifted left by one, the answer in bit 0; no lock, which a fork could leave held):
// most processes keep their files on one.
bool InPlace(int fd, const struct stat& st) {
  static std::atomic<uint64_t> last{~uint64_t{0}};
  const uint64_t known = last.load(std::memory_order_relaxed);
  if (known != ~uint64_t{0} &&
      (known >> 1) == (static_cast<uint64_t>(st.st_dev) & (~uint64_t{0} >> 1))) {
    return (known & 1) != 0;
  }
  struct statfs fs;
  bool in_place = false;
  if (::fstatfs(fd, &fs) == 0) {
    constexpr unsigned long kExt4 = 0xEF53, kXfs = 0x58465342;
    const auto type = static_cast<unsigned long>(fs.f_type);
    in_place = type == kXfs;
    if (type == kExt4) {
      // The mount's options tell data journaling: every line of the disk is looked at (bind
      // mounts repeat it), and one that cannot be read leaves the answer no.
      std::ifstream info("/proc/self/mountinfo");
      const std::string id =
          std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
      std::string line;
      bool seen = false, journaled = false;
      for (int n = 0; n < 100000 && std::getline(info, line); ++n) {
        std::istringstream fields(line);
        std::string mount_id, parent, dev;
        if (!(fields >> mount_id >> parent >> dev) || dev != id) continue;
        seen = true;
        if (line.find("data=journal") != std::string::npos) journaled = true;
      }
      in_place = seen && !journaled && !info.bad();
    }
  }
  last.store((static_cast<uint64_t>(st.st_dev) << 1) | (in_place ? 1 : 0),
             std::memory_order_relaxed);
  return in_place;
}

}  // namespace

LogFd::LogFd(int d) : fd(d) {
  struct stat st;
  if (fd >= 0 && Fs().Fstat(fd, &st) == 0) {
    dev = st.st_dev;
    in_place = InPlace(fd, st);
  }
}

LogFd::~LogFd() {
  if (fd >= 0) Fs().Close(fd);
}

std::shared_ptr<LogSync> LogSync::Map(int gate_fd) {
  struct stat st;
  if (gate_fd < 0 || Fs().Fstat(gate_fd, &st) != 0) return nullptr;
  // Growing only: two processes growing it at once both leave a page of zeros.
  if (st.st_size < static_cast<off_t>(kPage) && Fs().Ftruncate(gate_fd, kPage) != 0) return nullptr;
  std::shared_ptr<LogSync> sync(new LogSync);
  // Opened anew rather than duplicated: a duplicate would share the descriptor's locks and
  // keep them alive after the file's close. The page is mapped through it too: a mapping
  // holds on to the open file it was made from, and with it that file's locks, until it
  // goes. Mapped through the gate descriptor, a page that outlives the file's close (a
  // commit still waiting for its sync holds it) would keep the mark of an open of a file
  // closed since, and every later open would take the file for one still in use.
  const std::string own = "/proc/self/fd/" + std::to_string(gate_fd);
  sync->fd_ = Fs().Open(own.c_str(), O_RDWR | O_CLOEXEC);
  void* p = Fs().Map(sync->fd_ >= 0 ? sync->fd_ : gate_fd, kPage);
  if (p == MAP_FAILED) return nullptr;
  sync->shared_ = static_cast<LogShared*>(p);
  LogShared& s = *sync->shared_;
  // A page of zeros (a new gate file) gets its mark; counters from before a restart of the
  // machine are harmless, since a log is begun afresh (StartLog) before any commit uses them.
  uint64_t zero = 0;
  s.magic.compare_exchange_strong(zero, kMagic);
  return sync;
}

LogSync::~LogSync() {
  if (shared_) Fs().Unmap(shared_, kPage);
  if (fd_ >= 0) Fs().Close(fd_);
}

void LogSync::Check() {
  struct stat st;
  if (fd_ < 0 || Fs().Fstat(fd_, &st) != 0 || st.st_size >= static_cast<off_t>(kPage)) return;
  if (Fs().Ftruncate(fd_, kPage) == 0) {
    Notice(
        "a gate file shrank under this process: grown back, the commit log's shared "
        "counters begun again");
  }
}

void LogSync::Wake() {
  // Bumped before the count of sleepers is read, and counted by a sleeper before it reads
  // the word again in the kernel: a sleeper this read misses finds the word moved on.
  shared_->wake.fetch_add(1);
  if (shared_->sleepers.load() == 0) return;
  Fs().FutexWake(reinterpret_cast<uint32_t*>(&shared_->wake));
}

void LogSync::CoverAll() {
  AtLeast(shared_->synced, shared_->appended.load());
  Wake();
}

namespace {

// A mark whose owner lives is waited for this long before it is settled here.
constexpr auto kLinkedTakeOver = std::chrono::seconds(1);

// Syncs the log of the record file `record` (opened by its path, never through a link, and
// only a regular file): whatever entry it holds is then on disk. A log that is not there was
// ended by a checkpoint, which synced its file first. Returns an engine status.
Status SyncPartnerLog(const std::string& record) {
  const std::string path = record + "-log";
  int fd = Fs().Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? Status::kOk : Status::kIoError;
  struct stat st;
  const bool done = Fs().Fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && Fs().Fdatasync(fd) == 0;
  Fs().Close(fd);
  return done ? Status::kOk : Status::kIoError;
}

}  // namespace

int LogSync::MarkLinked(const LogFd& log, uint64_t at, uint64_t end) {
  LogShared& s = *shared_;
  for (;;) {
    uint64_t oldest = UINT64_MAX;
    for (int m = 0; m < kLinkedMarks; ++m) {
      const uint64_t e = s.linked_end[m].load();
      if (e == 0) {
        s.linked_at[m].store(at);
        s.linked_owner[m].store(OwnPid());
        s.linked_end[m].store(end);
        return m;
      }
      oldest = std::min(oldest, e);
    }
    if (AwaitLinked(log, oldest) != Status::kOk) return -1;
  }
}

void LogSync::ClearLinked(int m, uint64_t end) {
  LogShared& s = *shared_;
  uint64_t expected = end;
  if (m < 0 || !s.linked_end[m].compare_exchange_strong(expected, 0)) return;
  WakeLinked();
}

void LogSync::ClearAllLinked() {
  for (auto& end : shared_->linked_end) end.store(0);
  WakeLinked();
}

void LogSync::WakeLinked() {
  // As Wake: bumped before the count of sleepers is read, counted by a sleeper before the
  // kernel reads the word again.
  shared_->linked_wake.fetch_add(1);
  if (shared_->linked_sleepers.load() == 0) return;
  Fs().FutexWake(reinterpret_cast<uint32_t*>(&shared_->linked_wake));
}

Status LogSync::AwaitLinked(const LogFd& log, uint64_t lsn, int own) {
  LogShared& s = *shared_;
  const auto start = std::chrono::steady_clock::now();
  // The page was checked by the caller (behind the gate, or by the wait for the log's sync just
  // before): again only after a sleep.
  for (bool slept = false;; slept = true) {
    if (slept) Check();
    const uint32_t wake = s.linked_wake.load();
    int found = -1;
    uint64_t end = 0;
    for (int m = 0; m < kLinkedMarks && found < 0; ++m) {
      end = s.linked_end[m].load();
      if (end != 0 && end <= lsn && m != own) found = m;
    }
    if (found < 0) return Status::kOk;
    const uint32_t owner = s.linked_owner[found].load();
    if (Alive(owner) && std::chrono::steady_clock::now() - start < kLinkedTakeOver) {
      struct timespec ts = {0, kSliceUs * 1000};
      s.linked_sleepers.fetch_add(1);
      Fs().FutexWait(reinterpret_cast<uint32_t*>(&s.linked_wake), wake, &ts);
      s.linked_sleepers.fetch_sub(1);
      continue;
    }
    // Its owner died or is slow: the entry read back from the log, and every other
    // participant's log synced here. A mark of an earlier log, or an entry written over since
    // (its writer died before its commit), holds nothing to settle.
    const uint64_t at = s.linked_at[found].load();
    const uint64_t base = s.base.load();
    LogEntry entry;
    if (at >= base && end > at && end - at <= kMaxLogRead) {
      std::string bytes(end - at, '\0');
      const std::string_view key(reinterpret_cast<const char*>(s.key), sizeof s.key);
      if (Fs().Pread(log.fd, bytes.data(), bytes.size(), static_cast<off_t>(at - base)) ==
              static_cast<ssize_t>(bytes.size()) &&
          DecodeLogEntry(bytes, 0, 3, key, &entry) && entry.linked) {
        for (size_t i = 0; i < entry.parts.size(); ++i) {
          if (i == entry.index) continue;
          Status status = SyncPartnerLog(entry.parts[i].path);
          if (status != Status::kOk) return status;
        }
        // What the transaction stands on in those files (entries of earlier transactions
        // over other files, written before its own) goes to disk with everything else.
        ::sync();
      }
    }
    ClearLinked(found, end);
  }
}

void LogSync::Covered(uint64_t lsn) {
  AtLeast(shared_->synced, lsn);
  Wake();
}

Status LogSync::Await(const LogFd& log, uint64_t lsn, bool* flushed) {
  LogShared& s = *shared_;
  const uint32_t me = OwnPid();
  auto waiting_since = std::chrono::steady_clock::now();
  uint32_t seen_wake = s.wake.load();
  for (;;) {
    Check();
    if (log.failed.load()) return log.full.load() ? Status::kDiskFull : Status::kIoError;
    // Read before the look at `synced`: a sync that ends after the look wakes the sleep.
    const uint32_t wake = s.wake.load();
    if (s.synced.load() >= lsn) return Status::kOk;
    if (wake != seen_wake) {
      seen_wake = wake;
      waiting_since = std::chrono::steady_clock::now();
    }
    uint32_t none = 0;
    const bool leader = s.syncing.compare_exchange_strong(none, me);
    // A sync that takes far longer than a sync takes: its process may be stopped, or its
    // number belong to another process by now. Syncing here too is never wrong.
    const bool overdue = !leader && std::chrono::steady_clock::now() - waiting_since > kTakeOver;
    if (leader || overdue) {
      // Everything appended before this point is covered by the sync that follows.
      const uint64_t target = s.appended.load();
      const int rc = Fs().Fdatasync(log.fd);
      if (rc != 0) {
        if (IsDiskFull(errno)) log.full.store(true);
        log.failed.store(true);
      }
      if (leader) s.syncing.store(0);
      if (rc == 0) AtLeast(s.synced, target);
      Wake();
      if (rc != 0) return log.full.load() ? Status::kDiskFull : Status::kIoError;
      if (flushed) *flushed = true;
      // This commit's entry was written before its wait began: a sync of its own covers it,
      // whatever the shared counters say (a gate file shrunk and grown back holds zeros).
      return Status::kOk;
    }
    const uint32_t holder = none;
    if (holder != me && !Alive(holder)) {
      // A process that died syncing.
      s.syncing.compare_exchange_strong(none, 0);
      continue;
    }
    struct timespec ts = {0, kSliceUs * 1000};
    s.sleepers.fetch_add(1);
    Fs().FutexWait(reinterpret_cast<uint32_t*>(&s.wake), wake, &ts);
    s.sleepers.fetch_sub(1);
  }
}

void NoteTicket(LogTicket ticket) { Pending().push_back(std::move(ticket)); }

bool TicketsNoted() { return !Pending().empty(); }

std::vector<LogTicket> TakeTickets() {
  std::vector<LogTicket> taken;
  taken.swap(Pending());
  return taken;
}

namespace {

// Once every ticket of a call is on disk, it answers only once every linked entry before its
// commits is decided too (what it stands on); only then are its own linked entries decided
// (their marks go): a recovery replays a transaction only where everything before it in its
// files is replayed as well.
Status SettleTickets(const std::vector<LogTicket>& tickets, Status first) {
  for (const LogTicket& t : tickets) {
    if (first != Status::kOk) break;
    first = t.sync->AwaitLinked(*t.log, t.lsn, t.mark);
  }
  if (first == Status::kOk) {
    for (const LogTicket& t : tickets) t.sync->ClearLinked(t.mark, t.lsn);
  }
  return first;
}

}  // namespace

Status AwaitTickets(const std::vector<LogTicket>& tickets) {
  Status first = Status::kOk;
  // A call's logs on one disk that writes in place share one flush: the others' bytes are
  // written back first (waiting until the disk took them), then the lead's log is synced,
  // whose flush of the disk's cache makes them stable too. Their sizes and blocks are on disk
  // already (a log's growth is synced at once). The lead is the last ticket, whose entry was
  // written last: the others' writes, started as they were written, have had the longest to
  // reach the disk. Credited only when this thread's own sync of the lead ran, begun after the
  // write-backs; otherwise each log is synced in turn, as always: a log synced while another
  // file's sync runs makes the disk flush twice where, in turn, the second sync often finds
  // its log already covered by a group.
  struct Rider {
    const LogTicket* ticket;
    uint64_t end;  // appended before its write-back: what the flush covers
  };
  std::vector<Rider> riders;
  const size_t lead = tickets.size() - 1;
  const LogFd& lead_log = *tickets[lead].log;
  for (size_t i = 0; i < lead && lead_log.in_place; ++i) {
    const LogTicket& t = tickets[i];
    LogShared& s = t.sync->shared();
    if (!t.log->in_place || t.log->dev != lead_log.dev || s.synced.load() >= t.lsn) continue;
    const uint64_t end = s.appended.load();
    if (t.log->failed.load() || Fs().WriteBack(t.log->fd) != 0) {
      // A write-back's error is reported once: the log's own sync would not see it again.
      if (!t.log->failed.load()) {
        if (IsDiskFull(errno)) t.log->full.store(true);
        t.log->failed.store(true);
      }
      continue;
    }
    riders.push_back({&t, end});
  }
  for (size_t n = 0; n < tickets.size(); ++n) {
    const size_t i = n == 0 ? lead : n - 1;  // the lead first, then the others in turn
    const LogTicket& t = tickets[i];
    bool flushed = false;
    Status status = t.sync->Await(*t.log, t.lsn, i == lead ? &flushed : nullptr);
    if (first == Status::kOk) first = status;
    if (i == lead && flushed) {
      for (const Rider& r : riders) r.ticket->sync->Covered(r.end);
    }
  }
  return SettleTickets(tickets, first);
}

}  // namespace mkde
