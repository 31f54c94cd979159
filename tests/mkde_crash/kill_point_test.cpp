// Crashes at chosen moments of a commit over two files and of an owner change: a child process
// runs the work with a file system that ends the process at that moment; the files must then
// open whole.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <sodium.h>

#include "enginecore/include/wbtrv32.h"
#include "mkde/fs.h"
#include "tests/mkde_crash/int_key_file.h"
#include "tests/mkde_crash/kill_at.h"

namespace {

namespace fs = std::filesystem;

constexpr uint16_t kLength = 40;
constexpr int kSecondRecords = 25;
constexpr char kName[] = "Killed1";

using crash::KillAt;

// In a child process: from here on the engine dies at `moment`.
void DieAt(const char* moment) { mkde::InstallFileSystem(new KillAt(moment)); }

class KillPoint : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/mkde-kill-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    for (int f = 0; f < 2; ++f) ASSERT_EQ(crash::CreateIntKeyFile(Path(f), kLength), 0);
  }
  void TearDown() override {
    Stop();
    fs::remove_all(dir_);
  }

  std::string Path(int f) const { return dir_ + (f == 0 ? "/a.dat" : "/b.dat"); }
  static void Stop() {
    uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
    BTRCALL(BTR_STOP, pos, nullptr, nullptr, nullptr, 0, 0);
  }

  int Open(uint8_t* pos, const std::string& path) const {
    return crash::OpenWithName(pos, path, kName, mode_);
  }
  static int Insert(uint8_t* pos, int32_t id, char fill = 'r') {
    std::string rec(kLength, fill);
    std::memcpy(rec.data(), &id, 4);
    uint8_t key[255] = {};
    uint32_t len = kLength;
    return BTRCALL(BTR_INSERT, pos, rec.data(), &len, key, sizeof key, 0);
  }
  // The record with `id`, or "" when there is none.
  static std::string Get(uint8_t* pos, int32_t id) {
    std::string rec(kLength, '\0');
    uint8_t key[255] = {};
    std::memcpy(key, &id, 4);
    uint32_t len = kLength;
    return BTRCALL(BTR_GET_EQUAL, pos, rec.data(), &len, key, sizeof key, 0) == 0 ? rec : "";
  }
  int Count(int f) {
    uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
    if (Open(pos, Path(f)) != 0) return -1;
    uint8_t stat[512];
    uint32_t len = sizeof stat;
    char key[64] = {};
    int s = BTRCALL(BTR_STAT, pos, stat, &len, key, sizeof key, 0);
    BTRCALL(BTR_CLOSE, pos, nullptr, nullptr, nullptr, 0, 0);
    if (s != 0) return -1;
    int n = 0;
    std::memcpy(&n, stat + 6, 4);
    return n;
  }

  // In a child: one transaction of one insert into a.dat and kSecondRecords into b.dat,
  // killed at `step`. With `before`, a transaction of one insert into a.dat and `before`
  // into b.dat commits first (ids from base + 1000). Returns the signal that ended the child
  // (0: it ended on its own). With `sharing`, this process keeps what it has open.
  int RunKilled(const char* step, int32_t base, int before = 0, bool sharing = false) {
    if (!sharing) Stop();
    pid_t pid = fork();
    if (pid == 0) {
      uint8_t a[BTR_POS_BLOCK_SIZE] = {}, b[BTR_POS_BLOCK_SIZE] = {}, none[128] = {};
      if (Open(a, Path(0)) != 0 || Open(b, Path(1)) != 0) _exit(3);
      if (before > 0) {
        if (BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0) != 0) _exit(3);
        if (Insert(a, base + 1000) != 0) _exit(3);
        for (int i = 0; i < before; ++i) {
          if (Insert(b, base + 1000 + i) != 0) _exit(3);
        }
        if (BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0) != 0) _exit(3);
        // Its slots are freed once its logs are synced (by the engine's own thread while
        // the process is idle): the next transaction then takes the first slot again. Only
        // a hang runs out the bound, however loaded the machine.
        for (int i = 0; i < 3000 && (crash::HoldsRedo(Path(0) + "-redo") ||
                                     crash::HoldsRedo(Path(1) + "-redo"));
             ++i) {
          usleep(10000);
        }
      }
      DieAt(step);
      if (BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0) != 0) _exit(3);
      if (Insert(a, base) != 0) _exit(3);
      for (int i = 0; i < kSecondRecords; ++i) {
        if (Insert(b, base + i) != 0) _exit(3);
      }
      BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0);
      _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }

  // True when a redo slot of either file holds a transaction.
  bool RedoLeft() const {
    for (int f = 0; f < 2; ++f) {
      for (const char* slot : {"", "1", "2", "3"}) {
        if (crash::HoldsRedo(Path(f) + "-redo" + slot)) return true;
      }
    }
    return false;
  }

  // Committers killed at `step`, after their commits and before their log syncs.
  void KillCommitters(const char* step);

  std::string dir_;
  // Accelerated (-1): a transaction over the files goes through redo files, which are also
  // what an earlier version left behind.
  int8_t mode_ = 0;
};

// Killed at each step of a commit over two durable files: the transaction is in both files
// once every entry was written, and in neither before, whichever file is opened first.
TEST_F(KillPoint, EveryCrashDuringACommitOverTwoFilesLeavesItWhole) {
  struct Step {
    const char* name;
    bool kept;
  };
  int32_t base = 100;
  int committed = 0;
  for (const Step& step : {Step{"linked-entry-1", false}, Step{"linked-written", true},
                           Step{"linked-committed-1", true}, Step{"linked-committed", true}}) {
    SCOPED_TRACE(step.name);
    ASSERT_EQ(RunKilled(step.name, base), SIGKILL);
    uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
    ASSERT_EQ(Open(pos, Path((base / 100) % 2)), 0);
    EXPECT_EQ(Get(pos, base) != "", step.kept);
    Stop();
    base += 100;
    committed += step.kept ? 1 : 0;
    EXPECT_EQ(Count(0), committed);
    EXPECT_EQ(Count(1), committed * kSecondRecords);
  }
}

TEST_F(KillPoint, EveryCrashDuringACommitThroughRedoFilesLeavesItWhole) {
  mode_ = -1;
  int32_t base = 100;
  for (const char* step : {"prepared", "committed-1", "committed", "released"}) {
    SCOPED_TRACE(step);
    ASSERT_EQ(RunKilled(step, base), SIGKILL);
    EXPECT_TRUE(RedoLeft());
    // Once decided the transaction is there in both files, whichever is opened first.
    const int first = (base / 100) % 2;
    uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
    ASSERT_EQ(Open(pos, Path(first)), 0);
    EXPECT_FALSE(RedoLeft());
    Stop();
    base += 100;
    EXPECT_EQ(Count(0), base / 100 - 1);
    EXPECT_EQ(Count(1), (base / 100 - 1) * kSecondRecords);
  }
}

// Committers killed after letting their gates go, before their logs were waited for, keep
// their redo slots claimed (each had the files open before the first died, so no open of
// theirs recovers them): a later transaction takes over a dead one's slot when none is free,
// and every transaction is in both files.
TEST_F(KillPoint, CommittersKilledBeforeTheirLogSyncsHoldUpNobody) {
  for (int8_t mode : {0, -1}) {
    SCOPED_TRACE(mode == 0 ? "linked entries" : "redo files");
    mode_ = mode;
    Stop();
    for (const auto& entry : fs::directory_iterator(dir_)) fs::remove_all(entry.path());
    for (int f = 0; f < 2; ++f) ASSERT_EQ(crash::CreateIntKeyFile(Path(f), kLength), 0);
    KillCommitters(mode == 0 ? "linked-committed" : "released");
  }
}

void KillPoint::KillCommitters(const char* step) {
  uint8_t a[BTR_POS_BLOCK_SIZE] = {}, b[BTR_POS_BLOCK_SIZE] = {}, none[128] = {};
  ASSERT_EQ(Open(a, Path(0)), 0);
  ASSERT_EQ(Open(b, Path(1)), 0);
  constexpr int kKilled = 4;  // as many as there are slots
  int go[kKilled][2];
  pid_t pids[kKilled];
  for (int k = 0; k < kKilled; ++k) {
    ASSERT_EQ(pipe(go[k]), 0);
    pids[k] = fork();
    if (pids[k] == 0) {
      uint8_t ca[BTR_POS_BLOCK_SIZE] = {}, cb[BTR_POS_BLOCK_SIZE] = {};
      if (Open(ca, Path(0)) != 0 || Open(cb, Path(1)) != 0) _exit(3);
      char c;
      if (read(go[k][0], &c, 1) != 1) _exit(3);
      DieAt(step);
      if (BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0) != 0) _exit(3);
      if (Insert(ca, 100 * (k + 1)) != 0) _exit(3);
      for (int i = 0; i < kSecondRecords; ++i) {
        if (Insert(cb, 100 * (k + 1) + i) != 0) _exit(3);
      }
      BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0);
      _exit(0);
    }
  }
  for (int k = 0; k < kKilled; ++k) {
    ASSERT_EQ(write(go[k][1], "x", 1), 1);
    int status = 0;
    waitpid(pids[k], &status, 0);
    const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    for (int j = k + 1; j < kKilled && !killed; ++j) {
      kill(pids[j], SIGKILL);  // the others wait for their turn: none is left behind
      waitpid(pids[j], nullptr, 0);
    }
    ASSERT_TRUE(killed) << k;
  }
  ASSERT_EQ(BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0), 0);
  ASSERT_EQ(Insert(a, 7), 0);
  ASSERT_EQ(Insert(b, 7), 0);
  ASSERT_EQ(BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0), 0);
  EXPECT_EQ(Count(0), kKilled + 1);
  EXPECT_EQ(Count(1), kKilled * kSecondRecords + 1);
  Stop();
  uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
  ASSERT_EQ(Open(pos, Path(1)), 0);  // a first open: the dead owners' slots go
  EXPECT_FALSE(Get(pos, 7).empty());
  EXPECT_FALSE(RedoLeft());
  for (auto& fds : go) {
    close(fds[0]);
    close(fds[1]);
  }
}

// Killed between claiming its slots and writing them, a writer leaves them claimed: the next
// writer of the file finds nothing to finish and goes on.
TEST_F(KillPoint, AWriterKilledBeforeWritingItsRedoLeavesNothingBehind) {
  mode_ = -1;
  uint8_t a[BTR_POS_BLOCK_SIZE] = {}, b[BTR_POS_BLOCK_SIZE] = {};
  ASSERT_EQ(Open(a, Path(0)), 0);  // kept open: the child's open is no first one
  ASSERT_EQ(Open(b, Path(1)), 0);
  ASSERT_EQ(RunKilled("claimed", 100, 0, true), SIGKILL);
  EXPECT_EQ(Insert(a, 7), 0);
  EXPECT_EQ(Insert(b, 7), 0);
  EXPECT_EQ(Get(a, 100), "");
  EXPECT_EQ(Get(b, 100), "");
  EXPECT_FALSE(RedoLeft());
}

// A writer of linked entries killed while other processes keep the files open: the next
// writer of a file whose entry it left uncommitted finishes the transaction there when every
// participant's entry was written, and drops it when not, before it writes over the entry.
TEST_F(KillPoint, AKilledLinkedCommitIsFinishedOrDroppedByTheNextWriter) {
  uint8_t a[BTR_POS_BLOCK_SIZE] = {}, b[BTR_POS_BLOCK_SIZE] = {};
  ASSERT_EQ(Open(a, Path(0)), 0);  // kept open: the child's open is no first one
  ASSERT_EQ(Open(b, Path(1)), 0);
  // a.dat committed, b.dat not: finished before this process's engine thread checkpoints
  // b.dat's idle log, or by its next write.
  ASSERT_EQ(RunKilled("linked-committed-1", 100, 0, true), SIGKILL);
  usleep(300000);
  EXPECT_NE(Get(b, 100), "");
  EXPECT_EQ(Insert(b, 7), 0);
  EXPECT_EQ(Insert(a, 7), 0);
  EXPECT_NE(Get(a, 100), "");
  for (int i = 0; i < kSecondRecords; ++i) EXPECT_NE(Get(b, 100 + i), "") << i;
  // Only a.dat's entry written: each file's next write drops it.
  ASSERT_EQ(RunKilled("linked-entry-1", 200, 0, true), SIGKILL);
  EXPECT_EQ(Insert(a, 8), 0);
  EXPECT_EQ(Insert(b, 8), 0);
  EXPECT_EQ(Get(a, 200), "");
  EXPECT_EQ(Get(b, 200), "");
  // Every later commit in either file stands: the first open after the last close recovers
  // both logs to what they answered.
  Stop();
  EXPECT_EQ(Count(0), 3);
  EXPECT_EQ(Count(1), kSecondRecords + 2);
}

TEST_F(KillPoint, AnUndecidedTransactionIsDroppedFromBothFiles) {
  mode_ = -1;
  ASSERT_EQ(RunKilled("prepared", 100), SIGKILL);
  // b.dat's redo file cut short: the transaction was never decided.
  const std::string redo = Path(1) + "-redo";
  fs::resize_file(redo, fs::file_size(redo) - 1);
  uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
  ASSERT_EQ(Open(pos, Path(0)), 0);
  EXPECT_EQ(Get(pos, 100), "");
  Stop();
  EXPECT_EQ(Count(1), 0);
  EXPECT_FALSE(RedoLeft());
}

// A redo file is kept from one transaction to the next and written over in place: a shorter
// redo over a longer one is read to its own end, not the file's.
TEST_F(KillPoint, ARedoWrittenOverALongerOneStillFinishesTheTransaction) {
  mode_ = -1;
  ASSERT_EQ(RunKilled("prepared", 100, 200), SIGKILL);
  EXPECT_GT(fs::file_size(Path(1) + "-redo"), 200u * kLength);
  ASSERT_TRUE(RedoLeft());
  uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
  ASSERT_EQ(Open(pos, Path(0)), 0);
  EXPECT_FALSE(Get(pos, 100).empty());
  EXPECT_FALSE(RedoLeft());
  Stop();
  EXPECT_EQ(Count(0), 2);
  EXPECT_EQ(Count(1), 200 + kSecondRecords);
}

// Redo files an earlier version left (tag vstredo1: no length, the hash ends the file) are
// still finished.
TEST_F(KillPoint, ARedoFileOfTheFirstFormatIsStillFinished) {
  mode_ = -1;
  ASSERT_EQ(RunKilled("committed-1", 100), SIGKILL);
  for (int f = 0; f < 2; ++f) {
    const std::string path = Path(f) + "-redo";
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    uint64_t length = 0;
    ASSERT_GE(bytes.size(), 16u);
    std::memcpy(&length, bytes.data() + 8, 8);
    ASSERT_LE(length, bytes.size());
    std::string old = "vstredo1" + bytes.substr(16, length - 16 - 16);
    unsigned char hash[16];
    crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(old.data()),
                       old.size(), nullptr, 0);
    old.append(reinterpret_cast<const char*>(hash), sizeof hash);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << old;
  }
  uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
  ASSERT_EQ(Open(pos, Path(1)), 0);
  EXPECT_FALSE(RedoLeft());
  Stop();
  EXPECT_EQ(Count(0), 1);
  EXPECT_EQ(Count(1), kSecondRecords);
}

TEST_F(KillPoint, AStaleRedoFileNeverUndoesLaterChanges) {
  mode_ = -1;
  ASSERT_EQ(RunKilled("committed-1", 100), SIGKILL);
  const std::string saved = dir_ + "/saved";
  fs::create_directory(saved);
  for (int f = 0; f < 2; ++f) fs::copy_file(Path(f) + "-redo", saved + "/" + std::to_string(f));
  uint8_t a[BTR_POS_BLOCK_SIZE] = {}, b[BTR_POS_BLOCK_SIZE] = {};
  ASSERT_EQ(Open(a, Path(0)), 0);
  ASSERT_EQ(Open(b, Path(1)), 0);
  // Later work on both files: a record deleted, another added.
  std::string rec = Get(b, 100);
  ASSERT_FALSE(rec.empty());
  uint32_t len = kLength;
  uint8_t key[255] = {};
  ASSERT_EQ(BTRCALL(BTR_DELETE, b, rec.data(), &len, key, sizeof key, 0), 0);
  ASSERT_EQ(Insert(a, 7), 0);
  Stop();
  // The redo files come back (a removal a machine crash lost): they must change nothing.
  for (int f = 0; f < 2; ++f) fs::copy_file(saved + "/" + std::to_string(f), Path(f) + "-redo");
  ASSERT_EQ(Open(b, Path(1)), 0);
  EXPECT_EQ(Get(b, 100), "");
  ASSERT_EQ(Open(a, Path(0)), 0);
  EXPECT_FALSE(Get(a, 7).empty());
  EXPECT_FALSE(RedoLeft());
  Stop();
  EXPECT_EQ(Count(1), kSecondRecords - 1);
}

TEST_F(KillPoint, ACrashDuringSetOwnerLeavesTheFileAsItWasAndNoCopyBehind) {
  uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
  ASSERT_EQ(Open(pos, Path(0)), 0);
  ASSERT_EQ(Insert(pos, 1, 'm'), 0);
  Stop();
  pid_t pid = fork();
  if (pid == 0) {
    DieAt("owner-copied");
    uint8_t p[BTR_POS_BLOCK_SIZE] = {};
    char name[sizeof kName];
    std::memcpy(name, kName, sizeof name);
    uint32_t len = sizeof name;
    if (Open(p, Path(0)) != 0) _exit(3);
    BTRCALL(BTR_SET_OWNER, p, name, &len, name, sizeof name, 2);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_TRUE(fs::exists(Path(0) + ".compact"));
  // Opened without a name: still the plain file, and the copy is gone.
  std::string key = Path(0) + '\0';
  uint32_t len = 0;
  ASSERT_EQ(BTRCALL(BTR_OPEN, pos, nullptr, &len, key.data(), static_cast<uint8_t>(key.size()), 0),
            0);
  EXPECT_EQ(Get(pos, 1).substr(4), std::string(kLength - 4, 'm'));
  EXPECT_FALSE(fs::exists(Path(0) + ".compact"));
}

// A compact killed once its copy is written leaves the file as it was; one that ends gives back
// the space of deleted records and keeps every record left and the file's mode.
TEST_F(KillPoint, ACrashDuringCompactLeavesTheFileWholeAndACompactGivesSpaceBack) {
  uint8_t pos[BTR_POS_BLOCK_SIZE] = {}, none[128] = {};
  ASSERT_EQ(Open(pos, Path(0)), 0);
  ASSERT_EQ(BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0), 0);
  for (int32_t id = 1; id <= 3000; ++id) ASSERT_EQ(Insert(pos, id, 'c'), 0);
  ASSERT_EQ(BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0), 0);
  for (int32_t id = 1; id <= 3000; ++id) {
    if (id % 10 == 0) continue;
    ASSERT_FALSE(Get(pos, id).empty());
    uint32_t len = 0;
    ASSERT_EQ(BTRCALL(BTR_DELETE, pos, nullptr, &len, nullptr, 0, 0), 0) << id;
  }
  Stop();
  ASSERT_EQ(chmod(Path(0).c_str(), 0600), 0);
  const auto before = fs::file_size(Path(0));
  pid_t pid = fork();
  if (pid == 0) {
    DieAt("compact-copied");
    uint8_t p[BTR_POS_BLOCK_SIZE] = {};
    uint32_t len = 0;
    if (Open(p, Path(0)) != 0) _exit(3);
    BTRCALL(BTR_COMPACT, p, nullptr, &len, nullptr, 0, 0);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_TRUE(fs::exists(Path(0) + ".compact"));
  EXPECT_EQ(fs::file_size(Path(0)), before);
  EXPECT_EQ(Count(0), 300);
  EXPECT_FALSE(fs::exists(Path(0) + ".compact"));

  ASSERT_EQ(Open(pos, Path(0)), 0);
  uint8_t other[BTR_POS_BLOCK_SIZE] = {};
  ASSERT_EQ(Open(other, Path(0)), 0);
  uint32_t len = 0;
  ASSERT_EQ(BTRCALL(BTR_COMPACT, pos, nullptr, &len, nullptr, 0, 0), 0);
  EXPECT_LT(fs::file_size(Path(0)), before / 3);
  EXPECT_EQ(fs::status(Path(0)).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(Get(pos, 10).substr(4), std::string(kLength - 4, 'c'));
  EXPECT_EQ(Get(pos, 11), "");
  ASSERT_EQ(Insert(pos, 3001), 0);
  // The other block goes on in the new file.
  EXPECT_FALSE(Get(other, 3001).empty());
  ASSERT_EQ(Insert(other, 3002), 0);
  Stop();
  EXPECT_EQ(Count(0), 302);
}

// A compact while another process keeps the file open and writes: that process's commits
// before the compact are in the new file, and its commits and reads after it go to the new
// file, never to the old one the rename let go.
TEST_F(KillPoint, ACompactBesideAWriterInAnotherProcessLosesNoneOfItsCommits) {
  uint8_t pos[BTR_POS_BLOCK_SIZE] = {}, none[128] = {};
  ASSERT_EQ(Open(pos, Path(0)), 0);
  ASSERT_EQ(BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0), 0);
  for (int32_t id = 1; id <= 2000; ++id) ASSERT_EQ(Insert(pos, id), 0);
  ASSERT_EQ(BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0), 0);
  int to_child[2], to_parent[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(to_parent), 0);
  pid_t pid = fork();
  if (pid == 0) {
    // Deletes 1 to 1900 and inserts 5000, one durable commit each; then, once the parent
    // has compacted, reads 5000 and 1901 and inserts 5001; then reads the parent's 5002.
    uint8_t p[BTR_POS_BLOCK_SIZE] = {};
    if (Open(p, Path(0)) != 0) _exit(3);
    for (int32_t id = 1; id <= 1900; ++id) {
      uint32_t len = 0;
      if (Get(p, id).empty() || BTRCALL(BTR_DELETE, p, nullptr, &len, nullptr, 0, 0) != 0) {
        _exit(4);
      }
    }
    if (Insert(p, 5000) != 0) _exit(5);
    char c = 'w';
    if (write(to_parent[1], &c, 1) != 1 || read(to_child[0], &c, 1) != 1) _exit(6);
    if (Get(p, 5000).empty() || Get(p, 1901).empty() || !Get(p, 1).empty()) _exit(7);
    if (Insert(p, 5001) != 0) _exit(8);
    if (write(to_parent[1], &c, 1) != 1 || read(to_child[0], &c, 1) != 1) _exit(6);
    _exit(Get(p, 5002).empty() ? 9 : 0);
  }
  char c = 0;
  ASSERT_EQ(read(to_parent[0], &c, 1), 1);
  const auto before = fs::file_size(Path(0));
  uint32_t len = 0;
  ASSERT_EQ(BTRCALL(BTR_COMPACT, pos, nullptr, &len, nullptr, 0, 0), 0);
  EXPECT_LT(fs::file_size(Path(0)), before);
  ASSERT_EQ(write(to_child[1], &c, 1), 1);
  ASSERT_EQ(read(to_parent[0], &c, 1), 1);
  EXPECT_FALSE(Get(pos, 5001).empty());
  EXPECT_EQ(Insert(pos, 5002), 0);
  ASSERT_EQ(write(to_child[1], &c, 1), 1);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  Stop();
  EXPECT_EQ(Count(0), 103);
}

}  // namespace
