// Transactions of two clients in one process (one thread): isolation, Abort across files,
// a failing call inside a transaction, and the gate that keeps other writers out.
#include <chrono>

#include "tests/mkde/engine_fixture.h"

namespace mkde_test {
namespace {

constexpr uint16_t kLen = 8;

std::string Rec(int32_t id, const char* text = "rec") {
  std::string r(kLen, '\0');
  std::memcpy(r.data(), &id, 4);
  std::memcpy(r.data() + 4, text, std::min<size_t>(std::strlen(text), 4));
  return r;
}

int16_t Txn(uint16_t op, const uint8_t* client) {
  uint8_t pos[128] = {};
  return Call(op, pos, nullptr, nullptr, 0, client);
}

class Transactions : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    for (const char* name : {"one.dat", "two.dat"}) {
      ASSERT_EQ(CreateFile(Path(name), CreationBuffer(kLen, {{{1, 4, 0x0002, 1}}})), 0);
    }
    ASSERT_EQ(a1_.Open(Path("one.dat")), 0);
    ASSERT_EQ(a2_.Open(Path("two.dat")), 0);
    ASSERT_EQ(b1_.Open(Path("one.dat")), 0);
    ASSERT_EQ(b2_.Open(Path("two.dat")), 0);
    ASSERT_EQ(b1_.Insert(Rec(1)), 0);
    ASSERT_EQ(b2_.Insert(Rec(1)), 0);
  }
  void TearDown() override {
    Txn(BTR_ABORT_TRANSACTION, kClientA);
    Txn(BTR_ABORT_TRANSACTION, kClientB);
    EngineTest::TearDown();
  }
  size_t Count(Table& t) {
    size_t n = 0;
    for (int16_t s = t.Step(BTR_STEP_FIRST); s == 0; s = t.Step(BTR_STEP_NEXT)) ++n;
    return n;
  }
  Table a1_{kClientA}, a2_{kClientA}, b1_{kClientB}, b2_{kClientB};
};

TEST_F(Transactions, BeginEndAndAbortStatuses) {
  EXPECT_EQ(Txn(BTR_END_TRANSACTION, kClientA), BTR_TRANSACTION_ERROR);
  EXPECT_EQ(Txn(BTR_ABORT_TRANSACTION, kClientA), BTR_TRANSACTION_ERROR);
  ASSERT_EQ(Txn(BTR_BEGIN_TRANSACTION, kClientA), 0);
  EXPECT_EQ(Txn(BTR_BEGIN_TRANSACTION, kClientA), BTR_TRANSACTION_ACTIVE);
  EXPECT_EQ(Txn(1000 + BTR_BEGIN_TRANSACTION, kClientA), BTR_TRANSACTION_ACTIVE);
  EXPECT_EQ(Txn(BTR_BEGIN_TRANSACTION, kClientB), 0) << "transactions belong to their client";
  ASSERT_EQ(Txn(BTR_END_TRANSACTION, kClientA), 0);
  ASSERT_EQ(Txn(BTR_ABORT_TRANSACTION, kClientB), 0);
  for (uint16_t begin : {1019, 119, 219, 319, 419, 1119, 1419}) {
    ASSERT_EQ(Txn(begin, kClientA), 0) << begin;
    ASSERT_EQ(Txn(BTR_END_TRANSACTION, kClientA), 0);
  }
}

TEST_F(Transactions, ChangesAreTheirClientsUntilEnd) {
  ASSERT_EQ(Txn(BTR_BEGIN_TRANSACTION, kClientA), 0);
  ASSERT_EQ(a1_.Insert(Rec(2)), 0);
  ASSERT_EQ(a1_.Get(BTR_GET_EQUAL, 0, IdKey(1)), 0);
  ASSERT_EQ(a1_.Update(Rec(1, "new")), 0);
  EXPECT_EQ(a1_.Get(BTR_GET_EQUAL, 0, IdKey(2)), 0) << "its own Gets see its changes";
  EXPECT_EQ(Count(a1_), 2u);
  EXPECT_EQ(b1_.Get(BTR_GET_EQUAL, 0, IdKey(2)), BTR_KEY_NOT_FOUND) << "others do not";
  ASSERT_EQ(b1_.Get(BTR_GET_EQUAL, 0, IdKey(1)), 0);
  EXPECT_EQ(b1_.data, Rec(1)) << "others read the last committed record";
  std::string stat;
  ASSERT_EQ(b1_.Stat(&stat), 0);
  EXPECT_EQ(GetU32(stat, 6), 1u);
  ASSERT_EQ(a1_.Stat(&stat), 0);
  EXPECT_EQ(GetU32(stat, 6), 2u);
  ASSERT_EQ(Txn(BTR_END_TRANSACTION, kClientA), 0);
  EXPECT_EQ(b1_.Get(BTR_GET_EQUAL, 0, IdKey(2)), 0);
  ASSERT_EQ(b1_.Get(BTR_GET_EQUAL, 0, IdKey(1)), 0);
  EXPECT_EQ(b1_.data, Rec(1, "new"));
}

TEST_F(Transactions, AbortUndoesEveryFile) {
  ASSERT_EQ(Txn(BTR_BEGIN_TRANSACTION, kClientA), 0);
  ASSERT_EQ(a1_.Insert(Rec(5)), 0);
  ASSERT_EQ(a2_.Insert(Rec(6)), 0);
  ASSERT_EQ(a2_.Get(BTR_GET_EQUAL, 0, IdKey(1)), 0);
  ASSERT_EQ(a2_.Delete(), 0);
  a2_.Close();  // a file closed inside the transaction stays in it
  ASSERT_EQ(Txn(BTR_ABORT_TRANSACTION, kClientA), 0);
  EXPECT_EQ(b1_.Get(BTR_GET_EQUAL, 0, IdKey(5)), BTR_KEY_NOT_FOUND);
  EXPECT_EQ(b2_.Get(BTR_GET_EQUAL, 0, IdKey(6)), BTR_KEY_NOT_FOUND);
  EXPECT_EQ(b2_.Get(BTR_GET_EQUAL, 0, IdKey(1)), 0);
  EXPECT_EQ(a1_.Get(BTR_GET_EQUAL, 0, IdKey(5)), BTR_KEY_NOT_FOUND);
  EXPECT_EQ(b1_.Insert(Rec(5)), 0) << "the gate is free again";
}

TEST_F(Transactions, EndCommitsEveryFile) {
  ASSERT_EQ(Txn(1000 + BTR_BEGIN_TRANSACTION, kClientA), 0);
  ASSERT_EQ(a1_.Insert(Rec(5)), 0);
  ASSERT_EQ(a2_.Insert(Rec(6)), 0);
  ASSERT_EQ(Txn(BTR_END_TRANSACTION, kClientA), 0);
  a1_.Close();
  a2_.Close();
  EXPECT_EQ(b1_.Get(BTR_GET_EQUAL, 0, IdKey(5)), 0);
  EXPECT_EQ(b2_.Get(BTR_GET_EQUAL, 0, IdKey(6)), 0);
}

TEST_F(Transactions, AFailedCallLeavesNoTraceInTheTransaction) {
  ASSERT_EQ(Txn(BTR_BEGIN_TRANSACTION, kClientA), 0);
  ASSERT_EQ(a1_.Insert(Rec(7)), 0);
  EXPECT_EQ(a1_.Insert(Rec(7)), BTR_DUPLICATE_KEY);
  EXPECT_EQ(a1_.Insert(Rec(1)), BTR_DUPLICATE_KEY);
  ASSERT_EQ(Txn(BTR_END_TRANSACTION, kClientA), 0);
  EXPECT_EQ(Count(b1_), 2u);
  std::string stat;
  ASSERT_EQ(b1_.Stat(&stat), 0);
  EXPECT_EQ(GetU32(stat, 16 + 6), 2u) << "the unique-value count took nothing from the failures";
}

TEST_F(Transactions, AClashOnAnyUniqueKeyLeavesNoTraceInTheTransaction) {
  // Key 0 a tag with duplicates, keys 1 and 2 unique integers: a clash on either unique key
  // must come before the tag's entry is written.
  ASSERT_EQ(CreateFile(Path("three.dat"),
                       CreationBuffer(12, {{{9, 4, 0x0001, 0}}, {{1, 4, 0, 1}}, {{5, 4, 0, 1}}})),
            0);
  Table t(kClientA);
  ASSERT_EQ(t.Open(Path("three.dat")), 0);
  auto rec = [](int32_t a, int32_t b, const char* tag) {
    return IdKey(a) + IdKey(b) + std::string(tag, 4);
  };
  ASSERT_EQ(Txn(BTR_BEGIN_TRANSACTION, kClientA), 0);
  ASSERT_EQ(t.Insert(rec(1, 10, "tagA")), 0);
  EXPECT_EQ(t.Insert(rec(1, 20, "tagB")), BTR_DUPLICATE_KEY);
  EXPECT_EQ(t.Insert(rec(2, 10, "tagC")), BTR_DUPLICATE_KEY);
  EXPECT_EQ(t.Insert(rec(2, 20, "tagA")), 0) << "the transaction goes on";
  ASSERT_EQ(Txn(BTR_END_TRANSACTION, kClientA), 0);
  size_t tags = 0;
  for (int16_t s = t.Get(BTR_GET_FIRST, 0); s == 0; s = t.Get(BTR_GET_NEXT, 0)) ++tags;
  EXPECT_EQ(tags, 2u);
  EXPECT_EQ(t.Get(BTR_GET_EQUAL, 0, "tagB"), BTR_KEY_NOT_FOUND);
  EXPECT_EQ(t.Get(BTR_GET_EQUAL, 0, "tagC"), BTR_KEY_NOT_FOUND);
  std::string stat;
  ASSERT_EQ(t.Stat(&stat), 0);
  EXPECT_EQ(GetU32(stat, 16 + 6), 1u) << "one tag";
  EXPECT_EQ(GetU32(stat, 32 + 6), 2u);
  EXPECT_EQ(GetU32(stat, 48 + 6), 2u);
}

TEST_F(Transactions, CountersCarryAcrossTheCallsOfATransaction) {
  // Key 0 autoincrement, key 1 a tag with duplicates, key 2 a unique integer.
  ASSERT_EQ(CreateFile(Path("auto.dat"),
                       CreationBuffer(12, {{{1, 4, 0, 15}}, {{5, 4, 0x0001, 0}}, {{9, 4, 0, 1}}})),
            0);
  Table t(kClientA), other(kClientB);
  ASSERT_EQ(t.Open(Path("auto.dat")), 0);
  ASSERT_EQ(other.Open(Path("auto.dat")), 0);
  auto rec = [](const char* tag, int32_t n) { return IdKey(0) + std::string(tag, 4) + IdKey(n); };
  auto unique = [](Table& table, int key) {
    std::string stat;
    EXPECT_EQ(table.Stat(&stat), 0);
    return GetU32(stat, 16 + 16 * key + 6);
  };
  ASSERT_EQ(Txn(BTR_BEGIN_TRANSACTION, kClientA), 0);
  ASSERT_EQ(t.Insert(rec("aaaa", 1)), 0);
  EXPECT_EQ(GetU32(t.data, 0), 1u);
  EXPECT_EQ(t.Insert(rec("zzzz", 1)), BTR_DUPLICATE_KEY);
  ASSERT_EQ(t.Insert(rec("bbbb", 2)), 0);
  EXPECT_EQ(GetU32(t.data, 0), 2u) << "the refused insert took no value";
  ASSERT_EQ(t.Insert(rec("bbbb", 3)), 0);
  EXPECT_EQ(GetU32(t.data, 0), 3u);
  EXPECT_EQ(unique(t, 1), 2u) << "the transaction's Stat counts its own changes";
  EXPECT_EQ(unique(other, 1), 0u) << "nothing is stored before End";
  ASSERT_EQ(Txn(BTR_END_TRANSACTION, kClientA), 0);
  EXPECT_EQ(unique(other, 1), 2u);
  EXPECT_EQ(unique(other, 0), 3u);
  ASSERT_EQ(other.Insert(rec("cccc", 4)), 0);
  EXPECT_EQ(GetU32(other.data, 0), 4u) << "End stored the autoincrement's high value";
  EXPECT_EQ(unique(other, 1), 3u);
  // An aborted transaction leaves the stored counters as they were.
  ASSERT_EQ(Txn(BTR_BEGIN_TRANSACTION, kClientA), 0);
  ASSERT_EQ(t.Insert(rec("dddd", 5)), 0);
  ASSERT_EQ(Txn(BTR_ABORT_TRANSACTION, kClientA), 0);
  ASSERT_EQ(t.Insert(rec("eeee", 6)), 0);
  EXPECT_EQ(GetU32(t.data, 0), 5u);
  EXPECT_EQ(unique(t, 1), 4u);
}

TEST_F(Transactions, OtherWritersMeetTheGateAtOnce) {
  ASSERT_EQ(Txn(BTR_BEGIN_TRANSACTION, kClientA), 0);
  ASSERT_EQ(a1_.Insert(Rec(8)), 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(b1_.Insert(Rec(9)), BTR_FILE_IN_USE);
  ASSERT_EQ(b1_.Get(BTR_GET_EQUAL, 0, IdKey(1)), 0) << "reads go on";
  EXPECT_EQ(b1_.Update(Rec(1, "b")), BTR_FILE_IN_USE);
  EXPECT_EQ(b1_.Delete(), BTR_FILE_IN_USE);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1))
      << "one thread, two clients: no waiting on itself";
  EXPECT_EQ(b2_.Insert(Rec(9)), 0) << "a file the transaction has not changed is free";
  Table late(kClientB);
  EXPECT_EQ(late.Open(Path("one.dat")), BTR_FILE_IN_USE) << "held by an exclusive transaction";
  // Another transaction meets the same gate, by a read as by a write, and at once.
  ASSERT_EQ(Txn(BTR_BEGIN_TRANSACTION, kClientB), 0);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(b1_.Get(BTR_GET_EQUAL, 0, IdKey(1)), BTR_FILE_IN_USE);
  EXPECT_EQ(b1_.Insert(Rec(9)), BTR_FILE_IN_USE);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  ASSERT_EQ(Txn(BTR_END_TRANSACTION, kClientA), 0);
  EXPECT_EQ(b1_.Insert(Rec(9)), 0);
  ASSERT_EQ(Txn(BTR_END_TRANSACTION, kClientB), 0);
  EXPECT_EQ(Count(a1_), 3u);
}

TEST_F(Transactions, StopAndResetAbortTheTransaction) {
  ASSERT_EQ(Txn(BTR_BEGIN_TRANSACTION, kClientA), 0);
  ASSERT_EQ(a1_.Insert(Rec(11)), 0);
  ASSERT_EQ(Txn(BTR_RESET, kClientA), 0);
  EXPECT_EQ(a1_.Get(BTR_GET_FIRST, 0), BTR_FILE_NOT_OPEN);
  EXPECT_EQ(Txn(BTR_END_TRANSACTION, kClientA), BTR_TRANSACTION_ERROR);
  EXPECT_EQ(b1_.Get(BTR_GET_EQUAL, 0, IdKey(11)), BTR_KEY_NOT_FOUND);
  EXPECT_EQ(b1_.Insert(Rec(11)), 0);
}

// A transaction that outgrows the file's map: the map grows between its calls and the calls
// before are written again, so that End commits every record, once.
TEST_F(Transactions, ATransactionLargerThanTheMapCommitsWhole) {
  constexpr uint16_t kBig = 3000;
  constexpr int32_t kRecords = 25000;  // 75 MB of records against a first map of 64 MiB
  ASSERT_EQ(CreateFile(Path("big.dat"), CreationBuffer(kBig, {{{1, 4, 0x0002, 1}}})), 0);
  Table t{kClientA};
  ASSERT_EQ(t.Open(Path("big.dat")), 0);
  ASSERT_EQ(Txn(BTR_BEGIN_TRANSACTION, kClientA), 0);
  std::string rec(kBig, 'x');
  for (int32_t id = 1; id <= kRecords; ++id) {
    std::memcpy(rec.data(), &id, 4);
    ASSERT_EQ(t.Insert(rec), 0) << "record " << id;
  }
  ASSERT_EQ(Txn(BTR_END_TRANSACTION, kClientA), 0);
  EXPECT_EQ(Count(t), static_cast<size_t>(kRecords));
  for (int32_t id : {1, kRecords / 2, kRecords}) {
    EXPECT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(id)), 0) << "record " << id;
  }
}

}  // namespace
}  // namespace mkde_test
