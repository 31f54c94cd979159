// Transactions: Begin (exclusive or concurrent), End and Abort. A transaction belongs to a
// client and spans every file it changes; each file's changes wait in an open LMDB write
// transaction, behind the file's write gate, until End commits them: one file by its own
// commit, several as one through redo files (redo.h).
#include "mkde/engine.h"
#include "mkde/include/wbtrv32.h"
#include "mkde/lmdb_util.h"
#include "mkde/registry.h"

namespace mkde {

int Engine::BeginTransaction(Call& call) {
  Client* client = call.client;
  if (client->in_transaction) return BTR_TRANSACTION_ACTIVE;
  client->in_transaction = true;
  client->concurrent = call.concurrent;
  return BTR_OK;
}

int Engine::FinishTransaction(Client* client, bool commit) {
  int first = BTR_OK;
  size_t changed = 0;
  for (FileWrite& w : client->writes) {
    if (commit && first == BTR_OK && w.counters_dirty) {
      first = StoreCounters(w.txn.get(), *w.file, w.counters);
      if (first == kStatusMapFull) first = BTR_DISK_FULL;
      std::string encoded = w.counters.Encode();
      w.changes.Put(ChangeLog::kMetaDb, Val(std::string_view(kMetaCounters)), Val(encoded));
    }
    if (!w.changes.empty()) ++changed;
  }
  if (commit && first == BTR_OK && changed > 1) {
    // Several files: committed as one through their redo files.
    first = CommitAcross(client->writes);
  } else {
    for (FileWrite& w : client->writes) {
      int status = BTR_OK;
      if (commit && first == BTR_OK && !w.changes.empty()) {
        bool retry = false;
        status = w.txn.Commit(w.accelerated, &retry, &w.changes.bytes());
        // A full map at commit time cannot be retried: the changes were not kept.
        if (retry) status = BTR_DISK_FULL;
      } else {
        w.txn.Abort();
      }
      if (first == BTR_OK) first = status;
    }
  }
  for (FileWrite& w : client->writes) {
    w.txn.Abort();  // already ended, but for a path that forgot it
    w.gate.Release();
    Registry::Get().Release(w.file);
  }
  client->writes.clear();
  DropTransactionLocks(client);
  client->in_transaction = false;
  client->concurrent = false;
  return first;
}

int Engine::EndTransaction(Call& call) {
  if (!call.client->in_transaction) return BTR_TRANSACTION_ERROR;
  return FinishTransaction(call.client, true);
}

int Engine::AbortTransaction(Call& call) {
  if (!call.client->in_transaction) return BTR_TRANSACTION_ERROR;
  return FinishTransaction(call.client, false);
}

}  // namespace mkde
