// Set Owner at an encrypting level and Clear Owner rewrite every record of a file in one
// step; every record must read back afterwards, whatever its length.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "enginecore/include/wbtrv32.h"
#include "tests/mkde_crash/int_key_file.h"

namespace {

struct Shape {
  int level;
  bool variable;
};

class OwnerRewrite : public ::testing::TestWithParam<Shape> {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/mkde-owner-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/owned.dat";
  }
  void TearDown() override {
    uint8_t stop[BTR_POS_BLOCK_SIZE] = {};
    BTRCALL(BTR_STOP, stop, nullptr, nullptr, nullptr, 0, 0);
    std::filesystem::remove_all(dir_);
  }

  int Call(uint16_t op, std::string* data, std::string* key, int8_t key_num) {
    uint32_t len = data ? static_cast<uint32_t>(data->size()) : 0;
    int s = BTRCALL(op, pos_, data ? data->data() : nullptr, &len, key ? key->data() : nullptr,
                    key ? static_cast<uint8_t>(key->size()) : 0, key_num);
    if (data && s == 0) data->resize(len);
    return s;
  }

  // Every record in physical order, or the status that stopped the walk.
  int Walk(std::vector<std::string>* records) {
    records->clear();
    std::string data(512, '\0');
    int s = Call(BTR_STEP_FIRST, &data, nullptr, 0);
    while (s == 0) {
      records->push_back(data);
      data.assign(512, '\0');
      s = Call(BTR_STEP_NEXT, &data, nullptr, 0);
    }
    return s;
  }

  std::string dir_, path_;
  uint8_t pos_[BTR_POS_BLOCK_SIZE] = {};
};

TEST_P(OwnerRewrite, EveryRecordReadsBackAfterSetAndClear) {
  const Shape shape = GetParam();
  // 32-byte records (the fixed part of a variable-length file), key 0 a unique integer.
  ASSERT_EQ(crash::CreateIntKeyFile(path_, 32, shape.variable), 0);
  std::string path = path_ + '\0';
  std::string name = "Owner1";
  name.push_back('\0');
  std::string open_name = name;
  ASSERT_EQ(Call(BTR_OPEN, &open_name, &path, 0), 0);

  std::vector<std::string> written;
  for (int32_t id = 1; id <= 40; ++id) {
    std::string rec(shape.variable ? 32 + id * 3 : 32, static_cast<char>('a' + id % 26));
    std::memcpy(rec.data(), &id, 4);
    std::string key(255, '\0');
    ASSERT_EQ(Call(BTR_INSERT, &rec, &key, 0), 0);
    written.push_back(rec);
  }

  std::string owner_data = name, owner_key = name;
  ASSERT_EQ(Call(BTR_SET_OWNER, &owner_data, &owner_key, static_cast<int8_t>(shape.level)), 0);
  std::vector<std::string> read;
  EXPECT_EQ(Walk(&read), BTR_END_OF_FILE);
  EXPECT_EQ(read, written);
  for (int32_t id = 1; id <= 40; ++id) {
    std::string data(512, '\0'), key(255, '\0');
    std::memcpy(key.data(), &id, 4);
    ASSERT_EQ(Call(BTR_GET_EQUAL, &data, &key, 0), 0) << "id " << id;
    EXPECT_EQ(data, written[id - 1]);
  }

  ASSERT_EQ(Call(BTR_CLEAR_OWNER, nullptr, nullptr, 0), 0);
  EXPECT_EQ(Walk(&read), BTR_END_OF_FILE);
  EXPECT_EQ(read, written);
}

INSTANTIATE_TEST_SUITE_P(Levels, OwnerRewrite,
                         ::testing::Values(Shape{0, false}, Shape{1, true}, Shape{2, false},
                                           Shape{2, true}, Shape{3, false}, Shape{3, true}));

}  // namespace
