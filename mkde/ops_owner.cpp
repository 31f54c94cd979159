// Owner names: Set Owner and Clear Owner, and the owner check of Open. The name itself is
// never stored; the file keeps an owner record that checks it (enginecore/crypto/README.md), and
// at levels 2 and 3 every record is sealed under the file's record key. Setting an
// encrypting owner writes a sealed copy of the file and renames it into place; clearing one
// opens every record in one write transaction. Either needs the file to itself throughout.
#include <cstring>

#include "enginecore/include/wbtrv32.h"
#include "mkde/engine.h"
#include "mkde/lmdb_util.h"
#include "mkde/records.h"
#include "mkde/redo.h"

namespace mkde {

namespace {

// Every sealed record opened and stored again plain, then the owner record removed.
Result ClearAll(MDB_txn* txn, const FileEnv& file) {
  MDB_cursor* c;
  int rc = mdb_cursor_open(txn, file.records_db(), &c);
  if (rc != 0) return LmdbStatus(rc);
  MDB_val k, v;
  std::string plain, stored;
  Status status = Status::kOk;
  for (rc = mdb_cursor_get(c, &k, &v, MDB_FIRST); file.encrypted() && rc == 0;
       rc = mdb_cursor_get(c, &k, &v, MDB_NEXT)) {
    uint32_t position = 0, change = 0;
    const uint8_t* body = nullptr;
    size_t size = 0;
    if (k.mv_size == 4) position = PositionFromKey(k.mv_data);
    // A record that is damaged or does not open is not rewritten blind.
    if (k.mv_size != 4 || !SplitStored(file, position, v, &change, &body, &size) ||
        OpenRecord(file.record_key(), position, body, size, &plain) != CryptoStatus::kOk) {
      status = Status::kIoError;
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
  if (status != Status::kOk) return status;
  if (rc != 0 && rc != MDB_NOTFOUND) return LmdbResult(rc);  // a full map: grown, again
  MDB_val ok = Val(std::string_view(kMetaOwner));
  rc = mdb_del(txn, file.meta_db(), &ok, nullptr);
  return rc == MDB_NOTFOUND ? Status::kOk : LmdbResult(rc);
}

}  // namespace

Status Engine::CheckOwnerAtOpen(const Call& call, FileEnv* file, bool* read_only) {
  *read_only = false;
  if (!file->has_owner()) return Status::kOk;
  SecretKey key;
  Status status = core::OwnerAtOpen(file->owner(), core::OwnerNameFromData(call), &key, read_only);
  if (status != Status::kOk) return status;
  if (file->encrypted() && file->record_key().empty()) file->SetRecordKey(std::move(key));
  return Status::kOk;
}

Result Engine::SetOwner(Call& call) {
  Handle* h = call.handle;
  FileEnv* file = h->file;
  if (call.client->in_transaction) return Status::kOperationNotAllowed;
  if (!h->writable()) return Status::kAccessDenied;
  if (file->has_owner()) return Status::kOwnerSet;
  std::string_view name;
  Result status = core::OwnerNameFromKey(call, &name);
  if (status != Status::kOk) return status;
  if (handles_.OfFile(file).size() > 1) return Status::kFileInUse;
  OwnerRecord record;
  SecretKey key;
  status = core::CryptoToStatus(MakeOwner(name, call.key_num, &record, &key));
  if (status != Status::kOk) return status;
  std::string owner_value = EncodeOwner(record);
  status = file->BeginOwnerChange();
  if (status != Status::kOk) return status;
  if (!OwnerLevelEncrypts(record.level)) {
    status = RunWrite(
        h,
        [&](RecordWriter& w) {
          MDB_val k = Val(std::string_view(kMetaOwner)), v = Val(owner_value);
          return LmdbResult(mdb_put(w.txn(), file->meta_db(), &k, &v, 0));
        },
        false);
    file->EndOwnerChange();
    if (status == Status::kOk) file->SetOwner(&record, SecretKey());
    return status;
  }
  // Sealed records go into a new file, put in place by one rename once it is whole and
  // synced: no plain record survives in free pages, and a crash leaves either file whole.
  GateHold gate;
  status = gate.Acquire(file, h->client);
  if (status == Status::kOk) status = EmptyRedoSlots(*file);
  if (status == Status::kOk) {
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
            return Status::kIoError;  // a damaged record is not sealed blind
          }
          const size_t header = StoredHeaderSize(*file);
          out->assign(header, '\0');
          *out += sealed;
          uint8_t* p = reinterpret_cast<uint8_t*>(out->data());
          PutStoredHeader(*file, position, change, p + header, sealed.size(), p);
          return Status::kOk;
        },
        &owner_value);
    if (status == Status::kOk) {
      Fs().Reached("owner-copied");
      status = file->Replace(file->rewrite_path());
    }
    gate.Release();
  }
  file->EndOwnerChange();
  if (status == Status::kOk) file->SetOwner(&record, std::move(key));
  return status;
}

Result Engine::ClearOwner(Call& call) {
  Handle* h = call.handle;
  FileEnv* file = h->file;
  if (call.client->in_transaction) return Status::kOperationNotAllowed;
  if (!h->writable()) return Status::kAccessDenied;
  if (!file->has_owner()) return Status::kOk;
  if (handles_.OfFile(file).size() > 1) return Status::kFileInUse;
  Result status = file->BeginOwnerChange();
  if (status != Status::kOk) return status;
  // One write transaction opens every record and removes the owner record: the change is
  // whole or absent.
  status = RunWrite(
      h, [&](RecordWriter& w) { return ClearAll(w.txn(), *file); }, false);
  file->EndOwnerChange();
  if (status != Status::kOk) return status;
  file->SetOwner(nullptr, SecretKey());
  return Status::kOk;
}

}  // namespace mkde
