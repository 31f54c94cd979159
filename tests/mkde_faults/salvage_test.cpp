// The salvage of records from a file's raw pages: every record below a damaged branch page
// comes back as written, no record deleted before comes back while the free list is whole,
// encrypted records only open under the owner name, and damaged bytes anywhere never make
// the reader leave the file or hand back bytes that were never written.
#include "mkde/salvage.h"

#include <lmdb.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <random>

#include "tests/mkde/engine_fixture.h"
#include "tests/mkde_faults/file_bytes.h"

namespace {

using mkde_test::Table;

constexpr uint16_t kLength = 40;
constexpr size_t kPage = 4096;
constexpr int32_t kRecords = 3000;

std::string Record(int32_t id, char fill) {
  std::string r(kLength, fill);
  std::memcpy(r.data(), &id, 4);
  return r;
}

mkde::SalvageResult SalvageBytes(const std::string& bytes, std::string_view owner,
                                 mkde::SalvageReport* report) {
  std::string reason;
  const mkde::PageReader read = [&](uint64_t offset, size_t size, uint8_t* out) {
    if (offset > bytes.size() || size > bytes.size() - offset) return false;
    std::memcpy(out, bytes.data() + offset, size);
    return true;
  };
  return mkde::SalvageRecords(read, bytes.size(), owner, report, &reason);
}

// Zeroes the branch pages of the records and the key (whose keys are 4 bytes long), or of
// every tree, the free list's (8-byte keys) too.
int ZeroBranchPages(std::string* bytes, bool free_list_too = false) {
  int zeroed = 0;
  for (size_t at = 2 * kPage; at + kPage <= bytes->size(); at += kPage) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>((*bytes)[at + i]); };
    // The page's flags, and the key size of its second node (the first has no key).
    const size_t second = byte(18) | byte(19) << 8;
    if (byte(10) == 0x01 && byte(11) == 0 &&
        (free_list_too || (byte(second + 6) == 4 && byte(second + 7) == 0))) {
      std::fill_n(bytes->begin() + static_cast<ptrdiff_t>(at), kPage, '\0');
      ++zeroed;
    }
  }
  return zeroed;
}

class Salvage : public mkde_test::EngineTest {
 protected:
  // A file of kRecords records in several commits; then every seventh deleted and every
  // fifth updated (fill 'u', change counter 1) in later ones, so that free pages hold the
  // older versions of both.
  std::map<int32_t, std::string> Make(const std::string& path, const std::string& owner = "") {
    EXPECT_EQ(mkde_test::CreateFile(path, mkde_test::CreationBuffer(kLength, {{{1, 4, 0, 1}}})), 0);
    std::map<int32_t, std::string> live;
    Table t;
    EXPECT_EQ(t.Open(path), 0);
    uint8_t none[128] = {};
    for (int32_t id = 1; id <= kRecords; ++id) {
      if (id % 1000 == 1) BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0);
      EXPECT_EQ(t.Insert(Record(id, 'r')), 0);
      live[id] = Record(id, 'r');
      if (id % 1000 == 0) BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0);
    }
    if (!owner.empty()) {
      std::string name = owner + '\0', key = name;
      name.resize(101, '\0');
      EXPECT_EQ(t.Do(BTR_SET_OWNER, &name, &key, 2), 0);
    }
    // A reader in another process holds the state before the changes, as a long read would:
    // the pages they free stay free, each commit's in a record of LMDB's free list, so that
    // the list spans more than one page.
    int ready[2], done[2];
    EXPECT_EQ(pipe(ready), 0);
    EXPECT_EQ(pipe(done), 0);
    const pid_t reader = fork();
    if (reader == 0) {
      MDB_env* env = nullptr;
      MDB_txn* txn = nullptr;
      char c;
      if (mdb_env_create(&env) != 0 ||
          mdb_env_open(env, path.c_str(), MDB_NOSUBDIR | MDB_RDONLY, 0644) != 0 ||
          mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn) != 0 || write(ready[1], "r", 1) != 1 ||
          read(done[0], &c, 1) != 1) {
        _exit(1);
      }
      _exit(0);
    }
    char c;
    EXPECT_EQ(read(ready[0], &c, 1), 1);
    for (int32_t id = 1; id <= kRecords; ++id) {
      if (id % 7 != 0 && id % 5 != 0) continue;
      EXPECT_EQ(t.Get(BTR_GET_EQUAL, 0, mkde_test::IdKey(id)), 0);
      if (id % 7 == 0) {
        EXPECT_EQ(t.Delete(), 0);
        live.erase(id);
      } else {
        EXPECT_EQ(t.Update(Record(id, 'u')), 0);
        live[id] = Record(id, 'u');
      }
    }
    EXPECT_EQ(write(done[1], "d", 1), 1);
    int status = 0;
    EXPECT_EQ(waitpid(reader, &status, 0), reader);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
    EXPECT_EQ(t.Close(), 0);
    uint8_t pos[128] = {};
    BTRCALL(BTR_STOP, pos, nullptr, nullptr, nullptr, 0, 0);
    return live;
  }

  // Each salvaged record is one of `live` with the bytes last written, and each of `live`
  // is there (positions follow the ids: one insert each, in order).
  static void ExpectExactly(const mkde::SalvageReport& report,
                            const std::map<int32_t, std::string>& live) {
    std::map<int32_t, std::string> got;
    for (const mkde::SalvagedRecord& r : report.records) {
      EXPECT_EQ(r.change, static_cast<uint32_t>(r.position % 5 == 0 ? 1 : 0)) << r.position;
      got[static_cast<int32_t>(r.position)] = r.bytes;
    }
    EXPECT_EQ(got.size(), live.size());
    for (const auto& [id, bytes] : live) {
      auto it = got.find(id);
      ASSERT_TRUE(it != got.end()) << "record " << id << " not salvaged";
      EXPECT_EQ(it->second, bytes) << "record " << id;
    }
    for (const auto& [id, bytes] : got) {
      EXPECT_TRUE(live.count(id)) << "deleted record " << id << " came back";
    }
  }
};

TEST_F(Salvage, RecordsBelowZeroedBranchPagesComeBackAndDeletedOnesDoNot) {
  const std::string path = Path("a.dat");
  const std::map<int32_t, std::string> live = Make(path);
  std::string bytes = ReadAll(path);
  ASSERT_GT(ZeroBranchPages(&bytes), 0);
  WriteAll(path, bytes);
  mkde::SalvageReport report;
  std::string reason;
  ASSERT_EQ(mkde::SalvageFile(path, "", &report, &reason), mkde::SalvageResult::kOk) << reason;
  EXPECT_TRUE(report.free_list_whole);
  EXPECT_GT(report.free_pages, 0u);
  EXPECT_EQ(report.format, 2);
  EXPECT_EQ(report.owner_level, -1);
  ExpectExactly(report, live);

  // Without the free list, older versions cannot be told from records in use: the report
  // says so, and each position still comes back with its newest version.
  ASSERT_GT(ZeroBranchPages(&bytes, true), 0);
  ASSERT_EQ(SalvageBytes(bytes, "", &report), mkde::SalvageResult::kOk);
  EXPECT_FALSE(report.free_list_whole);
  for (const mkde::SalvagedRecord& r : report.records) {
    const auto it = live.find(static_cast<int32_t>(r.position));
    if (it != live.end()) {
      EXPECT_EQ(r.bytes, it->second) << r.position;
    }
  }
}

TEST_F(Salvage, EncryptedRecordsOpenOnlyUnderTheOwnerName) {
  const std::string path = Path("a.dat");
  const std::map<int32_t, std::string> live = Make(path, "Secret1");
  std::string bytes = ReadAll(path);
  ZeroBranchPages(&bytes);
  mkde::SalvageReport report;
  ASSERT_EQ(SalvageBytes(bytes, "Secret1", &report), mkde::SalvageResult::kOk);
  EXPECT_EQ(report.owner_level, 2);
  ExpectExactly(report, live);
  EXPECT_EQ(SalvageBytes(bytes, "Secret2", &report), mkde::SalvageResult::kNoKey);
  EXPECT_EQ(SalvageBytes(bytes, "", &report), mkde::SalvageResult::kNoKey);
  EXPECT_TRUE(report.records.empty());
}

TEST_F(Salvage, FilesWithoutChecksumsAreNotSalvaged) {
  const std::string path = Path("a.dat");
  Make(path);
  std::string bytes = ReadAll(path);
  const std::string v2 = "vastrel record file 2";
  for (size_t at = bytes.find(v2); at != std::string::npos; at = bytes.find(v2, at + 1)) {
    bytes[at + v2.size() - 1] = '1';
  }
  mkde::SalvageReport report;
  EXPECT_EQ(SalvageBytes(bytes, "", &report), mkde::SalvageResult::kUnchecked);
  EXPECT_TRUE(report.records.empty());
}

// Random bytes changed, runs zeroed, pages swapped, the file cut: the reader stays inside
// what it was given (the sanitizers watch) and every record it hands back is one written.
TEST_F(Salvage, DamagedBytesNeverLeadOutsideTheFileOrToRecordsNeverWritten) {
  const std::string path = Path("a.dat");
  Make(path);
  const std::string good = ReadAll(path);
  std::mt19937_64 random(14);
  const size_t pages = good.size() / kPage;
  for (int copy = 0; copy < 300; ++copy) {
    std::string bytes = good;
    switch (copy % 4) {
      case 0:
        for (int i = 0; i < 200; ++i) bytes[random() % bytes.size()] = static_cast<char>(random());
        break;
      case 1:
        for (int i = 0; i < 8; ++i) {
          const size_t page = random() % pages;
          const size_t from = random() % kPage, n = random() % (kPage - from);
          std::fill_n(bytes.begin() + static_cast<ptrdiff_t>(page * kPage + from), n,
                      static_cast<char>(random() % 2 ? 0xff : 0));
        }
        break;
      case 2: {
        const size_t x = random() % pages, y = random() % pages;
        const std::string px = bytes.substr(x * kPage, kPage);
        bytes.replace(x * kPage, kPage, bytes.substr(y * kPage, kPage));
        bytes.replace(y * kPage, kPage, px);
        break;
      }
      default:
        bytes.resize(random() % bytes.size());
    }
    mkde::SalvageReport report;
    if (SalvageBytes(bytes, "", &report) != mkde::SalvageResult::kOk) continue;
    for (const mkde::SalvagedRecord& r : report.records) {
      const int32_t id = static_cast<int32_t>(r.position);
      ASSERT_TRUE(r.bytes == Record(id, 'r') || r.bytes == Record(id, 'u'))
          << "copy " << copy << ", position " << r.position;
    }
  }
}

}  // namespace
