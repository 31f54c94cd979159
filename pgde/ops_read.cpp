// Reads: the Gets along a key path, the Steps in position order, Get Position, Get Direct,
// and percentages; and the currency every read leaves.
#include "pgde/engine.h"

#include <algorithm>
#include <cstring>

#include "enginecore/coding.h"
#include "enginecore/include/wbtrv32.h"

namespace pgde {

std::string Engine::EntryKey(const File& f, int k, const std::string& record, bool* null) {
  const KeyDef& def = f.spec.keys[k];
  std::string value =
      mkde::ExtractValue(def, reinterpret_cast<const uint8_t*>(record.data()), record.size());
  *null = mkde::IsNullValue(def, reinterpret_cast<const uint8_t*>(value.data()));
  std::string out;
  mkde::EncodeValue(def, reinterpret_cast<const uint8_t*>(value.data()), &out);
  return out;
}

std::vector<Param> Engine::KeyParams(const File& f, const std::string& record) {
  std::vector<Param> out;
  for (size_t k = 0; k < f.key_count(); ++k) {
    bool null = false;
    std::string e = EntryKey(f, static_cast<int>(k), record, &null);
    out.push_back(null ? Param() : Param::Bytes(std::move(e)));
  }
  return out;
}

Status Engine::Deliver(Call& call, int k, int64_t pos, int64_t chg, const std::string& stored,
                       bool key_only) {
  Handle* h = call.handle;
  const File& f = *h->file;
  std::string plain;
  Status status = DecodeStored(f, pos, stored, &plain);
  if (status != Status::kOk) return status;
  if (!key_only) {
    size_t n = std::min<size_t>(plain.size(), call.data_len);
    if (n) std::memcpy(call.data, plain.data(), n);
    call.ReturnLength(static_cast<uint32_t>(n));
    if (n < plain.size()) status = Status::kDataLength;
  }
  if (k >= 0) {
    const KeyDef& def = f.spec.keys[k];
    std::string value =
        mkde::ExtractValue(def, reinterpret_cast<const uint8_t*>(plain.data()), plain.size());
    std::memcpy(call.key, value.data(), value.size());  // key_len checked by the caller
  }
  Place(h, k, std::move(plain), pos, chg, key_only);
  return status;
}

Status Engine::ReadOne(Call& call, int k, const std::string& name, const std::string& where_order,
                       std::vector<Param> params, bool key_only, Status missing) {
  Handle* h = call.handle;
  const File& f = *h->file;
  std::string inner = "SELECT pos, chg, rec FROM " + f.table + " WHERE " + where_order + " LIMIT 1";
  std::string sql = inner;
  std::string stmt = f.prefix + name;
  if (call.lock && FileHeldByOther(call.client, f.id)) return Status::kFileInUse;
  if (call.lock) {
    // The lock is taken on the row found, in the same statement: one round trip.
    sql = "SELECT s.pos, s.chg, s.rec, pg_try_advisory_lock(" + LockKey(f, "s.pos") + ") FROM (" +
          inner + ") s";
    stmt += "_l";
  }
  // A single-record lock ends with the block's next read.
  bool keep_single = false;
  std::vector<Statement> round;
  if (Status held = HoldFile(h, &round); held != Status::kOk) return held;
  size_t at = round.size();
  round.push_back({stmt, sql, std::move(params)});
  RoundResult r = Round(call.client, round);
  if (r.status != RoundStatus::kOk) return FromSql(r, Status::kFileInUse);
  if (at) call.client->held.push_back(f.id);
  PGresult* res = r.results[at].get();
  if (PQntuples(res) != 1) {
    DropSingleLock(h);
    return missing;
  }
  int64_t pos = GetInt(res, 0, 0);
  if (call.lock) {
    bool got = GetBool(res, 0, 3);
    bool already = (h->single_locked && h->single_pos == pos) ||
                   std::find(h->multiple.begin(), h->multiple.end(), pos) != h->multiple.end();
    // A block that holds the record keeps it; its try may fail only for another session
    // waiting for it.
    if (!got && !already) {
      // Another session holds it: a wait may wait on the server.
      wait_file_ = h->file;
      wait_pos_ = pos;
      return Status::kRecordInUse;
    }
    if (got && HeldElsewhere(h, pos)) {
      One(call.client, UnlockRecord(f, pos));
      return Status::kRecordInUse;
    }
    if (!already && call.client->in_transaction) h->txn_locks.push_back(pos);
    if (already && got) {
      // The session counts each lock it takes; this block holds the record once.
      One(call.client, UnlockRecord(f, pos));
    }
    if (call.lock <= 2) {
      keep_single = h->single_locked && h->single_pos == pos;
      if (!keep_single) DropSingleLock(h);
      h->single_locked = true;
      h->single_pos = pos;
    } else {
      DropSingleLock(h);
      if (std::find(h->multiple.begin(), h->multiple.end(), pos) == h->multiple.end()) {
        h->multiple.push_back(pos);
      }
    }
  } else {
    DropSingleLock(h);
  }
  return Deliver(call, k, pos, GetInt(res, 0, 1), GetBytes(res, 0, 2), key_only);
}

Status Engine::GetByKey(Call& call, bool key_only) {
  Handle* h = call.handle;
  const File& f = *h->file;
  if (call.key_num < 0 || static_cast<size_t>(call.key_num) >= f.key_count()) {
    return Status::kInvalidKeyNumber;
  }
  int k = call.key_num;
  const KeyDef& def = f.spec.keys[k];
  if (call.key_len < def.value_length()) return Status::kKeyBufferShort;
  std::string col = Col(k);
  std::string probe;
  std::vector<Param> params;
  if (call.op != BTR_GET_FIRST && call.op != BTR_GET_LAST) {
    mkde::EncodeValue(def, call.key, &probe);
    params.push_back(Param::Bytes(probe));
  }
  std::string asc = " ORDER BY " + col + (def.duplicates() ? ", pos" : "");
  std::string desc = " ORDER BY " + col + " DESC" + (def.duplicates() ? ", pos DESC" : "");
  // Each Get by key: its comparison with the key buffer's value, its direction and the name
  // its statement is prepared under.
  struct Probe {
    int op;
    const char* compare;
    bool descending;
    const char* name;
  };
  static constexpr Probe kProbes[] = {
      {BTR_GET_EQUAL, " = $1::bytea", false, "eq"},
      {BTR_GET_GREATER, " > $1::bytea", false, "gt"},
      {BTR_GET_GREATER_OR_EQUAL, " >= $1::bytea", false, "ge"},
      {BTR_GET_LESS, " < $1::bytea", true, "lt"},
      {BTR_GET_LESS_OR_EQUAL, " <= $1::bytea", true, "le"},
      {BTR_GET_FIRST, " IS NOT NULL", false, "first"},
      {BTR_GET_LAST, " IS NOT NULL", true, "last"},
  };
  const Probe* form = &kProbes[std::size(kProbes) - 1];
  for (const Probe& p : kProbes) {
    if (p.op == call.op) form = &p;
  }
  std::string where = col + form->compare + (form->descending ? desc : asc);
  std::string name = form->name;
  Status missing = call.op == BTR_GET_EQUAL ? Status::kKeyNotFound : Status::kEndOfFile;
  return ReadOne(call, k, name + Num(k), where, std::move(params), key_only, missing);
}

Status Engine::GetNextPrevious(Call& call, bool key_only) {
  Handle* h = call.handle;
  const File& f = *h->file;
  if (h->key < 0) return Status::kPositionNotSet;
  if (call.key_num != h->key) return Status::kDifferentKeyNumber;
  int k = h->key;
  const KeyDef& def = f.spec.keys[k];
  if (call.key_len < def.value_length()) return Status::kKeyBufferShort;
  std::string col = Col(k);
  bool next = call.op == BTR_GET_NEXT;
  std::string where;
  std::vector<Param> params{Param::Bytes(h->entry)};
  if (def.duplicates()) {
    where = "(" + col + ", pos) " + (next ? ">" : "<") + " ($1::bytea, $2::bigint) ORDER BY " +
            col + (next ? ", pos" : " DESC, pos DESC");
    params.push_back(Param::Int(h->entry_pos));
  } else {
    where = col + (next ? " > " : " < ") + "$1::bytea ORDER BY " + col + (next ? "" : " DESC");
  }
  return ReadOne(call, k, (next ? "next" : "prev") + Num(k), where, std::move(params), key_only,
                 Status::kEndOfFile);
}

Status Engine::Step(Call& call) {
  Handle* h = call.handle;
  std::vector<Param> params;
  std::string where, name;
  switch (call.op) {
    case BTR_STEP_FIRST:
      where = "true ORDER BY pos";
      name = "sfirst";
      break;
    case BTR_STEP_LAST:
      where = "true ORDER BY pos DESC";
      name = "slast";
      break;
    case BTR_STEP_NEXT:
      if (!h->physical) return Status::kPositionNotSet;
      where = "pos > $1::bigint ORDER BY pos";
      name = "snext";
      params.push_back(Param::Int(h->physical_position));
      break;
    default:
      if (!h->physical) return Status::kPositionNotSet;
      where = "pos < $1::bigint ORDER BY pos DESC";
      name = "sprev";
      params.push_back(Param::Int(h->physical_position));
      break;
  }
  return ReadOne(call, -1, name, where, std::move(params), false, Status::kEndOfFile);
}

Status Engine::GetPosition(Call& call) {
  Handle* h = call.handle;
  if (!h->current) return Status::kPositionNotSet;
  if (call.data_len < 4) return Status::kDataLength;
  // Past the last position only through a file written before positions were bounded.
  if (h->position > kMaxPosition) return Status::kIoError;
  mkde::EncodeFixed32(call.data, static_cast<uint32_t>(h->position));
  call.ReturnLength(4);
  return Status::kOk;
}

Status Engine::GetDirect(Call& call) {
  Handle* h = call.handle;
  const File& f = *h->file;
  if (call.data_len < 4) return Status::kDataLength;
  int64_t pos = mkde::DecodeFixed32(call.data);
  int k = call.key_num;
  if (k >= 0) {
    if (static_cast<size_t>(k) >= f.key_count()) return Status::kInvalidKeyNumber;
    if (call.key_len < f.spec.keys[k].value_length()) return Status::kKeyBufferShort;
  } else {
    k = -1;
  }
  return ReadOne(call, k, "direct", "pos = $1::bigint", {Param::Int(pos)}, false,
                 Status::kInvalidAddress);
}

Status Engine::GetByPercentage(Call& call) {
  Handle* h = call.handle;
  const File& f = *h->file;
  if (call.data_len < 2) return Status::kDataLength;
  int64_t pct = mkde::DecodeFixed16(call.data);
  if (pct > 10000) return Status::kInvalidFunction;
  int k = call.key_num;
  if (k >= 0) {
    if (static_cast<size_t>(k) >= f.key_count()) return Status::kInvalidKeyNumber;
    if (call.key_len < f.spec.keys[k].value_length()) return Status::kKeyBufferShort;
  } else if (k != -1) {
    return Status::kInvalidKeyNumber;
  }
  std::string where, order;
  if (k >= 0) {
    where = Col(k) + " IS NOT NULL";
    order = Col(k) + (f.spec.keys[k].duplicates() ? ", pos" : "");
  } else {
    where = "true";
    order = "pos";
  }
  std::string sql = where + " ORDER BY " + order +
                    " OFFSET (SELECT greatest(0, (count(*) - 1) * $1::bigint / 10000) FROM " +
                    f.table + " WHERE " + where + ")";
  return ReadOne(call, k, "pct" + Num(k), sql, {Param::Int(pct)}, false, Status::kEndOfFile);
}

Status Engine::FindPercentage(Call& call) {
  Handle* h = call.handle;
  const File& f = *h->file;
  int k = call.key_num;
  if (k >= 0 && static_cast<size_t>(k) >= f.key_count()) return Status::kInvalidKeyNumber;
  if (k < -1) return Status::kInvalidKeyNumber;
  if (!h->current) return Status::kPositionNotSet;
  if (call.data_len < 2) return Status::kDataLength;
  std::string sql;
  std::vector<Param> params;
  if (k >= 0) {
    bool null = false;
    std::string entry = EntryKey(f, k, h->record, &null);
    std::string col = Col(k);
    std::string before = f.spec.keys[k].duplicates()
                             ? "(" + col + ", pos) < ($1::bytea, $2::bigint)"
                             : col + " < $1::bytea";
    sql = "SELECT count(*) FILTER (WHERE " + before + "), count(*) FROM " + f.table + " WHERE " +
          col + " IS NOT NULL";
    params.push_back(Param::Bytes(entry));
    if (f.spec.keys[k].duplicates()) params.push_back(Param::Int(h->position));
  } else {
    sql = "SELECT count(*) FILTER (WHERE pos < $1::bigint), count(*) FROM " + f.table;
    params.push_back(Param::Int(h->position));
  }
  std::vector<Statement> round;
  if (Status held = HoldFile(h, &round); held != Status::kOk) return held;
  size_t at = round.size();
  round.push_back({f.prefix + "rank" + Num(k), sql, std::move(params)});
  RoundResult r = Round(call.client, round);
  if (r.status != RoundStatus::kOk) return FromSql(r, Status::kFileInUse);
  if (at) call.client->held.push_back(f.id);
  int64_t before = GetInt(r.results[at].get(), 0, 0), count = GetInt(r.results[at].get(), 0, 1);
  if (count == 0) return Status::kPositionNotSet;
  int64_t pct = count > 1 ? std::min<int64_t>(before, count - 1) * 10000 / (count - 1) : 0;
  mkde::EncodeFixed16(call.data, static_cast<uint16_t>(pct));
  call.ReturnLength(2);
  return Status::kOk;
}

void Engine::Place(Handle* h, int k, std::string record, int64_t pos, int64_t chg, bool key_only) {
  if (k >= 0) {
    bool null = false;
    h->entry = EntryKey(*h->file, k, record, &null);
    h->entry_pos = pos;
  }
  h->Place(k, pos, chg, key_only);
  h->record = std::move(record);
}

}  // namespace pgde
