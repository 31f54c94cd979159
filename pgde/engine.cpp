#include "pgde/engine.h"

#include <endian.h>
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "mkde/codec/filespec.h"
#include "mkde/codec/keycodec.h"
#include "mkde/coding.h"
#include "mkde/core/blocks.h"
#include "mkde/core/call.h"
#include "mkde/core/run.h"
#include "mkde/crypto/owner.h"
#include "mkde/include/wbtrv32.h"
#include "pgde/session.h"

namespace pgde {

using mkde::FileSpec;
using mkde::KeyDef;
using mkde::Status;
using mkde::core::OpenMode;

namespace {

// How long a wait lock tries for a record another block holds before it answers 84.
constexpr auto kLockWait = std::chrono::seconds(3);
constexpr auto kLockRetry = std::chrono::milliseconds(20);

// A position travels in 4 bytes: the last one a record can take; a file past it is full (18),
// as the embedded engine's is.
constexpr int64_t kMaxPosition = 0xFFFFFFFE;
// A file id fits the open lock's 32-bit key and the upper half of a record lock's key.
constexpr int64_t kMaxFileId = INT32_MAX;

// A file as one open sees it: its catalog row, read at Open.
struct File {
  int64_t id = 0;
  FileSpec spec;
  bool has_owner = false;
  int level = 0;
  mkde::SecretKey key;  // the record key of an encrypting owner
  std::string table;    // vastrel_r<id>
  std::string prefix;   // statement names of this file: f<id>_

  bool encrypted() const { return has_owner && mkde::OwnerLevelEncrypts(level); }
  size_t key_count() const { return spec.keys.size(); }
};

struct Client {
  mkde::core::ClientId id{};
  uint32_t serial = 0;
  Session session;
  bool in_transaction = false;
  bool concurrent = false;
  bool transaction_lost = false;  // the connection dropped with a transaction open
  std::vector<int64_t> held;      // files an exclusive transaction holds (table locks)
  bool waiting = false;           // a call of this client waits on the server for a lock
};

struct Handle {
  uint32_t slot = 0;
  uint64_t generation = 0;
  uint8_t check[16] = {};
  std::shared_ptr<File> file;
  Client* client = nullptr;
  OpenMode mode = OpenMode::kNormal;
  bool owner_read_only = false;

  // Logical currency: the key path and the entry (encoded key, position) where it stands.
  int key = -1;
  std::string entry_key;
  int64_t entry_pos = 0;
  // Physical currency.
  bool physical = false;
  int64_t physical_pos = 0;
  // The current record, as read.
  bool current = false;
  bool key_only = false;
  int64_t position = 0;
  int64_t change = 0;
  std::string record;

  bool single_locked = false;
  int64_t single_pos = 0;
  std::vector<int64_t> multiple;
  // Records this block locked inside its client's transaction that it did not hold before:
  // their locks end with the transaction.
  std::vector<int64_t> txn_locks;
  // After a lost connection: the open's lock is not held on the new one (every call but
  // Close tries to take it back, and answers 88 while another open stands in the way), and
  // record locks went with the old one (the block's next call answers 95, once).
  bool open_lost = false;
  bool locks_lost = false;

  bool writable() const { return mode != OpenMode::kReadOnly && !owner_read_only; }
  void ClearCurrency() {
    key = -1;
    entry_key.clear();
    physical = false;
    current = false;
    key_only = false;
  }
};

// One call: its arguments, and the client and handle they name.
struct Call : mkde::core::CallArgs {
  Client* client = nullptr;
  Handle* handle = nullptr;
};

// The status a failed statement becomes. `busy`: what a lock wait that ran out means for
// this statement (84 for a record, 85 for a file).
Status FromSql(const RoundResult& r, Status busy) {
  if (r.status == RoundStatus::kLost) return Status::kCommunications;
  if (r.status == RoundStatus::kOk) return Status::kOk;
  const std::string& s = r.sqlstate;
  if (s == "23505") return Status::kDuplicateKey;
  // Only a position or a file id drawn past the last one is ever NULL (DrawPosition, Create).
  if (s == "23502") return Status::kDiskFull;
  if (s == "55P03") return busy;
  if (s == "40P01") return Status::kDeadlock;
  if (s == "40001") return Status::kConflict;
  if (s == "57014") return Status::kCommunications;  // the statement ran past its time
  if (s == "53100") return Status::kDiskFull;
  return Status::kIoError;
}

std::string Num(int64_t v) { return std::to_string(v); }

// The advisory key of a record lock, as SQL over the file's id and the record's position (SQL
// expressions of them): the id in the upper 32 bits, the position in the lower. Every
// statement that takes, waits for or lets go of a record lock computes the key here; ids
// (kMaxFileId) and positions (kMaxPosition) stay within their halves, so that no two records
// share a key.
std::string LockKey(const std::string& id, const std::string& pos) {
  return "(" + id + " << 32 | " + pos + ")";
}
std::string LockKey(const File& f, const std::string& pos) {
  return LockKey(Num(f.id) + "::bigint", pos);
}

// Lets go of the session's record lock on `pos`.
Statement UnlockRecord(const File& f, int64_t pos) {
  return {"", "SELECT pg_advisory_unlock(" + LockKey(f, "$1::bigint") + ")", {Param::Int(pos)}};
}

// A fresh position from the file's sequence, as SQL: NULL once the file is full, which the
// table's NOT NULL position refuses (23502) before a row is written.
std::string DrawPosition(const File& f) {
  return "(SELECT p FROM nextval('vastrel_s" + Num(f.id) +
         "') AS p WHERE p <= " + Num(kMaxPosition) + ")";
}

// The key's column, k<n>.
std::string Col(int k) { return "k" + Num(k); }

int64_t GetSigned(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= uint64_t{p[i]} << (8 * i);
  if (n < 8 && (v & (uint64_t{1} << (8 * n - 1)))) v |= ~((uint64_t{1} << (8 * n)) - 1);
  return static_cast<int64_t>(v);
}

void PutSigned(uint8_t* p, size_t n, int64_t value) {
  for (size_t i = 0; i < n; ++i)
    p[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
}

// A record between its plain and its stored form: `cipher` (sealing or opening) at owner
// levels that encrypt, a copy otherwise.
using RecordCipher = mkde::CryptoStatus (*)(const mkde::SecretKey&, uint32_t, const uint8_t*,
                                            size_t, std::string*);
Status Cipher(const File& f, int64_t pos, const std::string& in, std::string* out,
              RecordCipher cipher) {
  if (!f.encrypted()) {
    *out = in;
    return Status::kOk;
  }
  return cipher(f.key, static_cast<uint32_t>(pos), reinterpret_cast<const uint8_t*>(in.data()),
                in.size(), out) == mkde::CryptoStatus::kOk
             ? Status::kOk
             : Status::kIoError;
}
Status DecodeStored(const File& f, int64_t pos, const std::string& stored, std::string* plain) {
  return Cipher(f, pos, stored, plain, mkde::OpenRecord);
}
Status SealForStore(const File& f, int64_t pos, const std::string& plain, std::string* stored) {
  return Cipher(f, pos, plain, stored, mkde::SealRecord);
}

// Set once the engine is being destroyed (library unload or process exit); a call after that
// answers 20 (the record manager is inactive) instead of touching a destroyed engine.
std::atomic<bool> engine_gone{false};

class Engine {
 public:
  Engine() { pid_ = ::getpid(); }

  ~Engine() {
    engine_gone.store(true);
    std::lock_guard<std::mutex> guard(mutex_);
    // A child of a fork that ends by exit() must not close its parent's connections.
    if (::getpid() != pid_) ForgetAfterFork();
  }

  int16_t Dispatch(uint16_t op, void* pos_block, void* data, uint32_t* data_len, void* key,
                   uint8_t key_len, int8_t key_num, void* client_id);

 private:
  template <class R, class E, class C>
  friend R mkde::core::RunOperation(E& e, C& call);

  Status Run(Call& call);
  void ForgetAfterFork();
  Client* ClientFor(const void* id);
  Handle* NewHandle(std::shared_ptr<File> file, Client* client);
  Handle* Find(const void* block, const Client* client) const;
  void WriteBlock(const Handle& h, void* block) const;
  std::vector<Handle*> OfClient(const Client* c) const;
  std::vector<Handle*> OfFile(int64_t id) const;
  void Destroy(Handle* h);
  // After the connection of `client` dropped: its locks and transaction are gone.
  void Lost(Client* client);
  // The statement that takes the block's open lock (a try: true when taken).
  static Statement TakeOpenLock(const Handle& h);
  // On a new connection of `c`: the opens of its blocks taken up again, as far as others let.
  void Reconnected(Client* c);
  // Before a call on block `h` (but Close) after a lost connection: 88 while its open lock
  // cannot be taken back (another client's open stands in the way; nothing is written past
  // it), then 95 once when the block's record locks went with the old connection.
  Status Resume(Handle* h);
  // Runs statements on the client's connection; a loss is noted.
  RoundResult Round(Client* c, std::vector<Statement>& s);
  RoundResult One(Client* c, Statement s);
  RoundResult Exec(Client* c, const std::string& sql);

  Status Open(Call& call);
  Status Close(Call& call);
  Status Create(Call& call);
  Status Stat(Call& call);
  Status StopClient(Call& call);
  Status Version(Call& call);
  Status SetOwner(Call& call);
  Status ClearOwner(Call& call);
  // A record stored again in another form (sealed, or opened): kOk or 2.
  using RecordRestore =
      std::function<Status(int64_t pos, const std::string& was, std::string* now)>;
  // Set Owner's and Clear Owner's change, in one server transaction that needs the file to
  // itself: every record stored again through `restore` (when there is one) and the
  // catalog's owner record set to `owner` (NULL: none). 50 when setting meets an owner.
  Status ChangeOwner(Client* c, const File& f, const RecordRestore& restore, Param owner);
  Status BeginTransaction(Call& call);
  Status EndTransaction(Call& call) { return End(call, true); }
  Status AbortTransaction(Call& call) { return End(call, false); }
  Status End(Call& call, bool commit);
  Status Unlock(Call& call);
  Status GetByKey(Call& call, bool key_only);
  Status GetNextPrevious(Call& call, bool key_only);
  Status Step(Call& call);
  Status GetPosition(Call& call);
  Status GetDirect(Call& call);
  // Percentages count entries: a record's rank along the path over the path's length.
  Status GetByPercentage(Call& call);
  Status FindPercentage(Call& call);
  Status Insert(Call& call);
  Status Update(Call& call);
  Status Delete(Call& call);
  Status UpdateChunk(Call& call);
  // Writes `record` over the current record (read at change counter h->change), placing the
  // block on key path k.
  Status Rewrite(Call& call, int k, const std::string& record);

  // Reads one row by `where_order` (the statement's WHERE and ORDER BY, LIMIT 1 added) and
  // delivers it, taking the lock the call asks for. `name` identifies the statement.
  Status ReadOne(Call& call, int k, const std::string& name, const std::string& where_order,
                 std::vector<Param> params, bool key_only, Status missing);
  Status Deliver(Call& call, int k, int64_t pos, int64_t chg, const std::string& stored,
                 bool key_only);
  // Before a statement on the handle's file inside an exclusive transaction: the file is
  // held against other writers until End or Abort. Adds the statement to `round`. Returns
  // 85 when another client of this process holds the file so (the server would only let
  // the call wait for it), else 0.
  Status HoldFile(Handle* h, std::vector<Statement>* round);
  void ReleaseHeld(Client* c) { c->held.clear(); }
  // Index columns of a record: the encoded key, or NULL for a null key left out.
  std::vector<Param> KeyParams(const File& f, const std::string& record);
  // Makes `record` (plain) at `pos` the block's current record, its place on key path k
  // (-1: physical order only); after a write, or a read (`key_only`: by a Get Key form).
  void Place(Handle* h, int k, std::string record, int64_t pos, int64_t chg, bool key_only);
  std::string EntryKey(const File& f, int k, const std::string& record, bool* null);
  // The status of a write of one record that failed: a lock wait that ran out is the
  // file's (85) when it met the table lock of another client's exclusive transaction (the
  // round's first statement, `holding`, takes this client's), else the record's (84).
  Status WriteBusy(Client* c, const File& f, const RoundResult& r, bool holding);
  void DropSingleLock(Handle* h);
  void DropLocksOn(Handle* h, int64_t pos);
  bool HeldElsewhere(const Handle* h, int64_t pos) const;
  // Another client of this process has an exclusive transaction holding the file: its
  // writes, locking reads and opens answer 85 at once rather than after the server's wait.
  bool FileHeldByOther(const Client* me, int64_t id) const;
  // A wait lock's wait for the lock on record `pos` of file `id` that another session holds,
  // on the server, with the engine's lock let go: the server's deadlock detection sees the wait
  // beside every other wait of its clients, so that one closing a cycle answers 78. Returns
  // 0 once the lock was free (it is not kept: the call runs again), 84 when `until` passed,
  // 78, or 96.
  Status WaitOnServer(std::unique_lock<std::mutex>& guard, Client* c, int64_t id, int64_t pos,
                      std::chrono::steady_clock::time_point until);

  std::mutex mutex_;
  std::condition_variable idle_;  // a client's server wait ended
  // The record the last refused locking read met (no file: none).
  std::shared_ptr<File> wait_file_;
  int64_t wait_pos_ = 0;
  pid_t pid_ = 0;
  mkde::core::HandleSlots<Handle, Client> handles_;
  mkde::core::ClientList<Client> clients_;
};

Engine& TheEngine() {
  static Engine engine;
  return engine;
}

// ---- clients, handles, position blocks ----

void Engine::ForgetAfterFork() {
  // The parent's connections are the parent's: a child that used or closed them would talk
  // on the parent's sockets. They are let go without a word to the server.
  handles_.ForgetAfterFork([](std::unique_ptr<Handle>&) {});
  clients_.ForgetAfterFork([](std::unique_ptr<Client>& c) { c->session.Forget(); });
  Client& d = clients_.default_client();
  d.session.Forget();
  d.in_transaction = false;
  d.transaction_lost = false;
  d.held.clear();
  d.waiting = false;
  pid_ = ::getpid();
}

Client* Engine::ClientFor(const void* id) { return clients_.For(id); }

Handle* Engine::NewHandle(std::shared_ptr<File> file, Client* client) {
  Handle* h = handles_.Create(client);
  h->file = std::move(file);
  return h;
}

void Engine::WriteBlock(const Handle& h, void* block) const { handles_.WriteBlock(h, block); }

Handle* Engine::Find(const void* block, const Client* client) const {
  return handles_.Find(block, client);
}

std::vector<Handle*> Engine::OfClient(const Client* c) const { return handles_.OfClient(c); }

std::vector<Handle*> Engine::OfFile(int64_t id) const {
  return handles_.Where([&](const Handle& h) { return h.file->id == id; });
}

void Engine::Destroy(Handle* h) { handles_.Destroy(h); }

void Engine::Lost(Client* client) {
  if (client->in_transaction) client->transaction_lost = true;
  client->in_transaction = false;
  client->held.clear();
  // The server let go of the session's locks: each block's open is taken again on the next
  // connection; its record locks are not (another client may have locked and changed the
  // records meanwhile), and the block's next call says so.
  for (Handle* h : OfClient(client)) {
    if (h->single_locked || !h->multiple.empty()) h->locks_lost = true;
    h->single_locked = false;
    h->multiple.clear();
    h->txn_locks.clear();
    h->open_lost = true;
  }
}

Statement Engine::TakeOpenLock(const Handle& h) {
  return {"",
          h.mode == OpenMode::kExclusive ? "SELECT pg_try_advisory_lock(0, $1::bigint::int)"
                                         : "SELECT pg_try_advisory_lock_shared(0, $1::bigint::int)",
          {Param::Int(h.file->id)}};
}

void Engine::Reconnected(Client* c) {
  std::vector<Handle*> lost;
  std::vector<Statement> again;
  for (Handle* h : OfClient(c)) {
    if (!h->open_lost) continue;
    lost.push_back(h);
    again.push_back(TakeOpenLock(*h));
  }
  if (again.empty()) return;
  RoundResult r = Round(c, again);
  if (r.status != RoundStatus::kOk) return;  // each block tries again on its next call
  for (size_t i = 0; i < lost.size(); ++i) {
    if (GetBool(r.results[i].get(), 0, 0)) lost[i]->open_lost = false;
  }
}

Status Engine::Resume(Handle* h) {
  if (h->open_lost) {
    RoundResult r = One(h->client, TakeOpenLock(*h));
    if (r.status != RoundStatus::kOk) return FromSql(r, Status::kFileInUse);
    if (!GetBool(r.results[0].get(), 0, 0)) return Status::kIncompatibleMode;
    h->open_lost = false;
  }
  if (h->locks_lost) {
    h->locks_lost = false;
    return Status::kSessionLost;
  }
  return Status::kOk;
}

RoundResult Engine::Round(Client* c, std::vector<Statement>& s) {
  RoundResult r = c->session.Round(s, c->in_transaction);
  if (r.status == RoundStatus::kLost) Lost(c);
  return r;
}

RoundResult Engine::Exec(Client* c, const std::string& sql) {
  RoundResult r = c->session.Exec(sql);
  if (r.status == RoundStatus::kLost) Lost(c);
  return r;
}

RoundResult Engine::One(Client* c, Statement s) {
  std::vector<Statement> v;
  v.push_back(std::move(s));
  return Round(c, v);
}

bool Engine::FileHeldByOther(const Client* me, int64_t id) const {
  auto holds = [&](const Client& c) {
    return &c != me && c.in_transaction && !c.concurrent &&
           std::find(c.held.begin(), c.held.end(), id) != c.held.end();
  };
  bool held = false;
  clients_.ForEach([&](const Client& c) { held = held || holds(c); });
  return held;
}

bool Engine::HeldElsewhere(const Handle* h, int64_t pos) const {
  for (const Handle* o : OfFile(h->file->id)) {
    if (o == h) continue;
    if (o->single_locked && o->single_pos == pos) return true;
    if (std::find(o->multiple.begin(), o->multiple.end(), pos) != o->multiple.end()) return true;
  }
  return false;
}

Status Engine::WriteBusy(Client* c, const File& f, const RoundResult& r, bool holding) {
  if (r.status != RoundStatus::kFailed || r.sqlstate != "55P03") {
    return FromSql(r, Status::kRecordInUse);
  }
  if (holding && r.failed == 0) return Status::kFileInUse;
  // The statement waited for a row or for the table: only the server's lock table tells.
  RoundResult t = One(c, {"",
                          "SELECT EXISTS (SELECT 1 FROM pg_locks WHERE locktype = 'relation' AND "
                          "relation = '" +
                              f.table +
                              "'::regclass AND granted AND pid <> pg_backend_pid() AND mode IN "
                              "('ShareLock', 'ShareRowExclusiveLock', 'ExclusiveLock', "
                              "'AccessExclusiveLock'))",
                          {}});
  if (t.status != RoundStatus::kOk) return FromSql(t, Status::kRecordInUse);
  return GetBool(t.results[0].get(), 0, 0) ? Status::kFileInUse : Status::kRecordInUse;
}

void Engine::DropSingleLock(Handle* h) {
  if (!h->single_locked) return;
  h->single_locked = false;
  if (std::find(h->multiple.begin(), h->multiple.end(), h->single_pos) != h->multiple.end()) {
    return;  // still held as a multiple-record lock
  }
  One(h->client, UnlockRecord(*h->file, h->single_pos));
}

void Engine::DropLocksOn(Handle* h, int64_t pos) {
  bool held = (h->single_locked && h->single_pos == pos);
  auto it = std::find(h->multiple.begin(), h->multiple.end(), pos);
  if (it != h->multiple.end()) {
    held = true;
    h->multiple.erase(it);
  }
  if (h->single_locked && h->single_pos == pos) h->single_locked = false;
  if (held) {
    One(h->client, UnlockRecord(*h->file, pos));
  }
}

// ---- dispatch ----

int16_t Engine::Dispatch(uint16_t op, void* pos_block, void* data, uint32_t* data_len, void* key,
                         uint8_t key_len, int8_t key_num, void* client_id) {
  std::unique_lock<std::mutex> guard(mutex_);
  if (::getpid() != pid_) ForgetAfterFork();
  Call call;
  mkde::Status decoded =
      mkde::core::DecodeCall(op, pos_block, data, data_len, key, key_len, key_num, &call);
  if (decoded != mkde::Status::kOk) return mkde::Code(decoded);
  try {
    call.client = ClientFor(client_id);
    Client* c = call.client;
    // One call at a time on a client's connection, also while one waits on the server.
    while (c->waiting) idle_.wait(guard);
    if (call.op == BTR_VERSION) return mkde::Code(Version(call));
    if ((call.op == BTR_STOP || call.op == BTR_RESET) && !c->session.connected()) {
      // Nothing to end on a server the client never reached or lost.
      for (Handle* h : OfClient(c)) Destroy(h);
      c->in_transaction = false;
      c->transaction_lost = false;
      return mkde::Code(Status::kOk);
    }
    if (!c->session.connected()) {
      if (!c->session.Connect()) return mkde::Code(Status::kCommunications);
      Reconnected(c);
      if (c->transaction_lost) {
        c->transaction_lost = false;
        // The one 95 tells the block of this call of its lost record locks too.
        if (mkde::core::NeedsHandle(call.op)) {
          if (Handle* h = Find(call.pos_block, c)) h->locks_lost = false;
        }
        return mkde::Code(Status::kSessionLost);
      }
    }
    const Call original = call;
    wait_file_.reset();
    Status status = Run(call);
    // A wait lock on a record another block holds tries again until its time runs out; the
    // engine's lock is let go meanwhile, so that the holder, if it is another thread here,
    // can let go. A record another session holds is waited for on the server; one that
    // another block of the same client holds (the server sees one session) by looking again.
    if (status == Status::kRecordInUse && (original.lock == 1 || original.lock == 3)) {
      auto until = std::chrono::steady_clock::now() + kLockWait;
      bool waited_before = false;
      while (status == Status::kRecordInUse && std::chrono::steady_clock::now() < until) {
        // A shared hold (a transaction that changed the record) does not keep the wait
        // waiting: a second refusal in a row looks again a moment later.
        if (wait_file_ && !waited_before) {
          Status waited = WaitOnServer(guard, c, wait_file_->id, wait_pos_, until);
          if (waited != Status::kOk) return mkde::Code(waited);
          waited_before = true;
        } else {
          waited_before = false;
          guard.unlock();
          std::this_thread::sleep_for(kLockRetry);
          guard.lock();
        }
        if (::getpid() != pid_) return mkde::Code(Status::kIoError);
        call = original;
        call.client = ClientFor(client_id);
        wait_file_.reset();
        status = Run(call);
      }
    }
    return mkde::Code(status);
  } catch (const std::bad_alloc&) {
    return Code(Status::kNoMemory);
  } catch (...) {
    return mkde::Code(Status::kIoError);
  }
}

Status Engine::WaitOnServer(std::unique_lock<std::mutex>& guard, Client* c, int64_t id, int64_t pos,
                            std::chrono::steady_clock::time_point until) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                  until - std::chrono::steady_clock::now())
                  .count();
  if (left <= 0) return Status::kRecordInUse;
  // The session's lock_timeout (3s, see session.cpp) bounds a wait; this one waits what is
  // left of its bound.
  std::vector<Statement> round;
  round.push_back({"wait_bound",
                   "SELECT set_config('lock_timeout', $1::bigint::text, false)",
                   {Param::Int(left)}});
  // Waited for in shared mode: a waiter for the exclusive lock would stand in the way of the
  // holder's own shared lock when it writes the record (a try-lock yields to waiters).
  const std::string key = LockKey("$1::bigint", "$2::bigint");
  round.push_back({"wait_lock",
                   "SELECT pg_advisory_lock_shared(" + key + ")",
                   {Param::Int(id), Param::Int(pos)}});
  round.push_back({"wait_unlock",
                   "SELECT pg_advisory_unlock_shared(" + key + ")",
                   {Param::Int(id), Param::Int(pos)}});
  round.push_back({"wait_unbound", "SELECT set_config('lock_timeout', '3s', false)", {}});
  bool in_transaction = c->in_transaction;
  c->waiting = true;
  guard.unlock();
  RoundResult r = c->session.Round(round, in_transaction);
  guard.lock();
  c->waiting = false;
  idle_.notify_all();
  if (r.status == RoundStatus::kLost) {
    Lost(c);
    return Status::kCommunications;
  }
  if (r.status == RoundStatus::kOk) return Status::kOk;
  // The bound goes back to the session's own, whatever the failed round left behind.
  Exec(c, "SET lock_timeout = '3s'");
  return FromSql(r, Status::kRecordInUse);
}

Status Engine::Run(Call& call) {
  if (mkde::core::NeedsHandle(call.op)) {
    call.handle = Find(call.pos_block, call.client);
    if (!call.handle) return Status::kFileNotOpen;
    if (call.op != BTR_CLOSE) {
      if (Status resumed = Resume(call.handle); resumed != Status::kOk) return resumed;
    }
  }
  return mkde::core::RunOperation<Status>(*this, call);
}

// ---- files ----

Status Engine::Version(Call& call) { return mkde::core::VersionReply(call); }

Status Engine::Open(Call& call) {
  if (!call.pos_block) return Status::kPosBlockLength;
  OpenMode mode;
  if (!mkde::core::OpenModeFrom(call.key_num, &mode)) return Status::kInvalidFunction;
  std::string path;
  if (!mkde::core::PathFromKey(call, &path)) return Status::kInvalidFileName;
  Client* c = call.client;
  // The catalog row and the open's advisory lock in one statement.
  const char* sql =
      mode == OpenMode::kExclusive
          ? "SELECT id, spec, owner, CASE WHEN id BETWEEN 1 AND 2147483647 THEN "
            "pg_try_advisory_lock(0, id::int) END FROM vastrel_files WHERE name = $1::bytea"
          : "SELECT id, spec, owner, CASE WHEN id BETWEEN 1 AND 2147483647 THEN "
            "pg_try_advisory_lock_shared(0, id::int) END FROM vastrel_files WHERE name = $1::bytea";
  RoundResult r =
      One(c, {mode == OpenMode::kExclusive ? "open_x" : "open_s", sql, {Param::Bytes(path)}});
  if (r.status != RoundStatus::kOk) return FromSql(r, Status::kFileInUse);
  PGresult* res = r.results[0].get();
  if (PQntuples(res) != 1) return Status::kFileNotFound;
  auto file = std::make_shared<File>();
  file->id = GetInt(res, 0, 0);
  // A catalog row with an id no lock can carry is none this engine made.
  if (file->id < 1 || file->id > kMaxFileId) return Status::kIoError;
  if (!GetBool(res, 0, 3)) return Status::kIncompatibleMode;
  auto unlock = [&] {
    One(c, {"",
            mode == OpenMode::kExclusive ? "SELECT pg_advisory_unlock(0, $1::bigint::int)"
                                         : "SELECT pg_advisory_unlock_shared(0, $1::bigint::int)",
            {Param::Int(file->id)}});
  };
  if (FileHeldByOther(c, file->id)) {
    unlock();
    return Status::kFileInUse;
  }
  std::string spec = GetBytes(res, 0, 1), reason;
  if (!mkde::DecodeFileSpec(reinterpret_cast<const uint8_t*>(spec.data()), spec.size(), &file->spec,
                            &reason)) {
    unlock();
    return Status::kNotAFile;
  }
  file->table = "vastrel_r" + Num(file->id);
  file->prefix = "f" + Num(file->id) + "_";
  // An exclusive open of this client in this process keeps other blocks of the same client
  // out too only through the server; other clients are kept out by the server's lock.
  bool owner_read_only = false;
  if (!PQgetisnull(res, 0, 2)) {
    std::string stored = GetBytes(res, 0, 2);
    mkde::OwnerRecord owner;
    if (!mkde::DecodeOwner(reinterpret_cast<const uint8_t*>(stored.data()), stored.size(), &owner,
                           &reason)) {
      unlock();
      return Status::kIoError;
    }
    file->has_owner = true;
    file->level = owner.level;
    mkde::SecretKey key;
    mkde::Status checked =
        mkde::core::OwnerAtOpen(owner, mkde::core::OwnerNameFromData(call), &key, &owner_read_only);
    if (checked != mkde::Status::kOk) {
      unlock();
      return checked;
    }
    file->key = std::move(key);
  }
  Handle* h = NewHandle(std::move(file), c);
  h->mode = mode;
  h->owner_read_only = owner_read_only;
  WriteBlock(*h, call.pos_block);
  return Status::kOk;
}

Status Engine::Close(Call& call) {
  Handle* h = call.handle;
  std::vector<Statement> round;
  std::vector<int64_t> locks = h->multiple;
  if (h->single_locked && std::find(locks.begin(), locks.end(), h->single_pos) == locks.end()) {
    locks.push_back(h->single_pos);
  }
  for (int64_t pos : locks) round.push_back(UnlockRecord(*h->file, pos));
  if (!h->open_lost) {
    round.push_back({"",
                     h->mode == OpenMode::kExclusive
                         ? "SELECT pg_advisory_unlock(0, $1::bigint::int)"
                         : "SELECT pg_advisory_unlock_shared(0, $1::bigint::int)",
                     {Param::Int(h->file->id)}});
  }
  if (call.client->session.connected() && !round.empty()) Round(call.client, round);
  std::memset(call.pos_block, 0, BTR_POS_BLOCK_SIZE);
  Destroy(h);
  return Status::kOk;
}

Status Engine::StopClient(Call& call) {
  Client* c = call.client;
  if (c->in_transaction) {
    c->in_transaction = false;
    Exec(c, "ROLLBACK");
    ReleaseHeld(c);
  }
  for (Handle* h : OfClient(c)) Destroy(h);
  // Every lock and open the client's session held goes with it.
  if (c->session.connected()) Exec(c, "SELECT pg_advisory_unlock_all()");
  return Status::kOk;
}

Status Engine::Create(Call& call) {
  std::string path;
  if (!mkde::core::PathFromKey(call, &path)) return Status::kInvalidFileName;
  FileSpec spec;
  Status status = mkde::ParseCreateBuffer(call.data, call.data_len, &spec);
  if (status != Status::kOk) return status;
  Client* c = call.client;
  bool own_txn = !c->in_transaction;
  auto fail = [&](Status s) {
    if (own_txn) Exec(c, "ROLLBACK");
    return s;
  };
  if (own_txn && Exec(c, "BEGIN").status != RoundStatus::kOk) return Status::kCommunications;
  // Catalog changes go one at a time; the file's own open lock says whether it is in use.
  RoundResult r = One(c, {"",
                          "SELECT pg_advisory_xact_lock(1447121010), "
                          "(SELECT id FROM vastrel_files WHERE name = $1::bytea)",
                          {Param::Bytes(path)}});
  if (r.status != RoundStatus::kOk) return fail(FromSql(r, Status::kFileInUse));
  if (!PQgetisnull(r.results[0].get(), 0, 1)) {
    int64_t old = GetInt(r.results[0].get(), 0, 1);
    if (call.key_num == -1) return fail(Status::kFileExists);
    if (!OfFile(old).empty()) return fail(Status::kFileInUse);
    r = One(c, {"", "SELECT pg_try_advisory_xact_lock(0, $1::bigint::int)", {Param::Int(old)}});
    if (r.status != RoundStatus::kOk) return fail(FromSql(r, Status::kFileInUse));
    if (!GetBool(r.results[0].get(), 0, 0)) return fail(Status::kFileInUse);
    std::vector<Statement> drop;
    drop.push_back({"", "DROP TABLE IF EXISTS vastrel_r" + Num(old), {}});
    drop.push_back({"", "DROP SEQUENCE IF EXISTS vastrel_s" + Num(old), {}});
    drop.push_back({"", "DROP TABLE IF EXISTS vastrel_a" + Num(old), {}});
    drop.push_back({"", "DELETE FROM vastrel_files WHERE id = $1::bigint", {Param::Int(old)}});
    r = Round(c, drop);
    if (r.status != RoundStatus::kOk) return fail(FromSql(r, Status::kFileInUse));
  }
  // An id past the last is NULL, which the catalog refuses (23502: no room for another file).
  r = One(c, {"",
              "INSERT INTO vastrel_files (id, name, spec) VALUES ((SELECT i FROM "
              "nextval('vastrel_files_id_seq') AS i WHERE i <= " +
                  Num(kMaxFileId) + "), $1::bytea, $2::bytea) RETURNING id",
              {Param::Bytes(path), Param::Bytes(mkde::EncodeFileSpec(spec))}});
  if (r.status != RoundStatus::kOk) return fail(FromSql(r, Status::kCannotCreate));
  int64_t id = GetInt(r.results[0].get(), 0, 0);
  std::string t = "vastrel_r" + Num(id);
  std::string ddl = "CREATE SEQUENCE vastrel_s" + Num(id) + "; CREATE TABLE " + t +
                    " (pos bigint PRIMARY KEY, chg bigint NOT NULL, rec bytea NOT NULL";
  for (size_t k = 0; k < spec.keys.size(); ++k) ddl += ", " + Col(static_cast<int>(k)) + " bytea";
  ddl += ");";
  bool counters = false;  // the autoincrement keys' counters
  for (size_t k = 0; k < spec.keys.size(); ++k) {
    std::string col = Col(static_cast<int>(k));
    if (spec.keys[k].autoincrement()) {
      if (!counters) {
        ddl +=
            "CREATE TABLE vastrel_a" + Num(id) + " (k bigint PRIMARY KEY, high bigint NOT NULL);";
        counters = true;
      }
      ddl +=
          "INSERT INTO vastrel_a" + Num(id) + " VALUES (" + Num(static_cast<int64_t>(k)) + ", 0);";
    }
    if (spec.keys[k].duplicates()) {
      ddl += "CREATE INDEX ON " + t + " (" + col + ", pos);";
    } else {
      ddl += "CREATE UNIQUE INDEX ON " + t + " (" + col + ");";
    }
  }
  RoundResult d = Exec(c, ddl);
  if (d.status != RoundStatus::kOk) return fail(FromSql(d, Status::kCannotCreate));
  if (own_txn) {
    RoundResult e = Exec(c, "COMMIT");
    if (e.status != RoundStatus::kOk) return FromSql(e, Status::kCannotCreate);
  }
  return Status::kOk;
}

Status Engine::HoldFile(Handle* h, std::vector<Statement>* round) {
  Client* c = h->client;
  if (!c->in_transaction || c->concurrent) return Status::kOk;
  if (std::find(c->held.begin(), c->held.end(), h->file->id) != c->held.end()) return Status::kOk;
  if (FileHeldByOther(c, h->file->id)) return Status::kFileInUse;
  round->push_back({"", "LOCK TABLE " + h->file->table + " IN SHARE ROW EXCLUSIVE MODE", {}});
  return Status::kOk;
}

Status Engine::Stat(Call& call) {
  Handle* h = call.handle;
  const File& f = *h->file;
  std::string sql = "SELECT count(*)";
  for (size_t k = 0; k < f.key_count(); ++k) {
    sql += ", count(DISTINCT " + Col(static_cast<int>(k)) + ")";
  }
  sql += " FROM " + f.table;
  std::vector<Statement> round;
  if (Status held = HoldFile(h, &round); held != Status::kOk) return held;
  size_t at = round.size();
  round.push_back({f.prefix + "stat", sql, {}});
  RoundResult r = Round(call.client, round);
  if (r.status != RoundStatus::kOk) return FromSql(r, Status::kFileInUse);
  if (at) call.client->held.push_back(f.id);
  PGresult* res = r.results[at].get();
  int64_t count = GetInt(res, 0, 0);
  std::vector<uint32_t> unique;
  for (size_t k = 0; k < f.key_count(); ++k) {
    unique.push_back(static_cast<uint32_t>(GetInt(res, 0, static_cast<int>(k) + 1)));
  }
  size_t n =
      mkde::BuildStatReply(f.spec, static_cast<uint32_t>(std::min<int64_t>(count, UINT32_MAX)),
                           unique, call.data, call.data_len);
  if (n == 0) return Status::kDataLength;
  call.ReturnLength(static_cast<uint32_t>(n));
  return Status::kOk;
}

// ---- owner names ----

Status Engine::SetOwner(Call& call) {
  Handle* h = call.handle;
  File& f = *h->file;
  if (call.client->in_transaction) return Status::kOperationNotAllowed;
  if (!h->writable()) return Status::kAccessDenied;
  if (f.has_owner) return Status::kOwnerSet;
  std::string_view name;
  Status status = mkde::core::OwnerNameFromKey(call, &name);
  if (status != Status::kOk) return status;
  if (OfFile(f.id).size() > 1) return Status::kFileInUse;
  mkde::OwnerRecord record;
  mkde::SecretKey key;
  status = mkde::core::CryptoToStatus(mkde::MakeOwner(name, call.key_num, &record, &key));
  if (status != Status::kOk) return status;
  RecordRestore seal = nullptr;
  if (mkde::OwnerLevelEncrypts(record.level)) {
    seal = [&](int64_t pos, const std::string& plain, std::string* sealed) {
      return mkde::SealRecord(key, static_cast<uint32_t>(pos),
                              reinterpret_cast<const uint8_t*>(plain.data()), plain.size(),
                              sealed) == mkde::CryptoStatus::kOk
                 ? Status::kOk
                 : Status::kIoError;
    };
  }
  status = ChangeOwner(call.client, f, seal, Param::Bytes(mkde::EncodeOwner(record)));
  if (status != Status::kOk) return status;
  f.has_owner = true;
  f.level = record.level;
  f.key = std::move(key);
  return Status::kOk;
}

Status Engine::ClearOwner(Call& call) {
  Handle* h = call.handle;
  File& f = *h->file;
  if (call.client->in_transaction) return Status::kOperationNotAllowed;
  if (!h->writable()) return Status::kAccessDenied;
  if (!f.has_owner) return Status::kOk;
  if (OfFile(f.id).size() > 1) return Status::kFileInUse;
  RecordRestore open = nullptr;
  if (f.encrypted()) {
    open = [&](int64_t pos, const std::string& sealed, std::string* plain) {
      return DecodeStored(f, pos, sealed, plain);
    };
  }
  Status status = ChangeOwner(call.client, f, open, Param());
  if (status != Status::kOk) return status;
  f.has_owner = false;
  f.level = 0;
  f.key = mkde::SecretKey();
  return Status::kOk;
}

Status Engine::ChangeOwner(Client* c, const File& f, const RecordRestore& restore, Param owner) {
  const bool setting = owner.kind != Param::kNull;
  auto fail = [&](Status s) {
    Exec(c, "ROLLBACK");
    return s;
  };
  if (Exec(c, "BEGIN").status != RoundStatus::kOk) return Status::kCommunications;
  // No other open anywhere: the shared open locks of other sessions stand in the way.
  RoundResult r = One(c, {"",
                          "SELECT pg_try_advisory_xact_lock(0, $1::bigint::int), "
                          "(SELECT owner IS NOT NULL FROM vastrel_files WHERE id = $1::bigint "
                          "FOR UPDATE)",
                          {Param::Int(f.id)}});
  if (r.status != RoundStatus::kOk) return fail(FromSql(r, Status::kFileInUse));
  if (!GetBool(r.results[0].get(), 0, 0)) return fail(Status::kFileInUse);
  if (setting && GetBool(r.results[0].get(), 0, 1)) return fail(Status::kOwnerSet);
  std::vector<Statement> round;
  if (restore) {
    // The records go in their new form into a new table that takes the old one's place: an
    // update in place would leave the old row versions, the plain records, in the table's
    // files until the server happened to reuse their space.
    std::vector<Statement> read;
    read.push_back({"", "LOCK TABLE " + f.table + " IN ACCESS EXCLUSIVE MODE", {}});
    read.push_back({"", "SELECT pos, rec FROM " + f.table, {}});
    r = Round(c, read);
    if (r.status != RoundStatus::kOk) return fail(FromSql(r, Status::kFileInUse));
    std::string fresh = "vastrel_n" + Num(f.id), keys;
    for (size_t k = 0; k < f.key_count(); ++k) keys += ", " + Col(static_cast<int>(k));
    round.push_back({"", "CREATE TABLE " + fresh + " (LIKE " + f.table + " INCLUDING ALL)", {}});
    PGresult* res = r.results[1].get();
    for (int i = 0; i < PQntuples(res); ++i) {
      int64_t pos = GetInt(res, i, 0);
      std::string was = GetBytes(res, i, 1), now;
      if (restore(pos, was, &now) != Status::kOk) return fail(Status::kIoError);
      round.push_back({"",
                       "INSERT INTO " + fresh + " (pos, chg, rec" + keys + ") SELECT pos, chg, " +
                           "$1::bytea" + keys + " FROM " + f.table + " WHERE pos = $2::bigint",
                       {Param::Bytes(std::move(now)), Param::Int(pos)}});
    }
    round.push_back({"", "DROP TABLE " + f.table, {}});
    round.push_back({"", "ALTER TABLE " + fresh + " RENAME TO " + f.table, {}});
  }
  round.push_back({"",
                   "UPDATE vastrel_files SET owner = $1::bytea WHERE id = $2::bigint",
                   {std::move(owner), Param::Int(f.id)}});
  r = Round(c, round);
  if (r.status != RoundStatus::kOk) return fail(FromSql(r, Status::kFileInUse));
  r = Exec(c, "COMMIT");
  if (r.status != RoundStatus::kOk) return FromSql(r, Status::kFileInUse);
  return Status::kOk;
}

// ---- transactions and locks ----

Status Engine::BeginTransaction(Call& call) {
  Client* c = call.client;
  if (c->in_transaction) return Status::kTransactionActive;
  // An exclusive transaction reads one committed state: its snapshot is taken once, and
  // each file it touches is held against other writers.
  RoundResult r = Exec(c, call.concurrent ? "BEGIN ISOLATION LEVEL READ COMMITTED"
                                          : "BEGIN ISOLATION LEVEL REPEATABLE READ");
  if (r.status != RoundStatus::kOk) return FromSql(r, Status::kFileInUse);
  c->in_transaction = true;
  c->concurrent = call.concurrent;
  c->held.clear();
  for (Handle* h : OfClient(c)) h->txn_locks.clear();
  return Status::kOk;
}

Status Engine::End(Call& call, bool commit) {
  Client* c = call.client;
  if (!c->in_transaction) return Status::kTransactionError;
  c->in_transaction = false;
  ReleaseHeld(c);
  RoundResult r = Exec(c, commit ? "COMMIT" : "ROLLBACK");
  if (r.status == RoundStatus::kLost) return Status::kCommunications;
  // The record locks the transaction's reads took end with it; those taken before stay.
  for (Handle* h : OfClient(c)) {
    std::vector<int64_t> taken;
    taken.swap(h->txn_locks);
    for (int64_t pos : taken) DropLocksOn(h, pos);
  }
  return FromSql(r, Status::kFileInUse);
}

Status Engine::Unlock(Call& call) {
  Handle* h = call.handle;
  mkde::core::UnlockWhat what;
  uint32_t position = 0;
  Status status = mkde::core::DecodeUnlock(call, &what, &position);
  if (status != Status::kOk) return status;
  if (what == mkde::core::UnlockWhat::kSingle) {
    if (!h->single_locked) return Status::kLockError;
    DropSingleLock(h);
    return Status::kOk;
  }
  if (what == mkde::core::UnlockWhat::kOne) {
    int64_t pos = position;
    auto it = std::find(h->multiple.begin(), h->multiple.end(), pos);
    if (it == h->multiple.end()) return Status::kLockError;
    h->multiple.erase(it);
    if (!(h->single_locked && h->single_pos == pos)) One(h->client, UnlockRecord(*h->file, pos));
    return Status::kOk;
  }
  if (h->multiple.empty()) return Status::kLockError;
  std::vector<Statement> round;
  for (int64_t pos : h->multiple) {
    if (!(h->single_locked && h->single_pos == pos)) round.push_back(UnlockRecord(*h->file, pos));
  }
  h->multiple.clear();
  if (!round.empty()) Round(h->client, round);
  return Status::kOk;
}

// ---- records ----

std::string Engine::EntryKey(const File& f, int k, const std::string& record, bool* null) {
  const KeyDef& def = f.spec.keys[k];
  std::string value =
      mkde::ExtractValue(def, reinterpret_cast<const uint8_t*>(record.data()), record.size());
  *null = mkde::IsNullValue(def, reinterpret_cast<const uint8_t*>(value.data()));
  std::string out;
  mkde::EncodeValue(def, reinterpret_cast<const uint8_t*>(value.data()), &out);
  return out;
}

std::vector<Param> Engine::KeyParams(const File& f, const std::string& record) {
  std::vector<Param> out;
  for (size_t k = 0; k < f.key_count(); ++k) {
    bool null = false;
    std::string e = EntryKey(f, static_cast<int>(k), record, &null);
    out.push_back(null ? Param() : Param::Bytes(std::move(e)));
  }
  return out;
}

Status Engine::Deliver(Call& call, int k, int64_t pos, int64_t chg, const std::string& stored,
                       bool key_only) {
  Handle* h = call.handle;
  const File& f = *h->file;
  std::string plain;
  Status status = DecodeStored(f, pos, stored, &plain);
  if (status != Status::kOk) return status;
  if (!key_only) {
    size_t n = std::min<size_t>(plain.size(), call.data_len);
    if (n) std::memcpy(call.data, plain.data(), n);
    call.ReturnLength(static_cast<uint32_t>(n));
    if (n < plain.size()) status = Status::kDataLength;
  }
  if (k >= 0) {
    const KeyDef& def = f.spec.keys[k];
    std::string value =
        mkde::ExtractValue(def, reinterpret_cast<const uint8_t*>(plain.data()), plain.size());
    std::memcpy(call.key, value.data(), value.size());  // key_len checked by the caller
  }
  Place(h, k, std::move(plain), pos, chg, key_only);
  return status;
}

Status Engine::ReadOne(Call& call, int k, const std::string& name, const std::string& where_order,
                       std::vector<Param> params, bool key_only, Status missing) {
  Handle* h = call.handle;
  const File& f = *h->file;
  std::string inner = "SELECT pos, chg, rec FROM " + f.table + " WHERE " + where_order + " LIMIT 1";
  std::string sql = inner;
  std::string stmt = f.prefix + name;
  if (call.lock && FileHeldByOther(call.client, f.id)) return Status::kFileInUse;
  if (call.lock) {
    // The lock is taken on the row found, in the same statement: one round trip.
    sql = "SELECT s.pos, s.chg, s.rec, pg_try_advisory_lock(" + LockKey(f, "s.pos") + ") FROM (" +
          inner + ") s";
    stmt += "_l";
  }
  // A single-record lock ends with the block's next read.
  bool keep_single = false;
  std::vector<Statement> round;
  if (Status held = HoldFile(h, &round); held != Status::kOk) return held;
  size_t at = round.size();
  round.push_back({stmt, sql, std::move(params)});
  RoundResult r = Round(call.client, round);
  if (r.status != RoundStatus::kOk) return FromSql(r, Status::kFileInUse);
  if (at) call.client->held.push_back(f.id);
  PGresult* res = r.results[at].get();
  if (PQntuples(res) != 1) {
    DropSingleLock(h);
    return missing;
  }
  int64_t pos = GetInt(res, 0, 0);
  if (call.lock) {
    bool got = GetBool(res, 0, 3);
    bool already = (h->single_locked && h->single_pos == pos) ||
                   std::find(h->multiple.begin(), h->multiple.end(), pos) != h->multiple.end();
    // A block that holds the record keeps it; its try may fail only for another session
    // waiting for it.
    if (!got && !already) {
      // Another session holds it: a wait may wait on the server.
      wait_file_ = h->file;
      wait_pos_ = pos;
      return Status::kRecordInUse;
    }
    if (got && HeldElsewhere(h, pos)) {
      One(call.client, UnlockRecord(f, pos));
      return Status::kRecordInUse;
    }
    if (!already && call.client->in_transaction) h->txn_locks.push_back(pos);
    if (already && got) {
      // The session counts each lock it takes; this block holds the record once.
      One(call.client, UnlockRecord(f, pos));
    }
    if (call.lock <= 2) {
      keep_single = h->single_locked && h->single_pos == pos;
      if (!keep_single) DropSingleLock(h);
      h->single_locked = true;
      h->single_pos = pos;
    } else {
      DropSingleLock(h);
      if (std::find(h->multiple.begin(), h->multiple.end(), pos) == h->multiple.end()) {
        h->multiple.push_back(pos);
      }
    }
  } else {
    DropSingleLock(h);
  }
  return Deliver(call, k, pos, GetInt(res, 0, 1), GetBytes(res, 0, 2), key_only);
}

Status Engine::GetByKey(Call& call, bool key_only) {
  Handle* h = call.handle;
  const File& f = *h->file;
  if (call.key_num < 0 || static_cast<size_t>(call.key_num) >= f.key_count()) {
    return Status::kInvalidKeyNumber;
  }
  int k = call.key_num;
  const KeyDef& def = f.spec.keys[k];
  if (call.key_len < def.value_length()) return Status::kKeyBufferShort;
  std::string col = Col(k);
  std::string probe;
  std::vector<Param> params;
  if (call.op != BTR_GET_FIRST && call.op != BTR_GET_LAST) {
    mkde::EncodeValue(def, call.key, &probe);
    params.push_back(Param::Bytes(probe));
  }
  std::string asc = " ORDER BY " + col + (def.duplicates() ? ", pos" : "");
  std::string desc = " ORDER BY " + col + " DESC" + (def.duplicates() ? ", pos DESC" : "");
  // Each Get by key: its comparison with the key buffer's value, its direction and the name
  // its statement is prepared under.
  struct Probe {
    int op;
    const char* compare;
    bool descending;
    const char* name;
  };
  static constexpr Probe kProbes[] = {
      {BTR_GET_EQUAL, " = $1::bytea", false, "eq"},
      {BTR_GET_GREATER, " > $1::bytea", false, "gt"},
      {BTR_GET_GREATER_OR_EQUAL, " >= $1::bytea", false, "ge"},
      {BTR_GET_LESS, " < $1::bytea", true, "lt"},
      {BTR_GET_LESS_OR_EQUAL, " <= $1::bytea", true, "le"},
      {BTR_GET_FIRST, " IS NOT NULL", false, "first"},
      {BTR_GET_LAST, " IS NOT NULL", true, "last"},
  };
  const Probe* form = &kProbes[std::size(kProbes) - 1];
  for (const Probe& p : kProbes) {
    if (p.op == call.op) form = &p;
  }
  std::string where = col + form->compare + (form->descending ? desc : asc);
  std::string name = form->name;
  Status missing = call.op == BTR_GET_EQUAL ? Status::kKeyNotFound : Status::kEndOfFile;
  return ReadOne(call, k, name + Num(k), where, std::move(params), key_only, missing);
}

Status Engine::GetNextPrevious(Call& call, bool key_only) {
  Handle* h = call.handle;
  const File& f = *h->file;
  if (h->key < 0) return Status::kPositionNotSet;
  if (call.key_num != h->key) return Status::kDifferentKeyNumber;
  int k = h->key;
  const KeyDef& def = f.spec.keys[k];
  if (call.key_len < def.value_length()) return Status::kKeyBufferShort;
  std::string col = Col(k);
  bool next = call.op == BTR_GET_NEXT;
  std::string where;
  std::vector<Param> params{Param::Bytes(h->entry_key)};
  if (def.duplicates()) {
    where = "(" + col + ", pos) " + (next ? ">" : "<") + " ($1::bytea, $2::bigint) ORDER BY " +
            col + (next ? ", pos" : " DESC, pos DESC");
    params.push_back(Param::Int(h->entry_pos));
  } else {
    where = col + (next ? " > " : " < ") + "$1::bytea ORDER BY " + col + (next ? "" : " DESC");
  }
  return ReadOne(call, k, (next ? "next" : "prev") + Num(k), where, std::move(params), key_only,
                 Status::kEndOfFile);
}

Status Engine::Step(Call& call) {
  Handle* h = call.handle;
  std::vector<Param> params;
  std::string where, name;
  switch (call.op) {
    case BTR_STEP_FIRST:
      where = "true ORDER BY pos";
      name = "sfirst";
      break;
    case BTR_STEP_LAST:
      where = "true ORDER BY pos DESC";
      name = "slast";
      break;
    case BTR_STEP_NEXT:
      if (!h->physical) return Status::kPositionNotSet;
      where = "pos > $1::bigint ORDER BY pos";
      name = "snext";
      params.push_back(Param::Int(h->physical_pos));
      break;
    default:
      if (!h->physical) return Status::kPositionNotSet;
      where = "pos < $1::bigint ORDER BY pos DESC";
      name = "sprev";
      params.push_back(Param::Int(h->physical_pos));
      break;
  }
  return ReadOne(call, -1, name, where, std::move(params), false, Status::kEndOfFile);
}

Status Engine::GetPosition(Call& call) {
  Handle* h = call.handle;
  if (!h->current) return Status::kPositionNotSet;
  if (call.data_len < 4) return Status::kDataLength;
  // Past the last position only through a file written before positions were bounded.
  if (h->position > kMaxPosition) return Status::kIoError;
  mkde::EncodeFixed32(call.data, static_cast<uint32_t>(h->position));
  call.ReturnLength(4);
  return Status::kOk;
}

Status Engine::GetDirect(Call& call) {
  Handle* h = call.handle;
  const File& f = *h->file;
  if (call.data_len < 4) return Status::kDataLength;
  int64_t pos = mkde::DecodeFixed32(call.data);
  int k = call.key_num;
  if (k >= 0) {
    if (static_cast<size_t>(k) >= f.key_count()) return Status::kInvalidKeyNumber;
    if (call.key_len < f.spec.keys[k].value_length()) return Status::kKeyBufferShort;
  } else {
    k = -1;
  }
  return ReadOne(call, k, "direct", "pos = $1::bigint", {Param::Int(pos)}, false,
                 Status::kInvalidAddress);
}

Status Engine::GetByPercentage(Call& call) {
  Handle* h = call.handle;
  const File& f = *h->file;
  if (call.data_len < 2) return Status::kDataLength;
  int64_t pct = mkde::DecodeFixed16(call.data);
  if (pct > 10000) return Status::kInvalidFunction;
  int k = call.key_num;
  if (k >= 0) {
    if (static_cast<size_t>(k) >= f.key_count()) return Status::kInvalidKeyNumber;
    if (call.key_len < f.spec.keys[k].value_length()) return Status::kKeyBufferShort;
  } else if (k != -1) {
    return Status::kInvalidKeyNumber;
  }
  std::string where, order;
  if (k >= 0) {
    where = Col(k) + " IS NOT NULL";
    order = Col(k) + (f.spec.keys[k].duplicates() ? ", pos" : "");
  } else {
    where = "true";
    order = "pos";
  }
  std::string sql = where + " ORDER BY " + order +
                    " OFFSET (SELECT greatest(0, (count(*) - 1) * $1::bigint / 10000) FROM " +
                    f.table + " WHERE " + where + ")";
  return ReadOne(call, k, "pct" + Num(k), sql, {Param::Int(pct)}, false, Status::kEndOfFile);
}

Status Engine::FindPercentage(Call& call) {
  Handle* h = call.handle;
  const File& f = *h->file;
  int k = call.key_num;
  if (k >= 0 && static_cast<size_t>(k) >= f.key_count()) return Status::kInvalidKeyNumber;
  if (k < -1) return Status::kInvalidKeyNumber;
  if (!h->current) return Status::kPositionNotSet;
  if (call.data_len < 2) return Status::kDataLength;
  std::string sql;
  std::vector<Param> params;
  if (k >= 0) {
    bool null = false;
    std::string entry = EntryKey(f, k, h->record, &null);
    std::string col = Col(k);
    std::string before = f.spec.keys[k].duplicates()
                             ? "(" + col + ", pos) < ($1::bytea, $2::bigint)"
                             : col + " < $1::bytea";
    sql = "SELECT count(*) FILTER (WHERE " + before + "), count(*) FROM " + f.table + " WHERE " +
          col + " IS NOT NULL";
    params.push_back(Param::Bytes(entry));
    if (f.spec.keys[k].duplicates()) params.push_back(Param::Int(h->position));
  } else {
    sql = "SELECT count(*) FILTER (WHERE pos < $1::bigint), count(*) FROM " + f.table;
    params.push_back(Param::Int(h->position));
  }
  std::vector<Statement> round;
  if (Status held = HoldFile(h, &round); held != Status::kOk) return held;
  size_t at = round.size();
  round.push_back({f.prefix + "rank" + Num(k), sql, std::move(params)});
  RoundResult r = Round(call.client, round);
  if (r.status != RoundStatus::kOk) return FromSql(r, Status::kFileInUse);
  if (at) call.client->held.push_back(f.id);
  int64_t before = GetInt(r.results[at].get(), 0, 0), count = GetInt(r.results[at].get(), 0, 1);
  if (count == 0) return Status::kPositionNotSet;
  int64_t pct = count > 1 ? std::min<int64_t>(before, count - 1) * 10000 / (count - 1) : 0;
  mkde::EncodeFixed16(call.data, static_cast<uint16_t>(pct));
  call.ReturnLength(2);
  return Status::kOk;
}

void Engine::Place(Handle* h, int k, std::string record, int64_t pos, int64_t chg, bool key_only) {
  if (k >= 0) {
    bool null = false;
    h->entry_key = EntryKey(*h->file, k, record, &null);
    h->entry_pos = pos;
    h->key = k;
  } else {
    h->key = -1;
    h->entry_key.clear();
  }
  h->physical = true;
  h->physical_pos = pos;
  h->position = pos;
  h->current = true;
  h->key_only = key_only;
  h->change = chg;
  h->record = std::move(record);
}

Status Engine::Insert(Call& call) {
  Handle* h = call.handle;
  const File& f = *h->file;
  if (FileHeldByOther(call.client, f.id)) return Status::kFileInUse;
  const FileSpec& spec = f.spec;
  int k = -1;
  Status status = mkde::core::InsertKey(call, spec, &k);
  if (status != Status::kOk) return status;
  if (!h->writable()) return Status::kAccessDenied;
  std::string record;
  status = mkde::core::RecordFromCaller(call, spec, &record);
  if (status != Status::kOk) return status;
  Client* c = call.client;
  std::vector<Statement> round;
  if (Status held = HoldFile(h, &round); held != Status::kOk) return held;
  bool holding = !round.empty();
  // Autoincrement keys left 0 take the key's high value + 1 from a counter row that changes
  // in the insert's own transaction: a refused insert or an aborted transaction takes no
  // value, a deleted highest value is not handed out again, and two clients inserting at
  // once wait for each other's counter rather than clash.
  std::string counters = "vastrel_a" + Num(f.id);
  std::vector<int64_t> assign;
  std::vector<Statement> after;
  for (size_t i = 0; i < spec.keys.size(); ++i) {
    const mkde::Segment* seg = spec.keys[i].autoincrement();
    if (!seg) continue;
    int64_t given = GetSigned(reinterpret_cast<uint8_t*>(record.data()) + seg->offset, seg->length);
    if (given == 0) {
      assign.push_back(static_cast<int64_t>(i));
    } else if (given > 0) {
      after.push_back(
          {f.prefix + "high",
           "UPDATE " + counters + " SET high = greatest(high, $1::bigint) WHERE k = $2::bigint",
           {Param::Int(given), Param::Int(static_cast<int64_t>(i))}});
    }
  }
  enum { kNoScope, kOwnTransaction, kSavepoint } scope = kNoScope;
  auto undo = [&](Status s) {
    if (scope == kOwnTransaction) Exec(c, "ROLLBACK");
    if (scope == kSavepoint) {
      Exec(c, "ROLLBACK TO SAVEPOINT vastrel_ai; RELEASE SAVEPOINT vastrel_ai");
    }
    scope = kNoScope;
    return s;
  };
  if (!assign.empty()) {
    RoundResult b = Exec(c, c->in_transaction ? "SAVEPOINT vastrel_ai" : "BEGIN");
    if (b.status != RoundStatus::kOk) return FromSql(b, Status::kFileInUse);
    scope = c->in_transaction ? kSavepoint : kOwnTransaction;
    size_t first = round.size();
    for (int64_t i : assign) {
      round.push_back(
          {f.prefix + "step",
           "UPDATE " + counters + " SET high = high + 1 WHERE k = $1::bigint RETURNING high",
           {Param::Int(i)}});
    }
    RoundResult r = Round(c, round);
    if (r.status != RoundStatus::kOk) return undo(FromSql(r, Status::kFileInUse));
    if (holding) {
      c->held.push_back(f.id);
      holding = false;
    }
    for (size_t j = 0; j < assign.size(); ++j) {
      const mkde::Segment& seg = *spec.keys[assign[j]].autoincrement();
      PGresult* res = r.results[first + j].get();
      if (PQntuples(res) != 1) return undo(Status::kIoError);
      int64_t value = GetInt(res, 0, 0);
      int64_t max = seg.length >= 8 ? INT64_MAX : (int64_t{1} << (8 * seg.length - 1)) - 1;
      if (value > max) return undo(Status::kDuplicateKey);  // the key's range is used up
      PutSigned(reinterpret_cast<uint8_t*>(record.data()) + seg.offset, seg.length, value);
    }
    round.clear();
  }
  std::vector<Param> params = KeyParams(f, record);
  std::string cols, values;
  for (size_t i = 0; i < f.key_count(); ++i) {
    cols += ", " + Col(static_cast<int>(i));
    values += ", $" + Num(static_cast<int64_t>(i) + 3) + "::bytea";
  }
  int64_t pos = 0;
  std::string stored;
  if (f.encrypted()) {
    // The position is bound into the sealed record, so it is drawn first.
    round.push_back({f.prefix + "nextval", "SELECT " + DrawPosition(f), {}});
    RoundResult r = Round(c, round);
    if (r.status != RoundStatus::kOk) return undo(FromSql(r, Status::kFileInUse));
    if (holding) {
      c->held.push_back(f.id);
      holding = false;
    }
    if (PQgetisnull(r.results.back().get(), 0, 0)) return undo(Status::kDiskFull);
    pos = GetInt(r.results.back().get(), 0, 0);
    round.clear();
    status = SealForStore(f, pos, record, &stored);
    if (status != Status::kOk) return undo(status);
    params.insert(params.begin(), {Param::Int(pos), Param::Bytes(stored)});
    round.push_back({f.prefix + "insp",
                     "INSERT INTO " + f.table + " (pos, chg, rec" + cols +
                         ") VALUES ($1::bigint, 0, $2::bytea" + values + ") RETURNING pos",
                     std::move(params)});
  } else {
    params.insert(params.begin(), {Param::Int(0), Param::Bytes(record)});
    round.push_back({f.prefix + "ins",
                     "INSERT INTO " + f.table + " (pos, chg, rec" + cols + ") VALUES (" +
                         DrawPosition(f) + " + $1::bigint, 0, $2::bytea" + values +
                         ") RETURNING pos",
                     std::move(params)});
  }
  size_t insert_at = round.size() - 1;
  for (Statement& st : after) round.push_back(std::move(st));
  if (scope == kOwnTransaction) round.push_back({"", "COMMIT", {}});
  RoundResult r = Round(c, round);
  if (r.status != RoundStatus::kOk) return undo(FromSql(r, Status::kFileInUse));
  if (scope == kSavepoint) {
    RoundResult e = Exec(c, "RELEASE SAVEPOINT vastrel_ai");
    if (e.status != RoundStatus::kOk) return FromSql(e, Status::kFileInUse);
  }
  if (holding) c->held.push_back(f.id);
  pos = GetInt(r.results[insert_at].get(), 0, 0);
  std::memcpy(call.data, record.data(), std::min<size_t>(record.size(), call.data_len));
  if (k >= 0) {
    std::string value = mkde::ExtractValue(
        spec.keys[k], reinterpret_cast<const uint8_t*>(record.data()), record.size());
    std::memcpy(call.key, value.data(), value.size());
  }
  Place(h, k, record, pos, 0, false);
  return Status::kOk;
}

Status Engine::Update(Call& call) {
  Handle* h = call.handle;
  const File& f = *h->file;
  if (FileHeldByOther(call.client, f.id)) return Status::kFileInUse;
  const FileSpec& spec = f.spec;
  int k = call.key_num;
  if (k >= 0 && static_cast<size_t>(k) >= spec.keys.size()) return Status::kInvalidKeyNumber;
  if (k < 0) k = h->key;
  if (!h->current || h->key_only) return Status::kPositionNotSet;
  if (k >= 0 && call.key_len < spec.keys[k].value_length()) return Status::kKeyBufferShort;
  if (!h->writable()) return Status::kAccessDenied;
  std::string record;
  Status status = mkde::core::RecordFromCaller(call, spec, &record);
  if (status != Status::kOk) return status;
  return Rewrite(call, k, record);
}

Status Engine::Rewrite(Call& call, int k, const std::string& record) {
  Handle* h = call.handle;
  const File& f = *h->file;
  const FileSpec& spec = f.spec;
  Status status = Status::kOk;
  if (HeldElsewhere(h, h->position)) return Status::kRecordInUse;
  for (const KeyDef& def : spec.keys) {
    if (def.modifiable()) continue;
    auto value = [&](const std::string& r) {
      return mkde::ExtractValue(def, reinterpret_cast<const uint8_t*>(r.data()), r.size());
    };
    if (value(record) != value(h->record)) return Status::kModifiableKey;
  }
  std::string stored;
  status = SealForStore(f, h->position, record, &stored);
  if (status != Status::kOk) return status;
  std::vector<Param> params = KeyParams(f, record);
  std::string sets;
  for (size_t i = 0; i < f.key_count(); ++i) {
    sets += ", " + Col(static_cast<int>(i)) + " = $" + Num(static_cast<int64_t>(i) + 4) + "::bytea";
  }
  params.insert(params.begin(),
                {Param::Bytes(stored), Param::Int(h->position), Param::Int(h->change)});
  Client* c = call.client;
  std::vector<Statement> round;
  if (Status held = HoldFile(h, &round); held != Status::kOk) return held;
  bool holding = !round.empty();
  // Another session's lock on the record refuses the write; inside a transaction the
  // shared lock taken here keeps others from locking the changed record until End.
  std::string update = "UPDATE " + f.table + " SET chg = chg + 1, rec = $1::bytea" + sets +
                       " WHERE pos = $2::bigint AND chg = $3::bigint AND "
                       "pg_try_advisory_xact_lock_shared(" +
                       LockKey(f, "$2::bigint") + ") RETURNING chg";
  // An autoincrement value the new record raises is the key's high value from now on, as
  // one an Insert brings; in the same statement, so that only a write that happened raises it.
  std::string raise;
  for (size_t i = 0; i < spec.keys.size(); ++i) {
    const mkde::Segment* seg = spec.keys[i].autoincrement();
    if (!seg) continue;
    int64_t value =
        GetSigned(reinterpret_cast<const uint8_t*>(record.data()) + seg->offset, seg->length);
    params.push_back(Param::Int(value));
    raise += " WHEN " + Num(static_cast<int64_t>(i)) + " THEN $" +
             Num(static_cast<int64_t>(params.size())) + "::bigint";
  }
  if (!raise.empty()) {
    // Only a counter the value passes is written (and so locked for a transaction's life).
    std::string value = "CASE k" + raise + " ELSE high END";
    update = "WITH u AS (" + update + "), a AS (UPDATE vastrel_a" + Num(f.id) +
             " SET high = " + value + " WHERE " + value +
             " > high AND EXISTS (SELECT 1 FROM u)) SELECT chg FROM u";
  }
  round.push_back({f.prefix + "upd", update, std::move(params)});
  RoundResult r = Round(c, round);
  if (r.status != RoundStatus::kOk) return WriteBusy(c, f, r, holding);
  if (holding) c->held.push_back(f.id);
  if (PQntuples(r.results.back().get()) != 1) {
    r = One(c, {"",
                "SELECT pg_try_advisory_xact_lock_shared(" + LockKey(f, "$1::bigint") + ")",
                {Param::Int(h->position)}});
    if (r.status != RoundStatus::kOk) return FromSql(r, Status::kRecordInUse);
    return GetBool(r.results[0].get(), 0, 0) ? Status::kConflict : Status::kRecordInUse;
  }
  int64_t chg = GetInt(r.results.back().get(), 0, 0);
  DropSingleLock(h);
  if (k >= 0 && call.op == BTR_UPDATE) {  // Update checked the key buffer's room (21)
    std::string value = mkde::ExtractValue(
        spec.keys[k], reinterpret_cast<const uint8_t*>(record.data()), record.size());
    std::memcpy(call.key, value.data(), value.size());
  }
  Place(h, k, record, h->position, chg, false);
  return Status::kOk;
}

Status Engine::UpdateChunk(Call& call) {
  Handle* h = call.handle;
  const File& f = *h->file;
  const FileSpec& spec = f.spec;
  if (FileHeldByOther(call.client, f.id)) return Status::kFileInUse;
  std::vector<mkde::core::Chunk> chunks;
  Status status = mkde::core::ParseChunks(call, &chunks);
  if (status != Status::kOk) return status;
  if (!h->current || h->key_only) return Status::kPositionNotSet;
  if (!h->writable()) return Status::kAccessDenied;
  // The chunks go over the record as this block read it; the change counter refuses the
  // write (80) when another client changed it since.
  std::string record = h->record;
  for (const mkde::core::Chunk& c : chunks) {
    status = mkde::core::ApplyChunk(
        spec, c.offset, std::string_view(reinterpret_cast<const char*>(c.bytes), c.length),
        &record);
    if (status != Status::kOk) return status;
  }
  return Rewrite(call, h->key, record);
}

Status Engine::Delete(Call& call) {
  Handle* h = call.handle;
  const File& f = *h->file;
  if (FileHeldByOther(call.client, f.id)) return Status::kFileInUse;
  if (!h->current || h->key_only) return Status::kPositionNotSet;
  if (!h->writable()) return Status::kAccessDenied;
  if (HeldElsewhere(h, h->position)) return Status::kRecordInUse;
  Client* c = call.client;
  std::vector<Statement> round;
  if (Status held = HoldFile(h, &round); held != Status::kOk) return held;
  bool holding = !round.empty();
  round.push_back({f.prefix + "del",
                   "DELETE FROM " + f.table +
                       " WHERE pos = $1::bigint AND chg = $2::bigint AND "
                       "pg_try_advisory_xact_lock_shared(" +
                       LockKey(f, "$1::bigint") + ") RETURNING pos",
                   {Param::Int(h->position), Param::Int(h->change)}});
  RoundResult r = Round(c, round);
  if (r.status != RoundStatus::kOk) return WriteBusy(c, f, r, holding);
  if (holding) c->held.push_back(f.id);
  if (PQntuples(r.results.back().get()) != 1) {
    r = One(c, {"",
                "SELECT pg_try_advisory_xact_lock_shared(" + LockKey(f, "$1::bigint") + ")",
                {Param::Int(h->position)}});
    if (r.status != RoundStatus::kOk) return FromSql(r, Status::kRecordInUse);
    return GetBool(r.results[0].get(), 0, 0) ? Status::kConflict : Status::kRecordInUse;
  }
  DropLocksOn(h, h->position);
  h->current = false;
  return Status::kOk;
}

}  // namespace

int16_t Dispatch(uint16_t op, void* pos_block, void* data, uint32_t* data_len, void* key,
                 uint8_t key_len, int8_t key_num, void* client_id) {
  if (engine_gone.load()) return mkde::Code(Status::kManagerInactive);
  return TheEngine().Dispatch(op, pos_block, data, data_len, key, key_len, key_num, client_id);
}

}  // namespace pgde

extern "C" {

int16_t BTRCALL(uint16_t op, void* pos_block, void* data_buf, uint32_t* data_len, void* key_buf,
                uint8_t key_len, int8_t key_num) {
  return pgde::Dispatch(op, pos_block, data_buf, data_len, key_buf, key_len, key_num, nullptr);
}

int16_t BTRCALLID(uint16_t op, void* pos_block, void* data_buf, uint32_t* data_len, void* key_buf,
                  uint8_t key_len, int8_t key_num, void* client_id) {
  return pgde::Dispatch(op, pos_block, data_buf, data_len, key_buf, key_len, key_num, client_id);
}

}  // extern "C"
