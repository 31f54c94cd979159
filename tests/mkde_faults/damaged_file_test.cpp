// Damaged record files: what an open refuses before LMDB reads a page.
#include <lmdb.h>

#include <fstream>
#include <functional>

#include "mkde/crc32c.h"
#include "tests/mkde/engine_fixture.h"
#include "tests/mkde_faults/file_bytes.h"

namespace {

namespace fs = std::filesystem;
using mkde_test::Table;

constexpr uint16_t kLength = 40;
constexpr size_t kPage = 4096;

void Put64(std::string* b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) (*b)[at + i] = static_cast<char>(v >> (8 * i));
}
uint64_t Get64(const std::string& b, size_t at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[at + i]);
  return v;
}

class DamagedFile : public mkde_test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    path_ = Path("a.dat");
    ASSERT_EQ(mkde_test::CreateFile(path_, mkde_test::CreationBuffer(kLength, {{{1, 4, 0, 1}}})),
              0);
    Table t;
    ASSERT_EQ(t.Open(path_), 0);
    uint8_t none[128] = {};
    ASSERT_EQ(BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0), 0);
    for (int32_t id = 1; id <= 500; ++id) {
      std::string r(kLength, 'r');
      std::memcpy(r.data(), &id, 4);
      ASSERT_EQ(t.Insert(r), 0);
    }
    ASSERT_EQ(BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0), 0);
    ASSERT_EQ(t.Close(), 0);
    good_ = ReadAll(path_);
  }
  // Runs `edit` on the file's databases in one LMDB write transaction of its own, as
  // someone who changes the file behind the engine's back.
  void Raw(const std::function<void(MDB_txn*, MDB_dbi meta, MDB_dbi records, MDB_dbi key0)>& edit) {
    MDB_env* env;
    ASSERT_EQ(mdb_env_create(&env), 0);
    mdb_env_set_maxdbs(env, 8);
    ASSERT_EQ(mdb_env_open(env, path_.c_str(), MDB_NOSUBDIR, 0644), 0);
    MDB_txn* txn;
    MDB_dbi meta, records, key0;
    ASSERT_EQ(mdb_txn_begin(env, nullptr, 0, &txn), 0);
    ASSERT_EQ(mdb_dbi_open(txn, "meta", 0, &meta), 0);
    ASSERT_EQ(mdb_dbi_open(txn, "records", 0, &records), 0);
    ASSERT_EQ(mdb_dbi_open(txn, "key0", 0, &key0), 0);
    edit(txn, meta, records, key0);
    ASSERT_EQ(mdb_txn_commit(txn), 0);
    mdb_env_close(env);
  }
  static std::string Get(MDB_txn* txn, MDB_dbi dbi, const std::string& key) {
    MDB_val k{key.size(), const_cast<char*>(key.data())}, v;
    if (mdb_get(txn, dbi, &k, &v) != 0) return "";
    return std::string(static_cast<char*>(v.mv_data), v.mv_size);
  }
  static void Put(MDB_txn* txn, MDB_dbi dbi, const std::string& key, const std::string& value) {
    MDB_val k{key.size(), const_cast<char*>(key.data())};
    MDB_val v{value.size(), const_cast<char*>(value.data())};
    ASSERT_EQ(mdb_put(txn, dbi, &k, &v, 0), 0);
  }
  static std::string Position(uint32_t p) {
    return {static_cast<char>(p >> 24), static_cast<char>(p >> 16), static_cast<char>(p >> 8),
            static_cast<char>(p)};
  }
  static std::string Rec(int32_t id, char fill) {
    std::string r(kLength, fill);
    std::memcpy(r.data(), &id, 4);
    return r;
  }

  std::string path_;
  std::string good_;
};

TEST(RecordChecksum, IsCrc32c) {
  const std::string check = "123456789";
  EXPECT_EQ(mkde::Crc32cExtend(0, reinterpret_cast<const uint8_t*>(check.data()), check.size()),
            0xE3069283u);
  std::string text(1000, '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 131 + 7);
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  // Every length up to a few blocks of three lanes, so that each way a length splits into
  // blocks, words and bytes is compared, from offsets of every alignment.
  for (size_t n = 0; n <= 300; ++n) {
    ASSERT_EQ(mkde::Crc32cExtend(0, p + n % 8, n), mkde::Crc32cPortable(0, p + n % 8, n)) << n;
  }
  EXPECT_EQ(mkde::Crc32cExtend(0, p, 1000), mkde::Crc32cPortable(0, p, 1000));
  EXPECT_EQ(mkde::Crc32cExtend(mkde::Crc32cExtend(0, p, 333), p + 333, 667),
            mkde::Crc32cExtend(0, p, 1000));
  uint64_t word = 0;
  for (int i = 7; i >= 0; --i) word = (word << 8) | p[i];
  EXPECT_EQ(mkde::Crc32cAfterWord(word, p + 8, 100), mkde::Crc32cExtend(0, p, 108));
}

// Every byte of a stored record is covered: the change counter, the checksum and the record.
// A changed byte, a cut record or a record moved to another position answers 2, never other
// bytes.
TEST_F(DamagedFile, DamagedRecordsAnswerAStatus) {
  const std::string at = Position(7);
  std::string stored;
  Raw([&](MDB_txn* txn, MDB_dbi, MDB_dbi records, MDB_dbi) { stored = Get(txn, records, at); });
  ASSERT_EQ(stored.size(), 8u + kLength);
  auto expect_damaged = [&](const std::string& value) {
    Raw([&](MDB_txn* txn, MDB_dbi, MDB_dbi records, MDB_dbi) { Put(txn, records, at, value); });
    Table t;
    ASSERT_EQ(t.Open(path_), 0);
    EXPECT_EQ(t.Get(BTR_GET_EQUAL, 0, mkde_test::IdKey(7)), BTR_IO_ERROR);
    EXPECT_EQ(t.Direct(7), BTR_IO_ERROR);
  };
  for (size_t i = 0; i < stored.size(); ++i) {
    SCOPED_TRACE("byte " + std::to_string(i));
    std::string damaged = stored;
    damaged[i] ^= 0x10;
    expect_damaged(damaged);
  }
  expect_damaged(stored.substr(0, stored.size() - 1));
  expect_damaged(stored.substr(0, 3));
  std::string other;  // position 8's record, whole, under position 7
  Raw([&](MDB_txn* txn, MDB_dbi, MDB_dbi records, MDB_dbi) {
    other = Get(txn, records, Position(8));
  });
  expect_damaged(other);
  Raw([&](MDB_txn* txn, MDB_dbi, MDB_dbi records, MDB_dbi) { Put(txn, records, at, stored); });
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, mkde_test::IdKey(7)), 0);
  EXPECT_EQ(t.data, Rec(7, 'r'));
}

TEST_F(DamagedFile, AKeyEntryWithoutItsRecordAnswersAStatus) {
  Raw([&](MDB_txn* txn, MDB_dbi, MDB_dbi records, MDB_dbi) {
    std::string at = Position(7);
    MDB_val k{at.size(), at.data()};
    ASSERT_EQ(mdb_del(txn, records, &k, nullptr), 0);
  });
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  EXPECT_EQ(t.Get(BTR_GET_EQUAL, 0, mkde_test::IdKey(7)), BTR_IO_ERROR);
  EXPECT_EQ(t.Get(BTR_GET_EQUAL, 0, mkde_test::IdKey(8)), 0);
}

// A file of the first format (records without a checksum) is read, and written in its own
// format.
TEST_F(DamagedFile, FilesOfTheFirstFormatAreReadAndWrittenInTheirFormat) {
  Raw([&](MDB_txn* txn, MDB_dbi meta, MDB_dbi records, MDB_dbi) {
    Put(txn, meta, "format", "vastrel record file 1");
    MDB_cursor* c;
    ASSERT_EQ(mdb_cursor_open(txn, records, &c), 0);
    std::vector<std::pair<std::string, std::string>> all;
    MDB_val k, v;
    for (int rc = mdb_cursor_get(c, &k, &v, MDB_FIRST); rc == 0;
         rc = mdb_cursor_get(c, &k, &v, MDB_NEXT)) {
      std::string value(static_cast<char*>(v.mv_data), v.mv_size);
      all.emplace_back(std::string(static_cast<char*>(k.mv_data), k.mv_size),
                       value.substr(0, 4) + value.substr(8));  // the checksum taken out
    }
    mdb_cursor_close(c);
    for (const auto& [key, value] : all) Put(txn, records, key, value);
  });
  {
    Table t;
    ASSERT_EQ(t.Open(path_), 0);
    ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, mkde_test::IdKey(7)), 0);
    EXPECT_EQ(t.data, Rec(7, 'r'));
    EXPECT_EQ(t.Update(Rec(7, 'u')), 0);
    EXPECT_EQ(t.Insert(Rec(1000, 'n')), 0);
  }
  Raw([&](MDB_txn* txn, MDB_dbi meta, MDB_dbi records, MDB_dbi) {
    EXPECT_EQ(Get(txn, meta, "format"), "vastrel record file 1");
    EXPECT_EQ(Get(txn, records, Position(7)).substr(4), Rec(7, 'u'));
    EXPECT_EQ(Get(txn, records, Position(501)).substr(4), Rec(1000, 'n'));
  });
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, mkde_test::IdKey(1000)), 0);
  EXPECT_EQ(t.data, Rec(1000, 'n'));
}

// Offsets inside an LMDB meta page (after its 16-byte page header): the main tree's root,
// the last page in use, the transaction id.
constexpr size_t kMainRoot = 88 + 40;
constexpr size_t kLastPage = 136;
constexpr size_t kTxnId = 144;

TEST_F(DamagedFile, DamagedOrTruncatedFilesAreRefusedAtOpen) {
  struct Case {
    const char* name;
    std::function<void(std::string*)> damage;
  };
  const Case cases[] = {
      {"truncated to half", [](std::string* b) { b->resize(b->size() / 2); }},
      {"truncated by a page", [](std::string* b) { b->resize(b->size() - kPage); }},
      {"one page left", [](std::string* b) { b->resize(kPage); }},
      {"meta pages swapped",
       [](std::string* b) {
         std::string first = b->substr(0, kPage);
         b->replace(0, kPage, b->substr(kPage, kPage));
         b->replace(kPage, kPage, first);
       }},
      {"last page past the end", [](std::string* b) { Put64(b, kPage + kLastPage, 1u << 30); }},
      {"root past the last page",
       [](std::string* b) { Put64(b, kMainRoot, Get64(*b, kLastPage) + 1); }},
      {"transaction ids apart", [](std::string* b) { Put64(b, kTxnId, Get64(*b, kTxnId) + 8); }},
      {"page number of meta 1", [](std::string* b) { Put64(b, kPage, 7); }},
      {"page size", [](std::string* b) { (*b)[kPage + 40] = 3; }},
      {"magic of meta 1", [](std::string* b) { (*b)[kPage + 16] ^= 0x40; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = good_;
    c.damage(&bytes);
    WriteAll(path_, bytes);
    Table t;
    EXPECT_EQ(t.Open(path_), BTR_IO_ERROR);
  }
  WriteAll(path_, good_);
  Table t;
  EXPECT_EQ(t.Open(path_), 0);
}

}  // namespace
