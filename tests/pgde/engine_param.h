// Included before every source of the conformance tests: their calls to BTRCALL and
// BTRCALLID go to the engine library that VASTREL_ENGINE names (a path), loaded once, so
// that one test binary checks either engine with the same expectations.
#pragma once

#include "enginecore/include/wbtrv32.h"

namespace engine_param {
// The loaded library's entry points; the process ends with a message when the library or
// an entry point is missing.
BTRCALL_FN Call();
BTRCALLID_FN CallId();
}  // namespace engine_param

#define BTRCALL engine_param::Call()
#define BTRCALLID engine_param::CallId()
