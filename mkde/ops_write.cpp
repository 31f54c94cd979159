// Writes: Insert, Update, Delete and Update Chunk, each one transaction behind the file's
// write gate, committed and synced before the call returns (in accelerated mode the data
// pages only: see FileEnv::CommitWrite).
#include <cstring>

#include "enginecore/include/wbtrv32.h"
#include "mkde/engine.h"
#include "mkde/lmdb_util.h"
#include "mkde/redo.h"

namespace mkde {

namespace {

constexpr int kWriteAttempts = 4;

}  // namespace

Result Engine::JoinTransaction(Handle* handle, MDB_txn** out) {
  FileEnv* file = handle->file;
  Client* client = handle->client;
  MDB_txn* txn = client->WriteTxn(file);
  if (!txn) {
    FileWrite w;
    Result status = w.gate.Acquire(file, client);
    if (status != Status::kOk) return status;
    status = w.txn.Begin(file);
    if (status != Status::kOk) return status;
    ++file->open_count;  // the file stays open until the transaction ends
    w.file = file;
    txn = w.txn.get();
    w.accelerated = handle->accelerated();
    client->writes.push_back(std::move(w));
  }
  *out = txn;
  return Status::kOk;
}

Result Engine::HoldForRead(Handle* handle) {
  Client* client = handle->client;
  if (!client->in_transaction || client->concurrent || client->WriteTxn(handle->file) ||
      handle->file->read_only_storage()) {
    return Status::kOk;
  }
  // An exclusive transaction takes each file it reads as it takes a file it writes: its
  // write gate, held to End or Abort, and one write transaction whose snapshot every read
  // of the transaction then sees, so that no other client commits between its reads.
  MDB_txn* txn = nullptr;
  return JoinTransaction(handle, &txn);
}

Result Engine::RunWrite(Handle* handle, const std::function<Result(RecordWriter&)>& change,
                        bool logged) {
  FileEnv* file = handle->file;
  if (!handle->writable()) return Status::kAccessDenied;
  Client* client = handle->client;
  if (client->in_transaction) {
    // Inside a transaction the file's write transaction stays open until End or Abort, and
    // each call writes into it directly: a refused call has written nothing (RecordWriter
    // checks before it writes), and a call that fails once it has written ends the whole
    // transaction, so that no part of a call is ever committed.
    MDB_txn* txn = nullptr;
    Result status = JoinTransaction(handle, &txn);
    if (status != Status::kOk) return status;
    FileWrite* batch = client->Write(file);
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
      const size_t before = batch->changes.bytes().size();
      RecordWriter writer(file, batch->txn.get(), batch);
      status = writer.Begin();
      if (status == Status::kOk) status = change(writer);
      if (status == Status::kOk) status = writer.Finish();
      if (status != Retry::kMapFull) {
        if (status != Status::kOk && writer.wrote()) DropTransaction(client);
        return status;
      }
      // The map is full: the map may only move with no transaction open, so the
      // transaction's write transaction is dropped, the map grown, and the transaction's
      // changes before this call written again into a new one; then the call runs again.
      batch->changes.Truncate(before);
      status = RedoInGrownMap(batch);
      if (status != Status::kOk) {
        DropTransaction(client);
        return status;
      }
    }
    DropTransaction(client);
    return Status::kDiskFull;
  }
  GateHold gate;
  Result status = gate.Acquire(file, handle->client);
  if (status != Status::kOk) return status;
  for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
    WriteTransaction txn;
    status = txn.Begin(file);
    if (status != Status::kOk) break;
    // The changes are kept only for a commit that may go through the commit log.
    ChangeLog changes;
    const bool log = logged && !handle->accelerated();
    RecordWriter writer(file, txn.get(), nullptr, log ? &changes : nullptr);
    status = writer.Begin();
    if (status == Status::kOk) status = change(writer);
    if (status == Status::kOk) status = writer.Finish();
    if (status != Status::kOk) {
      txn.Abort();
      if (status != Retry::kMapFull) break;
      // The change did not fit: nothing of it was kept. Grow and run it again.
      status = file->GrowMap(size_t{16} << 20);
      if (status != Status::kOk) break;
      status = Status::kDiskFull;
      continue;
    }
    bool retry = false;
    status = txn.Commit(handle->accelerated(), &retry, log ? &changes.bytes() : nullptr);
    if (!retry) break;
    status = Status::kDiskFull;
  }
  gate.Release();
  return status == Retry::kMapFull ? Status::kDiskFull : status;
}

Result Engine::RedoInGrownMap(FileWrite* batch) {
  FileEnv* file = batch->file;
  const std::string& changes = batch->changes.bytes();
  Result status = Status::kDiskFull;
  for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
    batch->txn.Abort();
    status = file->GrowMap(changes.size() * 2 + (size_t{16} << 20));
    if (status == Status::kOk) status = batch->txn.Begin(file);
    if (status == Status::kOk) status = ApplyChanges(file, batch->txn.get(), changes);
    if (status != Retry::kMapFull) return status;
    status = Status::kDiskFull;
  }
  return status;
}

Status Engine::VerifyRecord(Handle* handle, uint32_t position, const std::string& record) {
  if (handle->mode != OpenMode::kVerify) return Status::kOk;
  ReadScope scope(handle->file, handle->client);
  int rc = scope.Begin();
  if (rc != 0) return LmdbStatus(rc);
  StoredRecord stored;
  rc = ReadRecord(scope.txn(), *handle->file, position, &stored);
  bool same = rc == 0 && stored.size == record.size() &&
              std::memcmp(stored.bytes, record.data(), record.size()) == 0;
  return same ? Status::kOk : Status::kIoError;
}

void Engine::PlaceAfterWrite(Handle* h, int key, const std::string& record, uint32_t position,
                             uint32_t change) {
  if (key >= 0) {
    bool null = false;
    IndexEntryInto(h->file->spec().keys[key], reinterpret_cast<const uint8_t*>(record.data()),
                   record.size(), position, &null, &h->entry);
  }
  h->Place(key, position, change, false);
}

Result Engine::Insert(Call& call) {
  Handle* h = call.handle;
  const FileSpec& spec = h->file->spec();
  int k = -1;
  Result status = core::InsertKey(call, spec, &k);
  if (status != Status::kOk) return status;
  if (!h->writable()) return Status::kAccessDenied;
  size_t length = 0;
  status = core::RecordLength(call, spec, &length);
  if (status != Status::kOk) return status;
  std::string record;
  uint32_t position = 0;
  status = RunWrite(h, [&](RecordWriter& w) {
    // Taken from the caller's buffer, which stays as it is until the write is done (again
    // on a retry: an insert may have changed the copy).
    record.assign(reinterpret_cast<const char*>(call.data), length);
    return w.Insert(&record, &position);
  });
  if (status != Status::kOk) return status;
  status = VerifyRecord(h, position, record);
  // Assigned autoincrement values go back to the caller in its record.
  std::memcpy(call.data, record.data(), std::min<size_t>(record.size(), call.data_len));
  if (k >= 0) {
    KeyValueInto(spec.keys[k], reinterpret_cast<const uint8_t*>(record.data()), record.size(),
                 call.key);
  }
  PlaceAfterWrite(h, k, record, position, 0);
  return status;
}

Result Engine::Update(Call& call) {
  Handle* h = call.handle;
  const FileSpec& spec = h->file->spec();
  int k = -1;
  Result status = core::UpdateKey(call, spec, h->key, h->current && !h->key_only, &k);
  if (status != Status::kOk) return status;
  if (!h->writable()) return Status::kAccessDenied;
  std::string sent;
  status = core::RecordFromCaller(call, spec, &sent);
  if (status == Status::kOk) status = CheckNotLocked(h, h->position);
  if (status != Status::kOk) return status;
  std::string record;
  uint32_t change = 0;
  status = RunWrite(h, [&](RecordWriter& w) {
    return w.Update(
        h->position, h->change,
        [&](std::string* r) {
          *r = sent;
          return Status::kOk;
        },
        &record, &change);
  });
  if (status != Status::kOk) return status;
  DropSingleLock(h);
  status = VerifyRecord(h, h->position, record);
  if (k >= 0) {
    std::string value =
        ExtractValue(spec.keys[k], reinterpret_cast<const uint8_t*>(record.data()), record.size());
    std::memcpy(call.key, value.data(), value.size());
  }
  PlaceAfterWrite(h, k, record, h->position, change);
  return status;
}

Result Engine::Delete(Call& call) {
  Handle* h = call.handle;
  if (!h->current || h->key_only) return Status::kPositionNotSet;
  if (!h->writable()) return Status::kAccessDenied;
  Result status = CheckNotLocked(h, h->position);
  if (status != Status::kOk) return status;
  status = RunWrite(h, [&](RecordWriter& w) { return w.Delete(h->position, h->change); });
  if (status != Status::kOk) return status;
  DropLocksOn(h, h->position);
  // The place stays where the record stood: Next, Previous and Step Next go on from there.
  h->current = false;
  return Status::kOk;
}

Result Engine::UpdateChunk(Call& call) {
  Handle* h = call.handle;
  const FileSpec& spec = h->file->spec();
  std::vector<core::Chunk> chunks;
  Result status = core::ParseChunks(call, &chunks);
  if (status != Status::kOk) return status;
  const size_t count = chunks.size();
  if (!h->current || h->key_only) return Status::kPositionNotSet;
  if (!h->writable()) return Status::kAccessDenied;
  // With the direct form the bytes may lie anywhere in the caller's memory, so they are
  // copied once, before the transaction, and a retry uses the copies.
  std::vector<std::string> data(count);
  for (size_t i = 0; i < count; ++i) {
    data[i].assign(reinterpret_cast<const char*>(chunks[i].bytes), chunks[i].length);
  }
  status = CheckNotLocked(h, h->position);
  if (status != Status::kOk) return status;
  std::string record;
  uint32_t change = 0;
  status = RunWrite(h, [&](RecordWriter& w) {
    return w.Update(
        h->position, h->change,
        [&](std::string* r) {
          for (size_t i = 0; i < count; ++i) {
            Status applied = core::ApplyChunk(spec, chunks[i].offset, data[i], r);
            if (applied != Status::kOk) return applied;
          }
          return Status::kOk;
        },
        &record, &change);
  });
  if (status != Status::kOk) return status;
  status = VerifyRecord(h, h->position, record);
  PlaceAfterWrite(h, h->key, record, h->position, change);
  return status;
}

}  // namespace mkde
