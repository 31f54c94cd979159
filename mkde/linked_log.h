// The commit log's stored forms: its header (with the list of the files whose logs may hold
// entries linked with this one's) and its entries, plain (one file's commit) or linked (one
// file's part of a transaction over several files), and what recovery decides about a linked
// entry from what the other participants hold.
//
// A transaction over several files writes one linked entry into each participant's log: its
// 16-byte identity, every participant's absolute path with the LMDB transaction id that
// participant's commit makes, this file's place among them, and this file's changes. It is
// decided once every participant's entry is on disk. Recovery replays a linked entry only when
// it is decided as seen from the other participants: each holds a whole linked entry of the
// same identity in its log, or its own settled state notes the transaction (a participant
// whose log was cut by a checkpoint, which comes only after its linked entries were decided).
// That note is a record in the participant's `meta` database, one per other participant: the
// identity of the last transaction the two shared (and the transaction id the other
// participant's commit made in it). It decides an entry of that transaction, or one that comes
// before it in the other participant's log. Identities, not transaction ids, are compared:
// the ids of a file start again in a copy put in its place (an owner change, a compact), so a
// note of the file it replaced may name a higher id than any of the copy's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "enginecore/status.h"

namespace mkde {

// Transactions over durable files commit through linked log entries instead of redo files
// (one with an accelerated participant still goes through redo files). Off, logs are written
// in the second form, the third only read, and every transaction over several files goes
// through redo files.
constexpr bool kLinkedCommits = true;
constexpr int kLogVersion = kLinkedCommits ? 3 : 2;

constexpr size_t kLinkedIdSize = 16;
// A log's header names at most this many partners; a longer path than kMaxLogPath is refused.
constexpr size_t kMaxLogPartners = 16;
constexpr size_t kMaxLogPath = 4096;
// A log read to decide another file's linked entries is refused past this size: a log is
// checkpointed at a few MiB, so anything larger is not one the engine wrote.
constexpr uint64_t kMaxLogRead = uint64_t{64} << 20;

struct LogHeader {
  int version = 3;          // 1: no key; 2: keyed entries; 3: partners and linked entries
  uint64_t checkpoint = 0;  // C, the transaction id the log's first entry stands on
  uint32_t page_size = 0;
  std::string metas;  // the data file's two meta pages at C
  std::string key;    // 16 bytes (none in a version 1 log)
  std::vector<std::string> partners;
};

// The header as a version 3 log begins. The caller keeps the partners within bounds.
std::string EncodeLogHeader(const LogHeader& header);
// The header at the start of `bytes` (any version): its size, or 0 when no whole header whose
// hash checks is there. `bytes` may run on past the header.
size_t DecodeLogHeader(std::string_view bytes, LogHeader* header);
// How many bytes a header whose first 24 bytes are `prefix` can take at most (0: no header).
size_t LogHeaderLimit(std::string_view prefix);

struct LinkedPart {
  std::string path;    // absolute
  uint64_t after = 0;  // the transaction id the participant's commit makes
};

struct LogEntry {
  uint64_t id = 0;  // the transaction id this commit makes
  bool linked = false;
  // Linked entries only: the transaction's identity, the participants, this file's index.
  std::string identity;
  std::vector<LinkedPart> parts;
  uint32_t index = 0;
  std::string changes;
  size_t end = 0;  // just past the entry in the log
};

// The entry as it is written into a log of `version` hashed under `key`. A linked entry goes
// only into a version 3 log.
std::string EncodeLogEntry(const LogEntry& entry, int version, std::string_view key);
// The entry at `at` of `log`: false when none is whole there (too short, a length of zero,
// a hash that does not check under `key`, a body that does not parse).
bool DecodeLogEntry(std::string_view log, size_t at, int version, std::string_view key,
                    LogEntry* entry);

// A participant's log as recovery reads it: the whole entries that follow its header, as long as
// each makes the transaction after the one before (from the checkpoint on), which is as far as
// its own replay could go.
struct PartnerLog {
  bool found = false;  // a log whose header checks
  std::vector<LogEntry> entries;
  // The place of the linked entry of `identity` among the entries, or -1.
  long Find(std::string_view identity) const;
};

// Reads the log of the record file `record` (`record` + "-log"), opened without following a
// link and read only when it is a regular file within kMaxLogRead. A log that is not there, or
// holds no header that checks, is found empty. Returns an engine status: 2 when it is there
// but cannot be read, or is not a regular file, or is too large.
Status ReadPartnerLog(const std::string& record, PartnerLog* out);
// The entries of a log whose header is `header` and which starts at `at` of `bytes`, cut as
// PartnerLog says.
std::vector<LogEntry> WholeEntries(std::string_view bytes, size_t at, const LogHeader& header);

// Decides, over the logs of a set of files read as they stand before any of them is
// recovered, how many leading entries of each may be replayed. A linked entry may be when
// every other participant would replay its own entry of the transaction (it holds one whole,
// and every entry before it there may be replayed), or that participant's settled state notes
// the transaction: `noted(file, partner)`, the identity of the last transaction `file` shared
// with `partner` ("" when none), is this one's or that of one after it in this log. So a
// transaction is replayed in all of its files or in none, also when an earlier transaction of
// one of them was not decided: its replay stops there, and so does every other file's at the
// transaction after it.
class LinkedDecision {
 public:
  using Noted = std::function<std::string(const std::string& file, const std::string& partner)>;
  LinkedDecision(std::map<std::string, PartnerLog> logs, Noted noted)
      : logs_(std::move(logs)), noted_(std::move(noted)) {}
  // How many leading entries of the log of `path` (one of the logs given) may be replayed.
  size_t Replayable(const std::string& path);

 private:
  struct State {
    size_t prefix = 0;  // entries known to be replayable
    bool stopped = false;
    bool busy = false;
  };
  // True when the first `n` entries of the log of `path` may be replayed.
  bool Prefix(const std::string& path, size_t n);
  // The entry at `at` of the log of `path`.
  bool Decided(const std::string& path, size_t at);
  std::map<std::string, PartnerLog> logs_;
  std::map<std::string, State> state_;
  Noted noted_;
};

class FileEnv;
struct FileWrite;

// End of a transaction over several durable files (kLinkedCommits): every participant's
// linked entry written into its log, then each file committed unsynced behind it; the calls
// wait for the logs' syncs once the gates are let go (the tickets noted). Every write's gate is
// held by the caller. Returns an engine status; nothing is committed when it fails before the
// commits.
Status CommitLinkedAcross(std::vector<FileWrite>& writes);

// At the recovery of `self`'s log (`header`, and its whole `entries` in order): *decided is
// how many entries from the first may be replayed, those before the first linked entry that
// is not decided. The other participants' logs are read first, as they stand; then each
// participant named by the entries or by the header is opened, so that its own recovery runs
// while this log still stands and reads it the same way (a file whose recovery is under way
// in this chain is not entered again); then each linked entry is decided. A participant that
// is gone holds nothing. REQUIRES: self's gate is held, its LMDB state put back to the log's
// checkpoint. Returns an engine status (Retry::kGateBusy: a participant's gate is held
// elsewhere), with nothing replayed.
Result SettleLinked(FileEnv* self, const LogHeader& header, const std::vector<LogEntry>& entries,
                    size_t* decided);

// Sets *written when every participant's entry of the linked entry `entry` of `self`'s log
// was written: `self` is the last participant, whose entry is written last, or the last one's
// log holds its entry, or its state notes the transaction (its log checkpointed since; that
// file is opened to look, only with `may_open`, else the answer is 2). Returns an engine
// status.
Result LinkedWritten(FileEnv* self, const LogEntry& entry, bool may_open, bool* written);

// The `meta` record a participant keeps about the last transaction it shared with the file at
// `partner` (absolute path), and its value: the transaction id the partner's commit made, then
// the identity.
std::string LinkedNoteKey(std::string_view partner);
std::string EncodeLinkedNote(uint64_t partner_after, std::string_view identity);
// The identity a note `value` holds, or "" when it is not a note.
std::string NoteIdentity(std::string_view value);

}  // namespace mkde
