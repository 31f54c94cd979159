// Several processes on one database through the engine library VASTREL_ENGINE names:
// what one client's transaction changes stays its own until End, record locks hold across
// processes, and a client that dies lets go of its locks and loses its transaction while
// the others go on. The embedded engine gives the same answers, so this runs against both.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "tests/mkde/engine_fixture.h"

namespace mkde_test {
namespace {

constexpr uint16_t kLen = 16;
constexpr uint16_t kSingleNoWait = 200;
constexpr uint16_t kSingleWait = 100;
constexpr uint16_t kMultipleWait = 300;
constexpr uint16_t kMultipleNoWait = 400;

std::string Rec(int32_t id, const char* text = "rec") { return Record(kLen, id, text); }

class Clients : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    path_ = Path("clients.dat");
    ASSERT_EQ(CreateFile(path_, CreationBuffer(kLen, {{{1, 4, 0, 1}}})), 0);
    Table t;
    ASSERT_EQ(t.Open(path_), 0);
    for (int32_t id = 1; id <= 3; ++id) ASSERT_EQ(t.Insert(Rec(id)), 0);
  }
  // In a child: the status of reading `id` with the lock bias `lock`.
  int ChildRead(int32_t id, uint16_t lock) {
    return Wait(Spawn([&] {
      Table c;
      if (c.Open(path_) != 0) return 99;
      return static_cast<int>(c.Get(BTR_GET_EQUAL + lock, 0, IdKey(id)));
    }));
  }
  std::string path_;
};

TEST_F(Clients, ATransactionsChangesStayItsOwnUntilEnd) {
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  for (uint16_t begin : {uint16_t{19}, uint16_t{1019}}) {
    SCOPED_TRACE(begin);
    int32_t id = begin == 19 ? 10 : 11;
    ASSERT_EQ(t.Do(begin, nullptr, nullptr, 0), 0);
    ASSERT_EQ(t.Insert(Rec(id)), 0);
    ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(id)), 0) << "its own change";
    EXPECT_EQ(ChildRead(id, 0), BTR_KEY_NOT_FOUND) << "not seen before End";
    EXPECT_EQ(ChildRead(1, 0), 0) << "others still read";
    ASSERT_EQ(t.Do(BTR_END_TRANSACTION, nullptr, nullptr, 0), 0);
    EXPECT_EQ(ChildRead(id, 0), 0) << "seen after End";
  }
}

TEST_F(Clients, RecordLocksHoldAcrossProcesses) {
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  ASSERT_EQ(t.Get(BTR_GET_EQUAL + kSingleNoWait, 0, IdKey(1)), 0);
  EXPECT_EQ(ChildRead(1, kSingleNoWait), BTR_RECORD_IN_USE);
  EXPECT_EQ(ChildRead(1, kMultipleNoWait), BTR_RECORD_IN_USE);
  EXPECT_EQ(ChildRead(2, kSingleNoWait), 0) << "another record is free";
  EXPECT_EQ(Wait(Spawn([&] {
              Table c;
              if (c.Open(path_) != 0 || c.Get(BTR_GET_EQUAL, 0, IdKey(1)) != 0) return 99;
              int update = c.Update(Rec(1, "other"));
              int unlock = c.Do(BTR_UNLOCK, nullptr, nullptr, 0);
              return update == BTR_RECORD_IN_USE && unlock == BTR_LOCK_ERROR ? 0 : 1;
            })),
            0)
      << "a write meets the lock (84); an Unlock with nothing held answers 81";
  ASSERT_EQ(t.Do(BTR_UNLOCK, nullptr, nullptr, 0), 0);
  EXPECT_EQ(ChildRead(1, kSingleNoWait), 0) << "free once unlocked";
  // Multiple-record locks last past the next read, until Close.
  ASSERT_EQ(t.Get(BTR_GET_EQUAL + kMultipleNoWait, 0, IdKey(2)), 0);
  ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(3)), 0);
  EXPECT_EQ(ChildRead(2, kSingleNoWait), BTR_RECORD_IN_USE);
  ASSERT_EQ(t.Close(), 0);
  EXPECT_EQ(ChildRead(2, kSingleNoWait), 0);
}

// Another process's exclusive transaction holds the whole file, from its first read: a
// write meets the file (85, not a record's 84), while plain reads go on.
TEST_F(Clients, AnExclusiveTransactionKeepsOtherProcessesWritesOut) {
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  ASSERT_EQ(t.Do(BTR_BEGIN_TRANSACTION, nullptr, nullptr, 0), 0);
  ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(3)), 0);
  EXPECT_EQ(Wait(Spawn([&] {
              Table c;
              if (c.Open(path_) != 0 || c.Get(BTR_GET_EQUAL, 0, IdKey(1)) != 0) return 99;
              int update = c.Update(Rec(1, "other"));
              int erase = c.Delete();
              return (update == BTR_FILE_IN_USE ? 0 : 1) + (erase == BTR_FILE_IN_USE ? 0 : 2);
            })),
            0);
  ASSERT_EQ(t.Do(BTR_ABORT_TRANSACTION, nullptr, nullptr, 0), 0);
}

// Two processes each waiting for a record the other locked: the wait that closes the cycle
// answers 78 rather than waiting out its bound, and once that client lets go the other
// gets its record.
TEST_F(Clients, WaitLocksThatWaitOnEachOtherAnswerDeadlock) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  ASSERT_EQ(t.Get(BTR_GET_EQUAL + kMultipleWait, 0, IdKey(1)), 0);
  pid_t child = Spawn([&] {
    Table c;
    if (c.Open(path_) != 0 || c.Get(BTR_GET_EQUAL + kMultipleWait, 0, IdKey(2)) != 0) return 99;
    char byte = 1;
    if (write(ready[1], &byte, 1) != 1) return 98;
    int status = c.Get(BTR_GET_EQUAL + kMultipleWait, 0, IdKey(1));
    c.Close();  // lets go of record 2 either way
    return status;
  });
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  EXPECT_TRUE(AwaitWaiter(child)) << "the child waits for record 1";
  auto start = std::chrono::steady_clock::now();
  int mine = t.Get(BTR_GET_EQUAL + kMultipleWait, 0, IdKey(2));
  if (mine == BTR_DEADLOCK) t.Close();
  int theirs = Wait(child);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2))
      << "no wait ran out its bound";
  EXPECT_TRUE((mine == BTR_DEADLOCK && theirs == 0) || (mine == 0 && theirs == BTR_DEADLOCK))
      << "this process " << mine << ", the other " << theirs;
  close(ready[0]);
  close(ready[1]);
}

TEST_F(Clients, AKilledClientLosesItsLocksAndItsTransaction) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = Spawn([&] {
    Table c;
    if (c.Open(path_) != 0) return 1;
    if (c.Get(BTR_GET_EQUAL + kMultipleNoWait, 0, IdKey(1)) != 0) return 2;
    if (c.Do(1019, nullptr, nullptr, 0) != 0) return 3;
    if (c.Insert(Rec(20)) != 0) return 4;
    if (c.Get(BTR_GET_EQUAL, 0, IdKey(2)) != 0 || c.Update(Rec(2, "changed")) != 0) return 5;
    char byte = 1;
    if (write(ready[1], &byte, 1) != 1) return 6;
    pause();
    return 0;
  });
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the child got its locks and changes";
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  EXPECT_EQ(t.Get(BTR_GET_EQUAL + kSingleNoWait, 0, IdKey(1)), BTR_RECORD_IN_USE);
  ASSERT_EQ(kill(child, SIGKILL), 0);
  EXPECT_EQ(Wait(child), 100 + SIGKILL);
  // The server notices the dropped connection at once; a wait lock covers the moment.
  EXPECT_EQ(t.Get(BTR_GET_EQUAL + kSingleWait, 0, IdKey(1)), 0) << "its lock went with it";
  EXPECT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(20)), BTR_KEY_NOT_FOUND) << "its insert rolled back";
  ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(2)), 0);
  EXPECT_EQ(t.data.substr(4, 3), "rec") << "its update rolled back";
  EXPECT_EQ(t.Update(Rec(2, "mine")), 0) << "others go on";
  EXPECT_EQ(t.Insert(Rec(20)), 0);
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
}  // namespace mkde_test
