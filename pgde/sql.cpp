// The SQL side of every operation: statuses of failed statements, lock keys, columns.
#include "pgde/engine.h"

namespace pgde {

Status FromSql(const RoundResult& r, Status busy) {
  if (r.status == RoundStatus::kLost) return Status::kCommunications;
  if (r.status == RoundStatus::kOk) return Status::kOk;
  const std::string& s = r.sqlstate;
  if (s == "23505") return Status::kDuplicateKey;
  // Only a position or a file id drawn past the last one is ever NULL (DrawPosition, Create).
  if (s == "23502") return Status::kDiskFull;
  if (s == "55P03") return busy;
  if (s == "40P01") return Status::kDeadlock;
  if (s == "40001") return Status::kConflict;
  if (s == "57014") return Status::kCommunications;  // the statement ran past its time
  if (s == "53100") return Status::kDiskFull;
  return Status::kIoError;
}

std::string Num(int64_t v) { return std::to_string(v); }

std::string LockKey(const std::string& id, const std::string& pos) {
  return "(" + id + " << 32 | " + pos + ")";
}
std::string LockKey(const File& f, const std::string& pos) {
  return LockKey(Num(f.id) + "::bigint", pos);
}

Statement UnlockRecord(const File& f, int64_t pos) {
  return {"", "SELECT pg_advisory_unlock(" + LockKey(f, "$1::bigint") + ")", {Param::Int(pos)}};
}

std::string DrawPosition(const File& f) {
  return "(SELECT p FROM nextval('vastrel_s" + Num(f.id) +
         "') AS p WHERE p <= " + Num(kMaxPosition) + ")";
}

std::string Col(int k) { return "k" + Num(k); }

}  // namespace pgde
