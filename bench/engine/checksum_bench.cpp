// engine_checksum_bench: what the record checksum of format 2 costs, against the same file in
// format 1 (records without one), side by side in one run: a walk in physical order, a walk
// along key 0, and inserts in transactions of 1,000.
//
//   scripts/build release --target engine_checksum_bench
//   build/bin/engine_checksum_bench [Google Benchmark flags]
//
// The format-1 file is the format-2 file rewritten behind the engine's back (its format text
// and every record without its checksum), as the engine never makes one itself.
#include <benchmark/benchmark.h>
#include <lmdb.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "bench/engine/int_key_file.h"
#include "enginecore/include/wbtrv32.h"

namespace {

using vastrel::bench::CreateIntKeyFile;
using vastrel::bench::OpenFile;

constexpr uint16_t kLength = 100;
constexpr int32_t kRecords = 50000;

std::string g_dir;
int32_t g_next[2] = {kRecords + 1, kRecords + 1};

void Check(int status, const char* what) {
  if (status != 0) {
    std::fprintf(stderr, "engine_checksum_bench: %s answered %d\n", what, status);
    std::exit(1);
  }
}

std::string Path(int format) { return g_dir + "/f" + std::to_string(format) + ".dat"; }

void Open(uint8_t* pos, const std::string& path) { Check(OpenFile(pos, path), "Open"); }

void Insert(uint8_t* pos, int32_t id) {
  std::string rec(kLength, 'b');
  std::memcpy(rec.data(), &id, 4);
  uint8_t key[255] = {};
  uint32_t len = kLength;
  Check(BTRCALL(BTR_INSERT, pos, rec.data(), &len, key, sizeof key, 0), "Insert");
}

void Make(const std::string& path) {
  Check(CreateIntKeyFile(path, kLength), "Create");
  uint8_t pos[BTR_POS_BLOCK_SIZE] = {}, none[BTR_POS_BLOCK_SIZE] = {};
  Open(pos, path);
  Check(BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0), "Begin");
  for (int32_t id = 1; id <= kRecords; ++id) Insert(pos, id);
  Check(BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0), "End");
  BTRCALL(BTR_STOP, none, nullptr, nullptr, nullptr, 0, 0);
}

// Rewrites the file in format 1: its format text, and each record without its checksum.
void ToFormat1(const std::string& path) {
  MDB_env* env;
  MDB_txn* txn;
  MDB_dbi meta, records;
  mdb_env_create(&env);
  mdb_env_set_maxdbs(env, 8);
  mdb_env_set_mapsize(env, size_t{1} << 30);
  Check(mdb_env_open(env, path.c_str(), MDB_NOSUBDIR, 0644), "mdb_env_open");
  Check(mdb_txn_begin(env, nullptr, 0, &txn), "mdb_txn_begin");
  Check(mdb_dbi_open(txn, "meta", 0, &meta), "mdb_dbi_open");
  Check(mdb_dbi_open(txn, "records", 0, &records), "mdb_dbi_open");
  std::string format = "vastrel record file 1";
  MDB_val k{6, const_cast<char*>("format")}, v{format.size(), format.data()};
  Check(mdb_put(txn, meta, &k, &v, 0), "mdb_put");
  std::vector<std::pair<std::string, std::string>> all;
  MDB_cursor* c;
  mdb_cursor_open(txn, records, &c);
  for (int rc = mdb_cursor_get(c, &k, &v, MDB_FIRST); rc == 0;
       rc = mdb_cursor_get(c, &k, &v, MDB_NEXT)) {
    std::string value(static_cast<char*>(v.mv_data), v.mv_size);
    all.emplace_back(std::string(static_cast<char*>(k.mv_data), k.mv_size),
                     value.substr(0, 4) + value.substr(8));
  }
  mdb_cursor_close(c);
  for (auto& [key, value] : all) {
    k = MDB_val{key.size(), key.data()};
    v = MDB_val{value.size(), value.data()};
    Check(mdb_put(txn, records, &k, &v, 0), "mdb_put");
  }
  Check(mdb_txn_commit(txn), "mdb_txn_commit");
  mdb_env_close(env);
}

// args: format (1 or 2), path (-1 physical order, 0 key 0).
void Walk(benchmark::State& state) {
  const int format = static_cast<int>(state.range(0));
  const int8_t path = static_cast<int8_t>(state.range(1));
  uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
  Open(pos, Path(format));
  std::string data(kLength, '\0');
  uint8_t key[255] = {};
  const uint16_t first = path < 0 ? BTR_STEP_FIRST : BTR_GET_FIRST;
  const uint16_t next = path < 0 ? BTR_STEP_NEXT : BTR_GET_NEXT;
  for (auto _ : state) {
    int32_t n = 0;
    uint32_t len = kLength;
    for (int16_t s = BTRCALL(first, pos, data.data(), &len, key, sizeof key, path); s == 0;
         s = BTRCALL(next, pos, data.data(), &len, key, sizeof key, path)) {
      ++n;
      len = kLength;
    }
    if (n != kRecords + (g_next[format - 1] - kRecords - 1)) Check(1, "a walk");
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
  BTRCALL(BTR_CLOSE, pos, nullptr, nullptr, nullptr, 0, 0);
}

// args: format.
void InsertBatch(benchmark::State& state) {
  const int format = static_cast<int>(state.range(0));
  uint8_t pos[BTR_POS_BLOCK_SIZE] = {}, none[BTR_POS_BLOCK_SIZE] = {};
  Open(pos, Path(format));
  for (auto _ : state) {
    Check(BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0), "Begin");
    for (int i = 0; i < 1000; ++i) Insert(pos, g_next[format - 1]++);
    Check(BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0), "End");
  }
  state.SetItemsProcessed(state.iterations() * 1000);
  BTRCALL(BTR_CLOSE, pos, nullptr, nullptr, nullptr, 0, 0);
}

BENCHMARK(Walk)
    ->ArgNames({"format", "path"})
    ->Args({1, -1})
    ->Args({2, -1})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(InsertBatch)->ArgName("format")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  char templ[] = "/var/tmp/vastrel-checksum-bench-XXXXXX";
  if (!mkdtemp(templ)) return 2;
  g_dir = templ;
  Make(Path(1));
  ToFormat1(Path(1));
  Make(Path(2));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(g_dir);
  return 0;
}
