// Record locks (advisory locks of the client's session), and the files an exclusive
// transaction holds against other writers.
#include "pgde/engine.h"

#include <algorithm>

namespace pgde {

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

Status Engine::HoldFile(Handle* h, std::vector<Statement>* round) {
  Client* c = h->client;
  if (!c->in_transaction || c->concurrent) return Status::kOk;
  if (std::find(c->held.begin(), c->held.end(), h->file->id) != c->held.end()) return Status::kOk;
  if (FileHeldByOther(c, h->file->id)) return Status::kFileInUse;
  round->push_back({"", "LOCK TABLE " + h->file->table + " IN SHARE ROW EXCLUSIVE MODE", {}});
  return Status::kOk;
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

}  // namespace pgde
