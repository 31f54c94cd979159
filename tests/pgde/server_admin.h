// A connection of the test's own to the server, beside the engine's, to look at and act on
// the engine's sessions; and a name that sets the sessions of this test process apart from
// any other test's on the same server.
#pragma once

#include <libpq-fe.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace mkde_test {

class Admin {
 public:
  Admin() : Admin(getenv("VASTREL_PG") ? getenv("VASTREL_PG") : "") {}
  explicit Admin(const std::string& conninfo) : conn_(PQconnectdb(conninfo.c_str())) {
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
  }
  ~Admin() { PQfinish(conn_); }
  Admin(const Admin&) = delete;
  Admin& operator=(const Admin&) = delete;
  bool ok() const { return PQstatus(conn_) == CONNECTION_OK; }
  // Runs `sql` with text parameters; the first column of the first row, or "" when there is
  // none.
  std::string Value(const char* sql, std::vector<std::string> params = {}) {
    std::vector<const char*> values;
    for (const std::string& p : params) values.push_back(p.c_str());
    PGresult* r = PQexecParams(conn_, sql, static_cast<int>(values.size()), nullptr, values.data(),
                               nullptr, nullptr, 0);
    std::string v = PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
    PQclear(r);
    return v;
  }

 private:
  PGconn* conn_;
};

// The name the engine's sessions of this process (and of its children) carry.
inline const std::string& EngineSessionName() {
  static const std::string name = "vastrel-test-" + std::to_string(getpid());
  return name;
}

// Gives the engine's sessions that name: called before the first call connects (the
// connection string's name overrides the engine's). True when it was set.
inline bool NameEngineSessions() {
  std::string conninfo = getenv("VASTREL_PG") ? getenv("VASTREL_PG") : "";
  return setenv("VASTREL_PG", (conninfo + " application_name=" + EngineSessionName()).c_str(), 1) ==
         0;
}

// The condition on pg_stat_activity that picks out those sessions, the admin's left out.
inline std::string EngineSessions() {
  return "application_name = '" + EngineSessionName() + "' AND pid <> pg_backend_pid()";
}

}  // namespace mkde_test
