// Writes: Insert, Update, Update Chunk and Delete.
#include "pgde/engine.h"

#include <algorithm>
#include <cstring>

#include "enginecore/include/wbtrv32.h"

namespace pgde {

namespace {

int64_t GetSigned(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= uint64_t{p[i]} << (8 * i);
  if (n < 8 && (v & (uint64_t{1} << (8 * n - 1)))) v |= ~((uint64_t{1} << (8 * n)) - 1);
  return static_cast<int64_t>(v);
}

void PutSigned(uint8_t* p, size_t n, int64_t value) {
  for (size_t i = 0; i < n; ++i)
    p[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
}

}  // namespace

Status Engine::Insert(Call& call) {
  Handle* h = call.handle;
  const File& f = *h->file;
  if (FileHeldByOther(call.client, f.id)) return Status::kFileInUse;
  const FileSpec& spec = f.spec;
  int k = -1;
  Status status = mkde::core::InsertKey(call, spec, &k);
  if (status != Status::kOk) return status;
  if (!h->writable()) return Status::kAccessDenied;
  std::string record;
  status = mkde::core::RecordFromCaller(call, spec, &record);
  if (status != Status::kOk) return status;
  Client* c = call.client;
  std::vector<Statement> round;
  if (Status held = HoldFile(h, &round); held != Status::kOk) return held;
  bool holding = !round.empty();
  // Autoincrement keys left 0 take the key's high value + 1 from a counter row that changes
  // in the insert's own transaction: a refused insert or an aborted transaction takes no
  // value, a deleted highest value is not handed out again, and two clients inserting at
  // once wait for each other's counter rather than clash.
  std::string counters = "vastrel_a" + Num(f.id);
  std::vector<int64_t> assign;
  std::vector<Statement> after;
  for (size_t i = 0; i < spec.keys.size(); ++i) {
    const mkde::Segment* seg = spec.keys[i].autoincrement();
    if (!seg) continue;
    int64_t given = GetSigned(reinterpret_cast<uint8_t*>(record.data()) + seg->offset, seg->length);
    if (given == 0) {
      assign.push_back(static_cast<int64_t>(i));
    } else if (given > 0) {
      after.push_back(
          {f.prefix + "high",
           "UPDATE " + counters + " SET high = greatest(high, $1::bigint) WHERE k = $2::bigint",
           {Param::Int(given), Param::Int(static_cast<int64_t>(i))}});
    }
  }
  enum { kNoScope, kOwnTransaction, kSavepoint } scope = kNoScope;
  auto undo = [&](Status s) {
    if (scope == kOwnTransaction) Exec(c, "ROLLBACK");
    if (scope == kSavepoint) {
      Exec(c, "ROLLBACK TO SAVEPOINT vastrel_ai; RELEASE SAVEPOINT vastrel_ai");
    }
    scope = kNoScope;
    return s;
  };
  if (!assign.empty()) {
    RoundResult b = Exec(c, c->in_transaction ? "SAVEPOINT vastrel_ai" : "BEGIN");
    if (b.status != RoundStatus::kOk) return FromSql(b, Status::kFileInUse);
    scope = c->in_transaction ? kSavepoint : kOwnTransaction;
    size_t first = round.size();
    for (int64_t i : assign) {
      round.push_back(
          {f.prefix + "step",
           "UPDATE " + counters + " SET high = high + 1 WHERE k = $1::bigint RETURNING high",
           {Param::Int(i)}});
    }
    RoundResult r = Round(c, round);
    if (r.status != RoundStatus::kOk) return undo(FromSql(r, Status::kFileInUse));
    if (holding) {
      c->held.push_back(f.id);
      holding = false;
    }
    for (size_t j = 0; j < assign.size(); ++j) {
      const mkde::Segment& seg = *spec.keys[assign[j]].autoincrement();
      PGresult* res = r.results[first + j].get();
      if (PQntuples(res) != 1) return undo(Status::kIoError);
      int64_t value = GetInt(res, 0, 0);
      int64_t max = seg.length >= 8 ? INT64_MAX : (int64_t{1} << (8 * seg.length - 1)) - 1;
      if (value > max) return undo(Status::kDuplicateKey);  // the key's range is used up
      PutSigned(reinterpret_cast<uint8_t*>(record.data()) + seg.offset, seg.length, value);
    }
    round.clear();
  }
  std::vector<Param> params = KeyParams(f, record);
  std::string cols, values;
  for (size_t i = 0; i < f.key_count(); ++i) {
    cols += ", " + Col(static_cast<int>(i));
    values += ", $" + Num(static_cast<int64_t>(i) + 3) + "::bytea";
  }
  int64_t pos = 0;
  std::string stored;
  if (f.encrypted()) {
    // The position is bound into the sealed record, so it is drawn first.
    round.push_back({f.prefix + "nextval", "SELECT " + DrawPosition(f), {}});
    RoundResult r = Round(c, round);
    if (r.status != RoundStatus::kOk) return undo(FromSql(r, Status::kFileInUse));
    if (holding) {
      c->held.push_back(f.id);
      holding = false;
    }
    if (PQgetisnull(r.results.back().get(), 0, 0)) return undo(Status::kDiskFull);
    pos = GetInt(r.results.back().get(), 0, 0);
    round.clear();
    status = SealForStore(f, pos, record, &stored);
    if (status != Status::kOk) return undo(status);
    params.insert(params.begin(), {Param::Int(pos), Param::Bytes(stored)});
    round.push_back({f.prefix + "insp",
                     "INSERT INTO " + f.table + " (pos, chg, rec" + cols +
                         ") VALUES ($1::bigint, 0, $2::bytea" + values + ") RETURNING pos",
                     std::move(params)});
  } else {
    params.insert(params.begin(), {Param::Int(0), Param::Bytes(record)});
    round.push_back({f.prefix + "ins",
                     "INSERT INTO " + f.table + " (pos, chg, rec" + cols + ") VALUES (" +
                         DrawPosition(f) + " + $1::bigint, 0, $2::bytea" + values +
                         ") RETURNING pos",
                     std::move(params)});
  }
  size_t insert_at = round.size() - 1;
  for (Statement& st : after) round.push_back(std::move(st));
  if (scope == kOwnTransaction) round.push_back({"", "COMMIT", {}});
  RoundResult r = Round(c, round);
  if (r.status != RoundStatus::kOk) return undo(FromSql(r, Status::kFileInUse));
  if (scope == kSavepoint) {
    RoundResult e = Exec(c, "RELEASE SAVEPOINT vastrel_ai");
    if (e.status != RoundStatus::kOk) return FromSql(e, Status::kFileInUse);
  }
  if (holding) c->held.push_back(f.id);
  pos = GetInt(r.results[insert_at].get(), 0, 0);
  std::memcpy(call.data, record.data(), std::min<size_t>(record.size(), call.data_len));
  if (k >= 0) {
    std::string value = mkde::ExtractValue(
        spec.keys[k], reinterpret_cast<const uint8_t*>(record.data()), record.size());
    std::memcpy(call.key, value.data(), value.size());
  }
  Place(h, k, record, pos, 0, false);
  return Status::kOk;
}

Status Engine::WriteMissed(Client* c, const File& f, int64_t pos) {
  RoundResult r =
      One(c, {"",
              "SELECT pg_try_advisory_xact_lock_shared(" + LockKey(f, "$1::bigint") + ")",
              {Param::Int(pos)}});
  if (r.status != RoundStatus::kOk) return FromSql(r, Status::kRecordInUse);
  return GetBool(r.results[0].get(), 0, 0) ? Status::kConflict : Status::kRecordInUse;
}

Status Engine::Update(Call& call) {
  Handle* h = call.handle;
  const File& f = *h->file;
  if (FileHeldByOther(call.client, f.id)) return Status::kFileInUse;
  const FileSpec& spec = f.spec;
  int k = -1;
  Status status = mkde::core::UpdateKey(call, spec, h->key, h->current && !h->key_only, &k);
  if (status != Status::kOk) return status;
  if (!h->writable()) return Status::kAccessDenied;
  std::string record;
  status = mkde::core::RecordFromCaller(call, spec, &record);
  if (status != Status::kOk) return status;
  return Rewrite(call, k, record);
}

Status Engine::Rewrite(Call& call, int k, const std::string& record) {
  Handle* h = call.handle;
  const File& f = *h->file;
  const FileSpec& spec = f.spec;
  Status status = Status::kOk;
  if (HeldElsewhere(h, h->position)) return Status::kRecordInUse;
  for (const KeyDef& def : spec.keys) {
    if (def.modifiable()) continue;
    auto value = [&](const std::string& r) {
      return mkde::ExtractValue(def, reinterpret_cast<const uint8_t*>(r.data()), r.size());
    };
    if (value(record) != value(h->record)) return Status::kModifiableKey;
  }
  std::string stored;
  status = SealForStore(f, h->position, record, &stored);
  if (status != Status::kOk) return status;
  std::vector<Param> params = KeyParams(f, record);
  std::string sets;
  for (size_t i = 0; i < f.key_count(); ++i) {
    sets += ", " + Col(static_cast<int>(i)) + " = $" + Num(static_cast<int64_t>(i) + 4) + "::bytea";
  }
  params.insert(params.begin(),
                {Param::Bytes(stored), Param::Int(h->position), Param::Int(h->change)});
  Client* c = call.client;
  std::vector<Statement> round;
  if (Status held = HoldFile(h, &round); held != Status::kOk) return held;
  bool holding = !round.empty();
  // Another session's lock on the record refuses the write; inside a transaction the
  // shared lock taken here keeps others from locking the changed record until End.
  std::string update = "UPDATE " + f.table + " SET chg = chg + 1, rec = $1::bytea" + sets +
                       " WHERE pos = $2::bigint AND chg = $3::bigint AND "
                       "pg_try_advisory_xact_lock_shared(" +
                       LockKey(f, "$2::bigint") + ") RETURNING chg";
  // An autoincrement value the new record raises is the key's high value from now on, as
  // one an Insert brings; in the same statement, so that only a write that happened raises it.
  std::string raise;
  for (size_t i = 0; i < spec.keys.size(); ++i) {
    const mkde::Segment* seg = spec.keys[i].autoincrement();
    if (!seg) continue;
    int64_t value =
        GetSigned(reinterpret_cast<const uint8_t*>(record.data()) + seg->offset, seg->length);
    params.push_back(Param::Int(value));
    raise += " WHEN " + Num(static_cast<int64_t>(i)) + " THEN $" +
             Num(static_cast<int64_t>(params.size())) + "::bigint";
  }
  if (!raise.empty()) {
    // Only a counter the value passes is written (and so locked for a transaction's life).
    std::string value = "CASE k" + raise + " ELSE high END";
    update = "WITH u AS (" + update + "), a AS (UPDATE vastrel_a" + Num(f.id) +
             " SET high = " + value + " WHERE " + value +
             " > high AND EXISTS (SELECT 1 FROM u)) SELECT chg FROM u";
  }
  round.push_back({f.prefix + "upd", update, std::move(params)});
  RoundResult r = Round(c, round);
  if (r.status != RoundStatus::kOk) return WriteBusy(c, f, r, holding);
  if (holding) c->held.push_back(f.id);
  if (PQntuples(r.results.back().get()) != 1) return WriteMissed(c, f, h->position);
  int64_t chg = GetInt(r.results.back().get(), 0, 0);
  DropSingleLock(h);
  if (k >= 0 && call.op == BTR_UPDATE) {  // Update checked the key buffer's room (21)
    std::string value = mkde::ExtractValue(
        spec.keys[k], reinterpret_cast<const uint8_t*>(record.data()), record.size());
    std::memcpy(call.key, value.data(), value.size());
  }
  Place(h, k, record, h->position, chg, false);
  return Status::kOk;
}

Status Engine::UpdateChunk(Call& call) {
  Handle* h = call.handle;
  const File& f = *h->file;
  const FileSpec& spec = f.spec;
  if (FileHeldByOther(call.client, f.id)) return Status::kFileInUse;
  std::vector<mkde::core::Chunk> chunks;
  Status status = mkde::core::ParseChunks(call, &chunks);
  if (status != Status::kOk) return status;
  if (!h->current || h->key_only) return Status::kPositionNotSet;
  if (!h->writable()) return Status::kAccessDenied;
  // The chunks go over the record as this block read it; the change counter refuses the
  // write (80) when another client changed it since.
  std::string record = h->record;
  for (const mkde::core::Chunk& c : chunks) {
    status = mkde::core::ApplyChunk(
        spec, c.offset, std::string_view(reinterpret_cast<const char*>(c.bytes), c.length),
        &record);
    if (status != Status::kOk) return status;
  }
  return Rewrite(call, h->key, record);
}

Status Engine::Delete(Call& call) {
  Handle* h = call.handle;
  const File& f = *h->file;
  if (FileHeldByOther(call.client, f.id)) return Status::kFileInUse;
  if (!h->current || h->key_only) return Status::kPositionNotSet;
  if (!h->writable()) return Status::kAccessDenied;
  if (HeldElsewhere(h, h->position)) return Status::kRecordInUse;
  Client* c = call.client;
  std::vector<Statement> round;
  if (Status held = HoldFile(h, &round); held != Status::kOk) return held;
  bool holding = !round.empty();
  round.push_back({f.prefix + "del",
                   "DELETE FROM " + f.table +
                       " WHERE pos = $1::bigint AND chg = $2::bigint AND "
                       "pg_try_advisory_xact_lock_shared(" +
                       LockKey(f, "$1::bigint") + ") RETURNING pos",
                   {Param::Int(h->position), Param::Int(h->change)}});
  RoundResult r = Round(c, round);
  if (r.status != RoundStatus::kOk) return WriteBusy(c, f, r, holding);
  if (holding) c->held.push_back(f.id);
  if (PQntuples(r.results.back().get()) != 1) return WriteMissed(c, f, h->position);
  DropLocksOn(h, h->position);
  h->current = false;
  return Status::kOk;
}

}  // namespace pgde
