// Whether a client waits, for the engine VASTREL_ENGINE names: the embedded engine publishes
// its waits in the machine's wait table; the server engine's waits are the server's, seen
// among the sessions of this test process.
#include <stdlib.h>

#include "mkde/waits.h"
#include "tests/mkde/engine_fixture.h"
#include "tests/pgde/server_admin.h"

namespace mkde_test {

namespace {

bool OnServer() { return getenv("VASTREL_PG") != nullptr; }

// Before main, so before the first call connects.
const bool kNamed = OnServer() && NameEngineSessions();

}  // namespace

bool AwaitWaiter(pid_t pid) {
  if (!OnServer()) return Eventually([&] { return mkde::ProcessWaits(pid); });
  // The server cannot tell which process a session serves: any of this test's will do.
  Admin admin;
  const std::string sql =
      "SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock' AND " +
      EngineSessions();
  return kNamed && admin.ok() && Eventually([&] { return admin.Value(sql.c_str()) != "0"; });
}

}  // namespace mkde_test
