// Record locks between blocks, clients, threads and processes: which read or write meets
// them, how long they last, and that a wait never turns into a hang.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "tests/mkde/engine_fixture.h"

namespace mkde_test {
namespace {

constexpr uint16_t kLen = 8;

std::string Rec(int32_t id, const char* text = "rec") { return Record(kLen, id, text); }

constexpr uint16_t kSingleWait = 100, kSingleNoWait = 200, kMultiNoWait = 400;

class Locks : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    path_ = Path("locks.dat");
    ASSERT_EQ(CreateFile(path_, CreationBuffer(kLen, {{{1, 4, 0x0002, 1}}})), 0);
    ASSERT_EQ(a_.Open(path_), 0);
    ASSERT_EQ(b_.Open(path_), 0);
    for (int id = 1; id <= 4; ++id) ASSERT_EQ(a_.Insert(Rec(id)), 0);
  }
  void TearDown() override {
    uint8_t pos[128] = {};
    Call(BTR_ABORT_TRANSACTION, pos, nullptr, nullptr, 0, kClientA);
    EngineTest::TearDown();
  }
  int16_t Read(Table& t, uint16_t bias, int32_t id) {
    return t.Get(static_cast<uint16_t>(BTR_GET_EQUAL + bias), 0, IdKey(id));
  }
  int16_t Unlock(Table& t, int8_t how, uint32_t position = 0) {
    std::string d = U32(position);
    return t.Do(BTR_UNLOCK, &d, nullptr, how);
  }
  uint32_t PositionOf(Table& t, int32_t id) {
    EXPECT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(id)), 0);
    uint32_t p = 0;
    EXPECT_EQ(t.Position(&p), 0);
    return p;
  }
  std::string path_;
  Table a_{kClientA}, b_{kClientB};
};

TEST_F(Locks, SingleLockKeepsOthersOutUntilTheNextRead) {
  ASSERT_EQ(Read(a_, kSingleNoWait, 1), 0);
  EXPECT_EQ(Read(b_, kSingleNoWait, 1), BTR_RECORD_IN_USE);
  EXPECT_EQ(Read(b_, kMultiNoWait, 1), BTR_RECORD_IN_USE);
  ASSERT_EQ(Read(b_, 0, 1), 0) << "a read without a lock goes on";
  EXPECT_EQ(b_.Update(Rec(1, "b")), BTR_RECORD_IN_USE);
  EXPECT_EQ(b_.Delete(), BTR_RECORD_IN_USE);
  ASSERT_EQ(Read(b_, kSingleNoWait, 2), 0) << "other records are free";
  ASSERT_EQ(a_.Get(BTR_GET_NEXT, 0), 0);  // the next read through a's block ends its lock
  EXPECT_EQ(Read(b_, kSingleNoWait, 1), 0);
  EXPECT_EQ(Read(a_, kSingleNoWait, 1), BTR_RECORD_IN_USE);
}

TEST_F(Locks, SingleLockEndsWithUpdateDeleteUnlockAndClose) {
  ASSERT_EQ(Read(a_, kSingleNoWait, 1), 0);
  ASSERT_EQ(a_.Update(Rec(1, "a")), 0) << "the holder writes through its lock";
  EXPECT_EQ(Read(b_, kSingleNoWait, 1), 0);
  ASSERT_EQ(Unlock(b_, 0), 0);
  EXPECT_EQ(Unlock(b_, 0), BTR_LOCK_ERROR);
  ASSERT_EQ(Read(a_, kSingleNoWait, 2), 0);
  ASSERT_EQ(a_.Delete(), 0);
  ASSERT_EQ(Read(a_, kSingleNoWait, 3), 0);
  a_.Close();
  EXPECT_EQ(Read(b_, kSingleNoWait, 3), 0);
}

TEST_F(Locks, MultipleLocksLastUntilUnlocked) {
  uint32_t p1 = PositionOf(a_, 1), p2 = PositionOf(a_, 2);
  ASSERT_EQ(Read(a_, kMultiNoWait, 1), 0);
  ASSERT_EQ(Read(a_, kMultiNoWait, 2), 0);
  ASSERT_EQ(Read(a_, 0, 3), 0);
  EXPECT_EQ(Read(b_, kSingleNoWait, 1), BTR_RECORD_IN_USE) << "reads do not end them";
  EXPECT_EQ(Read(b_, kSingleNoWait, 2), BTR_RECORD_IN_USE);
  EXPECT_EQ(Unlock(a_, -1, 999), BTR_LOCK_ERROR);
  ASSERT_EQ(Unlock(a_, -1, p1), 0);
  EXPECT_EQ(Read(b_, kSingleNoWait, 1), 0);
  EXPECT_EQ(Read(b_, kSingleNoWait, 2), BTR_RECORD_IN_USE);
  ASSERT_EQ(Unlock(a_, -2), 0);
  EXPECT_EQ(Read(b_, kSingleNoWait, 2), 0);
  EXPECT_EQ(Unlock(a_, -2), BTR_LOCK_ERROR);
  EXPECT_EQ(Unlock(a_, -1, p2), BTR_LOCK_ERROR);
  std::string d(2, '\0');
  EXPECT_EQ(a_.Do(BTR_UNLOCK, &d, nullptr, -1), BTR_DATA_LENGTH);
}

TEST_F(Locks, LocksOnStepsDirectAndPercentage) {
  ASSERT_EQ(a_.Step(BTR_STEP_FIRST + kMultiNoWait), 0);
  uint32_t p1 = 0;
  ASSERT_EQ(a_.Position(&p1), 0);
  EXPECT_EQ(b_.Direct(p1, -1), 0);
  std::string d(kLen, '\0');
  std::memcpy(d.data(), U32(p1).data(), 4);
  EXPECT_EQ(b_.Do(BTR_GET_DIRECT + kSingleNoWait, &d, nullptr, -1), BTR_RECORD_IN_USE);
  d.assign(kLen, '\0');  // 0 %: the first record
  EXPECT_EQ(b_.Do(BTR_GET_BY_PERCENTAGE + kSingleNoWait, &d, nullptr, -1), BTR_RECORD_IN_USE);
  EXPECT_EQ(b_.Step(BTR_STEP_FIRST + kSingleNoWait), BTR_RECORD_IN_USE);
  EXPECT_EQ(b_.Step(BTR_STEP_LAST + kSingleNoWait), 0);
}

TEST_F(Locks, WaitLocksGiveUpWithinBounds) {
  ASSERT_EQ(Read(a_, kSingleNoWait, 1), 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Read(b_, kSingleWait, 1), BTR_RECORD_IN_USE) << "two clients, one thread";
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::seconds(1));
  EXPECT_LT(waited, std::chrono::seconds(10));
}

TEST_F(Locks, WaitLockGetsTheRecordWhenAnotherThreadLetsGo) {
  ASSERT_EQ(Read(a_, kSingleNoWait, 1), 0);
  int16_t status = -1;
  std::thread waiter([&] { status = Read(b_, kSingleWait, 1); });
  EXPECT_TRUE(AwaitWaiter(getpid())) << "the other thread waits for the record";
  ASSERT_EQ(a_.Update(Rec(1, "new")), 0);  // ends a's lock; the waiter reads the new record
  waiter.join();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(b_.data, Rec(1, "new"));
  EXPECT_EQ(b_.Update(Rec(1, "b")), 0) << "it read the committed record, so no conflict";
}

TEST_F(Locks, ExclusiveTransactionHoldsTheWholeFile) {
  uint8_t pos[128] = {};
  ASSERT_EQ(Call(BTR_BEGIN_TRANSACTION, pos, nullptr, nullptr, 0, kClientA), 0);
  ASSERT_EQ(a_.Insert(Rec(9)), 0);
  EXPECT_EQ(Read(b_, kSingleNoWait, 2), BTR_FILE_IN_USE);
  EXPECT_EQ(Read(b_, 0, 2), 0);
  ASSERT_EQ(Call(BTR_END_TRANSACTION, pos, nullptr, nullptr, 0, kClientA), 0);
  ASSERT_EQ(Call(1000 + BTR_BEGIN_TRANSACTION, pos, nullptr, nullptr, 0, kClientA), 0);
  ASSERT_EQ(a_.Insert(Rec(10)), 0);
  EXPECT_EQ(Read(b_, kSingleNoWait, 2), 0) << "a concurrent transaction holds only its records";
}

// The locks a transaction's reads take end with the transaction, by End or by Abort; locks
// taken before it began stay.
TEST_F(Locks, LocksTakenInATransactionEndWithIt) {
  uint8_t pos[128] = {};
  for (uint16_t finish : {BTR_END_TRANSACTION, BTR_ABORT_TRANSACTION}) {
    ASSERT_EQ(Read(a_, kMultiNoWait, 4), 0);  // before the transaction
    ASSERT_EQ(Call(1000 + BTR_BEGIN_TRANSACTION, pos, nullptr, nullptr, 0, kClientA), 0);
    ASSERT_EQ(Read(a_, kMultiNoWait, 1), 0);
    ASSERT_EQ(Read(a_, kMultiNoWait, 2), 0);
    ASSERT_EQ(Read(a_, kSingleNoWait, 3), 0);
    EXPECT_EQ(Read(b_, kSingleNoWait, 1), BTR_RECORD_IN_USE);
    ASSERT_EQ(Call(finish, pos, nullptr, nullptr, 0, kClientA), 0);
    for (int32_t id : {1, 2, 3}) {
      EXPECT_EQ(Read(b_, kSingleNoWait, id), 0) << "record " << id << " after " << finish;
    }
    EXPECT_EQ(Read(b_, kSingleNoWait, 4), BTR_RECORD_IN_USE) << "the earlier lock stays";
    ASSERT_EQ(Read(b_, 0, 1), 0);  // b's single lock ends
    ASSERT_EQ(Unlock(a_, -2), 0);
  }
}

TEST_F(Locks, LocksReachAcrossProcessesAndDieWithThem) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  if (child == 0) {
    Table t;
    if (t.Open(path_) != 0 || Read(t, kMultiNoWait, 3) != 0) _exit(1);
    char c = 1;
    if (write(ready[1], &c, 1) != 1) _exit(2);
    pause();
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  EXPECT_EQ(Read(b_, kSingleNoWait, 3), BTR_RECORD_IN_USE);
  ASSERT_EQ(Read(b_, 0, 3), 0);
  EXPECT_EQ(b_.Delete(), BTR_RECORD_IN_USE);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_EQ(Read(b_, kSingleNoWait, 3), 0);
}

}  // namespace
}  // namespace mkde_test
