// The changes of one file's write transaction as the redo files carry them, and their replay.
#include "mkde/change_log.h"

#include <cstring>
#include <string_view>

#include "enginecore/coding.h"
#include "mkde/byte_reader.h"
#include "mkde/file_env.h"
#include "mkde/lmdb_util.h"

namespace mkde {

uint64_t LastTxnId(FileEnv* file) {
  MDB_envinfo info;
  mdb_env_info(file->env(), &info);
  return info.me_last_txnid;
}

Status Replay(FileEnv* file, std::string_view changes) {
  Result status = Status::kIoError;
  for (int attempt = 0; attempt < 4; ++attempt) {
    WriteTransaction txn;
    status = txn.Begin(file);
    if (status != Status::kOk) return status.Settle();
    status = ApplyChanges(file, txn.get(), changes);
    if (status == Retry::kMapFull) {
      txn.Abort();
      status = file->GrowMap(changes.size() * 2);
      if (status != Status::kOk) return status.Settle();
      status = Status::kDiskFull;
      continue;
    }
    if (status != Status::kOk) return status.Settle();
    bool retry = false;
    status = txn.Commit(false, &retry);
    if (!retry) return status.Settle();
    status = Status::kDiskFull;
  }
  return status.Settle();
}

namespace {

// One entry written in place: the log grows once, then the bytes go straight in.
char* PutLe32(char* at, size_t v) {
  EncodeFixed32(reinterpret_cast<uint8_t*>(at), static_cast<uint32_t>(v));
  return at + 4;
}

}  // namespace

void ChangeLog::Put(uint8_t db, const MDB_val& key, const MDB_val& value) {
  const size_t start = bytes_.size();
  bytes_.resize(start + 10 + key.mv_size + value.mv_size);
  char* at = bytes_.data() + start;
  *at++ = 1;
  *at++ = static_cast<char>(db);
  at = PutLe32(at, key.mv_size);
  std::memcpy(at, key.mv_data, key.mv_size);
  at = PutLe32(at + key.mv_size, value.mv_size);
  if (value.mv_size) std::memcpy(at, value.mv_data, value.mv_size);
}

void ChangeLog::Delete(uint8_t db, const MDB_val& key) {
  const size_t start = bytes_.size();
  bytes_.resize(start + 6 + key.mv_size);
  char* at = bytes_.data() + start;
  *at++ = 2;
  *at++ = static_cast<char>(db);
  at = PutLe32(at, key.mv_size);
  std::memcpy(at, key.mv_data, key.mv_size);
}

Result ApplyChanges(FileEnv* file, MDB_txn* txn, std::string_view log) {
  ByteReader in(log);
  while (in.left() > 0) {
    uint8_t kind = 0, db = 0;
    uint32_t n = 0;
    std::string_view key, value;
    if (!in.U8(&kind) || !in.U8(&db) || !in.U32(&n) || !in.Bytes(n, &key)) return Status::kIoError;
    MDB_dbi dbi;
    if (db == ChangeLog::kMetaDb) {
      dbi = file->meta_db();
    } else if (db == ChangeLog::kRecordsDb) {
      dbi = file->records_db();
    } else if (db - 2u < file->key_count()) {
      dbi = file->key_db(db - 2u);
    } else {
      return Status::kIoError;
    }
    MDB_val k = Val(key);
    int rc;
    if (kind == 1) {
      if (!in.U32(&n) || !in.Bytes(n, &value)) return Status::kIoError;
      MDB_val v = Val(value);
      rc = mdb_put(txn, dbi, &k, &v, 0);
    } else if (kind == 2) {
      rc = mdb_del(txn, dbi, &k, nullptr);
      if (rc == MDB_NOTFOUND) rc = 0;
    } else {
      return Status::kIoError;
    }
    if (rc != 0) return LmdbResult(rc);
  }
  return Status::kOk;
}

}  // namespace mkde
