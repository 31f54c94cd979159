// engine_bench: one workload through the record engine's BTRCALL and, in the same run, on LMDB
// and SQLite used directly, with ns per operation, peak memory per phase and the ratios of the
// engine to the others in a table at the end.
//
//   engine_bench [--records=N] [--durable=M] [--single=S] [--base-engine=LIB] [--dir=PATH]
//                [--keep] [Google Benchmark flags]
//
// VASTREL_BENCH_RECORDS, VASTREL_BENCH_DURABLE and VASTREL_BENCH_DIR set the same; the
// defaults are 1,000,000 records, 300 durable inserts and a fresh folder under /var/tmp
// (durable inserts need a real disk, not tmpfs), removed at the end unless --keep.
// VASTREL_ENGINE names the engine library; by default libwbtrv32.so beside this program.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_options.h"
#include "bench/engine/memory.h"
#include "bench/engine/store.h"
#include "bench/engine/workload.h"

namespace vastrel::bench {
namespace {

struct Config {
  uint32_t records = 1'000'000;
  uint32_t durable = 300;
  std::string dir;
  bool keep = false;
  std::string engine;
  std::string base_engine;   // another engine library measured beside it as "engine-base"
  uint32_t single = 10'000;  // records of the files the size table writes
};

enum class Phase {
  kBulkLoad,
  kDurableInsert,
  kTransaction1,
  kTransaction,
  kTransaction1000,
  kNextKey0,
  kEqualKey0,
  kEqualKey1Next10,
  kStepNext,
};

struct PhaseInfo {
  Phase phase;
  const char* id;     // benchmark name
  const char* label;  // row of the summary
  bool read;
};

constexpr PhaseInfo kPhases[] = {
    {Phase::kBulkLoad, "bulk_load", "bulk load, per record", false},
    {Phase::kDurableInsert, "durable_insert", "durable single insert", false},
    {Phase::kTransaction1, "transaction_1_insert", "durable transaction of 1 insert", false},
    {Phase::kTransaction, "transaction_10_inserts", "durable transaction of 10 inserts", false},
    {Phase::kTransaction1000, "transaction_1000_inserts", "durable transaction of 1,000 inserts",
     false},
    {Phase::kNextKey0, "get_next_key0", "Get Next along key 0", true},
    {Phase::kEqualKey0, "get_equal_key0", "Get Equal on key 0, random", true},
    {Phase::kEqualKey1Next10, "get_equal_key1_next10", "Get Equal key 1 + 10 Get Next", true},
    {Phase::kStepNext, "step_next", "Step Next", true},
};

constexpr uint32_t kKey1Nexts = 10;
constexpr uint32_t kInsertsPerTransaction = 10;
constexpr uint32_t kInsertsPerLargeTransaction = 1000;
constexpr uint64_t kSeed = 20261208;

// One store and what the run has done to it so far.
struct Slot {
  std::unique_ptr<Store> store;
  bool loaded = false;
  bool open = false;
  OpenFor mode = OpenFor::kRead;
  uint32_t next_ordinal = 0;  // the next record a durable write adds
};

struct Result {
  double ns_per_op = 0;  // the headline: CPU time, or wall time for durable writes
  double wall_ns_per_op = 0;
  Memory memory;
};

Config g_config;
std::vector<Slot> g_slots;
std::map<std::pair<int, std::string>, Result> g_results;  // (phase, store) -> last run
int g_failures = 0;

void CloseOthers(const Slot& slot) {
  for (Slot& other : g_slots) {
    if (&other != &slot && other.open) {
      other.store->Close();
      other.open = false;
    }
  }
}

// Creates slot's files afresh and opens them for the load, every other store closed.
void Recreate(Slot& slot) {
  CloseOthers(slot);
  slot.store->Close();
  slot.loaded = false;
  slot.store->Create();
  slot.store->Open(OpenFor::kLoad);
  slot.open = true;
  slot.mode = OpenFor::kLoad;
}

// Opens slot for mode with every other store closed, so that the memory a phase reports is
// this store's. A store whose load phase was filtered out is loaded here, untimed.
void Activate(Slot& slot, OpenFor mode) {
  CloseOthers(slot);
  if (!slot.loaded) {
    Recreate(slot);
    slot.store->Load(0, g_config.records);
    slot.loaded = true;
    slot.next_ordinal = g_config.records;
  }
  if (!slot.open || slot.mode != mode) {
    slot.store->Close();
    slot.store->Open(mode);
    slot.open = true;
    slot.mode = mode;
  }
}

void Fail(const std::string& why) { throw StoreError(why); }

// Runs one phase on one store and returns the operations done inside the timed loop.
uint64_t RunLoop(benchmark::State& state, Slot& slot, Phase phase) {
  Store& s = *slot.store;
  const uint32_t n = g_config.records;
  uint64_t ops = 0;
  switch (phase) {
    case Phase::kBulkLoad:
      for (auto _ : state) {
        s.Load(0, n);
        ops += n;
      }
      slot.loaded = true;
      slot.next_ordinal = n;
      break;
    case Phase::kDurableInsert:
      for (auto _ : state) {
        for (uint32_t j = 0; j < g_config.durable; ++j) s.InsertOne(slot.next_ordinal++);
        ops += g_config.durable;
      }
      break;
    case Phase::kTransaction1:
    case Phase::kTransaction:
    case Phase::kTransaction1000: {
      // Each transaction costs one synced commit like a single insert: as many of one insert,
      // a third as many of ten, one for every 30 single inserts of 1,000.
      const uint32_t size = phase == Phase::kTransaction1  ? 1
                            : phase == Phase::kTransaction ? kInsertsPerTransaction
                                                           : kInsertsPerLargeTransaction;
      const uint32_t divisor = size == 1 ? 1 : size == kInsertsPerTransaction ? 3 : 30;
      const uint32_t transactions = std::max(1u, g_config.durable / divisor);
      for (auto _ : state) {
        for (uint32_t j = 0; j < transactions; ++j) {
          s.InsertTransaction(slot.next_ordinal, size);
          slot.next_ordinal += size;
        }
        ops += transactions;
      }
      break;
    }
    case Phase::kNextKey0: {
      if (!s.FirstKey0()) Fail("the file is empty");
      int64_t previous = Key0OfRecord(s.record());
      for (auto _ : state) {
        if (!s.NextKey0()) {
          if (!s.FirstKey0()) Fail("the file is empty");
          previous = INT64_MIN;  // below every key: the walk starts over
        }
        const int64_t key = Key0OfRecord(s.record());
        if (key <= previous) Fail("Get Next along key 0 went backwards");
        previous = key;
        ++ops;
      }
      break;
    }
    case Phase::kEqualKey0: {
      Rng rng(kSeed);
      for (auto _ : state) {
        const int32_t key = Key0Of(rng.Below(n));
        s.EqualKey0(key);
        if (Key0OfRecord(s.record()) != key) Fail("Get Equal on key 0 reached another record");
        ++ops;
      }
      break;
    }
    case Phase::kEqualKey1Next10: {
      Rng rng(kSeed);
      char key[kKey1Size];
      for (auto _ : state) {
        Key1Of(rng.Below(n), key);
        s.EqualKey1(key);
        if (std::memcmp(s.record() + kKey1Offset, key, kKey1Size) != 0)
          Fail("Get Equal on key 1 reached another record");
        for (uint32_t j = 0; j < kKey1Nexts && s.NextKey1(); ++j) {
        }
        ++ops;
      }
      break;
    }
    case Phase::kStepNext:
      if (!s.StepFirst()) Fail("the file is empty");
      for (auto _ : state) {
        if (!s.StepNext() && !s.StepFirst()) Fail("the file is empty");
        ++ops;
      }
      break;
  }
  return ops;
}

void SyncDataFolder() {
  const int fd = open(g_config.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  syncfs(fd);
  close(fd);
}

double Seconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void RunPhase(benchmark::State& state, Slot* slot, PhaseInfo info) {
  static std::vector<std::string> errors;  // SkipWithError keeps only the pointer
  try {
    Store& s = *slot->store;
    if (info.phase == Phase::kBulkLoad) {
      Recreate(*slot);
    } else {
      Activate(*slot, info.read ? OpenFor::kRead : OpenFor::kDurable);
    }
    const bool durable = info.phase == Phase::kDurableInsert ||
                         info.phase == Phase::kTransaction1 || info.phase == Phase::kTransaction ||
                         info.phase == Phase::kTransaction1000;
    if (durable) {
      // The load left its pages to the kernel; the first synced commit would write them all
      // back and be timed for it. Write back everything first and take that commit untimed.
      SyncDataFolder();
      s.InsertOne(slot->next_ordinal++);
    }
    if (info.read) s.BeginReads();
    ResetPeak();
    // Durable writes wait for the disk, so their headline is wall time; everything else counts
    // the process's CPU time, which other work on a shared machine disturbs far less.
    const double cpu_start = Seconds(CLOCK_PROCESS_CPUTIME_ID);
    const double wall_start = Seconds(CLOCK_MONOTONIC);
    const uint64_t ops = RunLoop(state, *slot, info.phase);
    const double wall = Seconds(CLOCK_MONOTONIC) - wall_start;
    const double cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
    if (info.read) s.EndReads();
    Result r;
    r.memory = ReadMemory();
    if (ops) {
      r.wall_ns_per_op = wall * 1e9 / static_cast<double>(ops);
      r.ns_per_op = durable ? r.wall_ns_per_op : cpu * 1e9 / static_cast<double>(ops);
    }
    g_results[{static_cast<int>(info.phase), s.Name()}] = r;
    state.counters["ns_per_op"] = r.ns_per_op;
    state.counters["peak_MB"] = r.memory.peak / 1e6;
    state.SetItemsProcessed(static_cast<int64_t>(ops));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "engine_bench: %s on %s: %s\n", info.id, slot->store->Name().c_str(),
                 e.what());
    errors.push_back(e.what());
    ++g_failures;
    state.SkipWithError(errors.back().c_str());
  }
}

// Reads the same places through every loaded store and compares what they return, so that no
// store is timed while it answers wrong records. Returns the number of disagreements.
int CrossCheck() {
  struct Trace {
    std::string name;
    std::vector<uint8_t> bytes;
  };
  std::vector<Trace> traces;
  for (Slot& slot : g_slots) {
    if (!slot.loaded) continue;
    Store& s = *slot.store;
    Trace t{s.Name(), {}};
    auto take = [&] { t.bytes.insert(t.bytes.end(), s.record(), s.record() + kRecordSize); };
    try {
      Activate(slot, OpenFor::kRead);
      s.BeginReads();
      for (bool more = s.FirstKey0(); more && t.bytes.size() < 1000 * kRecordSize;
           more = s.NextKey0())
        take();
      Rng rng(kSeed + 1);
      for (int j = 0; j < 200; ++j) {
        s.EqualKey0(Key0Of(rng.Below(g_config.records)));
        take();
      }
      char key[kKey1Size];
      for (int j = 0; j < 50; ++j) {
        Key1Of(rng.Below(g_config.records), key);
        s.EqualKey1(key);
        take();
        for (uint32_t m = 0; m < kKey1Nexts && s.NextKey1(); ++m) take();
      }
      // Physical order is insertion order, and both walks reach every record inserted.
      uint8_t expected[kRecordSize];
      uint32_t stepped = 0;
      for (bool more = s.StepFirst(); more; more = s.StepNext(), ++stepped) {
        MakeRecord(stepped, expected);
        if (std::memcmp(expected, s.record(), kRecordSize) != 0)
          Fail("Step Next does not follow insertion order at record " + std::to_string(stepped));
      }
      uint32_t along = 0;
      for (bool more = s.FirstKey0(); more; more = s.NextKey0()) ++along;
      if (stepped != slot.next_ordinal || along != slot.next_ordinal)
        Fail(std::to_string(slot.next_ordinal) + " records inserted, Step Next reached " +
             std::to_string(stepped) + ", Get Next along key 0 " + std::to_string(along));
      s.EndReads();
    } catch (const std::exception& e) {
      std::printf("cross-check: %s: %s\n", t.name.c_str(), e.what());
      return 1;
    }
    traces.push_back(std::move(t));
  }
  int disagreements = 0;
  for (size_t i = 1; i < traces.size(); ++i) {
    if (traces[i].bytes != traces[0].bytes) {
      std::printf("cross-check: %s and %s return different records\n", traces[0].name.c_str(),
                  traces[i].name.c_str());
      ++disagreements;
    }
  }
  if (!disagreements && !traces.empty())
    std::printf("cross-check: %zu stores return the same records for the same reads\n",
                traces.size());
  return disagreements;
}

// The size table: per store, files of g_config.single records written three ways, each
// measured closed (at rest), with the wall time of the durable commits.
struct Sizes {
  std::string name;
  uint64_t bulk = 0, single = 0, churned = 0, compacted = 0;
  double single_ms = 0, churn_ms = 0;  // per commit
};
std::vector<Sizes> g_sizes;

void MeasureSizes(const std::vector<std::unique_ptr<Store>>& stores) {
  const uint32_t n = g_config.single;
  // A tenth of the records deleted and a third of the others updated, in a random order.
  std::vector<uint32_t> order(n);
  for (uint32_t i = 0; i < n; ++i) order[i] = i;
  Rng rng(kSeed + 2);
  for (uint32_t i = n; i > 1; --i) std::swap(order[i - 1], order[rng.Below(i)]);
  std::vector<std::pair<uint32_t, bool>> changes;  // ordinal, deleted
  for (uint32_t i = 0; i < n / 10; ++i) changes.push_back({order[i], true});
  for (uint32_t i = n / 10; i < n / 10 + n / 3 && i < n; ++i) changes.push_back({order[i], false});
  for (size_t i = changes.size(); i > 1; --i)
    std::swap(changes[i - 1], changes[rng.Below(static_cast<uint32_t>(i))]);
  for (const auto& store : stores) {
    Sizes z{store->Name()};
    try {
      store->Create();
      store->Open(OpenFor::kLoad);
      store->Load(0, n);
      store->Close();
      z.bulk = store->BytesOnDisk();
      store->Create();
      store->Open(OpenFor::kDurable);
      double start = Seconds(CLOCK_MONOTONIC);
      for (uint32_t i = 0; i < n; ++i) store->InsertOne(i);
      z.single_ms = (Seconds(CLOCK_MONOTONIC) - start) * 1e3 / n;
      store->Close();
      z.single = store->BytesOnDisk();
      store->Open(OpenFor::kDurable);
      start = Seconds(CLOCK_MONOTONIC);
      for (const auto& [ordinal, deleted] : changes) {
        if (deleted)
          store->DeleteOne(ordinal);
        else
          store->UpdateOne(ordinal);
      }
      z.churn_ms = (Seconds(CLOCK_MONOTONIC) - start) * 1e3 / std::max<size_t>(1, changes.size());
      store->Close();
      z.churned = store->BytesOnDisk();
      store->Open(OpenFor::kDurable);
      const bool compacted = store->Compact();
      store->Close();
      if (compacted) z.compacted = store->BytesOnDisk();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "engine_bench: sizes on %s: %s\n", z.name.c_str(), e.what());
      ++g_failures;
      store->Close();
    }
    g_sizes.push_back(z);
  }
}

void PrintSizes() {
  if (g_sizes.empty()) return;
  const uint32_t n = g_config.single;
  const Sizes* reference = nullptr;
  for (const Sizes& z : g_sizes)
    if (z.name == "sqlite-full") reference = &z;
  std::printf("\nbytes on disk per record, files of %u records%5s", n, "");
  for (const Sizes& z : g_sizes) std::printf("%12s", z.name.c_str());
  std::printf("  engine:sqlite-full  engine-base:sqlite-full\n");
  auto row = [&](const char* label, uint64_t Sizes::*field, uint32_t records) {
    std::printf("%-46s", label);
    for (const Sizes& z : g_sizes) {
      if (z.*field > 0)
        std::printf("%12.1f", static_cast<double>(z.*field) / records);
      else
        std::printf("%12s", "-");
    }
    for (const char* name : {"engine", "engine-base"}) {
      const Sizes* e = nullptr;
      for (const Sizes& z : g_sizes)
        if (z.name == name) e = &z;
      if (e && reference && reference->*field > 0 && e->*field > 0)
        std::printf("%20.2f",
                    static_cast<double>(e->*field) / static_cast<double>(reference->*field));
      else
        std::printf("%20s", "-");
    }
    std::printf("\n");
  };
  const uint32_t left = n - n / 10;
  row("bulk load", &Sizes::bulk, n);
  row("durable single inserts, one commit each", &Sizes::single, n);
  row("then a third updated, a tenth deleted", &Sizes::churned, left);
  row("then compacted (engine Compact, SQLite VACUUM)", &Sizes::compacted, left);
  std::printf("%-46s", "single inserts : bulk load, file size");
  for (const Sizes& z : g_sizes)
    std::printf("%12.2f", z.bulk ? static_cast<double>(z.single) / z.bulk : 0.0);
  // The commits of a whole file, rolls of the engine's log and checkpoints of SQLite's among
  // them: the durable-insert phase alone may end before the first.
  auto ms_row = [&](const char* label, double Sizes::*field) {
    std::printf("\n%-46s", label);
    for (const Sizes& z : g_sizes) std::printf("%12.3f", z.*field);
    for (const char* name : {"engine", "engine-base"}) {
      const Sizes* e = nullptr;
      for (const Sizes& z : g_sizes)
        if (z.name == name) e = &z;
      if (e && reference && reference->*field > 0 && e->*field > 0)
        std::printf("%20.2f", e->*field / reference->*field);
      else
        std::printf("%20s", "-");
    }
  };
  ms_row("ms per durable single insert", &Sizes::single_ms);
  ms_row("ms per durable update or delete", &Sizes::churn_ms);
  std::printf(
      "\nfiles measured closed: engine data file and log, sqlite database and WAL, lmdb data "
      "file;\n  after the changes the rows count the %u records left.\n",
      left);
}

const Result* Find(Phase phase, const std::string& store) {
  auto it = g_results.find({static_cast<int>(phase), store});
  return it == g_results.end() ? nullptr : &it->second;
}

void PrintSummary(const std::string& engine_note) {
  std::vector<std::string> names;
  for (const Slot& slot : g_slots) names.push_back(slot.store->Name());
  std::printf("\n%u records of %u bytes, %u durable inserts, files in %s\n", g_config.records,
              kRecordSize, g_config.durable, g_config.dir.c_str());
  if (!engine_note.empty()) std::printf("engine: %s\n", engine_note.c_str());

  std::printf("\nns per operation%18s", "");
  for (const auto& n : names) std::printf("%12s", n.c_str());
  std::printf("  engine:lmdb  engine:lmdb-1  engine:sqlite  lmdb:sqlite  targets\n");
  auto row = [&](const PhaseInfo& p, const char* label, bool wall) {
    auto ns = [wall](const Result* r) {
      return !r ? 0.0 : wall ? r->wall_ns_per_op : r->ns_per_op;
    };
    std::printf("%-34s", label);
    for (const auto& n : names) {
      const double v = ns(Find(p.phase, n));
      if (v > 0)
        std::printf("%12.0f", v);
      else
        std::printf("%12s", "-");
    }
    const double engine = ns(Find(p.phase, "engine"));
    auto ratio = [&](const char* other) {
      const double o = ns(Find(p.phase, other));
      return engine > 0 && o > 0 ? engine / o : 0.0;
    };
    const double to_lmdb = ratio("lmdb"), to_lmdb1 = ratio("lmdb-1"), to_sqlite = ratio("sqlite");
    // What LMDB itself reaches against SQLite: the bound on the engine's ratio to SQLite when it
    // sits at LMDB's speed.
    const double lmdb = ns(Find(p.phase, "lmdb")), sqlite = ns(Find(p.phase, "sqlite"));
    const double lmdb_to_sqlite = lmdb > 0 && sqlite > 0 ? lmdb / sqlite : 0.0;
    for (double r : {to_lmdb, to_lmdb1, to_sqlite}) {
      if (r > 0)
        std::printf("%14.2f", r);
      else
        std::printf("%14s", "-");
    }
    if (lmdb_to_sqlite > 0)
      std::printf("%13.2f", lmdb_to_sqlite);
    else
      std::printf("%13s", "-");
    // Reads: within 1.5x of LMDB and at least twice as fast as SQLite; load: within 2x of LMDB.
    auto verdict = [](double r, double limit) {
      return r <= 0 ? "-" : r <= limit ? "met" : "missed";
    };
    if (p.read)
      std::printf("  x1.5 lmdb %s, lmdb-1 %s; x0.5 sqlite %s", verdict(to_lmdb, 1.5),
                  verdict(to_lmdb1, 1.5), verdict(to_sqlite, 0.5));
    else if (p.phase == Phase::kBulkLoad)
      std::printf("  x2 lmdb %s", verdict(to_lmdb, 2.0));
    std::printf("\n");
  };
  for (const PhaseInfo& p : kPhases) {
    row(p, p.label, false);
    if (p.phase == Phase::kBulkLoad) row(p, "bulk load, per record, wall time", true);
  }
  // Durable commits against SQLite in WAL mode with synchronous FULL, which is durable too.
  std::printf("\ndurable commits                      engine:sqlite-full  engine:lmdb  target\n");
  for (const PhaseInfo& p : kPhases) {
    if (p.phase != Phase::kDurableInsert && p.phase != Phase::kTransaction1 &&
        p.phase != Phase::kTransaction) {
      continue;
    }
    for (const char* engine : {"engine", "engine-base"}) {
      const Result* e = Find(p.phase, engine);
      const Result* f = Find(p.phase, "sqlite-full");
      const Result* l = Find(p.phase, "lmdb");
      if (!e || !f || f->ns_per_op <= 0) continue;
      const double r = e->ns_per_op / f->ns_per_op;
      const std::string label =
          std::string(p.label) + (std::string(engine) == "engine-base" ? ", base" : "");
      std::printf("%-37s%19.2f%13.2f  <= 1.0 %s\n", label.c_str(), r,
                  l && l->ns_per_op > 0 ? e->ns_per_op / l->ns_per_op : 0.0,
                  r <= 1.0 ? "met" : "missed");
    }
  }
  // The engine against the base engine, phase by phase (reads: within 5 %).
  if (Find(Phase::kBulkLoad, "engine-base") || Find(Phase::kNextKey0, "engine-base")) {
    std::printf("\nengine:engine-base\n");
    for (const PhaseInfo& p : kPhases) {
      const Result* e = Find(p.phase, "engine");
      const Result* b = Find(p.phase, "engine-base");
      if (!e || !b || b->ns_per_op <= 0) continue;
      std::printf("%-37s%8.3f\n", p.label, e->ns_per_op / b->ns_per_op);
    }
  }

  std::printf("\npeak resident MB in the phase%5s", "");
  for (const auto& n : names) std::printf("%12s", n.c_str());
  std::printf("\n");
  for (const PhaseInfo& p : kPhases) {
    std::printf("%-34s", p.label);
    for (const auto& n : names) {
      const Result* r = Find(p.phase, n);
      if (r)
        std::printf("%12.1f", r->memory.peak / 1e6);
      else
        std::printf("%12s", "-");
    }
    std::printf("\n");
  }
  std::printf(
      "resident memory counts the pages of a store's files it touched; process peak (maxrss)\n"
      "%.1f MB, private memory at the end (heap, without mapped files) %.1f MB\n",
      LifetimePeak() / 1e6, ReadMemory().anonymous / 1e6);

  std::printf("\nbulk load:\n");
  for (const Slot& slot : g_slots)
    std::printf("  %-7s %s\n", slot.store->Name().c_str(), slot.store->LoadNote().c_str());
  std::printf(
      "ns per operation: process CPU time, except where it says wall time.\n"
      "durable insert and transaction: engine normal open, lmdb synced commits; sqlite in WAL\n"
      "  with synchronous NORMAL does not sync a commit, only checkpoints: not durable.\n"
      "reads: lmdb keeps one snapshot and its cursors for a run; lmdb-1 takes a fresh snapshot\n"
      "  per call and finds its place again, as every engine call must; sqlite steps one\n"
      "  prepared SELECT. Get Equal key 1 + 10 Get Next counts the eleven calls as one "
      "operation.\n");
}

// Takes this program's own options out of argv (their variables stand in for them when
// absent); Google Benchmark reads the rest.
void ParseArgs(int* argc, char** argv) {
  CLI::App app("One workload through the record engine, LMDB and SQLite, in one run",
               "engine_bench");
  app.add_option("--records", g_config.records, "records loaded (default 1000000)")
      ->envname("VASTREL_BENCH_RECORDS")
      ->check(CLI::Range(1u, 100'000'000u));
  app.add_option("--durable", g_config.durable, "durable inserts (default 300)")
      ->envname("VASTREL_BENCH_DURABLE")
      ->check(CLI::Range(1u, 100'000'000u));
  app.add_option("--dir", g_config.dir, "folder of the files (default: a new one in /var/tmp)")
      ->envname("VASTREL_BENCH_DIR");
  app.add_flag("--keep", g_config.keep, "keep the folder");
  app.add_option("--single", g_config.single,
                 "records of the size table's files (default 10000, 0: no size table)")
      ->envname("VASTREL_BENCH_SINGLE")
      ->check(CLI::Range(0u, 100'000'000u));
  app.add_option("--base-engine", g_config.base_engine,
                 "another engine library, measured beside the engine as engine-base")
      ->envname("VASTREL_BENCH_BASE_ENGINE");
  if (const char* v = std::getenv("VASTREL_ENGINE")) g_config.engine = v;
  ParseOptions(app, argc, argv);
}

std::string DefaultEngine() {
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "libwbtrv32.so";
  exe[n] = 0;
  return (std::filesystem::path(exe).parent_path() / "libwbtrv32.so").string();
}

}  // namespace
}  // namespace vastrel::bench

int main(int argc, char** argv) {
  using namespace vastrel::bench;
  ParseArgs(&argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;

  WorkFolder folder;
  if (!folder.Open(&g_config.dir, "engine_bench")) return 1;
  if (g_config.engine.empty()) g_config.engine = DefaultEngine();

  std::string engine_note;
  if (auto engine = MakeEngineStore(g_config.engine, g_config.dir, &engine_note)) {
    g_slots.push_back({std::move(engine)});
    engine_note.clear();
  } else {
    engine_note = "not measured: " + engine_note;
    std::fprintf(stderr, "engine_bench: engine %s\n", engine_note.c_str());
  }
  if (!g_config.base_engine.empty()) {
    std::string why;
    if (auto base = MakeEngineStore(g_config.base_engine, g_config.dir, &why, "engine-base")) {
      g_slots.push_back({std::move(base)});
    } else {
      std::fprintf(stderr, "engine_bench: base engine not measured: %s\n", why.c_str());
    }
  }
  g_slots.push_back({MakeLmdbStore(g_config.dir, false)});
  g_slots.push_back({MakeLmdbStore(g_config.dir, true)});
  g_slots.push_back({MakeSqliteStore(g_config.dir)});
  g_slots.push_back({MakeSqliteStore(g_config.dir, true)});

  for (const PhaseInfo& p : kPhases) {
    for (Slot& slot : g_slots) {
      const std::string name = std::string(p.id) + "/" + slot.store->Name();
      auto* b = benchmark::RegisterBenchmark(name.c_str(), RunPhase, &slot, p);
      b->Unit(p.read ? benchmark::kNanosecond : benchmark::kMillisecond)->UseRealTime();
      if (!p.read) b->Iterations(1);
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  const int disagreements = CrossCheck();
  if (g_config.single > 0) {
    // Stores of their own in a folder of their own, every store of the run closed first.
    for (Slot& slot : g_slots) {
      slot.store->Close();
      slot.open = false;
    }
    const std::string dir = g_config.dir + "/sizes";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    std::vector<std::unique_ptr<Store>> stores;
    std::string why;
    if (auto e = MakeEngineStore(g_config.engine, dir, &why)) stores.push_back(std::move(e));
    if (!g_config.base_engine.empty()) {
      if (auto b = MakeEngineStore(g_config.base_engine, dir, &why, "engine-base"))
        stores.push_back(std::move(b));
    }
    stores.push_back(MakeLmdbStore(dir, false));
    stores.push_back(MakeSqliteStore(dir));
    stores.push_back(MakeSqliteStore(dir, true));
    MeasureSizes(stores);
  }
  PrintSummary(engine_note);
  PrintSizes();
  benchmark::Shutdown();

  for (Slot& slot : g_slots) slot.store->Close();
  g_slots.clear();
  folder.Done(g_config.keep);
  return disagreements || g_failures ? 1 : 0;
}
