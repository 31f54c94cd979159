#include "pgde/session.h"

#include <arpa/inet.h>
#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace pgde {

namespace {

// The server's notices would go to stderr by default; a library never prints.
void Quiet(void*, const PGresult*) {}

// The catalog: one row per record file, its description and owner record. Made under an
// advisory lock so that two first connections do not race to make it.
constexpr char kSchema[] =
    "BEGIN;"
    "SELECT pg_advisory_xact_lock(1447121010);"
    "CREATE TABLE IF NOT EXISTS vastrel_files ("
    " id bigserial PRIMARY KEY,"
    " name bytea NOT NULL UNIQUE,"
    " spec bytea NOT NULL,"
    " owner bytea);"
    "COMMIT;";

// Per-session settings: waits for a lock end in a status, never in a hang.
constexpr char kSettings[] =
    "SET lock_timeout = '3s'; SET deadlock_timeout = '200ms'; SET client_min_messages = error;";

int TimeoutFromEnvironment() {
  const char* t = std::getenv("VASTREL_PG_TIMEOUT");
  if (!t || !*t) return 30000;
  long v = std::strtol(t, nullptr, 10);
  return v > 0 && v < 3600000 ? static_cast<int>(v) : 30000;
}

uint64_t ReadBig(const char* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | static_cast<uint8_t>(p[i]);
  return v;
}

}  // namespace

Session::~Session() { Drop(); }

void Session::Drop() {
  if (conn_) PQfinish(conn_);
  conn_ = nullptr;
  prepared_.clear();
}

bool Session::Connect() {
  if (conn_) return true;
  timeout_ms_ = TimeoutFromEnvironment();
  const char* conninfo = std::getenv("VASTREL_PG");
  // Defaults first: what the connection string says overrides them.
  const char* keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
  const char* values[] = {"10", "vastrel", conninfo ? conninfo : "", nullptr};
  conn_ = PQconnectdbParams(keys, values, 1);
  if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
    Drop();
    return false;
  }
  PQsetNoticeReceiver(conn_, Quiet, nullptr);
  if (PQsetnonblocking(conn_, 1) != 0) {
    Drop();
    return false;
  }
  for (const char* sql : {kSettings, kSchema}) {
    RoundResult r = Exec(sql);
    if (r.status != RoundStatus::kOk) {
      Drop();
      return false;
    }
  }
  return true;
}

bool Session::Wait(bool for_write) {
  pollfd p{};
  p.fd = PQsocket(conn_);
  p.events = for_write ? POLLOUT : POLLIN;
  if (p.fd < 0) return false;
  int rc;
  do {
    rc = ::poll(&p, 1, timeout_ms_);
  } while (rc < 0 && errno == EINTR);
  return rc > 0;
}

bool Session::Flush() {
  for (;;) {
    int rc = PQflush(conn_);
    if (rc == 0) return true;
    if (rc < 0 || !Wait(true)) return false;
    if (!PQconsumeInput(conn_)) return false;
  }
}

RoundResult Session::Lost() {
  Drop();
  RoundResult out;
  out.status = RoundStatus::kLost;
  return out;
}

bool Session::Next(PGresult** r) {
  while (PQisBusy(conn_)) {
    if (!Wait(false) || !PQconsumeInput(conn_)) return false;
  }
  *r = PQgetResult(conn_);
  return true;
}

RoundResult Session::Exec(const std::string& sql) {
  if (!conn_) return Lost();
  RoundResult out;
  if (!PQsendQuery(conn_, sql.c_str()) || !Flush()) return Lost();
  for (;;) {
    PGresult* r;
    if (!Next(&r)) return Lost();
    if (!r) break;
    Result res(r);
    ExecStatusType st = PQresultStatus(r);
    if (st == PGRES_FATAL_ERROR && out.status == RoundStatus::kOk) {
      out.status = RoundStatus::kFailed;
      const char* code = PQresultErrorField(r, PG_DIAG_SQLSTATE);
      out.sqlstate = code ? code : "";
    }
  }
  if (PQstatus(conn_) != CONNECTION_OK) return Lost();
  return out;
}

RoundResult Session::One(Statement statement, bool in_transaction) {
  std::vector<Statement> v;
  v.push_back(std::move(statement));
  return Round(v, in_transaction);
}

RoundResult Session::Round(std::vector<Statement>& statements, bool in_transaction) {
  if (!conn_) return Lost();
  RoundResult out;
  if (!PQenterPipelineMode(conn_)) return Lost();
  // What goes out, in order: each entry says which statement's result it is (-1: one of
  // the engine's own, a prepare or the savepoint).
  std::vector<int> owners;
  // Per entry: the name of a statement prepared by it, else empty.
  std::vector<std::string> prepares;
  if (in_transaction) {
    if (!PQsendQueryParams(conn_, "SAVEPOINT vastrel_call", 0, nullptr, nullptr, nullptr, nullptr,
                           1)) {
      return Lost();
    }
    owners.push_back(-1);
    prepares.emplace_back();
  }
  for (size_t i = 0; i < statements.size(); ++i) {
    Statement& s = statements[i];
    size_t n = s.params.size();
    std::vector<const char*> values(n);
    std::vector<int> lengths(n), formats(n, 1);
    std::vector<std::string> ints(n);
    for (size_t j = 0; j < n; ++j) {
      const Param& p = s.params[j];
      if (p.kind == Param::kNull) {
        values[j] = nullptr;
        lengths[j] = 0;
      } else if (p.kind == Param::kBytes) {
        values[j] = p.bytes.data();
        lengths[j] = static_cast<int>(p.bytes.size());
      } else {
        ints[j].resize(8);
        uint64_t v = static_cast<uint64_t>(p.value);
        for (int b = 0; b < 8; ++b) ints[j][b] = static_cast<char>(v >> (56 - 8 * b));
        values[j] = ints[j].data();
        lengths[j] = 8;
      }
    }
    int ok;
    if (s.name.empty()) {
      ok = PQsendQueryParams(conn_, s.sql.c_str(), static_cast<int>(n), nullptr, values.data(),
                             lengths.data(), formats.data(), 1);
    } else {
      if (!prepared_.count(s.name)) {
        if (!PQsendPrepare(conn_, s.name.c_str(), s.sql.c_str(), 0, nullptr)) return Lost();
        owners.push_back(-1);
        prepares.push_back(s.name);
        prepared_.insert(s.name);
      }
      ok = PQsendQueryPrepared(conn_, s.name.c_str(), static_cast<int>(n), values.data(),
                               lengths.data(), formats.data(), 1);
    }
    if (!ok) return Lost();
    owners.push_back(static_cast<int>(i));
    prepares.emplace_back();
  }
  if (in_transaction) {
    if (!PQsendQueryParams(conn_, "RELEASE SAVEPOINT vastrel_call", 0, nullptr, nullptr, nullptr,
                           nullptr, 1)) {
      return Lost();
    }
    owners.push_back(-1);
    prepares.emplace_back();
  }
  if (!PQpipelineSync(conn_) || !Flush()) return Lost();

  out.results.resize(statements.size());
  bool failed = false;
  for (size_t at = 0; at < owners.size(); ++at) {
    int owner = owners[at];
    PGresult* r;
    if (!Next(&r) || !r) return Lost();
    Result res(r);
    ExecStatusType st = PQresultStatus(r);
    // A prepare that failed, or one skipped after an earlier failure, is not on the server:
    // it is prepared again next time. One that went through stays, whatever came after.
    if (!prepares[at].empty() && st != PGRES_COMMAND_OK) prepared_.erase(prepares[at]);
    if (st == PGRES_FATAL_ERROR && !failed) {
      failed = true;
      out.status = RoundStatus::kFailed;
      const char* code = PQresultErrorField(r, PG_DIAG_SQLSTATE);
      out.sqlstate = code ? code : "";
      out.failed = owner < 0 ? 0 : static_cast<size_t>(owner);
    }
    if (owner >= 0) out.results[owner] = std::move(res);
    // Each query's results end with a null.
    PGresult* end;
    if (!Next(&end)) return Lost();
    if (end) PQclear(end);
  }
  PGresult* sync;
  if (!Next(&sync) || !sync) return Lost();
  bool synced = PQresultStatus(sync) == PGRES_PIPELINE_SYNC;
  PQclear(sync);
  if (!synced || !PQexitPipelineMode(conn_)) return Lost();
  if (failed) {
    out.results.clear();
    if (in_transaction) {
      RoundResult undo = Exec("ROLLBACK TO SAVEPOINT vastrel_call; RELEASE SAVEPOINT vastrel_call");
      if (undo.status == RoundStatus::kLost) return Lost();
    }
  }
  if (PQstatus(conn_) != CONNECTION_OK) return Lost();
  return out;
}

int64_t GetInt(const PGresult* r, int row, int col) {
  if (PQgetisnull(r, row, col)) return 0;
  int n = PQgetlength(r, row, col);
  const char* p = PQgetvalue(r, row, col);
  if (n == 8) return static_cast<int64_t>(ReadBig(p, 8));
  if (n == 4) return static_cast<int32_t>(ReadBig(p, 4));
  if (n == 2) return static_cast<int16_t>(ReadBig(p, 2));
  return 0;
}

std::string GetBytes(const PGresult* r, int row, int col) {
  return std::string(PQgetvalue(r, row, col), PQgetlength(r, row, col));
}

bool GetBool(const PGresult* r, int row, int col) {
  return !PQgetisnull(r, row, col) && PQgetlength(r, row, col) == 1 &&
         PQgetvalue(r, row, col)[0] != 0;
}

}  // namespace pgde
