// Command-line options of a benchmark program: its own through CLI11, and the rest left in
// argv, in order, for Google Benchmark, which reads them from there afterwards.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <string>
#include <vector>

namespace vastrel::bench {

// Parses the options added to app; --help prints them and a bad value exits with CLI11's
// message and code. REQUIRES: argv holds *argc arguments and a null after them.
inline void ParseOptions(CLI::App& app, int* argc, char** argv) {
  app.allow_extras();
  try {
    app.parse(*argc, argv);
  } catch (const CLI::ParseError& e) {
    std::exit(app.exit(e));
  }
  static std::vector<std::string> rest;
  rest = app.remaining();
  int n = 1;
  for (std::string& a : rest) argv[n++] = a.data();
  argv[n] = nullptr;
  *argc = n;
}

}  // namespace vastrel::bench
