#include "hosts/common/owner_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hosts/common/bounded_read.h"

namespace vastrel::cli {
namespace {

// The terminal's settings while echo is off, for the signal handler that puts them back.
int g_tty = -1;
struct termios g_saved_tty {};

extern "C" void RestoreTerminalAndDie(int signal) {
  if (g_tty >= 0) ::tcsetattr(g_tty, TCSANOW, &g_saved_tty);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// Reads one line from the terminal without echo, after the question. The line feed that
// ends it is echoed, so that what follows starts on a line of its own.
std::string AskTerminal(const std::string& question) {
  const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    throw OwnerInputError(
        std::string("asking for the owner name needs a terminal: ") + std::strerror(errno), 2);
  }
  struct termios saved {};
  const bool is_tty = ::tcgetattr(fd, &saved) == 0;
  constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  struct sigaction old_actions[std::size(kSignals)]{};
  if (is_tty) {
    g_tty = fd;
    g_saved_tty = saved;
    struct sigaction restore {};
    restore.sa_handler = RestoreTerminalAndDie;
    sigemptyset(&restore.sa_mask);
    for (size_t i = 0; i < std::size(kSignals); ++i)
      ::sigaction(kSignals[i], &restore, &old_actions[i]);
    struct termios quiet = saved;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    quiet.c_lflag |= ECHONL;
    ::tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  auto put_back = [&] {
    if (!is_tty) return;
    ::tcsetattr(fd, TCSAFLUSH, &saved);
    for (size_t i = 0; i < std::size(kSignals); ++i)
      ::sigaction(kSignals[i], &old_actions[i], nullptr);
    g_tty = -1;
  };
  [[maybe_unused]] const ssize_t shown = ::write(fd, question.data(), question.size());
  std::string line;
  bool ended = false;
  bool too_long = false;
  for (char c; !ended;) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') {
      ended = true;
    } else if (line.size() == kMaxOwnerFileBytes) {
      too_long = true;  // read on to the line's end, keeping nothing more
    } else {
      line.push_back(c);
    }
  }
  put_back();
  ::close(fd);
  if (too_long) {
    throw OwnerInputError("the owner name typed is longer than " + SizeText(kMaxOwnerFileBytes), 1);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string FlagBase(const std::string& name) {
  if (name.rfind("--", 0) == 0) return name;
  std::string lower = "--";
  for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

}  // namespace

std::string ReadOwnerFile(const std::string& path) {
  auto refuse = [&](const std::string& why) -> OwnerInputError {
    return OwnerInputError("owner-name file " + path + ": " + why, 1);
  };
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw refuse(std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    throw refuse(std::strerror(error));
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    throw refuse("a directory");
  }
  if (S_ISREG(st.st_mode) && (st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    ::close(fd);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    throw refuse(std::string("other users may read it (mode ") + mode +
                 "); make it private: chmod 600 " + path);
  }
  std::string text;
  char chunk[1024];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      throw refuse(std::strerror(error));
    }
    if (n == 0) break;
    text.append(chunk, static_cast<size_t>(n));
    if (text.size() > kMaxOwnerFileBytes) {
      ::close(fd);
      throw refuse("larger than " + SizeText(kMaxOwnerFileBytes));
    }
  }
  ::close(fd);
  text.resize(std::min(text.find('\n'), text.size()));
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (text.empty()) throw refuse("no owner name on its first line");
  return text;
}

void OwnerNames::Add(CLI::App* verb, const std::string& name, std::string* target,
                     const std::string& help, const std::string& what, Kind kind, bool required) {
  auto way = std::make_unique<Way>();
  way->verb = verb;
  way->name = name;
  way->target = target;
  way->kind = kind;
  way->required = required;
  const std::string base = FlagBase(name);
  way->given =
      verb->add_option(name, *target, help + "; other users can see it while the tool runs");
  CLI::Option* file = verb->add_option(
      base + "-file", way->file,
      "reads " + what + " from the first line of a file that only its owner may read");
  CLI::Option* prompt =
      verb->add_flag(base + "-prompt", way->prompt, "asks for " + what + " at the terminal");
  way->given->excludes(file);
  way->given->excludes(prompt);
  file->excludes(prompt);
  ways_.push_back(std::move(way));
}

void OwnerNames::Resolve() const {
  for (const auto& way : ways_) {
    if (!way->verb->parsed()) continue;
    const std::string base = FlagBase(way->name);
    if (!way->file.empty()) {
      *way->target = ReadOwnerFile(way->file);
    } else if (way->prompt) {
      const std::string question = way->kind == Kind::kGives ? "new owner name: " : "owner name: ";
      *way->target = AskTerminal(question);
      if (way->kind == Kind::kGives && AskTerminal("the new owner name again: ") != *way->target) {
        throw OwnerInputError("the two owner names typed differ", 1);
      }
    } else if (way->given->count() == 0) {
      const char* from_environment =
          way->kind == Kind::kOpens ? std::getenv(kOwnerVariable) : nullptr;
      if (from_environment && *from_environment) {
        *way->target = from_environment;
      } else if (way->required) {
        std::string verb = way->verb->get_name();
        for (const CLI::App* up = way->verb->get_parent(); up && up->get_parent();
             up = up->get_parent())
          verb = up->get_name() + " " + verb;
        const std::string ways =
            way->kind == Kind::kOpens
                ? way->name + ", " + base + "-file, " + base + "-prompt or " + kOwnerVariable
                : way->name + ", " + base + "-file or " + base + "-prompt";
        throw OwnerInputError(verb + " needs the owner name: " + ways, 2);
      }
    }
  }
}

}  // namespace vastrel::cli
