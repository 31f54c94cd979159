// The smallest case of Set Owner racing another process's Open: one process sets an
// encrypting owner on a file holding records and clears it again, over and over; another
// opens the file, reads a record and closes it, over and over. Set Owner and Clear Owner may
// answer 85 while the file is open elsewhere; anything else but 0 is a fault, and so is a
// read that does not give the 32-byte record (a sealed record read as plain answers 22
// with the reader's 64-byte buffer).
//
// Usage: mkde_owner_race_case [seconds]   (default 3). Exit 0: no fault; 1: a fault.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "enginecore/include/wbtrv32.h"
#include "tests/mkde_crash/int_key_file.h"

namespace {

constexpr char kName[] = "Racer1";

int Open(uint8_t* pos, const std::string& path, int8_t mode) {
  return crash::OpenWithName(pos, path, kName, mode);
}

int Owner(uint8_t* pos, bool set) {
  char name[sizeof kName];
  std::memcpy(name, kName, sizeof name);
  uint32_t len = sizeof name;
  return set ? BTRCALL(BTR_SET_OWNER, pos, name, &len, name, sizeof name, 2)
             : BTRCALL(BTR_CLEAR_OWNER, pos, nullptr, nullptr, nullptr, 0, 0);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3;
  char tmpl[] = "/tmp/mkde-owner-race-XXXXXX";
  if (!mkdtemp(tmpl)) return 2;
  const std::string dir = tmpl, path = dir + "/raced.dat";

  // 32-byte records, key 0 a unique integer; 50 records.
  uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
  uint32_t len = 0;
  if (crash::CreateIntKeyFile(path, 32) != 0 || Open(pos, path, 0) != 0) {
    return 2;
  }
  for (int32_t id = 1; id <= 50; ++id) {
    std::string rec(32, 'r');
    std::memcpy(rec.data(), &id, 4);
    uint8_t k[255];
    len = 32;
    if (BTRCALL(BTR_INSERT, pos, rec.data(), &len, k, sizeof k, 0) != 0) return 2;
  }
  BTRCALL(BTR_STOP, pos, nullptr, nullptr, nullptr, 0, 0);

  const pid_t pid = fork();
  if (pid == 0) {
    // The reader.
    for (;;) {
      uint8_t rpos[BTR_POS_BLOCK_SIZE] = {};
      const int s = Open(rpos, path, -2);
      if (s != 0) continue;
      char rec[64];
      uint32_t rlen = sizeof rec;
      const int r = BTRCALL(BTR_STEP_FIRST, rpos, rec, &rlen, nullptr, 0, 0);
      if (r != 0) {
        std::printf("reader: Step First answered %d\n", r);
        std::fflush(stdout);
        _exit(1);
      }
      BTRCALL(BTR_CLOSE, rpos, nullptr, nullptr, nullptr, 0, 0);
    }
  }

  int faults = 0, sets = 0, busy = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::memset(pos, 0, sizeof pos);
  if (Open(pos, path, 0) != 0) return 2;
  for (bool set = true; std::chrono::steady_clock::now() < end && faults == 0; set = !set) {
    const int s = Owner(pos, set);
    if (s == BTR_FILE_IN_USE) {
      ++busy;
      set = !set;  // try the same again
    } else if (s == 0) {
      ++sets;
    } else {
      ++faults;
      std::printf("%s Owner answered %d after %d changes\n", set ? "Set" : "Clear", s, sets);
    }
  }
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 1) ++faults;  // the reader saw a fault
  std::printf("%d owner changes, %d answered 85, %d faults\n", sets, busy, faults);
  BTRCALL(BTR_STOP, pos, nullptr, nullptr, nullptr, 0, 0);
  std::filesystem::remove_all(dir);
  return faults == 0 ? 0 : 1;
}
