// Command-line options of a benchmark program: its own through CLI11, and the rest left in
// argv, in order, for Google Benchmark, which reads them from there afterwards.
#pragma once

#include <stdlib.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

// The folder a benchmark keeps its files in: the one *dir names (made when missing), or, when
// *dir is empty, a fresh one under /var/tmp that Done() removes unless it is to be kept.
class WorkFolder {
 public:
  // False, with the system's message on stderr, when no fresh folder could be made.
  bool Open(std::string* dir, const std::string& program) {
    std::error_code ec;
    if (!dir->empty()) return std::filesystem::create_directories(*dir, ec), true;
    std::string templ = "/var/tmp/vastrel-" + program + "-XXXXXX";
    if (!mkdtemp(templ.data())) {
      std::perror((program + ": mkdtemp").c_str());
      return false;
    }
    *dir = made_ = templ;
    return true;
  }
  void Done(bool keep) {
    std::error_code ec;
    if (!made_.empty() && !keep) std::filesystem::remove_all(made_, ec);
  }

 private:
  std::string made_;
};

}  // namespace vastrel::bench
