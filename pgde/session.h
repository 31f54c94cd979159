// One client's connection to the PostgreSQL server, and the one way statements travel on it.
//
// Every call's statements go out as one pipeline (prepared on first use, in the same
// pipeline) and come back within a deadline, so that a call costs one round trip and never
// hangs: a server that does not answer in time, or a connection that drops, ends the
// connection and answers kLost. The next use connects again. Parameters and results travel
// in binary; names and buffers are always parameters, never part of a statement's text.
// Not thread-safe: the engine serialises its calls.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace pgde {

// A parameter: bytes (bytea), a 64-bit integer (bigint), or SQL NULL.
struct Param {
  enum Kind { kBytes, kInt, kNull } kind = kNull;
  std::string bytes;
  int64_t value = 0;
  static Param Bytes(std::string b) {
    Param p;
    p.kind = kBytes;
    p.bytes = std::move(b);
    return p;
  }
  static Param Bytes(const void* data, size_t n) {
    return Bytes(std::string(static_cast<const char*>(data), n));
  }
  static Param Int(int64_t v) {
    Param p;
    p.kind = kInt;
    p.value = v;
    return p;
  }
};

// One statement of a round: a name it is prepared under (empty: run unprepared) and its text.
// Parameter types are given in the text with casts ($1::bytea, $2::bigint).
struct Statement {
  std::string name;
  std::string sql;
  std::vector<Param> params;
};

// A result owned until destruction.
struct ResultDeleter {
  void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// How a round ended.
enum class RoundStatus {
  kOk,
  kFailed,  // a statement failed; `sqlstate` says why; the connection lives on
  kLost,    // no connection, a dropped one, or no answer before the deadline
};

struct RoundResult {
  RoundStatus status = RoundStatus::kOk;
  std::string sqlstate;         // of the failing statement
  size_t failed = 0;            // index of the failing statement
  std::vector<Result> results;  // one per statement, for kOk
};

class Session {
 public:
  Session() = default;
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Connects when not connected: the connection string from VASTREL_PG (libpq's own
  // environment variables fill in the rest), the catalog made when missing. False when the
  // server cannot be reached.
  bool Connect();
  bool connected() const { return conn_ != nullptr; }
  // Drops the connection (the server ends its transaction and its session locks).
  void Drop();
  // In a child after fork(): the connection is the parent's; it is let go unused.
  void Forget() {
    conn_ = nullptr;
    prepared_.clear();
  }

  // Sends the statements as one pipeline and collects their results. A failing statement
  // aborts those after it. Inside a transaction (in_transaction) the round is wrapped in a
  // savepoint, so that a failing statement leaves the transaction as it was.
  RoundResult Round(std::vector<Statement>& statements, bool in_transaction);
  // One statement, the common case.
  RoundResult One(Statement statement, bool in_transaction);
  // Plain SQL text without parameters (transaction control, schema), one round trip.
  RoundResult Exec(const std::string& sql);

 private:
  bool Wait(bool for_write);
  bool Flush();
  // The next result of what was sent (nullptr after the last); false when the connection
  // failed or the deadline passed.
  bool Next(PGresult** r);
  // Drops the connection and answers kLost.
  RoundResult Lost();

  PGconn* conn_ = nullptr;
  std::set<std::string> prepared_;
  int timeout_ms_ = 30000;
};

// Binary result readers.
int64_t GetInt(const PGresult* r, int row, int col);
std::string GetBytes(const PGresult* r, int row, int col);
bool GetBool(const PGresult* r, int row, int col);

}  // namespace pgde
