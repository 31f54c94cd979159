// Transactions: Begin (exclusive or concurrent), End and Abort.
#include "pgde/engine.h"

namespace pgde {

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

}  // namespace pgde
