// Owner names: Set Owner and Clear Owner, and the owner check of Open. The name itself is
// never stored; the file keeps an owner record that checks it (mkde/crypto/README.md), and
// at levels 2 and 3 every record is sealed under the file's record key. Setting an
// encrypting owner writes a sealed copy of the file and renames it into place; clearing one
// opens every record in one write transaction. Either needs the file to itself throughout.
#include <cstring>

#include "mkde/engine.h"
#include "mkde/include/wbtrv32.h"
#include "mkde/lmdb_util.h"
#include "mkde/records.h"

namespace mkde {

namespace {

int CryptoToStatus(CryptoStatus s) {
  switch (s) {
    case CryptoStatus::kOk:
      return BTR_OK;
    case CryptoStatus::kBadName:
    case CryptoStatus::kNameMismatch:
      return BTR_INVALID_OWNER;
    case CryptoStatus::kBadLevel:
      return BTR_INVALID_KEY_NUMBER;
    case CryptoStatus::kNoMemory:
      return 101;
    default:
      return BTR_IO_ERROR;
  }
}

// Every sealed record opened and stored again plain, then the owner record removed.
int ClearAll(MDB_txn* txn, const FileEnv& file) {
  MDB_cursor* c;
  int rc = mdb_cursor_open(txn, file.records_db(), &c);
  if (rc != 0) return LmdbStatus(rc);
  MDB_val k, v;
  std::string plain, stored;
  int status = BTR_OK;
  for (rc = mdb_cursor_get(c, &k, &v, MDB_FIRST); file.encrypted() && rc == 0;
       rc = mdb_cursor_get(c, &k, &v, MDB_NEXT)) {
    uint32_t position = 0, change = 0;
    const uint8_t* body = nullptr;
    size_t size = 0;
    if (k.mv_size == 4) position = PositionFromKey(k.mv_data);
    // A record that is damaged or does not open is not rewritten blind.
    if (k.mv_size != 4 || !SplitStored(file, position, v, &change, &body, &size) ||
        OpenRecord(file.record_key(), position, body, size, &plain) != CryptoStatus::kOk) {
      status = BTR_IO_ERROR;
      break;
    }
    const size_t header = StoredHeaderSize(file);
    stored.assign(header, '\0');
    stored += plain;
    uint8_t* p = reinterpret_cast<uint8_t*>(stored.data());
    PutStoredHeader(file, position, change, p + header, plain.size(), p);
    // The key must not point into the page: a value of another size makes LMDB delete the
    // node and insert it again, which moves the page's bytes under a borrowed key.
    uint8_t key_bytes[4];
    std::memcpy(key_bytes, k.mv_data, sizeof key_bytes);
    MDB_val own_key{sizeof key_bytes, key_bytes};
    MDB_val nv = Val(stored);
    rc = mdb_cursor_put(c, &own_key, &nv, MDB_CURRENT);
    if (rc != 0) break;
  }
  mdb_cursor_close(c);
  if (status != BTR_OK) return status;
  if (rc != 0 && rc != MDB_NOTFOUND) return LmdbStatus(rc);
  MDB_val ok = Val(std::string_view(kMetaOwner));
  rc = mdb_del(txn, file.meta_db(), &ok, nullptr);
  return rc == MDB_NOTFOUND ? BTR_OK : LmdbStatus(rc);
}

}  // namespace

int Engine::CheckOwnerAtOpen(const Call& call, FileEnv* file, bool* read_only) {
  *read_only = false;
  if (!file->has_owner()) return BTR_OK;
  // The owner name: the data buffer up to its first NUL.
  size_t n = 0;
  while (n < call.data_len && call.data[n] != 0) ++n;
  std::string_view name(reinterpret_cast<const char*>(call.data), n);
  SecretKey key;
  CryptoStatus s = CheckOwner(file->owner(), name, &key);
  if (s == CryptoStatus::kNameMismatch) {
    if (!OwnerLevelReadsWithoutName(file->owner().level)) return BTR_INVALID_OWNER;
    *read_only = true;
    if (!file->encrypted()) return BTR_OK;
    s = ReadKeyWithoutName(file->owner(), &key);
  }
  if (s != CryptoStatus::kOk)
    return CryptoToStatus(s) == BTR_INVALID_OWNER ? BTR_IO_ERROR : CryptoToStatus(s);
  if (file->encrypted() && file->record_key().empty()) file->SetRecordKey(std::move(key));
  return BTR_OK;
}

int Engine::SetOwner(Call& call) {
  Handle* h = call.handle;
  FileEnv* file = h->file;
  if (call.client->in_transaction) return BTR_OPERATION_NOT_ALLOWED;
  if (!h->writable()) return BTR_ACCESS_DENIED;
  if (file->has_owner()) return BTR_OWNER_SET;
  if (call.key_num < 0 || call.key_num > kMaxOwnerLevel) return BTR_INVALID_KEY_NUMBER;
  const void* nul = call.key ? std::memchr(call.key, 0, call.key_len) : nullptr;
  if (!nul) return BTR_INVALID_OWNER;
  std::string_view name(reinterpret_cast<const char*>(call.key),
                        static_cast<const uint8_t*>(nul) - call.key);
  if (handles_.OfFile(file).size() > 1) return BTR_FILE_IN_USE;
  OwnerRecord record;
  SecretKey key;
  int status = CryptoToStatus(MakeOwner(name, call.key_num, &record, &key));
  if (status != BTR_OK) return status;
  std::string owner_value = EncodeOwner(record);
  status = file->BeginOwnerChange();
  if (status != BTR_OK) return status;
  if (!OwnerLevelEncrypts(record.level)) {
    status = RunWrite(
        h,
        [&](RecordWriter& w) {
          MDB_val k = Val(std::string_view(kMetaOwner)), v = Val(owner_value);
          return LmdbStatus(mdb_put(w.txn(), file->meta_db(), &k, &v, 0));
        },
        false);
    file->EndOwnerChange();
    if (status == BTR_OK) file->SetOwner(&record, SecretKey());
    return status;
  }
  // Sealed records go into a new file, put in place by one rename once it is whole and
  // synced: no plain record survives in free pages, and a crash leaves either file whole.
  GateHold gate;
  status = gate.Acquire(file, h->client);
  if (status == BTR_OK) {
    std::string plain;
    status = file->WriteCopy(
        file->rewrite_path(),
        [&](const MDB_val& k, const MDB_val& v, std::string* out) {
          uint32_t position = 0, change = 0;
          const uint8_t* body = nullptr;
          size_t size = 0;
          if (k.mv_size == 4) position = PositionFromKey(k.mv_data);
          std::string sealed;
          if (k.mv_size != 4 || !SplitStored(*file, position, v, &change, &body, &size) ||
              SealRecord(key, position, body, size, &sealed) != CryptoStatus::kOk) {
            return BTR_IO_ERROR;  // a damaged record is not sealed blind
          }
          const size_t header = StoredHeaderSize(*file);
          out->assign(header, '\0');
          *out += sealed;
          uint8_t* p = reinterpret_cast<uint8_t*>(out->data());
          PutStoredHeader(*file, position, change, p + header, sealed.size(), p);
          return BTR_OK;
        },
        &owner_value);
    if (status == BTR_OK) {
      Fs().Reached("owner-copied");
      status = file->Replace(file->rewrite_path());
    }
    gate.Release();
  }
  file->EndOwnerChange();
  if (status == BTR_OK) file->SetOwner(&record, std::move(key));
  return status;
}

int Engine::ClearOwner(Call& call) {
  Handle* h = call.handle;
  FileEnv* file = h->file;
  if (call.client->in_transaction) return BTR_OPERATION_NOT_ALLOWED;
  if (!h->writable()) return BTR_ACCESS_DENIED;
  if (!file->has_owner()) return BTR_OK;
  if (handles_.OfFile(file).size() > 1) return BTR_FILE_IN_USE;
  int status = file->BeginOwnerChange();
  if (status != BTR_OK) return status;
  // One write transaction opens every record and removes the owner record: the change is
  // whole or absent.
  status = RunWrite(
      h, [&](RecordWriter& w) { return ClearAll(w.txn(), *file); }, false);
  file->EndOwnerChange();
  if (status != BTR_OK) return status;
  file->SetOwner(nullptr, SecretKey());
  return BTR_OK;
}

}  // namespace mkde
