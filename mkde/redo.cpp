#include "mkde/redo.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "mkde/coding.h"
#include "mkde/file_env.h"
#include "mkde/handles.h"
#include "mkde/include/wbtrv32.h"
#include "mkde/lmdb_util.h"
#include "mkde/log_sync.h"
#include "mkde/registry.h"

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

// Reads little-endian integers and byte runs from a buffer, never past its end.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  bool U8(uint8_t* v) {
    if (left() < 1) return false;
    *v = static_cast<uint8_t>(bytes_[at_++]);
    return true;
  }
  bool U32(uint32_t* v) {
    if (left() < 4) return false;
    *v = DecodeFixed32(here());
    at_ += 4;
    return true;
  }
  bool U64(uint64_t* v) {
    if (left() < 8) return false;
    *v = DecodeFixed64(here());
    at_ += 8;
    return true;
  }
  bool Bytes(size_t n, std::string_view* out) {
    if (left() < n) return false;
    *out = bytes_.substr(at_, n);
    at_ += n;
    return true;
  }
  size_t left() const { return bytes_.size() - at_; }

 private:
  const uint8_t* here() const { return reinterpret_cast<const uint8_t*>(bytes_.data()) + at_; }
  std::string_view bytes_;
  size_t at_ = 0;
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
  int fd = Fs().Open(path.c_str(), O_RDONLY | O_CLOEXEC);
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
  if (bytes.size() >= sizeof kRedoTag && Cleared(bytes.data())) return ReadResult::kCleared;
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
  Reader in(std::string_view(bytes.data(), body));
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

// Writes a redo over the file's earlier one and syncs it (in accelerated mode too: a machine
// crash may lose the transaction, but never keep it in some files only). *created: the file
// is new, and its folder wants a sync.
Status WriteRedo(const std::string& path, const std::string& bytes, bool* created) {
  int fd = Fs().Open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = Fs().Open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    *created = true;
  }
  if (fd < 0) return errno == EACCES || errno == EROFS ? Status::kAccessDenied : Status::kIoError;
  int err = WriteAllAt(fd, bytes.data(), bytes.size(), 0) ? 0 : errno;
  if (err == 0 && Fs().Fdatasync(fd) != 0) err = errno;
  Fs().Close(fd);
  if (err == 0) return Status::kOk;
  return err == ENOSPC || err == EDQUOT ? Status::kDiskFull : Status::kIoError;
}

// Marks the redo file as holding none, unsynced: a clearing that a machine crash loses
// leaves a redo whose every commit is in its file already, which changes nothing. Like the
// removal of a leftover it loses nothing when it fails (the redo then stays for the next
// writer, which finds the transaction in every file and removes it), so it is not one of the
// writes whose failure a call answers. False when the file could not be written.
bool ClearRedo(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  const char zeros[sizeof kRedoTag] = {};
  const bool done = ::pwrite(fd, zeros, sizeof zeros, 0) == static_cast<ssize_t>(sizeof zeros);
  ::close(fd);
  return done;
}

// The mark in the gate file's shared page: a redo may be in the file (set behind the gate
// before one is written, cleared once it is gone).
void Mark(FileEnv* file, bool on) {
  if (LogSync* sync = file->log_sync()) sync->shared().redo.store(on ? 1 : 0);
}

}  // namespace

uint64_t LastTxnId(FileEnv* file) {
  MDB_envinfo info;
  mdb_env_info(file->env(), &info);
  return info.me_last_txnid;
}

Status Replay(FileEnv* file, std::string_view changes) {
  Result status = Status::kIoError;
  for (int attempt = 0; attempt < 4; ++attempt) {
    WriteTransaction txn;
    status = txn.Begin(file);
    if (status != Status::kOk) return status.Settle();
    status = ApplyChanges(file, txn.get(), changes);
    if (status == Retry::kMapFull) {
      txn.Abort();
      status = file->GrowMap(changes.size() * 2);
      if (status != Status::kOk) return status.Settle();
      status = Status::kDiskFull;
      continue;
    }
    if (status != Status::kOk) return status.Settle();
    bool retry = false;
    status = txn.Commit(false, &retry);
    if (!retry) return status.Settle();
    status = Status::kDiskFull;
  }
  return status.Settle();
}

namespace {

// The identity under which recovery holds write gates.
Client& RecoveryClient() {
  static Client client;
  return client;
}

bool recovering = false;

// One entry written in place: the log grows once, then the bytes go straight in.
char* PutLe32(char* at, size_t v) {
  EncodeFixed32(reinterpret_cast<uint8_t*>(at), static_cast<uint32_t>(v));
  return at + 4;
}

}  // namespace

void ChangeLog::Put(uint8_t db, const MDB_val& key, const MDB_val& value) {
  const size_t start = bytes_.size();
  bytes_.resize(start + 10 + key.mv_size + value.mv_size);
  char* at = bytes_.data() + start;
  *at++ = 1;
  *at++ = static_cast<char>(db);
  at = PutLe32(at, key.mv_size);
  std::memcpy(at, key.mv_data, key.mv_size);
  at = PutLe32(at + key.mv_size, value.mv_size);
  if (value.mv_size) std::memcpy(at, value.mv_data, value.mv_size);
}

void ChangeLog::Delete(uint8_t db, const MDB_val& key) {
  const size_t start = bytes_.size();
  bytes_.resize(start + 6 + key.mv_size);
  char* at = bytes_.data() + start;
  *at++ = 2;
  *at++ = static_cast<char>(db);
  at = PutLe32(at, key.mv_size);
  std::memcpy(at, key.mv_data, key.mv_size);
}

Result ApplyChanges(FileEnv* file, MDB_txn* txn, std::string_view log) {
  Reader in(log);
  while (in.left() > 0) {
    uint8_t kind = 0, db = 0;
    uint32_t n = 0;
    std::string_view key, value;
    if (!in.U8(&kind) || !in.U8(&db) || !in.U32(&n) || !in.Bytes(n, &key)) return Status::kIoError;
    MDB_dbi dbi;
    if (db == ChangeLog::kMetaDb) {
      dbi = file->meta_db();
    } else if (db == ChangeLog::kRecordsDb) {
      dbi = file->records_db();
    } else if (db - 2u < file->key_count()) {
      dbi = file->key_db(db - 2u);
    } else {
      return Status::kIoError;
    }
    MDB_val k = Val(key);
    int rc;
    if (kind == 1) {
      if (!in.U32(&n) || !in.Bytes(n, &value)) return Status::kIoError;
      MDB_val v = Val(value);
      rc = mdb_put(txn, dbi, &k, &v, 0);
    } else if (kind == 2) {
      rc = mdb_del(txn, dbi, &k, nullptr);
      if (rc == MDB_NOTFOUND) rc = 0;
    } else {
      return Status::kIoError;
    }
    if (rc != 0) return LmdbResult(rc);
  }
  return Status::kOk;
}

Status CommitAcross(std::vector<FileWrite>& writes) {
  std::vector<FileWrite*> parts;
  for (FileWrite& w : writes) {
    if (w.changes.empty()) {
      w.txn.Abort();  // nothing of it to keep
    } else {
      parts.push_back(&w);
    }
  }
  auto abort_all = [&](Status status) {
    for (FileWrite* w : parts) w->txn.Abort();
    return status;
  };
  // A replay of a file's log after a crash must reach the state its redo file stands on:
  // the commits the log holds so far are on disk before the redo files are written.
  for (FileWrite* w : parts) {
    Status status = w->file->SyncLog();
    if (status != Status::kOk) return abort_all(status);
  }
  Redo redo;
  randombytes_buf(redo.id, sizeof redo.id);
  for (FileWrite* w : parts) {
    redo.paths.push_back(w->file->abs_path());
  }
  // Prepare: every redo file written and synced, with its folder when the file is new, before
  // any commit. The mark goes up first: a process killed from here on leaves it for the next
  // writer of the file, which finishes or drops the transaction.
  for (FileWrite* w : parts) Mark(w->file, true);
  std::set<std::string> folders;
  size_t written = 0;
  Status status = Status::kOk;
  for (; written < parts.size() && status == Status::kOk; ++written) {
    FileWrite* w = parts[written];
    redo.index = static_cast<uint32_t>(written);
    redo.after = mdb_txn_id(w->txn.get());
    redo.changes = w->changes.bytes();
    bool created = false;
    w->file->NoteRedo();
    status = WriteRedo(w->file->redo_path(), EncodeRedo(redo), &created);
    if (created) folders.insert(FolderOf(w->file->redo_path()));
  }
  if (status == Status::kOk) {
    for (const std::string& f : folders) {
      status = SyncFolder(f);
      if (status != Status::kOk) break;
    }
  }
  if (status != Status::kOk) {
    // Not decided, and what of the redo files reached the disk is not known: each file
    // refuses writes until it is opened again, which finishes or drops a redo file left
    // behind.
    for (size_t i = 0; i < written; ++i) RemoveLeftover(parts[i]->file->redo_path());
    for (FileWrite* w : parts) w->file->MarkFailed();
    return abort_all(status);
  }
  Fs().Reached("prepared");
  // Decided: from here on every file gets the changes, by its commit or by a replay. A
  // durable commit goes through the file's log, as a commit of one file does.
  Status first = Status::kOk;
  for (size_t i = 0; i < parts.size(); ++i) {
    FileWrite* w = parts[i];
    bool retry = false;
    Status s = w->txn.Commit(w->accelerated, &retry, &w->changes.bytes());
    if (s != Status::kOk || retry) s = Replay(w->file, w->changes.bytes());
    if (first == Status::kOk) first = s;
    if (i == 0) Fs().Reached("committed-1");
  }
  // The redo files stay until the logs' entries are on disk: waited for here, the gates
  // still held, so that no checkpoint or later commit of any participant comes between.
  const Status synced = AwaitTickets(TakeTickets());
  if (first == Status::kOk) first = synced;
  Fs().Reached("committed");
  // A file still without its changes keeps every redo file: the next open or write of it
  // finds the transaction decided and finishes it.
  if (first == Status::kOk) {
    for (FileWrite* w : parts) {
      if (ClearRedo(w->file->redo_path())) Mark(w->file, false);
    }
  }
  return first;
}

bool RedoPending(const FileEnv& file) {
  if (recovering) return false;
  int fd = ::open(file.redo_path().c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno != ENOENT;  // one that cannot be opened is for recovery to answer
  char tag[sizeof kRedoTag] = {};
  const ssize_t n = ::pread(fd, tag, sizeof tag, 0);
  ::close(fd);
  return n != 0 && !(n == static_cast<ssize_t>(sizeof tag) && Cleared(tag));
}

bool RedoMarked(FileEnv& file) {
  if (recovering) return false;
  if (LogSync* sync = file.log_sync()) return sync->shared().redo.load() != 0;
  return RedoPending(file);
}

void DropClearedRedo(const FileEnv& file) {
  if (!RedoPending(file)) RemoveLeftover(file.redo_path());
}

Result RecoverPending(FileEnv* self) {
  if (recovering) return Status::kOk;
  recovering = true;
  Client* me = &RecoveryClient();
  struct Part {
    std::string redo_path;
    FileEnv* file = nullptr;
    bool opened = false;  // opened here, released at the end
    GateHold gate;
    Redo redo;
    bool matches = false;
  };
  std::vector<Part> parts;
  auto finish = [&](Result status) {
    for (Part& p : parts) {
      p.gate.Release();
      if (p.opened) Registry::Get().Release(p.file);
    }
    recovering = false;
    return status;
  };
  Part own;
  own.file = self;
  own.redo_path = self->redo_path();
  Result status = own.gate.Acquire(self, me);
  if (status != Status::kOk) {
    return finish(status == Status::kFileInUse ? Result(Retry::kGateBusy) : status);
  }
  parts.push_back(std::move(own));
  ReadResult r = ReadRedo(parts[0].redo_path, &parts[0].redo);
  if (r == ReadResult::kUnreadable) return finish(Status::kIoError);
  if (r != ReadResult::kOk) {
    if (r == ReadResult::kDamaged) RemoveLeftover(parts[0].redo_path);
    Mark(self, false);
    return finish(Status::kOk);
  }
  parts[0].matches = true;
  const Redo mine = parts[0].redo;

  // Every other participant: opened and gated, or gone for good.
  for (uint32_t i = 0; i < mine.paths.size(); ++i) {
    if (i == mine.index) continue;
    Part p;
    p.redo_path = mine.paths[i] + "-redo";
    struct stat st;
    if (::stat(mine.paths[i].c_str(), &st) == 0 && self->Is(st.st_dev, st.st_ino)) {
      continue;  // the same file under another name
    }
    FileEnv* file = nullptr;
    status = Registry::Get().Open(mine.paths[i], true, &file, nullptr);
    if (status == Status::kOk) {
      p.file = file;
      ++file->open_count;
      p.opened = true;
    } else if (status != Status::kFileNotFound) {
      return finish(status);
    }
    parts.push_back(std::move(p));
    Part& q = parts.back();
    if (q.file) {
      status = q.gate.Acquire(q.file, me);
      if (status != Status::kOk) {
        return finish(status == Status::kFileInUse ? Result(Retry::kGateBusy) : status);
      }
    }
  }
  // Decided when every participant's redo file is there, whole, of this transaction.
  bool decided = true;
  for (size_t i = 1; i < parts.size(); ++i) {
    Part& p = parts[i];
    const ReadResult read = ReadRedo(p.redo_path, &p.redo);
    if (read == ReadResult::kUnreadable) return finish(Status::kIoError);
    p.matches = read == ReadResult::kOk && std::memcmp(p.redo.id, mine.id, kIdSize) == 0;
    if (!p.matches) decided = false;
  }
  if (decided) {
    for (Part& p : parts) {
      if (!p.file || LastTxnId(p.file) + 1 != p.redo.after) continue;  // committed (or replaced)
      status = Replay(p.file, p.redo.changes);
      if (status != Status::kOk) return finish(status);
    }
    for (Part& p : parts) {
      if (!p.matches) continue;
      RemoveLeftover(p.redo_path);
      if (p.file) Mark(p.file, false);
    }
  } else {
    RemoveLeftover(parts[0].redo_path);
    Mark(self, false);
  }
  return finish(Status::kOk);
}

}  // namespace mkde
