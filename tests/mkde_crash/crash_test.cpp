// Crash test of the record engine: a writer process runs random transactions over three
// files and is killed with SIGKILL at random moments; after each kill the files must hold
// exactly the acknowledged transactions, every one whole, and their keys must agree with
// their records.
//
// The writer (this program run with --writer) reports to the test over a pipe: before it calls
// End Transaction it sends the transaction's changes ('T'), after End answers 0 it sends an
// acknowledgement ('A'). A kill between the two leaves one transaction in doubt: it must then
// be found either entirely present or entirely absent. Aborted and unfinished transactions
// must leave no trace. An engine without transactions (Begin answers 1) is tested the same
// way with single writes, each of which must be durable when its call returns.
//
// Usage: mkde_crash_test [--iterations N] [--seconds S] [--seed N] [--max-delay-ms N]
//                        [--dir DIR] [--keep] [--require-transactions]
//                        [--no-reader] [--power-cut SHIM] [--compact] [--verbose]
// A reader in the test's own process reads random records while the writer runs (about one a
// millisecond) and must never see data of a transaction before its End; --no-reader omits it.
// --power-cut names the power-cut shim (power_cut_shim.cpp): every kill is then a power cut,
// the files put back to what their last syncs left on disk before they are checked, and
// every open is durable. --compact runs a third process that compacts the files again and again
// beside the writer and is killed with it (a kill in the middle of a compact must leave a whole
// file holding every acknowledged commit; with --power-cut the compactor's unsynced writes are
// undone too, and a cut before, in or after a swap must leave the same).
// Environment: VASTREL_CRASH_ITERATIONS, VASTREL_CRASH_SECONDS, VASTREL_CRASH_SEED and
// VASTREL_CRASH_MAX_DELAY_MS give the same knobs (the options win).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "enginecore/include/wbtrv32.h"
#include "tests/mkde_crash/crash_files.h"
#include "tests/mkde_crash/crash_writer.h"
#include "tests/mkde_crash/power_cut.h"

#ifndef VASTREL_CRASH_DEFAULT_ITERATIONS
#define VASTREL_CRASH_DEFAULT_ITERATIONS 200
#endif
#ifndef VASTREL_CRASH_DEFAULT_MAX_DELAY_MS
#define VASTREL_CRASH_DEFAULT_MAX_DELAY_MS 60
#endif

namespace crash {
namespace {

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------------------------
// The test.

struct Options {
  uint64_t iterations = VASTREL_CRASH_DEFAULT_ITERATIONS;
  double seconds = 0;  // > 0: run until this much time has passed instead
  uint64_t seed = 0;
  int max_delay_ms = VASTREL_CRASH_DEFAULT_MAX_DELAY_MS;
  std::string dir;
  bool keep = false;
  bool require_transactions = false;
  bool concurrent_reader = true;  // --no-reader turns it off
  bool verbose = false;
  // The power-cut shim: preloaded into the writer, its undone writes rolled back after each
  // kill, so that the files are what a power cut at that moment would leave.
  std::string power_cut;
  // A third process compacts the files over and over while the writer writes, and is killed
  // with it.
  bool compact = false;
};

struct Figures {
  uint64_t iterations = 0;
  uint64_t acknowledged = 0;
  uint64_t changes = 0;
  uint64_t in_doubt_present = 0;
  uint64_t in_doubt_absent = 0;
  uint64_t torn_messages = 0;
  uint64_t kills_timed = 0, kills_at_commit = 0, kills_at_start = 0;
  uint64_t transaction_runs = 0, single_write_runs = 0, accelerated_runs = 0;
  uint64_t writes_undone = 0;  // by the power cuts
  uint64_t swaps = 0;          // record files found put in place by another file (compacts)
};

enum class KillPlan { kTimed, kAtCommit, kAtStart };

// Another client, in the test's own process, reading while the writer runs: every record image
// it sees must be one the files held before the writer started or one the writer announced
// before ending a transaction. An image of an aborted or unfinished transaction is a read of
// uncommitted data.
class ConcurrentReader {
 public:
  // Starts a round: images the files hold now.
  void Begin(const Model& model) {
    allowed_.clear();
    seen_.clear();
    for (size_t f = 0; f < kFiles.size(); ++f) {
      for (const auto& [id, rec] : model[f]) allowed_.insert(Image(f, rec));
    }
    std::memset(open_, 0, sizeof open_);
    std::memset(pos_, 0, sizeof pos_);
  }
  void Announced(const std::vector<Effect>& effects) {
    for (const Effect& e : effects) {
      if (!e.erase) allowed_.insert(Image(e.file, e.record));
    }
  }
  // One Get Equal of a random id. Returns false with *problem on a status other than 0 and 4.
  bool ReadOne(const std::string& dir, std::mt19937_64& rng, std::string* problem) {
    const size_t f = rng() % kFiles.size();
    // The owned file is opened for each read and closed after it, so that the writer's owner
    // changes (which need the file to themselves) meet the reader's opens in every phase.
    const bool owned = kFiles[f].owner_level >= 0;
    if (!open_[f]) {
      // An exclusive transaction of the writer keeps new opens out for its life.
      const int s = OpenFile(dir, f, pos_[f], -2);
      if (s == BTR_FILE_IN_USE) return true;
      if (s != 0) {
        *problem = "a reader's open answered " + std::to_string(s);
        return false;
      }
      open_[f] = true;
    }
    const int32_t id = static_cast<int32_t>(1 + rng() % kIdRange);
    uint8_t key[255] = {};
    std::memcpy(key, &id, 4);
    std::string rec(512, '\0');
    uint32_t len = 512;
    const int s = BTRCALL(BTR_GET_EQUAL, pos_[f], rec.data(), &len, key, sizeof key, 0);
    ++reads_;
    if (owned) {
      BTRCALL(BTR_CLOSE, pos_[f], nullptr, nullptr, nullptr, 0, 0);
      open_[f] = false;
    }
    if (s == BTR_KEY_NOT_FOUND) return true;
    if (s != 0) {
      *problem = "a reader's Get Equal answered " + std::to_string(s);
      return false;
    }
    rec.resize(len);
    seen_.push_back({f, rec});
    return true;
  }
  // After the round's last message: returns false with *problem for an image no committed
  // state can hold.
  bool Verify(std::string* problem) const {
    for (const auto& [f, rec] : seen_) {
      if (!allowed_.count(Image(f, rec))) {
        *problem = "a reader saw id " + std::to_string(RecordId(rec)) + " of " + kFiles[f].name +
                   " as no announced transaction wrote it (uncommitted data)";
        return false;
      }
    }
    return true;
  }
  uint64_t reads() const { return reads_; }

 private:
  static std::string Image(size_t f, const std::string& rec) {
    return std::string(1, static_cast<char>(f)) + rec;
  }

  std::set<std::string> allowed_;
  std::vector<std::pair<size_t, std::string>> seen_;
  uint8_t pos_[kFiles.size()][BTR_POS_BLOCK_SIZE] = {};
  bool open_[kFiles.size()] = {};
  uint64_t reads_ = 0;
};

class CrashTest {
 public:
  CrashTest(Options options, std::string self) : o_(std::move(options)), self_(std::move(self)) {}

  int Run() {
    if (o_.dir.empty()) {
      char tmpl[] = "/tmp/mkde-crash-XXXXXX";
      if (!mkdtemp(tmpl)) return Error("cannot make a temporary folder");
      dir_ = tmpl;
    } else {
      dir_ = o_.dir;
      std::filesystem::create_directories(dir_);
    }
    if (const int s = CreateFiles(dir_); s != 0) {
      return Error("Create answered " + std::to_string(s));
    }
    std::printf("crash test: seed %" PRIu64 ", files in %s\n", o_.seed, dir_.c_str());
    std::fflush(stdout);
    rng_.seed(o_.seed);
    const auto start = Clock::now();
    for (uint64_t i = 0;; ++i) {
      const double elapsed = Seconds(Clock::now() - start);
      if (o_.seconds > 0 ? elapsed >= o_.seconds : i >= o_.iterations) break;
      if (!Iteration(static_cast<uint32_t>(i))) {
        std::printf("FAILED at iteration %" PRIu64 " (seed %" PRIu64 "); files kept in %s\n", i,
                    o_.seed, dir_.c_str());
        return 1;
      }
      ++f_.iterations;
      if (o_.verbose || (i + 1) % 50 == 0) {
        std::printf("  %" PRIu64 " iterations, %" PRIu64 " acknowledged, %.1f s\n", i + 1,
                    f_.acknowledged, Seconds(Clock::now() - start));
        std::fflush(stdout);
      }
    }
    if (o_.require_transactions && f_.transaction_runs == 0) {
      return Error("the engine answered Begin Transaction with 1");
    }
    // After the last kill the files still take writes.
    if (!FinalWrite()) return 1;
    const double elapsed = Seconds(Clock::now() - start);
    std::printf("crash test passed: %" PRIu64 " iterations in %.1f s (seed %" PRIu64
                "), %s\n"
                "  %" PRIu64 " acknowledged units with %" PRIu64 " changes; writer runs: %" PRIu64
                " with transactions, %" PRIu64 " without (Begin answered 1), %" PRIu64
                " of them accelerated"
                "\n"
                "  kills: %" PRIu64 " timed, %" PRIu64 " at a commit, %" PRIu64
                " at start; in doubt "
                "at the kill: %" PRIu64 " found committed, %" PRIu64 " found absent; %" PRIu64
                " torn messages\n"
                "  files now hold %zu, %zu and %zu records; %" PRIu64
                " reads by a concurrent reader; %" PRIu64 " unsynced writes undone by power cuts\n",
                f_.iterations, elapsed, o_.seed,
                f_.transaction_runs ? "transactions of 1 to 50 changes" : "single durable writes",
                f_.acknowledged, f_.changes, f_.transaction_runs, f_.single_write_runs,
                f_.accelerated_runs, f_.kills_timed, f_.kills_at_commit, f_.kills_at_start,
                f_.in_doubt_present, f_.in_doubt_absent, f_.torn_messages, model_[0].size(),
                model_[1].size(), model_[2].size(), reader_.reads(), f_.writes_undone);
    if (o_.compact) std::printf("  %" PRIu64 " files swapped by compacts\n", f_.swaps);
    // Files the engine left beside the record files and their two companions.
    std::set<std::string> known;
    for (const FileDef& def : kFiles) {
      known.insert({def.name, std::string(def.name) + "-lock", std::string(def.name) + "-gate"});
    }
    std::string left;
    size_t left_count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      const std::string name = entry.path().filename();
      if (!known.count(name) && ++left_count <= 5) left += " " + name;
    }
    if (left_count) {
      std::printf("  %zu files left behind in the folder:%s%s\n", left_count, left.c_str(),
                  left_count > 5 ? " ..." : "");
    }
    if (!o_.keep) std::filesystem::remove_all(dir_);
    return 0;
  }

 private:
  static double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

  // The record files' inodes: a compact puts a new one in place.
  std::vector<ino_t> Inodes() const {
    std::vector<ino_t> inodes;
    for (size_t f = 0; f < kFiles.size(); ++f) {
      struct stat st;
      inodes.push_back(::stat(FilePath(dir_, f).c_str(), &st) == 0 ? st.st_ino : 0);
    }
    return inodes;
  }

  // In a child about to run the writer or the compactor: the power-cut shim preloaded, when
  // every kill is a power cut.
  void UnderShim() const {
    if (o_.power_cut.empty()) return;
    setenv("LD_PRELOAD", o_.power_cut.c_str(), 1);
    setenv("VASTREL_CUT_DIR", dir_.c_str(), 1);
    // Under the sanitizers their runtime is then no longer the first library loaded.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string options = std::string(asan && *asan ? asan : "") +
                                (asan && *asan ? ":" : "") + "verify_asan_link_order=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
  }

  int Error(const std::string& what) {
    std::printf("crash test: %s\n", what.c_str());
    return 1;
  }
  bool Failure(uint32_t iteration, const std::string& what) {
    std::printf("iteration %u: %s\n", iteration, what.c_str());
    return false;
  }

  bool Iteration(uint32_t iteration) {
    const int roll = static_cast<int>(rng_() % 100);
    const KillPlan plan = roll < 60   ? KillPlan::kTimed
                          : roll < 90 ? KillPlan::kAtCommit
                                      : KillPlan::kAtStart;
    // An accelerated commit is not durable against a power cut: power cuts use durable opens.
    const int8_t mode = o_.power_cut.empty() && rng_() % 4 == 0 ? -1 : 0;
    const uint64_t writer_seed = rng_();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return Failure(iteration, "pipe failed");
    BTRCALL(BTR_STOP, stop_pos_, nullptr, nullptr, nullptr, 0, 0);
    const std::vector<ino_t> inodes = Inodes();
    const auto forked = Clock::now();
    const pid_t pid = fork();
    if (pid < 0) return Failure(iteration, "fork failed");
    if (pid == 0) {
      // The writer gets a fresh process image: nothing of the test's engine state.
      close(fds[0]);
      fcntl(fds[1], F_SETFD, 0);
      const std::string args[] = {self_,
                                  "--writer",
                                  dir_,
                                  std::to_string(writer_seed),
                                  std::to_string(iteration),
                                  std::to_string(fds[1]),
                                  std::to_string(mode)};
      char* argv[8];
      for (int i = 0; i < 7; ++i) argv[i] = const_cast<char*>(args[i].c_str());
      argv[7] = nullptr;
      UnderShim();
      execv("/proc/self/exe", argv);
      _exit(127);
    }
    close(fds[1]);
    const int fd = fds[0];
    reader_.Begin(model_);
    pid_t compactor = -1;
    if (o_.compact) {
      const std::string seed = std::to_string(rng_());
      compactor = fork();
      if (compactor < 0) return Failure(iteration, "fork failed");
      if (compactor == 0) {
        close(fd);
        UnderShim();  // its unsynced writes are lost in a cut too
        const char* argv[] = {self_.c_str(), "--compactor", dir_.c_str(), seed.c_str(), nullptr};
        execv("/proc/self/exe", const_cast<char**>(argv));
        _exit(127);
      }
    }
    // The writer and the compactor die together: a kill may land in the middle of a compact.
    auto kill_all = [&] {
      kill(pid, SIGKILL);
      if (compactor > 0) kill(compactor, SIGKILL);
    };

    std::optional<Clock::time_point> kill_at;
    int commits_before_kill = 0;
    switch (plan) {
      case KillPlan::kAtStart:
        kill_at = forked + std::chrono::microseconds(rng_() % 8000);
        ++f_.kills_at_start;
        break;
      case KillPlan::kAtCommit:
        commits_before_kill = 1 + static_cast<int>(rng_() % 6);
        ++f_.kills_at_commit;
        break;
      case KillPlan::kTimed:
        ++f_.kills_timed;
        break;
    }
    const auto timed_delay =
        std::chrono::microseconds(rng_() % (uint64_t{1000} * std::max(1, o_.max_delay_ms)));
    const auto commit_delay = std::chrono::microseconds(rng_() % 1500);

    std::string buffer, failure;
    std::optional<std::vector<Effect>> in_doubt;
    uint64_t in_doubt_serial = 0;
    bool killed = false, ready = false;
    int commits = 0;
    auto last_message = Clock::now();
    for (;;) {
      const auto now = Clock::now();
      if (!killed && kill_at && now >= *kill_at) {
        kill_all();
        killed = true;
      }
      if (!killed && now - last_message > std::chrono::seconds(30)) {
        kill_all();
        killed = true;
        failure = "the writer sent nothing for 30 s (hung)";
      }
      // While the writer runs, the reader reads between its messages.
      if (!killed && ready && o_.concurrent_reader) {
        std::string problem;
        if (!reader_.ReadOne(dir_, rng_, &problem) && failure.empty()) failure = problem;
      }
      int timeout = !killed && ready && o_.concurrent_reader ? 1 : 1000;
      if (!killed && kill_at && timeout > 0) {
        timeout =
            static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*kill_at - now).count());
        timeout = std::max(0, std::min(timeout, 1000));
      }
      pollfd p{fd, POLLIN, 0};
      const int ready_fds = poll(&p, 1, timeout);
      if (ready_fds < 0 && errno == EINTR) continue;
      if (ready_fds <= 0) continue;
      char chunk[65536];
      const ssize_t n = read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      buffer.append(chunk, static_cast<size_t>(n));
      last_message = Clock::now();
      // Take every whole message.
      while (buffer.size() >= 4) {
        uint32_t length = 0;
        for (int i = 3; i >= 0; --i) length = (length << 8) | static_cast<uint8_t>(buffer[i]);
        if (length == 0 || buffer.size() - 4 < length) break;
        const char type = buffer[4];
        const std::string payload = buffer.substr(5, length - 1);
        buffer.erase(0, 4 + length);
        if (type == 'R') {
          ready = true;
          if (payload.size() == 1 && payload[0]) {
            ++f_.transaction_runs;
          } else {
            ++f_.single_write_runs;
          }
          if (mode == -1) ++f_.accelerated_runs;
          if (plan == KillPlan::kTimed) kill_at = Clock::now() + timed_delay;
        } else if (type == 'T') {
          std::vector<Effect> effects;
          if (in_doubt || !DecodeEffects(payload, &in_doubt_serial, &effects)) {
            failure = "the writer's report does not hold together";
          } else {
            reader_.Announced(effects);
            in_doubt = std::move(effects);
          }
          if (plan == KillPlan::kAtCommit && ++commits == commits_before_kill) {
            kill_at = Clock::now() + commit_delay;
          }
        } else if (type == 'A') {
          uint64_t serial = 0;
          std::vector<Effect> none;
          if (!in_doubt || !DecodeEffects(payload, &serial, &none) || serial != in_doubt_serial) {
            failure = "an acknowledgement of no announced transaction";
          } else {
            Apply(*in_doubt, &model_);
            ++f_.acknowledged;
            f_.changes += in_doubt->size();
            in_doubt.reset();
          }
        } else if (type == 'F') {
          failure = "the writer failed: " + payload;
        }
      }
      if (plan == KillPlan::kAtCommit && !kill_at && ready &&
          Clock::now() - forked > std::chrono::seconds(3)) {
        kill_at = Clock::now();  // the writer is slower than planned
      }
    }
    close(fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (compactor > 0) {
      kill(compactor, SIGKILL);  // a writer that ended by itself
      int compactor_status = 0;
      while (waitpid(compactor, &compactor_status, 0) < 0 && errno == EINTR) {
      }
      if (failure.empty() && !WIFSIGNALED(compactor_status)) {
        failure = "the compactor failed (wait status " + std::to_string(compactor_status) + ")";
      }
    }
    if (!buffer.empty()) ++f_.torn_messages;
    if (failure.empty()) reader_.Verify(&failure);
    BTRCALL(BTR_STOP, stop_pos_, nullptr, nullptr, nullptr, 0, 0);
    if (!o_.power_cut.empty()) {
      const long undone = powercut::RollBack(dir_);
      if (undone < 0 && failure.empty()) failure = "the power cut's journals could not be applied";
      if (undone > 0) f_.writes_undone += static_cast<uint64_t>(undone);
    }
    if (!failure.empty()) return Failure(iteration, failure);
    const std::vector<ino_t> now = Inodes();
    for (size_t f = 0; f < kFiles.size(); ++f) {
      if (kFiles[f].owner_level < 0 && now[f] != inodes[f]) ++f_.swaps;
    }
    if (!killed || !WIFSIGNALED(status) || WTERMSIG(status) != SIGKILL) {
      return Failure(iteration,
                     "the writer ended by itself (wait status " + std::to_string(status) + ")");
    }
    return Check(iteration, in_doubt ? &*in_doubt : nullptr);
  }

  // The files must hold the acknowledged state, or that state plus the transaction in doubt;
  // all files the same one of the two.
  bool Check(uint32_t iteration, const std::vector<Effect>* in_doubt) {
    Model actual;
    for (size_t f = 0; f < kFiles.size(); ++f) {
      std::string problem;
      if (!ReadAndCheck(dir_, f, 0, &actual[f], &problem)) {
        return Failure(iteration, std::string(kFiles[f].name) + ": " + problem);
      }
    }
    BTRCALL(BTR_STOP, stop_pos_, nullptr, nullptr, nullptr, 0, 0);
    if (actual == model_) {
      if (in_doubt) ++f_.in_doubt_absent;
      return true;
    }
    std::string report = "the files do not hold the acknowledged transactions\n";
    if (in_doubt) {
      Model with = model_;
      Apply(*in_doubt, &with);
      if (actual == with) {
        model_ = std::move(with);
        ++f_.in_doubt_present;
        ++f_.acknowledged;
        f_.changes += in_doubt->size();
        return true;
      }
      // Each file whole, but some with the transaction in doubt and some without: a torn
      // commit, said as such.
      bool each_whole = true;
      for (size_t f = 0; f < kFiles.size(); ++f) {
        each_whole = each_whole && (actual[f] == model_[f] || actual[f] == with[f]);
      }
      report += each_whole
                    ? "  the transaction in doubt at the kill is committed in some files only:\n"
                    : "  (nor those plus the one in doubt at the kill)\n";
      report += "  the transaction in doubt has " + std::to_string(in_doubt->size()) + " changes\n";
      for (size_t f = 0; f < kFiles.size(); ++f) {
        report += "  " + std::string(kFiles[f].name) + " against acknowledged plus in doubt:\n" +
                  DescribeDifference(with[f], actual[f], 10);
      }
    }
    for (size_t f = 0; f < kFiles.size(); ++f) {
      report += "  " + std::string(kFiles[f].name) + " against acknowledged:\n" +
                DescribeDifference(model_[f], actual[f], 10);
    }
    return Failure(iteration, report);
  }

  bool FinalWrite() {
    uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
    int s = OpenFile(dir_, 0, pos, 0);
    uint32_t len = 0;
    std::string rec(kFiles[0].record_length, 'x');
    const int32_t id = kIdRange + 1;
    std::memcpy(rec.data(), &id, 4);
    uint8_t key[255] = {};
    len = static_cast<uint32_t>(rec.size());
    if (s == 0) s = BTRCALL(BTR_INSERT, pos, rec.data(), &len, key, sizeof key, 0);
    if (s == 0) s = BTRCALL(BTR_DELETE, pos, nullptr, nullptr, nullptr, 0, 0);
    BTRCALL(BTR_STOP, stop_pos_, nullptr, nullptr, nullptr, 0, 0);
    if (s != 0) Error("a write after the last kill answered " + std::to_string(s));
    return s == 0;
  }

  const Options o_;
  const std::string self_;
  std::string dir_;
  std::mt19937_64 rng_;
  Model model_;
  Figures f_;
  ConcurrentReader reader_;
  uint8_t stop_pos_[BTR_POS_BLOCK_SIZE] = {};
};

}  // namespace
}  // namespace crash

int main(int argc, char** argv) {
  using namespace crash;
  Options o;
  // The writer: this program run again by the test, its arguments in a fixed order.
  std::vector<std::string> writer;
  CLI::App app(
      "Kills a writer of the record engine at random moments and checks every file "
      "after each kill",
      "mkde_crash_test");
  app.add_option("--iterations", o.iterations, "kills to run")->envname("VASTREL_CRASH_ITERATIONS");
  app.add_option("--seconds", o.seconds, "run this long instead of a number of kills")
      ->envname("VASTREL_CRASH_SECONDS");
  app.add_option("--seed", o.seed, "seed of the run (default: a random one)")
      ->envname("VASTREL_CRASH_SEED");
  app.add_option("--max-delay-ms", o.max_delay_ms, "longest time before a kill")
      ->envname("VASTREL_CRASH_MAX_DELAY_MS");
  app.add_option("--dir", o.dir, "folder of the files (default: a new one)");
  app.add_flag("--keep", o.keep, "keep the folder");
  app.add_flag("--require-transactions", o.require_transactions,
               "fail when the engine has no transactions (Begin answers 1)");
  bool no_reader = false;
  app.add_flag("--no-reader", no_reader, "no concurrent reader");
  app.add_option("--power-cut", o.power_cut, "the power-cut shim: every kill a power cut");
  app.add_flag("--verbose", o.verbose, "report every kill");
  app.add_flag("--compact", o.compact, "a compactor process beside the writer, killed with it");
  app.add_option("--writer", writer)->expected(5)->group("");
  std::vector<std::string> compactor;
  app.add_option("--compactor", compactor)->expected(2)->group("");
  CLI11_PARSE(app, argc, argv);
  o.concurrent_reader = !no_reader;
  if (!compactor.empty())
    RunCompactor(compactor[0], std::strtoull(compactor[1].c_str(), nullptr, 10));
  if (!writer.empty()) RunWriter(writer);
  if (o.seed == 0) o.seed = std::random_device{}() | (uint64_t{std::random_device{}()} << 32);
  signal(SIGPIPE, SIG_IGN);
  return CrashTest(o, argv[0]).Run();
}
