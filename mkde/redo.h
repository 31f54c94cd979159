// Transactions over several files, made whole across a crash.
//
// Each file's changes wait in its own LMDB write transaction, and LMDB commits one file at a
// time. So that a crash between two files' commits never leaves a transaction in some of its
// files only, End first writes a redo beside every changed file: the transaction's identity,
// the list of every file it changed, and this file's changes as key-level puts and deletes.
// Once every redo is complete and synced the transaction is decided, and the files are
// committed one by one.
//
// A file has a few redo slots, each a file beside it (`<path>-redo`, `<path>-redo1`, ...),
// claimed in the gate file's shared page behind the write gate. A redo stays until the
// transaction's log entries are on disk in every file it changed: the gates are let go before
// that, and the next transaction writes another slot meanwhile. A freed slot's file is
// cleared (its tag written over with zeros: kept, so that the next transaction writes in
// place without creating a file; the last close removes it).
//
// Whoever next takes the write gate of a file with a slot left being prepared, or opens a file
// with a redo no live process claims, finishes the work, the file's slots in the order of
// their commits: when every participant holds a whole redo of the same transaction, every
// participant whose LMDB state is still the one before the transaction gets its changes
// replayed; otherwise the transaction was never decided, no file had committed any of it, and
// the redo is dropped. Each redo records the LMDB transaction id its file's commit produces,
// so a replay happens exactly when that commit is missing, and a stale redo is harmless.
#pragma once

#include <lmdb.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "enginecore/status.h"
#include "mkde/change_log.h"
#include "mkde/log_sync.h"

namespace mkde {

class FileEnv;
struct FileWrite;

// End of a transaction that changed at least two files: claims a redo slot in each, writes
// the redo files and commits each file's write transaction. Every write's gate is held by the
// caller and stays held. On a refusal before the decision nothing is committed and every
// write transaction is aborted; after it, a file whose commit fails has its changes replayed
// at once, and its redo is left for a later open or writer when that fails too. Once it
// answers 0 the transaction is durable (but in accelerated files); its slots stay claimed
// until its log entries are on disk (HeldCommit). Returns an engine status.
Status CommitAcross(std::vector<FileWrite>& writes);

// A redo slot claimed by a commit of this process.
struct SlotHold {
  std::shared_ptr<LogSync> sync;
  int slot;
  uint64_t word;
  std::string path;
};
// A commit over several files whose slots stay claimed until its log entries (`tickets`)
// are on disk in every file.
struct HeldCommit {
  std::vector<SlotHold> slots;
  std::vector<LogTicket> tickets;
};
// True when this process holds slots of such commits. All of these run under the engine's
// lock, but for FinishHeldCommits.
bool SlotsHeld();
// Frees the slots of every held commit whose log entries are on disk by now (no wait).
void FreeCoveredSlots();
// The held commits, for FinishHeldCommits (with the engine's lock let go, when it can be).
std::vector<HeldCommit> TakeHeldCommits();
// Waits for the commits' log entries to be on disk (a sync of each log, shared with other
// committers) and frees their slots; slots whose log failed are left for recovery.
void FinishHeldCommits(const std::vector<HeldCommit>& commits);
// At an open no other process shares: every slot claim in the shared page is a dead
// process's (or from before a restart), and the slots' files tell what is pending.
void ResetRedoSlots(FileEnv& file);
// Before the file is replaced by a copy, whose transaction ids start again: a slot's redo
// would otherwise seem to stand on the new file's state, once a crash undid the slot's
// clearing, and be replayed onto it. Every slot file is emptied on disk. REQUIRES: the gate
// held, and no other process with the file open: each transaction a slot holds is then in
// every file of it, those a crash left finished when the gate was taken. This process's held
// commits are finished first; a slot still claimed then (by a process that died since)
// answers 85. Returns an engine status.
Status EmptyRedoSlots(FileEnv& file);

// True when a slot of `file` that no live process claims holds a transaction (to finish or
// drop). Looks at the files: for an open.
bool RedoPending(const FileEnv& file);
// True when a slot was left being prepared: its writer died behind the gate, or its commit
// failed (the files themselves where the shared page is not mapped). For the write gate,
// taken on every write.
bool RedoMarked(FileEnv& file);
// At the last close: removes the slots' files that hold no transaction.
void DropClearedRedo(const FileEnv& file);

// Finishes or drops the transactions in `file`'s slots that no live process claims, taking
// the write gate of every participant (Retry::kGateBusy when one is held elsewhere: the
// caller tries again). `file` may be one the registry does not know yet (an open in
// progress). Returns an engine status.
Result RecoverPending(FileEnv* file);

// How recovery reaches a transaction's other files: through the registry of open files, which
// stands above the redo files and hands these in when it is made. Open answers an engine status
// and a file to Release once recovery is done with it.
struct PartnerFiles {
  Result (*open)(const std::string& path, FileEnv** out);
  void (*release)(FileEnv* file);
};
void SetPartnerFiles(PartnerFiles files);
const PartnerFiles& Partners();

}  // namespace mkde
