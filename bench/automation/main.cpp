// automation_bench: one Get Next along key 0 through every layer a host can call, in one run
// on the embedded record engine: IDispatch::Invoke by DISPID, the typed call on IVastrel, the
// table TBtr, the component's engine call, and the engine's BTRCALL with a position block of
// its own. The summary at the end gives ns per call and what each layer adds to the one below.
//
//   automation_bench [--records=N] [--rounds=R] [--dir=PATH] [--keep] [Google Benchmark flags]
//
// Defaults: 100,000 records of 100 bytes, 3 rounds (in each, every path timed on its own, then
// all of them in turn a block of calls at a time, so that a slow spell of a shared machine falls
// on every path alike), a fresh folder under /var/tmp removed at the end unless --keep. Before
// anything is timed every path walks the whole file and must find every key in order: a path
// that does not makes the program exit 1. The engine is libwbtrv32.so beside the program, loaded
// when the component's module starts (VASTREL_ENGINE names another).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "automation/runtime.h"
#include "automation/vastrel_impl.h"
#include "automation/vastrel_tlb.h"
#include "bench/bench_options.h"
#include "binding/btrexception.h"
#include "binding/engine.h"
#include "keys/btrkey.h"
#include "platform/oleauto.h"
#include "table/btr.h"

namespace vastrel::bench {
namespace {

using automation::ComPtr;

struct Config {
  uint32_t records = 100'000;
  int rounds = 3;
  std::string dir;
  bool keep = false;
};

// Records of 100 bytes; key 0 is the unique signed 4-byte integer at offset 0, inserted in
// an order unrelated to its value.
constexpr uint16_t kRecordSize = 100;
constexpr uint16_t kPageSize = 4096;
constexpr uint32_t kBatch = 1000;
constexpr int16_t kStatusEndOfFile = 9;
constexpr int8_t kModeAccelerated = -1;
// What Invoke may add to the table's own Next, per call.
constexpr double kInvokeTargetNs = 500;

int32_t KeyOf(uint32_t ordinal) { return static_cast<int32_t>(ordinal * 2654435761u); }

int32_t KeyIn(const uint8_t* record) {
  int32_t key;
  std::memcpy(&key, record, sizeof key);  // integer keys are little-endian, as on the host
  return key;
}

class BenchError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

Config g_config;
std::string g_path;
engine::BtrCallFunction g_btrcall = nullptr;

// ---- The paths ------------------------------------------------------------------------------
//
// Each path opens the file on its own position block (the control and the table each hold
// one; the two engine-call paths keep theirs here), and answers First, Next and the key of
// the record it holds. Next is what the timed loop calls; everything else runs untimed.

// The position block, data buffer and key buffer of a caller of the engine itself.
struct EngineCursor {
  uint8_t pos[table::kPositionBlockSize] = {};
  uint8_t data[kRecordSize] = {};
  uint8_t key[table::kKeyBufferSize] = {};
  uint32_t length = 0;
  bool open = false;
};

void PutPath(uint8_t* key) {
  std::memset(key, 0, table::kKeyBufferSize);
  std::memcpy(key, g_path.data(), std::min<size_t>(g_path.size(), table::kKeyBufferSize - 1));
}

// The engine's C entry point as a program calling it by hand uses it.
class BarePath {
 public:
  static constexpr const char* kName = "bare_btrcall";
  static constexpr const char* kLabel = "bare BTRCALL, op 6";
  ~BarePath() { Close(); }
  void Open() {
    Close();
    PutPath(c_.key);
    char owner[1] = {0};
    c_.length = 0;
    if (const int16_t s = g_btrcall(engine::kOpOpen, c_.pos, owner, &c_.length, c_.key,
                                    table::kKeyBufferSize, 0)) {
      throw BenchError("BTRCALL open answered " + std::to_string(s));
    }
    c_.open = true;
  }
  void Close() {
    if (!c_.open) return;
    c_.length = 0;
    g_btrcall(engine::kOpClose, c_.pos, nullptr, &c_.length, c_.key, table::kKeyBufferSize, 0);
    c_.open = false;
  }
  bool First() { return Call(engine::kOpGetFirst) == 0; }
  bool Next() { return Call(engine::kOpGetNext) == 0; }
  int16_t Call(uint16_t op) {
    c_.length = kRecordSize;
    return g_btrcall(op, c_.pos, c_.data, &c_.length, c_.key, table::kKeyBufferSize, 0);
  }
  int32_t Key() const { return KeyIn(c_.data); }

 private:
  EngineCursor c_;
};

// The same call through the component's engine binding (EngineCall), which the table uses.
class EngineCallPath {
 public:
  static constexpr const char* kName = "engine_call";
  static constexpr const char* kLabel = "component's EngineCall";
  ~EngineCallPath() { Close(); }
  void Open() {
    Close();
    PutPath(c_.key);
    char owner[1] = {0};
    c_.length = 0;
    if (const int16_t s = engine::EngineCall(engine::kOpOpen, c_.pos, owner, &c_.length, c_.key,
                                             table::kKeyBufferSize, 0)) {
      throw BenchError("EngineCall open answered " + std::to_string(s));
    }
    c_.open = true;
  }
  void Close() {
    if (!c_.open) return;
    c_.length = 0;
    static_cast<void>(engine::EngineCall(engine::kOpClose, c_.pos, nullptr, &c_.length, c_.key,
                                         table::kKeyBufferSize, 0));
    c_.open = false;
  }
  bool First() { return Call(engine::kOpGetFirst) == 0; }
  bool Next() { return Call(engine::kOpGetNext) == 0; }
  int16_t Call(uint16_t op) {
    c_.length = kRecordSize;
    return engine::EngineCall(op, c_.pos, c_.data, &c_.length, c_.key, table::kKeyBufferSize, 0);
  }
  int32_t Key() const { return KeyIn(c_.data); }

 private:
  EngineCursor c_;
};

// The table, as a C++ host uses it.
class TablePath {
 public:
  static constexpr const char* kName = "tbtr";
  static constexpr const char* kLabel = "TBtr::Next";
  void Open() {
    table_.SetFileName(g_path);
    table_.Open();
  }
  bool First() { return Step(&table::TBtr::First); }
  bool Next() { return Step(&table::TBtr::Next); }
  int32_t Key() const { return KeyIn(table_.DataBuffer()); }
  int16_t last_status = 0;

 private:
  bool Step(void (table::TBtr::*op)()) {
    try {
      (table_.*op)();
      return true;
    } catch (const engine::Btrexception& e) {
      last_status = e.Status();
      return false;
    }
  }
  table::TBtr table_;
};

// A control as a host makes one: by its class factory, the file named and opened through its
// own members. Each automation path has its own, so that each walks its own position block.
struct Control {
  ComPtr<automation::IVastrel> vastrel;
  DISPID next_id = DISPID_UNKNOWN;
  DISPID first_id = DISPID_UNKNOWN;

  void Make() {
    if (FAILED(automation::CreateVastrel(automation::IVastrel::kIID,
                                         reinterpret_cast<void**>(vastrel.Out())))) {
      throw BenchError("CreateVastrel failed");
    }
    // The DISPIDs a script host asks for once, then keeps.
    next_id = IdOf("Next");
    first_id = IdOf("First");
    BSTR name = SysAllocString(std::string_view(g_path));
    const HRESULT named = vastrel->put_FileName(name);
    SysFreeString(name);
    if (FAILED(named) || FAILED(vastrel->Open())) {
      throw BenchError("the control did not open the file: " + automation::LastErrorMessage());
    }
  }
  DISPID IdOf(const char* name) {
    DISPID id = DISPID_UNKNOWN;
    if (FAILED(vastrel->GetIDsOfNames(IID_NULL, &name, 1, 0, &id))) {
      throw BenchError(std::string("GetIDsOfNames does not know ") + name);
    }
    return id;
  }
  int32_t Key() const {
    return KeyIn(static_cast<automation::TVastrel*>(vastrel.get())->Table().DataBuffer());
  }
};

// IDispatch::Invoke by DISPID, as a script host calls a method without arguments: an empty
// DISPPARAMS, a result VARIANT and an EXCEPINFO for the error.
class InvokePath {
 public:
  static constexpr const char* kName = "invoke";
  static constexpr const char* kLabel = "IDispatch::Invoke, DISPID";
  void Open() { control.Make(); }
  bool First() { return Call(control.first_id); }
  bool Next() { return Call(control.next_id); }
  int32_t Key() const { return control.Key(); }
  Control control;
  std::string last_message;

 private:
  bool Call(DISPID id) {
    DISPPARAMS none;
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO excep;
    uint32_t arg_err = 0;
    const HRESULT hr =
        control.vastrel->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &none, &result, &excep, &arg_err);
    VariantClear(&result);
    if (SUCCEEDED(hr)) return true;
    last_message = std::string(BstrView(excep.bstrDescription));
    ClearExcepInfo(&excep);
    return false;
  }
};

// The typed call on the dual interface, as a C++ host calls it.
class TypedPath {
 public:
  static constexpr const char* kName = "typed";
  static constexpr const char* kLabel = "typed IVastrel::Next";
  void Open() { control.Make(); }
  bool First() { return SUCCEEDED(control.vastrel->First()); }
  bool Next() { return SUCCEEDED(control.vastrel->Next()); }
  int32_t Key() const { return control.Key(); }
  Control control;
};

InvokePath g_invoke;
TypedPath g_typed;
EngineCallPath g_engine_call;
BarePath g_bare;

// ---- Making the file ------------------------------------------------------------------------

// Creates the file through the table (which opens it), then loads it through BTRCALL on a
// file opened accelerated, a transaction per kBatch records where the engine has them.
void MakeFile() {
  {
    table::TBtr t;
    t.SetFileName(g_path);
    t.SetRecordSize(kRecordSize);
    t.SetPageSize(kPageSize);
    keys::TKey& k = t.Keys().Add();
    k.SetPosition(1);
    k.SetLength(4);
    k.SetKeyType(keys::ktInteger);
    t.CreateFile();
    t.Close();
  }
  EngineCursor c;
  PutPath(c.key);
  char owner[1] = {0};
  if (const int16_t s = g_btrcall(engine::kOpOpen, c.pos, owner, &c.length, c.key,
                                  table::kKeyBufferSize, kModeAccelerated)) {
    throw BenchError("open for the load answered " + std::to_string(s));
  }
  auto call = [&](uint16_t op) {
    return g_btrcall(op, c.pos, c.data, &c.length, c.key, table::kKeyBufferSize, 0);
  };
  c.length = 0;
  const bool batched = call(engine::kOpBeginTransaction) == 0;
  for (uint32_t done = 0; done < g_config.records;) {
    const uint32_t end = std::min(g_config.records, done + kBatch);
    for (; done < end; ++done) {
      for (uint32_t i = 0; i < kRecordSize; ++i)
        c.data[i] = static_cast<uint8_t>('a' + (done + i) % 26);
      const int32_t key = KeyOf(done);
      std::memcpy(c.data, &key, sizeof key);
      c.length = kRecordSize;
      if (const int16_t s = call(engine::kOpInsert)) {
        throw BenchError("insert " + std::to_string(done) + " answered " + std::to_string(s));
      }
    }
    if (batched) {
      c.length = 0;
      if (const int16_t s = call(engine::kOpEndTransaction)) {
        throw BenchError("end transaction answered " + std::to_string(s));
      }
      if (done < g_config.records) {
        c.length = 0;
        call(engine::kOpBeginTransaction);
      }
    }
  }
  c.length = 0;
  call(engine::kOpClose);
}

// ---- The check --------------------------------------------------------------------------------

// Walks the whole file through path: every key in order, none lost, and the step past the
// last record refused. Untimed; a path that fails it is not measured.
template <class Path>
bool Check(Path& path, const std::vector<int32_t>& sorted, std::string* why) {
  if (!path.First()) {
    *why = "First failed";
    return false;
  }
  for (size_t i = 0; i < sorted.size(); ++i) {
    if (i > 0 && !path.Next()) {
      *why = "Next failed after " + std::to_string(i) + " records";
      return false;
    }
    if (path.Key() != sorted[i]) {
      *why = "record " + std::to_string(i) + " has key " + std::to_string(path.Key()) + ", not " +
             std::to_string(sorted[i]);
      return false;
    }
  }
  if (path.Next()) {
    *why = "Next went past the last record";
    return false;
  }
  return true;
}

// ---- The timed loops and the summary ---------------------------------------------------------
//
// Two measurements. The separate runs time each path on its own, as Google Benchmark does.
// Their differences are tens of ns while a shared machine moves a run by more than that, so
// the interleaved run times the paths in turn, a block of Nexts each, and the summary's
// figures per path are the median block: a slow spell then falls on every path alike.

constexpr uint32_t kBlock = 256;  // Nexts per block of the interleaved run

struct Row {
  const char* label = "";
  std::vector<double> cpu_ns;    // separate runs: one per round
  std::vector<double> real_ns;   // separate runs: one per round
  std::vector<double> block_ns;  // interleaved run: one per block
  uint64_t total_ns = 0;         // interleaved run: all blocks
  uint64_t calls = 0;
  double Mean() const { return calls ? static_cast<double>(total_ns) / calls : 0; }
};
std::map<std::string, Row> g_rows;  // by path name
std::vector<std::string> g_order;
int g_failures = 0;

// One Next per iteration along key 0; at the end of the file the walk starts over with First,
// outside the timing.
template <class Path>
void RunNext(benchmark::State& state, Path* path) {
  if (!path->First()) {
    state.SkipWithError("First failed");
    ++g_failures;
    return;
  }
  uint32_t left = g_config.records - 1;  // Nexts until the last record
  for (auto _ : state) {
    if (left == 0) {
      state.PauseTiming();
      const bool ok = path->First();
      left = g_config.records - 1;
      state.ResumeTiming();
      if (!ok) {
        state.SkipWithError("First failed");
        ++g_failures;
        break;
      }
    }
    if (!path->Next()) {
      state.SkipWithError("Next failed");
      ++g_failures;
      break;
    }
    --left;
  }
  state.SetItemsProcessed(state.iterations());
}

uint64_t ThreadCpuNs() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(t.tv_nsec);
}

// One path of the interleaved run: runs a block of Nexts that never crosses the end of the
// file (First starts the walk over before the block, untimed) and gives its ns per call.
struct Lane {
  Row* row;
  std::function<bool(uint32_t block, uint32_t* left, uint64_t* ns)> run_block;
  uint32_t left = 0;  // Nexts until the last record; 0 starts the walk over
};
std::vector<Lane> g_lanes;

template <class Path>
void AddLane(Path* path) {
  g_lanes.push_back({&g_rows.at(Path::kName), [path](uint32_t block, uint32_t* left, uint64_t* ns) {
                       if (*left < block) {
                         if (!path->First()) return false;
                         *left = g_config.records - 1;
                       }
                       const uint64_t start = ThreadCpuNs();
                       for (uint32_t i = 0; i < block; ++i) {
                         if (!path->Next()) return false;
                       }
                       *ns = ThreadCpuNs() - start;
                       *left -= block;
                       return true;
                     }});
}

// Every iteration runs one block on each path, starting one path later each time so that no
// path always follows the same other.
void RunInterleaved(benchmark::State& state) {
  const uint32_t block = std::min(kBlock, g_config.records - 1);
  // The separate runs moved the cursors since the last call.
  for (Lane& lane : g_lanes) lane.left = 0;
  size_t start = 0;
  for (auto _ : state) {
    for (size_t i = 0; i < g_lanes.size(); ++i) {
      Lane& lane = g_lanes[(start + i) % g_lanes.size()];
      uint64_t ns = 0;
      if (!lane.run_block(block, &lane.left, &ns)) {
        state.SkipWithError("Next failed");
        ++g_failures;
        return;
      }
      lane.row->block_ns.push_back(static_cast<double>(ns) / block);
      lane.row->total_ns += ns;
      lane.row->calls += block;
    }
    ++start;
  }
  state.SetItemsProcessed(state.iterations() * block * static_cast<int64_t>(g_lanes.size()));
}

// Prints what Google Benchmark prints and keeps each separate run's time per call.
class Capture : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      // "next/<path>/round:<r>"
      const std::string name = run.run_name.function_name;
      const size_t first = name.find('/');
      const size_t second = name.find('/', first + 1);
      if (first == std::string::npos || second == std::string::npos) continue;
      auto it = g_rows.find(name.substr(first + 1, second - first - 1));
      if (it == g_rows.end()) continue;
      it->second.cpu_ns.push_back(run.GetAdjustedCPUTime());
      it->second.real_ns.push_back(run.GetAdjustedRealTime());
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void PrintSummary() {
  std::printf("\nGet Next along key 0, %" PRIu32 " records of %u bytes, %d round(s), ns per call\n",
              g_config.records, kRecordSize, g_config.rounds);
  std::printf(
      "interleaved: blocks of %u Nexts on the paths in turn, each block in thread CPU time;\n"
      "  median = the median block, mean = all blocks' time over all their calls\n"
      "separate: each path on its own, the median of the rounds (CPU time, then wall time)\n"
      "over TBtr and x TBtr compare the interleaved medians\n\n",
      std::min(kBlock, g_config.records - 1));
  std::printf("%-28s %8s %8s %9s %8s %10s %7s\n", "path", "median", "mean", "separate", "wall",
              "over TBtr", "x TBtr");
  const Row& table = g_rows.at(TablePath::kName);
  const double base = Median(table.block_ns);
  for (const std::string& name : g_order) {
    const Row& row = g_rows.at(name);
    if (row.block_ns.empty() && row.cpu_ns.empty()) {
      std::printf("%-28s %8s\n", row.label, "not measured");
      continue;
    }
    const double ns = Median(row.block_ns);
    std::printf("%-28s %8.1f %8.1f %9.1f %8.1f", row.label, ns, row.Mean(), Median(row.cpu_ns),
                Median(row.real_ns));
    if (base > 0 && ns > 0)
      std::printf(" %+10.1f %7.3f\n", ns - base, ns / base);
    else
      std::printf("\n");
  }
  const Row& invoke = g_rows.at(InvokePath::kName);
  const double typed = Median(g_rows.at(TypedPath::kName).block_ns);
  const double call = Median(g_rows.at(EngineCallPath::kName).block_ns);
  const double bare = Median(g_rows.at(BarePath::kName).block_ns);
  if (base > 0 && !invoke.block_ns.empty()) {
    const double added = Median(invoke.block_ns) - base;
    const double added_mean = invoke.Mean() - table.Mean();
    const double worse = std::max(added, added_mean);
    std::printf(
        "\nInvoke adds %.1f ns per call to TBtr (%.3fx; by the means %.1f ns, %.3fx): "
        "target under %.0f ns, %s\n",
        added, Median(invoke.block_ns) / base, added_mean, invoke.Mean() / table.Mean(),
        kInvokeTargetNs, worse < kInvokeTargetNs ? "met" : "MISSED");
    if (typed > 0)
      std::printf("  Invoke over the typed call %.1f ns, the typed call over TBtr %.1f ns\n",
                  Median(invoke.block_ns) - typed, typed - base);
    if (call > 0 && bare > 0)
      std::printf("  TBtr over EngineCall %.1f ns, EngineCall over a bare BTRCALL %.1f ns\n",
                  base - call, call - bare);
  }
  std::printf("Engine: %s\n", engine::CurrentEngineState().library_name.c_str());
}

template <class Path>
void Register(Path* path, int round) {
  const std::string name = std::string("next/") + Path::kName + "/round:" + std::to_string(round);
  benchmark::RegisterBenchmark(name.c_str(), RunNext<Path>, path)->Unit(benchmark::kNanosecond);
}

template <class Path>
void Prepare(Path& path, const std::vector<int32_t>& sorted, int* rounds_of) {
  g_order.push_back(Path::kName);
  g_rows[Path::kName].label = Path::kLabel;
  std::string why;
  try {
    path.Open();
    if (Check(path, sorted, &why)) {
      *rounds_of = 1;
      return;
    }
  } catch (const std::exception& e) {
    why = e.what();
  }
  std::fprintf(stderr, "automation_bench: %s: %s\n", Path::kLabel, why.c_str());
  ++g_failures;
  *rounds_of = 0;
}

// Takes this program's own options out of argv; Google Benchmark reads the rest.
void ParseArgs(int* argc, char** argv) {
  CLI::App app(
      "Get Next along key 0 through Invoke, the typed call, the table and a bare "
      "BTRCALL, in one run",
      "automation_bench");
  app.add_option("--records", g_config.records, "records in the file (2 or more)")
      ->check(CLI::Range(2u, 100'000'000u));
  app.add_option("--rounds", g_config.rounds, "walks per measurement")->check(CLI::Range(1, 100));
  app.add_option("--dir", g_config.dir, "folder of the record file (default: a new one)");
  app.add_flag("--keep", g_config.keep, "keep the record file");
  ParseOptions(app, argc, argv);
}

// The engine's BTRCALL from the library the component's module loaded.
bool FindBareEntry() {
  const engine::EngineState state = engine::CurrentEngineState();
  if (!state.plain_entry) {
    std::fprintf(stderr, "automation_bench: the record engine %s was not loaded: %s\n",
                 state.library_name.c_str(), state.load_error.c_str());
    return false;
  }
  // Opening the file the module loaded answers the module's handle: the one already mapped.
  void* handle = dlopen(state.library_path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (handle == nullptr) {
    std::fprintf(stderr, "automation_bench: the engine's handle was not found: %s\n", dlerror());
    return false;
  }
  g_btrcall = reinterpret_cast<engine::BtrCallFunction>(dlsym(handle, "BTRCALL"));
  // The reference stays for the life of the program; the module holds its own.
  return g_btrcall != nullptr;
}

}  // namespace
}  // namespace vastrel::bench

int main(int argc, char** argv) {
  using namespace vastrel::bench;
  ParseArgs(&argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  if (!FindBareEntry()) return 1;

  WorkFolder folder;
  if (!folder.Open(&g_config.dir, "automation_bench")) return 1;
  g_path = g_config.dir + "/autobench.dat";

  int status = 0;
  try {
    for (const char* suffix : {"", "-lock", "-gate"}) {
      std::error_code ec;
      std::filesystem::remove(g_path + suffix, ec);
    }
    MakeFile();
    std::vector<int32_t> sorted;
    sorted.reserve(g_config.records);
    for (uint32_t i = 0; i < g_config.records; ++i) sorted.push_back(KeyOf(i));
    std::sort(sorted.begin(), sorted.end());

    TablePath table_path;
    int invoke = 0, typed = 0, table = 0, call = 0, bare = 0;
    Prepare(g_invoke, sorted, &invoke);
    Prepare(g_typed, sorted, &typed);
    Prepare(table_path, sorted, &table);
    Prepare(g_engine_call, sorted, &call);
    Prepare(g_bare, sorted, &bare);
    // The failure past the end arrives as a message through Invoke.
    if (invoke && g_invoke.last_message.empty()) {
      std::fprintf(stderr, "automation_bench: Invoke past the end carried no message\n");
      ++g_failures;
    }
    if (table && table_path.last_status != kStatusEndOfFile) {
      std::fprintf(stderr, "automation_bench: TBtr past the end raised status %d\n",
                   table_path.last_status);
      ++g_failures;
    }

    if (invoke) AddLane(&g_invoke);
    if (typed) AddLane(&g_typed);
    if (table) AddLane(&table_path);
    if (call) AddLane(&g_engine_call);
    if (bare) AddLane(&g_bare);
    Capture reporter;
    for (int r = 1; r <= g_config.rounds; ++r) {
      if (invoke) Register(&g_invoke, r);
      if (typed) Register(&g_typed, r);
      if (table) Register(&table_path, r);
      if (call) Register(&g_engine_call, r);
      if (bare) Register(&g_bare, r);
      benchmark::RegisterBenchmark(("next/interleaved/round:" + std::to_string(r)).c_str(),
                                   RunInterleaved)
          ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintSummary();
    benchmark::Shutdown();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "automation_bench: %s\n", e.what());
    status = 1;
  }
  g_bare.Close();
  g_engine_call.Close();
  // The controls close their files before the module ends.
  g_invoke.control.vastrel = nullptr;
  g_typed.control.vastrel = nullptr;

  folder.Done(g_config.keep);
  return status != 0 || g_failures != 0 ? 1 : 0;
}
