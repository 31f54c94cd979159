// Work in child processes: see child.h.
#include "hosts/cli/child.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "hosts/cli/errors.h"
#include "hosts/cli/execute.h"

namespace vastrel::cli {

namespace {

// The write end of the pipe to the parent, in a child of InChild.
int g_parent_channel = -1;

}  // namespace

void Send(uint32_t word) {
  if (g_parent_channel < 0) return;
  const ssize_t n = ::write(g_parent_channel, &word, sizeof word);
  (void)n;  // a parent that is gone reads nothing more; the child ends soon after
}

int InChild(const std::function<int()>& work, const std::function<void(uint32_t)>& heard) {
  int channel[2];
  if (::pipe(channel) != 0) {
    throw DataError(std::string("cannot make a pipe: ") + std::strerror(errno));
  }
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(channel[0]);
    ::close(channel[1]);
    throw DataError(std::string("cannot start a child process: ") + std::strerror(errno));
  }
  if (pid == 0) {
    ::close(channel[0]);
    g_parent_channel = channel[1];
    int code = 1;
    try {
      code = work();
    } catch (...) {
      code = ReportFailure();
    }
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(code);
  }
  ::close(channel[1]);
  uint32_t word;
  for (;;) {
    const ssize_t n = ::read(channel[0], &word, sizeof word);
    if (n == static_cast<ssize_t>(sizeof word)) {
      if (heard) heard(word);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // the child is done (or gone): its end of the pipe closed
    }
  }
  ::close(channel[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw DataError(std::string("waiting failed: ") + std::strerror(errno));
  }
  return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

}  // namespace vastrel::cli
