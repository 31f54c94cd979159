// Owner names: what each level lets an open with, without, or with a wrong name do; that
// encrypted records never reach the file in the clear; that a damaged sealed record
// answers a status rather than bytes.
#include <lmdb.h>

#include <fstream>
#include <iterator>

#include "tests/mkde/engine_fixture.h"

namespace mkde_test {
namespace {

constexpr uint16_t kLen = 32;
const char kMarker[] = "MARKER-7f3a9c";
const char kEarly[] = "EARLY-5d21e8";  // written before the owner was set

std::string Rec(int32_t id, const char* text) { return Record(kLen, id, text); }

class Owner : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    path_ = Path("owned.dat");
    ASSERT_EQ(CreateFile(path_, CreationBuffer(kLen, {{{1, 4, 0, 1}}})), 0);
  }
  int16_t OpenWith(Table& t, const std::string& name) { return t.Open(path_, 0, name); }
  int16_t SetOwner(Table& t, const std::string& name, int8_t level) {
    std::string key = name + '\0';
    std::string data = key;
    data.resize(101, '\0');
    return t.Do(BTR_SET_OWNER, &data, &key, level);
  }
  int16_t ClearOwner(Table& t) {
    std::string data(101, '\0');
    return t.Do(BTR_CLEAR_OWNER, &data, nullptr, 0);
  }
  bool RawContains(const std::string& needle) {
    std::ifstream in(path_, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return bytes.find(needle) != std::string::npos;
  }
  std::string path_;
};

TEST_F(Owner, LevelByOpenMatrix) {
  for (int8_t level = 0; level <= 3; ++level) {
    SCOPED_TRACE("level " + std::to_string(level));
    ASSERT_EQ(CreateFile(path_, CreationBuffer(kLen, {{{1, 4, 0, 1}}})), 0);
    {
      Table t;
      ASSERT_EQ(t.Open(path_), 0);
      ASSERT_EQ(t.Insert(Rec(1, kEarly)), 0);
      for (int i = 10; i < 40; ++i) ASSERT_EQ(t.Insert(Rec(i, kEarly)), 0);
      ASSERT_EQ(SetOwner(t, "Secret1", level), 0);
      EXPECT_EQ(SetOwner(t, "Other", level), BTR_OWNER_SET);
      ASSERT_EQ(t.Insert(Rec(2, kMarker)), 0) << "the setter goes on with full access";
    }
    bool reads_without = level == 1 || level == 3;
    for (const char* name : {"", "wrong", "secret1", "Secret12"}) {
      SCOPED_TRACE(std::string("name '") + name + "'");
      Table t;
      int16_t s = OpenWith(t, name);
      if (!reads_without) {
        EXPECT_EQ(s, BTR_INVALID_OWNER);
        continue;
      }
      ASSERT_EQ(s, 0);
      ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(2)), 0);
      EXPECT_EQ(t.data, Rec(2, kMarker));
      EXPECT_EQ(t.Insert(Rec(3, "x")), BTR_ACCESS_DENIED);
      EXPECT_EQ(t.Update(Rec(2, "y")), BTR_ACCESS_DENIED);
      EXPECT_EQ(t.Delete(), BTR_ACCESS_DENIED);
      EXPECT_EQ(ClearOwner(t), BTR_ACCESS_DENIED);
    }
    Table t;
    ASSERT_EQ(OpenWith(t, "Secret1"), 0);
    ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(1)), 0);
    EXPECT_EQ(t.data, Rec(1, kEarly));
    ASSERT_EQ(t.Insert(Rec(3, "with the name")), 0);
    t.Close();
    EXPECT_EQ(RawContains(kMarker), level < 2) << "encrypted levels keep records sealed";
    EXPECT_EQ(RawContains(kEarly), level < 2) << "no plain copy left from before the owner";
  }
}

TEST_F(Owner, ClearOwnerAndTransactions) {
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  ASSERT_EQ(t.Insert(Rec(1, "one")), 0);
  EXPECT_EQ(SetOwner(t, "", 0), BTR_INVALID_OWNER);
  EXPECT_EQ(SetOwner(t, "name", 4), BTR_INVALID_KEY_NUMBER);
  {
    Table other;
    ASSERT_EQ(other.Open(path_), 0);
    EXPECT_EQ(SetOwner(t, "name", 2), BTR_FILE_IN_USE) << "the file must be open once";
  }
  uint8_t pos[128] = {};
  ASSERT_EQ(Call(BTR_BEGIN_TRANSACTION, pos, nullptr, nullptr, 0), 0);
  EXPECT_EQ(SetOwner(t, "name", 2), BTR_OPERATION_NOT_ALLOWED);
  EXPECT_EQ(ClearOwner(t), BTR_OPERATION_NOT_ALLOWED);
  ASSERT_EQ(Call(BTR_END_TRANSACTION, pos, nullptr, nullptr, 0), 0);
  // A transaction over two files keeps its redo slots until its logs are synced: an
  // encrypting owner change right after it finishes them rather than answering 85.
  const std::string second_path = Path("second.dat");
  ASSERT_EQ(CreateFile(second_path, CreationBuffer(kLen, {{{1, 4, 0, 1}}})), 0);
  Table second;
  ASSERT_EQ(second.Open(second_path), 0);
  ASSERT_EQ(Call(BTR_BEGIN_TRANSACTION, pos, nullptr, nullptr, 0), 0);
  ASSERT_EQ(t.Insert(Rec(3, "three")), 0);
  ASSERT_EQ(second.Insert(Rec(3, "three")), 0);
  ASSERT_EQ(Call(BTR_END_TRANSACTION, pos, nullptr, nullptr, 0), 0);
  ASSERT_EQ(SetOwner(t, "name", 2), 0);
  ASSERT_EQ(ClearOwner(t), 0);
  ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(1)), 0);
  EXPECT_EQ(t.data, Rec(1, "one"));
  t.Close();
  ASSERT_EQ(OpenWith(t, ""), 0) << "no owner any more";
  ASSERT_EQ(t.Insert(Rec(2, kMarker)), 0);
  t.Close();
  EXPECT_TRUE(RawContains(kMarker));
}

// Every byte of a stored sealed record is covered (the change counter and the seal by the
// record's checksum, the seal by its own tag too): changing any of them gives status 2,
// never other bytes.
TEST_F(Owner, DamagedSealedRecordsAnswerAStatus) {
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  ASSERT_EQ(SetOwner(t, "name", 2), 0);
  ASSERT_EQ(t.Insert(Rec(1, kMarker)), 0);
  t.Close();
  auto with_record = [&](auto edit) {
    MDB_env* env;
    ASSERT_EQ(mdb_env_create(&env), 0);
    mdb_env_set_maxdbs(env, 8);
    ASSERT_EQ(mdb_env_open(env, path_.c_str(), MDB_NOSUBDIR, 0644), 0);
    MDB_txn* txn;
    MDB_dbi dbi;
    ASSERT_EQ(mdb_txn_begin(env, nullptr, 0, &txn), 0);
    ASSERT_EQ(mdb_dbi_open(txn, "records", 0, &dbi), 0);
    uint8_t key[4] = {0, 0, 0, 1};
    MDB_val k{4, key}, v;
    ASSERT_EQ(mdb_get(txn, dbi, &k, &v), 0);
    std::string value(static_cast<char*>(v.mv_data), v.mv_size);
    edit(&value);
    v = MDB_val{value.size(), value.data()};
    ASSERT_EQ(mdb_put(txn, dbi, &k, &v, 0), 0);
    ASSERT_EQ(mdb_txn_commit(txn), 0);
    mdb_env_close(env);
  };
  size_t size = 0;
  with_record([&](std::string* v) { size = v->size(); });
  ASSERT_EQ(size, 8 + 1 + 24 + kLen + 16u);
  for (size_t i = 0; i < size; ++i) {
    SCOPED_TRACE("byte " + std::to_string(i));
    with_record([&](std::string* v) { (*v)[i] ^= 0x01; });
    ASSERT_EQ(OpenWith(t, "name"), 0);
    EXPECT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(1)), BTR_IO_ERROR);
    EXPECT_EQ(t.Step(BTR_STEP_FIRST), BTR_IO_ERROR);
    t.Close();
    with_record([&](std::string* v) { (*v)[i] ^= 0x01; });
  }
  char last = 0;
  with_record([&](std::string* v) {
    last = v->back();
    v->pop_back();
  });
  ASSERT_EQ(OpenWith(t, "name"), 0);
  EXPECT_EQ(t.Step(BTR_STEP_FIRST), BTR_IO_ERROR) << "a cut record";
  t.Close();
  with_record([&](std::string* v) { *v += last; });
  ASSERT_EQ(OpenWith(t, "name"), 0);
  ASSERT_EQ(t.Step(BTR_STEP_FIRST), 0) << "restored";
  EXPECT_EQ(t.data, Rec(1, kMarker));
}

}  // namespace
}  // namespace mkde_test
