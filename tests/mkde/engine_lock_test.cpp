// The engine's lock: biased toward the thread that calls, visited by the snapshot reaper and
// fork, and a plain mutex once calls come from a second thread.
#include "mkde/engine_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace mkde {
namespace {

// A read and a write apart, so that two holders at once lose increments.
void Bump(volatile long* counter) {
  long v = *counter;
  if ((v & 63) == 0) std::this_thread::yield();
  *counter = v + 1;
}

TEST(EngineLock, VisitorsAndTheOwnerNeverHoldItTogether) {
  EngineLock lock;
  volatile long counter = 0;
  constexpr long kOwner = 200000, kVisits = 2000;
  std::atomic<bool> started{false};
  std::thread owner([&] {
    for (long i = 0; i < kOwner; ++i) {
      std::lock_guard<EngineLock> hold(lock);
      Bump(&counter);
      started.store(true, std::memory_order_relaxed);
    }
  });
  while (!started.load()) std::this_thread::yield();
  const bool biased = lock.biased();  // where the process may register membarrier
  for (long i = 0; i < kVisits; ++i) {
    lock.LockVisit();
    Bump(&counter);
    lock.unlock();
  }
  owner.join();
  EXPECT_EQ(counter, kOwner + kVisits);
  EXPECT_EQ(lock.biased(), biased) << "visits leave the bias in force";
}

TEST(EngineLock, CallsFromASecondThreadEndTheBias) {
  EngineLock lock;
  volatile long counter = 0;
  { std::lock_guard<EngineLock> first(lock); }
  { std::lock_guard<EngineLock> second(lock); }
  constexpr long kEach = 100000;
  auto work = [&] {
    for (long i = 0; i < kEach; ++i) {
      std::lock_guard<EngineLock> hold(lock);
      Bump(&counter);
    }
  };
  std::thread other(work);
  work();
  other.join();
  EXPECT_EQ(counter, 2 * kEach);
  EXPECT_FALSE(lock.biased());
}

}  // namespace
}  // namespace mkde
