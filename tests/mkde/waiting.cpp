#include "mkde/waits.h"
#include "tests/mkde/engine_fixture.h"

namespace mkde_test {

bool AwaitWaiter(pid_t pid) {
  return Eventually([&] { return mkde::ProcessWaits(pid); });
}

}  // namespace mkde_test
