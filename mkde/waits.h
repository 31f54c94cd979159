// Waits between clients, across every process of the user on this machine.
//
// A client that has to wait (for a write gate or a record lock another client holds)
// publishes, in one shared table, what it waits for and what it holds; only clients that
// wait can close a cycle, so the table holds exactly the graph that matters. Publishing and
// the search for a cycle run under one lock of the table, so of two clients that close a
// cycle together, the second sees the first and answers 78.
//
// Whoever lets go of a gate or a record lock while someone waits bumps a shared counter
// and wakes the waiters (a futex in the table), so that a wait ends as soon as what it
// waits for is free, not at the next poll.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mkde {

// Something a client can hold and another wait for: a byte of a file's gate file (byte 0
// the write gate, 2^32 + p the lock on record p).
struct Resource {
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint64_t byte = 0;
  bool operator==(const Resource& o) const {
    return dev == o.dev && ino == o.ino && byte == o.byte;
  }
};

class Waits {
 public:
  static Waits& Get();

  // The counter a wait compares against: read before the attempt whose failure leads to
  // the wait. 0 when the table is not available (waits then poll).
  uint32_t Epoch();
  // Publishes `client` (an identity unique on the machine) as waiting for `wanted` while
  // holding `held`, and searches for a cycle. True when this wait closes one: the slot is
  // withdrawn and the caller answers 78. A client already published is updated.
  bool Publish(uint64_t client, const Resource& wanted, const std::vector<Resource>& held);
  // Withdraws the client's entry (its wait ended, whichever way).
  void Withdraw(uint64_t client);
  // Sleeps until something is let go after `epoch` was read, or `timeout_us` passes.
  void Sleep(uint32_t epoch, long timeout_us);
  // After a gate or record lock was let go: wakes waiters, if there are any.
  void Released();
  // True when some client on the machine sleeps in a wait (a queue has formed).
  bool Queued();
  // True when a waiting client wants `gate` while it holds a write gate of its own: a
  // transaction that takes `gate` as its first one now would let that client wait on, and
  // the two would close a cycle as soon as it needs the other's gate.
  bool GateWantedByHolder(const Resource& gate);

  // After fork(): the child takes up the table afresh (its lock must be its own).
  void ForgetAfterFork();

 private:
  Waits() = default;
  bool Attach();
  // The table is still as long as it was mapped (fstat): false, and the table given up, when
  // another process shrank it.
  bool Usable();
  // Gives the table up for the life of the process, with a notice for the host saying why;
  // false.
  bool Refuse(const std::string& path, const std::string& why);
  // The table's lock, waited for only so long: false when another process holds it past that.
  bool LockTable();
  void UnlockTable();
  // Takes the table's lock and looks at its size again; false (the table given up) when
  // either fails.
  bool Enter();
  // After the lock stayed held: withdraws this process's entries and gives the table up.
  void GiveUpLocked();

  int fd_ = -1;
  bool failed_ = false;
  void* table_ = nullptr;
};

// The table's size in bytes: a file of another size under its name is not taken up.
size_t WaitsTableBytes();

// True when a client of process `pid` is published as waiting, false when none is or the
// table cannot be read: for a test or a tool that must know another client waits before it
// goes on. It reads the table through a descriptor of its own, so any thread may ask.
bool ProcessWaits(pid_t pid);

// Puts the table at `path` instead of /dev/shm/vastrel-waits-<uid>: for tests, before
// the table is first used (or after ForgetAfterFork).
void SetWaitsTablePath(const std::string& path);

// The resource a failed attempt would have to wait for: set where the conflict is found
// (the gate, a record lock), read by the wait that follows.
void NoteWait(const Resource& r);
bool TakeNotedWait(Resource* r);

// Set while a call that already waits tries again (under the engine's lock): its attempt at a
// busy write gate gives up at once rather than spinning, since its sleep ends when the gate
// is let go. Sixteen processes spinning on one gate would take the holder's processor.
void SetRetrying(bool retrying);
bool Retrying();
struct RetryingScope {
  RetryingScope() { SetRetrying(true); }
  ~RetryingScope() { SetRetrying(false); }
  RetryingScope(const RetryingScope&) = delete;
  RetryingScope& operator=(const RetryingScope&) = delete;
};

}  // namespace mkde
