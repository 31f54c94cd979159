#include "mkde/handles.h"

#include "mkde/fs.h"
#include "mkde/waits.h"

namespace mkde {

void HandleTable::ForgetAfterFork() {
  // The parent's handles and their files are let go. Their lock descriptors are closed:
  // the record locks stay with the parent's open file descriptions, and a copy kept here
  // would keep them alive after the parent ends.
  slots_.ForgetAfterFork([](std::unique_ptr<Handle>& h) {
    if (h->lock_fd >= 0) Fs().Close(h->lock_fd);
    (void)h.release();
  });
  clients_.ForgetAfterFork([](std::unique_ptr<Client>& c) { (void)c.release(); });
  // The default client starts without the parent's transaction: its write transactions
  // belong to the parent's environments and are never touched here.
  Client& d = clients_.default_client();
  d.in_transaction = false;
  d.concurrent = false;
  for (FileWrite& w : d.writes) {
    w.txn.Forget();
    w.gate.Forget();
  }
  d.writes.clear();
}

Handle* HandleTable::Create(FileEnv* file, Client* client) {
  Handle* handle = slots_.Create(client);
  handle->file = file;
  return handle;
}

void HandleTable::Destroy(Handle* handle) {
  if (handle->lock_fd >= 0) {
    Fs().Close(handle->lock_fd);  // drops every lock of the block
    if (handle->single_locked || !handle->multiple.empty()) Waits::Get().Released();
  }
  slots_.Destroy(handle);
}

}  // namespace mkde
