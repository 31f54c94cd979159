// engine_commit_bench: what it costs the record engine to commit a transaction over two files
// as one (redo files written and synced before the commits, removed after) against the same
// changes in one file, durable and accelerated, side by side in one run; and a program that
// opens a file, inserts one record and closes it again, in a normal and an accelerated open.
//
//   scripts/build release --target engine_commit_bench
//   build/bin/engine_commit_bench [Google Benchmark flags]
//
// Files live in a fresh folder under /var/tmp (a real disk: tmpfs makes every sync free).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench/engine/int_key_file.h"
#include "enginecore/include/wbtrv32.h"

namespace {

using vastrel::bench::CreateIntKeyFile;
using vastrel::bench::OpenFile;

constexpr uint16_t kLength = 100;
constexpr int kInserts = 10;  // per transaction, over one file or split over two

std::string g_dir;
int32_t g_next = 1;

void Check(int status, const char* what) {
  if (status != 0) {
    std::fprintf(stderr, "engine_commit_bench: %s answered %d\n", what, status);
    std::exit(1);
  }
}

void Create(const std::string& path) { Check(CreateIntKeyFile(path, kLength), "Create"); }

void Open(uint8_t* pos, const std::string& path, int8_t mode) {
  Check(OpenFile(pos, path, mode), "Open");
}

void Insert(uint8_t* pos) {
  std::string rec(kLength, 'b');
  const int32_t id = g_next++;
  std::memcpy(rec.data(), &id, 4);
  uint8_t key[255] = {};
  uint32_t len = kLength;
  Check(BTRCALL(BTR_INSERT, pos, rec.data(), &len, key, sizeof key, 0), "Insert");
}

// args: number of files (1 or 2), open mode (0 normal, -1 accelerated).
void Transaction(benchmark::State& state) {
  const int files = static_cast<int>(state.range(0));
  const int8_t mode = static_cast<int8_t>(state.range(1));
  uint8_t pos[2][BTR_POS_BLOCK_SIZE] = {};
  uint8_t none[BTR_POS_BLOCK_SIZE] = {};
  for (int f = 0; f < files; ++f) {
    const std::string path = g_dir + "/f" + std::to_string(f) + "-" + std::to_string(files) + "-" +
                             std::to_string(-mode) + ".dat";
    Create(path);
    Open(pos[f], path, mode);
  }
  for (auto _ : state) {
    Check(BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0), "Begin");
    for (int i = 0; i < kInserts; ++i) Insert(pos[i % files]);
    Check(BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0), "End");
  }
  BTRCALL(BTR_STOP, none, nullptr, nullptr, nullptr, 0, 0);
}

// args: open mode (0 normal, -1 accelerated). One open, one insert and the close, each time.
void OpenInsertClose(benchmark::State& state) {
  const int8_t mode = static_cast<int8_t>(state.range(0));
  const std::string path = g_dir + "/oic" + std::to_string(-mode) + ".dat";
  Create(path);
  uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
  for (auto _ : state) {
    Open(pos, path, mode);
    Insert(pos);
    Check(BTRCALL(BTR_CLOSE, pos, nullptr, nullptr, nullptr, 0, 0), "Close");
  }
}

BENCHMARK(Transaction)
    ->ArgNames({"files", "mode"})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({1, -1})
    ->Args({2, -1})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(OpenInsertClose)
    ->ArgName("mode")
    ->Arg(0)
    ->Arg(-1)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  char templ[] = "/var/tmp/vastrel-commit-bench-XXXXXX";
  if (!mkdtemp(templ)) return 2;
  g_dir = templ;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(g_dir);
  return 0;
}
