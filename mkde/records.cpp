#include "mkde/records.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "enginecore/coding.h"
#include "enginecore/include/wbtrv32.h"
#include "mkde/crc32c.h"
#include "mkde/lmdb_util.h"

namespace mkde {

namespace {

int64_t GetSigned(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = n; i-- > 0;) v = (v << 8) | p[i];
  if (n < 8 && (v >> (8 * n - 1)) & 1) v |= ~uint64_t{0} << (8 * n);  // sign-extend
  return static_cast<int64_t>(v);
}
void PutSigned(uint8_t* p, size_t n, int64_t value) {
  uint64_t v = static_cast<uint64_t>(value);
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool HasPrefix(const MDB_val& key, std::string_view prefix) {
  return key.mv_size >= prefix.size() &&
         std::memcmp(key.mv_data, prefix.data(), prefix.size()) == 0;
}

}  // namespace

int ReadRecord(MDB_txn* txn, const FileEnv& file, uint32_t position, StoredRecord* out) {
  unsigned char k[4];
  PositionKey(position, k);
  MDB_val key = Val(k, 4), value;
  int rc = mdb_get(txn, file.records_db(), &key, &value);
  if (rc != 0) return rc;
  return DecodeRecord(file, position, value, out);
}

namespace {

uint32_t RecordChecksum(uint32_t position, uint32_t change, const uint8_t* body, size_t size) {
  // The position big-endian, then the change counter little-endian.
  const uint64_t head = uint64_t{__builtin_bswap32(position)} | (uint64_t{change} << 32);
  return Crc32cAfterWord(head, body, size);
}

}  // namespace

void PutStoredHeader(const FileEnv& file, uint32_t position, uint32_t change, const uint8_t* body,
                     size_t size, uint8_t* out) {
  EncodeFixed32(out, change);
  if (file.checksummed()) EncodeFixed32(out + 4, RecordChecksum(position, change, body, size));
}

bool SplitStored(const FileEnv& file, uint32_t position, const MDB_val& value, uint32_t* change,
                 const uint8_t** body, size_t* size) {
  const size_t header = StoredHeaderSize(file);
  if (value.mv_size < header) return false;
  const uint8_t* p = static_cast<const uint8_t*>(value.mv_data);
  *change = DecodeFixed32(p);
  *body = p + header;
  *size = value.mv_size - header;
  return !file.checksummed() ||
         DecodeFixed32(p + 4) == RecordChecksum(position, *change, *body, *size);
}

int DecodeRecord(const FileEnv& file, uint32_t position, const MDB_val& value, StoredRecord* out) {
  const uint8_t* body;
  size_t size;
  if (!SplitStored(file, position, value, &out->change, &body, &size)) return MDB_CORRUPTED;
  if (file.encrypted()) {
    if (OpenRecord(file.record_key(), position, body, size, &out->plain) != CryptoStatus::kOk) {
      return MDB_CORRUPTED;
    }
    out->bytes = reinterpret_cast<const uint8_t*>(out->plain.data());
    out->size = out->plain.size();
    return 0;
  }
  out->bytes = body;
  out->size = size;
  return 0;
}

bool EntryMatches(const KeyDef& key, const StoredRecord& record, uint32_t position,
                  std::string_view entry) {
  thread_local std::string room;
  bool null = false;
  IndexEntryInto(key, record.bytes, record.size, position, &null, &room);
  return room == entry;
}

Status StoreRecord(const FileEnv& file, uint32_t position, uint32_t change,
                   const std::string& record, std::string* out) {
  const size_t header = StoredHeaderSize(file);
  out->assign(header, '\0');
  if (!file.encrypted()) {
    out->append(record);
  } else {
    std::string sealed;
    if (SealRecord(file.record_key(), position, reinterpret_cast<const uint8_t*>(record.data()),
                   record.size(), &sealed) != CryptoStatus::kOk) {
      return Status::kIoError;  // nothing was written
    }
    out->append(sealed);
  }
  uint8_t* p = reinterpret_cast<uint8_t*>(out->data());
  PutStoredHeader(file, position, change, p + header, out->size() - header, p);
  return Status::kOk;
}

void KeyValueInto(const KeyDef& key, const uint8_t* record, size_t size, uint8_t* out) {
  for (const Segment& s : key.segments) {
    // A segment beyond a short record reads as zeros rather than past the record.
    size_t have = s.offset < size ? std::min<size_t>(size - s.offset, s.length) : 0;
    if (have > 0) std::memcpy(out, record + s.offset, have);
    std::memset(out + have, 0, s.length - have);
    out += s.length;
  }
}

void IndexEntryInto(const KeyDef& key, const uint8_t* record, size_t size, uint32_t position,
                    bool* null, std::string* entry) {
  // Key values are short: the value is taken apart on the stack, the entry built in room
  // the caller keeps from call to call.
  uint8_t room[256];
  std::string large;
  const size_t length = key.value_length();
  uint8_t* value = room;
  if (length > sizeof room) {
    large.resize(length);
    value = reinterpret_cast<uint8_t*>(large.data());
  }
  KeyValueInto(key, record, size, value);
  *null = IsNullValue(key, value);
  entry->clear();
  EncodeValue(key, value, entry);
  if (key.duplicates()) {
    unsigned char p[4];
    PositionKey(position, p);
    entry->append(reinterpret_cast<const char*>(p), 4);
  }
}

std::string IndexEntry(const KeyDef& key, const uint8_t* record, size_t size, uint32_t position,
                       bool* null) {
  std::string entry;
  IndexEntryInto(key, record, size, position, null, &entry);
  return entry;
}

Status LoadCounters(MDB_txn* txn, const FileEnv& file, Counters* counters) {
  MDB_val k = Val(std::string_view(kMetaCounters)), v;
  int rc = mdb_get(txn, file.meta_db(), &k, &v);
  if (rc != 0) return rc == MDB_NOTFOUND ? Status::kIoError : LmdbStatus(rc);
  if (!counters->Decode(v.mv_data, v.mv_size, file.key_count())) return Status::kIoError;
  return Status::kOk;
}

Result StoreCounters(MDB_txn* txn, const FileEnv& file, const Counters& counters) {
  std::string encoded = counters.Encode();
  MDB_val k = Val(std::string_view(kMetaCounters)), v = Val(encoded);
  return LmdbResult(mdb_put(txn, file.meta_db(), &k, &v, 0));
}

Status RecordWriter::Begin() {
  if (!batch_) return LoadCounters(txn_, *file_, &own_);
  if (!batch_->counters_loaded) {
    Status status = LoadCounters(txn_, *file_, &batch_->counters);
    if (status != Status::kOk) return status;
    batch_->counters_loaded = true;
  }
  batch_->working = batch_->counters;
  counters_ = &batch_->working;
  return Status::kOk;
}

Result RecordWriter::Finish() {
  if (batch_) {
    // Stored at End: until then the transaction's calls, and Stat, take them from here.
    std::swap(batch_->counters, batch_->working);
    batch_->counters_dirty = true;
    return Status::kOk;
  }
  wrote_ = true;
  Result status = StoreCounters(txn_, *file_, own_);
  if (status == Status::kOk && log_) {
    std::string encoded = own_.Encode();
    MDB_val k = Val(std::string_view(kMetaCounters)), v = Val(encoded);
    Log(ChangeLog::kMetaDb, k, &v);
  }
  return status;
}

Status RecordWriter::PrefixExists(size_t key, std::string_view prefix, bool* exists) {
  MDB_cursor* c;
  int rc = file_->WriteCursor(txn_, file_->key_db(key), &c);
  if (rc != 0) return LmdbStatus(rc);
  MDB_val k = Val(prefix), v;
  rc = mdb_cursor_get(c, &k, &v, MDB_SET_RANGE);
  if (rc != 0 && rc != MDB_NOTFOUND) return LmdbStatus(rc);
  *exists = rc == 0 && HasPrefix(k, prefix);
  return Status::kOk;
}

Result RecordWriter::AddEntry(size_t key, const std::string& entry, uint32_t position) {
  const KeyDef& def = file_->spec().keys[key];
  unsigned char p[4];
  PositionKey(position, p);
  MDB_val k = Val(entry), v = Val(p, 4);
  if (def.duplicates()) {
    // The entry goes in through a cursor, which then stands on it: the value had entries
    // already exactly when a neighbour shares its prefix. Positions only grow, so a new
    // entry usually ends its value's run and the previous entry answers at once.
    MDB_cursor* c;
    int rc = file_->WriteCursor(txn_, file_->key_db(key), &c);
    if (rc != 0) return LmdbResult(rc);
    wrote_ = true;
    rc = mdb_cursor_put(c, &k, &v, 0);
    if (rc != 0) return LmdbResult(rc);
    Log(ChangeLog::KeyDb(key), k, &v);
    std::string_view prefix(entry.data(), entry.size() - 4);
    bool exists = false;
    MDB_val nk, nv;
    rc = mdb_cursor_get(c, &nk, &nv, MDB_PREV);
    if (rc == 0) {
      exists = HasPrefix(nk, prefix);
      if (!exists) rc = mdb_cursor_get(c, &nk, &nv, MDB_NEXT);  // back on the new entry
    } else if (rc == MDB_NOTFOUND) {
      nk = k;  // the first entry of all: stand on it again
      rc = mdb_cursor_get(c, &nk, &nv, MDB_SET);
    }
    if (!exists && rc == 0) {
      rc = mdb_cursor_get(c, &nk, &nv, MDB_NEXT);
      exists = rc == 0 && HasPrefix(nk, prefix);
      if (rc == MDB_NOTFOUND) rc = 0;
    }
    if (rc != 0) return LmdbResult(rc);
    if (!exists) ++counters_->unique_values[key];
    return Status::kOk;
  }
  // A put refused for an existing key has changed nothing.
  int rc = mdb_put(txn_, file_->key_db(key), &k, &v, MDB_NOOVERWRITE);
  if (rc == MDB_KEYEXIST) return Status::kDuplicateKey;
  wrote_ = true;
  if (rc != 0) return LmdbResult(rc);
  ++counters_->unique_values[key];
  Log(ChangeLog::KeyDb(key), k, &v);
  return Status::kOk;
}

Result RecordWriter::RemoveEntry(size_t key, const std::string& entry) {
  MDB_val k = Val(entry);
  wrote_ = true;
  int rc = mdb_del(txn_, file_->key_db(key), &k, nullptr);
  if (rc == MDB_NOTFOUND) return Status::kIoError;  // an index that lost an entry is damaged
  if (rc != 0) return LmdbResult(rc);
  Log(ChangeLog::KeyDb(key), Val(entry), nullptr);
  const KeyDef& def = file_->spec().keys[key];
  bool exists = false;
  if (def.duplicates()) {
    Result status = PrefixExists(key, std::string_view(entry.data(), entry.size() - 4), &exists);
    if (status != Status::kOk) return status;
  }
  if (!exists && counters_->unique_values[key] > 0) --counters_->unique_values[key];
  return Status::kOk;
}

Status RecordWriter::AssignAutoincrement(std::string* record) {
  uint8_t* bytes = reinterpret_cast<uint8_t*>(record->data());
  for (size_t i = 0; i < file_->key_count(); ++i) {
    const Segment* seg = file_->spec().keys[i].autoincrement();
    if (!seg) continue;
    int64_t value = GetSigned(bytes + seg->offset, seg->length);
    if (value == 0) {
      int64_t high = counters_->autoincrement_high[i];
      int64_t max = seg->length >= 8 ? std::numeric_limits<int64_t>::max()
                                     : (int64_t{1} << (8 * seg->length - 1)) - 1;
      if (high >= max) return Status::kDuplicateKey;  // the key's range is used up
      value = high + 1;
      PutSigned(bytes + seg->offset, seg->length, value);
    }
    if (value > counters_->autoincrement_high[i]) counters_->autoincrement_high[i] = value;
  }
  return Status::kOk;
}

void RecordWriter::NoteAutoincrement(const std::string& record) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(record.data());
  for (size_t i = 0; i < file_->key_count(); ++i) {
    const Segment* seg = file_->spec().keys[i].autoincrement();
    if (!seg) continue;
    int64_t value = GetSigned(bytes + seg->offset, seg->length);
    if (value > counters_->autoincrement_high[i]) counters_->autoincrement_high[i] = value;
  }
}

Status RecordWriter::Taken(size_t key, const std::string& entry, bool* taken) {
  MDB_val k = Val(entry), v;
  int rc = mdb_get(txn_, file_->key_db(key), &k, &v);
  if (rc != 0 && rc != MDB_NOTFOUND) return LmdbStatus(rc);
  *taken = rc == 0;
  return Status::kOk;
}

Result RecordWriter::AddEntries(const std::string& record, uint32_t position) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(record.data());
  const size_t keys = file_->key_count();
  std::vector<std::string>& entries = file_->EntryRoom(keys);
  size_t order[kMaxKeys];  // the keys with an entry, in the order they are written
  size_t n = 0;
  // Every check comes before the first write, so that a refused insert leaves no trace
  // even inside a transaction's open write transaction. The first unique key is checked by
  // its own put (MDB_NOOVERWRITE), which therefore comes first of all.
  constexpr size_t kNone = std::numeric_limits<size_t>::max();
  size_t checked_by_put = kNone;
  for (size_t i = 0; i < keys; ++i) {
    const KeyDef& def = file_->spec().keys[i];
    bool null = false;
    IndexEntryInto(def, bytes, record.size(), position, &null, &entries[i]);
    if (null) continue;
    if (!def.duplicates()) {
      if (checked_by_put == kNone) {
        checked_by_put = n;
      } else {
        bool taken = false;
        Result status = Taken(i, entries[i], &taken);
        if (status != Status::kOk) return status;
        if (taken) return Status::kDuplicateKey;
      }
    }
    order[n++] = i;
  }
  if (checked_by_put != kNone) std::swap(order[0], order[checked_by_put]);
  for (size_t j = 0; j < n; ++j) {
    Result status = AddEntry(order[j], entries[order[j]], position);
    if (status != Status::kOk) return status;
  }
  return Status::kOk;
}

Result RecordWriter::PutRecord(uint32_t position, uint32_t change, const std::string& record,
                               unsigned flags) {
  unsigned char k[4];
  PositionKey(position, k);
  MDB_val key = Val(k, 4), value;
  if (file_->encrypted()) {
    std::string stored;
    Result status = StoreRecord(*file_, position, change, record, &stored);
    if (status != Status::kOk) return status;
    value = Val(stored);
    wrote_ = true;
    int rc = mdb_put(txn_, file_->records_db(), &key, &value, flags);
    if (rc == MDB_KEYEXIST && (flags & MDB_APPEND)) {
      rc = mdb_put(txn_, file_->records_db(), &key, &value, flags & ~MDB_APPEND);
    }
    if (rc == 0) Log(ChangeLog::kRecordsDb, key, &value);
    return LmdbResult(rc);
  }
  // The stored value is written straight into the page LMDB reserves for it.
  const size_t header = StoredHeaderSize(*file_);
  value = MDB_val{header + record.size(), nullptr};
  wrote_ = true;
  int rc = mdb_put(txn_, file_->records_db(), &key, &value, flags | MDB_RESERVE);
  if (rc == MDB_KEYEXIST && (flags & MDB_APPEND)) {
    value = MDB_val{header + record.size(), nullptr};
    rc = mdb_put(txn_, file_->records_db(), &key, &value, (flags & ~MDB_APPEND) | MDB_RESERVE);
  }
  if (rc != 0) return LmdbResult(rc);
  uint8_t* out = static_cast<uint8_t*>(value.mv_data);
  if (!record.empty()) std::memcpy(out + header, record.data(), record.size());
  PutStoredHeader(*file_, position, change, out + header, record.size(), out);
  Log(ChangeLog::kRecordsDb, key, &value);
  return Status::kOk;
}

Result RecordWriter::Insert(std::string* record, uint32_t* position) {
  Result status = AssignAutoincrement(record);
  if (status != Status::kOk) return status;
  uint32_t pos = counters_->next_position;
  if (pos == 0 || pos == std::numeric_limits<uint32_t>::max()) return Status::kDiskFull;
  counters_->next_position = pos + 1;
  status = AddEntries(*record, pos);
  if (status != Status::kOk) return status;
  // Positions only grow: the record goes after every other.
  status = PutRecord(pos, 0, *record, MDB_APPEND);
  if (status != Status::kOk) return status;
  *position = pos;
  return Status::kOk;
}

Result RecordWriter::Update(uint32_t position, uint32_t change,
                            const std::function<Status(std::string* record)>& edit,
                            std::string* result, uint32_t* new_change) {
  StoredRecord old;
  int rc = ReadRecord(txn_, *file_, position, &old);
  if (rc == MDB_NOTFOUND) return Status::kConflict;
  if (rc != 0) return LmdbResult(rc);
  if (old.change != change) return Status::kConflict;
  std::string before(reinterpret_cast<const char*>(old.bytes), old.size);
  std::string after = before;
  Result status = edit(&after);
  if (status != Status::kOk) return status;
  NoteAutoincrement(after);

  const uint8_t* b = reinterpret_cast<const uint8_t*>(before.data());
  const uint8_t* a = reinterpret_cast<const uint8_t*>(after.data());
  struct Move {
    size_t key;
    std::string from, to;
    bool from_null, to_null;
  };
  std::vector<Move> moves;
  // Every check before the first write (see AddEntries).
  for (size_t i = 0; i < file_->key_count(); ++i) {
    const KeyDef& def = file_->spec().keys[i];
    if (ExtractValue(def, b, before.size()) == ExtractValue(def, a, after.size())) continue;
    if (!def.modifiable()) return Status::kModifiableKey;
    Move m{i, {}, {}, false, false};
    m.from = IndexEntry(def, b, before.size(), position, &m.from_null);
    m.to = IndexEntry(def, a, after.size(), position, &m.to_null);
    if (m.from == m.to && m.from_null == m.to_null) continue;
    if (!m.to_null && !def.duplicates()) {
      bool taken = false;
      status = Taken(i, m.to, &taken);
      if (status != Status::kOk) return status;
      if (taken) return Status::kDuplicateKey;
    }
    moves.push_back(std::move(m));
  }
  for (Move& m : moves) {
    if (!m.from_null) {
      status = RemoveEntry(m.key, m.from);
      if (status != Status::kOk) return status;
    }
    if (!m.to_null) {
      status = AddEntry(m.key, m.to, position);
      if (status != Status::kOk) return status;
    }
  }
  uint32_t next = change + 1;
  status = PutRecord(position, next, after, 0);
  if (status != Status::kOk) return status;
  *result = std::move(after);
  *new_change = next;
  return Status::kOk;
}

Result RecordWriter::Delete(uint32_t position, uint32_t change) {
  StoredRecord old;
  int rc = ReadRecord(txn_, *file_, position, &old);
  if (rc == MDB_NOTFOUND) return Status::kConflict;
  if (rc != 0) return LmdbResult(rc);
  if (old.change != change) return Status::kConflict;
  std::string before(reinterpret_cast<const char*>(old.bytes), old.size);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(before.data());
  for (size_t i = 0; i < file_->key_count(); ++i) {
    bool null = false;
    std::string entry = IndexEntry(file_->spec().keys[i], b, before.size(), position, &null);
    if (null) continue;
    Result status = RemoveEntry(i, entry);
    if (status != Status::kOk) return status;
  }
  unsigned char k[4];
  PositionKey(position, k);
  MDB_val key = Val(k, 4);
  wrote_ = true;
  rc = mdb_del(txn_, file_->records_db(), &key, nullptr);
  if (rc == 0) Log(ChangeLog::kRecordsDb, key, nullptr);
  return LmdbResult(rc);
}

}  // namespace mkde
