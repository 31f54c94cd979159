// The dictionary item file: record layout, overwrite and merge, loading by ID, corrupt
// records and I/O failures.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dictionary/btrdictlist.h"
#include "dictionary/item_file.h"
#include "platform/error.h"
#include "tests/dictionary/fake_host.h"

namespace vastrel::dictionary {
namespace {

namespace fs = std::filesystem;
using testing::ExpectError;
using testing::FakeHost;

class ItemFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("vastrel-itemfile-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path = (dir_ / "dict.ddf").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  void Fields(std::initializer_list<const char*> names) {
    fields.Clear();
    for (const char* n : names) fields.Add().SetFieldName(n);
  }
  void Indexes(std::initializer_list<const char*> names) {
    indexes.Clear();
    int key = 0;
    for (const char* n : names) {
      TIndexItem& i = indexes.Add();
      i.SetIndexName(n);
      i.SetIndexKeyNum(key++);
    }
  }
  std::vector<uint8_t> Bytes() const {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  void WriteBytes(const std::vector<uint8_t>& bytes) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  // "ID/name/kind" of every record in file order.
  std::vector<std::string> Records() const {
    std::vector<std::string> out;
    for (const ItemRecord& r : DecodeItemFile(Bytes(), path)) {
      out.push_back(r.id + "/" + r.name + "/" + std::to_string(r.kind));
    }
    return out;
  }
  std::string FieldNames() const {
    std::string out;
    for (int i = 0; i < fields.Count(); ++i) out += (i ? "," : "") + fields[i].FieldName();
    return out;
  }

  fs::path dir_;
  std::string path;
  FakeHost host;
  TRecordItems fields{host};
  TIndexItems indexes{host};
};

using Rec = std::vector<std::string>;

TEST_F(ItemFile, FieldRecordLayoutByteForByte) {
  fields.Add();
  fields[0].SetFieldName("NAME");
  fields[0].SetFieldType(ftDATE);
  fields[0].SetFieldOffset(0x01020304);
  fields[0].SetFieldSize(-2);
  fields.SaveItems(path, true, false, "CUST");
  std::vector<uint8_t> want(50, 0);
  want[0] = 4;
  std::copy_n("CUST", 4, want.begin() + 1);
  want[11] = 4;
  std::copy_n("NAME", 4, want.begin() + 12);
  want[37] = ftDATE;
  const uint8_t offset[] = {0x04, 0x03, 0x02, 0x01}, size[] = {0xFE, 0xFF, 0xFF, 0xFF};
  std::copy_n(offset, 4, want.begin() + 38);
  std::copy_n(size, 4, want.begin() + 42);
  EXPECT_EQ(Bytes(), want);

  Indexes({"BYNAME"});
  indexes[0].SetIndexKeyNum(-1);
  indexes.SaveItems(path, true, false, "CUST");
  const std::vector<uint8_t> got = Bytes();
  ASSERT_EQ(got.size(), 50u);
  EXPECT_EQ(got[11], 6);
  EXPECT_EQ(std::vector<uint8_t>(got.begin() + 38, got.begin() + 42),
            (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(std::vector<uint8_t>(got.begin() + 46, got.end()), (std::vector<uint8_t>{1, 0, 0, 0}));
}

TEST_F(ItemFile, SaveWritesOneRecordPerDefinitionInListOrder) {
  Fields({"A", "B", "C"});
  fields.SaveItems(path, true, false, "CUST");
  EXPECT_EQ(Bytes().size(), 150u);
  EXPECT_EQ(Records(), (Rec{"CUST/A/0", "CUST/B/0", "CUST/C/0"}));
}

TEST_F(ItemFile, ExistingFileWithoutOverwriteIsLeftAlone) {
  Fields({"A"});
  fields.SaveItems(path, true, false, "CUST");
  const std::vector<uint8_t> before = Bytes();
  Fields({"X", "Y"});
  fields.SaveItems(path, false, false, "CUST");
  fields.SaveItems(path, false, true, "CUST");
  EXPECT_EQ(Bytes(), before);
}

TEST_F(ItemFile, OverwriteWithoutAppendDropsEveryOtherDictionary) {
  Fields({"A", "B"});
  fields.SaveItems(path, true, false, "CUST");
  Indexes({"I1"});
  indexes.SaveItems(path, true, false, "CUST");
  EXPECT_EQ(Records(), (Rec{"CUST/I1/1"}));
  indexes.Clear();
  indexes.SaveItems(path, true, false, "CUST");
  EXPECT_EQ(Bytes().size(), 0u);
}

TEST_F(ItemFile, AppendMergesByIdNameAndKind) {
  Fields({"A", "B"});
  fields.SaveItems(path, true, false, "CUST");
  Indexes({"I1"});
  indexes.SaveItems(path, true, true, "CUST");
  Fields({"X"});
  fields.SaveItems(path, true, true, "ORDERS");
  // Rename B to C, change A's size, and save again: A is replaced in place, C appended,
  // B survives under its old name.
  Fields({"a", "C"});
  fields[0].SetFieldSize(9);
  fields.SaveItems(path, true, true, "cust");
  EXPECT_EQ(Records(), (Rec{"cust/a/0", "CUST/B/0", "CUST/I1/1", "ORDERS/X/0", "cust/C/0"}));
  fields.LoadItems(path, "CUST");
  EXPECT_EQ(FieldNames(), "a,B,C");
  EXPECT_EQ(fields[0].FieldSize(), 9);
}

TEST_F(ItemFile, AppendWithEmptyListLeavesTheFileUnchanged) {
  Fields({"A"});
  fields.SaveItems(path, true, false, "CUST");
  const std::vector<uint8_t> before = Bytes();
  fields.Clear();
  fields.SaveItems(path, true, true, "CUST");
  EXPECT_EQ(Bytes(), before);
}

TEST_F(ItemFile, AppendFoldsNamesEqualWithoutCaseLaterWins) {
  Fields({"Name", "NAME", "Other"});
  fields[1].SetFieldSize(7);
  fields.SaveItems(path, true, true, "CUST");  // no file yet: merging among themselves
  EXPECT_EQ(Records(), (Rec{"CUST/NAME/0", "CUST/Other/0"}));
  fields.SaveItems(path, true, false, "CUST");  // without append both are written
  EXPECT_EQ(Records().size(), 3u);
}

TEST_F(ItemFile, NamesAgreeingInTheirFirst25CharactersShareARecord) {
  const std::string base(25, 'N');
  Fields({"x"});
  fields[0].SetFieldName(base + "ONE");
  fields.Add().SetFieldName(base + "TWO");
  fields.SaveItems(path, true, true, "CUST");
  ASSERT_EQ(Records(), (Rec{"CUST/" + base + "/0"}));
  fields.LoadItems(path, "CUST");
  EXPECT_EQ(fields[0].FieldName(), base) << "a 28-character name loads as its first 25";
}

TEST_F(ItemFile, LongIdIsCutOnSaveAndComparedWholeOnLoad) {
  Fields({"A"});
  fields.SaveItems(path, true, false, "ABCDEFGHIJKLM");
  EXPECT_EQ(Records(), (Rec{"ABCDEFGHIJ/A/0"}));
  fields.LoadItems(path, "ABCDEFGHIJKLM");
  EXPECT_EQ(fields.Count(), 0);
  fields.LoadItems(path, "abcdefghij");
  EXPECT_EQ(FieldNames(), "A");
}

TEST_F(ItemFile, LoadTakesOwnKindAndIdInFileOrderWithValues) {
  Fields({"A", "B"});
  fields[1].SetFieldType(ftFLOAT);
  fields[1].SetFieldOffset(3);
  fields[1].SetFieldSize(8);
  fields.SaveItems(path, true, false, "CUST");
  Indexes({"I1", "I2"});
  indexes[1].SetIndexKeyNum(-1);
  indexes.SaveItems(path, true, true, "CUST");
  Fields({"Z"});
  fields.SaveItems(path, true, true, "OTHER");

  fields.LoadItems(path, "cust");
  ASSERT_EQ(FieldNames(), "A,B");
  EXPECT_EQ(fields[1].FieldType(), ftFLOAT);
  EXPECT_EQ(fields[1].FieldOffset(), 3);
  EXPECT_EQ(fields[1].FieldSize(), 8);
  indexes.Clear();
  indexes.LoadItems(path, "Cust");
  ASSERT_EQ(indexes.Count(), 2);
  EXPECT_EQ(indexes[0].IndexKeyNum(), 0);
  EXPECT_EQ(indexes[1].IndexName(), "I2");
  EXPECT_EQ(indexes[1].IndexKeyNum(), -1);
}

TEST_F(ItemFile, MissingFileLeavesListAloneUnknownIdEmptiesIt) {
  Fields({"KEEP"});
  fields.LoadItems((dir_ / "none.ddf").string(), "CUST");
  EXPECT_EQ(FieldNames(), "KEEP");
  fields.SaveItems(path, true, false, "CUST");
  fields.LoadItems(path, "NOPE");
  EXPECT_EQ(fields.Count(), 0);
}

// The name is single-byte text like every name of the component; on disk it is UTF-8, the
// name every other program uses for the same file.
TEST_F(ItemFile, ANameBeyondAsciiNamesTheFileInUtf8) {
  Fields({"A"});
  fields.SaveItems((dir_ / "caf\xE9.ddf").string(), true, false, "CUST");
  EXPECT_TRUE(fs::exists(dir_ / "caf\xC3\xA9.ddf"));
  EXPECT_FALSE(fs::exists(dir_ / "caf\xE9.ddf"));
  fields.Clear();
  fields.LoadItems((dir_ / "caf\xE9.ddf").string(), "CUST");
  EXPECT_EQ(FieldNames(), "A");
}

TEST_F(ItemFile, PartialTrailingPieceIsNeverRead) {
  Fields({"A"});
  fields.SaveItems(path, true, false, "CUST");
  std::vector<uint8_t> bytes = Bytes();
  bytes.insert(bytes.end(), 30, 0xEE);  // a stray tail, with an impossible length byte
  WriteBytes(bytes);
  fields.LoadItems(path, "CUST");
  EXPECT_EQ(FieldNames(), "A");
  EXPECT_EQ(ListItemIDs(path), (std::vector<std::string>{"CUST"}));
  // Appending writes the new record over the tail, on a record boundary.
  Fields({"B"});
  fields.SaveItems(path, true, true, "CUST");
  EXPECT_EQ(Bytes().size(), 100u);
  EXPECT_EQ(Records(), (Rec{"CUST/A/0", "CUST/B/0"}));
}

TEST_F(ItemFile, CorruptLengthByteIsReportedWithItsRecordAndNothingChanges) {
  Fields({"A", "B", "C"});
  fields.SaveItems(path, true, false, "CUST");
  std::vector<uint8_t> bytes = Bytes();
  bytes[2 * 50 + 11] = 26;  // third record's name length
  WriteBytes(bytes);
  const std::string message =
      "Dictionary file \"" + path + "\" is corrupt: record 3 has a name length of 26, more than 25";
  Fields({"KEEP"});
  ExpectError([&] { fields.LoadItems(path, "CUST"); }, message);
  EXPECT_EQ(FieldNames(), "KEEP");
  ExpectError([&] { ListItemIDs(path); }, message);
  ExpectError([&] { fields.SaveItems(path, true, true, "CUST"); }, message);
  EXPECT_EQ(Bytes(), bytes) << "a merge into a corrupt file writes nothing";
  bytes[50] = 200;  // second record's ID length
  WriteBytes(bytes);
  ExpectError([&] { fields.LoadItems(path, "CUST"); },
              "Dictionary file \"" + path +
                  "\" is corrupt: record 2 has an ID length of 200, more than 10");
}

TEST_F(ItemFile, IdListingOnceEachWithoutCaseInFirstForm) {
  Fields({"A"});
  fields.SaveItems(path, true, false, "CUST");
  Indexes({"I"});
  indexes.SaveItems(path, true, true, "ORDERS");
  Fields({"B"});
  fields.SaveItems(path, true, true, "cust");
  EXPECT_EQ(ListItemIDs(path), (std::vector<std::string>{"CUST", "ORDERS"}));
  EXPECT_TRUE(ListItemIDs((dir_ / "none.ddf").string()).empty());
}

TEST_F(ItemFile, IoFailuresCarryTheSystemTexts) {
  Fields({"A"});
  const std::string in_missing_dir = (dir_ / "no" / "such" / "dict.ddf").string();
  ExpectError([&] { fields.SaveItems(in_missing_dir, true, false, "X"); }, "File not found");
  ExpectError([&] { fields.SaveItems(dir_.string(), true, false, "X"); }, "File access denied");
  ExpectError([&] { fields.SaveItems("", true, false, "X"); }, "Invalid filename");
  ExpectError([&] { fields.SaveItems((dir_ / std::string(300, 'n')).string(), true, false, "X"); },
              "Invalid filename");
  fields.SaveItems(path, true, false, "X");
  ExpectError([&] { fields.SaveItems(path + "/below", true, false, "X"); }, "I/O error 20");
  ExpectError([&] { fields.SaveItems("/dev/full", true, false, "X"); }, "Disk full");
  // A directory is no dictionary file: loading from it does nothing.
  fields.LoadItems(dir_.string(), "X");
  EXPECT_EQ(FieldNames(), "A");
}

// An item file from outside may be huge or never end (a device): past the limit it is
// refused, naming it, and no list changes.
TEST_F(ItemFile, AFileLargerThanTheLimitIsRefused) {
  Fields({"A"});
  fields.SaveItems(path, true, false, "X");
  fs::resize_file(path, kMaxItemFileSize + kItemRecordSize);
  const std::string too_large =
      "Dictionary file \"" + path + "\" is too large: more than 16777216 bytes";
  ExpectError([&] { fields.LoadItems(path, "X"); }, too_large);
  ExpectError([&] { fields.SaveItems(path, true, true, "X"); }, too_large);
  EXPECT_EQ(FieldNames(), "A");
}

TEST(ItemFileErrors, SystemErrorNumbersMapToTheIoTexts) {
  const std::pair<int, const char*> cases[] = {
      {ENOENT, "File not found"},      {ENAMETOOLONG, "Invalid filename"},
      {EMFILE, "Too many open files"}, {ENFILE, "Too many open files"},
      {EACCES, "File access denied"},  {EROFS, "File access denied"},
      {EISDIR, "File access denied"},  {ENOSPC, "Disk full"},
      {EDQUOT, "Disk full"},           {EIO, "I/O error 5"},
      {ENOTDIR, "I/O error 20"},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(IoErrorText(error), text) << error;
}

TEST(ItemRecordCodec, DecodeReadsOnlyItsSlots) {
  ItemRecord r{"ID", "NAME", 3, 5, 6, kFieldRecordKind};
  ItemRecordBytes bytes = EncodeItemRecord(r);
  // Bytes after a text's length carry no meaning.
  bytes[1 + 5] = 'Q';
  bytes[12 + 20] = 'Q';
  ItemRecord back;
  std::string reason;
  ASSERT_TRUE(DecodeItemRecord(bytes, &back, &reason));
  EXPECT_EQ(back, r);
  // Full slots decode to their full width and no further.
  ItemRecord full{std::string(10, 'i'), std::string(25, 'n'), 0, 0, 0, kIndexRecordKind};
  ASSERT_TRUE(DecodeItemRecord(EncodeItemRecord(full), &back, &reason));
  EXPECT_EQ(back, full);
}

}  // namespace
}  // namespace vastrel::dictionary
