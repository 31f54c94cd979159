// Reads: the Gets along a key path, the Steps in physical order, Get Direct, positions and
// percentages. Every read runs in one fresh snapshot, so a place remembered from an
// earlier call is sought again rather than trusted.
#include <algorithm>
#include <cstring>
#include <limits>

#include "enginecore/coding.h"
#include "enginecore/include/wbtrv32.h"
#include "mkde/engine.h"
#include "mkde/lmdb_util.h"

namespace mkde {

namespace {

// Longer than any position suffix and above every byte: a probe that sorts after every
// entry of one key value.
constexpr char kAfterValue[] = "\xFF\xFF\xFF\xFF\xFF";

size_t CommonPrefix(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size()), i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// The 8 bytes of s from `from` on as a big-endian number, short strings padded with 0.
uint64_t Word(std::string_view s, size_t from) {
  uint64_t v = 0;
  for (size_t i = 0; i < 8; ++i) {
    v = (v << 8) | (from + i < s.size() ? static_cast<uint8_t>(s[from + i]) : 0);
  }
  return v;
}

// A probe `pct` hundredths of a percent of the way from lo to hi: interpolated over the
// first 8 bytes where the two differ. Monotone in pct, which is all Get By Percentage
// promises.
std::string Interpolate(std::string_view lo, std::string_view hi, unsigned pct) {
  size_t c = CommonPrefix(lo, hi);
  uint64_t a = Word(lo, c), b = Word(hi, c);
  uint64_t t = a + static_cast<uint64_t>(static_cast<unsigned __int128>(b - a) * pct / 10000);
  std::string probe(lo.substr(0, c));
  for (int i = 7; i >= 0; --i) probe.push_back(static_cast<char>(t >> (8 * i)));
  return probe;
}

unsigned Fraction(std::string_view lo, std::string_view hi, std::string_view at) {
  size_t c = CommonPrefix(lo, hi);
  uint64_t a = Word(lo, c), b = Word(hi, c);
  uint64_t x = CommonPrefix(lo, at) >= c ? Word(at, c) : (at < lo ? a : b);
  if (b <= a || x <= a) return 0;
  if (x >= b) return 10000;
  return static_cast<unsigned>(static_cast<unsigned __int128>(x - a) * 10000 / (b - a));
}

Status NotFound(int rc, Status status) { return rc == MDB_NOTFOUND ? status : LmdbStatus(rc); }

}  // namespace

void ReadScope::CloseOpened() {
  for (MDB_cursor* c : opened_) mdb_cursor_close(c);
}

int ReadScope::OpenOwn(MDB_dbi dbi, MDB_cursor** cursor) {
  int rc = mdb_cursor_open(txn_, dbi, cursor);
  if (rc == 0) opened_.push_back(*cursor);
  return rc;
}

Status Engine::Deliver(Call& call, MDB_txn* txn, int key, std::string_view entry, uint32_t position,
                       bool key_only, const MDB_val* stored) {
  Handle* h = call.handle;
  FileEnv* file = h->file;
  if (position == 0) return Status::kIoError;  // an index value of the wrong size
  // A single-record lock ends with the next read through the block.
  if (h->single_locked && !(call.lock >= 1 && call.lock <= 2 && h->single_position == position)) {
    DropSingleLock(h);
  }
  if (call.lock) {
    Status locked = TakeLock(h, call.lock, position);
    if (locked != Status::kOk) return locked;
  }
  StoredRecord record;
  int rc = stored ? DecodeRecord(*file, position, *stored, &record)
                  : ReadRecord(txn, *file, position, &record);
  if (rc != 0) return rc == MDB_NOTFOUND ? Status::kIoError : LmdbStatus(rc);  // index astray
  if (key >= 0 && !EntryMatches(file->spec().keys[key], record, position, entry)) {
    return Status::kIoError;  // an index entry that leads to another record
  }
  Status status = Status::kOk;
  if (!key_only) {
    size_t n = std::min<size_t>(record.size, call.data_len);
    if (n) std::memcpy(call.data, record.bytes, n);
    call.ReturnLength(static_cast<uint32_t>(n));
    if (n < record.size) status = Status::kDataLength;
  }
  if (key >= 0) {
    const KeyDef& def = file->spec().keys[key];
    std::string value = ExtractValue(def, record.bytes, record.size);
    std::memcpy(call.key, value.data(), value.size());  // key_len checked by the caller
    h->entry.assign(entry.data(), entry.size());
  }
  h->Place(key, position, record.change, key_only);
  return status;
}

Result Engine::GetByKey(Call& call, bool key_only) {
  Handle* h = call.handle;
  FileEnv* file = h->file;
  if (call.key_num < 0 || static_cast<size_t>(call.key_num) >= file->key_count()) {
    return Status::kInvalidKeyNumber;
  }
  int k = call.key_num;
  const KeyDef& def = file->spec().keys[k];
  if (call.key_len < def.value_length()) return Status::kKeyBufferShort;
  bool dups = def.duplicates();
  std::string probe;
  if (call.op != BTR_GET_FIRST && call.op != BTR_GET_LAST) EncodeValue(def, call.key, &probe);
  size_t value_size = probe.size();
  if (call.op == BTR_GET_GREATER || call.op == BTR_GET_LESS_OR_EQUAL) {
    // Past every entry of this value: all entries of a unique key are one length, so one
    // more byte sorts after an equal entry and before every greater one.
    if (dups) {
      probe.append(kAfterValue, 5);
    } else {
      probe.push_back('\0');
    }
  }

  Result held = HoldForRead(h);
  if (held != Status::kOk) return held;
  ReadScope snap(file, h->client);
  int rc = snap.Begin();
  if (rc != 0) return LmdbStatus(rc);
  MDB_cursor* c;
  rc = snap.Cursor(file->key_db(k), &c);
  if (rc != 0) return LmdbStatus(rc);
  MDB_val kk = Val(probe), vv;
  switch (call.op) {
    case BTR_GET_EQUAL:
      rc = mdb_cursor_get(c, &kk, &vv, dups ? MDB_SET_RANGE : MDB_SET_KEY);
      if (rc == 0 &&
          (kk.mv_size < value_size || std::memcmp(kk.mv_data, probe.data(), value_size) != 0)) {
        rc = MDB_NOTFOUND;
      }
      break;
    case BTR_GET_GREATER:
    case BTR_GET_GREATER_OR_EQUAL:
      rc = mdb_cursor_get(c, &kk, &vv, MDB_SET_RANGE);
      break;
    case BTR_GET_LESS:
    case BTR_GET_LESS_OR_EQUAL:
      rc = mdb_cursor_get(c, &kk, &vv, MDB_SET_RANGE);
      if (rc == 0) {
        rc = mdb_cursor_get(c, &kk, &vv, MDB_PREV);
      } else if (rc == MDB_NOTFOUND) {
        rc = mdb_cursor_get(c, &kk, &vv, MDB_LAST);
      }
      break;
    case BTR_GET_FIRST:
      rc = mdb_cursor_get(c, &kk, &vv, MDB_FIRST);
      break;
    default:  // BTR_GET_LAST
      rc = mdb_cursor_get(c, &kk, &vv, MDB_LAST);
      break;
  }
  if (rc != 0)
    return NotFound(rc, call.op == BTR_GET_EQUAL ? Status::kKeyNotFound : Status::kEndOfFile);
  if (vv.mv_size != 4) return Status::kIoError;
  return Deliver(call, snap.txn(), k, View(kk), PositionFromKey(vv), key_only);
}

Result Engine::GetNextPrevious(Call& call, bool key_only) {
  Handle* h = call.handle;
  FileEnv* file = h->file;
  if (h->key < 0) return Status::kPositionNotSet;
  if (call.key_num != h->key) return Status::kDifferentKeyNumber;
  const KeyDef& def = file->spec().keys[h->key];
  if (call.key_len < def.value_length()) return Status::kKeyBufferShort;

  Result held = HoldForRead(h);
  if (held != Status::kOk) return held;
  ReadScope snap(file, h->client);
  int rc = snap.Begin();
  if (rc != 0) return LmdbStatus(rc);
  MDB_cursor* c;
  rc = snap.Cursor(file->key_db(h->key), &c);
  if (rc != 0) return LmdbStatus(rc);
  MDB_val kk, vv;
  // Still in the snapshot of the call that left the cursor on this block's entry: one step.
  if (mdb_cursor_get(c, &kk, &vv, MDB_GET_CURRENT) == 0 && View(kk) == h->entry) {
    rc = mdb_cursor_get(c, &kk, &vv, call.op == BTR_GET_NEXT ? MDB_NEXT : MDB_PREV);
    if (rc != 0) return NotFound(rc, Status::kEndOfFile);
    if (vv.mv_size != 4) return Status::kIoError;
    return Deliver(call, snap.txn(), h->key, View(kk), PositionFromKey(vv), key_only);
  }
  // The remembered entry may be gone (deleted here or by another client); the seek lands
  // on what now follows it either way.
  kk = Val(h->entry);
  rc = mdb_cursor_get(c, &kk, &vv, MDB_SET_RANGE);
  if (call.op == BTR_GET_NEXT) {
    if (rc == 0 && View(kk) == h->entry) rc = mdb_cursor_get(c, &kk, &vv, MDB_NEXT);
  } else if (rc == 0) {
    rc = mdb_cursor_get(c, &kk, &vv, MDB_PREV);
  } else if (rc == MDB_NOTFOUND) {
    rc = mdb_cursor_get(c, &kk, &vv, MDB_LAST);
  }
  if (rc != 0) return NotFound(rc, Status::kEndOfFile);
  if (vv.mv_size != 4) return Status::kIoError;
  return Deliver(call, snap.txn(), h->key, View(kk), PositionFromKey(vv), key_only);
}

Result Engine::Step(Call& call) {
  Handle* h = call.handle;
  FileEnv* file = h->file;
  if ((call.op == BTR_STEP_NEXT || call.op == BTR_STEP_PREVIOUS) && !h->physical) {
    return Status::kPositionNotSet;
  }
  Result held = HoldForRead(h);
  if (held != Status::kOk) return held;
  ReadScope snap(file, h->client);
  int rc = snap.Begin();
  if (rc != 0) return LmdbStatus(rc);
  // The cursor still stands on this block's record, left there by its previous Step in
  // this snapshot with no other use of a cursor since.
  const bool standing = snap.shared() && h->physical && file->RecordsCursorAt(h->physical_position);
  MDB_cursor* c;
  rc = snap.Cursor(file->records_db(), &c);
  if (rc != 0) return LmdbStatus(rc);
  const uint64_t uses = file->cursor_uses();
  unsigned char probe[4];
  MDB_val kk, vv;
  switch (call.op) {
    case BTR_STEP_FIRST:
      rc = mdb_cursor_get(c, &kk, &vv, MDB_FIRST);
      break;
    case BTR_STEP_LAST:
      rc = mdb_cursor_get(c, &kk, &vv, MDB_LAST);
      break;
    case BTR_STEP_NEXT:
      if (h->physical_position == std::numeric_limits<uint32_t>::max()) return Status::kEndOfFile;
      // One step when the cursor still stands on this block's record in the same snapshot.
      if (standing || (mdb_cursor_get(c, &kk, &vv, MDB_GET_CURRENT) == 0 && kk.mv_size == 4 &&
                       PositionFromKey(kk) == h->physical_position)) {
        rc = mdb_cursor_get(c, &kk, &vv, MDB_NEXT);
        break;
      }
      PositionKey(h->physical_position + 1, probe);
      kk = Val(probe, 4);
      rc = mdb_cursor_get(c, &kk, &vv, MDB_SET_RANGE);
      break;
    default:  // BTR_STEP_PREVIOUS
      PositionKey(h->physical_position, probe);
      kk = Val(probe, 4);
      rc = mdb_cursor_get(c, &kk, &vv, MDB_SET_RANGE);
      if (rc == 0) {
        rc = mdb_cursor_get(c, &kk, &vv, MDB_PREV);
      } else if (rc == MDB_NOTFOUND) {
        rc = mdb_cursor_get(c, &kk, &vv, MDB_LAST);
      }
      break;
  }
  if (rc != 0) return NotFound(rc, Status::kEndOfFile);
  if (kk.mv_size != 4) return Status::kIoError;
  const uint32_t position = PositionFromKey(kk);
  Status status = Deliver(call, snap.txn(), -1, {}, position, false, &vv);
  if (snap.shared() && (status == Status::kOk || status == Status::kDataLength)) {
    file->NoteRecordsCursorAt(position, uses);
  }
  return status;
}

Status Engine::GetPosition(Call& call) {
  Handle* h = call.handle;
  if (!h->current) return Status::kPositionNotSet;
  if (call.data_len < 4) return Status::kDataLength;
  EncodeFixed32(call.data, h->position);
  call.ReturnLength(4);
  return Status::kOk;
}

Result Engine::GetDirect(Call& call) {
  Handle* h = call.handle;
  FileEnv* file = h->file;
  if (call.data_len < 4) return Status::kDataLength;
  uint32_t position = DecodeFixed32(call.data);
  int k = call.key_num;
  if (k >= 0) {
    if (static_cast<size_t>(k) >= file->key_count()) return Status::kInvalidKeyNumber;
    if (call.key_len < file->spec().keys[k].value_length()) return Status::kKeyBufferShort;
  } else {
    k = -1;
  }
  Result held = HoldForRead(h);
  if (held != Status::kOk) return held;
  ReadScope snap(file, h->client);
  int rc = snap.Begin();
  if (rc != 0) return LmdbStatus(rc);
  StoredRecord record;
  rc = ReadRecord(snap.txn(), *file, position, &record);
  if (rc != 0) return NotFound(rc, Status::kInvalidAddress);
  std::string entry;
  if (k >= 0) {
    bool null = false;
    entry = IndexEntry(file->spec().keys[k], record.bytes, record.size, position, &null);
  }
  return Deliver(call, snap.txn(), k, entry, position, false);
}

Result Engine::GetByPercentage(Call& call) {
  Handle* h = call.handle;
  FileEnv* file = h->file;
  if (call.data_len < 2) return Status::kDataLength;
  unsigned pct = DecodeFixed16(call.data);
  if (pct > 10000) return Status::kInvalidFunction;
  int k = call.key_num;
  if (k >= 0) {
    if (static_cast<size_t>(k) >= file->key_count()) return Status::kInvalidKeyNumber;
    if (call.key_len < file->spec().keys[k].value_length()) return Status::kKeyBufferShort;
  } else if (k != -1) {
    return Status::kInvalidKeyNumber;
  }
  Result held = HoldForRead(h);
  if (held != Status::kOk) return held;
  ReadScope snap(file, h->client);
  int rc = snap.Begin();
  if (rc != 0) return LmdbStatus(rc);
  MDB_cursor* c;
  rc = snap.Cursor(k >= 0 ? file->key_db(k) : file->records_db(), &c);
  if (rc != 0) return LmdbStatus(rc);
  MDB_val kk, vv;
  rc = mdb_cursor_get(c, &kk, &vv, MDB_FIRST);
  if (rc != 0) return NotFound(rc, Status::kEndOfFile);
  std::string first(View(kk));
  rc = mdb_cursor_get(c, &kk, &vv, MDB_LAST);
  if (rc != 0) return LmdbStatus(rc);
  if (pct == 0) {
    rc = mdb_cursor_get(c, &kk, &vv, MDB_FIRST);
    if (rc != 0) return LmdbStatus(rc);
  } else if (pct < 10000) {
    std::string probe;
    if (k >= 0) {
      probe = Interpolate(first, View(kk), pct);
    } else {
      uint32_t lo = PositionFromKey(MDB_val{first.size(), first.data()}), hi = PositionFromKey(kk);
      uint32_t target = lo + static_cast<uint32_t>(uint64_t{hi - lo} * pct / 10000);
      probe.resize(4);
      PositionKey(target, reinterpret_cast<unsigned char*>(probe.data()));
    }
    kk = Val(probe);
    rc = mdb_cursor_get(c, &kk, &vv, MDB_SET_RANGE);
    if (rc == MDB_NOTFOUND) rc = mdb_cursor_get(c, &kk, &vv, MDB_LAST);
    if (rc != 0) return LmdbStatus(rc);
  }
  if (k >= 0) {
    if (vv.mv_size != 4) return Status::kIoError;
    return Deliver(call, snap.txn(), k, View(kk), PositionFromKey(vv), false);
  }
  return Deliver(call, snap.txn(), -1, {}, PositionFromKey(kk), false, &vv);
}

Result Engine::FindPercentage(Call& call) {
  Handle* h = call.handle;
  FileEnv* file = h->file;
  int k = call.key_num;
  if (k >= 0 && static_cast<size_t>(k) >= file->key_count()) return Status::kInvalidKeyNumber;
  if (k < -1) return Status::kInvalidKeyNumber;
  if (!h->current) return Status::kPositionNotSet;
  if (call.data_len < 2) return Status::kDataLength;
  Result held = HoldForRead(h);
  if (held != Status::kOk) return held;
  ReadScope snap(file, h->client);
  int rc = snap.Begin();
  if (rc != 0) return LmdbStatus(rc);
  MDB_cursor* c;
  rc = snap.Cursor(k >= 0 ? file->key_db(k) : file->records_db(), &c);
  if (rc != 0) return LmdbStatus(rc);
  std::string at;
  if (k >= 0 && h->key == k) {
    at = h->entry;
  } else if (k >= 0) {
    StoredRecord record;
    rc = ReadRecord(snap.txn(), *file, h->position, &record);
    if (rc != 0) return NotFound(rc, Status::kPositionNotSet);
    bool null = false;
    at = IndexEntry(file->spec().keys[k], record.bytes, record.size, h->position, &null);
  } else {
    at.resize(4);
    PositionKey(h->position, reinterpret_cast<unsigned char*>(at.data()));
  }
  MDB_val kk, vv;
  rc = mdb_cursor_get(c, &kk, &vv, MDB_FIRST);
  if (rc != 0) return NotFound(rc, Status::kPositionNotSet);
  std::string first(View(kk));
  rc = mdb_cursor_get(c, &kk, &vv, MDB_LAST);
  if (rc != 0) return LmdbStatus(rc);
  unsigned pct;
  if (k >= 0) {
    pct = Fraction(first, View(kk), at);
  } else {
    uint32_t lo = PositionFromKey(MDB_val{first.size(), first.data()}), hi = PositionFromKey(kk);
    uint32_t x = std::clamp(h->position, lo, hi);
    pct = hi == lo ? 0 : static_cast<unsigned>(uint64_t{x - lo} * 10000 / (hi - lo));
  }
  call.data[0] = static_cast<uint8_t>(pct);
  call.data[1] = static_cast<uint8_t>(pct >> 8);
  call.ReturnLength(2);
  return Status::kOk;
}

}  // namespace mkde
