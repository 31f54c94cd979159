// Owner names: Set Owner and Clear Owner, and the owner check of Open. The name itself is
// never stored; the file keeps an owner record that checks it (mkde/crypto/README.md), and
// at levels 2 and 3 every record is sealed under the file's record key. Setting or
// clearing an owner rewrites every record and the owner record in one write transaction.
#include <cstring>

#include "mkde/engine.h"
#include "mkde/include/wbtrv32.h"
#include "mkde/lmdb_util.h"

namespace mkde {

namespace {

constexpr size_t kChangeSize = 4;

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

// Every record opened with the file's present state and stored again sealed under
// `new_key` (nullptr: plain); then the owner record written (or removed when nullptr).
int RewriteAll(MDB_txn* txn, const FileEnv& file, const SecretKey* new_key,
               const std::string* owner_value) {
  MDB_cursor* c;
  int rc = mdb_cursor_open(txn, file.records_db(), &c);
  if (rc != 0) return LmdbStatus(rc);
  MDB_val k, v;
  std::string plain, stored, sealed;
  int status = BTR_OK;
  for (rc = mdb_cursor_get(c, &k, &v, MDB_FIRST); rc == 0;
       rc = mdb_cursor_get(c, &k, &v, MDB_NEXT)) {
    if (k.mv_size != 4 || v.mv_size < kChangeSize) {
      status = BTR_IO_ERROR;
      break;
    }
    uint32_t position = PositionFromKey(k.mv_data);
    const uint8_t* body = static_cast<const uint8_t*>(v.mv_data) + kChangeSize;
    size_t size = v.mv_size - kChangeSize;
    if (file.encrypted()) {
      if (OpenRecord(file.record_key(), position, body, size, &plain) != CryptoStatus::kOk) {
        status = BTR_IO_ERROR;  // a record that does not open is not rewritten blind
        break;
      }
    } else {
      plain.assign(reinterpret_cast<const char*>(body), size);
    }
    stored.assign(static_cast<const char*>(v.mv_data), kChangeSize);
    if (new_key) {
      if (SealRecord(*new_key, position, reinterpret_cast<const uint8_t*>(plain.data()),
                     plain.size(), &sealed) != CryptoStatus::kOk) {
        status = BTR_IO_ERROR;
        break;
      }
      stored += sealed;
    } else {
      stored += plain;
    }
    MDB_val nv = Val(stored);
    rc = mdb_cursor_put(c, &k, &nv, MDB_CURRENT);
    if (rc != 0) break;
  }
  mdb_cursor_close(c);
  if (status != BTR_OK) return status;
  if (rc != MDB_NOTFOUND) return LmdbStatus(rc);
  MDB_val ok = Val(std::string_view(kMetaOwner));
  if (owner_value) {
    MDB_val ov = Val(*owner_value);
    return LmdbStatus(mdb_put(txn, file.meta_db(), &ok, &ov, 0));
  }
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
  if (handles_.OfFile(file).size() > 1 || file->OpenElsewhere()) return BTR_FILE_IN_USE;
  OwnerRecord record;
  SecretKey key;
  int status = CryptoToStatus(MakeOwner(name, call.key_num, &record, &key));
  if (status != BTR_OK) return status;
  std::string owner_value = EncodeOwner(record);
  bool encrypts = OwnerLevelEncrypts(record.level);
  status = RunWrite(h, [&](RecordWriter& w) {
    return RewriteAll(w.txn(), *file, encrypts ? &key : nullptr, &owner_value);
  });
  if (status != BTR_OK) return status;
  file->SetOwner(&record, encrypts ? std::move(key) : SecretKey());
  // The records as they were before are still in the file's free pages: a sealed file
  // must not keep them.
  return encrypts ? file->Compact() : BTR_OK;
}

int Engine::ClearOwner(Call& call) {
  Handle* h = call.handle;
  FileEnv* file = h->file;
  if (call.client->in_transaction) return BTR_OPERATION_NOT_ALLOWED;
  if (!h->writable()) return BTR_ACCESS_DENIED;
  if (!file->has_owner()) return BTR_OK;
  if (handles_.OfFile(file).size() > 1 || file->OpenElsewhere()) return BTR_FILE_IN_USE;
  int status =
      RunWrite(h, [&](RecordWriter& w) { return RewriteAll(w.txn(), *file, nullptr, nullptr); });
  if (status != BTR_OK) return status;
  file->SetOwner(nullptr, SecretKey());
  return BTR_OK;
}

}  // namespace mkde
