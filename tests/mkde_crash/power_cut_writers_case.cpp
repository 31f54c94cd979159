// Power cuts while three processes commit side by side: one writer inserts records one by
// one into a first file, through its shared commit log; a second inserts each of its records
// into that file and a second one in one transaction, a third into the second file and a
// third one; all report every insert the engine acknowledged. At a random moment all are
// killed and every file is put back to what its syncs left on disk (the power-cut shim,
// power_cut.h). The next open must find every acknowledged record, each file must read back
// the same along physical order and along its key, and each transaction over two files must
// be in both or in neither.
//
// Then one cut after an owner change: a transaction over two files, the second file's owner
// set (which replaces it by a copy, whose transaction ids start again), the cut. The cut
// undoes the clearing of the transaction's redo slots, which must not be replayed onto the
// new file.
//
// Usage: mkde_power_cut_writers_case SHIM [cuts]   (default 30). Exit 0: nothing lost.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "enginecore/include/wbtrv32.h"
#include "tests/mkde_crash/int_key_file.h"
#include "tests/mkde_crash/power_cut.h"

namespace {

constexpr uint16_t kRecordLength = 200;
constexpr int kWriters = 3;
// Writer w's ids in a cut start at w * kIdRange + 1. Writer 0 inserts into the first file
// alone, writer 1 into the first and second in one transaction per id, writer 2 into the
// second and third: transactions over different files that share one stand on each other.
constexpr int32_t kIdRange = 30000;
constexpr int kFilesOf[kWriters][2] = {{0, -1}, {0, 1}, {1, 2}};

int Insert(uint8_t* pos, int32_t id) {
  std::string rec(kRecordLength, static_cast<char>('a' + id % 26));
  std::memcpy(rec.data(), &id, 4);
  uint8_t key[255] = {};
  uint32_t len = kRecordLength;
  return BTRCALL(BTR_INSERT, pos, rec.data(), &len, key, sizeof key, 0);
}

// Inserts ids first, first + 1, ... and writes each acknowledged one to `fd`, until killed;
// with `other`, each id into both files in one transaction.
[[noreturn]] void Writer(const std::string& path, const std::string& other, int32_t first, int fd) {
  uint8_t pos[BTR_POS_BLOCK_SIZE] = {}, pos2[BTR_POS_BLOCK_SIZE] = {}, none[128] = {};
  if (crash::OpenWithName(pos, path, "") != 0) _exit(3);
  if (!other.empty() && crash::OpenWithName(pos2, other, "") != 0) _exit(3);
  for (int32_t id = first;; ++id) {
    if (other.empty()) {
      if (Insert(pos, id) != 0) _exit(4);
    } else if (BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0) != 0 ||
               Insert(pos, id) != 0 || Insert(pos2, id) != 0 ||
               BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0) != 0) {
      _exit(4);
    }
    if (write(fd, &id, 4) != 4) _exit(5);
  }
}

constexpr char kOwner[] = "Cut0wn";

// One transaction over both files, then the second file's owner set; says so on `fd` and
// waits to be killed.
[[noreturn]] void OwnerWriter(const std::string& path, const std::string& other, int fd) {
  uint8_t pos[BTR_POS_BLOCK_SIZE] = {}, pos2[BTR_POS_BLOCK_SIZE] = {}, none[128] = {};
  if (crash::OpenWithName(pos, path, "") != 0 || crash::OpenWithName(pos2, other, "") != 0) {
    _exit(3);
  }
  if (BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0) != 0 ||
      Insert(pos, 1) != 0 || Insert(pos2, 1) != 0 ||
      BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0) != 0) {
    _exit(4);
  }
  char name[sizeof kOwner];
  std::memcpy(name, kOwner, sizeof name);
  uint32_t len = sizeof name;
  if (BTRCALL(BTR_SET_OWNER, pos2, name, &len, name, sizeof name, 2) != 0) _exit(5);
  if (write(fd, "k", 1) != 1) _exit(6);
  for (;;) pause();
}

// A log in use begins with its tag; a checkpoint spoils it.
bool LogInUse(const std::string& log) {
  char tag[8] = {};
  int fd = ::open(log.c_str(), O_RDONLY);
  bool used = fd >= 0 && ::pread(fd, tag, 8, 0) == 8 && std::memcmp(tag, "vstlog02", 8) == 0;
  if (fd >= 0) ::close(fd);
  return used;
}

// Every id in `want` is there, and physical order and key 0 hold the same records, each
// whole; *keyed gets their ids. Returns a description of the first fault, or "".
std::string Check(const std::string& path, const std::set<int32_t>& want, std::set<int32_t>* keyed,
                  const char* owner = "") {
  uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
  int s = crash::OpenWithName(pos, path, owner);
  if (s != 0) return "the open after the cut answered " + std::to_string(s);
  std::string fault;
  auto walk = [&](int first, int next, std::set<int32_t>* seen) {
    char rec[kRecordLength];
    uint8_t key[255] = {};
    uint32_t len = sizeof rec;
    for (int st = BTRCALL(first, pos, rec, &len, key, sizeof key, 0); st != 9;
         st = BTRCALL(next, pos, rec, &len, key, sizeof key, 0)) {
      if (st != 0) return "a read answered " + std::to_string(st);
      int32_t id;
      std::memcpy(&id, rec, 4);
      if (len != kRecordLength ||
          std::string(rec + 4, kRecordLength - 4) !=
              std::string(kRecordLength - 4, static_cast<char>('a' + id % 26))) {
        return "record " + std::to_string(id) + " is not whole";
      }
      seen->insert(id);
      len = sizeof rec;
    }
    return std::string();
  };
  std::set<int32_t> physical;
  fault = walk(BTR_STEP_FIRST, BTR_STEP_NEXT, &physical);
  if (fault.empty()) fault = walk(BTR_GET_FIRST, BTR_GET_NEXT, keyed);
  if (fault.empty() && physical != *keyed) fault = path + ": physical order and key 0 disagree";
  for (int32_t id : want) {
    if (fault.empty() && !keyed->count(id))
      fault = "acknowledged record " + std::to_string(id) + " is lost from " + path;
  }
  BTRCALL(BTR_CLOSE, pos, nullptr, nullptr, nullptr, 0, 0);
  return fault;
}

// In a child process: this program again, with `args`, under the power-cut shim tracking
// `dir`. Never returns.
[[noreturn]] void ExecUnderShim(const std::string& shim, const std::string& dir,
                                std::vector<std::string> args) {
  setenv("LD_PRELOAD", shim.c_str(), 1);
  setenv("VASTREL_CUT_DIR", dir.c_str(), 1);
  // Under the sanitizers their runtime is then no longer the first library loaded.
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string options = std::string(asan && *asan ? asan : "") + (asan && *asan ? ":" : "") +
                              "verify_asan_link_order=0";
  setenv("ASAN_OPTIONS", options.c_str(), 1);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  execv("/proc/self/exe", argv.data());
  _exit(6);
}

// The cut after an owner change (see the top). Returns a description of the fault, or "".
std::string OwnerChangeCut(const std::string& shim, const char* self, const std::string& dir) {
  const std::string path = dir + "/before.dat", other = dir + "/owned.dat";
  if (crash::CreateIntKeyFile(path, kRecordLength) != 0 ||
      crash::CreateIntKeyFile(other, kRecordLength) != 0) {
    return "cannot create the files";
  }
  int fds[2];
  if (pipe(fds) != 0) return "no pipe";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    ExecUnderShim(shim, dir, {self, "--owner-writer", path, other, std::to_string(fds[1])});
  }
  close(fds[1]);
  char c = 0;
  const bool done = read(fds[0], &c, 1) == 1;
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  close(fds[0]);
  if (!done) return "the writer stopped (wait status " + std::to_string(status) + ")";
  if (powercut::RollBack(dir) < 0) return "the journals could not be applied";
  std::set<int32_t> keyed[2];
  std::string fault = Check(other, {1}, &keyed[0], kOwner);
  if (fault.empty()) fault = Check(path, {1}, &keyed[1]);
  return fault;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 4 && std::strcmp(argv[1], "--owner-writer") == 0) {
    OwnerWriter(argv[2], argv[3], std::atoi(argv[4]));
  }
  if (argc > 5 && std::strcmp(argv[1], "--writer") == 0) {
    Writer(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
  }
  if (argc < 2) {
    std::printf("usage: mkde_power_cut_writers_case SHIM [cuts]\n");
    return 2;
  }
  const std::string shim = argv[1];
  const int cuts = argc > 2 ? std::atoi(argv[2]) : 30;
  char tmpl[] = "/var/tmp/mkde-cut-writers-XXXXXX";
  if (!mkdtemp(tmpl)) return 2;
  const std::string dir = tmpl;
  const std::string path = dir + "/shared.dat";
  const std::string other = dir + "/other.dat";
  const std::string third = dir + "/third.dat";
  const std::string files[3] = {path, other, third};
  if (crash::CreateIntKeyFile(path, kRecordLength) != 0 ||
      crash::CreateIntKeyFile(other, kRecordLength) != 0 ||
      crash::CreateIntKeyFile(third, kRecordLength) != 0) {
    std::printf("cannot create the file\n");
    return 2;
  }
  std::mt19937 rng(2026);
  std::set<int32_t> acknowledged;
  long replayed = 0, undone = 0;
  std::string fault;
  for (int cut = 0; cut < cuts && fault.empty(); ++cut) {
    std::vector<pid_t> pids;
    std::vector<int> acks;
    for (int w = 0; w < kWriters; ++w) {
      int fds[2];
      if (pipe(fds) != 0) return 2;
      const std::string first = std::to_string(cut * 100000 + w * kIdRange + 1);
      const std::string out = std::to_string(fds[1]);
      const pid_t pid = fork();
      if (pid == 0) {
        close(fds[0]);
        const std::string two = kFilesOf[w][1] < 0 ? "" : files[kFilesOf[w][1]];
        ExecUnderShim(shim, dir, {argv[0], "--writer", files[kFilesOf[w][0]], two, first, out});
      }
      close(fds[1]);
      pids.push_back(pid);
      acks.push_back(fds[0]);
    }
    // Both writers run for a random while (from their first acknowledged insert), then the
    // power goes.
    const auto length = std::chrono::milliseconds(5 + rng() % 60);
    std::chrono::steady_clock::time_point started{};
    bool running = true;
    while (running) {
      std::vector<pollfd> p;
      for (int fd : acks) p.push_back({fd, POLLIN, 0});
      if (poll(p.data(), p.size(), 1000) <= 0) break;
      for (size_t i = 0; i < p.size(); ++i) {
        int32_t id;
        if ((p[i].revents & POLLIN) && read(acks[i], &id, 4) == 4) {
          acknowledged.insert(id);
          if (started == std::chrono::steady_clock::time_point{}) {
            started = std::chrono::steady_clock::now();
          }
        } else if (p[i].revents & (POLLHUP | POLLERR)) {
          running = false;  // a writer ended by itself
        }
      }
      if (started != std::chrono::steady_clock::time_point{} &&
          std::chrono::steady_clock::now() - started > length) {
        running = false;
      }
    }
    for (pid_t pid : pids) kill(pid, SIGKILL);
    for (size_t w = 0; w < pids.size(); ++w) {
      int status = 0;
      waitpid(pids[w], &status, 0);
      int32_t id;
      while (read(acks[w], &id, 4) == 4) acknowledged.insert(id);
      close(acks[w]);
      if (!WIFSIGNALED(status) && fault.empty()) {
        fault = "a writer ended by itself (wait status " + std::to_string(status) + ")";
      }
    }
    const long n = powercut::RollBack(dir);
    if (n < 0 && fault.empty()) fault = "the journals could not be applied";
    undone += n;
    if (LogInUse(path + "-log")) ++replayed;
    // Each file holds every acknowledged id of the writers that write it (the first file
    // opened, in turn, finishes what the cut interrupted), and a writer's transactions are in
    // both its files or in neither.
    auto writer_of = [](int32_t id) { return (id % 100000 - 1) / kIdRange; };
    std::set<int32_t> held[3];
    for (int k = 0; k < 3 && fault.empty(); ++k) {
      const int f = (cut + k) % 3;
      std::set<int32_t> want;
      for (int32_t id : acknowledged) {
        const int w = writer_of(id);
        if (kFilesOf[w][0] == f || kFilesOf[w][1] == f) want.insert(id);
      }
      fault = Check(files[f], want, &held[f]);
    }
    for (int w = 1; w < kWriters && fault.empty(); ++w) {
      std::set<int32_t> in[2];
      for (int side = 0; side < 2; ++side) {
        for (int32_t id : held[kFilesOf[w][side]]) {
          if (writer_of(id) == w) in[side].insert(id);
        }
      }
      if (in[0] != in[1]) fault = "a transaction over two files is in one of them only";
    }
    uint8_t stop[BTR_POS_BLOCK_SIZE] = {};
    BTRCALL(BTR_STOP, stop, nullptr, nullptr, nullptr, 0, 0);
    if (!fault.empty()) std::printf("cut %d: %s\n", cut + 1, fault.c_str());
  }
  if (fault.empty()) {
    const std::string owned = dir + "/owner-change";
    std::filesystem::create_directory(owned);
    fault = OwnerChangeCut(shim, argv[0], owned);
    if (!fault.empty()) std::printf("the cut after an owner change: %s\n", fault.c_str());
  }
  std::printf(
      "%d cuts of %d writers: %zu acknowledged inserts, %ld unsynced writes undone, %ld cuts "
      "left a log to replay\n",
      cuts, kWriters, acknowledged.size(), undone, replayed);
  if (fault.empty()) std::filesystem::remove_all(dir);
  return fault.empty() ? 0 : 1;
}
