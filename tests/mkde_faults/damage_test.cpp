// Randomly damaged copies of files of 10, 10,000 and 100,000 records: bytes changed, the
// file cut short, pages swapped. Each copy is opened and read in a child process: no read
// may answer 0 with bytes other than those written, a truncated file is refused at open,
// and `vastrel check` reports every copy whose reads met damage and never dies. `vastrel
// recover` runs on some copies: it never dies, and what it saves checks out.
//
// VASTREL_DAMAGE_COUNT multiplies the number of copies (default 1); VASTREL_DAMAGE_SEED
// chooses the damage (default fixed); VASTREL_DAMAGE_RECOVER is the number of copies of each
// kind that recover runs on (default 1). The counts by kind of damage are printed at the end.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/mkde/engine_fixture.h"
#include "tests/mkde_faults/file_bytes.h"

namespace {

namespace fs = std::filesystem;
using mkde_test::Table;

constexpr uint16_t kLength = 40;
constexpr size_t kPage = 4096;

// The record with `id`: the id (key 0), a group with duplicates (key 1), bytes from the id.
std::string Record(int32_t id) {
  std::string r(kLength, '\0');
  std::memcpy(r.data(), &id, 4);
  int32_t group = id % 97;
  std::memcpy(r.data() + 4, &group, 4);
  for (size_t i = 8; i < kLength; ++i) r[i] = static_cast<char>('a' + (id * 7 + i) % 26);
  return r;
}

long EnvNumber(const char* name, long fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtol(v, nullptr, 10) : fallback;
}

// What a child's reads of a copy met.
enum Outcome : int {
  kWhole = 0,       // every record read back as written
  kRefused = 1,     // the open answered a status
  kStatus = 2,      // some read answered a status instead of a record
  kWrongBytes = 3,  // a read answered 0 with bytes never written: the fault this test hunts
  kLookup = 4,      // the walks met nothing, but a search by key answered a status
};

// In a child: opens the copy and reads it along physical order, key 0 and key 1, and every
// record by its key. Exits with an Outcome.
[[noreturn]] void ReadInChild(const std::string& path, int32_t records) {
  Table t;
  if (t.Open(path, -2) != 0) _exit(kRefused);
  bool status = false;
  auto sound = [&](int16_t s) {
    if (s != 0) {
      status = true;
      return false;
    }
    int32_t id = 0;
    if (t.data.size() == kLength) std::memcpy(&id, t.data.data(), 4);
    if (id < 1 || id > records || t.data != Record(id)) _exit(kWrongBytes);
    return true;
  };
  int32_t n = 0;
  for (int16_t s = t.Step(BTR_STEP_FIRST); s != BTR_END_OF_FILE && n <= records;
       s = t.Step(BTR_STEP_NEXT), ++n) {
    if (!sound(s)) break;
  }
  for (int8_t key : {0, 1}) {
    n = 0;
    for (int16_t s = t.Get(BTR_GET_FIRST, key); s != BTR_END_OF_FILE && n <= records;
         s = t.Get(BTR_GET_NEXT, key, t.key_buf), ++n) {
      if (!sound(s)) break;
    }
  }
  if (status) _exit(kStatus);
  for (int32_t id = 1; id <= records; ++id) {
    int16_t s = t.Get(BTR_GET_EQUAL, 0, mkde_test::IdKey(id));
    if (s == BTR_KEY_NOT_FOUND) {
      status = true;  // a record the file lost
    } else if (sound(s) && t.data != Record(id)) {
      _exit(kWrongBytes);
    }
  }
  _exit(status ? kLookup : kWhole);
}

// Runs the tool; returns its exit code, or 100 + the signal that ended it.
int Tool(const std::string& args) {
  std::string command = VASTREL_TOOL;
  command += ' ';
  command += args;
  command += " >/dev/null 2>&1";
  int status = std::system(command.c_str());
  if (WIFSIGNALED(status)) return 100 + WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

class Damage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/mkde-damage-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  // A file of `records` records, made once.
  static std::string Base(int32_t records) {
    std::string path = dir_ + "/base-" + std::to_string(records) + ".dat";
    if (fs::exists(path)) return path;
    EXPECT_EQ(mkde_test::CreateFile(
                  path, mkde_test::CreationBuffer(kLength, {{{1, 4, 0, 1}}, {{5, 4, 0x0001, 1}}})),
              0);
    Table t;
    EXPECT_EQ(t.Open(path), 0);
    uint8_t none[128] = {};
    for (int32_t id = 1; id <= records; ++id) {
      if (id % 10000 == 1) BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0);
      EXPECT_EQ(t.Insert(Record(id)), 0);
      if (id % 10000 == 0 || id == records) {
        EXPECT_EQ(BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0), 0);
      }
    }
    t.Close();
    uint8_t pos[128] = {};
    BTRCALL(BTR_STOP, pos, nullptr, nullptr, nullptr, 0, 0);
    return path;
  }

  // Damages copies of the file of `records` records, `copies` of each kind.
  void Run(int32_t records, int copies) {
    const std::string base = Base(records);
    const std::string good = ReadAll(base);
    std::mt19937_64 random(static_cast<uint64_t>(EnvNumber("VASTREL_DAMAGE_SEED", 14)) +
                           static_cast<uint64_t>(records));
    auto below = [&](uint64_t n) { return n == 0 ? 0 : random() % n; };
    const size_t pages = good.size() / kPage;
    struct Kind {
      std::string name;
      std::function<void(std::string*)> damage;
    };
    const Kind kinds[] = {
        {"bytes changed",
         [&](std::string* b) {
           for (uint64_t i = 0, n = 1 + below(64); i < n; ++i) {
             (*b)[below(b->size())] = static_cast<char>(random());
           }
         }},
        {"truncated", [&](std::string* b) { b->resize(below(b->size())); }},
        {"pages swapped",
         [&](std::string* b) {
           size_t x = below(pages), y = below(pages);
           std::string px = b->substr(x * kPage, kPage);
           b->replace(x * kPage, kPage, b->substr(y * kPage, kPage));
           b->replace(y * kPage, kPage, px);
         }},
    };
    const std::string copy = dir_ + "/copy.dat";
    const long recovered_copies = EnvNumber("VASTREL_DAMAGE_RECOVER", 1);
    for (const Kind& kind : kinds) {
      for (int c = 0; c < copies; ++c) {
        SCOPED_TRACE(testing::Message() << records << " records, " << kind.name << ", copy " << c);
        for (const char* companion : {"", "-lock", "-gate"}) fs::remove(copy + companion);
        std::string bytes = good;
        kind.damage(&bytes);
        WriteAll(copy, bytes);

        pid_t pid = fork();
        if (pid == 0) ReadInChild(copy, records);
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        Counts& counts = counts_[kind.name + ", " + std::to_string(records)];
        ++counts.copies;
        const bool died = WIFSIGNALED(wstatus);
        const int outcome = died ? -1 : WEXITSTATUS(wstatus);
        if (died) ++counts.died[strsignal(WTERMSIG(wstatus))];
        if (outcome == kRefused) ++counts.refused;
        if (outcome == kStatus) ++counts.status;
        if (outcome == kLookup) ++counts.lookup;
        ASSERT_NE(outcome, kWrongBytes) << "a read answered 0 with bytes never written";
        if (kind.name == "truncated") {
          EXPECT_EQ(outcome, kRefused) << "a truncated file was opened";
        }
        // Check walks every path; a damage only a search by key meets is counted, not asked
        // of it.
        const bool damage_seen = died || outcome == kRefused || outcome == kStatus;
        const int check = Tool("check '" + copy + "'");
        EXPECT_LT(check, 2) << "check ended with " << check;
        if (damage_seen) {
          EXPECT_EQ(check, 1) << "check missed damage the reads met";
        }
        if (check == 1) ++counts.reported;
        if (c < recovered_copies && records <= 10000 && outcome != kRefused) {
          const std::string rescued = dir_ + "/rescued.dat";
          for (const char* companion : {"", "-lock", "-gate"}) fs::remove(rescued + companion);
          const int recover = Tool("recover '" + copy + "' '" + rescued + "'");
          EXPECT_LT(recover, 2) << "recover ended with " << recover;
          if (fs::exists(rescued)) {
            EXPECT_EQ(Tool("check '" + rescued + "'"), 0);
            CountRescued(good, bytes, records, rescued, &counts);
          }
        }
      }
    }
  }

  struct Counts {
    int copies = 0, refused = 0, status = 0, lookup = 0, reported = 0;
    std::map<std::string, int> died;  // by signal
    long intact = 0, rescued = 0;     // records on intact pages; those recover saved
  };

  // Where each record of the undamaged file of `records` records lies (by id), found once.
  static const std::vector<size_t>& Offsets(const std::string& good, int32_t records) {
    std::vector<size_t>& at = offsets_[records];
    if (!at.empty()) return at;
    at.assign(records + 1, std::string::npos);
    for (size_t i = 0; i + kLength <= good.size(); ++i) {
      int32_t id = 0;
      std::memcpy(&id, good.data() + i, 4);
      if (id >= 1 && id <= records && good.compare(i, kLength, Record(id)) == 0) at[id] = i;
    }
    return at;
  }

  // Counts the records of pages the damage left alone, and those of them recover saved.
  static void CountRescued(const std::string& good, const std::string& damaged, int32_t records,
                           const std::string& rescued, Counts* counts) {
    std::vector<bool> saved(records + 1, false);
    Table t;
    if (t.Open(rescued, -2) == 0) {
      for (int16_t s = t.Get(BTR_GET_FIRST, 0); s == 0; s = t.Get(BTR_GET_NEXT, 0, t.key_buf)) {
        int32_t id = 0;
        std::memcpy(&id, t.data.data(), 4);
        if (id >= 1 && id <= records && t.data == Record(id)) saved[id] = true;
      }
      t.Close();
    }
    const std::vector<size_t>& at = Offsets(good, records);
    for (int32_t id = 1; id <= records; ++id) {
      const size_t page = at[id] / kPage * kPage;
      if (damaged.compare(page, kPage, good, page, kPage) != 0) continue;
      ++counts->intact;
      if (saved[id]) ++counts->rescued;
    }
  }
  static inline std::map<std::string, Counts> counts_;
  static inline std::map<int32_t, std::vector<size_t>> offsets_;
  static inline std::string dir_;

 public:
  static void Print() {
    for (const auto& [name, c] : counts_) {
      std::string died;
      for (const auto& [signal, n] : c.died)
        died += ", " + std::to_string(n) + " died of " + signal;
      std::printf(
          "[ damage   ] %s records: %d copies, %d refused at open, %d met a status in a walk, "
          "%d only in a search, %d reported by check%s; recover saved %ld of %ld records of "
          "intact pages\n",
          name.c_str(), c.copies, c.refused, c.status, c.lookup, c.reported, died.c_str(),
          c.rescued, c.intact);
    }
  }
};

// Recover goes on past damaged records along physical order, and reads the records no path
// leads to from the file's pages: it saves every record of an intact page, and more, here
// every record that still reads.
TEST_F(Damage, RecoverSavesEveryRecordOfAnIntactPage) {
  constexpr int32_t kRecords = 10000;
  const std::string good = ReadAll(Base(kRecords));
  const std::vector<size_t>& at = Offsets(good, kRecords);
  auto page_of = [&](int32_t id) { return at[id] / kPage; };
  struct Case {
    const char* name;
    std::function<void(std::string*)> damage;
    std::function<bool(int32_t id)> lost;  // records the damage may take
    int exit_code;                         // recover's: 1 when records were lost
  };
  // A byte of a record's body: its checksum no longer matches. The first and the last
  // record too, where a walk begins and ends.
  const std::vector<int32_t> damaged = {1, 2, 1500, 1501, 5000, kRecords};
  const size_t x = page_of(3000), y = page_of(7000);
  const Case cases[] = {
      {"records damaged",
       [&](std::string* b) {
         for (int32_t id : damaged) (*b)[at[id] + 20] ^= 0x5a;
       },
       [&](int32_t id) { return std::count(damaged.begin(), damaged.end(), id) > 0; }, 1},
      {"two pages of records swapped",
       [&](std::string* b) {
         b->replace(x * kPage, kPage, good.substr(y * kPage, kPage));
         b->replace(y * kPage, kPage, good.substr(x * kPage, kPage));
       },
       // Each page is whole where it lies: its records are read from the pages.
       [&](int32_t id) { return page_of(id) == x || page_of(id) == y; }, 0},
      // No key and no step leads to the records below a branch page any more.
      {"branch pages of the records and the keys zeroed",
       [&](std::string* b) {
         for (size_t at = 2 * kPage; at + kPage <= b->size(); at += kPage) {
           const auto byte = [&](size_t i) { return static_cast<uint8_t>((*b)[at + i]); };
           const size_t second = byte(18) | byte(19) << 8;  // the first node has no key
           if (byte(10) == 0x01 && byte(11) == 0 && byte(second + 6) == 4 &&
               byte(second + 7) == 0) {
             std::fill_n(b->begin() + static_cast<ptrdiff_t>(at), kPage, '\0');
           }
         }
       },
       [](int32_t) { return false; }, 0},
  };
  ASSERT_NE(x, y);
  const std::string copy = dir_ + "/recover-copy.dat", rescued = dir_ + "/recover-new.dat";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& f : {copy, rescued}) {
      for (const char* companion : {"", "-lock", "-gate"}) fs::remove(f + companion);
    }
    std::string bytes = good;
    c.damage(&bytes);
    ASSERT_NE(bytes, good);
    WriteAll(copy, bytes);
    EXPECT_EQ(Tool("recover '" + copy + "' '" + rescued + "'"), c.exit_code);
    ASSERT_EQ(Tool("check '" + rescued + "'"), 0);
    Table t;
    ASSERT_EQ(t.Open(rescued, -2), 0);
    std::vector<bool> saved(kRecords + 1, false);
    int16_t s = t.Get(BTR_GET_FIRST, 0);
    for (; s == 0; s = t.Get(BTR_GET_NEXT, 0, t.key_buf)) {
      int32_t id = 0;
      std::memcpy(&id, t.data.data(), 4);
      ASSERT_TRUE(id >= 1 && id <= kRecords && t.data == Record(id));
      saved[id] = true;
    }
    EXPECT_EQ(s, BTR_END_OF_FILE);
    t.Close();
    int missing = 0;
    for (int32_t id = 1; id <= kRecords; ++id) {
      if (!saved[id] && !c.lost(id)) ++missing;
    }
    EXPECT_EQ(missing, 0) << "records of intact pages that recover did not save";
  }
}

TEST_F(Damage, NoReadAnswersBytesThatWereNeverWritten) {
  const int count = static_cast<int>(EnvNumber("VASTREL_DAMAGE_COUNT", 1));
#ifdef VASTREL_DAMAGE_FEWER
  // Every read is several times slower under the sanitizers: fewer copies, the same kinds.
  Run(10, 15 * count);
  Run(10000, 5 * count);
  Run(100000, 2 * count);
#else
  Run(10, 60 * count);
  Run(10000, 25 * count);
  Run(100000, 6 * count);
#endif
  Print();
}

}  // namespace
