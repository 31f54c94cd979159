// Record operations as the engine sees them: operation codes, key numbers, the areas and
// lengths sent, status handling, OnRecChanged, and what each operation leaves behind.
#include <cstring>

#include "platform/hooks.h"
#include "tests/table/table_fixture.h"

namespace vastrel::table {
namespace {

using engine::kOpBeginTransaction;

// ---- Operation codes -------------------------------------------------------------------------

struct Composition {
  const char* operation;
  TStepType step;
  TLockType lock;
  TTranType tran;
  uint16_t sent;
};

class OperationCodes : public TableTest, public ::testing::WithParamInterface<Composition> {
 protected:
  void Run(const std::string& name) {
    static const std::map<std::string, std::function<void(TBtr&)>> kOps = {
        {"First", [](TBtr& t) { t.First(); }},
        {"Last", [](TBtr& t) { t.Last(); }},
        {"Next", [](TBtr& t) { t.Next(); }},
        {"Prev", [](TBtr& t) { t.Prev(); }},
        {"Equal", [](TBtr& t) { t.Equal(); }},
        {"GreaterEq", [](TBtr& t) { t.GreaterEq(); }},
        {"LessEq", [](TBtr& t) { t.LessEq(); }},
        {"GetDirect", [](TBtr& t) { t.GetDirect(); }},
        {"GetPosition", [](TBtr& t) { t.GetPosition(); }},
        {"Close", [](TBtr& t) { t.Close(); }},
        {"Insert", [](TBtr& t) { t.Insert(); }},
        {"Post", [](TBtr& t) { t.Post(); }},
        {"Delete", [](TBtr& t) { t.Delete(); }},
        {"begin", [](TBtr& t) { t.begintransaction(); }},
        {"commit", [](TBtr& t) { t.committransaction(); }},
        {"abort", [](TBtr& t) { t.aborttransaction(); }},
        {"SetOwner", [](TBtr& t) { t.SetOwner(); }},
        {"clearowner", [](TBtr& t) { t.clearowner(); }},
        {"getbypercentage", [](TBtr& t) { t.getbypercentage(5000); }},
        {"findpercentage", [](TBtr& t) { t.findpercentage(); }},
        {"UpdateFixed", [](TBtr& t) { t.UpdateFixed(); }},
    };
    kOps.at(name)(table);
  }
};

TEST_P(OperationCodes, AreComposedFromStepLockAndTransactionKind) {
  const Composition& c = GetParam();
  table.SetDbOwner("owner");
  table.SetDataBufferLength(16);
  table.SetStepType(c.step);
  table.SetLockType(c.lock);
  table.SetTranType(c.tran);
  Run(c.operation);
  EXPECT_EQ(engine.Calls().front().operation, c.sent);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, OperationCodes,
    ::testing::Values(
        Composition{"Next", stNoKeys, ltSinglenowait, ttConcurrent, 224},
        Composition{"Equal", stKeyOnly, ltMultiwait, ttConcurrent, 355},
        Composition{"begin", stNormal, ltNone, ttConcurrent, 1019},
        Composition{"begin", stKeyOnly, ltSinglewait, ttExclusive, 119},
        Composition{"begin", stNoKeys, ltMultinowait, ttConcurrent, 1419},
        Composition{"Prev", stNoKeys, ltNone, ttConcurrent, 35},
        Composition{"First", stNoKeys, ltMultiwait, ttConcurrent, 333},
        Composition{"Last", stNoKeys, ltNone, ttConcurrent, 34},
        Composition{"Last", stKeyOnly, ltSinglewait, ttConcurrent, 163},
        Composition{"GreaterEq", stNoKeys, ltNone, ttConcurrent, 9},
        Composition{"LessEq", stKeyOnly, ltNone, ttConcurrent, 61},
        Composition{"GetDirect", stKeyOnly, ltSinglenowait, ttConcurrent, 223},
        // Step and lock do not touch these; neither do values outside the enumerations.
        Composition{"First", static_cast<TStepType>(7), static_cast<TLockType>(9), ttExclusive, 12},
        Composition{"Close", stKeyOnly, ltMultinowait, ttConcurrent, 1},
        Composition{"Insert", stKeyOnly, ltMultinowait, ttConcurrent, 2},
        Composition{"Post", stNoKeys, ltSinglewait, ttConcurrent, 3},
        Composition{"Delete", stNoKeys, ltSinglewait, ttConcurrent, 4},
        Composition{"GetPosition", stKeyOnly, ltMultiwait, ttConcurrent, 22},
        Composition{"commit", stKeyOnly, ltMultiwait, ttConcurrent, 20},
        Composition{"abort", stKeyOnly, ltMultiwait, ttConcurrent, 21},
        Composition{"SetOwner", stKeyOnly, ltMultiwait, ttConcurrent, 29},
        Composition{"clearowner", stKeyOnly, ltMultiwait, ttConcurrent, 30},
        Composition{"getbypercentage", stKeyOnly, ltMultiwait, ttConcurrent, 44},
        Composition{"findpercentage", stKeyOnly, ltMultiwait, ttConcurrent, 45},
        Composition{"UpdateFixed", stKeyOnly, ltMultiwait, ttConcurrent, 53}));

// ---- Open -------------------------------------------------------------------------------------

struct OpenModeCase {
  BtrOpenModes mode;
  BtrSharingModes sharing;
  int16_t key_number;  // the 16-bit value
};

class OpenModes : public TableTest, public ::testing::WithParamInterface<OpenModeCase> {};

TEST_P(OpenModes, SendTheirKeyNumberAndPutKeyNumBack) {
  const OpenModeCase& c = GetParam();
  table.SetOpenMode(c.mode);
  table.SetSharingMode(c.sharing);
  table.SetKeyNum(3);
  EXPECT_EQ(table.OpenModeKeyNumber(), c.key_number);
  engine.Reply(engine::kOpStat, RecordingEngine::StatReply(10, 1024, 0));
  table.Open();
  EXPECT_EQ(engine.Calls()[0].key_number, static_cast<int8_t>(c.key_number & 0xFF));
  EXPECT_EQ(table.KeyNum(), 3);

  table.Close();
  engine.Reply(engine::kOpOpen, 46);
  EXPECT_EQ(StatusOf([&] { table.Open(); }), 46);
  EXPECT_EQ(table.KeyNum(), 3) << "restored on failure too";
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpenModes,
    ::testing::Values(
        OpenModeCase{bomNormal, bomDefault, 0}, OpenModeCase{bomNormal, bomSEFS, -32},
        OpenModeCase{bomNormal, bomMEFS, -64}, OpenModeCase{bomAccelerated, bomDefault, 255},
        OpenModeCase{bomAccelerated, bomSEFS, -1}, OpenModeCase{bomAccelerated, bomMEFS, -1},
        OpenModeCase{bomReadOnly, bomDefault, 254}, OpenModeCase{bomReadOnly, bomSEFS, -2},
        OpenModeCase{bomReadOnly, bomMEFS, -2}, OpenModeCase{bomVerify, bomDefault, -3},
        OpenModeCase{bomVerify, bomSEFS, -3}, OpenModeCase{bomVerify, bomMEFS, -3},
        OpenModeCase{bomExclusive, bomDefault, 252}, OpenModeCase{bomExclusive, bomSEFS, -4},
        OpenModeCase{bomExclusive, bomMEFS, -4},
        // An unknown open mode keeps KeyNum (3) before the sharing bits.
        OpenModeCase{static_cast<BtrOpenModes>(9), bomDefault, 3},
        OpenModeCase{static_cast<BtrOpenModes>(9), bomSEFS, -29}));

TEST_F(TableTest, OpenSendsTheOwnerAreaAndTheFileNameThenReadsTheStatistics) {
  table.SetDbOwner("SECRET-OWNER");
  engine.Reply(engine::kOpStat, RecordingEngine::StatReply(200, 4096, 3));
  table.Open();
  ASSERT_EQ(engine.Operations(), (std::vector<uint16_t>{0, 15}));
  const auto& open = engine.Calls()[0];
  EXPECT_EQ(open.data_length, 101u);
  EXPECT_EQ(open.DataText(), "SECRET-O") << "at most 8 characters of the owner name";
  EXPECT_EQ(open.KeyText(), kFile);
  EXPECT_EQ(open.key_length, 255);
  EXPECT_TRUE(table.Active());
  EXPECT_EQ(table.RecordSize(), 200);
  EXPECT_EQ(table.PageSize(), 4096);
  EXPECT_EQ(table.RecordCount(), 3u);
  EXPECT_EQ(table.DataBufferLength(), 200) << "the buffer grows to the record length";
}

TEST_F(TableTest, OpenWithAnEmptyOwnerSendsAZeroByte) {
  OpenFile();
  table.Close();
  table.SetDbOwner("owner");
  table.SetDbOwner("");
  engine.ClearCalls();
  table.Open();
  EXPECT_EQ(engine.Calls()[0].data[0], 0);
}

TEST_F(TableTest, OpenKeepsALongerDataBuffer) {
  table.SetDataBufferLength(300);
  OpenFile(200);
  EXPECT_EQ(table.DataBufferLength(), 300);
}

TEST_F(TableTest, FailedOpenLeavesTheTableInactive) {
  engine.Reply(engine::kOpOpen, 12);
  EXPECT_EQ(ErrorOf([&] { table.Open(); }), FileMessage("File Not Found (12)"));
  EXPECT_FALSE(table.Active());
  EXPECT_EQ(engine.Operations(), (std::vector<uint16_t>{0})) << "no statistics after a failure";

  engine.ClearCalls();
  engine.Reply(engine::kOpStat, 2);
  EXPECT_EQ(StatusOf([&] { table.Open(); }), 2);
  EXPECT_FALSE(table.Active()) << "an open whose statistics fail is no open";
  EXPECT_EQ(engine.Operations(), (std::vector<uint16_t>{0, 15, 1}))
      << "and the engine's file is closed again";
}

TEST_F(TableTest, FirstOnOpenReadsTheFirstRecord) {
  WatchRecChanged();
  table.SetFirstOnOpen(true);
  engine.Reply(engine::kOpGetFirst, RecordingEngine::Text("FIRST"));
  OpenFile(20);
  EXPECT_EQ(table.DataBufferText(), "FIRST");
  EXPECT_EQ(rec_changed, 1);
}

TEST_F(TableTest, FirstOnOpenOnAnEmptyFileLeavesAZeroBufferAndNoEvent) {
  WatchRecChanged();
  table.SetDataBufferLength(20);
  std::memset(table.DataBuffer(), 'x', 20);
  table.SetFirstOnOpen(true);
  engine.Reply(engine::kOpGetFirst, 9);
  EXPECT_EQ(ErrorOf([&] { OpenFile(20); }), "");
  EXPECT_TRUE(table.Active());
  EXPECT_EQ(std::vector<uint8_t>(table.DataBuffer(), table.DataBuffer() + 20),
            std::vector<uint8_t>(20, 0));
  EXPECT_EQ(rec_changed, 0);
}

TEST_F(TableTest, CloseSendsNoDataAreaAndAFailedCloseKeepsTheTableOpen) {
  OpenFile();
  engine.Reply(engine::kOpClose, 3);
  EXPECT_EQ(StatusOf([&] { table.Close(); }), 3);
  EXPECT_TRUE(table.Active());
  table.Close();
  EXPECT_FALSE(table.Active());
  EXPECT_EQ(engine.Last().data_address, nullptr);
  EXPECT_EQ(engine.Last().data_length, 0u);

  table.CallBtrieve(26);
  EXPECT_EQ(engine.Last().data_address, nullptr) << "CallBtrieve sends what Close left";
  EXPECT_EQ(engine.Last().data_length, 0u);
}

// ---- Status handling ----------------------------------------------------------------------------

// The last read's length and cut are its own, where MoreAvailable outlives a GetDirect.
TEST_F(TableTest, ShortBufferUnderIgnoreSmallSetsMoreAvailableUntilTheNextFittingRead) {
  OpenFile(10);
  engine.Reply(engine::kOpGetNext, RecordingEngine::Text("0123456789", 22));
  table.Next();
  EXPECT_TRUE(table.MoreAvailable());
  EXPECT_EQ(table.LastReadLength(), 10u);
  EXPECT_TRUE(table.LastReadCut());
  engine.Reply(engine::kOpGetDirect, RecordingEngine::Text("fits"));
  table.GetDirect();
  EXPECT_TRUE(table.MoreAvailable()) << "GetDirect does not clear it first";
  EXPECT_EQ(table.LastReadLength(), 5u) << "the text and its zero byte";
  EXPECT_FALSE(table.LastReadCut());
  table.Next();
  EXPECT_FALSE(table.MoreAvailable());

  engine.Reply(engine::kOpGetByPercentage, RecordingEngine::Text("percent", 22));
  table.getbypercentage(5000);
  EXPECT_EQ(table.LastReadLength(), 8u);
  EXPECT_TRUE(table.LastReadCut());
  engine.Reply(engine::kOpInsert, 22);
  table.Insert();
  EXPECT_TRUE(table.MoreAvailable()) << "status 22 is no failure for any operation";
  EXPECT_EQ(engine.Operations().back(), engine::kOpStat);
  EXPECT_EQ(table.LastReadLength(), 8u) << "an insert is no read";
  engine.Reply(engine::kOpGetDirect, 43);
  EXPECT_EQ(StatusOf([&] { table.GetDirect(); }), 43);
  EXPECT_EQ(table.LastReadLength(), 0u);
  EXPECT_FALSE(table.LastReadCut());
}

TEST_F(TableTest, ShortBufferWithoutIgnoreSmallIsTheDataLengthError) {
  OpenFile(10);
  table.SetIgnoreSmall(false);
  engine.Reply(engine::kOpGetNext, 22);
  EXPECT_EQ(ErrorOf([&] { table.Next(); }), FileMessage("Data Length Error (22)"));
  EXPECT_FALSE(table.MoreAvailable());
}

TEST_F(TableTest, StatusesKeepTheirFullWidth) {
  OpenFile();
  for (int16_t status : {int16_t{1001}, int16_t{-1}, int16_t{33}, int16_t{256}, int16_t{278}}) {
    engine.Reply(engine::kOpGetFirst, status);
    EXPECT_EQ(StatusOf([&] { table.First(); }), status);
  }
  engine.Reply(engine::kOpGetFirst, 1001);
  EXPECT_EQ(ErrorOf([&] { table.First(); }), FileMessage("Lock Parm Out Of Range (1001)"));
  engine.Reply(engine::kOpGetFirst, 33);
  EXPECT_EQ(ErrorOf([&] { table.First(); }), FileMessage("Unknown Btrieve Error (33)"));
}

TEST(MissingEngine, EveryOperationFailsWithTheMissingLibraryMessage) {
  RecordingEngine absent(/*plain_entry=*/false, /*client_entry=*/false);
  TBtr table;
  table.SetFileName(kFile);
  table.SetDataBufferLength(10);
  const std::string expected = std::string("WBTRV32.DLL Not Found (-9999)\r") + kFile;
  const std::vector<std::function<void()>> operations = {[&] { table.Open(); },
                                                         [&] { table.SetActive(true); },
                                                         [&] { table.First(); },
                                                         [&] { table.Next(); },
                                                         [&] { table.Insert(); },
                                                         [&] { table.Post(); },
                                                         [&] { table.UpdateFixed(); },
                                                         [&] { table.Delete(); },
                                                         [&] { table.GetPosition(); },
                                                         [&] { table.Unlock(0); },
                                                         [&] { table.begintransaction(); },
                                                         [&] { table.Stat(); },
                                                         [&] { table.CreateFile(); },
                                                         [&] { table.Version(); },
                                                         [&] { table.findpercentage(); },
                                                         [&] { table.CallBtrieve(26); }};
  for (const auto& operation : operations) {
    try {
      operation();
      ADD_FAILURE() << "an operation succeeded without an engine";
    } catch (const engine::Btrexception& e) {
      EXPECT_EQ(std::string(e.what()), expected);
      EXPECT_EQ(e.Status(), -9999);
    }
  }
  table.SetClientID("ID");
  EXPECT_THROW(table.First(), engine::Btrexception);
  table.SwitchKeys();  // never reports
  EXPECT_FALSE(table.Active());
}

TEST(WarmUpReentry, HostCodeUsingTheTableInsideTheFirstCallCannotDisturbIt) {
  RecordingEngine engine;  // not woken: the table's first call runs the warm-up
  TBtr table;
  table.SetFileName(kFile);
  table.SetDataBufferLength(300);
  std::string refused;
  int turns = 0;
  platform::SetMessageLoopHook([&] {
    if (++turns != 50) return;
    table.First();  // a nested read through the same table
    try {
      table.SetDataBufferLength(10);
    } catch (const vastrel::Exception& e) {
      refused = e.what();
    }
  });
  engine.Reply(engine::kOpStat, RecordingEngine::StatReply(20, 1024, 0));
  table.Open();
  platform::SetMessageLoopHook(nullptr);
  EXPECT_EQ(refused, "Can't change DataBufferLength during an engine call");
  EXPECT_EQ(table.DataBufferLength(), 300);
  ASSERT_EQ(engine.Operations(), (std::vector<uint16_t>{26, 12, 26, 0, 15}));
  EXPECT_EQ(engine.Calls()[1].data_length, 300u);
  EXPECT_EQ(engine.Calls()[3].data_length, 101u) << "the open still offers its owner area";
  EXPECT_TRUE(table.Active());
}

// ---- OnRecChanged
// ---------------------------------------------------------------------------------

TEST_F(TableTest, RecChangedFollowsSuccessfulReadsAndWrites) {
  OpenFile();
  WatchRecChanged();
  table.First();
  table.Next();
  table.Insert();
  table.Post();
  table.UpdateFixed();
  table.Delete();
  table.GetDirect();
  table.getbypercentage(10);
  EXPECT_EQ(rec_changed, 8);
  table.GetPosition();
  table.begintransaction();
  table.Unlock(utAllMulti);
  EXPECT_EQ(rec_changed, 8);

  engine.Reply(engine::kOpGetNext, 9);
  EXPECT_THROW(table.Next(), engine::Btrexception);
  EXPECT_EQ(rec_changed, 8) << "no event after a failure";
}

// Insert and Delete refresh the statistics before the event, so a handler sees the new
// count; a failed write runs neither.
TEST_F(TableTest, WritesRunStatisticsBeforeTheEventAndFailedWritesRunNeither) {
  OpenFile(100, {}, 5);
  std::vector<uint32_t> counts_seen;
  table.OnRecChanged = [&](TBtr& t) { counts_seen.push_back(t.RecordCount()); };
  engine.Reply(engine::kOpStat, RecordingEngine::StatReply(100, 1024, 6));
  table.Insert();
  engine.Reply(engine::kOpStat, RecordingEngine::StatReply(100, 1024, 5));
  table.Delete();
  EXPECT_EQ(counts_seen, (std::vector<uint32_t>{6, 5}));

  engine.ClearCalls();
  engine.Reply(engine::kOpInsert, 5);
  engine.Reply(engine::kOpDelete, 8);
  engine.Reply(engine::kOpUpdate, 80);
  engine.Reply(engine::kOpUpdateChunk, 84);
  EXPECT_EQ(StatusOf([&] { table.Insert(); }), 5);
  EXPECT_EQ(StatusOf([&] { table.Delete(); }), 8);
  EXPECT_EQ(StatusOf([&] { table.Post(); }), 80);
  EXPECT_EQ(StatusOf([&] { table.UpdateFixed(); }), 84);
  EXPECT_TRUE(engine.CallsOf(engine::kOpStat).empty());
  EXPECT_EQ(counts_seen.size(), 2u);
}

// A host's own engine call goes out as given: no step, lock or transaction bias, no event,
// and MoreAvailable stays what the last read left.
TEST_F(TableTest, AHostsCallBtrieveSendsItsCodeUnchanged) {
  OpenFile(100);
  table.SetDataBufferLength(100);
  engine.Reply(engine::kOpGetFirst, RecordingEngine::Status(22));
  table.First();
  ASSERT_TRUE(table.MoreAvailable());
  WatchRecChanged();
  table.SetStepType(stNoKeys);
  table.SetLockType(ltMultinowait);
  table.SetTranType(ttConcurrent);
  for (uint16_t op : {6, 12, 19, 2}) {
    table.CallBtrieve(op);
    EXPECT_EQ(engine.Last().operation, op);
  }
  EXPECT_EQ(rec_changed, 0);
  EXPECT_TRUE(table.MoreAvailable());
}

TEST_F(TableTest, NoRecChangedWhileSearchingOrWithKeyOnlySteps) {
  OpenFile();
  WatchRecChanged();
  table.SetSearching(true);
  table.First();
  table.Next();
  table.Equal();
  table.SetSearching(false);
  table.SetStepType(stKeyOnly);
  table.Last();
  table.Prev();
  table.GreaterEq();
  table.LessEq();
  EXPECT_EQ(rec_changed, 0);
}

// ---- Areas sent by the operations
// ------------------------------------------------------------------

TEST_F(TableTest, NavigationSendsTheWholeDataBuffer) {
  OpenFile(40);
  engine.Reply(engine::kOpGetEqual, RecordingEngine::Text("rec"));
  table.Equal();
  EXPECT_EQ(engine.Last().data_address, table.DataBuffer());
  EXPECT_EQ(engine.Last().data_length, 40u);
  EXPECT_EQ(table.DataBufferText(), "rec");
}

TEST_F(TableTest, UpdateFixedSendsA24ByteDescriptorWithThePointerSizedBufferAddress) {
  OpenFile(64);
  table.UpdateFixed();
  const auto& call = engine.Last();
  ASSERT_EQ(call.data_length, 24u);
  ASSERT_EQ(call.data.size(), 24u);
  uint32_t words[4];
  std::memcpy(words, call.data.data(), sizeof words);
  EXPECT_EQ(words[0], 0x80000001u);
  EXPECT_EQ(words[1], 1u);
  EXPECT_EQ(words[2], 0u);
  EXPECT_EQ(words[3], 64u);
  uint64_t address;
  std::memcpy(&address, call.data.data() + 16, sizeof address);
  EXPECT_EQ(address, reinterpret_cast<uintptr_t>(table.DataBuffer()));
}

TEST_F(TableTest, GetPositionAndGetDirectCarryThePosition) {
  OpenFile(16);
  table.SetKeyNum(2);
  engine.Reply(engine::kOpGetPosition, RecordingEngine::Data({0x78, 0x56, 0x34, 0x12}));
  table.GetPosition();
  EXPECT_EQ(table.Position(), 0x12345678);
  EXPECT_EQ(engine.Last().key_number, 0);
  EXPECT_EQ(engine.Last().data_length, 4u);
  EXPECT_EQ(table.KeyNum(), 2);

  engine.Reply(engine::kOpGetPosition, 8);
  EXPECT_EQ(StatusOf([&] { table.GetPosition(); }), 8);
  EXPECT_EQ(table.KeyNum(), 2) << "restored on failure";

  std::memset(table.DataBuffer(), 'x', 16);
  table.GetDirect();
  const auto& direct = engine.Last();
  EXPECT_EQ(direct.key_number, 2);
  EXPECT_EQ(direct.data_length, 16u);
  EXPECT_EQ(std::vector<uint8_t>(direct.data.begin(), direct.data.begin() + 6),
            (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12, 0, 'x'}));
}

TEST_F(TableTest, GetDirectWithABufferShorterThanAPositionWritesOnlyTheBuffer) {
  table.SetDataBufferLength(2);
  table.SetPosition(0x01020304);
  table.GetDirect();
  EXPECT_EQ(engine.Last().data, (std::vector<uint8_t>{0x04, 0x03}));
}

TEST_F(TableTest, UnlockSendsItsKindAsKeyNumberAndThePosition) {
  OpenFile(16);
  table.SetKeyNum(5);
  table.SetPosition(77);
  const std::vector<std::pair<int32_t, int8_t>> kinds = {
      {utSingleSingle, 1}, {utSingleMulti, -1}, {utAllMulti, -2}, {9, 5}};
  for (auto [kind, key_number] : kinds) {
    table.Unlock(kind);
    EXPECT_EQ(engine.Last().operation, 27);
    EXPECT_EQ(engine.Last().key_number, key_number);
    EXPECT_EQ(engine.Last().data_length, 4u);
    EXPECT_EQ(engine.Last().data, (std::vector<uint8_t>{77, 0, 0, 0}));
    EXPECT_EQ(table.KeyNum(), 5);
  }
  engine.Reply(engine::kOpUnlock, 81);
  EXPECT_EQ(StatusOf([&] { table.Unlock(utAllMulti); }), 81);
  EXPECT_EQ(table.KeyNum(), 5);

  table.Close();
  table.SetDataBufferLength(2);
  table.Unlock(utSingleMulti);
  EXPECT_EQ(engine.Last().data, (std::vector<uint8_t>{77, 0, 0, 0}))
      << "a short buffer cannot carry the position; it travels in an area of its own";
  EXPECT_EQ(std::vector<uint8_t>(table.DataBuffer(), table.DataBuffer() + 2),
            (std::vector<uint8_t>{0, 0}));
}

TEST_F(TableTest, CallsAfterAnOperationWithItsOwnAreaSendTheDataBuffer) {
  OpenFile(30);
  table.SetDbOwner("owner");  // set-owner: its own area
  table.begintransaction();
  EXPECT_EQ(engine.Last().data_address, table.DataBuffer());
  EXPECT_EQ(engine.Last().data_length, 30u);

  table.findpercentage();
  table.committransaction();
  EXPECT_EQ(engine.Last().data_address, table.DataBuffer());
  table.UpdateFixed();
  table.clearowner();
  EXPECT_EQ(engine.Last().data_address, table.DataBuffer());
  table.Version();
  table.CallBtrieve(21);
  EXPECT_EQ(engine.Last().data_address, table.DataBuffer());
  EXPECT_EQ(engine.Last().data_length, 30u);
}

TEST_F(TableTest, ALaterCallNeverSendsAReplacedOrShrunkDataBuffer) {
  OpenFile(30);
  table.Close();
  table.SetDataBufferLength(50);
  table.First();
  table.SetDataBufferLength(8);
  table.aborttransaction();
  EXPECT_EQ(engine.Last().data_address, table.DataBuffer());
  EXPECT_EQ(engine.Last().data_length, 8u);
}

TEST_F(TableTest, PercentagesTravelAsSixteenBitValues) {
  OpenFile(16);
  engine.Reply(engine::kOpFindPercentage, RecordingEngine::Data({0x10, 0x27, 0xAA, 0xBB}));
  EXPECT_EQ(table.findpercentage(), 10000);
  EXPECT_EQ(engine.Last().data_length, 4u);

  table.getbypercentage(0xFEDC);
  EXPECT_EQ(engine.Last().data_length, 16u);
  EXPECT_EQ(engine.Last().data[0], 0xDC);
  EXPECT_EQ(engine.Last().data[1], 0xFE);
}

TEST_F(TableTest, SetOwnerSendsTheNameWithItsProtectionAndNothingWhenEmpty) {
  table.SetOwner();
  table.clearowner();
  EXPECT_TRUE(engine.Calls().empty());

  table.SetDbOwner("123456789");
  table.SetOwnerProtection(opNoAccessEncrypt);
  table.SetKeyNum(4);
  std::memset(table.KeyBufferBytes(), 'k', kKeyBufferSize);
  table.SetOwner();
  const auto& call = engine.Last();
  EXPECT_EQ(call.operation, 29);
  EXPECT_EQ(call.key_number, 2);
  EXPECT_EQ(call.data_length, 101u);
  EXPECT_EQ(call.DataText(), "12345678");
  EXPECT_EQ(call.KeyText(), "12345678");
  EXPECT_EQ(call.key[9], 'k') << "only the name and its zero byte go into the key buffer";
  EXPECT_EQ(table.KeyNum(), 4);
  engine.Reply(engine::kOpSetOwner, 50);
  EXPECT_EQ(StatusOf([&] { table.SetOwner(); }), 50);
  EXPECT_EQ(table.KeyNum(), 4);
}

TEST_F(TableTest, TransactionsLeaveAreasAndKeyBufferAsTheyAre) {
  OpenFile(12);
  std::memcpy(table.KeyBufferBytes(), "KEY", 4);
  table.begintransaction();
  table.committransaction();
  table.aborttransaction();
  for (const auto& call : engine.Calls()) {
    EXPECT_EQ(call.KeyText(), "KEY");
    EXPECT_EQ(call.data_address, table.DataBuffer());
  }
}

// ---- SwitchKeys
// ----------------------------------------------------------------------------------

TEST_F(TableTest, SwitchKeysRereadsTheRecordWithoutAnEventOrAnError) {
  OpenFile(16);
  WatchRecChanged();
  table.SetKeyNum(1);
  table.SwitchKeys();
  EXPECT_EQ(engine.Operations(), (std::vector<uint16_t>{22, 23}));
  EXPECT_EQ(engine.Calls()[1].key_number, 1);
  EXPECT_EQ(rec_changed, 0);
  EXPECT_FALSE(table.Searching());

  engine.ClearCalls();
  engine.Reply(engine::kOpGetPosition, 8);
  table.SwitchKeys();
  EXPECT_EQ(engine.Operations(), (std::vector<uint16_t>{22})) << "a failed position skips the read";
  EXPECT_FALSE(table.Searching());

  table.SetSearching(true);
  table.Stat();
  engine.Reply(engine::kOpGetDirect, 43);
  table.SwitchKeys();
  EXPECT_TRUE(table.Searching()) << "an outer search goes on";
  EXPECT_TRUE(table.StatPending());
}

// ---- Busy cursor ------------------------------------------------------------------------------

TEST_F(TableTest, WritesShowTheBusyCursorAndPutItBackOnFailure) {
  OpenFile();
  std::vector<bool> cursor;
  platform::SetBusyCursorHook([&](bool busy) { cursor.push_back(busy); });
  table.Insert();
  table.Post();
  table.UpdateFixed();
  table.Delete();
  table.committransaction();
  engine.Reply(engine::kOpUpdate, 80);
  EXPECT_THROW(table.Post(), engine::Btrexception);
  table.First();
  platform::SetBusyCursorHook(nullptr);
  EXPECT_EQ(cursor, (std::vector<bool>{true, false, true, false, true, false, true, false, true,
                                       false, true, false}));
}

}  // namespace
}  // namespace vastrel::table
