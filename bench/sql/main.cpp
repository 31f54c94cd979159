// sql_bench: SQL over record files through the module, side by side in one run with
//
//  - the C++ table: a lookup by FindKey with the same field reads as
//    "SELECT ... WHERE OrderNo = ?", and a walk in physical order reading the column that
//    "SELECT sum(Qty)" sums;
//  - native SQLite tables holding the same data, for a join of orders to customers on a key.
//
// The files are made once per run (--records orders, --customers customers); the query
// plans of the three statements are printed before the figures. See README.md.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_options.h"
#include "dictionary/btrdictlist.h"
#include "keys/btrklist.h"
#include "platform/oleauto.h"
#include "table/btr.h"

namespace vastrel::bench {
namespace {

namespace fs = std::filesystem;

struct Globals {
  fs::path dir;
  long records = 1000000;
  long customers = 100000;
  int lookups = 20000;
} g;

// Mean nanoseconds of the thread's CPU time per operation, by benchmark: the engine works
// in the calling thread, and CPU time compares fairly on a shared machine.
std::map<std::string, double> g_ns;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "sql_bench: %s\n", what.c_str());
  std::exit(1);
}

struct FieldDef {
  const char* name;
  dictionary::TxFieldType type;
  int32_t offset, size;
};

// A record file of 64-byte records with text keys at the given places, its dictionary
// under `id`, and `count` records made by `make` (the record text of record i), inserted
// in transactions of 10,000.
template <class Make>
void Fill(const fs::path& file, const char* id, std::vector<std::pair<int, int>> key_places,
          std::vector<FieldDef> fields, long count, Make make) {
  table::TBtr t;
  t.SetFileName((g.dir / file).string());
  t.SetRecordSize(64);
  t.SetPageSize(4096);
  bool first = true;
  for (const auto& [position, length] : key_places) {
    keys::TKey& key = t.Keys().Add();
    key.SetPosition(position);
    key.SetLength(length);
    key.SetKeyType(keys::ktString);
    key.SetAllowDuplicates(!first);
    first = false;
  }
  t.CreateFile();
  for (const FieldDef& d : fields) {
    dictionary::TRecordItem& item = t.DDFFields().Add();
    item.SetFieldName(d.name);
    item.SetFieldType(d.type);
    item.SetFieldOffset(d.offset);
    item.SetFieldSize(d.size);
  }
  t.DDFFields().SaveItems((g.dir / "shop.ddf").string(), true, true, id);
  for (long i = 0; i < count; ++i) {
    if (i % 10000 == 0) t.begintransaction();
    const std::string text = make(i);
    std::memset(t.DataBuffer(), 0, 64);
    std::memcpy(t.DataBuffer(), text.data(), std::min<size_t>(text.size(), 63));
    t.Insert();
    if (i % 10000 == 9999 || i + 1 == count) t.committransaction();
  }
  t.Close();
}

std::string Padded(const std::string& text, size_t width) {
  std::string s = text.substr(0, width);
  s.resize(width, ' ');
  return s;
}

void MakeFiles() {
  fs::remove(g.dir / "shop.ddf");
  // Customers: CustNo (key 0), Name, City.
  Fill("customers.dat", "CUSTOMERS", {{1, 8}},
       {{"CustNo", dictionary::ftSTRING, 0, 8},
        {"Name", dictionary::ftSTRING, 8, 30},
        {"City", dictionary::ftSTRING, 38, 20}},
       g.customers, [](long i) {
         char no[32];
         std::snprintf(no, sizeof no, "C%07ld", i);
         return Padded(no, 8) + Padded("Customer " + std::to_string(i), 30) +
                Padded("City" + std::to_string(i % 100), 20);
       });
  // Orders: OrderNo (key 0), Customer (key 1), Qty, Price, Day.
  Fill("orders.dat", "ORDERS", {{1, 8}, {9, 8}},
       {{"OrderNo", dictionary::ftINTEGER, 0, 8},
        {"Customer", dictionary::ftSTRING, 8, 8},
        {"Qty", dictionary::ftINTEGER, 16, 6},
        {"Price", dictionary::ftFLOAT, 22, 12},
        {"Day", dictionary::ftDATE, 34, 8}},
       g.records, [](long i) {
         char no[32];
         std::snprintf(no, sizeof no, "C%07ld", (i * 7919) % g.customers);
         char price[16];
         std::snprintf(price, sizeof price, "%.2f", static_cast<double>(i % 10000) / 100.0);
         return Padded(std::to_string(i + 1), 8) + Padded(no, 8) +
                Padded(std::to_string(i % 50 + 1), 6) + Padded(price, 12) + "202603" +
                std::to_string(i % 18 + 10);
       });
}

sqlite3* g_db = nullptr;

void Exec(const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(g_db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK)
    Fail(sql + ": " + (error ? error : ""));
}

void OpenDatabase(bool made_before) {
  if (sqlite3_open((g.dir / "native.sqlite").c_str(), &g_db) != SQLITE_OK) Fail("sqlite3_open");
  sqlite3_enable_load_extension(g_db, 1);
  char* error = nullptr;
  if (sqlite3_load_extension(g_db, VASTREL_SQLITE_EXTENSION, nullptr, &error) != SQLITE_OK)
    Fail(std::string("load_extension: ") + (error ? error : ""));
  for (const char* t : {"orders", "customers"}) {
    const std::string file = (g.dir / (std::string(t) + ".dat")).string();
    Exec(std::string("CREATE VIRTUAL TABLE temp.") + t + " USING vastrel(file='" + file +
         "', dictionary='" + (g.dir / "shop.ddf").string() + "', id='" +
         (std::string(t) == "orders" ? "ORDERS" : "CUSTOMERS") + "')");
  }
  if (made_before) return;
  // The same data in native tables, with the same keys as indexes.
  Exec(
      "DROP TABLE IF EXISTS n_orders; DROP TABLE IF EXISTS n_customers;"
      "CREATE TABLE n_customers(CustNo TEXT PRIMARY KEY, Name TEXT, City TEXT);"
      "CREATE TABLE n_orders(OrderNo INTEGER PRIMARY KEY, Customer TEXT, Qty INTEGER, "
      "Price REAL, Day TEXT);"
      "BEGIN; INSERT INTO n_customers SELECT * FROM customers;"
      "INSERT INTO n_orders SELECT * FROM orders;"
      "CREATE INDEX n_orders_customer ON n_orders(Customer); COMMIT; ANALYZE;");
}

// The random order numbers the lookups ask for.
std::vector<long> Targets() {
  std::vector<long> v;
  uint32_t seed = 12345;
  for (int i = 0; i < g.lookups; ++i) {
    seed = seed * 1103515245u + 12345u;
    v.push_back(1 + static_cast<long>((seed >> 8) % static_cast<uint32_t>(g.records)));
  }
  return v;
}

template <class Work>
void Timed(benchmark::State& state, const char* name, long operations, Work work) {
  auto cpu = [] {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  };
  double total = 0;
  int runs = 0;
  for (auto _ : state) {
    const double start = cpu();
    work();
    const double s = cpu() - start;
    state.SetIterationTime(s);
    total += s;
    ++runs;
  }
  g_ns[name] = total * 1e9 / runs / static_cast<double>(operations);
  state.counters["ns/op"] = g_ns[name];
}

constexpr const char* kLookup = "SELECT Customer, Qty, Price FROM orders WHERE OrderNo = ?";
constexpr const char* kSum = "SELECT sum(Qty) FROM orders";
// Orders of a range of customers, with each customer's city: orders by their key 1, the
// customer of each by key 0.
constexpr const char* kJoin =
    "SELECT c.City, count(*), sum(o.Qty * o.Price) FROM %s o JOIN %s c ON c.CustNo = o.Customer "
    "WHERE o.Customer BETWEEN 'C0001000' AND 'C0002999' GROUP BY c.City";

std::string JoinOf(const char* orders, const char* customers) {
  char sql[512];
  std::snprintf(sql, sizeof sql, kJoin, orders, customers);
  return sql;
}

void CppFindKey(benchmark::State& state) {
  table::TBtr t;
  t.SetFileName((g.dir / "orders.dat").string());
  t.DDFFields().LoadItems((g.dir / "shop.ddf").string(), "ORDERS");
  dictionary::TIndexItem& index = t.DDFIndexes().Add();
  index.SetIndexName("ByOrder");
  index.SetIndexKeyNum(0);
  t.Open();
  table::TField customer = t.Field("Customer"), qty = t.Field("Qty"), price = t.Field("Price");
  const std::vector<long> targets = Targets();
  double check = 0;
  Timed(state, "C++ FindKey", g.lookups, [&] {
    for (const long n : targets) {
      VARIANT v;
      v.vt = VT_I4;
      v.lVal = static_cast<int32_t>(n);
      if (!t.FindKey("ByOrder", v)) Fail("FindKey " + std::to_string(n));
      check += static_cast<double>(customer.AsString().size()) + qty.AsInteger() + price.AsFloat();
    }
  });
  benchmark::DoNotOptimize(check);
}

void SqlLookup(benchmark::State& state) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(g_db, kLookup, -1, &s, nullptr) != SQLITE_OK) Fail(sqlite3_errmsg(g_db));
  const std::vector<long> targets = Targets();
  double check = 0;
  Timed(state, "SQL WHERE OrderNo = ?", g.lookups, [&] {
    for (const long n : targets) {
      sqlite3_bind_int64(s, 1, n);
      if (sqlite3_step(s) != SQLITE_ROW) Fail(std::string("lookup: ") + sqlite3_errmsg(g_db));
      check += sqlite3_column_bytes(s, 0) + sqlite3_column_int(s, 1) + sqlite3_column_double(s, 2);
      sqlite3_reset(s);
    }
  });
  sqlite3_finalize(s);
  benchmark::DoNotOptimize(check);
}

// The C++ table's walk with the read of Qty: in physical order (the SQL scan's path), or
// along key 0 as the hosts bench walks.
void CppWalk(benchmark::State& state, const char* name, bool physical) {
  table::TBtr t;
  t.SetFileName((g.dir / "orders.dat").string());
  t.DDFFields().LoadItems((g.dir / "shop.ddf").string(), "ORDERS");
  t.Open();
  if (physical) t.SetStepType(table::stNoKeys);
  table::TField qty = t.Field("Qty");
  Timed(state, name, g.records, [&] {
    long sum = 0;
    t.First();
    for (;;) {
      sum += qty.AsInteger();
      if (!t.LocateNext()) break;
    }
    benchmark::DoNotOptimize(sum);
  });
}

void Query(benchmark::State& state, const char* name, const std::string& sql, long operations) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(g_db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK)
    Fail(sqlite3_errmsg(g_db));
  Timed(state, name, operations, [&] {
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW)
      benchmark::DoNotOptimize(sqlite3_column_int64(s, 0));
    if (rc != SQLITE_DONE) Fail(std::string(name) + ": " + sqlite3_errmsg(g_db));
    sqlite3_reset(s);
  });
  sqlite3_finalize(s);
}

void PrintPlan(const std::string& sql) {
  std::printf("  %s\n", sql.c_str());
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(g_db, ("EXPLAIN QUERY PLAN " + sql).c_str(), -1, &s, nullptr) != SQLITE_OK)
    Fail(sqlite3_errmsg(g_db));
  while (sqlite3_step(s) == SQLITE_ROW)
    std::printf("    %s\n", reinterpret_cast<const char*>(sqlite3_column_text(s, 3)));
  sqlite3_finalize(s);
}

}  // namespace
}  // namespace vastrel::bench

int main(int argc, char** argv) {
  using namespace vastrel::bench;
  CLI::App app("SQL through the module beside the C++ table and native SQLite tables");
  std::string dir;
  app.add_option("--dir", dir,
                 "where the files are made, or found from an earlier run (default: a new "
                 "folder in /tmp, removed at the end)");
  app.add_option("--records", g.records, "orders (default 1,000,000)");
  app.add_option("--customers", g.customers, "customers (default 100,000)");
  ParseOptions(app, &argc, argv);
  g.dir = dir.empty() ? fs::temp_directory_path() / ("sql-bench-" + std::to_string(getpid()))
                      : fs::path(dir);
  fs::create_directories(g.dir);
  const auto made = std::chrono::steady_clock::now();
  // A --dir that holds the files of an earlier run is used as it is.
  const bool made_before = !dir.empty() && fs::exists(g.dir / "native.sqlite");
  if (!made_before) MakeFiles();
  OpenDatabase(made_before);
  std::printf("%ld orders, %ld customers made and copied into native tables in %.1f s\n", g.records,
              g.customers,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - made).count());
  std::printf("query plans:\n");
  PrintPlan(kLookup);
  PrintPlan(kSum);
  PrintPlan(JoinOf("orders", "customers"));
  PrintPlan(JoinOf("n_orders", "n_customers"));

  auto add = [](const char* name, auto fn) {
    benchmark::RegisterBenchmark(name, fn)->UseManualTime()->Iterations(5)->Unit(
        benchmark::kMillisecond);
  };
  add("lookup/C++ FindKey", CppFindKey);
  add("lookup/SQL", SqlLookup);
  add("scan/C++ walk, physical order", [](benchmark::State& s) { CppWalk(s, "C++ walk", true); });
  add("scan/C++ walk, key 0", [](benchmark::State& s) { CppWalk(s, "C++ key walk", false); });
  add("scan/SQL sum", [](benchmark::State& s) { Query(s, "SQL sum(Qty)", kSum, g.records); });
  add("join/SQL module", [](benchmark::State& s) {
    Query(s, "SQL join, record files", JoinOf("orders", "customers"), 1);
  });
  add("join/SQL native", [](benchmark::State& s) {
    Query(s, "SQL join, native tables", JoinOf("n_orders", "n_customers"), 1);
  });
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  auto ratio = [](const char* a, const char* b) { return g_ns[a] / g_ns[b]; };
  std::printf("\nfigures (one run, side by side):\n");
  std::printf(
      "  WHERE OrderNo = ?  %8.0f ns   C++ FindKey + 3 fields %8.0f ns   %.2f x (target 3)\n",
      g_ns["SQL WHERE OrderNo = ?"], g_ns["C++ FindKey"],
      ratio("SQL WHERE OrderNo = ?", "C++ FindKey"));
  std::printf(
      "  sum(Qty) scan      %8.0f ns   C++ walk + 1 field     %8.0f ns   %.2f x (target 2)\n",
      g_ns["SQL sum(Qty)"], g_ns["C++ walk"], ratio("SQL sum(Qty)", "C++ walk"));
  std::printf("  sum(Qty) scan      %8.0f ns   C++ walk along key 0   %8.0f ns   %.2f x\n",
              g_ns["SQL sum(Qty)"], g_ns["C++ key walk"], ratio("SQL sum(Qty)", "C++ key walk"));
  std::printf(
      "  join               %8.2f ms   native tables          %8.2f ms   %.2f x (target 2)\n",
      g_ns["SQL join, record files"] / 1e6, g_ns["SQL join, native tables"] / 1e6,
      ratio("SQL join, record files", "SQL join, native tables"));
  sqlite3_close(g_db);
  if (dir.empty()) fs::remove_all(g.dir);
  return 0;
}
