// Power cuts while three processes commit side by side: one writer inserts records one by
// one into a first file, through its shared commit log; a second inserts each of its records
// into that file and a second one in one transaction, a third into the second file and a
// third one; all report every insert the engine acknowledged. At a random moment all are
// killed and every file is put back to what its syncs left on disk (the power-cut shim,
// power_cut.h). The next open must find every acknowledged record, each file must read back
// the same along physical order and along its key, each transaction over several files must
// be in all of them or in none, and no transaction but the one each writer had under way may
// be there unacknowledged.
//
// With --sweep the cut lands at a chosen call instead: one writer's transactions span two
// files, or all three, beside two writers of transactions over the others; before the End of
// one of its transactions the writer arms the shim, which cuts the power for every writer
// right after its k-th write, truncation or sync of the files from there on. k runs from 1
// until the count passes the End, the engine's work after it (the writer pauses long enough
// for the engine's own thread to finish it) and the next transaction's changes, so that every
// step of a commit over several files is cut, whatever the steps are; then a new round
// begins on new files, alternating two and three files.
//
// Then cuts after an owner change: transactions over two files, one file's owner set (which
// replaces it by a copy, whose transaction ids start again), and the cut at every call of the
// next transaction's End. The cut may undo the clearing of the last transaction's redo slots,
// which must not be replayed onto the new file; and what the other file keeps about the
// transactions it shared with the one replaced must not decide one of the copy's.
//
// Usage: mkde_power_cut_writers_case SHIM [cuts]   (default 30)
//        mkde_power_cut_writers_case SHIM --sweep CUTS   (whole rounds until CUTS cuts)
// The files go to a new folder in $TMPDIR (default /var/tmp). Exit 0: nothing lost.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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
// A writer's ids in cut c start at c * kCutIds + w * kIdRange + 1, w the writer's place.
constexpr int32_t kCutIds = 100000;
constexpr int32_t kIdRange = 30000;

// The files each writer writes: one alone (single commits), or several in one transaction per
// id. The random cuts: transactions over different files that share one stand on each other.
using Roles = std::vector<std::vector<int>>;
const Roles kRandomRoles = {{0}, {0, 1}, {1, 2}};

int32_t FirstId(int64_t cut, int w) {
  return static_cast<int32_t>(cut * kCutIds + w * kIdRange + 1);
}
int WriterOf(int32_t id) { return (id % kCutIds - 1) / kIdRange; }

int Insert(uint8_t* pos, int32_t id) {
  std::string rec(kRecordLength, static_cast<char>('a' + id % 26));
  std::memcpy(rec.data(), &id, 4);
  uint8_t key[255] = {};
  uint32_t len = kRecordLength;
  return BTRCALL(BTR_INSERT, pos, rec.data(), &len, key, sizeof key, 0);
}

// Inserts ids first, first + 1, ... into every file of `paths` (with several, in one
// transaction per id) and writes each acknowledged one to `fd`, until killed. With `arm_at`
// > 0 it arms the power-cut shim before the End of its arm_at-th transaction, pauses after it
// so that the engine's own thread does what it leaves for later, and at the next End, not
// cut yet, writes 0 to `fd` and waits.
[[noreturn]] void Writer(int32_t first, int fd, int arm_at, const std::vector<std::string>& paths) {
  using ArmFn = void (*)();
  const auto arm = reinterpret_cast<ArmFn>(dlsym(RTLD_DEFAULT, "powercut_arm"));
  if (arm_at > 0 && !arm) _exit(7);
  std::vector<std::array<uint8_t, BTR_POS_BLOCK_SIZE>> pos(paths.size());
  uint8_t none[128] = {};
  for (size_t f = 0; f < paths.size(); ++f) {
    if (crash::OpenWithName(pos[f].data(), paths[f], "") != 0) _exit(3);
  }
  const bool several = paths.size() > 1;
  for (int32_t id = first, n = 1;; ++id, ++n) {
    if (several) {
      if (BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0) != 0) _exit(4);
      for (auto& p : pos) {
        if (Insert(p.data(), id) != 0) _exit(4);
      }
    }
    if (arm_at > 0 && n == arm_at + 1) {
      const int32_t past = 0;
      if (write(fd, &past, 4) != 4) _exit(5);
      for (;;) pause();
    }
    if (arm_at > 0 && n == arm_at) arm();
    const int s = several ? BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0)
                          : Insert(pos[0].data(), id);
    if (s != 0) _exit(4);
    if (write(fd, &id, 4) != 4) _exit(5);
    if (arm_at > 0 && n == arm_at) usleep(60000);
  }
}

constexpr char kOwner[] = "Cut0wn";
// Transactions over both files before the owner change: the owned file's transaction ids then
// stand well above those its copy starts again from.
constexpr int32_t kBeforeOwner = 20;

// kBeforeOwner transactions over both files, the owner of `owned` (one of them) set, which
// replaces it by a copy, then one more transaction whose End arms the shim (VASTREL_CUT_AT).
// Writes each acknowledged id to `fd`, then waits to be killed.
[[noreturn]] void OwnerWriter(const std::string& path, const std::string& other, int owned,
                              int fd) {
  using ArmFn = void (*)();
  const auto arm = reinterpret_cast<ArmFn>(dlsym(RTLD_DEFAULT, "powercut_arm"));
  uint8_t pos[2][BTR_POS_BLOCK_SIZE] = {}, none[128] = {};
  if (!arm || crash::OpenWithName(pos[0], path, "") != 0 ||
      crash::OpenWithName(pos[1], other, "") != 0) {
    _exit(3);
  }
  for (int32_t id = 1; id <= kBeforeOwner + 1; ++id) {
    if (id == kBeforeOwner + 1) {
      char name[sizeof kOwner];
      std::memcpy(name, kOwner, sizeof name);
      uint32_t len = sizeof name;
      if (BTRCALL(BTR_SET_OWNER, pos[owned], name, &len, name, sizeof name, 2) != 0) _exit(5);
    }
    if (BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0) != 0 ||
        Insert(pos[0], id) != 0 || Insert(pos[1], id) != 0) {
      _exit(4);
    }
    if (id == kBeforeOwner + 1) arm();
    if (BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0) != 0) _exit(4);
    if (write(fd, &id, 4) != 4) _exit(6);
  }
  for (;;) pause();
}

// A log in use begins with its tag (either form a commit writes); a checkpoint spoils it.
bool LogInUse(const std::string& log) {
  char tag[8] = {};
  int fd = ::open(log.c_str(), O_RDONLY);
  bool used = fd >= 0 && ::pread(fd, tag, 8, 0) == 8 &&
              (std::memcmp(tag, "vstlog02", 8) == 0 || std::memcmp(tag, "vstlog03", 8) == 0);
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

// The cuts after an owner change (see the top), at every call of the End that follows it,
// with the owner set on either file. Returns a description of the first fault, or "".
std::string OwnerChangeCuts(const std::string& shim, const char* self, const std::string& dir) {
  for (int owned = 0; owned < 2; ++owned) {
    bool past = false;
    for (long k = 1; !past; ++k) {
      if (k > 1000) return "the count never passed the commit";
      const std::string folder = dir + "/" + std::to_string(owned) + "-" + std::to_string(k);
      std::filesystem::create_directories(folder);
      const std::string files[2] = {folder + "/before.dat", folder + "/owned.dat"};
      // The owner goes on files[1], the writer's first file or its second (`owned`): each
      // transaction changes them in that order.
      if (crash::CreateIntKeyFile(files[0], kRecordLength) != 0 ||
          crash::CreateIntKeyFile(files[1], kRecordLength) != 0) {
        return "cannot create the files";
      }
      int fds[2];
      if (pipe(fds) != 0) return "no pipe";
      const pid_t pid = fork();
      if (pid == 0) {
        close(fds[0]);
        setenv("VASTREL_CUT_AT", std::to_string(k).c_str(), 1);
        ExecUnderShim(shim, folder,
                      {self, "--owner-writer", files[owned ? 0 : 1], files[owned ? 1 : 0],
                       std::to_string(owned), std::to_string(fds[1])});
      }
      close(fds[1]);
      int32_t id = 0, last = 0;
      while (last <= kBeforeOwner && read(fds[0], &id, 4) == 4) last = id;
      past = last > kBeforeOwner;
      kill(pid, SIGKILL);
      int status = 0;
      waitpid(pid, &status, 0);
      close(fds[0]);
      const std::string at = "owner on the writer's file " + std::to_string(owned + 1) +
                             ", cut at call " + std::to_string(k) + ": ";
      if (last < kBeforeOwner || !WIFSIGNALED(status)) {
        return at + "the writer stopped (wait status " + std::to_string(status) + ")";
      }
      if (powercut::RollBack(folder) < 0) return at + "the journals could not be applied";
      std::set<int32_t> want, keyed[2];
      for (int32_t i = 1; i <= last; ++i) want.insert(i);
      std::string fault = Check(files[1], want, &keyed[1], kOwner);
      if (fault.empty()) fault = Check(files[0], want, &keyed[0]);
      if (fault.empty() && keyed[0] != keyed[1]) {
        fault = "the transaction after the owner change is in one file only";
      }
      if (!fault.empty()) return at + fault;
      std::filesystem::remove_all(folder);
    }
  }
  return "";
}

// The cuts of one run, on three files of one folder.
class Cuts {
 public:
  Cuts(std::string shim, std::string self, std::string dir)
      : shim_(std::move(shim)), self_(std::move(self)), dir_(std::move(dir)) {}

  // Makes the three files in the folder. Returns false when they cannot be made.
  bool Create() {
    std::filesystem::create_directories(dir_);
    for (int f = 0; f < 3; ++f) {
      files_[f] = dir_ + "/" + kNames[f];
      if (crash::CreateIntKeyFile(files_[f], kRecordLength) != 0) return false;
    }
    acknowledged_.clear();
    return true;
  }

  // One cut under writers of `roles`: after `length` from the first acknowledged insert or,
  // with `cutter` >= 0, where that writer's shim cuts at its k-th call from the End of its
  // arm_at-th transaction on. *past: that writer reached its next End uncut. Returns a
  // description of the first fault, or "".
  std::string Cut(const Roles& roles, std::chrono::milliseconds length, int cutter = -1, long k = 0,
                  int arm_at = 0, bool* past = nullptr) {
    const int64_t cut = cuts_++;
    pid_t group = 0;
    std::vector<pid_t> pids;
    std::vector<int> acks;
    for (int w = 0; w < static_cast<int>(roles.size()); ++w) {
      int fds[2];
      if (pipe(fds) != 0) return "no pipe";
      const pid_t pid = fork();
      if (pid == 0) {
        // The writers are a process group of their own, which the cut kills at once.
        setpgid(0, group);
        close(fds[0]);
        if (w == cutter) setenv("VASTREL_CUT_AT", std::to_string(k).c_str(), 1);
        std::vector<std::string> args = {self_, "--writer", std::to_string(FirstId(cut, w)),
                                         std::to_string(fds[1]),
                                         std::to_string(w == cutter ? arm_at : 0)};
        for (int f : roles[w]) args.push_back(files_[f]);
        ExecUnderShim(shim_, dir_, args);
      }
      close(fds[1]);
      if (pid < 0) return "fork failed";
      setpgid(pid, group);
      if (group == 0) group = pid;
      pids.push_back(pid);
      acks.push_back(fds[0]);
    }
    std::string fault;
    const auto now = [] { return std::chrono::steady_clock::now(); };
    std::chrono::steady_clock::time_point started{}, heard = now();
    bool running = true;
    while (running) {
      std::vector<pollfd> p;
      for (int fd : acks) p.push_back({fd, POLLIN, 0});
      poll(p.data(), p.size(), 100);
      for (size_t i = 0; i < p.size() && running; ++i) {
        int32_t id;
        if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        if (read(acks[i], &id, 4) != 4) {
          running = false;  // the cut, or a writer that ended by itself
        } else if (id == 0) {
          if (past) *past = true;
          running = false;
        } else {
          heard = now();
          acknowledged_.insert(id);
          if (started == std::chrono::steady_clock::time_point{}) started = now();
        }
      }
      if (cutter < 0 && started != std::chrono::steady_clock::time_point{} &&
          now() - started > length) {
        running = false;
      }
      if (now() - heard > std::chrono::seconds(30)) {
        fault = "the writers acknowledged nothing for 30 s";
        running = false;
      }
    }
    kill(-group, SIGKILL);
    for (size_t w = 0; w < pids.size(); ++w) {
      int status = 0;
      waitpid(pids[w], &status, 0);
      int32_t id;
      while (read(acks[w], &id, 4) == 4) {
        if (id != 0) acknowledged_.insert(id);
      }
      close(acks[w]);
      if (!WIFSIGNALED(status) && fault.empty()) {
        fault = "a writer ended by itself (wait status " + std::to_string(status) + ")";
      }
    }
    const long n = powercut::RollBack(dir_);
    if (n < 0 && fault.empty()) fault = "the journals could not be applied";
    undone_ += n;
    if (LogInUse(files_[0] + "-log")) ++replayed_;
    if (fault.empty()) fault = Verify(roles, cut);
    uint8_t stop[BTR_POS_BLOCK_SIZE] = {};
    BTRCALL(BTR_STOP, stop, nullptr, nullptr, nullptr, 0, 0);
    return fault;
  }

  int64_t cuts() const { return cuts_; }
  size_t acknowledged() const { return acknowledged_.size() + in_doubt_found_; }
  long undone() const { return undone_; }
  long replayed() const { return replayed_; }

 private:
  static constexpr const char* kNames[3] = {"shared.dat", "other.dat", "third.dat"};

  // Each file holds every acknowledged id of the writers that write it (the first file opened,
  // in turn, finishes what the cut interrupted); a writer's transaction is in every file it
  // wrote or in none, and one it never acknowledged can only be the one it had under way.
  std::string Verify(const Roles& roles, int64_t cut) {
    std::set<int32_t> held[3];
    std::string fault;
    for (int i = 0; i < 3 && fault.empty(); ++i) {
      const int f = static_cast<int>((cut + i) % 3);
      std::set<int32_t> want;
      for (int32_t id : acknowledged_) {
        const auto& files = roles[WriterOf(id)];
        if (std::find(files.begin(), files.end(), f) != files.end()) want.insert(id);
      }
      fault = Check(files_[f], want, &held[f]);
    }
    std::vector<int32_t> found;
    for (int w = 0; w < static_cast<int>(roles.size()) && fault.empty(); ++w) {
      std::set<int32_t> first;
      for (int f : roles[w]) {
        std::set<int32_t> mine;
        for (int32_t id : held[f]) {
          if (WriterOf(id) == w) mine.insert(id);
        }
        if (f == roles[w][0]) {
          first = mine;
        } else if (mine != first) {
          fault = "a transaction over several files is in some of them only";
        }
      }
      for (int32_t id : first) {
        if (acknowledged_.count(id)) continue;
        const int64_t of = id / kCutIds;
        if (id != FirstId(of, w) && !acknowledged_.count(id - 1)) {
          fault = "record " + std::to_string(id) + " is there, never acknowledged nor under way";
        }
        found.push_back(id);
      }
    }
    // One found whole is durable from now on.
    for (int32_t id : found) acknowledged_.insert(id);
    in_doubt_found_ += found.size();
    return fault;
  }

  const std::string shim_, self_, dir_;
  std::string files_[3];
  std::set<int32_t> acknowledged_;
  size_t in_doubt_found_ = 0;
  int64_t cuts_ = 0;
  long undone_ = 0, replayed_ = 0;
};

// Sweeps of the cut over every call of a commit (see the top), whole rounds until `cuts` cuts.
// Returns a description of the first fault, or "".
std::string Sweep(const std::string& shim, const char* self, const std::string& dir, long cuts) {
  std::mt19937 rng(2027);
  long done = 0, longest = 0, shortest = 1L << 30;
  int rounds = 0;
  for (; done < cuts; ++rounds) {
    const bool three = rounds % 2 == 1;
    const Roles roles = {
        three ? std::vector<int>{0, 1, 2} : std::vector<int>{0, 1}, {1, 2}, {0, 2}};
    const std::string folder = dir + "/round-" + std::to_string(rounds);
    Cuts run(shim, self, folder);
    if (!run.Create()) return "cannot create the files";
    const int arm_at = 2 + static_cast<int>(rng() % 3);
    long k = 1;
    for (bool past = false; !past; ++k, ++done) {
      const std::string fault = run.Cut(roles, {}, 0, k, arm_at, &past);
      if (!fault.empty()) {
        return "round " + std::to_string(rounds) + " (" + (three ? "three" : "two") +
               " files, armed at transaction " + std::to_string(arm_at) + "), cut at call " +
               std::to_string(k) + ": " + fault;
      }
      if (k > 1000) return "the count never passed the commit";
    }
    longest = std::max(longest, k - 2);
    shortest = std::min(shortest, k - 2);
    std::filesystem::remove_all(folder);
  }
  std::printf(
      "%ld cuts in %d rounds, each at every call from a commit over two or three files "
      "on (%ld to %ld calls a round)\n",
      done, rounds, shortest, longest);
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 5 && std::strcmp(argv[1], "--owner-writer") == 0) {
    OwnerWriter(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
  }
  if (argc > 5 && std::strcmp(argv[1], "--writer") == 0) {
    Writer(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]),
           std::vector<std::string>(argv + 5, argv + argc));
  }
  if (argc < 2) {
    std::printf("usage: mkde_power_cut_writers_case SHIM [cuts | --sweep CUTS]\n");
    return 2;
  }
  const std::string shim = argv[1];
  const bool sweep = argc > 3 && std::strcmp(argv[2], "--sweep") == 0;
  const long cuts = sweep ? std::atol(argv[3]) : argc > 2 ? std::atol(argv[2]) : 30;
  const char* tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/var/tmp") + "/mkde-cut-writers-XXXXXX";
  if (!mkdtemp(tmpl.data())) return 2;
  const std::string dir = tmpl;
  std::string fault;
  if (sweep) {
    fault = Sweep(shim, argv[0], dir, cuts);
    if (!fault.empty()) std::printf("%s\n", fault.c_str());
  } else {
    Cuts run(shim, argv[0], dir);
    if (!run.Create()) {
      std::printf("cannot create the files\n");
      return 2;
    }
    std::mt19937 rng(2026);
    for (long cut = 0; cut < cuts && fault.empty(); ++cut) {
      // The writers run for a random while from their first acknowledged insert, then the
      // power goes.
      fault = run.Cut(kRandomRoles, std::chrono::milliseconds(5 + rng() % 60));
      if (!fault.empty()) std::printf("cut %ld: %s\n", cut + 1, fault.c_str());
    }
    std::printf(
        "%ld cuts of %zu writers: %zu acknowledged inserts, %ld unsynced writes undone, %ld "
        "cuts left a log to replay\n",
        cuts, kRandomRoles.size(), run.acknowledged(), run.undone(), run.replayed());
  }
  if (fault.empty()) {
    const std::string owned = dir + "/owner-change";
    std::filesystem::create_directory(owned);
    fault = OwnerChangeCuts(shim, argv[0], owned);
    if (!fault.empty()) std::printf("the cuts after an owner change: %s\n", fault.c_str());
  }
  if (fault.empty()) std::filesystem::remove_all(dir);
  return fault.empty() ? 0 : 1;
}
