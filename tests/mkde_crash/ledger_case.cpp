// Money moved between 40 accounts by several processes in transactions, exclusive and
// concurrent, the processes killed and started again at random moments, while this process
// sums every balance inside exclusive transactions. Every sum must be the total the ledger
// started with: an exclusive transaction holds each file it reads, so no transfer commits
// between its reads, and a transfer killed half way commits nothing.
//
// Usage: mkde_ledger_case [seconds]   (default 3). Exit 0: every sum exact; 1: a fault.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "enginecore/include/wbtrv32.h"
#include "tests/mkde_crash/int_key_file.h"

namespace {

constexpr int kAccounts = 40;
constexpr int64_t kOpening = 1000;
constexpr int kWriters = 4;
constexpr uint32_t kLen = 16;  // id (key 0), balance (i64), padding

struct Account {
  int32_t id;
  int64_t balance;
};

int Call(int op, uint8_t* pos, char* rec = nullptr, int32_t* key = nullptr, int key_num = 0) {
  uint32_t len = rec ? kLen : 0;
  return BTRCALL(static_cast<uint16_t>(op), pos, rec, &len, key, key ? 4 : 0,
                 static_cast<int8_t>(key_num));
}

int64_t BalanceOf(const char* rec) {
  int64_t b;
  std::memcpy(&b, rec + 4, 8);
  return b;
}

// One transfer after another until killed: exclusive transactions in even writers,
// concurrent ones in odd writers. Any answer but those of contention is a fault (exit 1).
[[noreturn]] void Transfer(const std::string& path, unsigned seed, bool concurrent) {
  uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
  if (crash::OpenWithName(pos, path, "") != 0) _exit(1);
  std::mt19937 rng(seed);
  for (;;) {
    int32_t from = static_cast<int32_t>(rng() % kAccounts) + 1;
    int32_t to = static_cast<int32_t>(rng() % (kAccounts - 1)) + 1;
    if (to >= from) ++to;
    const int64_t amount = static_cast<int64_t>(rng() % 50) + 1;
    int s = Call(concurrent ? 1000 + BTR_BEGIN_TRANSACTION : BTR_BEGIN_TRANSACTION, pos);
    if (s != 0) _exit(1);
    char a[kLen], b[kLen];
    s = Call(BTR_GET_EQUAL, pos, a, &from);
    if (s == 0) {
      int64_t balance = BalanceOf(a) - amount;
      std::memcpy(a + 4, &balance, 8);
      s = Call(BTR_UPDATE, pos, a, &from);
    }
    if (s == 0) s = Call(BTR_GET_EQUAL, pos, b, &to);
    if (s == 0) {
      int64_t balance = BalanceOf(b) + amount;
      std::memcpy(b + 4, &balance, 8);
      s = Call(BTR_UPDATE, pos, b, &to);
    }
    if (s == 0) s = Call(BTR_END_TRANSACTION, pos);
    if (s == 0) continue;
    if (s != BTR_RECORD_IN_USE && s != BTR_FILE_IN_USE && s != 80 && s != 78) {
      std::printf("transfer answered %d\n", s);
      std::fflush(stdout);
      _exit(1);
    }
    Call(BTR_ABORT_TRANSACTION, pos);
  }
}

pid_t Start(const std::string& path, unsigned seed, bool concurrent) {
  const pid_t pid = fork();
  if (pid == 0) Transfer(path, seed, concurrent);
  return pid;
}

// A writer that ended by itself rather than by a kill found a fault.
bool EndedByFault(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3;
  char tmpl[] = "/tmp/mkde-ledger-XXXXXX";
  if (!mkdtemp(tmpl)) return 2;
  const std::string dir = tmpl, path = dir + "/ledger.dat";

  uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
  if (crash::CreateIntKeyFile(path, kLen) != 0 || crash::OpenWithName(pos, path, "") != 0) {
    return 2;
  }
  for (int32_t id = 1; id <= kAccounts; ++id) {
    char rec[kLen] = {};
    std::memcpy(rec, &id, 4);
    std::memcpy(rec + 4, &kOpening, 8);
    int32_t key = 0;
    if (Call(BTR_INSERT, pos, rec, &key) != 0) return 2;
  }
  BTRCALL(BTR_STOP, pos, nullptr, nullptr, nullptr, 0, 0);

  std::mt19937 rng(static_cast<unsigned>(getpid()));
  std::vector<pid_t> writers;
  unsigned seeds = 1;
  for (int i = 0; i < kWriters; ++i) writers.push_back(Start(path, rng() + seeds++, i % 2 == 1));

  std::memset(pos, 0, sizeof pos);
  if (crash::OpenWithName(pos, path, "") != 0) return 2;
  int faults = 0, sums = 0, busy = 0, kills = 0;
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  auto next_kill = start + std::chrono::milliseconds(20 + rng() % 100);
  while (std::chrono::steady_clock::now() < end && faults == 0) {
    if (std::chrono::steady_clock::now() >= next_kill) {
      const size_t victim = rng() % writers.size();
      kill(writers[victim], SIGKILL);
      if (EndedByFault(writers[victim])) ++faults;
      writers[victim] = Start(path, rng() + seeds++, victim % 2 == 1);
      ++kills;
      next_kill = std::chrono::steady_clock::now() + std::chrono::milliseconds(20 + rng() % 100);
    }
    if (Call(BTR_BEGIN_TRANSACTION, pos) != 0) {
      ++faults;
      break;
    }
    int64_t sum = 0;
    int counted = 0;
    char rec[kLen];
    int32_t key = 0;
    int s = Call(BTR_GET_FIRST, pos, rec, &key);
    for (; s == 0; s = Call(BTR_GET_NEXT, pos, rec, &key)) {
      sum += BalanceOf(rec);
      ++counted;
    }
    if (s == BTR_END_OF_FILE) {
      s = Call(BTR_END_TRANSACTION, pos);
      if (s != 0) {
        std::printf("End answered %d\n", s);
        ++faults;
      } else if (counted != kAccounts || sum != kAccounts * kOpening) {
        std::printf("sum %lld over %d accounts, expected %lld over %d\n",
                    static_cast<long long>(sum), counted,
                    static_cast<long long>(kAccounts * kOpening), kAccounts);
        ++faults;
      } else {
        ++sums;
      }
    } else {
      Call(BTR_ABORT_TRANSACTION, pos);
      if (s == BTR_RECORD_IN_USE || s == BTR_FILE_IN_USE) {
        ++busy;
      } else {
        std::printf("a read in the summing transaction answered %d\n", s);
        ++faults;
      }
    }
  }
  for (pid_t w : writers) {
    kill(w, SIGKILL);
    if (EndedByFault(w)) ++faults;
  }
  // With every writer gone, the ledger still holds the opening total.
  if (faults == 0) {
    int64_t sum = 0;
    char rec[kLen];
    int32_t key = 0;
    for (int s = Call(BTR_GET_FIRST, pos, rec, &key); s == 0;
         s = Call(BTR_GET_NEXT, pos, rec, &key)) {
      sum += BalanceOf(rec);
    }
    if (sum != kAccounts * kOpening) ++faults;
  }
  if (sums == 0) ++faults;  // the summing transactions never got through
  std::printf("%d exact sums, %d answered 84/85, %d writer kills, %d faults\n", sums, busy, kills,
              faults);
  BTRCALL(BTR_STOP, pos, nullptr, nullptr, nullptr, 0, 0);
  std::filesystem::remove_all(dir);
  return faults == 0 ? 0 : 1;
}
