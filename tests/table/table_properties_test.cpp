// The table's settings: defaults, the guards of an open table, the data buffer's life and
// text view, the setters that act on the open file, and loading saved properties.
#include <cstring>

#include "platform/hooks.h"
#include "tests/table/table_fixture.h"

namespace vastrel::table {
namespace {

TEST_F(TableTest, NewTableStartsFromTheDocumentedDefaults) {
  TBtr fresh;
  EXPECT_EQ(fresh.PageSize(), 1024);
  EXPECT_EQ(fresh.RecordSize(), 0);
  EXPECT_EQ(fresh.DataBufferLength(), 0);
  EXPECT_EQ(fresh.DataBuffer(), nullptr);
  EXPECT_EQ(fresh.KeyNum(), 0);
  EXPECT_EQ(fresh.TranType(), ttConcurrent);
  EXPECT_TRUE(fresh.IgnoreSmall());
  EXPECT_FALSE(fresh.FirstOnOpen());
  EXPECT_EQ(fresh.TRUEFormat(), "1");
  EXPECT_EQ(fresh.FALSEFormat(), "0");
  EXPECT_EQ(fresh.DATEFormat(), "YYYYMMDD");
  EXPECT_EQ(fresh.TIMEFormat(), "HH:NN:SS");
  EXPECT_EQ(fresh.DecimalSeparator(), '.');
  const std::array<uint8_t, 16> spec = {0, 0, 0, 4};  // page size 1024, all else zero
  EXPECT_EQ(fresh.FileSpec(), spec);
  for (int i = 0; i < kKeyBufferSize; ++i) ASSERT_EQ(fresh.KeyBufferBytes()[i], 0);
}

TEST_F(TableTest, OpenTableRefusesChangesOfItsFileDescriptionAndModes) {
  OpenFile(100);
  EXPECT_EQ(ErrorOf([&] { table.SetPageSize(2048); }), "Can't change Page Size on an active table");
  EXPECT_EQ(ErrorOf([&] { table.SetRecordSize(50); }),
            "Can't change Record Size on an active table");
  EXPECT_EQ(ErrorOf([&] { table.SetOpenMode(bomReadOnly); }),
            "Can't change Open modes on an active table");
  EXPECT_EQ(ErrorOf([&] { table.SetSharingMode(bomMEFS); }),
            "Can't change Sharing modes on an active table");
  EXPECT_EQ(ErrorOf([&] { table.SetFileFlags(BtrFileFlags{keys::ffCompress}); }),
            "Can't change File Flags on an active table");
  EXPECT_EQ(table.PageSize(), 1024);
  EXPECT_EQ(table.RecordSize(), 100);
  EXPECT_EQ(table.OpenMode(), bomNormal);

  // The same value is no change and never fails.
  EXPECT_EQ(ErrorOf([&] {
              table.SetPageSize(1024);
              table.SetRecordSize(100);
              table.SetOpenMode(bomNormal);
              table.SetSharingMode(bomDefault);
            }),
            "");
  EXPECT_TRUE(engine.Calls().empty());
}

TEST_F(TableTest, RecordSizeGrowsAShorterDataBuffer) {
  table.SetDataBufferLength(50);
  table.SetRecordSize(100);
  EXPECT_EQ(table.DataBufferLength(), 100);
  table.SetDataBufferLength(200);
  table.SetRecordSize(150);
  EXPECT_EQ(table.DataBufferLength(), 200);
}

TEST_F(TableTest, DataBufferLengthOnAnOpenTableIsAtLeastTheRecordSize) {
  table.SetDataBufferLength(10);
  EXPECT_EQ(table.DataBufferLength(), 10);
  OpenFile(100);
  table.SetDataBufferLength(10);
  EXPECT_EQ(table.DataBufferLength(), 100);
}

TEST_F(TableTest, DataBufferOfTheSameLengthKeepsBufferAndContent) {
  table.SetDataBufferLength(16);
  uint8_t* before = table.DataBuffer();
  table.SetDataBufferText("KEEP");
  table.SetDataBufferLength(16);
  EXPECT_EQ(table.DataBuffer(), before);
  EXPECT_EQ(table.DataBufferText(), "KEEP");
  table.SetDataBufferLength(0);
  EXPECT_EQ(table.DataBuffer(), nullptr);
}

TEST_F(TableTest, NegativeDataBufferLengthIsRefusedAndTheOldBufferStays) {
  table.SetDataBufferLength(8);
  table.SetDataBufferText("ABC");
  uint8_t* before = table.DataBuffer();
  EXPECT_EQ(ErrorOf([&] { table.SetDataBufferLength(-1); }),
            "DataBufferLength can't be negative (-1)");
  OpenFile(4);
  EXPECT_NE(ErrorOf([&] { table.SetDataBufferLength(-5); }), "");
  EXPECT_EQ(table.DataBufferLength(), 8);
  EXPECT_EQ(table.DataBuffer(), before);
  EXPECT_EQ(table.DataBufferText(), "ABC");
}

TEST_F(TableTest, DataBufferTextStopsAtTheZeroByteAndTheBufferEnd) {
  EXPECT_EQ(table.DataBufferText(), "");
  table.SetDataBufferText("ignored without a buffer");

  table.SetDataBufferLength(4);
  std::memcpy(table.DataBuffer(), "WXYZ", 4);
  EXPECT_EQ(table.DataBufferText(), "WXYZ") << "no zero byte: the whole buffer, nothing beyond";

  table.SetDataBufferLength(8);
  std::memcpy(table.DataBuffer(), "ABCDEFGH", 8);
  table.SetDataBufferText("xy");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(table.DataBuffer()), 8),
            std::string("xy\0DEFGH", 8));
  table.SetDataBufferText("0123456789");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(table.DataBuffer()), 8),
            std::string("0123456\0", 8));
  EXPECT_EQ(table.DataBufferText(), "0123456");
}

TEST_F(TableTest, ClientIdKeepsFourCharactersAndRoutesCallsThroughTheClientEntry) {
  table.SetClientID("ABCDEF");
  EXPECT_EQ(table.ClientID(), "ABCD");
  table.SetDataBufferLength(10);
  table.First();
  EXPECT_EQ(engine.Operations(), (std::vector<uint16_t>{26, 26, 12})) << "the ID's warm-up";
  EXPECT_TRUE(engine.Last().with_client_id);
  EXPECT_EQ(engine.Last().client_id, "ABCD");

  table.SetClientID("");
  table.First();
  EXPECT_FALSE(engine.Last().with_client_id);
}

TEST_F(TableTest, NewFileNameOnAnOpenTableClosesAndReopens) {
  OpenFile();
  table.SetFileName(kFile);
  EXPECT_TRUE(engine.Calls().empty()) << "the same name changes nothing";

  engine.Reply(engine::kOpStat, RecordingEngine::StatReply(100, 1024, 0));
  table.SetFileName("/data/other.dat");
  ASSERT_EQ(engine.Operations(), (std::vector<uint16_t>{1, 0, 15}));
  EXPECT_EQ(engine.Calls()[1].KeyText(), "/data/other.dat");
  EXPECT_TRUE(table.Active());
}

TEST_F(TableTest, FailedReopenLeavesTheNewNameAndAnInactiveTable) {
  OpenFile();
  engine.Reply(engine::kOpOpen, 12);
  EXPECT_EQ(ErrorOf([&] { table.SetFileName("/data/missing.dat"); }),
            "File Not Found (12)\r/data/missing.dat");
  EXPECT_EQ(table.FileName(), "/data/missing.dat");
  EXPECT_FALSE(table.Active());
}

TEST_F(TableTest, DbOwnerOnAnOpenTableClearsTheOldOwnerThenSetsTheNew) {
  table.SetDbOwner("old");
  OpenFile();
  table.SetOwnerProtection(opReadAccessEncrypt);
  table.SetDbOwner("newowner9");
  ASSERT_EQ(engine.Operations(), (std::vector<uint16_t>{30, 29}));
  EXPECT_EQ(engine.Calls()[1].key_number, 3);
  EXPECT_EQ(engine.Calls()[1].KeyText(), "newowner");
  EXPECT_EQ(table.DbOwner(), "newowner9");

  engine.Reply(engine::kOpClearOwner, 41);
  EXPECT_EQ(StatusOf([&] { table.SetDbOwner("third"); }), 41);
  EXPECT_EQ(table.DbOwner(), "newowner9") << "a failed clear keeps the old name";
}

TEST_F(TableTest, LoadingStoresWithoutChecksAndOpensAtLoaded) {
  OpenFile();
  table.BeginLoading();
  table.SetPageSize(4096);
  table.SetOpenMode(bomExclusive);
  EXPECT_EQ(table.PageSize(), 4096) << "no guard while loading";
  table.Close();

  TBtr loaded;
  loaded.BeginLoading();
  loaded.SetActive(true);
  loaded.SetFileName("/data/loaded.dat");
  loaded.SetOpenMode(bomReadOnly);
  engine.ClearCalls();
  EXPECT_TRUE(loaded.Active());
  engine.Reply(engine::kOpStat, RecordingEngine::StatReply(10, 1024, 0));
  loaded.Loaded();
  ASSERT_EQ(engine.Operations(), (std::vector<uint16_t>{0, 15}));
  EXPECT_EQ(engine.Calls()[0].KeyText(), "/data/loaded.dat");
  EXPECT_EQ(engine.Calls()[0].key_number, -2);
  EXPECT_TRUE(loaded.Active());
}

// Loading saved properties into an open table stores them: no owner calls, no growth of
// the data buffer to the record size, and Active true again makes no engine call.
TEST_F(TableTest, LoadingIntoAnOpenTableOnlyStores) {
  table.SetDbOwner("old");
  OpenFile(100);
  table.BeginLoading();
  table.SetDbOwner("new");
  table.SetDataBufferLength(10);
  table.SetActive(true);
  table.Loaded();
  EXPECT_TRUE(engine.Calls().empty());
  EXPECT_EQ(table.DataBufferLength(), 10);
  EXPECT_EQ(table.DbOwner(), "new");
}

TEST_F(TableTest, SearchingDefersStatisticsAndRunsThemOnceAtTheEnd) {
  OpenFile(100, {}, 5);
  table.SetSearching(true);
  table.Insert();
  table.Insert();
  EXPECT_TRUE(table.StatPending());
  EXPECT_EQ(engine.Operations(), (std::vector<uint16_t>{2, 2}));

  engine.Reply(engine::kOpStat, RecordingEngine::StatReply(100, 1024, 7));
  table.SetSearching(false);
  EXPECT_EQ(engine.Operations(), (std::vector<uint16_t>{2, 2, 15}));
  EXPECT_EQ(table.RecordCount(), 7u);
  EXPECT_FALSE(table.StatPending());

  table.SetSearching(true);
  table.Stat();
  table.SetSearching(false);
  table.SetSearching(true);
  EXPECT_FALSE(table.StatPending()) << "a new search starts with nothing pending";
  table.SetSearching(false);
  EXPECT_EQ(engine.CallsOf(engine::kOpStat).size(), 2u);
}

TEST_F(TableTest, VersionReadsVersionDotRevision) {
  engine.Reply(engine::kOpVersion, RecordingEngine::Data({6, 0, 15, 0, 'L'}));
  EXPECT_EQ(table.Version(), "6.15");
  EXPECT_EQ(engine.Last().data_length, 10u);
  engine.Reply(engine::kOpVersion, RecordingEngine::Data({7, 0, 5, 0}));
  EXPECT_EQ(table.Version(), "7.5");
  engine.Reply(engine::kOpVersion, 20);
  EXPECT_EQ(StatusOf([&] { table.Version(); }), 20);
}

TEST_F(TableTest, DestroyingAnOpenTableClosesItAndSwallowsACloseFailure) {
  {
    TBtr other;
    other.SetFileName("/data/x.dat");
    engine.Reply(engine::kOpStat, RecordingEngine::StatReply(10, 1024, 0));
    other.Open();
    engine.ClearCalls();
    engine.Reply(engine::kOpClose, 17);
  }
  EXPECT_EQ(engine.Operations(), (std::vector<uint16_t>{1}));
}

// A second open over the same position block would leave the first open behind, holding its
// locks (or the whole file, when exclusive) until the client stops.
TEST_F(TableTest, OpenAndLoadedOnAnOpenTableNeverOpenTheBlockTwice) {
  OpenFile();
  engine.Reply(engine::kOpStat, RecordingEngine::StatReply(100, 1024, 0));
  table.Open();
  EXPECT_EQ(engine.Operations(), (std::vector<uint16_t>{1, 0, 15})) << "closed, then opened";
  EXPECT_TRUE(table.Active());

  engine.ClearCalls();
  table.Loaded();
  table.BeginLoading();
  table.SetActive(false);  // a loaded Active false does not hide the open file
  table.Loaded();
  EXPECT_TRUE(engine.Calls().empty());
  EXPECT_TRUE(table.Active());

  engine.Reply(engine::kOpClose, 17);
  EXPECT_EQ(StatusOf([&] { table.Open(); }), 17) << "the close's failure, as Close raises it";
  EXPECT_EQ(engine.Operations(), (std::vector<uint16_t>{1}));
  EXPECT_TRUE(table.Active());
}

// FileName is single-byte text; the file on disk is named in UTF-8, as every other program
// spells it, and a name that grows past the key buffer is refused rather than cut.
TEST_F(TableTest, FileNameReachesTheEngineInUtf8) {
  OpenFile();
  engine.Reply(engine::kOpStat, RecordingEngine::StatReply(100, 1024, 0));
  table.SetFileName("/data/caf\xE9.dat");
  EXPECT_EQ(engine.CallsOf(engine::kOpOpen).at(0).KeyText(), "/data/caf\xC3\xA9.dat");

  table.Close();
  engine.ClearCalls();
  table.SetFileName(std::string(100, '\xE9'));  // 100 characters, 200 bytes: fits
  engine.Reply(engine::kOpStat, RecordingEngine::StatReply(100, 1024, 0));
  table.Open();
  EXPECT_EQ(engine.Last().operation, engine::kOpStat);
  table.Close();
  engine.ClearCalls();
  table.SetFileName(std::string(128, '\xE9'));
  EXPECT_EQ(ErrorOf([&] { table.Open(); }).substr(0, 22), "File name is too long:");
  EXPECT_TRUE(engine.Calls().empty());
  EXPECT_FALSE(table.Active());

  // Past 254 characters a name is refused whole, never cut into a name that another path
  // shares; the table keeps the name it had.
  table.SetFileName(std::string(254, 'a'));
  std::string longer(255, 'a');
  longer.back() = '2';
  EXPECT_EQ(ErrorOf([&] { table.SetFileName(longer); }),
            "File name is too long: \"" + longer + "\" has 255 characters, at most 254 fit");
  EXPECT_EQ(table.FileName(), std::string(254, 'a'));
}

TEST_F(TableTest, AboutReadsTheFixedBannerWhateverIsWritten) {
  const std::string banner = TBtr::About();
  EXPECT_EQ(banner.rfind("Vastrel ", 0), 0u);
  table.SetAbout("something else");
  EXPECT_EQ(TBtr::About(), banner);
}

}  // namespace
}  // namespace vastrel::table
