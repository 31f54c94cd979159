// The table on the embedded record engine: files created from the table's description,
// reopened, navigated, changed, searched by index name; owner names and transactions.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "binding/btrexception.h"
#include "binding/engine.h"
#include "dictionary/btrdictlist.h"
#include "dictionary/field_text.h"
#include "table/btr.h"

namespace vastrel::table {
namespace {

namespace fs = std::filesystem;

// Record layout of the parts file: part number (5), a blank, a 2-byte binary quantity at
// offset 6, a blank, the name from offset 9; the whole record is 32 bytes.
constexpr uint16_t kRecordSize = 32;

class EngineFile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(engine::CurrentEngineState().plain_entry)
        << "the record engine library " << engine::CurrentEngineState().library_name
        << " was not loaded: " << engine::CurrentEngineState().load_error;
  }
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("vastrel-table-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = (dir_ / "parts.dat").string();
  }
  void TearDown() override {
    for (auto& t : tables_) t.reset();
    fs::remove_all(dir_);
  }

  // A table on the test's file, described with a part-number key (unique string, 5 bytes)
  // and a name key (string, 10 bytes, duplicates, modifiable).
  TBtr& NewTable() {
    tables_.push_back(std::make_unique<TBtr>());
    TBtr& t = *tables_.back();
    t.SetFileName(path_);
    t.SetRecordSize(kRecordSize);
    t.SetPageSize(4096);
    keys::TKey& part = t.Keys().Add();
    part.SetPosition(1);
    part.SetLength(5);
    part.SetKeyType(keys::ktString);
    keys::TKey& name = t.Keys().Add();
    name.SetPosition(10);
    name.SetLength(10);
    name.SetKeyType(keys::ktString);
    name.SetAllowDuplicates(true);
    name.SetModifiable(true);
    return t;
  }

  static void Put(TBtr& t, const std::string& part, uint16_t quantity, const std::string& name) {
    std::string record = part;
    record.resize(5, ' ');
    record += ' ';
    record += static_cast<char>(quantity & 0xFF);
    record += static_cast<char>(quantity >> 8);
    record += ' ';
    std::string padded = name;
    padded.resize(std::max<size_t>(padded.size(), 10), ' ');  // the name key's width
    record += padded;
    record.resize(kRecordSize, '\0');
    std::memcpy(t.DataBuffer(), record.data(), kRecordSize);
  }
  static std::string Part(const TBtr& t) { return t.DataBufferText().substr(0, 5); }
  static std::string Name(const TBtr& t) {
    std::string name(reinterpret_cast<const char*>(t.DataBuffer()) + 9);
    return name.erase(name.find_last_not_of(' ') + 1);
  }

  // Creates the file and stores parts P1..P<n> (in reverse order) with names.
  TBtr& CreateWithParts(const std::vector<std::pair<std::string, std::string>>& parts) {
    TBtr& t = NewTable();
    t.CreateFile();
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
      Put(t, it->first, 1, it->second);
      t.Insert();
    }
    return t;
  }

  // Runs an operation the engine may not offer yet; true when it answered Invalid Function.
  static bool NotOffered(const std::function<void()>& operation) {
    try {
      operation();
    } catch (const engine::Btrexception& e) {
      if (e.Status() == 1) return true;
      throw;
    }
    return false;
  }

  static std::vector<std::string> Walk(TBtr& t) {
    std::vector<std::string> seen;
    for (bool more = t.LocateNext(); more; more = t.LocateNext()) seen.push_back(Part(t));
    return seen;
  }

  fs::path dir_;
  std::string path_;
  std::vector<std::unique_ptr<TBtr>> tables_;
};

TEST_F(EngineFile, CreatedFileReadsBackTheSameDescription) {
  TBtr& made = NewTable();
  keys::TKey& amount = made.Keys().Add();  // a third key of two segments: integer, then date
  amount.SetPosition(7);
  amount.SetLength(2);
  amount.SetKeyType(keys::ktInteger);
  amount.SetSegment(true);
  amount.SetDescending(true);
  keys::TKey& when = made.Keys().Add();
  when.SetPosition(20);
  when.SetLength(4);
  when.SetKeyType(keys::ktDate);
  when.SetAllowDuplicates(true);
  made.SetFileFlags(BtrFileFlags{keys::ffVariableLength});
  const keys::tkeylist described = made.Keys();
  made.CreateFile();
  EXPECT_TRUE(made.Active());
  made.Close();

  TBtr& reopened = *tables_.emplace_back(std::make_unique<TBtr>());
  reopened.SetFileName(path_);
  reopened.Open();
  EXPECT_EQ(reopened.RecordSize(), kRecordSize);
  EXPECT_EQ(reopened.PageSize(), 4096);
  EXPECT_EQ(reopened.NumberOfKeys(), 3);
  EXPECT_TRUE(reopened.FileFlags().Contains(keys::ffVariableLength));
  EXPECT_EQ(reopened.DataBufferLength(), kRecordSize);
  ASSERT_EQ(reopened.Keys().Count(), described.Count());
  for (int i = 0; i < described.Count(); ++i) {
    const keys::TKey& a = described[i];
    const keys::TKey& b = reopened.Keys()[i];
    EXPECT_EQ(b.Position(), a.Position()) << "segment " << i;
    EXPECT_EQ(b.Length(), a.Length()) << "segment " << i;
    EXPECT_EQ(b.KeyFlag(), a.KeyFlag()) << "segment " << i;
    EXPECT_EQ(b.KeyType(), a.KeyType()) << "segment " << i;
  }
}

TEST_F(EngineFile, RecordCountFollowsInsertsAndDeletes) {
  TBtr& t = CreateWithParts({{"P1", "bolt"}, {"P2", "nut"}, {"P3", "washer"}});
  EXPECT_EQ(t.RecordCount(), 3u);
  t.First();
  t.Delete();
  EXPECT_EQ(t.RecordCount(), 2u);

  t.SetSearching(true);
  t.First();
  t.Delete();
  EXPECT_EQ(t.RecordCount(), 2u) << "statistics wait for the end of the search";
  t.SetSearching(false);
  EXPECT_EQ(t.RecordCount(), 1u);
}

TEST_F(EngineFile, NavigationFollowsTheKeyAndSwitchKeysChangesIt) {
  TBtr& t = CreateWithParts({{"P1", "washer"}, {"P2", "bolt"}, {"P3", "nut"}});
  t.First();
  EXPECT_EQ(Part(t), "P1   ");
  EXPECT_EQ(Walk(t), (std::vector<std::string>{"P2   ", "P3   "}));
  t.Last();
  t.Prev();
  EXPECT_EQ(Part(t), "P2   ");

  t.SetKeyNum(1);
  t.SwitchKeys();  // the current record (P2, "bolt") along the name key
  EXPECT_EQ(Name(t), "bolt");
  EXPECT_EQ(Walk(t), (std::vector<std::string>{"P3   ", "P1   "})) << "nut, then washer";

  t.SetKeyNum(0);
  t.SetKeyBuffer("P3   ");
  t.Equal();
  EXPECT_EQ(Name(t), "nut");
  t.GetPosition();
  const int32_t p3 = t.Position();
  t.First();
  t.SetPosition(p3);
  t.GetDirect();
  EXPECT_EQ(Name(t), "nut");
}

TEST_F(EngineFile, StepTypesReadPhysicallyOrKeysOnly) {
  TBtr& t = CreateWithParts({{"P1", "a"}, {"P2", "b"}});
  t.SetStepType(stNoKeys);
  t.First();
  t.Next();
  t.SetStepType(stKeyOnly);
  std::memset(t.DataBuffer(), 0, kRecordSize);
  t.Last();
  EXPECT_EQ(t.KeyBuffer().substr(0, 5), "P2   ");
  EXPECT_EQ(t.DataBufferText(), "") << "a key-only read brings no record";
}

TEST_F(EngineFile, PostAndUpdateFixedChangeTheRecord) {
  TBtr& t = CreateWithParts({{"P1", "bolt"}});
  t.First();
  Put(t, "P1", 7, "bolt, M6");
  t.Post();
  t.First();
  EXPECT_EQ(Name(t), "bolt, M6");

  Put(t, "P1", 9, "screw");
  t.UpdateFixed();  // the descriptor's address takes the bytes from the data buffer itself
  t.First();
  EXPECT_EQ(Name(t), "screw");
  EXPECT_EQ(t.DataBuffer()[6], 9);
}

TEST_F(EngineFile, ALongVariableRecordSetsMoreAvailable) {
  TBtr& t = NewTable();
  t.SetFileFlags(BtrFileFlags{keys::ffVariableLength});
  t.CreateFile();
  t.SetDataBufferLength(80);
  Put(t, "P1", 1, "long");
  std::memset(t.DataBuffer() + kRecordSize, 'x', 80 - kRecordSize);
  t.Insert();
  t.SetDataBufferLength(kRecordSize);
  Put(t, "P2", 1, "short");
  t.Insert();

  t.SetDataBufferLength(40);
  t.First();
  EXPECT_TRUE(t.MoreAvailable());
  t.Next();
  EXPECT_FALSE(t.MoreAvailable());
  t.SetIgnoreSmall(false);
  try {
    t.First();
    FAIL();
  } catch (const engine::Btrexception& e) {
    EXPECT_EQ(e.Status(), 22);
  }
}

TEST_F(EngineFile, FindKeyAndLocateSearchByIndexName) {
  TBtr& t = CreateWithParts({{"P1", "washer"}, {"P2", "bolt"}, {"P3", "nut"}});
  auto& by_name = t.DDFIndexes().Add();
  by_name.SetIndexName("ByName");
  by_name.SetIndexKeyNum(1);
  t.DDFIndexes().Add().SetIndexName("ByPart");
  t.DDFIndexes().Items(1).SetIndexKeyNum(0);

  EXPECT_TRUE(t.FindKey("ByName", Variant("nut")));
  EXPECT_EQ(Part(t), "P3   ");
  EXPECT_EQ(t.KeyNum(), 1);
  EXPECT_TRUE(t.LocateNext());
  EXPECT_EQ(Name(t), "washer");
  EXPECT_FALSE(t.LocateNext());

  EXPECT_FALSE(t.FindKey("ByPart", Variant("P9")));
  EXPECT_EQ(t.KeyNum(), 1) << "a miss puts the key number back";
  EXPECT_TRUE(t.Locate("ByPart", Variant("P15")));
  EXPECT_EQ(Part(t), "P2   ");
  EXPECT_TRUE(t.LocatePrior());
  EXPECT_EQ(Part(t), "P1   ");
  EXPECT_FALSE(t.Locate("ByName", Variant("zzz")));
  EXPECT_EQ(t.KeyNum(), 0);
}

TEST_F(EngineFile, AbortedTransactionLeavesNoRecord) {
  TBtr& t = CreateWithParts({{"P1", "bolt"}});
  if (NotOffered([&] { t.begintransaction(); }))
    GTEST_SKIP() << "no transactions in the engine yet";
  Put(t, "P2", 1, "nut");
  t.Insert();
  t.aborttransaction();
  t.Stat();
  EXPECT_EQ(t.RecordCount(), 1u);

  t.SetTranType(ttExclusive);
  t.begintransaction();
  t.Insert();
  t.committransaction();
  t.Stat();
  EXPECT_EQ(t.RecordCount(), 2u);
}

TEST_F(EngineFile, AutoCreateGivesTheOwnerAfterTheEventAndTheOwnerGuardsTheFile) {
  TBtr& t = NewTable();
  t.SetAutoCreate(true);
  t.SetDbOwner("sesame-street");
  int events = 0;
  t.OnAutoCreate = [&](TBtr&) { ++events; };
  if (NotOffered([&] { t.Open(); })) GTEST_SKIP() << "no owner names in the engine yet";
  EXPECT_EQ(events, 1);
  EXPECT_EQ(t.DbOwner(), "sesame-s");
  t.Close();

  TBtr& stranger = NewTable();
  try {
    stranger.Open();
    FAIL() << "the file has an owner";
  } catch (const engine::Btrexception& e) {
    EXPECT_EQ(e.Status(), 51);
    EXPECT_EQ(std::string(e.what()), "Invalid Owner (51)\r" + path_);
  }
  stranger.SetDbOwner("sesame-s");
  stranger.Open();
  EXPECT_TRUE(stranger.Active());
}

TEST_F(EngineFile, OpenFailuresCarryTheStatusAndTheFileName) {
  TBtr& t = NewTable();
  try {
    t.Open();
    FAIL();
  } catch (const engine::Btrexception& e) {
    EXPECT_EQ(std::string(e.what()), "File Not Found (12)\r" + path_);
  }
  EXPECT_FALSE(t.Active());
  t.CreateFile();
  t.Close();
  try {
    NewTable().CreateFile();
    FAIL();
  } catch (const engine::Btrexception& e) {
    EXPECT_EQ(e.Status(), 59);
  }
}

TEST_F(EngineFile, FirstOnOpenOfAnEmptyFileGivesAZeroBuffer) {
  NewTable().CreateFile();
  TBtr& t = NewTable();
  t.SetFirstOnOpen(true);
  t.SetDataBufferLength(kRecordSize);
  std::memset(t.DataBuffer(), 'x', kRecordSize);
  t.Open();
  EXPECT_EQ(std::vector<uint8_t>(t.DataBuffer(), t.DataBuffer() + kRecordSize),
            std::vector<uint8_t>(kRecordSize, 0));
}

TEST_F(EngineFile, ATableWithAClientIdWorksThroughTheClientEntry) {
  TBtr& t = NewTable();
  t.SetClientID("CL01");
  t.CreateFile();
  Put(t, "P7", 1, "cog");
  t.Insert();
  EXPECT_EQ(t.RecordCount(), 1u);

  TBtr& plain = NewTable();
  plain.Open();
  plain.First();
  EXPECT_EQ(Name(plain), "cog") << "another client sees the committed record";
  t.Close();
  const auto ids = engine::CurrentEngineState().known_client_ids;
  EXPECT_NE(std::find(ids.begin(), ids.end(), "CL01"), ids.end());
}

TEST_F(EngineFile, PercentagesRunFromTheFirstToTheLastRecord) {
  TBtr& t = CreateWithParts({{"P1", "a"}, {"P2", "b"}, {"P3", "c"}, {"P4", "d"}});
  t.getbypercentage(0);
  EXPECT_EQ(Part(t), "P1   ");
  const uint16_t at_first = t.findpercentage();
  t.getbypercentage(10000);
  EXPECT_EQ(Part(t), "P4   ");
  const uint16_t at_last = t.findpercentage();
  EXPECT_LT(at_first, at_last);
  EXPECT_LE(at_last, 10000);
}

TEST_F(EngineFile, ALockedRecordIsRefusedToAnotherTableUntilUnlocked) {
  CreateWithParts({{"P1", "bolt"}, {"P2", "nut"}});
  TBtr& holder = NewTable();
  holder.Open();
  holder.SetLockType(ltSinglenowait);
  holder.First();
  TBtr& other = NewTable();
  other.Open();
  other.SetLockType(ltSinglenowait);
  try {
    other.First();
    FAIL() << "the record is locked by another table";
  } catch (const engine::Btrexception& e) {
    EXPECT_EQ(e.Status(), 84);
  }
  holder.Unlock(utSingleSingle);
  other.First();
  EXPECT_EQ(Part(other), "P1   ");
}

// A record held as text: part number, quantity, price and due date in fixed columns,
// described by a field dictionary and searched through an index dictionary.
class DictionaryFile : public EngineFile {
 protected:
  void SetUp() override {
    EngineFile::SetUp();
    TBtr& t = *tables_.emplace_back(std::make_unique<TBtr>());
    t.SetFileName(path_);
    t.SetRecordSize(kRecordSize);
    AddKey(t, 1, 5);   // key 0: part number
    AddKey(t, 18, 8);  // key 1: due date as YYYYMMDD text
    AddField(t, "PART", dictionary::ftSTRING, 0, 5);
    AddField(t, "QTY", dictionary::ftINTEGER, 5, 4);
    AddField(t, "PRICE", dictionary::ftFLOAT, 9, 8);
    AddField(t, "DUE", dictionary::ftDATE, 17, 8);
    AddIndex(t, "ByPart", 0);
    AddIndex(t, "ByDue", 1);
    t.CreateFile();
    table_ = &t;
  }
  static void AddKey(TBtr& t, int16_t position, int16_t length) {
    keys::TKey& key = t.Keys().Add();
    key.SetPosition(position);
    key.SetLength(length);
    key.SetKeyType(keys::ktString);
    key.SetAllowDuplicates(position != 1);
  }
  static void AddField(TBtr& t, const char* name, dictionary::TxFieldType type, int offset,
                       int size) {
    dictionary::TRecordItem& item = t.DDFFields().Add();
    item.SetFieldName(name);
    item.SetFieldType(type);
    item.SetFieldOffset(offset);
    item.SetFieldSize(size);
  }
  static void AddIndex(TBtr& t, const char* name, int key_number) {
    dictionary::TIndexItem& item = t.DDFIndexes().Add();
    item.SetIndexName(name);
    item.SetIndexKeyNum(key_number);
  }
  TField Field(const std::string& name) { return table_->Field(name); }
  void InsertPart(const std::string& part, int quantity, double price, double due) {
    table_->SetDataBufferText("");
    Field("PART").SetAsString(part);
    Field("QTY").SetAsInteger(quantity);
    Field("PRICE").SetAsFloat(price);
    Field("DUE").SetAsDate(due);
    table_->Insert();
  }
  TBtr* table_ = nullptr;
};

TEST_F(DictionaryFile, FieldsWrittenByNameAreFoundByIndexName) {
  const double jan_2 = dictionary::EncodeDate(2024, 1, 2);
  const double mar_1 = dictionary::EncodeDate(2024, 3, 1);
  InsertPart("P2", 20, 2.5, mar_1);
  InsertPart("P1", 10, 1.25, jan_2);
  InsertPart("P3", 30, 12, jan_2);
  TBtr& t = *table_;
  EXPECT_EQ(t.RecordCount(), 3u);

  ASSERT_TRUE(t.FindKey("ByPart", Variant("P2")));
  EXPECT_EQ(Field("QTY").AsInteger(), 20);
  EXPECT_DOUBLE_EQ(Field("PRICE").AsFloat(), 2.5);
  EXPECT_EQ(Field("DUE").AsDate(), mar_1);

  ASSERT_TRUE(t.Locate("ByDue", Variant::Date(jan_2)));
  EXPECT_EQ(Field("PART").AsString(), "P1") << "the first of two parts due that day";
  ASSERT_TRUE(t.LocateNext());
  EXPECT_EQ(Field("PART").AsString(), "P3");
  ASSERT_TRUE(t.LocateNext());
  EXPECT_EQ(Field("PART").AsString(), "P2");
  EXPECT_FALSE(t.LocateNext());

  ASSERT_TRUE(t.FindKey("ByPart", Variant("P3")));
  Field("PRICE").SetAsFloat(11.75);
  t.Post();
  t.SetDecimalSeparator(',');
  ASSERT_TRUE(t.FindKey("ByPart", Variant("P3")));
  EXPECT_EQ(Field("PRICE").AsString(), "11.75") << "stored with the separator of its write";
  t.SetDecimalSeparator('.');
  EXPECT_DOUBLE_EQ(Field("PRICE").AsFloat(), 11.75);
}

TEST_F(DictionaryFile, FieldByNameRefusesWhatItCannotKeepAndNamesTheField) {
  InsertPart("P1", 10, 1.25, dictionary::EncodeDate(2024, 1, 2));
  InsertPart("P2", 20, 2.5, dictionary::EncodeDate(2024, 3, 1));
  TBtr& t = *table_;
  auto error = [](const std::function<void()>& operation) -> std::string {
    try {
      operation();
    } catch (const vastrel::Exception& e) {
      return e.what();
    }
    return "";
  };

  EXPECT_EQ(error([&] { t.Field("QTYY"); }),
            "no field \"QTYY\" in the table's field definitions; the fields are PART, QTY, "
            "PRICE, DUE");

  // One lookup serves a whole walk; the name matches whatever its letter case.
  TField part = t.Field("part");
  std::string walked;
  try {
    for (t.First();; t.Next()) walked += part.AsString() + ";";
  } catch (const engine::Btrexception& e) {
    ASSERT_EQ(e.Status(), 9) << e.what();
  }
  EXPECT_EQ(walked, "P1;P2;");

  // A value longer than its field is refused, not cut into another part number or quantity,
  // and the record is left as it was.
  EXPECT_EQ(error([&] { part.SetAsString("P20000"); }),
            "Field \"PART\" holds 5 characters; the value \"P20000\" has 6");
  EXPECT_NE(error([&] { t.Field("QTY").SetAsInteger(123456); }).find("\"QTY\" holds 4"),
            std::string::npos);
  EXPECT_EQ(part.AsString(), "P2");
  EXPECT_EQ(t.Field("QTY").AsInteger(), 20);
  part.SetAsString("P3   ");  // trailing blanks, which a read drops anyway, are no loss

  // Errors of the conversions name the field too.
  t.Field("QTY").SetAsString("ab");
  EXPECT_EQ(error([&] { t.Field("QTY").AsInteger(); }),
            "Field \"QTY\": 'ab' is not a valid integer value");
  t.Close();
  EXPECT_EQ(error([&] { part.AsString(); }), "Field \"PART\": File not open.");
}

}  // namespace
}  // namespace vastrel::table
