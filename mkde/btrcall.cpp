// The two exported entry points, and a call's way to its operation.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <new>
#include <thread>
#include <vector>

#include "enginecore/include/wbtrv32.h"
#include "mkde/engine.h"
#include "mkde/file_env_internal.h"
#include "mkde/fs.h"
#include "mkde/lmdb_util.h"
#include "mkde/log_sync.h"
#include "mkde/redo.h"
#include "mkde/registry.h"
#include "mkde/waits.h"

namespace mkde {

namespace {

// How long a wait lock waits for a record another block holds before it answers 84.
constexpr auto kLockWait = std::chrono::seconds(3);
// How long a write waits for another process's write gate (a transaction there) before it
// answers 85.
constexpr auto kGateWait = std::chrono::seconds(5);
// A waiter is woken when what it waits for is let go; it looks again after this in any case
// (a holder that died lets go without waking anyone).
constexpr auto kPoll = std::chrono::milliseconds(10);

std::atomic<bool> forked{false};

// A fork waits for the engine's lock, so that the child never starts with it held by a
// thread it does not have (the snapshot reaper takes it every few milliseconds).
void BeforeFork() {
  if (!mkde::Engine::Gone()) mkde::Engine::Get().LockForFork();
}
void AfterForkParent() {
  if (!mkde::Engine::Gone()) mkde::Engine::Get().UnlockForFork();
}
void AfterForkChild() {
  forked.store(true);
  if (!mkde::Engine::Gone()) mkde::Engine::Get().ResetLockInChild();
}

// A kept read snapshot is let go once no call used it for one to two of these.
constexpr auto kSnapshotIdle = std::chrono::milliseconds(20);

}  // namespace

namespace {
// Set once the engine object is being destroyed (library unload or process exit). A host
// may still call after that, for instance a component's Stop at its own module end when
// its static objects happen to go after ours; such a call answers 20 (the record manager
// is inactive) instead of touching a destroyed engine.
std::atomic<bool> engine_gone{false};

// Constructed right after the engine, so destroyed right before it.
struct GoneMarker {
  ~GoneMarker() { engine_gone.store(true, std::memory_order_release); }
};
}  // namespace

void WakeReaper() {
  if (!Engine::Gone()) Engine::Get().WakeReaper();
}

Engine& Engine::Get() {
  // Destroyed when the library is unloaded or the process exits, closing every file. The
  // registry of open files is made first so that it is destroyed last: the engine's
  // destructor still releases its files into it.
  static Registry& registry = Registry::Get();
  (void)registry;
  static Engine engine;
  static GoneMarker marker;
  return engine;
}

bool Engine::Gone() { return engine_gone.load(std::memory_order_acquire); }

Engine::Engine() { pthread_atfork(BeforeFork, AfterForkParent, AfterForkChild); }

Engine::~Engine() {
  // The slots of this process's commits over several files go once their logs are synced,
  // rather than waiting for a later writer to find their owner gone.
  if (!forked.load()) FinishHeldCommits(TakeHeldCommits());
  stopping_.store(true);
  WakeReaper();
  if (reaper_) {
    reaper_->join();
    delete reaper_;
  }
}

void Engine::StartReaper() {
  if (reaper_) return;
  reaper_ = new std::thread([this] { Reap(); });
}

void Engine::Reap() {
  auto next_look = std::chrono::steady_clock::now() + kSnapshotIdle;
  while (!stopping_.load()) {
    // Asleep until the next look at idle snapshots and held commits, or until a commit finds
    // its log due a roll (WakeReaper).
    const uint32_t seen = reaper_wake_.load();
    const auto now = std::chrono::steady_clock::now();
    if (now < next_look) {
      const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(next_look - now);
      struct timespec ts = {static_cast<time_t>(left.count() / 1000000000),
                            static_cast<long>(left.count() % 1000000000)};
      Fs().FutexWait(reinterpret_cast<uint32_t*>(&reaper_wake_), seen, &ts);
    }
    const bool look = std::chrono::steady_clock::now() >= next_look;
    lock_.LockVisit();
    // Data files whose log is due a roll are synced first with the lock let go: the roll that
    // follows behind the gate then writes only what the commits meanwhile left.
    std::vector<std::shared_ptr<LogFd>> presync;
    if (!stopping_.load() && !forked.load()) presync = Registry::Get().PresyncsDue();
    if (!presync.empty()) {
      lock_.unlock();
      for (const std::shared_ptr<LogFd>& data : presync) {
        if (Fs().Fdatasync(data->fd) != 0) {
          // What the sync held is not known to be on disk, and a later sync of the file may
          // not say otherwise.
          if (IsDiskFull(errno)) data->full.store(true);
          data->failed.store(true);
        }
      }
      presync.clear();
      lock_.LockVisit();
    }
    std::vector<HeldCommit> held;
    if (!stopping_.load() && !forked.load()) {
      // Logs due a roll (a commit woke this thread for them) roll here, off the committers' path.
      Registry::Get().RollDue();
      if (look) {
        Registry::Get().ReleaseIdle();
        held = TakeHeldCommits();
      }
    }
    lock_.unlock();
    if (look) next_look = std::chrono::steady_clock::now() + kSnapshotIdle;
    // Commits over several files that no later call of this process freed: their slots
    // would otherwise stay claimed while the process is idle.
    FinishHeldCommits(held);
  }
}

void Engine::WakeReaper() {
  reaper_wake_.fetch_add(1);
  Fs().FutexWake(reinterpret_cast<uint32_t*>(&reaper_wake_));
}

int16_t Engine::Dispatch(uint16_t op, void* pos_block, void* data, uint32_t* data_len, void* key,
                         uint8_t key_len, int8_t key_num, void* client_id) {
  std::unique_lock<EngineLock> lock(lock_);
  Status status = Serve(lock, op, pos_block, data, data_len, key, key_len, key_num, client_id);
  if (!lock.owns_lock()) lock.lock();
  if (SlotsHeld()) {
    Fs().Reached("released");
    FreeCoveredSlots();
    if (op == BTR_STOP) {
      // A stop waits for what it committed to be on disk.
      std::vector<HeldCommit> held = TakeHeldCommits();
      lock.unlock();
      FinishHeldCommits(held);
      lock.lock();
    }
  }
  // Most calls commit nothing through the log.
  if (!TicketsNoted()) return Code(status);
  std::vector<LogTicket> tickets = TakeTickets();
  lock.unlock();
  // A commit through the log is on disk once a sync of the log covers it: waited for with
  // the engine's lock let go, so that the process's other clients commit meanwhile and
  // share the sync.
  Status synced = AwaitTickets(tickets);
  if (status == Status::kOk) status = synced;
  return Code(status);
}

Status Engine::Serve(std::unique_lock<EngineLock>& lock, uint16_t op, void* pos_block, void* data,
                     uint32_t* data_len, void* key, uint8_t key_len, int8_t key_num,
                     void* client_id) {
  // Read first: an exchange on every call would cost a locked instruction.
  if (forked.load(std::memory_order_relaxed) && forked.exchange(false)) {
    Registry::Get().ForgetAfterFork();
    handles_.ForgetAfterFork();
    Waits::Get().ForgetAfterFork();
    // The parent's commits: its own calls wait for them and free their slots.
    TakeTickets();
    TakeHeldCommits();
    reaper_ = nullptr;  // the parent's thread: not in this process
  }
  StartReaper();
  Call call;
  Status decoded = core::DecodeCall(op, pos_block, data, data_len, key, key_len, key_num, &call);
  if (decoded != Status::kOk) return decoded;
  try {
    call.client = client_id ? handles_.ClientFor(client_id) : handles_.DefaultClient();
    const Call original = call;  // Run edits its copy (key-only forms)
    // A wait lock on a record another block holds, and any write that finds another
    // process holding the file's write gate, wait until the holder lets go or the wait
    // runs out; the engine's lock is let go meanwhile so that other threads (the holder
    // among them, and every reader) go on. Nothing of a refused attempt was kept, so it
    // simply runs again, finding the block's place anew. A wait that would close a cycle
    // of waiting clients answers 78 at once.
    bool wait_lock = call.lock == 1 || call.lock == 3;
    auto must_wait = [&](Result s) {
      return s == Retry::kGateBusy || (wait_lock && s == Status::kRecordInUse);
    };
    Resource stale;
    TakeNotedWait(&stale);  // noted by an earlier call that did not wait
    Result status = Run(call);
    if (!must_wait(status)) return status.Settle();
    Waits& waits = Waits::Get();
    const uint64_t me = (static_cast<uint64_t>(::getpid()) << 32) | call.client->serial;
    bool published = false;
    Resource published_for;
    auto done = [&](Result s) {
      if (published) waits.Withdraw(me);
      return s.Settle();
    };
    auto start = std::chrono::steady_clock::now();
    for (;;) {
      // Published again only when the wait is for something else: nothing the client holds
      // changes while it waits, and a holder that starts to wait later sees this entry.
      Resource wanted;
      if (TakeNotedWait(&wanted) && !(published && wanted == published_for)) {
        published_for = wanted;
        Client* client = handles_.ClientFor(client_id);
        if (waits.Publish(me, wanted, Holdings(client))) {
          published = false;
          return Status::kDeadlock;
        }
        published = true;
      }
      auto waited = std::chrono::steady_clock::now() - start;
      if (status == Retry::kGateBusy && waited >= kGateWait) return done(Status::kFileInUse);
      if (status == Status::kRecordInUse && waited >= kLockWait) return done(Status::kRecordInUse);
      // Read before the attempt: a release after it wakes the sleep below at once.
      uint32_t epoch = waits.Epoch();
      Call attempt = original;
      attempt.client = handles_.ClientFor(client_id);
      {
        RetryingScope retrying;
        status = Run(attempt);
      }
      if (!must_wait(status)) return done(status);
      lock.unlock();
      waits.Sleep(epoch, std::chrono::duration_cast<std::chrono::microseconds>(kPoll).count());
      lock.lock();
      if (forked.load()) return Status::kIoError;  // a fork in another thread meanwhile
    }
  } catch (const std::bad_alloc&) {
    return Status::kNoMemory;
  } catch (...) {
    return Status::kIoError;
  }
}

Result Engine::Run(Call& call) {
  if (core::NeedsHandle(call.op)) {
    call.handle = handles_.Find(call.pos_block, call.client);
    if (!call.handle) return Status::kFileNotOpen;
    // A file whose environment could not be taken up again after a rewrite.
    if (!call.handle->file->env() && call.op != BTR_CLOSE) return Status::kIoError;
  }
  return core::RunOperation<Result>(*this, call);
}

}  // namespace mkde

extern "C" {

int16_t BTRCALL(uint16_t op, void* pos_block, void* data_buf, uint32_t* data_len, void* key_buf,
                uint8_t key_len, int8_t key_num) {
  if (mkde::Engine::Gone()) return mkde::Code(mkde::Status::kManagerInactive);
  return mkde::Engine::Get().Dispatch(op, pos_block, data_buf, data_len, key_buf, key_len, key_num,
                                      nullptr);
}

int16_t BTRCALLID(uint16_t op, void* pos_block, void* data_buf, uint32_t* data_len, void* key_buf,
                  uint8_t key_len, int8_t key_num, void* client_id) {
  if (mkde::Engine::Gone()) return mkde::Code(mkde::Status::kManagerInactive);
  return mkde::Engine::Get().Dispatch(op, pos_block, data_buf, data_len, key_buf, key_len, key_num,
                                      client_id);
}

}  // extern "C"
