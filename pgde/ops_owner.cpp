// Owner names: Set Owner and Clear Owner, and records between their plain and stored forms.
#include "pgde/engine.h"

namespace pgde {

namespace {

// A record between its plain and its stored form: `cipher` (sealing or opening) at owner
// levels that encrypt, a copy otherwise.
using RecordCipher = mkde::CryptoStatus (*)(const mkde::SecretKey&, uint32_t, const uint8_t*,
                                            size_t, std::string*);
Status Cipher(const File& f, int64_t pos, const std::string& in, std::string* out,
              RecordCipher cipher) {
  if (!f.encrypted()) {
    *out = in;
    return Status::kOk;
  }
  return cipher(f.key, static_cast<uint32_t>(pos), reinterpret_cast<const uint8_t*>(in.data()),
                in.size(), out) == mkde::CryptoStatus::kOk
             ? Status::kOk
             : Status::kIoError;
}

}  // namespace

Status DecodeStored(const File& f, int64_t pos, const std::string& stored, std::string* plain) {
  return Cipher(f, pos, stored, plain, mkde::OpenRecord);
}
Status SealForStore(const File& f, int64_t pos, const std::string& plain, std::string* stored) {
  return Cipher(f, pos, plain, stored, mkde::SealRecord);
}

Status Engine::SetOwner(Call& call) {
  Handle* h = call.handle;
  File& f = *h->file;
  if (call.client->in_transaction) return Status::kOperationNotAllowed;
  if (!h->writable()) return Status::kAccessDenied;
  if (f.has_owner) return Status::kOwnerSet;
  std::string_view name;
  Status status = mkde::core::OwnerNameFromKey(call, &name);
  if (status != Status::kOk) return status;
  if (OfFile(f.id).size() > 1) return Status::kFileInUse;
  mkde::OwnerRecord record;
  mkde::SecretKey key;
  status = mkde::core::CryptoToStatus(mkde::MakeOwner(name, call.key_num, &record, &key));
  if (status != Status::kOk) return status;
  RecordRestore seal = nullptr;
  if (mkde::OwnerLevelEncrypts(record.level)) {
    seal = [&](int64_t pos, const std::string& plain, std::string* sealed) {
      return mkde::SealRecord(key, static_cast<uint32_t>(pos),
                              reinterpret_cast<const uint8_t*>(plain.data()), plain.size(),
                              sealed) == mkde::CryptoStatus::kOk
                 ? Status::kOk
                 : Status::kIoError;
    };
  }
  status = ChangeOwner(call.client, f, seal, Param::Bytes(mkde::EncodeOwner(record)));
  if (status != Status::kOk) return status;
  f.has_owner = true;
  f.level = record.level;
  f.key = std::move(key);
  return Status::kOk;
}

Status Engine::ClearOwner(Call& call) {
  Handle* h = call.handle;
  File& f = *h->file;
  if (call.client->in_transaction) return Status::kOperationNotAllowed;
  if (!h->writable()) return Status::kAccessDenied;
  if (!f.has_owner) return Status::kOk;
  if (OfFile(f.id).size() > 1) return Status::kFileInUse;
  RecordRestore open = nullptr;
  if (f.encrypted()) {
    open = [&](int64_t pos, const std::string& sealed, std::string* plain) {
      return DecodeStored(f, pos, sealed, plain);
    };
  }
  Status status = ChangeOwner(call.client, f, open, Param());
  if (status != Status::kOk) return status;
  f.has_owner = false;
  f.level = 0;
  f.key = mkde::SecretKey();
  return Status::kOk;
}

Status Engine::ChangeOwner(Client* c, const File& f, const RecordRestore& restore, Param owner) {
  const bool setting = owner.kind != Param::kNull;
  auto fail = [&](Status s) {
    Exec(c, "ROLLBACK");
    return s;
  };
  if (Exec(c, "BEGIN").status != RoundStatus::kOk) return Status::kCommunications;
  // No other open anywhere: the shared open locks of other sessions stand in the way.
  RoundResult r = One(c, {"",
                          "SELECT pg_try_advisory_xact_lock(0, $1::bigint::int), "
                          "(SELECT owner IS NOT NULL FROM vastrel_files WHERE id = $1::bigint "
                          "FOR UPDATE)",
                          {Param::Int(f.id)}});
  if (r.status != RoundStatus::kOk) return fail(FromSql(r, Status::kFileInUse));
  if (!GetBool(r.results[0].get(), 0, 0)) return fail(Status::kFileInUse);
  if (setting && GetBool(r.results[0].get(), 0, 1)) return fail(Status::kOwnerSet);
  std::vector<Statement> round;
  if (restore) {
    // The records go in their new form into a new table that takes the old one's place: an
    // update in place would leave the old row versions, the plain records, in the table's
    // files until the server happened to reuse their space.
    std::vector<Statement> read;
    read.push_back({"", "LOCK TABLE " + f.table + " IN ACCESS EXCLUSIVE MODE", {}});
    read.push_back({"", "SELECT pos, rec FROM " + f.table, {}});
    r = Round(c, read);
    if (r.status != RoundStatus::kOk) return fail(FromSql(r, Status::kFileInUse));
    std::string fresh = "vastrel_n" + Num(f.id), keys;
    for (size_t k = 0; k < f.key_count(); ++k) keys += ", " + Col(static_cast<int>(k));
    round.push_back({"", "CREATE TABLE " + fresh + " (LIKE " + f.table + " INCLUDING ALL)", {}});
    PGresult* res = r.results[1].get();
    for (int i = 0; i < PQntuples(res); ++i) {
      int64_t pos = GetInt(res, i, 0);
      std::string was = GetBytes(res, i, 1), now;
      if (restore(pos, was, &now) != Status::kOk) return fail(Status::kIoError);
      round.push_back({"",
                       "INSERT INTO " + fresh + " (pos, chg, rec" + keys + ") SELECT pos, chg, " +
                           "$1::bytea" + keys + " FROM " + f.table + " WHERE pos = $2::bigint",
                       {Param::Bytes(std::move(now)), Param::Int(pos)}});
    }
    round.push_back({"", "DROP TABLE " + f.table, {}});
    round.push_back({"", "ALTER TABLE " + fresh + " RENAME TO " + f.table, {}});
  }
  round.push_back({"",
                   "UPDATE vastrel_files SET owner = $1::bytea WHERE id = $2::bigint",
                   {std::move(owner), Param::Int(f.id)}});
  r = Round(c, round);
  if (r.status != RoundStatus::kOk) return fail(FromSql(r, Status::kFileInUse));
  r = Exec(c, "COMMIT");
  if (r.status != RoundStatus::kOk) return FromSql(r, Status::kFileInUse);
  return Status::kOk;
}

}  // namespace pgde
