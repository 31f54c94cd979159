// Transactions: Begin (exclusive or concurrent), End and Abort. A transaction belongs to a
// client and spans every file it changes; each file's changes wait in an open LMDB write
// transaction, behind the file's write gate, until End commits them: one file by its own
// commit, several durable files as one through linked entries in their logs (linked_log.h),
// several with an accelerated one among them through redo files (redo.h).
#include <algorithm>

#include "enginecore/include/wbtrv32.h"
#include "mkde/engine.h"
#include "mkde/linked_log.h"
#include "mkde/lmdb_util.h"
#include "mkde/redo.h"
#include "mkde/registry.h"

namespace mkde {

Status Engine::BeginTransaction(Call& call) {
  Client* client = call.client;
  if (client->in_transaction) return Status::kTransactionActive;
  client->in_transaction = true;
  client->concurrent = call.concurrent;
  return Status::kOk;
}

Status Engine::CommitTransaction(Client* client) {
  Status first = Status::kOk;
  size_t changed = 0;
  for (FileWrite& w : client->writes) {
    if (first == Status::kOk && w.counters_dirty) {
      first = StoreCounters(w.txn.get(), *w.file, w.counters).Settle();
      std::string encoded = w.counters.Encode();
      w.changes.Put(ChangeLog::kMetaDb, Val(std::string_view(kMetaCounters)), Val(encoded));
    }
    if (!w.changes.empty()) ++changed;
  }
  const bool linked =
      kLinkedCommits &&
      std::all_of(client->writes.begin(), client->writes.end(),
                  [](const FileWrite& w) { return !w.accelerated && w.file->LinkedCommits(); });
  if (first == Status::kOk && changed > 1 && linked) {
    // Several durable files: committed as one through linked entries in their logs.
    first = CommitLinkedAcross(client->writes);
  } else if (first == Status::kOk && changed > 1) {
    // Several files: committed as one through their redo files.
    first = CommitAcross(client->writes);
  } else {
    for (FileWrite& w : client->writes) {
      Status status = Status::kOk;
      if (first == Status::kOk && !w.changes.empty()) {
        bool retry = false;
        status = w.txn.Commit(w.accelerated, &retry, &w.changes.bytes());
        // A full map at commit time cannot be retried: the changes were not kept.
        if (retry) status = Status::kDiskFull;
      } else {
        w.txn.Abort();
      }
      if (first == Status::kOk) first = status;
    }
  }
  DropTransaction(client);
  return first;
}

void Engine::DropTransaction(Client* client) {
  for (FileWrite& w : client->writes) {
    w.txn.Abort();  // already ended, but for a path that forgot it
    w.gate.Release();
    Registry::Get().Release(w.file);
  }
  client->writes.clear();
  DropTransactionLocks(client);
  client->in_transaction = false;
  client->concurrent = false;
}

Status Engine::EndTransaction(Call& call) {
  if (!call.client->in_transaction) return Status::kTransactionError;
  return CommitTransaction(call.client);
}

Status Engine::AbortTransaction(Call& call) {
  if (!call.client->in_transaction) return Status::kTransactionError;
  DropTransaction(call.client);
  return Status::kOk;
}

}  // namespace mkde
