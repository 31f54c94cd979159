// Files: Version, Open, Close, Stop and Reset, Create and Stat.
#include "pgde/engine.h"

#include <algorithm>
#include <cstring>

#include "enginecore/include/wbtrv32.h"

namespace pgde {

Status Engine::Version(Call& call) { return mkde::core::VersionReply(call); }

Status Engine::Open(Call& call) {
  if (!call.pos_block) return Status::kPosBlockLength;
  OpenMode mode;
  if (!mkde::core::OpenModeFrom(call.key_num, &mode)) return Status::kInvalidFunction;
  std::string path;
  if (!mkde::core::PathFromKey(call, &path)) return Status::kInvalidFileName;
  Client* c = call.client;
  // The catalog row and the open's advisory lock in one statement.
  const char* sql =
      mode == OpenMode::kExclusive
          ? "SELECT id, spec, owner, CASE WHEN id BETWEEN 1 AND 2147483647 THEN "
            "pg_try_advisory_lock(0, id::int) END FROM vastrel_files WHERE name = $1::bytea"
          : "SELECT id, spec, owner, CASE WHEN id BETWEEN 1 AND 2147483647 THEN "
            "pg_try_advisory_lock_shared(0, id::int) END FROM vastrel_files WHERE name = $1::bytea";
  RoundResult r =
      One(c, {mode == OpenMode::kExclusive ? "open_x" : "open_s", sql, {Param::Bytes(path)}});
  if (r.status != RoundStatus::kOk) return FromSql(r, Status::kFileInUse);
  PGresult* res = r.results[0].get();
  if (PQntuples(res) != 1) return Status::kFileNotFound;
  auto file = std::make_shared<File>();
  file->id = GetInt(res, 0, 0);
  // A catalog row with an id no lock can carry is none this engine made.
  if (file->id < 1 || file->id > kMaxFileId) return Status::kIoError;
  if (!GetBool(res, 0, 3)) return Status::kIncompatibleMode;
  auto unlock = [&] {
    One(c, {"",
            mode == OpenMode::kExclusive ? "SELECT pg_advisory_unlock(0, $1::bigint::int)"
                                         : "SELECT pg_advisory_unlock_shared(0, $1::bigint::int)",
            {Param::Int(file->id)}});
  };
  if (FileHeldByOther(c, file->id)) {
    unlock();
    return Status::kFileInUse;
  }
  std::string spec = GetBytes(res, 0, 1), reason;
  if (!mkde::DecodeFileSpec(reinterpret_cast<const uint8_t*>(spec.data()), spec.size(), &file->spec,
                            &reason)) {
    unlock();
    return Status::kNotAFile;
  }
  file->table = "vastrel_r" + Num(file->id);
  file->prefix = "f" + Num(file->id) + "_";
  // An exclusive open of this client in this process keeps other blocks of the same client
  // out too only through the server; other clients are kept out by the server's lock.
  bool owner_read_only = false;
  if (!PQgetisnull(res, 0, 2)) {
    std::string stored = GetBytes(res, 0, 2);
    mkde::OwnerRecord owner;
    if (!mkde::DecodeOwner(reinterpret_cast<const uint8_t*>(stored.data()), stored.size(), &owner,
                           &reason)) {
      unlock();
      return Status::kIoError;
    }
    file->has_owner = true;
    file->level = owner.level;
    mkde::SecretKey key;
    mkde::Status checked =
        mkde::core::OwnerAtOpen(owner, mkde::core::OwnerNameFromData(call), &key, &owner_read_only);
    if (checked != mkde::Status::kOk) {
      unlock();
      return checked;
    }
    file->key = std::move(key);
  }
  Handle* h = NewHandle(std::move(file), c);
  h->mode = mode;
  h->owner_read_only = owner_read_only;
  WriteBlock(*h, call.pos_block);
  return Status::kOk;
}

Status Engine::Close(Call& call) {
  Handle* h = call.handle;
  std::vector<Statement> round;
  std::vector<int64_t> locks = h->multiple;
  if (h->single_locked && std::find(locks.begin(), locks.end(), h->single_pos) == locks.end()) {
    locks.push_back(h->single_pos);
  }
  for (int64_t pos : locks) round.push_back(UnlockRecord(*h->file, pos));
  if (!h->open_lost) {
    round.push_back({"",
                     h->mode == OpenMode::kExclusive
                         ? "SELECT pg_advisory_unlock(0, $1::bigint::int)"
                         : "SELECT pg_advisory_unlock_shared(0, $1::bigint::int)",
                     {Param::Int(h->file->id)}});
  }
  if (call.client->session.connected() && !round.empty()) Round(call.client, round);
  std::memset(call.pos_block, 0, BTR_POS_BLOCK_SIZE);
  Destroy(h);
  return Status::kOk;
}

Status Engine::StopClient(Call& call) {
  Client* c = call.client;
  if (c->in_transaction) {
    c->in_transaction = false;
    Exec(c, "ROLLBACK");
    ReleaseHeld(c);
  }
  for (Handle* h : OfClient(c)) Destroy(h);
  // Every lock and open the client's session held goes with it.
  if (c->session.connected()) Exec(c, "SELECT pg_advisory_unlock_all()");
  return Status::kOk;
}

Status Engine::Create(Call& call) {
  std::string path;
  if (!mkde::core::PathFromKey(call, &path)) return Status::kInvalidFileName;
  FileSpec spec;
  Status status = mkde::ParseCreateBuffer(call.data, call.data_len, &spec);
  if (status != Status::kOk) return status;
  Client* c = call.client;
  bool own_txn = !c->in_transaction;
  auto fail = [&](Status s) {
    if (own_txn) Exec(c, "ROLLBACK");
    return s;
  };
  if (own_txn && Exec(c, "BEGIN").status != RoundStatus::kOk) return Status::kCommunications;
  // Catalog changes go one at a time; the file's own open lock says whether it is in use.
  RoundResult r = One(c, {"",
                          "SELECT pg_advisory_xact_lock(1447121010), "
                          "(SELECT id FROM vastrel_files WHERE name = $1::bytea)",
                          {Param::Bytes(path)}});
  if (r.status != RoundStatus::kOk) return fail(FromSql(r, Status::kFileInUse));
  if (!PQgetisnull(r.results[0].get(), 0, 1)) {
    int64_t old = GetInt(r.results[0].get(), 0, 1);
    if (call.key_num == -1) return fail(Status::kFileExists);
    if (!OfFile(old).empty()) return fail(Status::kFileInUse);
    r = One(c, {"", "SELECT pg_try_advisory_xact_lock(0, $1::bigint::int)", {Param::Int(old)}});
    if (r.status != RoundStatus::kOk) return fail(FromSql(r, Status::kFileInUse));
    if (!GetBool(r.results[0].get(), 0, 0)) return fail(Status::kFileInUse);
    std::vector<Statement> drop;
    drop.push_back({"", "DROP TABLE IF EXISTS vastrel_r" + Num(old), {}});
    drop.push_back({"", "DROP SEQUENCE IF EXISTS vastrel_s" + Num(old), {}});
    drop.push_back({"", "DROP TABLE IF EXISTS vastrel_a" + Num(old), {}});
    drop.push_back({"", "DELETE FROM vastrel_files WHERE id = $1::bigint", {Param::Int(old)}});
    r = Round(c, drop);
    if (r.status != RoundStatus::kOk) return fail(FromSql(r, Status::kFileInUse));
  }
  // An id past the last is NULL, which the catalog refuses (23502: no room for another file).
  r = One(c, {"",
              "INSERT INTO vastrel_files (id, name, spec) VALUES ((SELECT i FROM "
              "nextval('vastrel_files_id_seq') AS i WHERE i <= " +
                  Num(kMaxFileId) + "), $1::bytea, $2::bytea) RETURNING id",
              {Param::Bytes(path), Param::Bytes(mkde::EncodeFileSpec(spec))}});
  if (r.status != RoundStatus::kOk) return fail(FromSql(r, Status::kCannotCreate));
  int64_t id = GetInt(r.results[0].get(), 0, 0);
  std::string t = "vastrel_r" + Num(id);
  std::string ddl = "CREATE SEQUENCE vastrel_s" + Num(id) + "; CREATE TABLE " + t +
                    " (pos bigint PRIMARY KEY, chg bigint NOT NULL, rec bytea NOT NULL";
  for (size_t k = 0; k < spec.keys.size(); ++k) ddl += ", " + Col(static_cast<int>(k)) + " bytea";
  ddl += ");";
  bool counters = false;  // the autoincrement keys' counters
  for (size_t k = 0; k < spec.keys.size(); ++k) {
    std::string col = Col(static_cast<int>(k));
    if (spec.keys[k].autoincrement()) {
      if (!counters) {
        ddl +=
            "CREATE TABLE vastrel_a" + Num(id) + " (k bigint PRIMARY KEY, high bigint NOT NULL);";
        counters = true;
      }
      ddl +=
          "INSERT INTO vastrel_a" + Num(id) + " VALUES (" + Num(static_cast<int64_t>(k)) + ", 0);";
    }
    if (spec.keys[k].duplicates()) {
      ddl += "CREATE INDEX ON " + t + " (" + col + ", pos);";
    } else {
      ddl += "CREATE UNIQUE INDEX ON " + t + " (" + col + ");";
    }
  }
  RoundResult d = Exec(c, ddl);
  if (d.status != RoundStatus::kOk) return fail(FromSql(d, Status::kCannotCreate));
  if (own_txn) {
    RoundResult e = Exec(c, "COMMIT");
    if (e.status != RoundStatus::kOk) return FromSql(e, Status::kCannotCreate);
  }
  return Status::kOk;
}

Status Engine::Stat(Call& call) {
  Handle* h = call.handle;
  const File& f = *h->file;
  std::string sql = "SELECT count(*)";
  for (size_t k = 0; k < f.key_count(); ++k) {
    sql += ", count(DISTINCT " + Col(static_cast<int>(k)) + ")";
  }
  sql += " FROM " + f.table;
  std::vector<Statement> round;
  if (Status held = HoldFile(h, &round); held != Status::kOk) return held;
  size_t at = round.size();
  round.push_back({f.prefix + "stat", sql, {}});
  RoundResult r = Round(call.client, round);
  if (r.status != RoundStatus::kOk) return FromSql(r, Status::kFileInUse);
  if (at) call.client->held.push_back(f.id);
  PGresult* res = r.results[at].get();
  int64_t count = GetInt(res, 0, 0);
  std::vector<uint32_t> unique;
  for (size_t k = 0; k < f.key_count(); ++k) {
    unique.push_back(static_cast<uint32_t>(GetInt(res, 0, static_cast<int>(k) + 1)));
  }
  size_t n =
      mkde::BuildStatReply(f.spec, static_cast<uint32_t>(std::min<int64_t>(count, UINT32_MAX)),
                           unique, call.data, call.data_len);
  if (n == 0) return Status::kDataLength;
  call.ReturnLength(static_cast<uint32_t>(n));
  return Status::kOk;
}

}  // namespace pgde
