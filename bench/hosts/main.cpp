// hosts_bench: the hosts side by side in one run.
//
//  - import and export of typed records (CSV, 100 bytes a record) by the vastrel tool, beside
//    the sqlite3 shell's .import of the same CSV into a table with the same two indexes and
//    its CSV output of the table in the order of the first;
//  - a walk along key 0 reading two typed fields per record through FieldByName, in C++
//    through IDispatch::Invoke (DISPIDs asked once by name), beside the bare walk, and the
//    same walks through the Python module (bench/hosts/field_walk.py).
//
// Every program runs as a subprocess and is timed by the wall clock, the C++ walks by the
// thread's CPU time. See README.md for the flags and how to read the summary.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "automation/runtime.h"
#include "automation/vastrel_tlb.h"
#include "bench/bench_options.h"
#include "dictionary/btrdictlist.h"
#include "keys/btrklist.h"
#include "platform/oleauto.h"
#include "table/btr.h"

namespace vastrel::bench {
namespace {

namespace fs = std::filesystem;
using automation::ComPtr;

struct Settings {
  long records = 1000000;
  long walk = 100000;
  fs::path dir;
  bool keep = false;
  fs::path tool;
  std::string python = "/usr/bin/python3";
  fs::path script;
  fs::path orders_script;
  fs::path python_path;
  long single = 2000;    // orders inserted one by one from Python
  long orders = 100000;  // orders inserted by insert_many
} g;

std::map<std::string, double> g_results;  // seconds, or ns per record for the walks
std::map<std::string, double> g_cpu;      // CPU seconds (user and system) of the subprocesses

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "hosts_bench: %s\n", what.c_str());
  std::exit(1);
}

double ChildrenCpu() {
  rusage u;
  getrusage(RUSAGE_CHILDREN, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs a shell command; its wall time in seconds, and in *cpu (when given) the CPU time of
// the processes it ran. Fails the run on a non-zero exit.
double Timed(const std::string& command, double* cpu = nullptr) {
  const double cpu_before = ChildrenCpu();
  const auto begin = std::chrono::steady_clock::now();
  const int status = std::system(command.c_str());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  if (cpu) *cpu = ChildrenCpu() - cpu_before;
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail("failed: " + command);
  return seconds;
}

std::string Quote(const fs::path& p) { return "'" + p.string() + "'"; }

// Records of 100 characters: Id (10, key 0, unique, in an order unrelated to the rows),
// Code (10, key 1, 5,000 values), Name (60), Qty (8), Price (12).
void WriteCsv(const fs::path& path) {
  std::ofstream out(path, std::ios::binary);
  out << "Id,Code,Name,Qty,Price\n";
  uint32_t seed = 12345;
  char line[256];
  for (long i = 0; i < g.records; ++i) {
    const long id = (i * 7919L) % g.records + 1;  // 7919 is prime to every count tried
    char name[61];
    for (int c = 0; c < 60; ++c) {
      seed = seed * 1103515245u + 12345u;
      name[c] = static_cast<char>('a' + (seed >> 16) % 26);
    }
    name[60] = 0;
    std::snprintf(line, sizeof line, "%ld,\"C%05ld\",\"%s\",%ld,%.2f\n", id, i % 5000, name,
                  i % 100000, static_cast<double>(i % 1000000) / 100.0);
    out << line;
  }
  if (!out) Fail("cannot write " + path.string());
}

struct FieldDef {
  const char* name;
  dictionary::TxFieldType type;
  int32_t offset, size;
};
struct KeyDef {
  int32_t position, length;
  bool duplicates;
  const char* index;  // its name in the dictionary; none when null
};

// A record file of string keys and its dictionary under `id`.
void CreateTypedFile(const fs::path& file, const fs::path& ddf, int32_t record_size,
                     std::initializer_list<KeyDef> keys, std::initializer_list<FieldDef> fields,
                     const char* id) {
  table::TBtr t;
  t.SetFileName(file.string());
  t.SetRecordSize(record_size);
  t.SetPageSize(4096);
  for (const KeyDef& k : keys) {
    keys::TKey& key = t.Keys().Add();
    key.SetPosition(k.position);
    key.SetLength(k.length);
    key.SetKeyType(keys::ktString);
    key.SetAllowDuplicates(k.duplicates);
  }
  t.CreateFile();
  for (const FieldDef& d : fields) {
    dictionary::TRecordItem& item = t.DDFFields().Add();
    item.SetFieldName(d.name);
    item.SetFieldType(d.type);
    item.SetFieldOffset(d.offset);
    item.SetFieldSize(d.size);
  }
  t.DDFFields().SaveItems(ddf.string(), true, false, id);
  int32_t number = 0;
  bool named = false;
  for (const KeyDef& k : keys) {
    if (k.index) {
      dictionary::TIndexItem& index = t.DDFIndexes().Add();
      index.SetIndexName(k.index);
      index.SetIndexKeyNum(number);
      named = true;
    }
    ++number;
  }
  if (named) t.DDFIndexes().SaveItems(ddf.string(), true, true, id);
  if (t.Active()) t.Close();
}

void CreateVastrelFile(const fs::path& file, const fs::path& ddf) {
  CreateTypedFile(file, ddf, 100, {{1, 10, false, nullptr}, {11, 10, true, nullptr}},
                  {{"Id", dictionary::ftINTEGER, 0, 10},
                   {"Code", dictionary::ftSTRING, 10, 10},
                   {"Name", dictionary::ftSTRING, 20, 60},
                   {"Qty", dictionary::ftINTEGER, 80, 8},
                   {"Price", dictionary::ftFLOAT, 88, 11}},
                  "PARTS");
}

// Orders of 64 bytes with two keys: OrderNo (8, key 0, unique) and Customer (20, key 1,
// duplicates allowed), Status (6), Amount (12), Placed (8) and Qty (8); the dictionary
// names the keys ByOrder and ByCustomer.
void CreateOrdersFile(const fs::path& file, const fs::path& ddf) {
  CreateTypedFile(file, ddf, 64, {{1, 8, false, "ByOrder"}, {9, 20, true, "ByCustomer"}},
                  {{"OrderNo", dictionary::ftINTEGER, 0, 8},
                   {"Customer", dictionary::ftSTRING, 8, 20},
                   {"Status", dictionary::ftSTRING, 28, 6},
                   {"Amount", dictionary::ftFLOAT, 34, 12},
                   {"Placed", dictionary::ftDATE, 46, 8},
                   {"Qty", dictionary::ftINTEGER, 54, 8}},
                  "ORDERS");
}

// ---- Import and export ---------------------------------------------------------------------

fs::path Csv() { return g.dir / "in.csv"; }
fs::path VastrelFile() { return g.dir / "parts.dat"; }
fs::path Ddf() { return g.dir / "parts.ddf"; }
fs::path SqliteFile() { return g.dir / "parts.sqlite"; }
fs::path OrdersFile() { return g.dir / "orders.dat"; }
fs::path OrdersDdf() { return g.dir / "orders.ddf"; }

void Subprocess(benchmark::State& state, const std::string& name, const std::string& command,
                const std::function<void()>& before) {
  for (auto _ : state) {
    before();
    const double s = Timed(command, &g_cpu[name]);
    state.SetIterationTime(s);
    g_results[name] = s;
  }
  state.counters["records/s"] = static_cast<double>(g.records) / g_results[name];
  state.counters["cpu s"] = g_cpu[name];
}

std::string Dict() { return " --dict " + Quote(Ddf()) + " --id PARTS"; }

void ImportVastrel(benchmark::State& state) {
  Subprocess(state, "import/vastrel",
             Quote(g.tool) + " import " + Quote(VastrelFile()) + " " + Quote(Csv()) + Dict() +
                 " 2>/dev/null",
             [] {
               fs::remove(VastrelFile());
               fs::remove(fs::path(VastrelFile()).concat(".redo"));
               CreateVastrelFile(VastrelFile(), Ddf());
             });
}

void ExportVastrel(benchmark::State& state) {
  Subprocess(state, "export/vastrel",
             Quote(g.tool) + " export " + Quote(VastrelFile()) + " " + Quote(g.dir / "out.csv") +
                 Dict() + " --key 0 2>/dev/null",
             [] {});
}

void ImportSqlite(benchmark::State& state) {
  const fs::path script = g.dir / "import.sql";
  std::ofstream(script) << "CREATE TABLE parts(Id INTEGER, Code TEXT, Name TEXT, Qty INTEGER, "
                           "Price REAL);\n"
                           "CREATE UNIQUE INDEX parts_id ON parts(Id);\n"
                           "CREATE INDEX parts_code ON parts(Code);\n"
                           ".import --csv --skip 1 " +
                               Csv().string() + " parts\n";
  Subprocess(state, "import/sqlite3", "sqlite3 " + Quote(SqliteFile()) + " < " + Quote(script),
             [] { fs::remove(SqliteFile()); });
}

void ExportSqlite(benchmark::State& state) {
  const fs::path script = g.dir / "export.sql";
  std::ofstream(script) << ".headers on\n.mode csv\n.output " +
                               (g.dir / "out-sqlite.csv").string() +
                               "\nSELECT * FROM parts ORDER BY Id;\n";
  Subprocess(state, "export/sqlite3", "sqlite3 " + Quote(SqliteFile()) + " < " + Quote(script),
             [] {});
}

// ---- The field walk ----------------------------------------------------------------------------

// Invoke with DISPIDs and arguments, failing the run on any failure.
Variant Call(IDispatch* obj, DISPID id, uint16_t flags, std::vector<Variant> args = {}) {
  std::vector<VARIANT> wire(args.rbegin(), args.rend());
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS dp;
  dp.rgvarg = wire.empty() ? nullptr : wire.data();
  dp.cArgs = static_cast<uint32_t>(wire.size());
  if (flags & DISPATCH_PROPERTYPUT) {
    dp.rgdispidNamedArgs = &put;
    dp.cNamedArgs = 1;
  }
  Variant result;
  EXCEPINFO excep;
  const HRESULT hr = obj->Invoke(id, IID_NULL, 0, flags, &dp, result.Out(), &excep, nullptr);
  const std::string message(BstrView(excep.bstrDescription));
  ClearExcepInfo(&excep);
  if (FAILED(hr)) Fail("Invoke failed: " + message);
  return result;
}

DISPID IdOf(IDispatch* obj, const char* name) {
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(obj->GetIDsOfNames(IID_NULL, &name, 1, 0, &id))) Fail(std::string("no ") + name);
  return id;
}

struct Control {
  ComPtr<IDispatch> obj;
  DISPID first, next, field_by_name, as_string = 0, as_integer = 0;

  Control() {
    if (!fs::exists(VastrelFile())) {  // a run that leaves the import out
      CreateVastrelFile(VastrelFile(), Ddf());
      Timed(Quote(g.tool) + " import " + Quote(VastrelFile()) + " " + Quote(Csv()) + Dict() +
            " 2>/dev/null");
    }
    CLSID clsid;
    if (FAILED(automation::CLSIDFromProgID(automation::kVastrelProgID, &clsid)) ||
        FAILED(automation::CoCreateInstance(clsid, nullptr, IID_IDispatch,
                                            reinterpret_cast<void**>(obj.Out()))))
      Fail("cannot create the control");
    IDispatch* c = obj.get();
    Call(c, IdOf(c, "FileName"), DISPATCH_PROPERTYPUT, {Variant(VastrelFile().string())});
    Variant fields = Call(c, IdOf(c, "DDFFields"), DISPATCH_PROPERTYGET);
    Call(fields.pdispVal, IdOf(fields.pdispVal, "LoadItems"), DISPATCH_METHOD,
         {Variant(Ddf().string()), Variant("PARTS")});
    Call(c, IdOf(c, "Open"), DISPATCH_METHOD);
    first = IdOf(c, "First");
    next = IdOf(c, "Next");
    field_by_name = IdOf(c, "FieldByName");
    Call(c, first, DISPATCH_METHOD);
    Variant f = Call(c, field_by_name, DISPATCH_METHOD, {Variant("Code")});
    as_string = IdOf(f.pdispVal, "AsString");
    as_integer = IdOf(f.pdispVal, "AsInteger");
  }
};

// One record per iteration: Next, and with fields the two reads; the walk starts over with
// First, outside the timing, at the end of the records walked.
void Walk(benchmark::State& state, bool fields) {
  static Control control;
  IDispatch* c = control.obj.get();
  const Variant code("Code"), qty("Qty");
  Call(c, control.first, DISPATCH_METHOD);  // each run starts at the first record
  long at = 1;
  int64_t total = 0;
  for (auto _ : state) {
    if (++at == g.walk) {
      state.PauseTiming();
      Call(c, control.first, DISPATCH_METHOD);
      at = 1;
      state.ResumeTiming();
    }
    Call(c, control.next, DISPATCH_METHOD);
    if (fields) {
      Variant f = Call(c, control.field_by_name, DISPATCH_METHOD, {code});
      Variant text = Call(f.pdispVal, control.as_string, DISPATCH_PROPERTYGET);
      f = Call(c, control.field_by_name, DISPATCH_METHOD, {qty});
      total += Call(f.pdispVal, control.as_integer, DISPATCH_PROPERTYGET).lVal + text.Text().size();
    }
  }
  benchmark::DoNotOptimize(total);
  g_results[fields ? "walk/cpp/fields" : "walk/cpp/bare"] = 0;  // filled from the report
}

void WalkBare(benchmark::State& state) { Walk(state, false); }
void WalkFields(benchmark::State& state) { Walk(state, true); }

void WalkPython(benchmark::State& state) {
  const fs::path out = g.dir / "python.txt";
  for (auto _ : state) {
    const double s = Timed("PYTHONPATH=" + Quote(g.python_path) + " " + g.python + " " +
                           Quote(g.script) + " " + Quote(VastrelFile()) + " " + Quote(Ddf()) +
                           " PARTS " + std::to_string(g.walk) + " > " + Quote(out));
    state.SetIterationTime(s);
  }
  std::ifstream in(out);
  std::string name;
  double ns;
  while (in >> name >> ns) {
    g_results["walk/python/" + name] = ns;
    state.counters[name + " ns/record"] = ns;
  }
}

// The orders through vastrel.open (bench/hosts/orders.py): single inserts, insert_many, and
// the walk along ByOrder reading every field.
void OrdersPython(benchmark::State& state) {
  const fs::path out = g.dir / "orders.txt";
  for (auto _ : state) {
    fs::remove(OrdersFile());
    fs::remove(fs::path(OrdersFile()).concat(".redo"));
    CreateOrdersFile(OrdersFile(), OrdersDdf());
    const double s =
        Timed("PYTHONPATH=" + Quote(g.python_path) + " " + g.python + " " + Quote(g.orders_script) +
              " " + Quote(OrdersFile()) + " " + Quote(OrdersDdf()) + " " +
              std::to_string(g.single) + " " + std::to_string(g.orders) + " > " + Quote(out));
    state.SetIterationTime(s);
  }
  std::ifstream in(out);
  std::string name;
  double value;
  while (in >> name >> value) {
    g_results["orders/python/" + name] = value;
    state.counters[name] = value;
  }
}

// The same walk along ByOrder through the C++ table: Next, then every field of the
// dictionary read by its type through the list's field accessor.
void OrdersTableWalk(benchmark::State& state) {
  if (!fs::exists(OrdersFile())) Fail("the orders walk needs the orders file: run python/orders");
  table::TBtr t;
  t.SetFileName(OrdersFile().string());
  t.DDFFields().LoadItems(OrdersDdf().string(), "ORDERS");
  t.Open();
  t.SetKeyNum(0);
  t.First();
  dictionary::TRecordItems& fields = t.DDFFields();
  dictionary::TBtrField& f = fields.Accessor();
  const long records = g.single + g.orders;
  long at = 1;
  double total = 0;
  for (auto _ : state) {
    if (++at == records) {
      state.PauseTiming();
      t.First();
      at = 1;
      state.ResumeTiming();
    }
    t.Next();
    for (int i = 0; i < fields.Count(); ++i) {
      const dictionary::TRecordItem& d = fields[i];
      f.SetOffset(d.FieldOffset());
      f.SetSize(d.FieldSize());
      switch (d.FieldType()) {
        case dictionary::ftSTRING:
          total += static_cast<double>(f.AsString().size());
          break;
        case dictionary::ftINTEGER:
          total += f.AsInteger();
          break;
        case dictionary::ftFLOAT:
          total += f.AsFloat();
          break;
        default:
          total += f.AsDate();
          break;
      }
    }
  }
  benchmark::DoNotOptimize(total);
  t.Close();
}

// Keeps the CPU time per iteration of the C++ walks for the summary.
class Reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      const std::string name = r.benchmark_name();
      if ((name.rfind("walk/cpp/", 0) == 0 || name == "orders/cpp/table_walk") && r.iterations > 0)
        g_results[name] = r.GetAdjustedCPUTime();  // ns per iteration
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

void Summary() {
  auto rate = [](const char* name) { return static_cast<double>(g.records) / g_results[name]; };
  std::printf(
      "\n%ld records of 100 bytes, CSV in and out (wall clock; CPU seconds of the "
      "processes beside)\n",
      g.records);
  for (const char* work : {"import", "export"}) {
    const std::string v = std::string(work) + "/vastrel", q = std::string(work) + "/sqlite3";
    std::printf("  %s vastrel %10.0f records/s %7.2f s CPU\n", work, rate(v.c_str()), g_cpu[v]);
    std::printf("  %s sqlite3 %10.0f records/s %7.2f s CPU\n", work, rate(q.c_str()), g_cpu[q]);
    std::printf("    vastrel / sqlite3: %.2f by records per wall second, %.2f by CPU time\n",
                rate(v.c_str()) / rate(q.c_str()), g_cpu[q] / g_cpu[v]);
  }
  const double bare = g_results["walk/cpp/bare"], fields = g_results["walk/cpp/fields"];
  const double py_bare = g_results["walk/python/bare"], py_fields = g_results["walk/python/fields"];
  std::printf("\nwalk along key 0 over %ld records, two fields by FieldByName per record\n",
              g.walk);
  std::printf("  %-22s %9.0f ns/record\n", "C++ Invoke, bare", bare);
  std::printf("  %-22s %9.0f ns/record   %.1f x the bare walk\n", "C++ Invoke, fields", fields,
              fields / bare);
  std::printf("  %-22s %9.0f ns/record\n", "Python module, bare", py_bare);
  std::printf("  %-22s %9.0f ns/record   %.2f x the C++ loop (target: at most 3)\n",
              "Python module, fields", py_fields, py_fields / fields);
  const double single = g_results["orders/python/insert_single"];
  const double many = g_results["orders/python/insert_many"];
  const double table_walk = g_results["orders/cpp/table_walk"];
  const double py_walk = g_results["orders/python/walk"];
  std::printf("\norders of 64 bytes, two keys, through vastrel.open\n");
  std::printf("  %-22s %9.0f records/s (%ld, a commit each)\n", "insert", single, g.single);
  std::printf("  %-22s %9.0f records/s (%ld)   %.1f x single inserts (target: at least 10)\n",
              "insert_many, 1,000", many, g.orders, many / single);
  std::printf("  %-22s %9.0f ns/record   every field, by its type\n", "C++ table walk", table_walk);
  std::printf("  %-22s %9.0f ns/record   %.2f x the C++ table (target: at most 3)\n",
              "records() walk", py_walk, py_walk / table_walk);
}

}  // namespace
}  // namespace vastrel::bench

int main(int argc, char** argv) {
  using namespace vastrel::bench;
  const fs::path self = fs::canonical("/proc/self/exe").parent_path();
  g.tool = self / "vastrel";
  g.python_path = self.parent_path() / "python";
  g.script = fs::path(VASTREL_SOURCE_DIR) / "bench/hosts/field_walk.py";
  g.orders_script = fs::path(VASTREL_SOURCE_DIR) / "bench/hosts/orders.py";
  CLI::App options(
      "The tool's typed import and export beside the sqlite3 shell, and a "
      "FieldByName walk through Invoke and through the Python module",
      "hosts_bench");
  options.add_option("--records", g.records, "records to import and export");
  options.add_option("--walk", g.walk, "records of the walk");
  options.add_option("--dir", g.dir, "folder of the files (default: a new one in /var/tmp)");
  options.add_flag("--keep", g.keep, "keep the files");
  options.add_option("--single", g.single, "orders inserted one by one from Python");
  options.add_option("--orders", g.orders, "orders inserted by insert_many from Python");
  ParseOptions(options, &argc, argv);
  if (g.records < 2 || g.walk < 2 || g.walk > g.records)
    Fail("--records and --walk: 2 <= walk <= records");
  if (g.single < 1 || g.orders < 1 || (g.single + g.orders) % 7919 == 0)
    Fail("--single and --orders: at least 1 each, and no multiple of 7919 together");
  if (g.dir.empty()) g.dir = fs::path("/var/tmp") / ("hosts_bench." + std::to_string(getpid()));
  fs::create_directories(g.dir);
  benchmark::Initialize(&argc, argv);

  std::fprintf(stderr, "writing %ld records to %s\n", g.records, Csv().c_str());
  WriteCsv(Csv());
  auto once = [](const char* name, void (*fn)(benchmark::State&)) {
    benchmark::RegisterBenchmark(name, fn)->Iterations(1)->UseManualTime()->Unit(
        benchmark::kSecond);
  };
  once("import/vastrel", ImportVastrel);
  once("import/sqlite3", ImportSqlite);
  once("export/vastrel", ExportVastrel);
  once("export/sqlite3", ExportSqlite);
  benchmark::RegisterBenchmark("walk/cpp/bare", WalkBare)->Unit(benchmark::kNanosecond);
  benchmark::RegisterBenchmark("walk/cpp/fields", WalkFields)->Unit(benchmark::kNanosecond);
  once("walk/python", WalkPython);
  once("orders/python", OrdersPython);
  benchmark::RegisterBenchmark("orders/cpp/table_walk", OrdersTableWalk)
      ->Unit(benchmark::kNanosecond);
  Reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  Summary();
  if (!g.keep) fs::remove_all(g.dir);
  return 0;
}
