// engine_clients_bench: the engine workload's write and read phases in 1, 4 and 16 client
// processes, through the embedded engine and the server engine side by side in one run.
// Each client process loads the engine library and runs the phase for a fixed time; the
// table gives operations per second over all clients and the mean latency of one call.
//
//   write: durable single inserts of workload records (each client its own ordinals)
//   read:  Get Equal of a random existing key 0, then Get Next along key 0
//
// The server engine needs VASTREL_PG (scripts/pg-server start DIR prints how to reach a
// throwaway server); without it only the embedded engine runs.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/engine/workload.h"
#include "enginecore/include/wbtrv32.h"

namespace {

using namespace vastrel::bench;
using Clock = std::chrono::steady_clock;

struct Result {
  uint64_t ops = 0;
  uint64_t nanos = 0;  // summed over the calls of every client
};

BTRCALL_FN Load(const std::string& path) {
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  return lib ? reinterpret_cast<BTRCALL_FN>(dlsym(lib, "BTRCALL")) : nullptr;
}

std::string CreationBuffer() {
  std::string b(16 + 32, '\0');
  auto put16 = [&](size_t at, uint16_t v) {
    b[at] = static_cast<char>(v);
    b[at + 1] = static_cast<char>(v >> 8);
  };
  put16(0, kRecordSize);
  put16(2, 4096);
  put16(4, 2);
  put16(16, kKey0Offset + 1);
  put16(18, kKey0Size);
  put16(20, 0x0100);
  b[26] = 1;  // integer
  put16(32, kKey1Offset + 1);
  put16(34, kKey1Size);
  put16(36, 0x0101);  // duplicates
  return b;
}

int Open(BTRCALL_FN call, const std::string& path, uint8_t* pos) {
  char owner[16] = {};
  uint32_t len = sizeof owner;
  std::string key = path + '\0';
  return call(BTR_OPEN, pos, owner, &len, key.data(), static_cast<uint8_t>(key.size()), 0);
}

// One client's run of `phase` for `seconds`; ordinals from `first` on for inserts.
Result Client(BTRCALL_FN call, const std::string& path, const std::string& phase, double seconds,
              uint32_t first, uint32_t loaded, uint64_t seed) {
  Result r;
  uint8_t pos[128] = {};
  if (Open(call, path, pos) != 0) return r;
  uint8_t record[kRecordSize];
  char key[255] = {};
  Rng rng(seed);
  auto end = Clock::now() + std::chrono::duration<double>(seconds);
  uint32_t ordinal = first;
  while (Clock::now() < end) {
    auto t0 = Clock::now();
    uint32_t len = kRecordSize;
    int status;
    if (phase == "write") {
      MakeRecord(ordinal++, record);
      status = call(BTR_INSERT, pos, record, &len, key, sizeof key, 0);
    } else {
      int32_t k0 = Key0Of(rng.Below(loaded));
      std::memcpy(key, &k0, 4);
      status = call(BTR_GET_EQUAL, pos, record, &len, key, sizeof key, 0);
      if (status == 0) {
        len = kRecordSize;
        status = call(BTR_GET_NEXT, pos, record, &len, key, sizeof key, 0);
        if (status == 9) status = 0;
        ++r.ops;  // two calls
      }
    }
    r.nanos += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count();
    if (status != 0) {
      std::fprintf(stderr, "%s: status %d\n", phase.c_str(), status);
      break;
    }
    ++r.ops;
  }
  uint32_t len = 0;
  call(BTR_CLOSE, pos, nullptr, &len, nullptr, 0, 0);
  return r;
}

Result Run(const std::string& lib, const std::string& path, const std::string& phase, int clients,
           double seconds, uint32_t loaded, uint32_t* next_ordinal) {
  std::vector<std::pair<pid_t, int>> children;
  for (int c = 0; c < clients; ++c) {
    int fds[2];
    if (pipe(fds) != 0) std::exit(1);
    uint32_t first = *next_ordinal + static_cast<uint32_t>(c) * 10000000u;
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      BTRCALL_FN call = Load(lib);
      Result r = call ? Client(call, path, phase, seconds, first, loaded, 7 + c) : Result{};
      if (write(fds[1], &r, sizeof r) != sizeof r) _exit(1);
      _exit(0);
    }
    close(fds[1]);
    children.push_back({pid, fds[0]});
  }
  *next_ordinal += static_cast<uint32_t>(clients) * 10000000u;
  Result total;
  for (auto [pid, fd] : children) {
    Result r;
    if (read(fd, &r, sizeof r) == sizeof r) {
      total.ops += r.ops;
      total.nanos += r.nanos;
    }
    close(fd);
    waitpid(pid, nullptr, 0);
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("Write and read phases in 1, 4 and 16 client processes, embedded and server engine");
  double seconds = 2;
  uint32_t records = 20000;
  std::string dir;
  app.add_option("--seconds", seconds, "run time of each phase and client count (default 2)");
  app.add_option("--records", records, "records loaded before the read phase (default 20000)");
  app.add_option("--dir", dir, "folder of the embedded engine's file (default: new in /var/tmp)");
  CLI11_PARSE(app, argc, argv);
  std::string here = std::filesystem::canonical("/proc/self/exe").parent_path().string();
  bool own_dir = dir.empty();
  if (own_dir) {
    char tmpl[] = "/var/tmp/vastrel-clients-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    dir = tmpl;
  }
  struct Engine {
    const char* name;
    std::string lib;
    std::string path;
  };
  std::vector<Engine> engines = {{"embedded", here + "/libwbtrv32.so", dir + "/clients.dat"}};
  if (std::getenv("VASTREL_PG")) {
    engines.push_back({"server", here + "/libwbtrv32pg.so",
                       "bench/clients-" + std::to_string(getpid()) + ".dat"});
  } else {
    std::fprintf(stderr, "VASTREL_PG not set: the server engine is left out\n");
  }
  std::printf("%-9s %-6s %7s %12s %12s\n", "engine", "phase", "clients", "ops/s", "us/call");
  std::vector<std::vector<double>> rates(engines.size());
  for (size_t e = 0; e < engines.size(); ++e) {
    const Engine& en = engines[e];
    // The file and its load, in a child so that this process keeps no engine state.
    pid_t pid = fork();
    if (pid == 0) {
      BTRCALL_FN call = Load(en.lib);
      if (!call) _exit(2);
      std::string spec = CreationBuffer();
      uint32_t len = static_cast<uint32_t>(spec.size());
      std::string key = en.path + '\0';
      uint8_t pos[128] = {};
      if (call(BTR_CREATE, pos, spec.data(), &len, key.data(), static_cast<uint8_t>(key.size()),
               0) != 0 ||
          Open(call, en.path, pos) != 0) {
        _exit(3);
      }
      uint8_t record[kRecordSize];
      char kb[255];
      call(BTR_BEGIN_TRANSACTION, pos, nullptr, nullptr, nullptr, 0, 0);
      for (uint32_t i = 0; i < records; ++i) {
        MakeRecord(i, record);
        len = kRecordSize;
        if (call(BTR_INSERT, pos, record, &len, kb, sizeof kb, 0) != 0) _exit(4);
      }
      _exit(call(BTR_END_TRANSACTION, pos, nullptr, nullptr, nullptr, 0, 0) == 0 ? 0 : 5);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "%s: the load failed (%d)\n", en.name, WEXITSTATUS(status));
      continue;
    }
    uint32_t next = records;
    for (const char* phase : {"write", "read"}) {
      for (int clients : {1, 4, 16}) {
        Result r = Run(en.lib, en.path, phase, clients, seconds, records, &next);
        double rate = r.ops / seconds;
        double us = r.ops ? r.nanos / 1000.0 / static_cast<double>(r.ops) : 0;
        rates[e].push_back(rate);
        std::printf("%-9s %-6s %7d %12.0f %12.1f\n", en.name, phase, clients, rate, us);
        std::fflush(stdout);
      }
    }
  }
  if (engines.size() == 2 && rates[0].size() == rates[1].size() && !rates[0].empty()) {
    std::printf("\nserver:embedded ops/s ratio\n");
    size_t i = 0;
    for (const char* phase : {"write", "read"}) {
      for (int clients : {1, 4, 16}) {
        double ratio = rates[0][i] > 0 ? rates[1][i] / rates[0][i] : 0;
        std::printf("%-6s %2d clients: %.3f\n", phase, clients, ratio);
        ++i;
      }
    }
  }
  if (own_dir) std::filesystem::remove_all(dir);
  return 0;
}
