// Whatever a caller passes (operation codes, lengths, key numbers, position blocks), the
// engine answers a status and stays inside the buffers it was given. Run under the
// sanitizer build, where every buffer here has exactly the length the call claims.
#include <map>
#include <random>

#include "tests/mkde/engine_fixture.h"

namespace mkde_test {
namespace {

TEST_F(EngineTest, RandomCallsStayInsideTheirBuffers) {
  std::string path = Path("fuzz.dat");
  ASSERT_EQ(CreateFile(path, CreationBuffer(24,
                                            {{{1, 4, 0x0003, 1}},
                                             {{5, 10, 0x0003 | 0x0400, 0}},
                                             {{15, 2, 0x0002, 14}, {17, 8, 0x0042, 11}}},
                                            0x0001)),
            0);
  std::mt19937 rng(77);
  auto pick = [&](int n) { return static_cast<int>(rng() % n); };
  std::map<int, int> statuses;  // how the calls ended, to show the run reached the operations
  std::vector<uint8_t*> blocks;
  for (int i = 0; i < 3; ++i) blocks.push_back(new uint8_t[128]());
  uint8_t client[16] = {};
  for (int step = 0; step < 20000; ++step) {
    uint8_t* pos = blocks[pick(3)];
    if (pick(10) == 0) {  // (re)open a block on the file, maybe as another client
      std::vector<char> key(path.begin(), path.end());
      key.push_back('\0');
      std::vector<char> data(101, '\0');
      uint32_t len = 101;
      client[12] = static_cast<uint8_t>(pick(2));
      BTRCALLID(BTR_OPEN, pos, data.data(), &len, key.data(), static_cast<uint8_t>(key.size()),
                static_cast<int8_t>(-pick(3)), client);
      continue;
    }
    if (pick(200) == 0) {
      for (auto& b : blocks) b[pick(128)] ^= static_cast<uint8_t>(1 + pick(255));  // scribble
    }
    uint16_t op;
    switch (pick(4)) {
      case 0:
        op = static_cast<uint16_t>(rng());
        break;
      case 1:  // no-wait locks: a wait lock on another block's record waits seconds
        op = static_cast<uint16_t>(pick(64) + 200 * pick(3));
        break;
      default:
        op = static_cast<uint16_t>(pick(64));
        break;
    }
    int base = op % 100;
    if (base == BTR_OPEN || base == BTR_CREATE || base == BTR_SET_OWNER) continue;
    if ((op % 1000) / 100 == 1 || (op % 1000) / 100 == 3) continue;
    uint32_t data_len = static_cast<uint32_t>(pick(4) == 0 ? pick(4) : pick(600));
    std::vector<uint8_t> data(data_len);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    if (base == 2 || base == 3) {  // mostly records that fit, so the file fills
      for (int i = 0; i < 4 && i < static_cast<int>(data.size()); ++i)
        data[i] = pick(8) ? 0 : data[i];
    }
    if (base == BTR_UPDATE_CHUNK && data_len >= 4) {
      // The direct form carries addresses in the caller's memory; only the inline form can
      // be fed random bytes.
      data[0] = 0x00;
      data[1] = 0x00;
      data[2] = 0x00;
      data[3] = 0x80;
      if (data_len >= 8) data[4] = static_cast<uint8_t>(pick(3)), data[5] = data[6] = data[7] = 0;
    }
    uint8_t key_len = static_cast<uint8_t>(pick(3) == 0 ? pick(256) : pick(30));
    std::vector<uint8_t> key(key_len);
    for (auto& b : key) b = static_cast<uint8_t>(rng());
    int8_t key_num = static_cast<int8_t>(pick(3) == 0 ? static_cast<int>(rng()) : pick(5) - 1);
    uint32_t len = data_len;
    int16_t status =
        BTRCALLID(op, pos, data_len ? data.data() : nullptr, &len, key_len ? key.data() : nullptr,
                  key_len, key_num, pick(2) ? client : nullptr);
    ASSERT_LE(len, data_len) << "op " << op << " status " << status;
    ++statuses[status];
  }
  uint8_t pos[128] = {};
  client[12] = 1;
  BTRCALLID(BTR_STOP, pos, nullptr, nullptr, nullptr, 0, 0, client);
  for (auto& b : blocks) delete[] b;
  // The file is still whole: every index holds exactly the records.
  Table t;
  ASSERT_EQ(t.Open(path), 0);
  size_t physical = 0;
  for (int16_t s = t.Step(BTR_STEP_FIRST); s == 0; s = t.Step(BTR_STEP_NEXT)) ++physical;
  std::string stat;
  ASSERT_EQ(t.Stat(&stat), 0);
  EXPECT_EQ(GetU32(stat, 6), physical);
  EXPECT_GT(physical, 0u) << "some calls did insert";
  EXPECT_GT(statuses[0], 1000) << "many calls succeeded";
  EXPECT_GT(statuses.size(), 12u) << "many different statuses were met";
}

}  // namespace
}  // namespace mkde_test
