#include "mkde/engine_lock.h"

#include <linux/membarrier.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>

namespace mkde {

namespace {

long Membarrier(int cmd) { return ::syscall(SYS_membarrier, cmd, 0, 0); }

}  // namespace

EngineLock::EngineLock() { Register(); }

void EngineLock::Register() {
  long cmds = Membarrier(MEMBARRIER_CMD_QUERY);
  can_bias_ = cmds > 0 && (cmds & MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0 &&
              Membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0;
}

void EngineLock::LockSlow() {
  mutex_.lock();
  if (!can_bias_ || dropped_) return;
  if (!owner_set_.load(std::memory_order_relaxed)) {
    // The first thread to call: the lock is biased toward it from its next call on. No
    // owner was inside, so the mutex alone covers this one.
    owner_.store(pthread_self(), std::memory_order_relaxed);
    owner_set_.store(true, std::memory_order_release);
    return;
  }
  // The owner itself, barred while a visitor was in: the mutex covers this call.
  if (pthread_equal(owner_.load(std::memory_order_relaxed), pthread_self())) return;
  // A call from a second thread: calls come from several threads, so the bias ends for
  // good. The bar stays up, so that an owner that still read the bias as in force takes the
  // mutex.
  Bar();
  dropped_ = true;
  owner_set_.store(false, std::memory_order_relaxed);
}

void EngineLock::UnlockSlow() {
  if (visiting_) {
    visiting_ = false;
    barred_.store(0, std::memory_order_release);
  }
  mutex_.unlock();
}

void EngineLock::LockVisit() {
  mutex_.lock();
  if (!owner_set_.load(std::memory_order_relaxed) || dropped_) return;
  Bar();
  visiting_ = true;
}

void EngineLock::Bar() {
  barred_.store(1, std::memory_order_relaxed);
  // A full fence on every thread of the process that runs now: an owner that stored its
  // inside flag before it has that store seen below; one that stores it after reads the bar.
  // Registered at construction, so it cannot fail.
  (void)Membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED);
  for (int round = 0; inside_.load(std::memory_order_acquire) != 0; ++round) {
    if (round < 100) {
      sched_yield();
    } else {
      struct timespec ts = {0, 100 * 1000};
      nanosleep(&ts, nullptr);
    }
  }
}

void EngineLock::ResetInChild() {
  fast_held_ = false;
  visiting_ = false;
  inside_.store(0, std::memory_order_relaxed);
  // The child has only the forking thread; when that is not the owner, the next caller
  // becomes it.
  if (!pthread_equal(owner_.load(std::memory_order_relaxed), pthread_self())) {
    owner_set_.store(false, std::memory_order_relaxed);
  }
  if (!dropped_) {
    Register();
    if (!can_bias_) owner_set_.store(false, std::memory_order_relaxed);
  }
  barred_.store(dropped_ || !can_bias_ ? 1 : 0, std::memory_order_relaxed);
  mutex_.unlock();
}

}  // namespace mkde
