#include "mkde/redo.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "enginecore/coding.h"
#include "enginecore/include/wbtrv32.h"
#include "mkde/byte_reader.h"
#include "mkde/companion.h"
#include "mkde/file_env.h"
#include "mkde/file_env_internal.h"
#include "mkde/handles.h"
#include "mkde/lmdb_util.h"
#include "mkde/log_sync.h"

namespace mkde {

namespace {

// The redo file: the tag, u64 the length of the whole redo (tag and hash included), the
// transaction's 16-byte identity, u32 number of participants, u32 this file's index among
// them, u64 the LMDB transaction id this file's commit produces, each participant's absolute
// path (u32 length, bytes), u64 length of the change log, the change log, and a 16-byte
// BLAKE2b hash of everything before it. The file is kept from one transaction to the next and
// written over in place (bytes past the length are an earlier redo's); a tag of zeros means
// it holds none. A redo cut short or damaged fails the hash and counts as absent. Files of
// the first format (tag `vstredo1`, no length: the hash ends the file) are still read.
constexpr char kRedoTag[8] = {'v', 's', 't', 'r', 'e', 'd', 'o', '2'};
constexpr char kRedoTag1[8] = {'v', 's', 't', 'r', 'e', 'd', 'o', '1'};
constexpr size_t kIdSize = 16;
constexpr size_t kHashSize = 16;
constexpr uint32_t kMaxParticipants = 4096;

struct Redo {
  uint8_t id[kIdSize] = {};
  uint32_t index = 0;
  uint64_t after = 0;
  std::vector<std::string> paths;
  std::string changes;
};

std::string EncodeRedo(const Redo& r) {
  std::string out(kRedoTag, sizeof kRedoTag);
  PutFixed64(&out, 0);  // the length, filled in below
  out.append(reinterpret_cast<const char*>(r.id), kIdSize);
  PutFixed32(&out, static_cast<uint32_t>(r.paths.size()));
  PutFixed32(&out, r.index);
  PutFixed64(&out, r.after);
  for (const std::string& p : r.paths) {
    PutFixed32(&out, static_cast<uint32_t>(p.size()));
    out += p;
  }
  PutFixed64(&out, r.changes.size());
  out += r.changes;
  EncodeFixed64(reinterpret_cast<uint8_t*>(out.data()) + sizeof kRedoTag, out.size() + kHashSize);
  uint8_t hash[kHashSize];
  crypto_generichash(hash, sizeof hash, reinterpret_cast<const uint8_t*>(out.data()), out.size(),
                     nullptr, 0);
  out.append(reinterpret_cast<const char*>(hash), sizeof hash);
  return out;
}

// kCleared: the file holds no redo (its tag is zeros). kUnreadable: the system failed to
// open or read it (not for want of the file): it may hold a decided transaction, so it stays,
// and the caller answers a status.
enum class ReadResult { kOk, kMissing, kCleared, kDamaged, kUnreadable };

bool Cleared(const char* tag) {
  return std::all_of(tag, tag + sizeof kRedoTag, [](char c) { return c == 0; });
}

ReadResult ReadRedo(const std::string& path, Redo* r) {
  int fd = Fs().Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? ReadResult::kMissing : ReadResult::kUnreadable;
  std::string bytes;
  char buf[65536];
  for (;;) {
    ssize_t n = Fs().Read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      Fs().Close(fd);
      return ReadResult::kUnreadable;
    }
    if (n == 0) break;
    bytes.append(buf, static_cast<size_t>(n));
  }
  Fs().Close(fd);
  // Emptied after a write that found no room, or cleared.
  if (bytes.empty() || (bytes.size() >= sizeof kRedoTag && Cleared(bytes.data()))) {
    return ReadResult::kCleared;
  }
  size_t whole = bytes.size();  // the first format: the hash ends the file
  size_t skip = 0;
  if (bytes.size() >= sizeof kRedoTag + 8 &&
      std::memcmp(bytes.data(), kRedoTag, sizeof kRedoTag) == 0) {
    const uint64_t length =
        DecodeFixed64(reinterpret_cast<const uint8_t*>(bytes.data()) + sizeof kRedoTag);
    if (length > bytes.size()) return ReadResult::kDamaged;
    whole = static_cast<size_t>(length);
    skip = 8;
  } else if (bytes.size() < sizeof kRedoTag1 ||
             std::memcmp(bytes.data(), kRedoTag1, sizeof kRedoTag1) != 0) {
    return ReadResult::kDamaged;
  }
  if (whole < sizeof kRedoTag + skip + kHashSize) return ReadResult::kDamaged;
  const size_t body = whole - kHashSize;
  uint8_t hash[kHashSize];
  crypto_generichash(hash, sizeof hash, reinterpret_cast<const uint8_t*>(bytes.data()), body,
                     nullptr, 0);
  if (sodium_memcmp(hash, bytes.data() + body, kHashSize) != 0) return ReadResult::kDamaged;
  ByteReader in(std::string_view(bytes.data(), body));
  std::string_view head, id;
  uint32_t count = 0;
  if (!in.Bytes(sizeof kRedoTag + skip, &head) || !in.Bytes(kIdSize, &id) || !in.U32(&count) ||
      !in.U32(&r->index) || !in.U64(&r->after) || count == 0 || count > kMaxParticipants ||
      r->index >= count) {
    return ReadResult::kDamaged;
  }
  std::memcpy(r->id, id.data(), kIdSize);
  r->paths.clear();
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t n = 0;
    std::string_view p;
    if (!in.U32(&n) || !in.Bytes(n, &p)) return ReadResult::kDamaged;
    r->paths.emplace_back(p);
  }
  uint64_t n = 0;
  std::string_view changes;
  if (!in.U64(&n) || n != in.left() || !in.Bytes(n, &changes)) return ReadResult::kDamaged;
  r->changes.assign(changes);
  return ReadResult::kOk;
}

Status RedoWriteStatus(int err) { return IsDiskFull(err) ? Status::kDiskFull : Status::kIoError; }

// Writes a redo over the file's earlier one and starts its way to the disk, without waiting:
// SyncRedos then waits for it. *fd: the file, left open for that (-1 when this fails).
// *created: the file is new (as private as the record file `record`), and its folder wants
// a sync.
Status WriteRedo(const std::string& record, const std::string& path, const std::string& bytes,
                 bool* created, int* fd) {
  *fd = OpenCompanion(record, path, O_WRONLY, true, created);
  if (*fd < 0) return errno == EACCES || errno == EROFS ? Status::kAccessDenied : Status::kIoError;
  if (!WriteAllAt(*fd, bytes.data(), bytes.size(), 0)) {
    const int err = errno;
    Fs().Close(*fd);
    *fd = -1;
    return RedoWriteStatus(err);
  }
  // A failure costs only the head start: the sync reports any fault of the write.
  (void)Fs().StartWrite(*fd, 0, static_cast<off_t>(bytes.size()));
  return Status::kOk;
}

// Syncs the redo files WriteRedo wrote, all at once (in accelerated mode too: a machine crash
// may lose the transaction, but never keep it in some files only), and closes them.
// `status`: a failure met before; the files are then only closed. Returns the first failure.
Status SyncRedos(const std::vector<int>& fds, Status status) {
  if (status == Status::kOk) {
    std::vector<int> errors(fds.size(), 0);
    Fs().FdatasyncAll(fds.data(), errors.data(), fds.size());
    for (int err : errors) {
      if (err != 0) {
        status = RedoWriteStatus(err);
        break;
      }
    }
  }
  for (int fd : fds) Fs().Close(fd);
  return status;
}

// Empties the redo file and syncs it: whatever it held, or whatever part of a write that found
// no room reached the disk, it then holds no transaction, a crash after it included. A
// truncation frees blocks, so it goes through on a full disk. False when that is not sure.
bool EmptyRedo(const std::string& path) {
  int fd = Fs().Open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT;
  const bool done = Fs().Ftruncate(fd, 0) == 0 && Fs().Fsync(fd) == 0;
  Fs().Close(fd);
  return done;
}

// Marks the redo file as holding none, unsynced: a clearing that a machine crash loses
// leaves a redo whose every commit is in its file already, which changes nothing. Like the
// removal of a leftover it loses nothing when it fails (the redo then stays for the next
// writer, which finds the transaction in every file and removes it), so it is not one of the
// writes whose failure a call answers. False when the file could not be written.
bool ClearRedo(const std::string& path) {
  int fd = Fs().Open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT;
  const char zeros[sizeof kRedoTag] = {};
  const bool done = Fs().Pwrite(fd, zeros, sizeof zeros, 0) == static_cast<ssize_t>(sizeof zeros);
  Fs().Close(fd);
  return done;
}

// Redo slots. A transaction over several files claims a slot in each file's shared page behind
// the gates and writes its redo into that slot's file. Once every file has committed, the
// slot stays claimed, the gates are let go, and the slot is freed only when the transaction's
// log entries are on disk in every file: meanwhile the next transaction writes another slot.
constexpr uint32_t kPreparing = 1;  // being written behind the gates, or left for recovery
constexpr uint32_t kCommitted = 2;  // in every file; its log entries not yet all on disk
constexpr uint32_t kClearing = 3;   // on disk everywhere; its file being cleared
// A wait for a free slot longer than this takes over a committed one (after a sync of every
// file system, which puts its owner's log entries on disk): its owner may be stopped.
constexpr auto kSlotTakeOver = std::chrono::seconds(1);
constexpr auto kSlotGiveUp = std::chrono::seconds(10);

uint64_t SlotWord(uint32_t pid, uint32_t state, uint64_t generation) {
  return pid | uint64_t{state} << 32 | generation << 34;
}
uint32_t OwnerOf(uint64_t word) { return static_cast<uint32_t>(word); }
uint32_t StateOf(uint64_t word) { return static_cast<uint32_t>(word >> 32) & 3; }
uint64_t WithState(uint64_t word, uint32_t state) {
  return (word & ~(uint64_t{3} << 32)) | uint64_t{state} << 32;
}

// True when recovery may finish or drop what the slot's file holds: nobody claims the slot
// (the file is a crash's leftover), it was left being prepared (whoever holds the file's gate
// knows that its writer is gone), or its owner died.
bool Recoverable(uint64_t word) {
  return word == 0 || StateOf(word) == kPreparing || !Alive(OwnerOf(word));
}

std::string SlotPath(const std::string& file_path, int slot) {
  return file_path + "-redo" + (slot > 0 ? std::to_string(slot) : std::string());
}

// The commits over several files this process made whose slots are still claimed.
std::vector<HeldCommit>& Held() {
  // Never destroyed: the engine's destructor still frees what it holds.
  static auto* held = new std::vector<HeldCommit>;
  return *held;
}

// A slot of `file` claimed for a commit, held until its log entries are on disk.
struct Claim {
  std::shared_ptr<LogSync> sync;
  int slot = -1;
  uint64_t word = 0;
  std::string path;
};

// Frees a committed slot whose transaction's log entries are on disk: its file cleared, then
// the slot. False when the slot was taken over meanwhile (`word` no longer in it): it is
// another transaction's now.
bool ClearSlot(std::atomic<uint64_t>& slot, uint64_t word, const std::string& path) {
  uint64_t expected = word;
  if (!slot.compare_exchange_strong(expected, WithState(word, kClearing))) return false;
  ClearRedo(path);
  slot.store(0);
  return true;
}

// Frees the committed slots of transactions (other processes') that changed only files of
// `parts`, whose gates are held: their logs are synced here first, when they still need it.
// True when one was freed.
bool FreeCommittedAmong(const std::vector<FileWrite*>& parts) {
  struct Found {
    FileEnv* file;
    int slot;
    uint64_t word;
  };
  bool freed = false;
  for (FileWrite* w : parts) {
    LogShared& s = w->file->log_sync()->shared();
    for (int i = 0; i < kRedoSlots; ++i) {
      if (StateOf(s.slot[i].load()) != kCommitted) continue;
      const uint64_t txn = s.slot_txn[i].load();
      std::vector<Found> found;
      for (FileWrite* v : parts) {
        LogShared& t = v->file->log_sync()->shared();
        for (int j = 0; j < kRedoSlots; ++j) {
          const uint64_t word = t.slot[j].load();
          if (StateOf(word) == kCommitted && t.slot_txn[j].load() == txn) {
            found.push_back({v->file, j, word});
          }
        }
      }
      if (found.size() != s.slot_files[i].load()) continue;  // it changed other files too
      bool synced = true;
      for (const Found& f : found) {
        LogShared& t = f.file->log_sync()->shared();
        if (t.synced.load() < t.slot_lsn[f.slot].load() && f.file->SyncLog() != Status::kOk) {
          synced = false;
        }
      }
      if (!synced) continue;
      for (const Found& f : found) {
        freed |=
            ClearSlot(f.file->log_sync()->shared().slot[f.slot], f.word, f.file->redo_path(f.slot));
      }
    }
  }
  return freed;
}

// Claims a free slot of `file`, one of `parts`. REQUIRES: every part's gate is held. Returns
// an engine status.
Status ClaimSlot(FileEnv* file, const std::vector<FileWrite*>& parts, Claim* claim) {
  claim->sync = file->shared_log_sync();
  if (!claim->sync) return Status::kIoError;
  LogShared& s = claim->sync->shared();
  const auto start = std::chrono::steady_clock::now();
  auto take = [&](int i, uint64_t word) {
    const uint64_t mine = SlotWord(OwnPid(), kPreparing, s.slot_generation.fetch_add(1) + 1);
    if (!s.slot[i].compare_exchange_strong(word, mine)) return false;
    claim->slot = i;
    claim->word = mine;
    claim->path = file->redo_path(i);
    return true;
  };
  for (;;) {
    // A free slot, or one whose owner died clearing it.
    for (int i = 0; i < kRedoSlots; ++i) {
      const uint64_t word = s.slot[i].load();
      if ((word == 0 || (StateOf(word) == kClearing && !Alive(OwnerOf(word)))) && take(i, word)) {
        return Status::kOk;
      }
    }
    // None: this process's own committed transactions are freed once their logs are synced.
    if (!Held().empty()) {
      FinishHeldCommits(TakeHeldCommits());
      continue;
    }
    // Other processes' transactions over these files: freed here, their owners may be waiting
    // for these very gates.
    if (FreeCommittedAmong(parts)) continue;
    // Still none: a committed transaction whose owner died, or is slow to free it. Its log entries
    // go to disk with everything else first, and with them the need for its redo.
    const bool overdue = std::chrono::steady_clock::now() - start > kSlotTakeOver;
    for (int i = 0; i < kRedoSlots; ++i) {
      const uint64_t word = s.slot[i].load();
      if (StateOf(word) != kCommitted || (!overdue && Alive(OwnerOf(word)))) continue;
      ::sync();
      if (take(i, word)) return Status::kOk;
    }
    if (std::chrono::steady_clock::now() - start > kSlotGiveUp) return Status::kFileInUse;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

// True when the last commit of a file, which made transaction `last`, is a transaction over
// several files whose redo is still in one of its slots: a crash then replays it, so the
// state a new redo stands on is there after a crash without a sync of the log.
bool LastCommitCovered(const Claim& own, uint64_t last) {
  LogShared& s = own.sync->shared();
  for (int i = 0; i < kRedoSlots; ++i) {
    if (i == own.slot) continue;
    const uint64_t word = s.slot[i].load();
    if (word != 0 && StateOf(word) != kPreparing && s.slot_after[i].load() == last) return true;
  }
  return false;
}

// Frees the slots of `commit`, whose log entries are on disk (`synced`), or whose logs
// failed: then the slots are left for recovery, the transaction being decided.
void FreeSlots(const HeldCommit& commit, bool synced) {
  for (const SlotHold& h : commit.slots) {
    std::atomic<uint64_t>& slot = h.sync->shared().slot[h.slot];
    if (synced) {
      ClearSlot(slot, h.word, h.path);
      continue;
    }
    uint64_t word = h.word;
    slot.compare_exchange_strong(word, WithState(h.word, kPreparing));
  }
}

}  // namespace

namespace {

// The identity under which recovery holds write gates.
Client& RecoveryClient() {
  static Client client;
  return client;
}

bool recovering = false;
PartnerFiles partners{};

}  // namespace

Status CommitAcross(std::vector<FileWrite>& writes) {
  std::vector<FileWrite*> parts;
  for (FileWrite& w : writes) {
    if (w.changes.empty()) {
      w.txn.Abort();  // nothing of it to keep
    } else {
      parts.push_back(&w);
    }
  }
  std::vector<Claim> claims;
  auto abort_all = [&](Status status) {
    for (FileWrite* w : parts) w->txn.Abort();
    for (Claim& c : claims) c.sync->shared().slot[c.slot].store(0);
    return status;
  };
  for (FileWrite* w : parts) {
    Claim claim;
    Status status = ClaimSlot(w->file, parts, &claim);
    if (status != Status::kOk) return abort_all(status);
    claims.push_back(std::move(claim));
  }
  Fs().Reached("claimed");
  // A replay of a file's log after a crash must reach the state its redo stands on: the
  // commits the log holds so far are on disk before the redo files are written, unless the
  // last of them is a transaction whose own redo is still kept.
  for (size_t i = 0; i < parts.size(); ++i) {
    if (LastCommitCovered(claims[i], mdb_txn_id(parts[i]->txn.get()) - 1)) continue;
    Status status = parts[i]->file->SyncLog();
    if (status != Status::kOk) return abort_all(status);
  }
  Redo redo;
  randombytes_buf(redo.id, sizeof redo.id);
  for (FileWrite* w : parts) {
    redo.paths.push_back(w->file->abs_path());
  }
  // Prepare: every redo file written and synced, with its folder when the file is new, before
  // any commit. The claims say "being prepared" meanwhile: a process killed from here on
  // leaves them for the next writer of the file, which finishes or drops the transaction.
  // Every file is written before the syncs, which then run side by side, so that the disk
  // takes them all at once.
  std::set<std::string> folders;
  std::vector<int> unsynced;
  size_t written = 0;
  Status status = Status::kOk;
  for (; written < parts.size() && status == Status::kOk; ++written) {
    FileWrite* w = parts[written];
    redo.index = static_cast<uint32_t>(written);
    redo.after = mdb_txn_id(w->txn.get());
    redo.changes = w->changes.bytes();
    bool created = false;
    int fd = -1;
    w->file->NoteRedo();
    status = WriteRedo(w->file->path(), claims[written].path, EncodeRedo(redo), &created, &fd);
    if (fd >= 0) unsynced.push_back(fd);
    if (created) folders.insert(FolderOf(claims[written].path));
  }
  status = SyncRedos(unsynced, status);
  if (status == Status::kOk) {
    for (const std::string& f : folders) {
      status = SyncFolder(f);
      if (status != Status::kOk) break;
    }
  }
  if (status != Status::kOk) {
    // Not decided. Out of room, the redo files written so far are emptied on disk, which
    // leaves nothing of the transaction to finish, and the files go on once there is room.
    // Otherwise, or when that fails too, what of them reached the disk is not known: each
    // file refuses writes until it is opened again, which finishes or drops a redo file left
    // behind.
    bool undone = status == Status::kDiskFull;
    for (size_t i = 0; i < written && undone; ++i) undone = EmptyRedo(claims[i].path);
    if (!undone) {
      for (size_t i = 0; i < written; ++i) RemoveLeftover(claims[i].path);
      for (FileWrite* w : parts) w->file->MarkFailed();
    }
    return abort_all(status);
  }
  Fs().Reached("prepared");
  // Decided: from here on every file gets the changes, by its commit or by a replay. A
  // durable commit goes through the file's log, as a commit of one file does.
  Status first = Status::kOk;
  for (size_t i = 0; i < parts.size(); ++i) {
    FileWrite* w = parts[i];
    const uint64_t after = mdb_txn_id(w->txn.get());
    bool retry = false;
    Status s = w->txn.Commit(w->accelerated, &retry, &w->changes.bytes());
    if (s != Status::kOk || retry) s = Replay(w->file, w->changes.bytes());
    if (first == Status::kOk) first = s;
    claims[i].sync->shared().slot_after[claims[i].slot].store(after);
    if (i == 0) Fs().Reached("committed-1");
  }
  // A file still without its changes keeps every claim as being prepared: the next open or
  // write of it finds the transaction decided and finishes it. Otherwise the transaction is
  // whole once the call answers: its redo is on disk in every file, and so is the state each
  // redo stands on. Its slots stay claimed until its log entries are on disk too, which
  // the call does not wait for (FreeCoveredSlots).
  if (first == Status::kOk) {
    HeldCommit commit;
    commit.tickets = TakeTickets();
    uint64_t txn = 0;
    std::memcpy(&txn, redo.id, sizeof txn);
    for (Claim& c : claims) {
      LogShared& s = c.sync->shared();
      uint64_t lsn = 0;
      for (const LogTicket& t : commit.tickets) {
        if (t.sync == c.sync) lsn = t.lsn;
      }
      s.slot_txn[c.slot].store(txn);
      s.slot_lsn[c.slot].store(lsn);
      s.slot_files[c.slot].store(static_cast<uint32_t>(claims.size()));
      c.word = WithState(c.word, kCommitted);
      s.slot[c.slot].store(c.word);
      commit.slots.push_back({std::move(c.sync), c.slot, c.word, std::move(c.path)});
    }
    Held().push_back(std::move(commit));
  }
  Fs().Reached("committed");
  return first;
}

bool SlotsHeld() { return !Held().empty(); }

void FreeCoveredSlots() {
  auto covered = [](const LogTicket& t) {
    return t.log->failed.load() || t.sync->shared().synced.load() >= t.lsn;
  };
  auto& held = Held();
  for (auto it = held.begin(); it != held.end();) {
    if (!std::all_of(it->tickets.begin(), it->tickets.end(), covered)) {
      ++it;
      continue;
    }
    const bool failed = std::any_of(it->tickets.begin(), it->tickets.end(),
                                    [](const LogTicket& t) { return t.log->failed.load(); });
    FreeSlots(*it, !failed);
    it = held.erase(it);
  }
}

std::vector<HeldCommit> TakeHeldCommits() {
  std::vector<HeldCommit> taken;
  taken.swap(Held());
  return taken;
}

void FinishHeldCommits(const std::vector<HeldCommit>& commits) {
  for (const HeldCommit& c : commits) FreeSlots(c, AwaitTickets(c.tickets) == Status::kOk);
}

namespace {

// True when the file at `path` holds a redo (or cannot be read: recovery answers that).
bool HoldsRedo(const std::string& path) {
  int fd = Fs().Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno != ENOENT;
  char tag[sizeof kRedoTag] = {};
  const ssize_t n = Fs().Pread(fd, tag, sizeof tag, 0);
  Fs().Close(fd);
  return n != 0 && !(n == static_cast<ssize_t>(sizeof tag) && Cleared(tag));
}

uint64_t SlotState(const FileEnv& file, int slot) {
  LogSync* sync = file.log_sync();
  if (!sync) return 0;
  sync->Check();
  return sync->shared().slot[slot].load();
}

// A redo slot of one participant, found by the transaction's identity.
struct Part {
  std::string path;  // the slot's file
  FileEnv* file = nullptr;
  int slot = -1;
  uint64_t word = 0;    // the claim found, given up once the redo is gone
  bool opened = false;  // opened here, released at the end
  GateHold gate;
  Redo redo;
  bool matches = false;
};

void Forget(Part& p) {
  RemoveLeftover(p.path);
  if (p.file && p.file->log_sync() && p.slot >= 0) {
    p.file->log_sync()->shared().slot[p.slot].compare_exchange_strong(p.word, 0);
  }
}

}  // namespace

bool RedoPending(const FileEnv& file) {
  if (recovering) return false;
  for (int i = 0; i < kRedoSlots; ++i) {
    if (Recoverable(SlotState(file, i)) && HoldsRedo(file.redo_path(i))) return true;
  }
  return false;
}

bool RedoMarked(FileEnv& file) {
  if (recovering) return false;
  LogSync* sync = file.log_sync();
  if (!sync) return RedoPending(file);
  if (sync->shared().redo.load() != 0) return true;
  for (int i = 0; i < kRedoSlots; ++i) {
    const uint64_t word = sync->shared().slot[i].load();
    if (word != 0 && StateOf(word) == kPreparing) return true;
  }
  return false;
}

Status EmptyRedoSlots(FileEnv& file) {
  // This process's own transactions over several files hold their slots until their logs
  // are synced: not a reason to refuse.
  if (SlotsHeld()) FinishHeldCommits(TakeHeldCommits());
  if (LogSync* sync = file.log_sync()) {
    for (int i = 0; i < kRedoSlots; ++i) {
      if (sync->shared().slot[i].load() != 0) return Status::kFileInUse;
    }
  }
  for (int i = 0; i < kRedoSlots; ++i) {
    if (!EmptyRedo(file.redo_path(i))) return Status::kIoError;
  }
  return Status::kOk;
}

void ResetRedoSlots(FileEnv& file) {
  LogSync* sync = file.log_sync();
  if (!sync) return;
  for (auto& slot : sync->shared().slot) slot.store(0);
  sync->ClearAllLinked();
}

void DropClearedRedo(const FileEnv& file) {
  for (int i = 0; i < kRedoSlots; ++i) {
    if (SlotState(file, i) == 0 && !HoldsRedo(file.redo_path(i))) {
      RemoveLeftover(file.redo_path(i));
    }
  }
}

namespace {

// The files the recovery under way holds the gates of, the first one being recovered: a
// transaction's participant among them is not opened again.
std::vector<FileEnv*>& Gated() {
  static std::vector<FileEnv*> gated;
  return gated;
}

// The transactions whose recovery is under way, innermost last: one met again further down
// a chain is not entered twice. Transaction ids do not order the files' transactions alike
// when a file was replaced meanwhile (an owner change writes a new one): its stale slots may
// then seem to come before one another. An owner change now empties the slots before it
// writes the copy, so only files replaced by earlier versions can still hold such slots.
std::vector<std::string>& Entered() {
  static std::vector<std::string> entered;
  return entered;
}

// Bounds the chain of earlier transactions a recovery follows.
constexpr int kMaxChain = 64;

Result RecoverSlot(FileEnv* self, Part& own, int depth);

// Finishes or drops `file`'s slots that no live process claims and whose transactions come
// before transaction id `limit` in it, in the order of their commits: each replays onto the
// one before. REQUIRES: the file's gate is held by the recovery.
Result RecoverSlotsBefore(FileEnv* file, uint64_t limit, int depth) {
  if (depth > kMaxChain) return Status::kOk;  // followed no further: as if the file had none
  Result status = Status::kOk;
  std::vector<Part> slots;
  for (int i = 0; i < kRedoSlots && status == Status::kOk; ++i) {
    Part p;
    p.file = file;
    p.slot = i;
    p.word = SlotState(*file, i);
    p.path = file->redo_path(i);
    if (!Recoverable(p.word)) continue;
    const ReadResult r = ReadRedo(p.path, &p.redo);
    if (r == ReadResult::kUnreadable) status = Status::kIoError;
    if (r == ReadResult::kDamaged) Forget(p);
    // Claimed by a writer that died before it wrote the slot: nothing to finish.
    if ((r == ReadResult::kCleared || r == ReadResult::kMissing) && p.word != 0) {
      file->log_sync()->shared().slot[i].compare_exchange_strong(p.word, 0);
    }
    const std::string id(reinterpret_cast<const char*>(p.redo.id), kIdSize);
    if (r == ReadResult::kOk && p.redo.after < limit &&
        std::find(Entered().begin(), Entered().end(), id) == Entered().end()) {
      slots.push_back(std::move(p));
    }
  }
  std::sort(slots.begin(), slots.end(),
            [](const Part& a, const Part& b) { return a.redo.after < b.redo.after; });
  for (Part& p : slots) {
    if (status == Status::kOk) status = RecoverSlot(file, p, depth + 1);
  }
  return status;
}

// Finishes or drops the transaction in `own`'s slot. REQUIRES: own's gate is held.
Result RecoverSlot(FileEnv* self, Part& own, int depth) {
  Client* me = &RecoveryClient();
  const Redo& mine = own.redo;
  {
    // Already finished, as an earlier transaction of another file's chain.
    Redo now;
    if (ReadRedo(own.path, &now) != ReadResult::kOk || std::memcmp(now.id, mine.id, kIdSize) != 0) {
      return Status::kOk;
    }
  }
  std::vector<Part> parts;
  const size_t known = Gated().size();
  Entered().emplace_back(reinterpret_cast<const char*>(mine.id), kIdSize);
  auto finish = [&](Result status) {
    for (Part& p : parts) {
      p.gate.Release();
      if (p.opened) partners.release(p.file);
    }
    Gated().resize(known);
    Entered().pop_back();
    return status;
  };
  // Every other participant: opened and gated, or gone for good.
  for (uint32_t i = 0; i < mine.paths.size(); ++i) {
    if (i == mine.index) continue;
    Part p;
    struct stat st;
    FileEnv* file = nullptr;
    if (Fs().Stat(mine.paths[i].c_str(), &st) == 0) {
      for (FileEnv* f : Gated()) {
        if (f->Is(st.st_dev, st.st_ino)) file = f;
      }
    }
    if (file == self) continue;  // the same file under another name
    if (file) {
      p.file = file;  // gated by this recovery already (an open in progress among them)
    } else {
      if (!partners.open) return finish(Status::kIoError);
      Result status = partners.open(mine.paths[i], &file);
      if (status == Status::kOk) {
        p.file = file;
        ++file->open_count;
        p.opened = true;
        Gated().push_back(file);
      } else if (status != Status::kFileNotFound) {
        return finish(status);
      }
    }
    parts.push_back(std::move(p));
    Part& q = parts.back();
    if (q.file) {
      Result status = q.gate.Acquire(q.file, me);
      if (status != Status::kOk) {
        return finish(status == Status::kFileInUse ? Result(Retry::kGateBusy) : status);
      }
    }
    // Its slot of this transaction.
    for (int k = 0; k < kRedoSlots && !q.matches; ++k) {
      q.path = SlotPath(mine.paths[i], k);
      const ReadResult read = ReadRedo(q.path, &q.redo);
      if (read == ReadResult::kUnreadable) return finish(Status::kIoError);
      q.matches = read == ReadResult::kOk && std::memcmp(q.redo.id, mine.id, kIdSize) == 0;
      if (q.matches) {
        q.slot = k;
        if (q.file) q.word = SlotState(*q.file, k);
      }
    }
  }
  // Decided when every participant's redo is there, whole, of this transaction.
  const bool decided =
      std::all_of(parts.begin(), parts.end(), [](const Part& p) { return p.matches; });
  if (!decided) {
    Forget(own);
    return finish(Status::kOk);
  }
  // A file that lacks a transaction this one stands on (a transaction over other files whose
  // own slot is still there) gets that one first.
  auto catch_up = [&](FileEnv* file, uint64_t after) -> Result {
    if (LastTxnId(file) + 1 >= after) return Status::kOk;
    return RecoverSlotsBefore(file, after, depth);
  };
  Result status = catch_up(self, mine.after);
  for (Part& p : parts) {
    if (status == Status::kOk && p.file) status = catch_up(p.file, p.redo.after);
  }
  if (status != Status::kOk) return finish(status);
  if (LastTxnId(self) + 1 == mine.after) {
    status = Replay(self, mine.changes);
    if (status != Status::kOk) return finish(status);
  }
  for (Part& p : parts) {
    if (!p.file || LastTxnId(p.file) + 1 != p.redo.after) continue;  // committed (or replaced)
    status = Replay(p.file, p.redo.changes);
    if (status != Status::kOk) return finish(status);
  }
  // The redo goes once the transaction's log entries are on disk in every file.
  status = self->SyncLog();
  for (Part& p : parts) {
    if (status == Status::kOk && p.file) status = p.file->SyncLog();
  }
  if (status != Status::kOk) return finish(status);
  Forget(own);
  for (Part& p : parts) Forget(p);
  return finish(Status::kOk);
}

}  // namespace

void SetPartnerFiles(PartnerFiles files) { partners = files; }
const PartnerFiles& Partners() { return partners; }

Result RecoverPending(FileEnv* self) {
  if (recovering) return Status::kOk;
  recovering = true;
  Result status = Status::kOk;
  {
    GateHold gate;
    status = gate.Acquire(self, &RecoveryClient());
    if (status == Status::kFileInUse) status = Retry::kGateBusy;
    Gated().assign(1, self);
    Entered().clear();
    if (status == Status::kOk) status = RecoverSlotsBefore(self, UINT64_MAX, 0);
    Gated().clear();
    if (status == Status::kOk && self->log_sync()) self->log_sync()->shared().redo.store(0);
  }
  recovering = false;
  return status;
}

}  // namespace mkde
