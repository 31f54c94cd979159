// Writers that contend: transfers between two records in concurrent transactions, each
// writer a process of its own retrying on 78, 80, 84 and 85, with one more process summing
// every balance alongside. Runs 1 and 4 writers over records in one file and in two files,
// with no-wait (+400) and wait (+300) locks, one configuration after the other, and prints
// the transfers each committed in the same time.
//
// Before them, durable single inserts by 1, 2 and 4 processes at once into one file, beside
// SQLite (WAL, synchronous FULL: durable) and LMDB (synced commits) doing the same, and SQLite
// with synchronous NORMAL, which does not sync a commit (not durable: for comparison only). The
// three take turns in short rounds, so that a disk whose sync time drifts (a shared machine's does,
// by several times within seconds) weighs on each of them alike.
//
// With --base-engine LIB, the transfers also run through another build of the engine library,
// cell by cell beside this one, and the table prints both and their ratios.
//
// Usage: engine_transfer_bench [--seconds=S] [--dir=PATH] [--base-engine=LIB]
//   (default 3 s per configuration)
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <lmdb.h>
#include <sqlite3.h>
#include <CLI/CLI.hpp>

#include "bench/engine/int_key_file.h"
#include "enginecore/include/wbtrv32.h"

namespace {

constexpr int kAccounts = 100;

// The engine the processes call: this build's, or the base library's (--base-engine).
vastrel::bench::BtrCallFunction g_call = BTRCALL;

int16_t Btr(uint16_t op, void* pos, void* data, uint32_t* len, void* key, uint8_t key_len,
            int8_t key_num) {
  return g_call(op, pos, data, len, key, key_len, key_num);
}
constexpr uint32_t kLen = 32;

int Create(const std::string& path) { return vastrel::bench::CreateIntKeyFile(path, kLen, g_call); }

int Open(uint8_t* pos, const std::string& path) {
  return vastrel::bench::OpenFile(pos, path, 0, g_call);
}

int Do(int op, uint8_t* pos, char* rec = nullptr, int32_t* key = nullptr) {
  uint32_t len = rec ? kLen : 0;
  return Btr(static_cast<uint16_t>(op), pos, rec, &len, key, key ? 4 : 0, 0);
}

int64_t Balance(const char* rec) {
  int64_t b;
  std::memcpy(&b, rec + 4, 8);
  return b;
}

void Fill(const std::string& path) {
  uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
  if (Create(path) != 0 || Open(pos, path) != 0) std::exit(2);
  for (int32_t id = 1; id <= kAccounts; ++id) {
    char rec[kLen] = {};
    std::memcpy(rec, &id, 4);
    int64_t b = 1000;
    std::memcpy(rec + 4, &b, 8);
    int32_t k = 0;
    if (Do(BTR_INSERT, pos, rec, &k) != 0) std::exit(2);
  }
  Do(BTR_CLOSE, pos);
}

// One writer: transfers until `stop`, counting the committed ones in *done and the attempts
// that closed a cycle of waits (78) in *cycles.
void Writer(const std::vector<std::string>& files, int lock_bias, unsigned seed,
            std::atomic<bool>* stop, std::atomic<long>* done, std::atomic<long>* cycles) {
  // Two blocks, one per side of a transfer (on one file, or one on each).
  std::vector<std::vector<uint8_t>> pos(2, std::vector<uint8_t>(BTR_POS_BLOCK_SIZE));
  for (size_t i = 0; i < 2; ++i) {
    if (Open(pos[i].data(), files[i % files.size()]) != 0) _exit(3);
  }
  std::mt19937 rng(seed);
  while (!stop->load(std::memory_order_relaxed)) {
    int32_t a = static_cast<int32_t>(rng() % kAccounts) + 1;
    int32_t b = static_cast<int32_t>(rng() % kAccounts) + 1;
    uint8_t* pa = pos[0].data();
    uint8_t* pb = pos[1].data();
    if (files.size() == 1 && a == b) continue;
    if (rng() % 2) std::swap(pa, pb);
    int s = Do(1000 + BTR_BEGIN_TRANSACTION, pa);
    char ra[kLen], rb[kLen];
    if (s == 0) s = Do(BTR_GET_EQUAL + lock_bias, pa, ra, &a);
    if (s == 0) s = Do(BTR_GET_EQUAL + lock_bias, pb, rb, &b);
    if (s == 0) {
      int64_t x = Balance(ra) - 1, y = Balance(rb) + 1;
      std::memcpy(ra + 4, &x, 8);
      std::memcpy(rb + 4, &y, 8);
      s = Do(BTR_UPDATE, pa, ra, &a);
    }
    if (s == 0) s = Do(BTR_UPDATE, pb, rb, &b);
    if (s == 0) s = Do(BTR_END_TRANSACTION, pa);
    if (s != 0) Do(BTR_ABORT_TRANSACTION, pa);
    // Multiple-record locks last until Unlock.
    for (auto& p : pos) Btr(BTR_UNLOCK, p.data(), nullptr, nullptr, nullptr, 0, -2);
    if (s == 0) {
      done->fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    if (s != 78 && s != 80 && s != BTR_RECORD_IN_USE && s != BTR_FILE_IN_USE) {
      std::fprintf(stderr, "a transfer answered %d\n", s);
      _exit(4);
    }
    if (s == 78) cycles->fetch_add(1, std::memory_order_relaxed);
  }
  _exit(0);
}

// The reader: sums every balance of every file, over and over, without a transaction.
void Reader(const std::vector<std::string>& files, std::atomic<bool>* stop) {
  std::vector<std::vector<uint8_t>> pos(files.size(), std::vector<uint8_t>(BTR_POS_BLOCK_SIZE));
  for (size_t i = 0; i < files.size(); ++i) {
    if (Open(pos[i].data(), files[i]) != 0) _exit(3);
  }
  while (!stop->load(std::memory_order_relaxed)) {
    int64_t sum = 0;
    for (auto& p : pos) {
      char rec[kLen];
      int32_t k = 0;
      for (int s = Do(BTR_GET_FIRST, p.data(), rec, &k); s == 0;
           s = Do(BTR_GET_NEXT, p.data(), rec, &k)) {
        sum += Balance(rec);
      }
    }
    (void)sum;
  }
  _exit(0);
}

// ---- Durable single inserts by several processes ----

enum class Store { kEngine, kSqliteFull, kLmdb, kSqliteNormal };

// One inserting process: distinct keys (its index in the low bits, the round in the high
// ones), one commit each.
void Inserter(Store store, const std::string& dir, int index, int round, std::atomic<bool>* stop,
              std::atomic<long>* done) {
  char rec[kLen] = {};
  int32_t id = (round << 22) + index;
  if (store == Store::kEngine) {
    uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
    if (int s = Open(pos, dir + "/engine.dat"); s != 0) {
      std::fprintf(stderr, "an open answered %d\n", s);
      _exit(3);
    }
    while (!stop->load(std::memory_order_relaxed)) {
      id += 16;
      std::memcpy(rec, &id, 4);
      int32_t k = 0;
      int s = Do(BTR_INSERT, pos, rec, &k);
      if (s != 0 && s != BTR_FILE_IN_USE) {
        std::fprintf(stderr, "an insert answered %d\n", s);
        _exit(4);
      }
      if (s == 0) done->fetch_add(1, std::memory_order_relaxed);
    }
    // Closed, so that the next round's opens find the log ended rather than one to recover.
    Do(BTR_CLOSE, pos);
  } else if (store == Store::kSqliteFull || store == Store::kSqliteNormal) {
    sqlite3* db = nullptr;
    if (sqlite3_open((dir + "/sqlite.db").c_str(), &db) != SQLITE_OK) _exit(3);
    sqlite3_busy_timeout(db, 10000);
    sqlite3_exec(
        db, store == Store::kSqliteFull ? "PRAGMA synchronous=FULL;" : "PRAGMA synchronous=NORMAL;",
        nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO rec(k0, data) VALUES(?1, ?2)", -1, &insert, nullptr);
    while (!stop->load(std::memory_order_relaxed)) {
      id += 16;
      sqlite3_bind_int(insert, 1, id);
      sqlite3_bind_blob(insert, 2, rec, kLen, SQLITE_STATIC);
      int rc = sqlite3_step(insert);
      sqlite3_reset(insert);
      if (rc != SQLITE_DONE && rc != SQLITE_BUSY) _exit(4);
      if (rc == SQLITE_DONE) done->fetch_add(1, std::memory_order_relaxed);
    }
    sqlite3_finalize(insert);
    sqlite3_close(db);
  } else {
    MDB_env* env = nullptr;
    MDB_dbi dbi;
    MDB_txn* txn = nullptr;
    if (mdb_env_create(&env) != 0) _exit(3);
    mdb_env_set_mapsize(env, size_t{1} << 30);
    if (mdb_env_open(env, (dir + "/lmdb.mdb").c_str(), MDB_NOSUBDIR, 0644) != 0) _exit(3);
    if (mdb_txn_begin(env, nullptr, 0, &txn) != 0 || mdb_dbi_open(txn, nullptr, 0, &dbi) != 0 ||
        mdb_txn_commit(txn) != 0) {
      _exit(3);
    }
    while (!stop->load(std::memory_order_relaxed)) {
      id += 16;
      int32_t be = static_cast<int32_t>(htobe32(static_cast<uint32_t>(id)));
      MDB_val k{4, &be}, v{kLen, rec};
      if (mdb_txn_begin(env, nullptr, 0, &txn) != 0 || mdb_put(txn, dbi, &k, &v, 0) != 0 ||
          mdb_txn_commit(txn) != 0) {
        _exit(4);
      }
      done->fetch_add(1, std::memory_order_relaxed);
    }
    mdb_env_close(env);
  }
  _exit(0);
}

// Lets the processes run for `seconds`, then stops them and waits for them: true when one
// failed.
bool StopAfter(double seconds, std::atomic<bool>* stop, const std::vector<pid_t>& pids) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop->store(true);
  bool failed = false;
  for (pid_t p : pids) {
    int status = 0;
    waitpid(p, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) failed = true;
  }
  return failed;
}

// One round of `processes` inserting into the store's files in `dir`, made in round 0.
long Inserts(Store store, const std::string& dir, int processes, double seconds, int round) {
  if (round == 0) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  if (round == 0 && store == Store::kEngine) {
    if (Create(dir + "/engine.dat") != 0) return -1;
  } else if (round == 0 && (store == Store::kSqliteFull || store == Store::kSqliteNormal)) {
    sqlite3* db = nullptr;
    sqlite3_open((dir + "/sqlite.db").c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; CREATE TABLE rec(pos INTEGER PRIMARY KEY, k0 INTEGER "
                 "NOT NULL, data BLOB NOT NULL); CREATE UNIQUE INDEX rec_k0 ON rec(k0);",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  void* shared = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  auto* stop = new (shared) std::atomic<bool>(false);
  auto* done = new (static_cast<char*>(shared) + 64) std::atomic<long>(0);
  std::vector<pid_t> pids;
  for (int i = 0; i < processes; ++i) {
    pid_t pid = fork();
    if (pid == 0) Inserter(store, dir, i, round, stop, done);
    pids.push_back(pid);
  }
  const bool failed = StopAfter(seconds, stop, pids);
  long n = done->load();
  munmap(shared, 4096);
  return failed ? -1 : n;
}

// The transfers committed, or -1 when a process failed; *cycles: the attempts that answered 78.
long Run(const std::string& dir, int writers, int file_count, int lock_bias, double seconds,
         long* cycles) {
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::vector<std::string> files;
  for (int i = 0; i < file_count; ++i) {
    files.push_back(dir + "/accounts" + std::to_string(i) + ".dat");
    Fill(files.back());
  }
  uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
  Btr(BTR_STOP, pos, nullptr, nullptr, nullptr, 0, 0);
  void* shared = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  auto* stop = new (shared) std::atomic<bool>(false);
  auto* done = new (static_cast<char*>(shared) + 64) std::atomic<long>(0);
  auto* deadlocks = new (static_cast<char*>(shared) + 128) std::atomic<long>(0);
  std::vector<pid_t> pids;
  for (int w = 0; w < writers; ++w) {
    pid_t pid = fork();
    if (pid == 0) Writer(files, lock_bias, 7919u * (w + 1), stop, done, deadlocks);
    pids.push_back(pid);
  }
  pid_t reader = fork();
  if (reader == 0) Reader(files, stop);
  pids.push_back(reader);
  const bool failed = StopAfter(seconds, stop, pids);
  long n = done->load();
  *cycles = deadlocks->load();
  munmap(shared, 4096);
  return failed ? -1 : n;
}

void InsertTable(const std::string& dir, double seconds, int rounds);
bool TransferTable(const std::string& dir, double seconds, int rounds,
                   vastrel::bench::BtrCallFunction base);

}  // namespace

int main(int argc, char** argv) {
  double seconds = 3;
  std::string dir = "/var/tmp/vastrel-transfer-" + std::to_string(getpid());
  CLI::App app("Contending writers: durable inserts and transfers in several processes",
               "engine_transfer_bench");
  app.add_option("--seconds", seconds, "run time of each configuration (default 3)")
      ->check(CLI::Range(0.1, 3600.0));
  app.add_option("--dir", dir, "folder of the files (default: a new one in /var/tmp)");
  std::string only;
  app.add_option("--only", only, "one table: inserts or transfers")
      ->check(CLI::IsMember({"inserts", "transfers"}));
  std::string base_engine;
  app.add_option("--base-engine", base_engine,
                 "another engine library whose transfers run beside this one's");
  CLI11_PARSE(app, argc, argv);
  vastrel::bench::BtrCallFunction base = nullptr;
  if (!base_engine.empty()) {
    void* library = dlopen(base_engine.c_str(), RTLD_NOW | RTLD_LOCAL);
    base = library ? reinterpret_cast<vastrel::bench::BtrCallFunction>(dlsym(library, "BTRCALL"))
                   : nullptr;
    if (!base) {
      std::fprintf(stderr, "%s: no engine library (%s)\n", base_engine.c_str(), dlerror());
      return 2;
    }
  }
  // Every cell runs in rounds of half a second, all the table's cells in turn in each round,
  // so that a slow spell of the machine or its disk falls on every cell alike.
  const int rounds = std::max(1, static_cast<int>(std::lround(seconds / 0.5)));
  if (only != "transfers") InsertTable(dir, seconds, rounds);
  const bool ok = only == "inserts" || TransferTable(dir, seconds, rounds, base);
  std::filesystem::remove_all(dir);
  return ok ? 0 : 1;
}

namespace {

void InsertTable(const std::string& dir, double seconds, int rounds) {
  std::printf("durable single inserts per second, all processes together, in %.1f s each\n",
              seconds);
  std::printf("%-10s %12s %12s %12s %14s\n", "processes", "engine", "sqlite-full", "lmdb",
              "sqlite-normal");
  const int counts[3] = {1, 2, 4};
  const Store stores[4] = {Store::kEngine, Store::kSqliteFull, Store::kLmdb, Store::kSqliteNormal};
  long inserted[3][4] = {};
  for (int round = 0; round < rounds; ++round) {
    for (int p = 0; p < 3; ++p) {
      for (int c = 0; c < 4; ++c) {
        const std::string cell = dir + "/inserts-" + std::to_string(p) + std::to_string(c);
        const long n = Inserts(stores[c], cell, counts[p], seconds / rounds, round);
        inserted[p][c] = inserted[p][c] < 0 || n < 0 ? -1 : inserted[p][c] + n;
      }
    }
  }
  double rate[3][4];
  for (int p = 0; p < 3; ++p) {
    for (int c = 0; c < 4; ++c) rate[p][c] = static_cast<double>(inserted[p][c]) / seconds;
    std::printf("%-10d %12.0f %12.0f %12.0f %14.0f\n", counts[p], rate[p][0], rate[p][1],
                rate[p][2], rate[p][3]);
  }
  std::printf("4:1       %12.2f %12.2f %12.2f %14.2f   (target for the engine >= 2.5)\n",
              rate[2][0] / rate[0][0], rate[2][1] / rate[0][1], rate[2][2] / rate[0][2],
              rate[2][3] / rate[0][3]);
  std::printf("sqlite-normal does not sync its commits: not durable, for comparison only\n");
  std::printf("engine:sqlite-full, 1 process %.2f (commits per second; target >= 1.0)\n\n",
              rate[0][0] / rate[0][1]);
}

// False when a cell failed. With `base`, every cell runs through that library too, right after
// this one's in each round.
bool TransferTable(const std::string& dir, double seconds, int rounds,
                   vastrel::bench::BtrCallFunction base) {
  std::printf("transfers in %.1f s each (concurrent transactions, one reader summing alongside)\n",
              seconds);
  const int engines = base ? 2 : 1;
  const vastrel::bench::BtrCallFunction calls[2] = {BTRCALL, base};
  long table[2][2][4] = {};
  long cycles[2][2][4] = {};  // attempts that answered 78
  for (int round = 0; round < rounds; ++round) {
    int row = 0;
    for (int writers : {1, 4}) {
      int col = 0;
      for (int bias : {400, 300}) {
        for (int files : {1, 2}) {
          for (int e = 0; e < engines; ++e) {
            g_call = calls[e];
            long closed = 0;
            const long n = Run(dir, writers, files, bias, seconds / rounds, &closed);
            cycles[e][row][col] += closed;
            long& cell = table[e][row][col];
            cell = cell < 0 || n < 0 ? -1 : cell + n;
          }
          ++col;
        }
      }
      ++row;
    }
  }
  g_call = BTRCALL;
  for (int e = 0; e < engines; ++e) {
    const auto& t = table[e];
    const auto& c = cycles[e];
    std::printf("%s\n", e == 0 ? "engine" : "engine-base");
    std::printf("%-8s %14s %14s %14s %14s\n", "writers", "1 file +400", "2 files +400",
                "1 file +300", "2 files +300");
    for (int row = 0; row < 2; ++row) {
      std::printf("%-8d %14ld %14ld %14ld %14ld\n", row == 0 ? 1 : 4, t[row][0], t[row][1],
                  t[row][2], t[row][3]);
    }
    std::printf("4:1 ratio %14.2f %14.2f %14.2f %14.2f   (target >= 1.0)\n",
                double(t[1][0]) / t[0][0], double(t[1][1]) / t[0][1], double(t[1][2]) / t[0][2],
                double(t[1][3]) / t[0][3]);
    std::printf("2:1 files, 1 writer %4.2f %14s %14.2f   (target >= 0.8)\n",
                double(t[0][1]) / t[0][0], "", double(t[0][3]) / t[0][2]);
    std::printf("wait:no-wait, 4 writers %7.2f %14.2f   (target >= 0.5)\n",
                double(t[1][2]) / t[1][0], double(t[1][3]) / t[1][1]);
    // Each 78 is an attempt whose work was lost: the share tells what contention costs.
    std::printf("%-8s %14.2f %14.2f %14.2f %14.2f   (4 writers: attempts that answered 78)\n",
                "78s/xfer", double(c[1][0]) / std::max(1L, t[1][0]),
                double(c[1][1]) / std::max(1L, t[1][1]), double(c[1][2]) / std::max(1L, t[1][2]),
                double(c[1][3]) / std::max(1L, t[1][3]));
  }
  if (base) {
    std::printf("engine:engine-base");
    for (int row = 0; row < 2; ++row) {
      for (int col = 0; col < 4; ++col) {
        std::printf(" %.2f", double(table[0][row][col]) / std::max(1L, table[1][row][col]));
      }
      std::printf(row == 0 ? " |" : "   (1 writer | 4 writers, columns as above)\n");
    }
  }
  for (const auto& t : table) {
    for (const auto& r : t) {
      for (long v : r) {
        if (v < 0) return false;
      }
    }
  }
  return true;
}

}  // namespace
