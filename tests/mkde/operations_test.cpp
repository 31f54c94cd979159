// Each operation's statuses, as a caller meets them.
#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>

#include "mkde/file_env.h"
#include "tests/mkde/engine_fixture.h"

namespace mkde_test {
namespace {

constexpr uint16_t kLen = 20;

// id (integer, unique), name (string, duplicates, modifiable, case-insensitive),
// serial (autoincrement, unique).
std::string Schema() {
  return CreationBuffer(kLen,
                        {{{1, 4, 0, 1}}, {{5, 10, 0x0001 | 0x0002 | 0x0400, 0}}, {{15, 4, 0, 15}}});
}

std::string Rec(int32_t id, const std::string& name, int32_t serial = 0) {
  std::string r(kLen, '\0');
  std::memcpy(r.data(), &id, 4);
  std::memcpy(r.data() + 4, name.data(), std::min<size_t>(name.size(), 10));
  std::memcpy(r.data() + 14, &serial, 4);
  return r;
}

class Operations : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    path_ = Path("parts.dat");
    ASSERT_EQ(CreateFile(path_, Schema()), 0);
  }
  void Fill(Table& t, int n) {
    // Names n0, n1, n2 (spelled out: GCC 12 at -O3 warns falsely on "n" + std::to_string).
    static const char* const kNames[] = {"n0", "n1", "n2"};
    for (int i = 1; i <= n; ++i) ASSERT_EQ(t.Insert(Rec(i * 10, kNames[i % 3])), 0);
  }
  std::string path_;
};

TEST_F(Operations, CreateRefusesOrReplaces) {
  EXPECT_EQ(CreateFile(path_, Schema(), -1), BTR_FILE_EXISTS);
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  EXPECT_EQ(CreateFile(path_, Schema(), 0), BTR_FILE_IN_USE) << "replacing an open file";
  ASSERT_EQ(t.Insert(Rec(1, "a")), 0);
  t.Close();
  EXPECT_EQ(CreateFile(path_, Schema(), 0), 0);
  ASSERT_EQ(t.Open(path_), 0);
  EXPECT_EQ(t.Get(BTR_GET_FIRST, 0), BTR_END_OF_FILE) << "the replaced file starts empty";
}

TEST_F(Operations, CreateChecksItsBuffer) {
  std::string b = Schema();
  EXPECT_EQ(CreateFile(Path("short"), b.substr(0, 20)), BTR_DATA_LENGTH);
  std::string page = b;
  PutU16(&page, 2, 1000);
  EXPECT_EQ(CreateFile(Path("page"), page), BTR_PAGE_SIZE);
  EXPECT_EQ(CreateFile(Path("reclen"), CreationBuffer(0, {})), BTR_RECORD_LENGTH);
  EXPECT_EQ(CreateFile(Path("keypos"), CreationBuffer(8, {{{0, 4, 0, 1}}})), BTR_KEY_POSITION);
  EXPECT_EQ(CreateFile(Path("keylen"), CreationBuffer(8, {{{1, 3, 0, 1}}})), BTR_KEY_LENGTH);
  EXPECT_EQ(CreateFile(Path("keytype"), CreationBuffer(8, {{{1, 4, 0, 12}}})), BTR_KEY_TYPE);
  EXPECT_EQ(CreateFile(Path("nodir/x"), Schema()), BTR_CANNOT_CREATE);
  std::string no_nul = "abc";
  std::string data = Schema();
  uint8_t pos[128] = {};
  EXPECT_EQ(Call(BTR_CREATE, pos, &data, &no_nul, 0), BTR_INVALID_FILE_NAME);
  EXPECT_FALSE(std::filesystem::exists(Path("page"))) << "a refused creation leaves nothing";
}

TEST_F(Operations, OpenStatuses) {
  Table t;
  EXPECT_EQ(t.Open(Path("missing")), BTR_FILE_NOT_FOUND);
  EXPECT_EQ(t.Open(dir_), BTR_INVALID_FILE_NAME);
  EXPECT_EQ(t.Open(""), BTR_INVALID_FILE_NAME);
  EXPECT_EQ(t.Open(path_, 5), BTR_INVALID_FUNCTION);
  std::ofstream(Path("text.txt")) << "not a record file, but long enough to hold a header....";
  EXPECT_EQ(t.Open(Path("text.txt")), BTR_NOT_A_FILE);
  std::ofstream(Path("empty.dat")).flush();
  EXPECT_EQ(t.Open(Path("empty.dat")), BTR_NOT_A_FILE);
  EXPECT_EQ(std::filesystem::file_size(Path("empty.dat")), 0u)
      << "a foreign file is left as it was";
  EXPECT_FALSE(std::filesystem::exists(Path("empty.dat-lock")));
  {
    // An LMDB file of someone else's: refused, and nothing of ours is left beside it.
    MDB_env* env = nullptr;
    ASSERT_EQ(mdb_env_create(&env), 0);
    ASSERT_EQ(mdb_env_open(env, Path("other.mdb").c_str(), MDB_NOSUBDIR, 0644), 0);
    mdb_env_close(env);
  }
  EXPECT_EQ(t.Open(Path("other.mdb")), BTR_NOT_A_FILE);
  EXPECT_FALSE(std::filesystem::exists(Path("other.mdb-gate")));
  std::string key = path_;  // no NUL within the key length
  std::string data(101, '\0');
  EXPECT_EQ(t.Do(BTR_OPEN, &data, &key, 0), BTR_INVALID_FILE_NAME);
  for (int8_t mode : {0, -1, -2, -3, -32, -64}) {
    EXPECT_EQ(t.Open(path_, mode), 0) << int(mode);
    t.Close();
  }
}

TEST_F(Operations, ExclusiveOpenKeepsOthersOut) {
  uint8_t other[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'B', '2', 0, 0};
  Table a, b(other);
  ASSERT_EQ(a.Open(path_, -4), 0);
  EXPECT_EQ(b.Open(path_), BTR_INCOMPATIBLE_MODE);
  a.Close();
  ASSERT_EQ(b.Open(path_), 0);
  EXPECT_EQ(a.Open(path_, -4), BTR_INCOMPATIBLE_MODE);
}

TEST_F(Operations, InsertStatuses) {
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  EXPECT_EQ(t.Insert(Rec(1, "a").substr(0, kLen - 1)), BTR_DATA_LENGTH);
  ASSERT_EQ(t.Insert(Rec(1, "a")), 0);
  EXPECT_EQ(t.Insert(Rec(1, "b")), BTR_DUPLICATE_KEY);
  EXPECT_EQ(t.Insert(Rec(2, "b"), 3), BTR_INVALID_KEY_NUMBER);
  std::string rec = Rec(3, "c"), short_key(2, '\0');
  EXPECT_EQ(t.Do(BTR_INSERT, &rec, &short_key, 1), BTR_KEY_BUFFER_SHORT);
  EXPECT_EQ(t.Do(BTR_INSERT + 100, &rec, &short_key, 0), BTR_INVALID_FUNCTION);
  // A longer buffer keeps the fixed length; the key buffer gets the key path's value.
  ASSERT_EQ(t.Insert(Rec(4, "Dd") + "tail bytes", 1), 0);
  EXPECT_EQ(t.key_buf.substr(0, 10), std::string("Dd") + std::string(8, '\0'));
  ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(4)), 0);
  EXPECT_EQ(t.data, Rec(4, "Dd", 2));
  Table ro;
  ASSERT_EQ(ro.Open(path_, -2), 0);
  EXPECT_EQ(ro.Insert(Rec(9, "r")), BTR_ACCESS_DENIED);
  ASSERT_EQ(ro.Get(BTR_GET_FIRST, 0), 0);
  EXPECT_EQ(ro.Update(Rec(1, "x")), BTR_ACCESS_DENIED);
  EXPECT_EQ(ro.Delete(), BTR_ACCESS_DENIED);
}

TEST_F(Operations, VerifyModeWritesAsNormal) {
  Table t;
  ASSERT_EQ(t.Open(path_, -3), 0);
  ASSERT_EQ(t.Insert(Rec(1, "a")), 0);
  std::string rec = t.data;
  rec[4] = 'b';
  ASSERT_EQ(t.Update(rec, 1), 0);
  ASSERT_EQ(t.Get(BTR_GET_EQUAL, 1, "b"), 0);
  EXPECT_EQ(t.data, rec);
  ASSERT_EQ(t.Delete(), 0);
}

TEST_F(Operations, AutoincrementAssignsAndNeverReuses) {
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  ASSERT_EQ(t.Insert(Rec(1, "a")), 0);
  EXPECT_EQ(GetU32(t.data, 14), 1u) << "the assigned value comes back in the record";
  ASSERT_EQ(t.Insert(Rec(2, "b", 40)), 0);
  ASSERT_EQ(t.Insert(Rec(3, "c")), 0);
  EXPECT_EQ(GetU32(t.data, 14), 41u);
  ASSERT_EQ(t.Delete(), 0);
  ASSERT_EQ(t.Insert(Rec(4, "d")), 0);
  EXPECT_EQ(GetU32(t.data, 14), 42u) << "a deleted highest value is not handed out again";
  EXPECT_EQ(t.Insert(Rec(5, "e", 40)), BTR_DUPLICATE_KEY);
}

// A value an Update writes into a modifiable autoincrement key counts as one an Insert
// brings: the next value handed out comes after it.
TEST_F(Operations, UpdateRaisesTheAutoincrementValue) {
  const std::string path = Path("serial.dat");
  ASSERT_EQ(CreateFile(path, CreationBuffer(kLen, {{{15, 4, 0x0002, 15}}})), 0);
  Table t;
  ASSERT_EQ(t.Open(path), 0);
  ASSERT_EQ(t.Insert(Rec(1, "a")), 0);
  ASSERT_EQ(t.Update(Rec(1, "a", 50)), 0);
  ASSERT_EQ(t.Insert(Rec(2, "b")), 0);
  EXPECT_EQ(GetU32(t.data, 14), 51u);
  ASSERT_EQ(t.Update(Rec(2, "b", 7)), 0) << "a lower value leaves the high value";
  ASSERT_EQ(t.Insert(Rec(3, "c")), 0);
  EXPECT_EQ(GetU32(t.data, 14), 52u);
}

TEST_F(Operations, GetStatuses) {
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  EXPECT_EQ(t.Get(BTR_GET_FIRST, 0), BTR_END_OF_FILE);
  EXPECT_EQ(t.Get(BTR_GET_NEXT, 0), BTR_POSITION_NOT_SET);
  Fill(t, 5);
  EXPECT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(15)), BTR_KEY_NOT_FOUND);
  EXPECT_EQ(t.Get(BTR_GET_GREATER, 0, IdKey(50)), BTR_END_OF_FILE);
  EXPECT_EQ(t.Get(BTR_GET_LESS, 0, IdKey(10)), BTR_END_OF_FILE);
  EXPECT_EQ(t.Get(BTR_GET_EQUAL, 3, IdKey(10)), BTR_INVALID_KEY_NUMBER);
  EXPECT_EQ(t.Get(BTR_GET_EQUAL, -1, IdKey(10)), BTR_INVALID_KEY_NUMBER);
  ASSERT_EQ(t.Get(BTR_GET_LAST, 0), 0);
  EXPECT_EQ(t.Get(BTR_GET_NEXT, 0), BTR_END_OF_FILE);
  EXPECT_EQ(t.Get(BTR_GET_NEXT, 1), BTR_DIFFERENT_KEY_NUMBER);
  std::string tiny(2, '\0'), d(kLen, '\0');
  EXPECT_EQ(t.Do(BTR_GET_FIRST, &d, &tiny, 0), BTR_KEY_BUFFER_SHORT);
  // A short data buffer gets what fits, and the place is set all the same.
  ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(20), 3), BTR_DATA_LENGTH);
  EXPECT_EQ(t.out_len, 3u);
  EXPECT_EQ(t.data.substr(0, 3), Rec(20, "n2").substr(0, 3));
  ASSERT_EQ(t.Get(BTR_GET_NEXT, 0), 0);
  EXPECT_EQ(IdOf(t.data), 30);
  EXPECT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(40)), 0);
  EXPECT_EQ(t.key_buf.substr(0, 4), IdKey(40));
  EXPECT_EQ(t.Get(BTR_GET_LESS_OR_EQUAL, 0, IdKey(45)), 0);
  EXPECT_EQ(IdOf(t.data), 40);
  EXPECT_EQ(t.Get(BTR_GET_GREATER_OR_EQUAL, 0, IdKey(45)), 0);
  EXPECT_EQ(IdOf(t.data), 50);
}

TEST_F(Operations, UpdateAndDeleteStatuses) {
  Table t, other;
  ASSERT_EQ(t.Open(path_), 0);
  ASSERT_EQ(other.Open(path_), 0);
  EXPECT_EQ(t.Update(Rec(1, "x")), BTR_POSITION_NOT_SET);
  EXPECT_EQ(t.Delete(), BTR_POSITION_NOT_SET);
  Fill(t, 3);
  ASSERT_EQ(t.Get(BTR_GET_EQUAL + BTR_GET_KEY_BIAS, 0, IdKey(10)), 0);
  EXPECT_EQ(t.Update(Rec(10, "x")), BTR_POSITION_NOT_SET) << "after a key-only Get";
  EXPECT_EQ(t.Delete(), BTR_POSITION_NOT_SET);
  ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(10)), 0);
  std::string rec = t.data;
  EXPECT_EQ(t.Update(Rec(11, "x", GetU32(rec, 14))), BTR_MODIFIABLE_KEY);
  std::string renamed = rec;
  std::memcpy(renamed.data() + 4, "renamed\0\0\0", 10);
  ASSERT_EQ(t.Update(renamed, 1), 0);
  EXPECT_EQ(t.key_buf.substr(0, 7), "renamed");
  std::string serial_clash = renamed;
  std::memcpy(serial_clash.data() + 14, "\x02\0\0\0", 4);
  EXPECT_EQ(t.Update(serial_clash), BTR_MODIFIABLE_KEY) << "the serial is not modifiable";
  // Another block changes the record: this block's read is stale now.
  ASSERT_EQ(other.Get(BTR_GET_EQUAL, 0, IdKey(10)), 0);
  std::string again = other.data;
  again[4] = 'R';
  ASSERT_EQ(other.Update(again), 0);
  EXPECT_EQ(t.Update(renamed), BTR_CONFLICT);
  EXPECT_EQ(t.Delete(), BTR_CONFLICT);
  ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(10)), 0);
  ASSERT_EQ(other.Get(BTR_GET_EQUAL, 0, IdKey(10)), 0);
  ASSERT_EQ(other.Delete(), 0);
  EXPECT_EQ(t.Delete(), BTR_CONFLICT) << "deleted by another block";
  EXPECT_EQ(other.Delete(), BTR_POSITION_NOT_SET) << "deleted by this block";
  uint32_t p;
  EXPECT_EQ(other.Position(&p), BTR_POSITION_NOT_SET);
}

TEST_F(Operations, PositionsAndDirectReads) {
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  uint32_t p = 0;
  EXPECT_EQ(t.Position(&p), BTR_POSITION_NOT_SET);
  Fill(t, 3);
  ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(20)), 0);
  ASSERT_EQ(t.Position(&p), 0);
  ASSERT_EQ(t.Get(BTR_GET_FIRST, 0), 0);
  ASSERT_EQ(t.Direct(p, 0), 0);
  EXPECT_EQ(IdOf(t.data), 20);
  ASSERT_EQ(t.Get(BTR_GET_NEXT, 0), 0) << "Get Direct took up key 0 at the record";
  EXPECT_EQ(IdOf(t.data), 30);
  EXPECT_EQ(t.Direct(0), BTR_INVALID_ADDRESS);
  EXPECT_EQ(t.Direct(12345), BTR_INVALID_ADDRESS);
  EXPECT_EQ(t.Direct(p, 7), BTR_INVALID_KEY_NUMBER);
  std::string three(3, '\0');
  EXPECT_EQ(t.Do(BTR_GET_DIRECT, &three, nullptr, -1), BTR_DATA_LENGTH);
  EXPECT_EQ(t.Do(BTR_GET_POSITION, &three, nullptr, 0), BTR_DATA_LENGTH);
  ASSERT_EQ(t.Direct(p, -1), 0);
  EXPECT_EQ(t.Get(BTR_GET_NEXT, 0), BTR_POSITION_NOT_SET) << "-1 takes up no key path";
}

TEST_F(Operations, StatVersionAndUnknownCodes) {
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  Fill(t, 7);
  std::string reply;
  ASSERT_EQ(t.Stat(&reply), 0);
  EXPECT_EQ(GetU16(reply, 0), kLen);
  EXPECT_EQ(GetU16(reply, 4), 3);
  EXPECT_EQ(GetU32(reply, 6), 7u);
  EXPECT_EQ(GetU32(reply, 16 + 6), 7u) << "ids are all distinct";
  EXPECT_EQ(GetU32(reply, 32 + 6), 3u) << "three names, case folded";
  ASSERT_EQ(t.Get(BTR_GET_FIRST, 1), 0);
  ASSERT_EQ(t.Delete(), 0);
  ASSERT_EQ(t.Stat(&reply), 0);
  EXPECT_EQ(GetU32(reply, 6), 6u);
  EXPECT_EQ(GetU32(reply, 32 + 6), 3u) << "a name with duplicates left";
  std::string small(20, '\0');
  EXPECT_EQ(t.Do(BTR_STAT, &small, nullptr, 0), BTR_DATA_LENGTH);

  uint8_t pos[128] = {};
  std::string v(5, '\0');
  ASSERT_EQ(Call(BTR_VERSION, pos, &v, nullptr, 0), 0);
  EXPECT_EQ(v[4], 'L');
  EXPECT_EQ(GetU16(v, 0), 1);
  std::string v4(4, '\0');
  EXPECT_EQ(Call(BTR_VERSION, pos, &v4, nullptr, 0), BTR_DATA_LENGTH);
  for (uint16_t op : {16, 17, 18, 31, 32, 36, 99, 500, 1020, 2019, 65535}) {
    EXPECT_EQ(t.Do(op, &v, nullptr, 0), BTR_INVALID_FUNCTION) << op;
  }
}

TEST_F(Operations, UpdateChunk) {
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  Fill(t, 2);
  auto descriptor = [](uint32_t sub, std::vector<std::tuple<uint32_t, uint32_t, const void*>> cs) {
    std::string d = U32(sub) + U32(static_cast<uint32_t>(cs.size()));
    for (auto& [off, len, addr] : cs) {
      uint64_t a = reinterpret_cast<uintptr_t>(addr);
      d += U32(off) + U32(len) + std::string(reinterpret_cast<char*>(&a), 8);
    }
    return d;
  };
  std::string d = descriptor(0x80000001, {{4, 3, "XYZ"}});
  Table fresh;
  ASSERT_EQ(fresh.Open(path_), 0);
  EXPECT_EQ(fresh.Do(BTR_UPDATE_CHUNK, &d, nullptr, 0), BTR_POSITION_NOT_SET);
  ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(10)), 0);
  d = descriptor(0x80000001, {{4, 3, "XYZ"}});
  ASSERT_EQ(t.Do(BTR_UPDATE_CHUNK, &d, nullptr, 0), 0);
  d = descriptor(0x80000000, {{5, 2, nullptr}, {18, 2, nullptr}}) + "ab" + "!!";
  ASSERT_EQ(t.Do(BTR_UPDATE_CHUNK, &d, nullptr, 0), 0);
  ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(10)), 0);
  EXPECT_EQ(t.data.substr(4, 3), "Xab");
  EXPECT_EQ(t.data.substr(18, 2), "!!");
  std::vector<std::string> bad = {
      U32(0x80000001),                                      // no count
      descriptor(0x12345678, {{0, 1, "a"}}),                // subfunction
      descriptor(0x80000001, {}),                           // no chunk
      descriptor(0x80000001, {{0, 1, "a"}}).substr(0, 20),  // entry cut short
      descriptor(0x80000000, {{0, 4, nullptr}}) + "ab",     // bytes missing
      descriptor(0x80000001, {{0, 4, nullptr}}),            // no address
  };
  for (std::string& b : bad) EXPECT_EQ(t.Do(BTR_UPDATE_CHUNK, &b, nullptr, 0), BTR_BAD_CHUNK);
  d = descriptor(0x80000001, {{18, 4, "abcd"}});
  EXPECT_EQ(t.Do(BTR_UPDATE_CHUNK, &d, nullptr, 0), BTR_CHUNK_OFFSET) << "past a fixed record";
  d = descriptor(0x80000001, {{0, 4, "\x14\0\0\0"}});
  EXPECT_EQ(t.Do(BTR_UPDATE_CHUNK, &d, nullptr, 0), BTR_MODIFIABLE_KEY);
}

TEST_F(Operations, VariableLengthRecords) {
  std::string path = Path("var.dat");
  ASSERT_EQ(CreateFile(path, CreationBuffer(8, {{{1, 4, 0, 1}}}, 0x0001)), 0);
  Table t;
  ASSERT_EQ(t.Open(path), 0);
  EXPECT_EQ(t.Insert(std::string(7, 'a')), BTR_DATA_LENGTH);
  std::string long_rec = IdKey(1) + std::string(3000, 'x');
  ASSERT_EQ(t.Insert(long_rec), 0);
  ASSERT_EQ(t.Get(BTR_GET_FIRST, 0), 0);
  EXPECT_EQ(t.data, long_rec);
  // A long record rewritten at the same length and longer.
  for (size_t n : {3000, 9000}) {
    std::string rec = IdKey(1) + std::string(n, static_cast<char>('0' + n / 1000));
    ASSERT_EQ(t.Update(rec), 0) << n;
    ASSERT_EQ(t.Get(BTR_GET_FIRST, 0, "", 16384), 0);
    EXPECT_EQ(t.data, rec);
  }
  ASSERT_EQ(t.Get(BTR_GET_FIRST, 0, "", 100), BTR_DATA_LENGTH);
  EXPECT_EQ(t.out_len, 100u);
  ASSERT_EQ(t.Update(IdKey(1) + "abcd"), 0);
  ASSERT_EQ(t.Get(BTR_GET_FIRST, 0), 0);
  EXPECT_EQ(t.data, IdKey(1) + "abcd");
  // A chunk at the end grows the record; one past the end would leave a hole.
  uint64_t addr = reinterpret_cast<uintptr_t>("EFGH");
  std::string d =
      U32(0x80000001) + U32(1) + U32(8) + U32(4) + std::string(reinterpret_cast<char*>(&addr), 8);
  ASSERT_EQ(t.Do(BTR_UPDATE_CHUNK, &d, nullptr, 0), 0);
  d = U32(0x80000001) + U32(1) + U32(20) + U32(4) + std::string(reinterpret_cast<char*>(&addr), 8);
  EXPECT_EQ(t.Do(BTR_UPDATE_CHUNK, &d, nullptr, 0), BTR_CHUNK_OFFSET);
  ASSERT_EQ(t.Get(BTR_GET_FIRST, 0), 0);
  EXPECT_EQ(t.data, IdKey(1) + "abcdEFGH");
}

TEST_F(Operations, PercentagesAreMonotone) {
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  std::string pct(2, '\0');
  pct.resize(kLen);
  EXPECT_EQ(t.Do(BTR_GET_BY_PERCENTAGE, &pct, nullptr, -1), BTR_END_OF_FILE);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(t.Insert(Rec(i * 7, "p")), 0);
  for (int8_t key : {-1, 0}) {
    int32_t last = -1;
    for (unsigned p = 0; p <= 10000; p += 250) {
      std::string d(kLen, '\0');
      d[0] = static_cast<char>(p);
      d[1] = static_cast<char>(p >> 8);
      std::string k(255, '\0');
      ASSERT_EQ(t.Do(BTR_GET_BY_PERCENTAGE, &d, &k, key), 0);
      EXPECT_GE(IdOf(d), last) << "key " << int(key) << " at " << p;
      if (p == 0) {
        EXPECT_EQ(IdOf(d), 0);
      }
      if (p == 10000) {
        EXPECT_EQ(IdOf(d), 199 * 7);
      }
      last = IdOf(d);
      std::string f(4, '\0');
      ASSERT_EQ(t.Do(BTR_FIND_PERCENTAGE, &f, nullptr, key), 0);
      EXPECT_NEAR(GetU16(f, 0), p, 200) << "key " << int(key);
    }
  }
  std::string bad = "\x11\x27";  // 10001
  EXPECT_EQ(t.Do(BTR_GET_BY_PERCENTAGE, &bad, nullptr, -1), BTR_INVALID_FUNCTION);
  std::string d(kLen, '\0');
  EXPECT_EQ(t.Do(BTR_GET_BY_PERCENTAGE, &d, nullptr, 5), BTR_INVALID_KEY_NUMBER);
}

// A block the engine did not hand out, or no longer honours, answers 3 and is never used.
TEST_F(Operations, PositionBlocksAreChecked) {
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  ASSERT_EQ(t.Insert(Rec(1, "a")), 0);
  uint8_t saved[128];
  std::memcpy(saved, t.pos, 128);
  std::string d(kLen, '\0'), k(255, '\0');
  uint8_t zero[128] = {};
  EXPECT_EQ(Call(BTR_GET_FIRST, zero, &d, &k, 0), BTR_FILE_NOT_OPEN);
  EXPECT_EQ(Call(BTR_GET_FIRST, nullptr, &d, &k, 0), BTR_FILE_NOT_OPEN);
  srand(7);
  for (int round = 0; round < 200; ++round) {
    uint8_t junk[128];
    std::memcpy(junk, saved, 128);
    junk[rand() % 32] ^= static_cast<uint8_t>(1 + rand() % 255);  // one byte off
    EXPECT_EQ(Call(BTR_GET_FIRST, junk, &d, &k, 0), BTR_FILE_NOT_OPEN);
    for (uint8_t& b : junk) b = static_cast<uint8_t>(rand());
    EXPECT_EQ(Call(BTR_GET_FIRST, junk, &d, &k, 0), BTR_FILE_NOT_OPEN);
  }
  uint8_t copy[128];
  std::memcpy(copy, saved, 128);
  uint8_t client[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'C', 'C', 0, 0};
  EXPECT_EQ(Call(BTR_GET_FIRST, copy, &d, &k, 0, client), BTR_FILE_NOT_OPEN)
      << "another client's block";
  EXPECT_EQ(Call(BTR_GET_FIRST, copy, &d, &k, 0), 0) << "a copy works for its own client";
  ASSERT_EQ(t.Close(), 0);
  EXPECT_EQ(Call(BTR_GET_FIRST, saved, &d, &k, 0), BTR_FILE_NOT_OPEN) << "closed";
  EXPECT_EQ(Call(BTR_CLOSE, saved, &d, &k, 0), BTR_FILE_NOT_OPEN);
  // The slot is reused by the next open; the old block still does not reach it.
  Table u;
  ASSERT_EQ(u.Open(path_), 0);
  EXPECT_EQ(Call(BTR_GET_FIRST, saved, &d, &k, 0), BTR_FILE_NOT_OPEN) << "stale generation";
  uint8_t pos[128] = {};
  ASSERT_EQ(Call(BTR_RESET, pos, nullptr, nullptr, 0), 0);
  EXPECT_EQ(u.Get(BTR_GET_FIRST, 0), BTR_FILE_NOT_OPEN) << "Reset closed the client's files";
}

TEST_F(Operations, NetworkFileSystemsAreKnown) {
  const char* name = nullptr;
  EXPECT_TRUE(mkde::IsNetworkFileSystem(0x6969, &name));
  EXPECT_STREQ(name, "nfs");
  EXPECT_TRUE(mkde::IsNetworkFileSystem(0xFF534D42, &name));
  EXPECT_TRUE(mkde::IsNetworkFileSystem(0xFE534D42, &name));
  EXPECT_FALSE(mkde::IsNetworkFileSystem(0xEF53, &name)) << "ext4";
  EXPECT_FALSE(mkde::IsNetworkFileSystem(0x01021994, &name)) << "tmpfs";
}

}  // namespace
}  // namespace mkde_test
