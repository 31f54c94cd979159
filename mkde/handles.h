// Clients, open-file handles and the position blocks that name them: what the embedded
// engine keeps of each, in the tables and blocks both engines share (enginecore/blocks.h).
#pragma once

#include <lmdb.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "enginecore/blocks.h"
#include "enginecore/call.h"
#include "enginecore/currency.h"
#include "mkde/change_log.h"
#include "mkde/file_env.h"

namespace mkde {

using core::ClientId;
using core::OpenMode;

// A client's open transaction: one LMDB write transaction per file it changed, each file's
// write gate held until End or Abort.
struct FileWrite {
  FileEnv* file = nullptr;
  GateHold gate;             // the file's write gate, from the first write to End or Abort
  WriteTransaction txn;      // declared after the gate: aborted before the gate goes
  bool accelerated = false;  // the commit at End syncs the data pages only
  // The file's counters as the transaction's calls leave them: read by its first write,
  // kept here rather than stored by every call, and stored once before the commit at End
  // (counters_dirty). `working` is a call's scratch copy, so that a refused call changes
  // nothing.
  Counters counters;
  Counters working;
  bool counters_loaded = false;
  bool counters_dirty = false;
  // Every change the transaction made to the file, for the redo file of a commit that spans
  // several files.
  ChangeLog changes;
};

struct Client {
  ClientId id{};
  uint32_t serial = 0;  // distinct for every client of the process
  bool in_transaction = false;
  bool concurrent = false;
  std::vector<FileWrite> writes;  // in the order the transaction first changed them

  // The transaction's write transaction on `file`, or nullptr.
  MDB_txn* WriteTxn(const FileEnv* file) const {
    const FileWrite* w = Write(file);
    return w ? w->txn.get() : nullptr;
  }
  FileWrite* Write(const FileEnv* file) {
    for (FileWrite& w : writes) {
      if (w.file == file) return &w;
    }
    return nullptr;
  }
  const FileWrite* Write(const FileEnv* file) const {
    for (const FileWrite& w : writes) {
      if (w.file == file) return &w;
    }
    return nullptr;
  }
};

// One open of a file through one position block, with its currency. Its index entry is the
// encoded key, plus the position for keys with duplicates; Next and Previous seek from it
// in a fresh snapshot.
struct Handle : core::Currency<uint32_t> {
  uint32_t slot = 0;
  uint64_t generation = 0;
  uint8_t check[16] = {};  // the keyed check value its blocks carry, computed once
  FileEnv* file = nullptr;
  Client* client = nullptr;
  OpenMode mode = OpenMode::kNormal;

  // Record locks: byte-range locks on the file's gate file through this block's own
  // descriptor, so that they belong to the block, conflict with every other block in any
  // process, and vanish with the process.
  int lock_fd = -1;
  bool single_locked = false;
  uint32_t single_position = 0;
  std::vector<uint32_t> multiple;  // positions under multiple-record locks
  // The locks this block took inside its client's transaction (position, single), let go
  // at End or Abort.
  std::vector<std::pair<uint32_t, bool>> locked_in_transaction;

  // Opened without the owner name of a file that allows reading without it.
  bool owner_read_only = false;

  bool writable() const { return mode != OpenMode::kReadOnly && !owner_read_only; }
  bool accelerated() const { return mode == OpenMode::kAccelerated; }
};

class HandleTable {
 public:
  // The client for a BTRCALLID block (nullptr: the default client). Created on first use.
  Client* ClientFor(const void* id) { return clients_.For(id); }
  Client* DefaultClient() { return &clients_.default_client(); }
  Handle* Create(FileEnv* file, Client* client);
  void Destroy(Handle* handle);
  // Writes the block that names the handle (128 bytes).
  void WriteBlock(const Handle& handle, void* block) const { slots_.WriteBlock(handle, block); }
  // The handle a block names for this client, or nullptr when the block does not check out.
  Handle* Find(const void* block, const Client* client) const { return slots_.Find(block, client); }
  // Every handle of a client, or of a file.
  std::vector<Handle*> OfClient(const Client* client) const { return slots_.OfClient(client); }
  std::vector<Handle*> OfFile(const FileEnv* file) const {
    return slots_.Where([&](const Handle& h) { return h.file == file; });
  }
  // In a child after fork(): nothing of the parent's may be used; forget it all and draw a
  // new secret, so that every block the parent handed out answers 3.
  void ForgetAfterFork();

 private:
  core::HandleSlots<Handle, Client> slots_;
  core::ClientList<Client> clients_;
};

}  // namespace mkde
