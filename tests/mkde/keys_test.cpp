// Key behaviour the engine adds to the encodings: null keys left out of their index,
// unique keys under case folding and descending order, several segments.
#include "tests/mkde/engine_fixture.h"

namespace mkde_test {
namespace {

constexpr uint16_t kLen = 16;

// key 0: id; key 1: two 2-byte segments, null when both are blanks; key 2: two 2-byte
// segments, null when either is zeros; key 3: 4-byte name, unique, case-insensitive and
// descending.
std::string Schema() {
  return CreationBuffer(
      kLen, {{{1, 4, 0, 1}},
             {{5, 2, 0x0001 | 0x0008 | 0x0002, 0, ' '}, {7, 2, 0x0001 | 0x0008 | 0x0002, 0, ' '}},
             {{9, 2, 0x0001 | 0x0200 | 0x0002, 14, 0}, {11, 2, 0x0001 | 0x0200 | 0x0002, 14, 0}},
             {{13, 4, 0x0400 | 0x0040 | 0x0002, 0}}});
}

std::string Rec(int32_t id, const char* all4, uint16_t any1, uint16_t any2, const char* name) {
  std::string r(kLen, '\0');
  std::memcpy(r.data(), &id, 4);
  std::memcpy(r.data() + 4, all4, 4);
  std::memcpy(r.data() + 8, &any1, 2);
  std::memcpy(r.data() + 10, &any2, 2);
  std::memcpy(r.data() + 12, name, 4);
  return r;
}

class Keys : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    path_ = Path("keys.dat");
    ASSERT_EQ(CreateFile(path_, Schema()), 0);
    ASSERT_EQ(t_.Open(path_), 0);
  }
  std::vector<int32_t> Walk(int8_t key) {
    std::vector<int32_t> ids;
    for (int16_t s = t_.Get(BTR_GET_FIRST, key); s == 0; s = t_.Get(BTR_GET_NEXT, key)) {
      ids.push_back(IdOf(t_.data));
    }
    return ids;
  }
  std::string path_;
  Table t_;
};

TEST_F(Keys, NullKeysAreLeftOutOfTheirIndex) {
  ASSERT_EQ(t_.Insert(Rec(1, "    ", 1, 1, "aaaa")), 0);  // all blanks: out of key 1
  ASSERT_EQ(t_.Insert(Rec(2, "  ab", 0, 5, "bbbb")), 0);  // one zero segment: out of key 2
  ASSERT_EQ(t_.Insert(Rec(3, "ab  ", 7, 0, "cccc")), 0);  // out of key 2
  ASSERT_EQ(t_.Insert(Rec(4, "    ", 0, 0, "dddd")), 0);  // out of both
  EXPECT_EQ(Walk(1), (std::vector<int32_t>{2, 3}));
  EXPECT_EQ(Walk(2), (std::vector<int32_t>{1}));
  std::string stat;
  ASSERT_EQ(t_.Stat(&stat), 0);
  EXPECT_EQ(GetU32(stat, 6), 4u);
  EXPECT_EQ(GetU32(stat, 16 + 16 + 6), 2u) << "key 1 counts only its values";
  EXPECT_EQ(GetU32(stat, 16 + 48 + 6), 1u);
  EXPECT_EQ(t_.Get(BTR_GET_EQUAL, 1, "    "), BTR_KEY_NOT_FOUND);
  // An update takes a record into the index and out of it again.
  ASSERT_EQ(t_.Direct(4, 0), 0);  // positions count from 1 in insertion order
  ASSERT_EQ(IdOf(t_.data), 4);
  ASSERT_EQ(t_.Update(Rec(4, "zz  ", 2, 2, "dddd")), 0);
  EXPECT_EQ(Walk(1), (std::vector<int32_t>{2, 3, 4}));
  EXPECT_EQ(Walk(2), (std::vector<int32_t>{1, 4}));
  ASSERT_EQ(t_.Direct(1, 0), 0);
  ASSERT_EQ(t_.Update(Rec(1, "    ", 0, 1, "aaaa")), 0);
  EXPECT_EQ(Walk(2), (std::vector<int32_t>{4}));
  ASSERT_EQ(t_.Direct(1, 0), 0);
  ASSERT_EQ(t_.Delete(), 0);
  EXPECT_EQ(Walk(0), (std::vector<int32_t>{2, 3, 4}));
}

TEST_F(Keys, NullRecordTakesUpItsKeyPathWhereItWouldStand) {
  ASSERT_EQ(t_.Insert(Rec(1, "aa  ", 1, 1, "aaaa")), 0);
  ASSERT_EQ(t_.Insert(Rec(2, "    ", 1, 1, "bbbb")), 0);
  ASSERT_EQ(t_.Insert(Rec(3, "zz  ", 1, 1, "cccc")), 0);
  ASSERT_EQ(t_.Direct(2, 1), 0) << "a record left out of key 1, taken up on key 1";
  ASSERT_EQ(t_.Get(BTR_GET_NEXT, 1), 0);
  EXPECT_EQ(IdOf(t_.data), 1) << "blanks sort before letters";
}

TEST_F(Keys, UniqueUnderCaseFoldingAndDescendingOrder) {
  ASSERT_EQ(t_.Insert(Rec(1, "a   ", 1, 1, "abc ")), 0);
  EXPECT_EQ(t_.Insert(Rec(2, "a   ", 1, 1, "ABC ")), BTR_DUPLICATE_KEY);
  ASSERT_EQ(t_.Insert(Rec(3, "a   ", 1, 1, "abd ")), 0);
  ASSERT_EQ(t_.Insert(Rec(4, "a   ", 1, 1, "Zzz ")), 0);
  EXPECT_EQ(Walk(3), (std::vector<int32_t>{4, 3, 1}));
  ASSERT_EQ(t_.Get(BTR_GET_EQUAL, 3, "ABD "), 0);
  EXPECT_EQ(IdOf(t_.data), 3);
  EXPECT_EQ(t_.key_buf.substr(0, 4), "abd ") << "the key buffer gets the record's own bytes";
  ASSERT_EQ(t_.Get(BTR_GET_GREATER, 3, "ABD "), 0);
  EXPECT_EQ(IdOf(t_.data), 1) << "greater in key order: down the alphabet";
  // The failed insert left nothing behind in any index.
  EXPECT_EQ(t_.Get(BTR_GET_EQUAL, 0, std::string("\x02\0\0\0", 4)), BTR_KEY_NOT_FOUND);
  EXPECT_EQ(Walk(1).size(), 3u);
  // Changing only the letter case of a unique key is not a clash with itself.
  ASSERT_EQ(t_.Get(BTR_GET_EQUAL, 0, std::string("\x01\0\0\0", 4)), 0);
  ASSERT_EQ(t_.Update(Rec(1, "a   ", 1, 1, "ABC ")), 0);
  EXPECT_EQ(t_.Update(Rec(1, "a   ", 1, 1, "ABD ")), BTR_DUPLICATE_KEY);
}

TEST_F(Keys, MultiSegmentKeysCompareSegmentBySegment) {
  ASSERT_EQ(t_.Insert(Rec(1, "a   ", 2, 1, "a   ")), 0);
  ASSERT_EQ(t_.Insert(Rec(2, "a   ", 1, 300, "b   ")), 0);
  ASSERT_EQ(t_.Insert(Rec(3, "a   ", 1, 2, "c   ")), 0);
  ASSERT_EQ(t_.Insert(Rec(4, "a   ", 256, 1, "d   ")), 0);
  EXPECT_EQ(Walk(2), (std::vector<int32_t>{3, 2, 1, 4})) << "unsigned little-endian segments";
  std::string probe("\x01\x00\x2C\x01", 4);  // (1, 300)
  ASSERT_EQ(t_.Get(BTR_GET_LESS, 2, probe), 0);
  EXPECT_EQ(IdOf(t_.data), 3);
}

}  // namespace
}  // namespace mkde_test
