#include "pgde/engine.h"

#include <unistd.h>

#include <atomic>
#include <new>
#include <thread>

#include "enginecore/include/wbtrv32.h"

namespace pgde {

namespace {

// Set once the engine is being destroyed (library unload or process exit); a call after that
// answers 20 (the record manager is inactive) instead of touching a destroyed engine.
std::atomic<bool> engine_gone{false};

Engine& TheEngine() {
  static Engine engine;
  return engine;
}

}  // namespace

Engine::Engine() { pid_ = ::getpid(); }

Engine::~Engine() {
  engine_gone.store(true);
  std::lock_guard<std::mutex> guard(mutex_);
  // A child of a fork that ends by exit() must not close its parent's connections.
  if (::getpid() != pid_) ForgetAfterFork();
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