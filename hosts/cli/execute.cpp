// Running a verb: see execute.h.
#include "hosts/cli/execute.h"

#include <cstdio>
#include <exception>

#include "binding/btrexception.h"
#include "binding/engine.h"
#include "hosts/cli/errors.h"

namespace vastrel::cli {

int ReportFailure() {
  std::fflush(stdout);
  try {
    throw;
  } catch (const Btrexception& e) {
    if (e.Status() == engine::kStatusEngineMissing) {
      const auto state = engine::CurrentEngineState();
      std::fprintf(
          stderr, "vastrel: no record engine (%s); VASTREL_ENGINE names another engine library\n",
          state.load_error.empty() ? "the library lacks BTRCALL" : state.load_error.c_str());
    }
    std::fprintf(stderr, "vastrel: %s\n", FailureText(e).c_str());
  } catch (const DataError& e) {
    std::fprintf(stderr, "vastrel: %s\n", e.what());  // the tool's own words, in UTF-8
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vastrel: %s\n", EngineText(e.what()).c_str());
  }
  return 1;
}

int Execute(int (*run)(const Options&), const Options& o) {
  try {
    const int code = run(o);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      std::fprintf(stderr, "vastrel: writing the output failed\n");
      return 1;
    }
    return code;
  } catch (...) {
    return ReportFailure();
  }
}

}  // namespace vastrel::cli
