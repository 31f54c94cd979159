// Owner names for the vastrel tool, from places other users cannot see.
//
// A name given on the command line (--owner NAME) can be read by every user of the
// machine in /proc/PID/cmdline for as long as the tool runs; it stays for scripts that
// accept that. Each owner name a verb takes has two more ways in that do not show it:
//
//   --owner-file FILE   the first line of FILE (its line feed dropped), a file of at most
//                       4 KiB that only its owner may read: one that group or others may
//                       read is refused (chmod 600 FILE); a pipe, such as <(command), is fine
//   --owner-prompt      typed at the terminal (/dev/tty) without echo; a new owner name is
//                       asked twice
//
// and the name that opens an existing file may also come from the environment,
// VASTREL_OWNER, which only the same user can read; it is used when none of the three
// options is given. A name that a file is given (create's --owner, copy's --to-owner, owner
// set's NAME) never comes from the environment: that is always asked for by name.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace vastrel::cli {

inline constexpr const char* kOwnerVariable = "VASTREL_OWNER";
// The verbs' help on the ways in, before their exit codes.
inline constexpr const char* kOwnerHelp =
    "owner names: other users can read a name given on the command line while the tool runs;\n"
    "  --owner-file FILE (the first line of a file only its owner may read, at most 4 KiB),\n"
    "  --owner-prompt (typed at the terminal, not shown) and, for the name that opens a file,\n"
    "  the environment variable VASTREL_OWNER keep it from them\n";

// A name that could not be read; the exit code the tool answers (2 for a usage error).
class OwnerInputError : public Exception {
 public:
  OwnerInputError(const std::string& message, int exit_code)
      : Exception(message), exit_code_(exit_code) {}
  int ExitCode() const { return exit_code_; }

 private:
  int exit_code_;
};

// The first line of an owner-name file, as described above; raises OwnerInputError (exit
// code 1) naming the file when it cannot be read, is larger than kMaxOwnerFileBytes, may
// be read by others, or holds no name.
std::string ReadOwnerFile(const std::string& path);

class OwnerNames {
 public:
  enum class Kind {
    kOpens,  // the name that opens an existing file: VASTREL_OWNER when none is given
    kGives,  // a name given to a file: only from the options, and asked twice at the prompt
  };

  // Adds the name's three ways in to the verb: `name` is an option ("--owner") or a
  // positional operand ("NAME"); its companions are "--owner-file" and "--owner-prompt"
  // (for an operand: "--name-file" and "--name-prompt"). At most one of them may be given;
  // with `required`, one of them (or, for kOpens, the environment) must be.
  // `help` describes `name` itself, `what` the name in the companions' help ("the file's
  // owner name").
  void Add(CLI::App* verb, const std::string& name, std::string* target, const std::string& help,
           const std::string& what, Kind kind, bool required = false);

  // After the command line is parsed: reads the files and prompts of the verb that runs
  // into their targets, and the environment where it applies. Raises OwnerInputError.
  void Resolve() const;

 private:
  struct Way {
    CLI::App* verb;
    CLI::Option* given;
    std::string name;
    std::string* target;
    Kind kind;
    bool required;
    std::string file;
    bool prompt = false;
  };
  // Stable addresses: CLI11 writes into `file` and `prompt` while parsing.
  std::vector<std::unique_ptr<Way>> ways_;
};

}  // namespace vastrel::cli
