// Several processes on one file: concurrent writers, readers that never wait, a writer
// killed in the middle of its work.
#include <fcntl.h>
#include <lmdb.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "mkde/waits.h"
#include "tests/mkde/engine_fixture.h"

namespace mkde_test {
namespace {

constexpr uint16_t kLen = 64;

std::string Rec(int32_t id) { return Record(kLen, id, "record " + std::to_string(id)); }

class Processes : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    path_ = Path("shared.dat");
    // id (unique), and a second index on the text, so that every write touches two trees.
    ASSERT_EQ(CreateFile(path_, CreationBuffer(kLen, {{{1, 4, 0, 1}}, {{5, 20, 0x0001, 0}}})), 0);
  }
  // Every record is reachable by its id, and the two indexes and the records agree.
  void CheckConsistent(Table& t, const std::set<int32_t>& must_have) {
    for (int32_t id : must_have) ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(id)), 0) << id;
    size_t by_id = 0, by_text = 0, physical = 0;
    for (int16_t s = t.Get(BTR_GET_FIRST, 0); s == 0; s = t.Get(BTR_GET_NEXT, 0)) ++by_id;
    for (int16_t s = t.Get(BTR_GET_FIRST, 1); s == 0; s = t.Get(BTR_GET_NEXT, 1)) ++by_text;
    for (int16_t s = t.Step(BTR_STEP_FIRST); s == 0; s = t.Step(BTR_STEP_NEXT)) ++physical;
    std::string stat;
    ASSERT_EQ(t.Stat(&stat), 0);
    EXPECT_EQ(by_id, physical);
    EXPECT_EQ(by_text, physical);
    EXPECT_EQ(GetU32(stat, 6), physical);
  }
  std::string path_;
};

TEST_F(Processes, TwoWritersShareOneFile) {
  Table t;
  ASSERT_EQ(t.Open(path_), 0);  // open before the fork: the child must not use it
  ASSERT_EQ(t.Insert(Rec(1)), 0);
  pid_t child = Spawn([&] {
    Table c;
    if (c.Open(path_) != 0) return 1;
    if (c.Get(BTR_GET_EQUAL, 0, IdKey(1)) != 0) return 2;  // the parent's committed record
    for (int i = 0; i < 150; ++i) {
      if (c.Insert(Rec(10000 + i)) != 0) return 3;
      if (c.Get(BTR_GET_FIRST, 0) != 0) return 4;
    }
    return 0;
  });
  for (int i = 0; i < 150; ++i) {
    ASSERT_EQ(t.Insert(Rec(20000 + i)), 0);
    ASSERT_EQ(t.Get(BTR_GET_LAST, 1), 0);
  }
  ASSERT_EQ(Wait(child), 0);
  std::set<int32_t> all = {1};
  for (int i = 0; i < 150; ++i) all.insert({10000 + i, 20000 + i});
  ASSERT_NO_FATAL_FAILURE(CheckConsistent(t, all));
}

TEST_F(Processes, ReadsGoOnWhileTheGateIsHeldAndWritesGiveUp) {
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  ASSERT_EQ(t.Insert(Rec(1)), 0);
  // Another process holds the write gate and does not let go.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = Spawn([&] {
    int fd = ::open((path_ + "-gate").c_str(), O_RDWR);
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_len = 1;
    // Waits out a checkpoint the parent's engine may be running behind the gate.
    if (fd < 0 || fcntl(fd, F_OFD_SETLKW, &fl) != 0) return 1;
    char c = 1;
    if (write(ready[1], &c, 1) != 1) return 2;
    pause();
    return 0;
  });
  close(ready[1]);  // a holder that fails ends the read below
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  // A read that waited for the gate would wait seconds, then fail: the reads below answer
  // at once, or their bound is reached only by such a wait.
  constexpr auto kNoWait = std::chrono::seconds(3);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(1)), 0);
  Table other;
  ASSERT_EQ(other.Open(path_), 0);
  ASSERT_EQ(other.Step(BTR_STEP_FIRST), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, kNoWait);
  // A writer waiting for the gate holds up no reader of this process meanwhile.
  int16_t blocked = -1;
  auto writing = std::chrono::steady_clock::now();
  std::thread writer([&] { blocked = t.Insert(Rec(2)); });
  EXPECT_TRUE(AwaitWaiter(getpid())) << "the writer waits for the gate";
  auto reading = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) ASSERT_EQ(other.Get(BTR_GET_FIRST, 0), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - reading, kNoWait);
  writer.join();
  EXPECT_EQ(blocked, BTR_FILE_IN_USE);
  auto waited = std::chrono::steady_clock::now() - writing;
  EXPECT_GT(waited, std::chrono::seconds(1)) << "it waited for the gate";
  EXPECT_LT(waited, std::chrono::seconds(15)) << "the wait is bounded";
  kill(holder, SIGKILL);
  Wait(holder);
  close(ready[0]);
  EXPECT_EQ(t.Insert(Rec(2)), 0) << "the gate of a dead process is free";
}

// Reads keep their snapshot between calls while nothing is committed, but let it go soon
// after the calls stop: an idle process must not hold back the reuse of freed pages.
TEST_F(Processes, IdleReadersLetTheirSnapshotGo) {
  Table t;
  // Accelerated: a durable commit's log holds a snapshot of its own until it is emptied.
  ASSERT_EQ(t.Open(path_, -1), 0);
  ASSERT_EQ(t.Insert(Rec(1)), 0);
  // Counted from another process: reader slots that hold a snapshot.
  auto live_readers = [&] {
    pid_t child = Spawn([&] {
      MDB_env* env;
      if (mdb_env_create(&env) != 0) return 200;
      mdb_env_set_maxdbs(env, 8);
      if (mdb_env_open(env, path_.c_str(), MDB_NOSUBDIR | MDB_RDONLY, 0644) != 0) return 201;
      int live = 0;
      mdb_reader_list(
          env,
          [](const char* line, void* ctx) {
            // "pid thread txnid": a slot without a snapshot shows "-" for its txnid.
            if (std::strstr(line, "pid") == nullptr && line[std::strlen(line) - 2] != '-') {
              ++*static_cast<int*>(ctx);
            }
            return 0;
          },
          &live);
      mdb_env_close(env);
      return live;
    });
    return Wait(child);
  };
  // Counted right after the call; a counting process that starts only after the idle time
  // has passed (a loaded machine) sees it let go, so a few tries.
  int kept = 0;
  for (int i = 0; i < 5 && kept != 1; ++i) {
    ASSERT_EQ(t.Get(BTR_GET_FIRST, 0), 0);
    kept = live_readers();
  }
  EXPECT_EQ(kept, 1) << "kept right after the call";
  EXPECT_TRUE(Eventually([&] { return live_readers() == 0; })) << "let go while idle";
  ASSERT_EQ(t.Get(BTR_GET_NEXT, 0), BTR_END_OF_FILE) << "and taken up again by the next call";
}

TEST_F(Processes, ExclusiveOpensReachAcrossProcesses) {
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t child = Spawn([&] {
    Table t;
    char c = t.Open(path_, -4) == 0 ? 1 : 0;
    if (write(ready[1], &c, 1) != 1) return 1;
    if (read(done[0], &c, 1) != 1) return 2;
    return 0;
  });
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 1) << "the child's exclusive open";
  Table t;
  EXPECT_EQ(t.Open(path_), BTR_INCOMPATIBLE_MODE);
  EXPECT_EQ(t.Open(path_, -2), BTR_INCOMPATIBLE_MODE);
  ASSERT_EQ(write(done[1], &c, 1), 1);
  ASSERT_EQ(Wait(child), 0);
  ASSERT_EQ(t.Open(path_), 0) << "the exclusive open ended with its process";
  // Now this process has it open: an exclusive open elsewhere is refused.
  child = Spawn([&] {
    Table e;
    if (e.Open(path_, -4) != BTR_INCOMPATIBLE_MODE) return 1;
    // Nor may another process replace a file that is open here.
    return CreateFile(path_, CreationBuffer(kLen, {{{1, 4, 0, 1}}})) == BTR_FILE_IN_USE ? 0 : 2;
  });
  EXPECT_EQ(Wait(child), 0);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

// Two processes whose transactions wait on each other: the wait that closes the cycle
// answers 78 instead of waiting out its bound, and once that transaction is undone the
// other goes through. The waits are on two files' gates, then on a record lock and a gate.
TEST_F(Processes, AWaitThatClosesACycleAnswersDeadlock) {
  const std::string second = Path("second.dat");
  ASSERT_EQ(CreateFile(second, CreationBuffer(kLen, {{{1, 4, 0, 1}}})), 0);
  {
    Table t;
    ASSERT_EQ(t.Open(path_), 0);
    ASSERT_EQ(t.Insert(Rec(1)), 0);
  }
  struct Case {
    const char* name;
    bool record_lock;  // the parent waits for a record lock rather than a gate
  };
  for (const Case& c : {Case{"two gates", false}, Case{"a record lock and a gate", true}}) {
    SCOPED_TRACE(c.name);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    Table mine, theirs;
    ASSERT_EQ(mine.Open(path_), 0);
    ASSERT_EQ(theirs.Open(second), 0);
    // The parent takes the first file: its gate, or (concurrent) a lock on record 1.
    std::string data;
    ASSERT_EQ(Call(c.record_lock ? 1000 + BTR_BEGIN_TRANSACTION : BTR_BEGIN_TRANSACTION, mine.pos,
                   nullptr, nullptr, 0),
              0);
    if (c.record_lock) {
      ASSERT_EQ(mine.Get(BTR_GET_EQUAL + 100, 0, IdKey(1)), 0);
    } else {
      ASSERT_EQ(mine.Insert(Rec(100)), 0);
    }
    pid_t child = Spawn([&] {
      Table a, b;
      if (a.Open(path_) != 0 || b.Open(c.record_lock ? path_ : second) != 0) return 1;
      if (Call(1000 + BTR_BEGIN_TRANSACTION, a.pos, nullptr, nullptr, 0) != 0) return 2;
      // Holds the second file's gate (or the first's), then waits for what the parent holds.
      if (b.Insert(Rec(200)) != 0) return 3;
      char r = 1;
      if (write(ready[1], &r, 1) != 1) return 4;
      int16_t s = c.record_lock ? a.Get(BTR_GET_EQUAL + 100, 0, IdKey(1)) : a.Insert(Rec(201));
      if (s != 0) return 10 + s % 100;
      return Call(BTR_END_TRANSACTION, a.pos, nullptr, nullptr, 0) == 0 ? 0 : 5;
    });
    close(ready[1]);
    char r;
    ASSERT_EQ(read(ready[0], &r, 1), 1) << "child ended with " << Wait(child);
    close(ready[0]);
    ASSERT_TRUE(AwaitWaiter(child)) << "the child waits for what the parent holds";
    EXPECT_EQ(c.record_lock ? mine.Insert(Rec(101)) : theirs.Insert(Rec(101)), BTR_DEADLOCK);
    EXPECT_FALSE(mkde::ProcessWaits(getpid())) << "the wait that answered 78 left the table";
    // The abort lets go of the gate and of the lock the transaction took.
    ASSERT_EQ(Call(BTR_ABORT_TRANSACTION, mine.pos, nullptr, nullptr, 0), 0);
    EXPECT_EQ(Wait(child), 0) << "the other transaction went through";
  }
}

// A transaction that holds one gate and waits for another gets it before a transaction
// whose first write comes along at the moment it is let go: the latecomer would otherwise
// take it and, needing the first gate next, close a cycle and lose its work to 78.
TEST_F(Processes, AGateGoesFirstToATransactionThatWaitsHoldingAnother) {
  const std::string second = Path("second.dat");
  ASSERT_EQ(CreateFile(second, CreationBuffer(kLen, {{{1, 4, 0, 1}}})), 0);
  Table a, b;
  ASSERT_EQ(a.Open(path_), 0);
  ASSERT_EQ(b.Open(second), 0);
  // Which of the two sleepers the let-go wakes first is chance: several rounds.
  for (int32_t round = 1; round <= 4; ++round) {
    SCOPED_TRACE(round);
    int held[2], go[2], waiting[2];
    ASSERT_EQ(pipe(held), 0);
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(waiting), 0);
    // The holder of the second file's gate, until told to let go.
    pid_t holder = Spawn([&] {
      Table hb;
      if (hb.Open(second) != 0) return 1;
      if (Call(BTR_BEGIN_TRANSACTION, hb.pos, nullptr, nullptr, 0) != 0) return 1;
      if (hb.Insert(Rec(1000 + round)) != 0) return 2;
      char r = 1;
      if (write(held[1], &r, 1) != 1 || read(go[0], &r, 1) != 1) return 3;
      return Call(BTR_ABORT_TRANSACTION, hb.pos, nullptr, nullptr, 0) == 0 ? 0 : 4;
    });
    char r;
    ASSERT_EQ(read(held[0], &r, 1), 1);
    // The waiter: the first file's gate, then a wait for the second's.
    pid_t waiter = Spawn([&] {
      Table wa, wb;
      if (wa.Open(path_) != 0 || wb.Open(second) != 0) return 1;
      if (Call(1000 + BTR_BEGIN_TRANSACTION, wa.pos, nullptr, nullptr, 0) != 0) return 2;
      if (wa.Insert(Rec(2000 + round)) != 0) return 3;
      char w = 1;
      if (write(waiting[1], &w, 1) != 1) return 4;
      if (int16_t s = wb.Insert(Rec(2000 + round)); s != 0) return 10 + s % 100;
      return Call(BTR_END_TRANSACTION, wa.pos, nullptr, nullptr, 0) == 0 ? 0 : 5;
    });
    ASSERT_EQ(read(waiting[0], &r, 1), 1);
    ASSERT_TRUE(AwaitWaiter(waiter)) << "the waiter waits for the second file's gate";
    // The latecomer: the second file first, then the first file, begun as the gate goes.
    ASSERT_EQ(Call(1000 + BTR_BEGIN_TRANSACTION, b.pos, nullptr, nullptr, 0), 0);
    ASSERT_EQ(write(go[1], &r, 1), 1);
    EXPECT_EQ(b.Insert(Rec(3000 + round)), 0);
    EXPECT_EQ(a.Insert(Rec(3000 + round)), 0);
    EXPECT_EQ(Call(BTR_END_TRANSACTION, b.pos, nullptr, nullptr, 0), 0);
    EXPECT_EQ(Wait(holder), 0);
    EXPECT_EQ(Wait(waiter), 0);
    for (int* p : {held, go, waiting}) {
      close(p[0]);
      close(p[1]);
    }
  }
}

// Processes writing one file share its commit log: a commit of either goes through it, and
// each sees the other's commits; the last close removes it.
TEST_F(Processes, WritersShareTheCommitLog) {
  const std::string log = path_ + "-log";
  // A log in use begins with its tag; a checkpoint spoils it.
  auto log_in_use = [&] {
    char tag[8] = {};
    int fd = ::open(log.c_str(), O_RDONLY);
    bool used = fd >= 0 && ::pread(fd, tag, 8, 0) == 8 && std::memcmp(tag, "vstlog0", 7) == 0;
    if (fd >= 0) ::close(fd);
    return used;
  };
  int to_child[2], from_child[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(from_child), 0);
  pid_t child = Spawn([&] {
    Table w;
    if (w.Open(path_) != 0) return 1;
    char c = 0;
    for (int round = 0; round < 2; ++round) {
      for (int i = 0; i < 20; ++i) {
        if (w.Insert(Rec(round * 100 + i)) != 0) return 2;
      }
      if (write(from_child[1], &c, 1) != 1 || read(to_child[0], &c, 1) != 1) return 3;
    }
    return 0;
  });
  char c = 0;
  ASSERT_EQ(read(from_child[0], &c, 1), 1);
  EXPECT_TRUE(std::filesystem::exists(log)) << "the child's commits went through the log";
  {
    Table t;
    ASSERT_EQ(t.Open(path_), 0);
    // An idle log is checkpointed after a moment: one of three commits in a row finds it in
    // use however slowly this process runs.
    bool logged = false;
    for (int32_t id = 1000; id < 1003; ++id) {
      ASSERT_EQ(t.Insert(Rec(id)), 0);
      logged = logged || log_in_use();
    }
    EXPECT_TRUE(logged) << "a commit here went through the log as well";
    ASSERT_EQ(write(to_child[1], &c, 1), 1);
    ASSERT_EQ(read(from_child[0], &c, 1), 1);
    std::set<int32_t> all = {1000, 1001, 1002};
    for (int i = 0; i < 20; ++i) all.insert({i, 100 + i});
    ASSERT_NO_FATAL_FAILURE(CheckConsistent(t, all));
  }
  ASSERT_EQ(write(to_child[1], &c, 1), 1);
  EXPECT_EQ(Wait(child), 0);
  EXPECT_FALSE(std::filesystem::exists(log)) << "the last close removed the log";
  for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) close(fd);
}

TEST_F(Processes, KilledWriterBlocksNobodyAndLosesNothing) {
  std::mt19937 rng(99);
  std::set<int32_t> acknowledged;
  int next_id = 1;
  for (int round = 0; round < 20; ++round) {
    int acks[2];
    ASSERT_EQ(pipe(acks), 0);
    int first = next_id;
    pid_t writer = Spawn([&] {
      close(acks[0]);
      Table w;
      if (w.Open(path_, round % 2 ? 0 : -1) != 0) return 1;
      for (int32_t id = first;; ++id) {
        if (w.Insert(Rec(id)) != 0) return 2;
        if (write(acks[1], &id, 4) != 4) return 3;
      }
    });
    close(acks[1]);
    // Let it commit a random number of records, then kill it wherever it is.
    int want = std::uniform_int_distribution<int>(5, 60)(rng);
    int32_t id;
    for (int got = 0; got < want && read(acks[0], &id, 4) == 4; ++got) acknowledged.insert(id);
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
    kill(writer, SIGKILL);
    ASSERT_EQ(Wait(writer), 100 + SIGKILL);
    while (read(acks[0], &id, 4) == 4) acknowledged.insert(id);
    close(acks[0]);
    next_id = *acknowledged.rbegin() + 1000;

    Table t;
    ASSERT_EQ(t.Open(path_), 0);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(t.Insert(Rec(-round - 1)), 0) << "round " << round;
    acknowledged.insert(-round - 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ASSERT_NO_FATAL_FAILURE(CheckConsistent(t, acknowledged)) << "round " << round;
  }
}

}  // namespace
}  // namespace mkde_test
