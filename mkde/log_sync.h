// The syncs of a record file's commit log, shared by every process and client that commits
// through it (group commit).
//
// A committer appends its entry and commits LMDB behind the write gate, lets the gate go,
// and only then waits for its entry to be on disk: the first waiter whose entry no finished
// sync covers syncs the log for everyone behind it, the others sleep until that sync ends.
// The counters live in the first page of the gate file, mapped by every process that has
// the file open (see docs/engine-file-format.md).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "enginecore/status.h"

namespace mkde {

// The redo slots a file has for transactions over several files (redo.h).
constexpr int kRedoSlots = 4;
// The linked entries of a file's log not yet known to be decided (linked_log.h).
constexpr int kLinkedMarks = 8;

// What the writers of one file share about its log. Positions in the log are counted as
// sequence numbers that only grow: `base` is the number of the log's offset 0, so that a
// log emptied and begun again never reuses a number a waiter may still hold.
struct LogShared {
  std::atomic<uint64_t> magic;
  std::atomic<uint64_t> base;        // the log's offset 0
  std::atomic<uint64_t> appended;    // just past the last entry whose commit LMDB has
  std::atomic<uint64_t> synced;      // everything before it is on disk
  std::atomic<uint64_t> checkpoint;  // the log's checkpoint (a transaction id); 0: no log
  std::atomic<uint64_t> last_txn;    // the transaction id the last entry makes
  std::atomic<uint64_t> commits;     // commits through the log, for the idle checkpoint
  std::atomic<uint32_t> syncing;     // the process syncing the log now, 0 none
  std::atomic<uint32_t> wake;        // bumped, and its sleepers woken, when a sync ends
  unsigned char key[16];             // the log's key (its header's), read behind the gate
  std::atomic<uint32_t> sleepers;    // waiters asleep on `wake`: with none, no wake-up call
  std::atomic<uint32_t> redo;        // nonzero: the redo file may hold a transaction (a page
                                     // an earlier version of the engine left)
  // The redo slots of transactions over several files (redo.h): 0 when free, else the owner's
  // process id | state << 32 | a generation << 34.
  std::atomic<uint64_t> slot[kRedoSlots];
  std::atomic<uint64_t> slot_after[kRedoSlots];  // the transaction id the slot's commit makes
  std::atomic<uint64_t> slot_generation;
  // Of a committed slot: the first 8 bytes of its transaction's identity, the end of its
  // entry in this file's log (0: none to wait for), and the number of files it changed.
  std::atomic<uint64_t> slot_txn[kRedoSlots];
  std::atomic<uint64_t> slot_lsn[kRedoSlots];
  std::atomic<uint32_t> slot_files[kRedoSlots];
  // Pages freed by the log's commits since its checkpoint: LMDB reuses none of them while the
  // checkpoint's snapshot is held, so a checkpoint comes when they pass a share of the file.
  std::atomic<uint64_t> freed;
  // Bumped by a compact that puts a new file in the record file's place: odd while the swap is
  // under way (the gate and byte 2 of the gate file held), even once it is done. Each process
  // follows a count it has not seen to the file now at the path (FileEnv::FollowReplacement).
  std::atomic<uint64_t> replaced;
  // Linked entries of the log whose transaction is not known to be decided yet: the start and
  // the end of the entry (positions, as `appended`; end 0: the mark is free) and the process
  // that wrote it. A commit later in the log answers only once every such mark before it is
  // gone, and a checkpoint waits for them likewise: the mark's owner clears it once every
  // participant's log holds its entry on disk, and a waiter whose owner died or is slow syncs
  // the participants' logs itself. `linked_wake` is bumped when a mark goes.
  std::atomic<uint64_t> linked_at[kLinkedMarks];
  std::atomic<uint64_t> linked_end[kLinkedMarks];
  std::atomic<uint32_t> linked_owner[kLinkedMarks];
  std::atomic<uint32_t> linked_wake;
  // Set (to the writer's process id) while a linked entry of this log is written but not yet
  // committed behind it, by the gate's holder: a gate taken while it is set may find the part
  // of a writer that died in between (FileEnv::FinishLinked), and need not look otherwise.
  std::atomic<uint32_t> linked_writer;
  std::atomic<uint32_t> linked_sleepers;  // waiters asleep on `linked_wake`
};

// A descriptor of the log, closed when the last holder lets it go: a commit's wait may
// outlive the close of its file.
struct LogFd {
  explicit LogFd(int d);
  ~LogFd();
  LogFd(const LogFd&) = delete;
  LogFd& operator=(const LogFd&) = delete;
  int fd;
  // The disk the log is on, and whether its file system writes a file's bytes over its own
  // blocks (ext4 without data journaling, XFS): a log whose size and blocks are on disk
  // (every growth is synced at once) then has bytes on disk once they were written back and
  // a flush of that disk followed, whichever file's sync made it.
  dev_t dev = 0;
  bool in_place = false;
  // A sync of the log failed: what it held is not known to be on disk, and no later sync may
  // say otherwise. Every commit waiting on it answers 2, or 18 when the sync failed for want
  // of room (`full`, set before `failed`); every later one answers 2.
  mutable std::atomic<bool> failed{false};
  mutable std::atomic<bool> full{false};
};

// The mapped page of one file's gate file.
class LogSync {
 public:
  // Maps the first page of the gate file (growing the file to a page when shorter);
  // nullptr when that fails.
  static std::shared_ptr<LogSync> Map(int gate_fd);
  ~LogSync();
  LogSync(const LogSync&) = delete;
  LogSync& operator=(const LogSync&) = delete;

  LogShared& shared() const { return *shared_; }
  // Looks at the gate file's size before the page is used: another process that shrank the
  // file would make the page's next touch kill this one. A file found shrunk is grown back
  // to a page, which then holds zeros: the counters it shared are lost (the next commit finds
  // no log and begins one, a waiter syncs the log itself), and a notice says so. Called
  // where a use of the page begins (the gate taken, each look of a commit's wait, the
  // reaper's look); a shrink that lands between the look and the touch is not caught.
  void Check();
  // Returns once a finished sync of `log` covers `lsn`: this thread's own when no other
  // sync is under way, else the one under way (and its own after it, if that did not
  // cover it). Returns an engine status.
  // *flushed (when given): this thread's own sync covered it, begun within the call.
  Status Await(const LogFd& log, uint64_t lsn, bool* flushed = nullptr);
  // Counts the log synced up to `lsn`, its bytes so far having been written back and a flush
  // of their disk made since (AwaitTickets), and wakes its waiters.
  void Covered(uint64_t lsn);
  // After the log was emptied with everything it held synced into the record file: every
  // waiter is covered.
  void CoverAll();
  // Returns once no mark of a linked entry of `log` that ends at or before `lsn` (every one:
  // UINT64_MAX) is left but `own`: each is waited for while its owner lives, for a second at
  // most, and otherwise settled here (every other participant's log synced). Returns an
  // engine status.
  Status AwaitLinked(const LogFd& log, uint64_t lsn, int own = -1);
  // Claims a free mark for a linked entry at [at, end) (settling the oldest when none is free);
  // -1 when none could be had. REQUIRES: the gate is held.
  int MarkLinked(const LogFd& log, uint64_t at, uint64_t end);
  // Clears mark `m` when it still marks the entry ending at `end`.
  void ClearLinked(int m, uint64_t end);
  // Clears every mark: when a log begins (the old one's entries were all decided before its
  // checkpoint), and at an open no other process shares (their owners are gone, and the
  // recovery of the log decides their entries).
  void ClearAllLinked();

 private:
  LogSync() = default;
  void Wake();
  void WakeLinked();
  LogShared* shared_ = nullptr;
  // A descriptor of the gate file of its own (no locks are ever taken through it, so its
  // close lets none go): the page may outlive the file's close. -1 when none could be had.
  int fd_ = -1;
};

// A commit of the current call that must be on disk before the call answers.
struct LogTicket {
  std::shared_ptr<LogSync> sync;
  std::shared_ptr<LogFd> log;
  uint64_t lsn = 0;
  int mark = -1;  // a linked entry's mark, cleared once every ticket of the call is on disk
};

// The tickets of the current call: noted by a commit through the log, taken by the engine
// before it lets go of its lock (both under that lock, which serialises every call), and
// waited for after, so that other clients of the process commit meanwhile. AwaitTickets
// returns the first failing status, or 0.
void NoteTicket(LogTicket ticket);
// True when the current call noted a ticket: most calls commit nothing through the log.
bool TicketsNoted();
std::vector<LogTicket> TakeTickets();
Status AwaitTickets(const std::vector<LogTicket>& tickets);

// True when process `pid` may still be running.
bool Alive(uint32_t pid);
// This process's id (asked of the system once per process).
uint32_t OwnPid();

}  // namespace mkde
