// Where a position block stands after reads and writes, its own and other clients'.
#include "tests/mkde/engine_fixture.h"

namespace mkde_test {
namespace {

constexpr uint16_t kLen = 12;
const uint8_t kOther[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'O', 'T', 'H', 0};

// key 0: integer id (unique, modifiable); key 1: 4-byte group string with duplicates.
std::string Rec(int32_t id, const char* group = "g") { return Record(kLen, id, group); }

class Currency : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    path_ = Path("cur.dat");
    ASSERT_EQ(CreateFile(path_, CreationBuffer(kLen, {{{1, 4, 0x0002, 1}}, {{5, 4, 0x0001, 0}}})),
              0);
    ASSERT_EQ(t_.Open(path_), 0);
    ASSERT_EQ(other_.Open(path_), 0);
    for (int id : {10, 20, 30, 40}) ASSERT_EQ(t_.Insert(Rec(id)), 0);
  }
  int32_t At(uint16_t op, int8_t key = 0) {
    int16_t s = t_.Get(op, key);
    return s == 0 ? IdOf(t_.data) : -s;
  }
  std::string path_;
  Table t_;
  Table other_{kOther};
};

TEST_F(Currency, NextSeesAnotherClientsInsertBetween) {
  ASSERT_EQ(t_.Get(BTR_GET_EQUAL, 0, IdKey(20)), 0);
  ASSERT_EQ(other_.Insert(Rec(25)), 0);
  EXPECT_EQ(At(BTR_GET_NEXT), 25);
  ASSERT_EQ(other_.Insert(Rec(22)), 0);
  EXPECT_EQ(At(BTR_GET_PREVIOUS), 22);
}

TEST_F(Currency, RecordsDeletedUnderTheCursorAreSkipped) {
  ASSERT_EQ(t_.Get(BTR_GET_EQUAL, 0, IdKey(20)), 0);
  ASSERT_EQ(other_.Get(BTR_GET_EQUAL, 0, IdKey(30)), 0);
  ASSERT_EQ(other_.Delete(), 0);
  EXPECT_EQ(At(BTR_GET_NEXT), 40) << "the next record was deleted";
  ASSERT_EQ(other_.Get(BTR_GET_EQUAL, 0, IdKey(40)), 0);
  ASSERT_EQ(other_.Delete(), 0);
  EXPECT_EQ(At(BTR_GET_PREVIOUS), 20) << "the current record was deleted";
  EXPECT_EQ(At(BTR_GET_PREVIOUS), 10);
  EXPECT_EQ(At(BTR_GET_PREVIOUS), -BTR_END_OF_FILE);
}

TEST_F(Currency, NextAndPreviousAfterOwnDelete) {
  ASSERT_EQ(t_.Get(BTR_GET_EQUAL, 0, IdKey(20)), 0);
  ASSERT_EQ(t_.Delete(), 0);
  EXPECT_EQ(At(BTR_GET_NEXT), 30);
  ASSERT_EQ(t_.Delete(), 0);
  EXPECT_EQ(At(BTR_GET_PREVIOUS), 10);
  EXPECT_EQ(At(BTR_GET_NEXT), 40);
}

TEST_F(Currency, DuplicatesKeepInsertionOrderAcrossDeletes) {
  // Records 10..40 share group "g"; among duplicates the first inserted comes first.
  ASSERT_EQ(t_.Get(BTR_GET_EQUAL, 1, "g"), 0);
  EXPECT_EQ(IdOf(t_.data), 10);
  ASSERT_EQ(t_.Get(BTR_GET_LESS_OR_EQUAL, 1, "g"), 0);
  EXPECT_EQ(IdOf(t_.data), 40) << "Less or Equal reaches the last inserted";
  ASSERT_EQ(t_.Get(BTR_GET_EQUAL, 1, "g"), 0);
  EXPECT_EQ(At(BTR_GET_NEXT, 1), 20);
  ASSERT_EQ(t_.Delete(1), 0);
  EXPECT_EQ(At(BTR_GET_NEXT, 1), 30);
  ASSERT_EQ(other_.Insert(Rec(5)), 0);
  EXPECT_EQ(At(BTR_GET_NEXT, 1), 40);
  EXPECT_EQ(At(BTR_GET_NEXT, 1), 5) << "a new duplicate goes last";
}

TEST_F(Currency, UpdateMovesThePlaceWithTheKey) {
  ASSERT_EQ(t_.Get(BTR_GET_EQUAL, 0, IdKey(20)), 0);
  ASSERT_EQ(t_.Update(Rec(35)), 0);
  EXPECT_EQ(At(BTR_GET_NEXT), 40);
  ASSERT_EQ(t_.Get(BTR_GET_EQUAL, 0, IdKey(35)), 0);
  EXPECT_EQ(At(BTR_GET_PREVIOUS), 30);
}

TEST_F(Currency, InsertSetsThePlace) {
  ASSERT_EQ(t_.Insert(Rec(15)), 0);
  EXPECT_EQ(At(BTR_GET_NEXT), 20);
  ASSERT_EQ(t_.Insert(Rec(16, "h"), 1), 0);
  EXPECT_EQ(At(BTR_GET_PREVIOUS, 1), 15) << "the place is on the key path given";
}

TEST_F(Currency, StepsKeepOnlyAPhysicalPlace) {
  Table fresh;
  ASSERT_EQ(fresh.Open(path_), 0);
  EXPECT_EQ(fresh.Step(BTR_STEP_NEXT), BTR_POSITION_NOT_SET);
  EXPECT_EQ(fresh.Step(BTR_STEP_PREVIOUS), BTR_POSITION_NOT_SET);
  ASSERT_EQ(fresh.Step(BTR_STEP_FIRST), 0);
  EXPECT_EQ(fresh.Get(BTR_GET_NEXT, 0), BTR_POSITION_NOT_SET);
  ASSERT_EQ(fresh.Step(BTR_STEP_NEXT), 0);
  EXPECT_EQ(IdOf(fresh.data), 20);
  ASSERT_EQ(fresh.Delete(), 0) << "a Step sets a current record";
  ASSERT_EQ(fresh.Step(BTR_STEP_NEXT), 0) << "Step Next after a Delete";
  EXPECT_EQ(IdOf(fresh.data), 30);
  ASSERT_EQ(fresh.Step(BTR_STEP_PREVIOUS), 0);
  EXPECT_EQ(IdOf(fresh.data), 10);
  EXPECT_EQ(fresh.Step(BTR_STEP_PREVIOUS), BTR_END_OF_FILE);
  ASSERT_EQ(fresh.Step(BTR_STEP_LAST), 0);
  EXPECT_EQ(IdOf(fresh.data), 40);
  EXPECT_EQ(fresh.Step(BTR_STEP_NEXT), BTR_END_OF_FILE);
  ASSERT_EQ(fresh.Get(BTR_GET_EQUAL, 0, IdKey(30)), 0);
  ASSERT_EQ(fresh.Step(BTR_STEP_NEXT), 0) << "a Get sets the physical place too";
  EXPECT_EQ(IdOf(fresh.data), 40);
}

TEST_F(Currency, StepNextGoesOnFromTheBlocksOwnRecord) {
  // Two blocks of one client share the file's snapshot and its cursors between calls.
  Table second;
  ASSERT_EQ(second.Open(path_), 0);
  uint32_t at20 = 0;
  ASSERT_EQ(t_.Get(BTR_GET_EQUAL, 0, IdKey(20)), 0);
  ASSERT_EQ(t_.Position(&at20), 0);
  ASSERT_EQ(t_.Step(BTR_STEP_FIRST), 0);
  ASSERT_EQ(t_.Direct(at20), 0) << "Get Direct moves the place, not the cursor";
  ASSERT_EQ(t_.Step(BTR_STEP_NEXT), 0);
  EXPECT_EQ(IdOf(t_.data), 30);

  ASSERT_EQ(t_.Step(BTR_STEP_FIRST), 0);
  std::string half(64, '\0');
  half[0] = '\x88';  // 50.00 %
  half[1] = '\x13';
  ASSERT_EQ(second.Do(BTR_GET_BY_PERCENTAGE, &half, nullptr, -1), 0)
      << "another block moves the records cursor";
  ASSERT_EQ(t_.Step(BTR_STEP_NEXT), 0);
  EXPECT_EQ(IdOf(t_.data), 20);
  ASSERT_EQ(second.Step(BTR_STEP_LAST), 0);
  EXPECT_EQ(t_.Step(BTR_STEP_NEXT, 4), BTR_DATA_LENGTH) << "a short buffer still moves on";
  ASSERT_EQ(t_.Step(BTR_STEP_NEXT), 0);
  EXPECT_EQ(IdOf(t_.data), 40);
  EXPECT_EQ(t_.Step(BTR_STEP_NEXT), BTR_END_OF_FILE);
}

TEST_F(Currency, KeyOnlyGetsPositionButDoNotRead) {
  std::string d(kLen, 'x'), k(255, '\0');
  ASSERT_EQ(t_.Do(BTR_GET_LAST + BTR_GET_KEY_BIAS, &d, &k, 0), 0);
  EXPECT_EQ(d, std::string(kLen, 'x')) << "no record";
  EXPECT_EQ(k.substr(0, 4), IdKey(40));
  EXPECT_EQ(At(BTR_GET_PREVIOUS), 30) << "the place is set";
  ASSERT_EQ(t_.Get(BTR_GET_FIRST + BTR_GET_KEY_BIAS, 0), 0);
  EXPECT_EQ(t_.Update(Rec(10, "z")), BTR_POSITION_NOT_SET);
  ASSERT_EQ(t_.Get(BTR_GET_NEXT + BTR_GET_KEY_BIAS, 0), 0);
  EXPECT_EQ(t_.key_buf.substr(0, 4), IdKey(20));
}

TEST_F(Currency, FailedGetsKeepThePlace) {
  ASSERT_EQ(t_.Get(BTR_GET_EQUAL, 0, IdKey(20)), 0);
  EXPECT_EQ(t_.Get(BTR_GET_EQUAL, 0, IdKey(21)), BTR_KEY_NOT_FOUND);
  EXPECT_EQ(At(BTR_GET_NEXT), 30);
  EXPECT_EQ(At(BTR_GET_NEXT), 40);
  EXPECT_EQ(At(BTR_GET_NEXT), -BTR_END_OF_FILE);
  EXPECT_EQ(At(BTR_GET_PREVIOUS), 30);
}

}  // namespace
}  // namespace mkde_test
