// The PostgreSQL engine behind BTRCALL and BTRCALLID: the same operations and statuses as
// the embedded engine, with record files kept in a PostgreSQL database.
//
// Storage. A catalog table, vastrel_files, holds one row per record file: the file's name
// (bytes, as the caller gave them), its stored description (enginecore/codec) and its owner
// record (enginecore/crypto), never the owner name. Each file has a table vastrel_r<id> named
// after its catalog id, never after its name: pos (the record's position, from the
// sequence vastrel_s<id>, never reused), chg (the change counter that passive concurrency
// checks), rec (the record; sealed in the library at owner levels 2 and 3) and one column
// k<n> per key holding the key's order-preserving encoding (NULL for a null key the index
// leaves out), indexed on (k<n>, pos) so that duplicates keep insertion order.
//
// Clients. Each client (the process's default one, and one per BTRCALLID block) has its
// own connection: its transaction is a server transaction; record locks are session
// advisory locks on (file id << 32 | position), so they vanish with the connection; an open
// holds a shared advisory lock on (0, file id), an exclusive open the exclusive one.
//
// One instance per process; every call runs under one lock.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "enginecore/blocks.h"
#include "enginecore/call.h"
#include "enginecore/codec/filespec.h"
#include "enginecore/crypto/owner.h"
#include "enginecore/currency.h"
#include "enginecore/run.h"
#include "enginecore/status.h"
#include "pgde/session.h"

namespace pgde {

using mkde::FileSpec;
using mkde::KeyDef;
using mkde::Status;
using mkde::core::OpenMode;

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

// One open of a file through one position block, with its currency.
struct Handle : mkde::core::Currency<int64_t> {
  uint32_t slot = 0;
  uint64_t generation = 0;
  uint8_t check[16] = {};
  std::shared_ptr<File> file;
  Client* client = nullptr;
  OpenMode mode = OpenMode::kNormal;
  bool owner_read_only = false;
  // Beside the entry (the encoded key): the position it stands at among duplicates.
  int64_t entry_pos = 0;
  // The current record, as read.
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
};

// One call: its arguments, and the client and handle they name.
struct Call : mkde::core::CallArgs {
  Client* client = nullptr;
  Handle* handle = nullptr;
};

// The status a failed statement becomes. `busy`: what a lock wait that ran out means for
// this statement (84 for a record, 85 for a file).
Status FromSql(const RoundResult& r, Status busy);

std::string Num(int64_t v);
// The key's column, k<n>.
std::string Col(int k);

// The advisory key of a record lock, as SQL over the file's id and the record's position (SQL
// expressions of them): the id in the upper 32 bits, the position in the lower. Every
// statement that takes, waits for or lets go of a record lock computes the key here; ids
// (kMaxFileId) and positions (kMaxPosition) stay within their halves, so that no two records
// share a key.
std::string LockKey(const std::string& id, const std::string& pos);
std::string LockKey(const File& f, const std::string& pos);
// Lets go of the session's record lock on `pos`.
Statement UnlockRecord(const File& f, int64_t pos);
// A fresh position from the file's sequence, as SQL: NULL once the file is full, which the
// table's NOT NULL position refuses (23502) before a row is written.
std::string DrawPosition(const File& f);

// A record between its plain and its stored form: opened or sealed at owner levels that
// encrypt, a copy otherwise. kOk or 2.
Status DecodeStored(const File& f, int64_t pos, const std::string& stored, std::string* plain);
Status SealForStore(const File& f, int64_t pos, const std::string& plain, std::string* stored);

// The engine: every call runs under its one lock. The operations' definitions are spread
// over one file per concern: engine.cpp (calls, clients, handles), locks.cpp, ops_file.cpp,
// ops_owner.cpp, ops_txn.cpp, ops_read.cpp and ops_write.cpp.
class Engine {
 public:
  Engine();
  ~Engine();

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
  // The status of a write of the record at `pos` that found no row at the change counter it
  // read: 84 when another session holds the record's lock, else 80 (changed since it was read).
  Status WriteMissed(Client* c, const File& f, int64_t pos);
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

// The engine of the process, behind both entry points.
int16_t Dispatch(uint16_t op, void* pos_block, void* data, uint32_t* data_len, void* key,
                 uint8_t key_len, int8_t key_num, void* client_id);

}  // namespace pgde
