// What survives: a file that outgrows its map, and transactions of a process killed at
// random moments (every acknowledged End whole, no file holding part of a transaction,
// every index agreeing with the records). MKDE_CRASH_ITERATIONS sets the number of kills.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "tests/mkde/engine_fixture.h"

namespace mkde_test {
namespace {

TEST_F(EngineTest, FileGrowsPastItsMapWithoutLosingAWrite) {
  std::string path = Path("big.dat");
  ASSERT_EQ(CreateFile(path, CreationBuffer(8, {{{1, 4, 0, 1}}}, 0x0001)), 0);
  Table t;
  ASSERT_EQ(t.Open(path, -1), 0);
  // Large records fill the first map quickly; the largest does not fit what is left.
  std::vector<size_t> sizes = {20 << 20, 20 << 20, 40 << 20, 1 << 20, 60 << 20};
  for (size_t i = 0; i < sizes.size(); ++i) {
    std::string rec(sizes[i], static_cast<char>('a' + i));
    int32_t id = static_cast<int32_t>(i);
    std::memcpy(rec.data(), &id, 4);
    ASSERT_EQ(t.Insert(rec), 0) << i;
  }
  t.Close();
  ASSERT_EQ(t.Open(path), 0);
  size_t i = 0;
  for (int16_t s = t.Get(BTR_GET_FIRST, 0, "", 64 << 20); s == 0;
       s = t.Get(BTR_GET_NEXT, 0, "", 64 << 20), ++i) {
    ASSERT_EQ(t.data.size(), sizes[i]);
    EXPECT_EQ(t.data.back(), static_cast<char>('a' + i));
  }
  EXPECT_EQ(i, sizes.size());
}

TEST_F(EngineTest, TransactionThatOutgrowsTheMapEndsWhole) {
  std::string path = Path("txbig.dat");
  ASSERT_EQ(CreateFile(path, CreationBuffer(8, {{{1, 4, 0, 1}}}, 0x0001)), 0);
  Table t;
  ASSERT_EQ(t.Open(path), 0);
  ASSERT_EQ(t.Insert(std::string(8, '\0')), 0);
  uint8_t pos[128] = {};
  ASSERT_EQ(Call(BTR_BEGIN_TRANSACTION, pos, nullptr, nullptr, 0), 0);
  // Each record nearly half the first map: the map grows more than once inside the
  // transaction.
  for (int32_t id = 1; id < 5; ++id) {
    std::string rec(30 << 20, static_cast<char>('a' + id));
    std::memcpy(rec.data(), &id, 4);
    ASSERT_EQ(t.Insert(rec), 0) << id;
  }
  ASSERT_EQ(Call(BTR_END_TRANSACTION, pos, nullptr, nullptr, 0), 0);
  size_t n = 0;
  for (int16_t s = t.Get(BTR_GET_FIRST, 0, "", 64 << 20); s == 0;
       s = t.Get(BTR_GET_NEXT, 0, "", 64 << 20), ++n) {
    ASSERT_EQ(t.data.size(), n == 0 ? 8u : size_t{30} << 20);
    if (n > 0) {
      EXPECT_EQ(t.data.back(), static_cast<char>('a' + n)) << "record " << n << " whole";
    }
  }
  EXPECT_EQ(n, 5u);
}

// Durable single commits go through the commit log, whose checkpoint keeps pages from reuse:
// the pages they free must come back into use, so that the file ends near the size of the
// same records written in one transaction (half again, and the megabyte of freed pages a
// small file may hold before a checkpoint).
TEST_F(EngineTest, SingleCommitsLeaveTheFileNearItsBulkSize) {
  constexpr uint32_t kRecords = 3000;
  const std::string bulk = Path("bulk.dat"), single = Path("single.dat");
  // A unique 4-byte key in an order unrelated to insertion, and an 8-byte key with duplicates.
  const std::string buffer = CreationBuffer(64, {{{1, 4, 0, 14}}, {{5, 8, 1, 0}}});
  ASSERT_EQ(CreateFile(bulk, buffer), 0);
  ASSERT_EQ(CreateFile(single, buffer), 0);
  auto record = [](uint32_t i) {
    std::string r(64, 'r');
    const uint32_t id = i * 2654435761u;
    std::memcpy(r.data(), &id, 4);
    std::snprintf(r.data() + 4, 9, "g%07u", i % 500);
    return r;
  };
  Table t;
  ASSERT_EQ(t.Open(bulk), 0);
  uint8_t pos[128] = {};
  ASSERT_EQ(Call(BTR_BEGIN_TRANSACTION, pos, nullptr, nullptr, 0), 0);
  for (uint32_t i = 0; i < kRecords; ++i) ASSERT_EQ(t.Insert(record(i)), 0) << i;
  ASSERT_EQ(Call(BTR_END_TRANSACTION, pos, nullptr, nullptr, 0), 0);
  ASSERT_EQ(t.Close(), 0);
  ASSERT_EQ(t.Open(single), 0);
  for (uint32_t i = 0; i < kRecords; ++i) ASSERT_EQ(t.Insert(record(i)), 0) << i;
  ASSERT_EQ(t.Close(), 0);
  const auto bulk_size = std::filesystem::file_size(bulk);
  const auto single_size = std::filesystem::file_size(single);
  EXPECT_LE(single_size, bulk_size * 3 / 2 + (1 << 20))
      << "bulk " << bulk_size << ", single " << single_size;

  // Stat's storage form: the file's pages are its trees' and the free ones, and the trees
  // hold the same records however they were written.
  std::string reply(64, '\0');
  auto figure = [&](int i) {
    uint64_t v = 0;
    std::memcpy(&v, reply.data() + 8 * i, 8);
    return v;
  };
  uint64_t record_pages = 0, pages_needed = 0;
  for (const std::string& path : {bulk, single}) {
    ASSERT_EQ(t.Open(path, -2), 0);
    reply.assign(63, '\0');
    EXPECT_EQ(t.Do(BTR_STAT, &reply, nullptr, -1), BTR_DATA_LENGTH);
    reply.assign(64, '\0');
    ASSERT_EQ(t.Do(BTR_STAT, &reply, nullptr, -1), 0);
    ASSERT_EQ(t.out_len, 64u);
    EXPECT_EQ(figure(0), std::filesystem::file_size(path));
    EXPECT_EQ(figure(0), figure(1) * figure(2));
    EXPECT_EQ(figure(4) + figure(5) + figure(6) + figure(7), figure(2)) << path;
    EXPECT_GE(figure(3), figure(0)) << "the map holds the file";
    if (record_pages != 0) {
      EXPECT_EQ(figure(4), record_pages);
    }
    record_pages = figure(4);
    pages_needed = (figure(2) - figure(7) + 64) * figure(1);
    ASSERT_EQ(t.Close(), 0);
  }

  // The last close gave the free pages' blocks back to the file system; they come into use
  // again whole, and every record reads back.
  struct stat st;
  ASSERT_EQ(::stat(single.c_str(), &st), 0);
  EXPECT_LE(static_cast<uint64_t>(st.st_blocks) * 512, pages_needed);
  EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, single_size) << "nothing given back";
  ASSERT_EQ(t.Open(single), 0);
  for (uint32_t i = kRecords; i < kRecords * 2; ++i) ASSERT_EQ(t.Insert(record(i)), 0) << i;
  ASSERT_EQ(t.Close(), 0);
  ASSERT_EQ(t.Open(single), 0);
  uint32_t n = 0;
  for (int16_t s = t.Get(BTR_GET_FIRST, 0); s == 0; s = t.Get(BTR_GET_NEXT, 0), ++n) {
    ASSERT_EQ(t.data.size(), 64u);
  }
  EXPECT_EQ(n, kRecords * 2);
  ASSERT_EQ(t.Close(), 0);
}

// Transactions over two durable files commit through linked entries in both logs: they count
// against the logs' limits as single commits do, so the logs roll and the pages the
// transactions free come back into use.
TEST_F(EngineTest, TransactionsOverTwoFilesKeepTheFilesNearTheirSize) {
  constexpr int32_t kAccounts = 100;
  const std::string paths[2] = {Path("ledger0.dat"), Path("ledger1.dat")};
  Table t[2];
  for (int f = 0; f < 2; ++f) {
    ASSERT_EQ(CreateFile(paths[f], CreationBuffer(64, {{{1, 4, 0, 14}}})), 0);
    ASSERT_EQ(t[f].Open(paths[f]), 0);
    for (int32_t id = 0; id < kAccounts; ++id) {
      std::string r(64, 'a');
      std::memcpy(r.data(), &id, 4);
      ASSERT_EQ(t[f].Insert(r), 0);
    }
  }
  uint8_t pos[128] = {};
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(Call(BTR_BEGIN_TRANSACTION, pos, nullptr, nullptr, 0), 0);
    for (int f = 0; f < 2; ++f) {
      ASSERT_EQ(t[f].Get(BTR_GET_EQUAL, 0, IdKey((i * 7 + f) % kAccounts)), 0);
      t[f].data[8] = static_cast<char>('a' + i % 26);
      ASSERT_EQ(t[f].Update(t[f].data), 0) << i;
    }
    ASSERT_EQ(Call(BTR_END_TRANSACTION, pos, nullptr, nullptr, 0), 0) << i;
  }
  for (int f = 0; f < 2; ++f) {
    ASSERT_EQ(t[f].Close(), 0);
    EXPECT_LE(std::filesystem::file_size(paths[f]), 2u << 20) << paths[f];
  }
}

// The child's report of one transaction: what it does in each file before End, then (on a
// second message) that End answered 0.
constexpr int kFiles = 3;
struct Plan {
  uint32_t txn;
  uint32_t inserts[kFiles];  // records tagged txn in each file
  uint32_t deletes[kFiles];  // a whole earlier transaction's records removed, or 0
};
constexpr uint32_t kAcked = 0x80000000u;

std::string Rec(uint32_t id, uint32_t tag) {
  std::string r(24, '\0');
  std::memcpy(r.data(), &id, 4);
  std::memcpy(r.data() + 4, &tag, 4);
  std::snprintf(r.data() + 8, 16, "t%u", tag);
  return r;
}

class CrashTest : public EngineTest {
 protected:
  std::string FileName(int f) { return Path("crash" + std::to_string(f) + ".dat"); }
  void Recreate() {
    for (int f = 0; f < kFiles; ++f) {
      // id (unique) and the tag of the transaction that inserted it (duplicates).
      ASSERT_EQ(CreateFile(FileName(f), CreationBuffer(24, {{{1, 4, 0, 14}}, {{5, 4, 1, 14}}})), 0);
    }
  }

  // The child: random transactions until it is killed.
  [[noreturn]] void RunChild(int out, uint32_t first_txn, uint32_t seed) {
    std::mt19937 rng(seed);
    Table files[kFiles];
    for (int f = 0; f < kFiles; ++f) {
      if (files[f].Open(FileName(f)) != 0) _exit(1);
    }
    uint32_t id = seed * 100000u;
    std::vector<uint32_t> done;  // committed transactions, candidates for deletion
    for (uint32_t txn = first_txn;; ++txn) {
      Plan plan{txn, {}, {}};
      uint8_t pos[128] = {};
      if (Call(BTR_BEGIN_TRANSACTION, pos, nullptr, nullptr, 0) != 0) _exit(2);
      int ops = std::uniform_int_distribution<int>(1, 50)(rng);
      for (int op = 0; op < ops; ++op) {
        int f = static_cast<int>(rng() % kFiles);
        if (rng() % 8 == 0 && !done.empty() && plan.deletes[f] == 0) {
          uint32_t victim = done[rng() % done.size()];
          std::string key(reinterpret_cast<char*>(&victim), 4);
          while (files[f].Get(BTR_GET_EQUAL, 1, key) == 0) {
            if (files[f].Delete(1) != 0) _exit(3);
          }
          plan.deletes[f] = victim;
        } else {
          if (files[f].Insert(Rec(++id, txn)) != 0) _exit(4);
          ++plan.inserts[f];
        }
      }
      if (write(out, &plan, sizeof plan) != sizeof plan) _exit(5);
      if (Call(BTR_END_TRANSACTION, pos, nullptr, nullptr, 0) != 0) _exit(6);
      uint32_t ack = txn | kAcked;
      if (write(out, &ack, 4) != 4) _exit(7);
      done.push_back(txn);
    }
  }

  std::map<uint32_t, uint32_t> Groups(Table& t) {
    std::map<uint32_t, uint32_t> count;
    size_t by_id = 0, by_tag = 0, physical = 0;
    for (int16_t s = t.Get(BTR_GET_FIRST, 0); s == 0; s = t.Get(BTR_GET_NEXT, 0)) ++by_id;
    for (int16_t s = t.Get(BTR_GET_FIRST, 1); s == 0; s = t.Get(BTR_GET_NEXT, 1)) {
      ++by_tag;
      EXPECT_EQ(t.key_buf.substr(0, 4), t.data.substr(4, 4));
    }
    for (int16_t s = t.Step(BTR_STEP_FIRST); s == 0; s = t.Step(BTR_STEP_NEXT)) {
      ++physical;
      ++count[GetU32(t.data, 4)];
    }
    std::string stat;
    EXPECT_EQ(t.Stat(&stat), 0);
    EXPECT_EQ(by_id, physical) << "key 0 agrees with the records";
    EXPECT_EQ(by_tag, physical) << "key 1 agrees with the records";
    EXPECT_EQ(GetU32(stat, 6), physical);
    EXPECT_EQ(GetU32(stat, 32 + 6), count.size()) << "unique tags";
    return count;
  }
};

TEST_F(CrashTest, KilledTransactionsAreWholeOrAbsent) {
  int iterations = 200;
  if (const char* n = std::getenv("MKDE_CRASH_ITERATIONS")) iterations = std::atoi(n);
  std::mt19937 rng(4242);
  std::map<uint32_t, Plan> plans;  // by transaction
  std::set<uint32_t> acked;
  uint32_t next_txn = 1;
  size_t total_acked = 0;
  for (int it = 0; it < iterations; ++it) {
    if (it % 20 == 0) {  // fresh files now and then keep the checks short
      ASSERT_NO_FATAL_FAILURE(Recreate());
      plans.clear();
      acked.clear();
    }
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t child = fork();
    if (child == 0) {
      close(pipefd[0]);
      RunChild(pipefd[1], next_txn, static_cast<uint32_t>(it + 1));
    }
    close(pipefd[1]);
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + rng() % 80000));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child failed by itself: " << WEXITSTATUS(status);
    // Read what the child said before it died.
    for (;;) {
      uint32_t word;
      if (read(pipefd[0], &word, 4) != 4) break;
      if (word & kAcked) {
        acked.insert(word & ~kAcked);
        ++total_acked;
        continue;
      }
      Plan p;
      p.txn = word;
      if (read(pipefd[0], reinterpret_cast<char*>(&p) + 4, sizeof p - 4) != sizeof p - 4) break;
      plans[p.txn] = p;
      next_txn = std::max(next_txn, p.txn + 1);
    }
    close(pipefd[0]);

    for (int f = 0; f < kFiles; ++f) {
      Table t;
      ASSERT_EQ(t.Open(FileName(f)), 0) << "iteration " << it;
      std::map<uint32_t, uint32_t> groups = Groups(t);
      // Groups removed by acknowledged transactions are gone; one the unacknowledged last
      // transaction removed may be gone or whole, as may that transaction's own records.
      std::set<uint32_t> deleted, maybe_deleted;
      for (auto& [txn, plan] : plans) {
        if (plan.deletes[f]) (acked.count(txn) ? deleted : maybe_deleted).insert(plan.deletes[f]);
      }
      for (auto& [txn, plan] : plans) {
        uint32_t have = groups.count(txn) ? groups[txn] : 0;
        if (deleted.count(txn)) {
          ASSERT_EQ(have, 0u) << "txn " << txn << " was deleted, file " << f;
        } else if (acked.count(txn) && !maybe_deleted.count(txn)) {
          ASSERT_EQ(have, plan.inserts[f])
              << "acknowledged txn " << txn << " file " << f << " iteration " << it;
        } else {
          ASSERT_TRUE(have == 0 || have == plan.inserts[f])
              << "part of txn " << txn << " in file " << f << ": " << have << " of "
              << plan.inserts[f] << ", iteration " << it;
        }
      }
      for (auto& [txn, n] : groups) {
        ASSERT_TRUE(plans.count(txn)) << "records of a transaction never reported: " << txn;
      }
    }
  }
  std::cout << "[ crash    ] " << iterations << " kills, " << total_acked
            << " acknowledged transactions, all whole\n";
}

}  // namespace
}  // namespace mkde_test
