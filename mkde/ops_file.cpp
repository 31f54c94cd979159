// Opening, closing and creating files; statistics, version, Stop and Reset.
#include <cstring>

#include "mkde/engine.h"
#include "mkde/include/wbtrv32.h"
#include "mkde/lmdb_util.h"
#include "mkde/registry.h"

namespace mkde {

namespace {

// The path in the key buffer: NUL-terminated within the key length.
bool PathFromKey(const Call& call, std::string* path) {
  if (!call.key) return false;
  const void* nul = std::memchr(call.key, 0, call.key_len);
  if (!nul) return false;
  path->assign(reinterpret_cast<const char*>(call.key),
               static_cast<const uint8_t*>(nul) - call.key);
  return !path->empty();
}

// Hands a reason text to the caller in the data buffer, NUL-terminated, as far as it goes.
void ReturnReason(const Call& call, const std::string& reason) {
  if (reason.empty() || call.data_len == 0) return;
  size_t n = std::min<size_t>(reason.size(), call.data_len - 1);
  std::memcpy(call.data, reason.data(), n);
  call.data[n] = 0;
  call.ReturnLength(static_cast<uint32_t>(n + 1));
}

}  // namespace

int Engine::Open(Call& call) {
  if (!call.pos_block) return BTR_POS_BLOCK_LENGTH;
  OpenMode mode;
  switch (call.key_num) {
    case 0:
    case -32:
    case -64:
      mode = OpenMode::kNormal;
      break;
    case -1:
      mode = OpenMode::kAccelerated;
      break;
    case -2:
      mode = OpenMode::kReadOnly;
      break;
    case -3:
      mode = OpenMode::kVerify;
      break;
    case -4:
      mode = OpenMode::kExclusive;
      break;
    default:
      return BTR_INVALID_FUNCTION;
  }
  std::string path;
  if (!PathFromKey(call, &path)) return BTR_INVALID_FILE_NAME;
  FileEnv* file = nullptr;
  std::string reason;
  Registry& registry = Registry::Get();
  int status = registry.Open(path, mode != OpenMode::kReadOnly, &file, &reason);
  if (status != BTR_OK) {
    ReturnReason(call, reason);
    return status;
  }
  // An exclusive open keeps every other client out, and needs the file to itself.
  bool others = false;
  for (Handle* h : handles_.OfFile(file)) {
    if (h->client != call.client) others = true;
  }
  if (file->exclusive_owner && file->exclusive_owner != call.client) status = BTR_INCOMPATIBLE_MODE;
  // Another client's exclusive transaction holds the whole file until it ends.
  Client* holder = file->gate_owner();
  if (status == BTR_OK && holder && holder != call.client && holder->in_transaction &&
      !holder->concurrent) {
    status = BTR_FILE_IN_USE;
  }
  if (status == BTR_OK && mode == OpenMode::kExclusive) {
    if (others) {
      status = BTR_INCOMPATIBLE_MODE;
    } else {
      status = file->HoldOpen(true);
      if (status == BTR_OK) file->exclusive_owner = call.client;
    }
  }
  bool owner_read_only = false;
  if (status == BTR_OK) status = CheckOwnerAtOpen(call, file, &owner_read_only);
  ++file->open_count;
  if (status != BTR_OK) {
    if (mode == OpenMode::kExclusive && file->exclusive_owner == call.client && !others) {
      file->exclusive_owner = nullptr;
      file->HoldOpen(false);
    }
    registry.Release(file);
    return status;
  }
  Handle* handle = handles_.Create(file, call.client);
  handle->mode = mode;
  handle->owner_read_only = owner_read_only;
  handles_.WriteBlock(*handle, call.pos_block);
  return BTR_OK;
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
      file->HoldOpen(false);
    }
  }
  handles_.Destroy(handle);
  Registry::Get().Release(file);
}

int Engine::Close(Call& call) {
  std::memset(call.pos_block, 0, BTR_POS_BLOCK_SIZE);
  CloseHandle(call.handle);
  return BTR_OK;
}

int Engine::StopClient(Call& call) {
  FinishTransaction(call.client, false);
  for (Handle* h : handles_.OfClient(call.client)) CloseHandle(h);
  return BTR_OK;
}

int Engine::Create(Call& call) {
  std::string path;
  if (!PathFromKey(call, &path)) return BTR_INVALID_FILE_NAME;
  FileSpec spec;
  int status = ParseCreateBuffer(call.data, call.data_len, &spec);
  if (status != BTR_OK) return status;
  std::string reason;
  status = Registry::Get().Create(path, spec, call.key_num != -1, &reason);
  if (status != BTR_OK) ReturnReason(call, reason);
  return status;
}

int Engine::Stat(Call& call) {
  FileEnv* file = call.handle->file;
  int held = HoldForRead(call.handle);
  if (held != BTR_OK) return held;
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
  if (n == 0) return BTR_DATA_LENGTH;
  call.ReturnLength(static_cast<uint32_t>(n));
  return BTR_OK;
}

int Engine::Version(Call& call) {
  if (call.data_len < 5) return BTR_DATA_LENGTH;
  // The engine's own version: 1.0, on Linux.
  const uint8_t reply[5] = {1, 0, 0, 0, 'L'};
  std::memcpy(call.data, reply, sizeof reply);
  call.ReturnLength(sizeof reply);
  return BTR_OK;
}

}  // namespace mkde
