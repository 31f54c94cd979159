// Damaged record files: what an open refuses before LMDB reads a page.
#include <fstream>
#include <functional>

#include "tests/mkde/engine_fixture.h"

namespace {

namespace fs = std::filesystem;
using mkde_test::Table;

constexpr uint16_t kLength = 40;
constexpr size_t kPage = 4096;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}
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
  std::string path_;
  std::string good_;
};

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
