// File creation and statistics: the creation buffer byte for byte, the copy-back of a
// file's description, borrowed settings put back on failure, and creation on open.
#include <cstring>

#include "tests/table/table_fixture.h"

namespace vastrel::table {
namespace {

using Block = std::vector<uint8_t>;

constexpr uint16_t kSeg = keys::kFlagSegment;

TEST_F(TableTest, StatisticsCopyTheFileDescriptionAndItsSegments) {
  table.SetKeyNum(6);
  // Three keys of 2, 1 and 1 segments.
  engine.Reply(
      engine::kOpStat,
      RecordingEngine::StatReply(
          120, 2048, 42,
          {RecordingEngine::KeyBlock(1, 4, kSeg | 0x0001), RecordingEngine::KeyBlock(5, 2, 0x0001),
           RecordingEngine::KeyBlock(7, 10, 0x0002), RecordingEngine::KeyBlock(17, 8, 0x0100)},
          0x0001));
  table.Stat();
  const auto& call = engine.Last();
  EXPECT_EQ(call.data_length, 33455u);
  EXPECT_EQ(call.key_number, 0);
  EXPECT_EQ(table.KeyNum(), 6);
  EXPECT_EQ(table.NumberOfKeys(), 3);
  EXPECT_EQ(table.RecordSize(), 120);
  EXPECT_EQ(table.PageSize(), 2048);
  EXPECT_EQ(table.RecordCount(), 42u);
  EXPECT_TRUE(table.FileFlags().Contains(keys::ffVariableLength));
  ASSERT_EQ(table.Keys().Count(), 4);
  EXPECT_TRUE(table.Keys()[0].Segment());
  EXPECT_EQ(table.Keys()[1].Position(), 5);
  EXPECT_EQ(table.Keys()[3].Length(), 8);
}

TEST_F(TableTest, FailedStatisticsChangeNothingAndPutKeyNumBack) {
  engine.Reply(engine::kOpStat,
               RecordingEngine::StatReply(100, 1024, 1, {RecordingEngine::KeyBlock(1, 4, 0)}));
  table.Stat();
  const auto spec = table.FileSpec();
  table.SetKeyNum(2);
  engine.Reply(engine::kOpStat, [] {
    auto reply = RecordingEngine::StatReply(999, 512, 9, {});
    reply.status = 2;
    return reply;
  }());
  EXPECT_EQ(StatusOf([&] { table.Stat(); }), 2);
  EXPECT_EQ(table.FileSpec(), spec);
  EXPECT_EQ(table.Keys().Count(), 1);
  EXPECT_EQ(table.KeyNum(), 2);
}

TEST_F(TableTest, StatisticsWalkStopsAtTheLastKeyBlockTheBufferHolds) {
  testing::ScriptedReply reply;
  reply.action = [](uint8_t* data, uint32_t* length, uint8_t*) {
    ASSERT_EQ(*length, 33455u);
    data[4] = 0xFF;  // 65535 keys, each block saying another segment follows
    data[5] = 0xFF;
    for (int i = 0; i < 119; ++i) data[16 + 16 * i + 4] = kSeg;
    std::memset(data + 16 + 16 * 119, 0, 33455 - 16 - 16 * 119);
  };
  engine.Reply(engine::kOpStat, reply);
  table.Stat();
  EXPECT_EQ(table.Keys().Count(), 119);
}

TEST_F(TableTest, CreationSendsTheFileSpecificationAndEverySegment) {
  table.SetRecordSize(100);
  table.SetPageSize(2048);
  table.SetFileFlags(BtrFileFlags{keys::ffVariableLength});
  table.SetKeyNum(3);
  table.SetAutoCreate(true);
  for (auto [position, follows] : {std::pair{1, true}, {5, false}, {9, true}, {13, false}}) {
    keys::TKey& key = table.Keys().Add();
    key.SetPosition(static_cast<int16_t>(position));
    key.SetLength(4);
    key.SetSegment(follows);
  }
  const keys::tkeylist sent = table.Keys();
  engine.Reply(engine::kOpStat, RecordingEngine::StatReply(100, 2048, 0));
  table.CreateFile();

  ASSERT_EQ(engine.Operations(), (std::vector<uint16_t>{14, 0, 15}));
  const auto& create = engine.Calls()[0];
  EXPECT_EQ(create.key_number, -1);
  EXPECT_EQ(create.KeyText(), kFile);
  ASSERT_EQ(create.data_length, 16u + 4 * 16);
  Block spec = {100, 0, 0, 8, 2, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0};
  EXPECT_EQ(Block(create.data.begin(), create.data.begin() + 16), spec);
  for (int i = 0; i < 4; ++i) {
    const auto& block = sent[i].Block();
    EXPECT_EQ(Block(create.data.begin() + 16 + 16 * i, create.data.begin() + 32 + 16 * i),
              Block(block.begin(), block.end()))
        << "segment " << i;
  }
  EXPECT_EQ(table.NumberOfKeys(), 0) << "the statistics after opening describe the new file";
  EXPECT_TRUE(table.Active());
  EXPECT_EQ(table.KeyNum(), 3);
  EXPECT_TRUE(table.AutoCreate());
}

TEST_F(TableTest, CreationEndsTheLastKeyWithTheList) {
  for (int i = 0; i < 3; ++i) table.Keys().Add().SetSegment(true);
  engine.Reply(engine::kOpCreate, 25);
  EXPECT_EQ(StatusOf([&] { table.CreateFile(); }), 25);
  EXPECT_EQ(engine.Last().data[4], 1) << "one key of three segments";
  EXPECT_EQ(engine.Last().data_length, 16u + 3 * 16);
  EXPECT_FALSE(table.Keys()[2].Segment());
  EXPECT_TRUE(table.Keys()[1].Segment());
}

TEST_F(TableTest, CreationLeavesRoomForCollatingSequencesButNeverSendsMoreThanItBuilt) {
  keys::TKey& sorted = table.Keys().Add();
  sorted.SetKeySortedbyACS(true);
  sorted.SetACS(1);
  engine.Reply(engine::kOpCreate, 59);
  EXPECT_EQ(StatusOf([&] { table.CreateFile(); }), 59);
  EXPECT_EQ(engine.Last().data_length, 16u + 16 + 265);

  // A collating sequence number without the sorted flag has no room in the buffer.
  sorted.SetKeySortedbyACS(false);
  table.Keys().Add().SetACS(2);
  engine.Reply(engine::kOpCreate, 59);
  EXPECT_EQ(StatusOf([&] { table.CreateFile(); }), 59);
  EXPECT_EQ(engine.Last().data_length, 16u + 2 * 16);
  EXPECT_EQ(engine.Last().data.size(), 16u + 2 * 16);
}

TEST_F(TableTest, FailedCreationPutsBorrowedSettingsBackAndKeepsTheClearedCounts) {
  engine.Reply(engine::kOpStat, RecordingEngine::StatReply(10, 1024, 77));
  table.Stat();
  table.SetKeyNum(7);
  table.SetAutoCreate(true);
  engine.Reply(engine::kOpCreate, 59);
  EXPECT_EQ(ErrorOf([&] { table.CreateFile(); }), FileMessage("File Already Exists (59)"));
  EXPECT_EQ(engine.Last().data_length, 16u) << "no segments: the file specification alone";
  EXPECT_EQ(engine.Last().data[4], 0);
  EXPECT_EQ(table.KeyNum(), 7);
  EXPECT_TRUE(table.AutoCreate());
  EXPECT_FALSE(table.Active());
  EXPECT_EQ(table.RecordCount(), 0u);
}

TEST_F(TableTest, CreationGivesTheNewFileItsOwner) {
  table.SetDbOwner("boss");
  table.SetOwnerProtection(opReadAccessNoEncrypt);
  table.CreateFile();
  ASSERT_EQ(engine.Operations(), (std::vector<uint16_t>{14, 0, 15, 29}));
  EXPECT_EQ(engine.Calls()[3].key_number, 1);
  EXPECT_EQ(engine.Calls()[3].KeyText(), "boss");
}

// The bytes of a key block and of the file specification that no property shows (key
// values count, null value, manual key number, collating sequence number, the unused byte 12
// and the preallocation word) travel whole from the statistics into the next creation.
TEST_F(TableTest, StatisticsKeepTheBytesNoPropertyShowsAndCreationSendsThemBack) {
  Block block = RecordingEngine::KeyBlock(1, 4, 0x0001);
  for (int i = 6; i < 16; ++i) block[i] = static_cast<uint8_t>(0xA0 + i);
  testing::ScriptedReply reply = RecordingEngine::StatReply(20, 1024, 3, {block});
  reply.action = [](uint8_t* data, uint32_t*, uint8_t*) {
    data[12] = 0x5A;
    data[14] = 0x34;
    data[15] = 0x12;
  };
  engine.Reply(engine::kOpStat, reply);
  table.Stat();
  table.CreateFile();
  const testing::RecordedCall create = engine.CallsOf(engine::kOpCreate).at(0);
  ASSERT_EQ(create.data.size(), 32u);
  EXPECT_EQ(create.data[12], 0x5A);
  EXPECT_EQ(create.data[14], 0x34);
  EXPECT_EQ(create.data[15], 0x12);
  EXPECT_EQ(Block(create.data.begin() + 16, create.data.end()), block);
}

// The engine made the file, then what follows it failed: the error reaches the caller and
// the table never claims an open file it does not hold.
TEST_F(TableTest, CreationWhoseOpenStatisticsOrOwnerFailRaisesThatFailure) {
  engine.Reply(engine::kOpOpen, 2);
  EXPECT_EQ(StatusOf([&] { table.CreateFile(); }), 2);
  EXPECT_FALSE(table.Active());

  engine.ClearCalls();
  engine.Reply(engine::kOpStat, 3);
  EXPECT_EQ(StatusOf([&] { table.CreateFile(); }), 3);
  EXPECT_EQ(engine.Operations(), (std::vector<uint16_t>{14, 0, 15, 1})) << "opened, so closed";
  EXPECT_FALSE(table.Active());

  table.SetDbOwner("boss");
  engine.ClearCalls();
  engine.Reply(engine::kOpSetOwner, 51);
  EXPECT_EQ(StatusOf([&] { table.CreateFile(); }), 51);
  EXPECT_TRUE(table.Active()) << "the file exists and is open, only without its owner";
  table.Close();
}

// ---- Creation on open ---------------------------------------------------------------------------

class AutoCreation : public TableTest {
 protected:
  AutoCreation() {
    table.SetAutoCreate(true);
    table.OnAutoCreate = [this](TBtr& sender) {
      EXPECT_EQ(&sender, &table);
      EXPECT_TRUE(table.Active()) << "the new file is open when the event comes";
      EXPECT_EQ(table.DbOwner(), "");
      calls_at_event.push_back(engine.Calls().size());
    };
  }
  std::vector<size_t> calls_at_event;
};

TEST_F(AutoCreation, CreatesOpensRaisesTheEventThenGivesTheOwner) {
  table.SetDbOwner("owner");
  table.SetKeyNum(2);
  engine.Reply(engine::kOpOpen, 12);
  table.Open();
  ASSERT_EQ(engine.Operations(), (std::vector<uint16_t>{0, 14, 0, 15, 29, 15}));
  EXPECT_EQ(calls_at_event, std::vector<size_t>{4}) << "once, before the owner is given";
  EXPECT_EQ(engine.Calls()[4].KeyText(), "owner");
  EXPECT_EQ(table.DbOwner(), "owner");
  EXPECT_TRUE(table.Active());
  EXPECT_TRUE(table.AutoCreate());
  EXPECT_EQ(table.KeyNum(), 2);
}

TEST_F(AutoCreation, ALongOwnerNameComesBackCutToEightCharacters) {
  table.SetDbOwner("longowner-name");
  engine.Reply(engine::kOpOpen, 12);
  table.Open();
  EXPECT_EQ(table.DbOwner(), "longowne");
  EXPECT_EQ(engine.CallsOf(engine::kOpSetOwner).at(0).KeyText(), "longowne");
}

TEST_F(AutoCreation, FailedCreationRaisesItsErrorAndRestoresTheOwner) {
  table.SetDbOwner("longowner-name");
  engine.Reply(engine::kOpOpen, 12);
  engine.Reply(engine::kOpCreate, 18);
  EXPECT_EQ(ErrorOf([&] { table.Open(); }), FileMessage("Disk Full (18)"));
  EXPECT_TRUE(calls_at_event.empty());
  EXPECT_FALSE(table.Active());
  EXPECT_EQ(table.DbOwner(), "longowner-name");
  EXPECT_EQ(engine.Operations(), (std::vector<uint16_t>{0, 14}));
}

TEST_F(AutoCreation, OnlyAMissingFileIsCreated) {
  engine.Reply(engine::kOpOpen, 46);
  EXPECT_EQ(StatusOf([&] { table.Open(); }), 46);
  table.SetAutoCreate(false);
  engine.Reply(engine::kOpOpen, 12);
  EXPECT_EQ(StatusOf([&] { table.Open(); }), 12);
  EXPECT_EQ(engine.Operations(), (std::vector<uint16_t>{0, 0}));
}

}  // namespace
}  // namespace vastrel::table
