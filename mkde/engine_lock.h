// The engine's lock. Every call runs under it; a host nearly always calls from one thread,
// while the snapshot reaper and fork take it now and then from others. The lock is biased
// toward the first thread that calls: that thread takes and lets go of it with plain stores
// (no locked instruction), and a visitor (the reaper, a fork) shuts it out by setting a bar,
// running an asymmetric fence over the process (membarrier) and waiting until the owner is
// outside. A call from any other thread drops the bias for good: from then on every call
// takes the mutex, as when membarrier is not available.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace mkde {

class EngineLock {
 public:
  EngineLock();
  EngineLock(const EngineLock&) = delete;
  EngineLock& operator=(const EngineLock&) = delete;

  // For calls (BasicLockable, so std::unique_lock works on it).
  void lock() {
    if (owner_set_.load(std::memory_order_relaxed) &&
        pthread_equal(owner_.load(std::memory_order_relaxed), pthread_self())) {
      inside_.store(1, std::memory_order_relaxed);
      // The visitor's membarrier orders this store before the load below.
      std::atomic_signal_fence(std::memory_order_seq_cst);
      if (barred_.load(std::memory_order_acquire) == 0) {
        fast_held_ = true;
        return;
      }
      inside_.store(0, std::memory_order_release);
    }
    LockSlow();
  }
  void unlock() {
    if (fast_held_) {
      fast_held_ = false;
      std::atomic_signal_fence(std::memory_order_seq_cst);
      inside_.store(0, std::memory_order_release);
      return;
    }
    UnlockSlow();
  }

  // For the reaper and fork: takes the lock without taking the bias from its owner.
  void LockVisit();
  // In the child of a fork, with the lock held by the forking thread (LockVisit): lets go
  // of it and starts over as a fresh lock in the one thread the child has.
  void ResetInChild();

  // The bias is in force (tests).
  bool biased() const { return owner_set_.load(std::memory_order_relaxed); }

 private:
  void LockSlow();
  void UnlockSlow();
  // With mutex_ held: bars the owner and waits until it is outside.
  void Bar();
  void Register();

  std::mutex mutex_;
  std::atomic<bool> owner_set_{false};
  std::atomic<pthread_t> owner_{};
  std::atomic<uint32_t> inside_{0};  // the owner holds the lock without the mutex
  std::atomic<uint32_t> barred_{0};  // the owner must take the mutex
  // Written only by the thread that holds the lock.
  bool fast_held_ = false;  // held through the owner's fast path
  bool visiting_ = false;   // held by a visitor that lifts the bar when it lets go
  bool can_bias_ = false;   // membarrier's expedited fence is registered for the process
  bool dropped_ = false;    // calls came from a second thread: the mutex for every call
};

}  // namespace mkde
