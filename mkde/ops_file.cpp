// Opening, closing and creating files; statistics, version, Stop and Reset.
#include <cstring>

#include "enginecore/include/wbtrv32.h"
#include "mkde/engine.h"
#include "mkde/file_space.h"
#include "mkde/lmdb_util.h"
#include "mkde/registry.h"

namespace mkde {

namespace {

// Hands a reason text to the caller in the data buffer, NUL-terminated, as far as it goes.
void ReturnReason(const Call& call, const std::string& reason) {
  if (reason.empty() || call.data_len == 0) return;
  size_t n = std::min<size_t>(reason.size(), call.data_len - 1);
  std::memcpy(call.data, reason.data(), n);
  call.data[n] = 0;
  call.ReturnLength(static_cast<uint32_t>(n + 1));
}

}  // namespace

Result Engine::Open(Call& call) {
  if (!call.pos_block) return Status::kPosBlockLength;
  OpenMode mode;
  if (!core::OpenModeFrom(call.key_num, &mode)) return Status::kInvalidFunction;
  std::string path;
  if (!core::PathFromKey(call, &path)) return Status::kInvalidFileName;
  FileEnv* file = nullptr;
  std::string reason;
  Registry& registry = Registry::Get();
  Result status = registry.Open(path, mode != OpenMode::kReadOnly, &file, &reason);
  if (status != Status::kOk) {
    ReturnReason(call, reason);
    return status;
  }
  // An exclusive open keeps every other client out, and needs the file to itself.
  bool others = false;
  for (Handle* h : handles_.OfFile(file)) {
    if (h->client != call.client) others = true;
  }
  if (file->exclusive_owner && file->exclusive_owner != call.client)
    status = Status::kIncompatibleMode;
  // Another client's exclusive transaction holds the whole file until it ends.
  Client* holder = file->gate_owner();
  if (status == Status::kOk && holder && holder != call.client && holder->in_transaction &&
      !holder->concurrent) {
    status = Status::kFileInUse;
  }
  if (status == Status::kOk && mode == OpenMode::kExclusive) {
    if (others) {
      status = Status::kIncompatibleMode;
    } else {
      status = file->HoldOpen(true);
      if (status == Status::kOk) file->exclusive_owner = call.client;
    }
  }
  bool owner_read_only = false;
  if (status == Status::kOk) status = CheckOwnerAtOpen(call, file, &owner_read_only);
  ++file->open_count;
  if (status != Status::kOk) {
    if (mode == OpenMode::kExclusive && file->exclusive_owner == call.client && !others) {
      file->exclusive_owner = nullptr;
      file->ShareOpen();
    }
    registry.Release(file);
    return status;
  }
  Handle* handle = handles_.Create(file, call.client);
  handle->mode = mode;
  handle->owner_read_only = owner_read_only;
  handles_.WriteBlock(*handle, call.pos_block);
  return Status::kOk;
}

void Engine::CloseHandle(Handle* handle) {
  FileEnv* file = handle->file;
  if (handle->mode == OpenMode::kExclusive && file->exclusive_owner == handle->client) {
    bool still = false;
    for (Handle* h : handles_.OfFile(file)) {
      if (h != handle && h->mode == OpenMode::kExclusive) still = true;
    }
    if (!still) {
      file->exclusive_owner = nullptr;
      file->ShareOpen();
    }
  }
  handles_.Destroy(handle);
  Registry::Get().Release(file);
}

Status Engine::Close(Call& call) {
  std::memset(call.pos_block, 0, BTR_POS_BLOCK_SIZE);
  CloseHandle(call.handle);
  return Status::kOk;
}

Status Engine::StopClient(Call& call) {
  DropTransaction(call.client);
  for (Handle* h : handles_.OfClient(call.client)) CloseHandle(h);
  return Status::kOk;
}

Status Engine::Create(Call& call) {
  std::string path;
  if (!core::PathFromKey(call, &path)) return Status::kInvalidFileName;
  FileSpec spec;
  Status status = ParseCreateBuffer(call.data, call.data_len, &spec);
  if (status != Status::kOk) return status;
  std::string reason;
  status = Registry::Get().Create(path, spec, call.key_num != -1, &reason);
  if (status != Status::kOk) ReturnReason(call, reason);
  return status;
}

Result Engine::Stat(Call& call) {
  FileEnv* file = call.handle->file;
  Result held = HoldForRead(call.handle);
  if (held != Status::kOk) return held;
  if (call.key_num == -1) {
    // The storage form: how the file uses its space.
    if (call.data_len < kFileSpaceReply) return Status::kDataLength;
    FileSpace space;
    Status status = ReadFileSpace(file, &space);
    if (status != Status::kOk) return status;
    PutFileSpace(space, call.data);
    call.ReturnLength(kFileSpaceReply);
    return Status::kOk;
  }
  ReadScope scope(file, call.client);
  int rc = scope.Begin();
  if (rc != 0) return LmdbStatus(rc);
  MDB_txn* txn = scope.txn();
  MDB_stat st;
  rc = mdb_stat(txn, file->records_db(), &st);
  std::vector<uint32_t> unique(file->key_count(), 0);
  const FileWrite* batch = call.client->Write(file);
  if (rc == 0 && batch && batch->counters_loaded) {
    unique = batch->counters.unique_values;  // the transaction's own, not stored yet
  } else if (rc == 0) {
    MDB_val k = Val(std::string_view(kMetaCounters)), v;
    rc = mdb_get(txn, file->meta_db(), &k, &v);
    Counters counters;
    if (rc == 0 && !counters.Decode(v.mv_data, v.mv_size, file->key_count())) rc = MDB_CORRUPTED;
    if (rc == 0) unique = counters.unique_values;
  }
  if (rc != 0) return LmdbStatus(rc);
  uint32_t count = st.ms_entries > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(st.ms_entries);
  size_t n = BuildStatReply(file->spec(), count, unique, call.data, call.data_len);
  if (n == 0) return Status::kDataLength;
  call.ReturnLength(static_cast<uint32_t>(n));
  return Status::kOk;
}

Status Engine::Version(Call& call) { return core::VersionReply(call); }

}  // namespace mkde
