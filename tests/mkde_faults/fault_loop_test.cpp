// Every operation that writes, run again and again with its Nth call of the file system
// failing (N = 1, 2, ... until the operation runs through), with EIO and then with ENOSPC:
// the operation answers a status, never success for a write that failed, and after the files
// are opened again they read back consistent, holding the data from just before the
// operation or just after it.
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>

#include "mkde/fs.h"
#include "tests/mkde/engine_fixture.h"
#include "tests/mkde_crash/kill_at.h"

namespace {

namespace fs = std::filesystem;
using mkde_test::Table;

constexpr uint16_t kLength = 40;
constexpr int kRecords = 20;
constexpr char kOwner[] = "Secret1";

// The real file system, failing the Nth call of the thread that armed it with one error.
class FailingFs : public mkde::FileSystem {
 public:
  void Arm(long n, int error) {
    thread_ = std::this_thread::get_id();
    calls_ = 0;
    fail_at_ = n;
    error_ = error;
    hit_ = hit_write_ = false;
    log_writes_ = -1;
  }
  // Fails the first call of the named kind ("Fdatasync", "EnvSync", ...) instead.
  void ArmAt(const char* what, int error) {
    Arm(-1, error);
    fail_what_ = what;
  }
  // Fails the write to a file of `kind` ("-log": a commit log, "-redo": a redo slot) that
  // comes after `skip` others, once (the room is back at once); `torn`: the write takes the
  // first half of its bytes before it answers the error.
  void ArmWrite(const char* kind, int error, int skip, bool torn) {
    Arm(0, error);
    kind_ = kind;
    log_writes_ = skip;
    torn_ = torn;
  }
  void Disarm() {
    fail_at_ = 0;
    fail_what_ = nullptr;
    log_writes_ = -1;
  }
  // A call failed, and whether it was a write, a sync or a commit.
  bool hit() const { return hit_; }
  const char* what() const { return what_; }
  bool hit_write() const { return hit_write_; }

  int Open(const char* path, int flags, mode_t mode) override {
    if (Fail(false)) return -1;
    const int fd = FileSystem::Open(path, flags, mode);
    if (fd >= 0) {
      // A path's kind: its last "-" part without digits ("-redo1" is a "-redo").
      std::string_view p(path);
      p = p.substr(std::min(p.size(), p.rfind('-')));
      while (!p.empty() && std::isdigit(static_cast<unsigned char>(p.back()))) p.remove_suffix(1);
      kinds_[fd] = p;
    }
    return fd;
  }
  int Close(int fd) override {
    kinds_.erase(fd);
    return FileSystem::Close(fd);
  }
  ssize_t Read(int fd, void* buf, size_t n) override {
    return Fail(false) ? -1 : FileSystem::Read(fd, buf, n);
  }
  ssize_t Pread(int fd, void* buf, size_t n, off_t at) override {
    return Fail(false) ? -1 : FileSystem::Pread(fd, buf, n, at);
  }
  ssize_t Write(int fd, const void* buf, size_t n) override {
    return Fail(true) ? -1 : FileSystem::Write(fd, buf, n);
  }
  ssize_t Pwrite(int fd, const void* buf, size_t n, off_t at) override {
    if (log_writes_ >= 0 && kinds_.count(fd) != 0 && kinds_[fd] == kind_ &&
        std::this_thread::get_id() == thread_ && log_writes_-- == 0) {
      hit_ = hit_write_ = true;
      what_ = "Pwrite";
      if (torn_ && FileSystem::Pwrite(fd, buf, n / 2, at) < 0) return -1;
      errno = error_;
      return -1;
    }
    return Fail(true) ? -1 : FileSystem::Pwrite(fd, buf, n, at);
  }
  int Fsync(int fd) override { return Fail(true) ? -1 : FileSystem::Fsync(fd); }
  int Fdatasync(int fd) override { return Fail(true) ? -1 : FileSystem::Fdatasync(fd); }
  // One after another on this thread, so that each counts as a call and can be the one failed.
  void FdatasyncAll(const int* fds, int* errors, size_t n) override {
    for (size_t i = 0; i < n; ++i) errors[i] = Fdatasync(fds[i]) == 0 ? 0 : errno;
  }
  // Only a head start for a sync: its failure must cost a write nothing.
  int StartWrite(int fd, off_t at, off_t n) override {
    return Fail(false) ? -1 : FileSystem::StartWrite(fd, at, n);
  }
  // A write-back that one flush makes stable stands for a sync: its failure is final.
  int WriteBack(int fd) override { return Fail(true) ? -1 : FileSystem::WriteBack(fd); }
  int Ftruncate(int fd, off_t size) override {
    return Fail(true) ? -1 : FileSystem::Ftruncate(fd, size);
  }
  // Giving a free page's blocks back may fail: the page then stays as it was.
  int PunchHole(int fd, off_t at, off_t n) override {
    return Fail(false) ? -1 : FileSystem::PunchHole(fd, at, n);
  }
  int Fstat(int fd, struct stat* st) override {
    return Fail(false) ? -1 : FileSystem::Fstat(fd, st);
  }
  int Rename(const char* from, const char* to) override {
    return Fail(true) ? -1 : FileSystem::Rename(from, to);
  }
  // A removal that fails leaves a file behind that the engine must tolerate; it loses no
  // write.
  int Unlink(const char* path) override { return Fail(false) ? -1 : FileSystem::Unlink(path); }
  int MakeTemp(char* name) override { return Fail(true) ? -1 : FileSystem::MakeTemp(name); }
  int Stat(const char* path, struct stat* st) override {
    return Fail(false) ? -1 : FileSystem::Stat(path, st);
  }
  int Statfs(const char* path, struct statfs* st) override {
    return Fail(false) ? -1 : FileSystem::Statfs(path, st);
  }
  bool RealPath(const char* path, std::string* out) override {
    return !Fail(false) && FileSystem::RealPath(path, out);
  }
  // Owner and mode: no record depends on them.
  int Fchown(int fd, uid_t uid, gid_t gid) override {
    return Fail(false) ? -1 : FileSystem::Fchown(fd, uid, gid);
  }
  int Fchmod(int fd, mode_t mode) override {
    return Fail(false) ? -1 : FileSystem::Fchmod(fd, mode);
  }
  int Chown(const char* path, uid_t uid, gid_t gid) override {
    return Fail(false) ? -1 : FileSystem::Chown(path, uid, gid);
  }
  int Chmod(const char* path, mode_t mode) override {
    return Fail(false) ? -1 : FileSystem::Chmod(path, mode);
  }
  // Letting go of a lock is always granted; taking or testing one may fail.
  int Lock(int fd, int cmd, struct flock* lock) override {
    if (lock->l_type != F_UNLCK && Fail(false)) return -1;
    return FileSystem::Lock(fd, cmd, lock);
  }
  void* Map(int fd, size_t size) override {
    return Fail(false) ? MAP_FAILED : FileSystem::Map(fd, size);
  }
  // A sleep that ends at once, and a wake that wakes nobody: sleepers find out at their
  // bound.
  int FutexWait(uint32_t* word, uint32_t expected, const struct timespec* timeout) override {
    return Fail(false) ? -1 : FileSystem::FutexWait(word, expected, timeout);
  }
  int FutexWake(uint32_t* word) override { return Fail(false) ? -1 : FileSystem::FutexWake(word); }
  int EnvOpen(MDB_env* env, const char* path, unsigned flags, mdb_mode_t mode) override {
    return Fail(false) ? error_ : FileSystem::EnvOpen(env, path, flags, mode);
  }
  // A commit whose write-back fails keeps nothing, as LMDB's does.
  int TxnCommit(MDB_txn* txn) override {
    if (!Fail(true)) return FileSystem::TxnCommit(txn);
    mdb_txn_abort(txn);
    return error_;
  }
  int EnvSync(MDB_env* env, int force) override {
    return Fail(true) ? error_ : FileSystem::EnvSync(env, force);
  }

 private:
  bool Fail(bool write, const char* what = __builtin_FUNCTION()) {
    if (fail_at_ == 0 || std::this_thread::get_id() != thread_) return false;
    if (fail_what_ ? std::strcmp(what, fail_what_) != 0 : ++calls_ != fail_at_) return false;
    hit_ = true;
    hit_write_ = write;
    what_ = what;
    errno = error_;
    return true;
  }
  std::thread::id thread_;
  long calls_ = 0;
  long fail_at_ = 0;
  int error_ = 0;
  bool hit_ = false;
  bool hit_write_ = false;
  const char* what_ = "";
  const char* fail_what_ = nullptr;
  std::map<int, std::string> kinds_;
  std::string kind_;
  int log_writes_ = -1;
  bool torn_ = false;
};

using crash::KillAt;

// What a file holds as read back: records by id, or a mark that it is missing, refused or
// inconsistent (its key paths, physical order and statistics disagree).
struct FileState {
  int16_t open = 0;
  bool owner = false;
  bool consistent = true;
  std::map<int32_t, std::string> records;
  bool operator==(const FileState&) const = default;
};

void PrintTo(const FileState& s, std::ostream* os) {
  *os << "{open " << s.open << (s.owner ? ", owner" : "") << (s.consistent ? "" : ", inconsistent")
      << ", " << s.records.size() << " records";
  for (const auto& [id, record] : s.records) {
    if (record[8] != 'b') *os << ", " << id << ": " << record[8];
  }
  *os << "}";
}

std::string Record(int32_t id, char fill) {
  std::string r(kLength, fill);
  std::memcpy(r.data(), &id, 4);
  int32_t group = id % 3;
  std::memcpy(r.data() + 4, &group, 4);
  return r;
}

// Reads a file back whole: physical order, both key paths, and the statistics' count.
FileState ReadBack(const std::string& path) {
  FileState state;
  Table t;
  state.open = t.Open(path);
  if (state.open == BTR_INVALID_OWNER) {
    state.owner = true;
    state.open = t.Open(path, 0, kOwner);
  }
  if (state.open != 0) return state;
  for (int16_t s = t.Step(BTR_STEP_FIRST); s != BTR_END_OF_FILE; s = t.Step(BTR_STEP_NEXT)) {
    if (s != 0 || t.data.size() != kLength) {
      state.consistent = false;
      return state;
    }
    int32_t id;
    std::memcpy(&id, t.data.data(), 4);
    state.records[id] = t.data;
  }
  for (int8_t key : {0, 1}) {
    size_t seen = 0;
    for (int16_t s = t.Get(BTR_GET_FIRST, key); s != BTR_END_OF_FILE;
         s = t.Get(BTR_GET_NEXT, key, t.key_buf)) {
      int32_t id = 0;
      if (s == 0) std::memcpy(&id, t.data.data(), 4);
      if (s != 0 || state.records.count(id) == 0 || state.records[id] != t.data) {
        state.consistent = false;
        return state;
      }
      ++seen;
    }
    if (seen != state.records.size()) state.consistent = false;
  }
  std::string stat;
  if (t.Stat(&stat) != 0 || mkde_test::GetU32(stat, 6) != state.records.size()) {
    state.consistent = false;
  }
  return state;
}

class FaultLoop : public mkde_test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    base_ = Path("base");
    work_ = Path("work");
    fs::create_directory(base_);
    before_ = mkde::InstallFileSystem(&fs_);
  }
  void TearDown() override {
    Stop();
    mkde::InstallFileSystem(before_);
    EngineTest::TearDown();
  }

  static void Stop() {
    uint8_t pos[128] = {};
    BTRCALL(BTR_STOP, pos, nullptr, nullptr, nullptr, 0, 0);
  }
  std::string Base(const char* name) const { return base_ + "/" + name; }
  std::string Work(const char* name) const { return work_ + "/" + name; }

  // A file of kRecords records in the starting folder: key 0 the unique id, key 1 a group
  // with duplicates.
  void MakeFile(const char* name) {
    std::string path = Base(name);
    ASSERT_EQ(mkde_test::CreateFile(
                  path, mkde_test::CreationBuffer(kLength, {{{1, 4, 0, 1}}, {{5, 4, 0x0001, 1}}})),
              0);
    Table t;
    ASSERT_EQ(t.Open(path), 0);
    for (int32_t id = 1; id <= kRecords; ++id) ASSERT_EQ(t.Insert(Record(id, 'b')), 0);
  }
  std::map<int32_t, std::string> BaseRecords() const {
    std::map<int32_t, std::string> records;
    for (int32_t id = 1; id <= kRecords; ++id) records[id] = Record(id, 'b');
    return records;
  }

  // Runs `op` in a copy of the starting folder with the Nth call failing, for every N until
  // op runs through, with EIO and then ENOSPC. `op` opens what it needs and calls Go() just
  // before the operation; `read` reads the files back; `before` and `after` are what they may
  // hold. `made_good`: a write that found no room may be made good another way, and the
  // operation then answer success (it still has to last). Returns the number of runs.
  int Loop(const std::function<int16_t()>& op, const std::function<std::vector<FileState>()>& read,
           const std::vector<FileState>& before, const std::vector<FileState>& after,
           bool made_good = false) {
    int runs = 0;
    for (int error : {EIO, ENOSPC}) {
      for (long n = 1;; ++n) {
        SCOPED_TRACE(testing::Message() << "failing call " << n << ", error " << error);
        Stop();
        fs::remove_all(work_);
        fs::copy(base_, work_, fs::copy_options::recursive);
        fail_at_ = n;
        error_ = error;
        int16_t status = op();
        fs_.Disarm();
        ++runs;
        Stop();
        std::vector<FileState> state = read();
        SCOPED_TRACE(fs_.what());
        if (!fs_.hit()) {
          EXPECT_EQ(status, 0);
          EXPECT_EQ(state, after);
          break;
        }
        EXPECT_TRUE(state == before || state == after) << testing::PrintToString(state);
        if (status == 0) {
          EXPECT_EQ(state, after) << "a success that did not last";
        }
        if (fs_.hit_write() && !(made_good && error == ENOSPC)) {
          EXPECT_NE(status, 0) << "a failed write answered success";
        }
        if (testing::Test::HasFailure() || n > 1000) return runs;
      }
    }
    return runs;
  }
  // Arms the fault of the current run, and disarms it with the operation's status, before
  // the closes that follow.
  void Go() { fs_.Arm(fail_at_, error_); }
  int16_t Done(int16_t status) {
    fs_.Disarm();
    return status;
  }

  // Two files and a writer killed inside a transaction over both, after the first file's
  // commit: with `redo` (b.dat accelerated), the redo files of both left behind, else both
  // linked entries with the second file's not committed. The files name each other by path:
  // with `in_work` the transaction runs in the working folder, whose copies Loop puts back.
  void InterruptAfterFirstCommit(bool redo, bool in_work = false) {
    MakeFile("a.dat");
    MakeFile("b.dat");
    auto Base = [&](const char* name) { return in_work ? Work(name) : this->Base(name); };
    if (in_work) {
      fs::remove_all(work_);
      fs::copy(base_, work_, fs::copy_options::recursive);
    }
    pid_t pid = fork();
    if (pid == 0) {
      mkde::InstallFileSystem(new KillAt(redo ? "committed-1" : "linked-committed-1"));
      Table a, b;
      uint8_t none[128] = {};
      if (a.Open(Base("a.dat")) != 0 || b.Open(Base("b.dat"), redo ? -1 : 0) != 0) _exit(3);
      BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0);
      if (a.Insert(Record(100, 't')) != 0 || b.Insert(Record(100, 't')) != 0) _exit(3);
      BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0);
      _exit(0);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    ASSERT_TRUE(WIFSIGNALED(wstatus));
    ASSERT_EQ(fs::exists(Base("b.dat-redo")), redo);
    if (in_work) {
      fs::remove_all(base_);
      fs::copy(work_, base_, fs::copy_options::recursive);
    }
  }

  FailingFs fs_;
  mkde::FileSystem* before_ = nullptr;
  std::string base_, work_;
  long fail_at_ = 0;
  int error_ = 0;
};

TEST_F(FaultLoop, SingleWrites) {
  MakeFile("a.dat");
  const FileState base{0, false, true, BaseRecords()};
  auto read = [&] { return std::vector<FileState>{ReadBack(Work("a.dat"))}; };
  struct Case {
    const char* name;
    int8_t mode;
    std::function<int16_t(Table&)> op;
    std::function<void(FileState*)> change;
  };
  const Case cases[] = {
      {"insert", 0, [](Table& t) { return t.Insert(Record(100, 'n')); },
       [](FileState* s) { s->records[100] = Record(100, 'n'); }},
      {"insert, accelerated", -1, [](Table& t) { return t.Insert(Record(100, 'n')); },
       [](FileState* s) { s->records[100] = Record(100, 'n'); }},
      {"update", 0, [](Table& t) { return t.Update(Record(5, 'u')); },
       [](FileState* s) { s->records[5] = Record(5, 'u'); }},
      {"delete", 0, [](Table& t) { return t.Delete(); }, [](FileState* s) { s->records.erase(5); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FileState after = base;
    c.change(&after);
    Loop(
        [&] {
          Table t;
          if (t.Open(Work("a.dat"), c.mode) != 0) return int16_t{-1};
          if (t.Get(BTR_GET_EQUAL, 0, mkde_test::IdKey(5)) != 0) return int16_t{-1};
          Go();
          return Done(c.op(t));
        },
        read, {base}, {after});
  }
}

// A sync that ran out of room answers 18, but is as final as any other failed sync.
TEST_F(FaultLoop, AFailedSyncIsFinalForEveryHandleUntilTheFileIsOpenedAgain) {
  MakeFile("a.dat");
  const std::string path = Base("a.dat");
  for (int error : {EIO, ENOSPC}) {
    SCOPED_TRACE(error);
    const int32_t id = error == EIO ? 100 : 200;
    {
      Table t1, t2;
      ASSERT_EQ(t1.Open(path), 0);
      ASSERT_EQ(t2.Open(path), 0);
      fs_.ArmAt("Fdatasync", error);  // the commit's one sync
      EXPECT_EQ(t1.Insert(Record(id, 'n')), error == EIO ? BTR_IO_ERROR : BTR_DISK_FULL);
      fs_.Disarm();
      EXPECT_EQ(t1.Insert(Record(id + 1, 'n')), BTR_IO_ERROR);
      EXPECT_EQ(t2.Insert(Record(id + 2, 'n')), BTR_IO_ERROR);
      ASSERT_EQ(t2.Get(BTR_GET_EQUAL, 0, mkde_test::IdKey(5)), 0);  // reads go on
      EXPECT_EQ(t2.Update(Record(5, 'u')), BTR_IO_ERROR);
    }
    FileState state = ReadBack(path);
    EXPECT_TRUE(state.consistent);
    EXPECT_EQ(state.records.count(id + 1) + state.records.count(id + 2), 0u);
    EXPECT_EQ(state.records[5], Record(5, 'b'));
    Table t;
    ASSERT_EQ(t.Open(path), 0);
    EXPECT_EQ(t.Insert(Record(id + 3, 'n')), 0);
  }
}

// A durable commit whose write to the log finds no room (the write of the log's header, its
// growth, or the entry; nothing or a part of it taken; disk or quota full) answers 18 and
// keeps nothing, and once there is room the file goes on: a close, and a kill that leaves the
// log to the next open, both keep exactly the acknowledged records.
TEST_F(FaultLoop, ACommitWhoseLogWriteFindsNoRoomAnswers18AndTheFileGoesOn) {
  MakeFile("a.dat");
  struct Case {
    const char* name;
    bool logged_before;  // a commit began the log before
    int skip;            // log writes that go through first
  };
  const Case cases[] = {{"header", false, 0}, {"growth", false, 1}, {"entry", true, 0}};
  for (const Case& c : cases) {
    for (bool torn : {false, true}) {
      for (bool kill : {false, true}) {
        SCOPED_TRACE(testing::Message()
                     << c.name << (torn ? ", torn" : "") << (kill ? ", kill" : ""));
        Stop();
        fs::remove_all(work_);
        fs::copy(base_, work_, fs::copy_options::recursive);
        // 0, or the step that answered otherwise than it should.
        auto run = [&]() -> int {
          Table t;
          if (t.Open(Work("a.dat")) != 0) return 1;
          if (c.logged_before && t.Insert(Record(99, 'n')) != 0) return 2;
          fs_.ArmWrite("-log", torn ? EDQUOT : ENOSPC, c.skip, torn);
          const int16_t full = t.Insert(Record(100, 'n'));
          const bool hit = fs_.hit();
          fs_.Disarm();
          if (!hit || full != BTR_DISK_FULL) return 3;
          if (t.Get(BTR_GET_EQUAL, 0, mkde_test::IdKey(100)) != BTR_KEY_NOT_FOUND) return 4;
          if (t.Insert(Record(101, 'n')) != 0) return 5;
          if (kill) raise(SIGKILL);
          return 0;
        };
        if (kill) {
          pid_t pid = fork();
          if (pid == 0) _exit(run());
          int wstatus = 0;
          waitpid(pid, &wstatus, 0);
          ASSERT_TRUE(WIFSIGNALED(wstatus)) << "step " << WEXITSTATUS(wstatus);
        } else {
          ASSERT_EQ(run(), 0);
        }
        Stop();
        FileState after{0, false, true, BaseRecords()};
        if (c.logged_before) after.records[99] = Record(99, 'n');
        after.records[101] = Record(101, 'n');
        EXPECT_EQ(ReadBack(Work("a.dat")), after);
      }
    }
  }
}

TEST_F(FaultLoop, ACheckpointWhoseSyncFailedKeepsTheLogForTheNextOpen) {
  MakeFile("a.dat");
  const std::string path = Base("a.dat");
  {
    Table t;
    ASSERT_EQ(t.Open(path), 0);
    ASSERT_EQ(t.Insert(Record(100, 'n')), 0);
    fs_.ArmAt("EnvSync", EIO);  // the last close's checkpoint
  }
  fs_.Disarm();
  ASSERT_GT(fs::file_size(path + "-log"), 0u);
  FileState state = ReadBack(path);
  EXPECT_TRUE(state.consistent);
  EXPECT_EQ(state.records[100], Record(100, 'n'));
}

// Through linked log entries, and through redo files when one file is accelerated.
TEST_F(FaultLoop, TransactionOverTwoFiles) {
  MakeFile("a.dat");
  MakeFile("b.dat");
  const FileState base{0, false, true, BaseRecords()};
  FileState after = base;
  after.records[100] = Record(100, 't');
  for (int8_t b_mode : {0, -1}) {
    SCOPED_TRACE(b_mode == 0 ? "linked entries" : "redo files");
    Loop(
        [&] {
          Table a, b;
          if (a.Open(Work("a.dat")) != 0 || b.Open(Work("b.dat"), b_mode) != 0) {
            return int16_t{-1};
          }
          Go();
          uint8_t none[128] = {};
          int16_t s = BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0);
          if (s == 0) s = a.Insert(Record(100, 't'));
          if (s == 0) s = b.Insert(Record(100, 't'));
          if (s == 0)
            return Done(BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0));
          Done(s);
          BTRCALL(BTR_ABORT_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0);
          return s;
        },
        [&] {
          return std::vector<FileState>{ReadBack(Work("a.dat")), ReadBack(Work("b.dat"))};
        },
        {base, base}, {after, after},
        /*made_good=*/true);  // a decided part, by a commit of its own
  }
}

// Once its redo files are written, a transaction over two files (one of them accelerated) is
// decided: when the log of the first file finds no room for its entry, the file gets its part
// by a commit of its own, and the call answers success that a kill afterwards keeps.
TEST_F(FaultLoop, ADecidedTransactionWhoseLogWriteFindsNoRoomStillCommits) {
  MakeFile("a.dat");
  MakeFile("b.dat");
  pid_t pid = fork();
  if (pid == 0) {
    Table a, b;
    uint8_t none[128] = {};
    if (a.Open(Base("a.dat")) != 0 || b.Open(Base("b.dat"), -1) != 0) _exit(1);
    // The log begun, so that the first write to a log at the transaction's end is an entry.
    if (a.Insert(Record(99, 'n')) != 0 || b.Insert(Record(99, 'n')) != 0) _exit(2);
    BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0);
    if (a.Insert(Record(100, 't')) != 0 || b.Insert(Record(100, 't')) != 0) _exit(3);
    fs_.ArmWrite("-log", ENOSPC, 0, true);
    if (BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0) != 0) _exit(4);
    if (!fs_.hit()) _exit(5);
    fs_.Disarm();
    if (a.Insert(Record(101, 'n')) != 0 || b.Insert(Record(101, 'n')) != 0) _exit(6);
    raise(SIGKILL);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  ASSERT_TRUE(WIFSIGNALED(wstatus)) << "step " << WEXITSTATUS(wstatus);
  FileState after{0, false, true, BaseRecords()};
  after.records[99] = Record(99, 'n');
  after.records[100] = Record(100, 't');
  after.records[101] = Record(101, 'n');
  EXPECT_EQ(ReadBack(Base("a.dat")), after);
  EXPECT_EQ(ReadBack(Base("b.dat")), after);
}

// A transaction over two files whose linked entry or redo (one file accelerated) finds no room
// (in the first file or the second, nothing or half of it written) answers 18 and keeps
// nothing; both files go on at once, and a kill afterwards leaves neither with a part of it.
TEST_F(FaultLoop, ATransactionWhoseEntryOrRedoFindsNoRoomAnswers18AndTheFilesGoOn) {
  MakeFile("a.dat");
  MakeFile("b.dat");
  for (const char* kind : {"-log", "-redo"}) {
    for (int skip : {0, 1}) {
      for (bool torn : {false, true}) {
        SCOPED_TRACE(testing::Message() << kind << " " << skip << (torn ? ", torn" : ""));
        const bool redo = std::string_view(kind) == "-redo";
        Stop();
        fs::remove_all(work_);
        fs::copy(base_, work_, fs::copy_options::recursive);
        pid_t pid = fork();
        if (pid == 0) {
          Table a, b;
          uint8_t none[128] = {};
          auto both = [&](int32_t id) {
            BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0);
            if (a.Insert(Record(id, 't')) != 0 || b.Insert(Record(id, 't')) != 0) _exit(3);
          };
          if (a.Open(Work("a.dat")) != 0 || b.Open(Work("b.dat"), redo ? -1 : 0) != 0) _exit(1);
          both(99);  // every slot file made, every log begun
          if (BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0) != 0) _exit(2);
          both(100);
          fs_.ArmWrite(kind, ENOSPC, skip, torn);
          const int16_t full = BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0);
          const bool hit = fs_.hit();
          fs_.Disarm();
          if (!hit || full != BTR_DISK_FULL) _exit(4);
          if (a.Get(BTR_GET_EQUAL, 0, mkde_test::IdKey(100)) != BTR_KEY_NOT_FOUND) _exit(5);
          both(101);
          if (BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0) != 0) _exit(6);
          raise(SIGKILL);
        }
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        ASSERT_TRUE(WIFSIGNALED(wstatus)) << "step " << WEXITSTATUS(wstatus);
        FileState after{0, false, true, BaseRecords()};
        after.records[99] = Record(99, 't');
        after.records[101] = Record(101, 't');
        EXPECT_EQ(ReadBack(Work("a.dat")), after);
        EXPECT_EQ(ReadBack(Work("b.dat")), after);
      }
    }
  }
}

// The real file system, but every sync of a file whose path holds `name` fails, on whichever
// thread it runs: the redo files of a transaction are synced side by side, and the logs by
// whichever committer leads the group, and a failure on any of their threads must reach the
// call.
class FailingSyncOf : public mkde::FileSystem {
 public:
  explicit FailingSyncOf(std::string name) : name_(std::move(name)) {}
  int Open(const char* path, int flags, mode_t mode) override {
    const int fd = FileSystem::Open(path, flags, mode);
    if (fd >= 0 && std::string_view(path).find(name_) != std::string_view::npos) {
      std::lock_guard<std::mutex> lock(mutex_);
      redo_.insert(fd);
    }
    return fd;
  }
  int Close(int fd) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      redo_.erase(fd);
    }
    return FileSystem::Close(fd);
  }
  int Fdatasync(int fd) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (redo_.count(fd) != 0) {
        errno = EIO;
        return -1;
      }
    }
    return FileSystem::Fdatasync(fd);
  }

 private:
  const std::string name_;
  std::mutex mutex_;
  std::set<int> redo_;
};

TEST_F(FaultLoop, ATransactionWhoseRedoSyncFailsOnAnyThreadAnswers2AndKeepsNothing) {
  MakeFile("a.dat");
  MakeFile("b.dat");
  pid_t pid = fork();
  if (pid == 0) {
    FailingSyncOf failing("b.dat-redo");
    mkde::InstallFileSystem(&failing);
    Table a, b;
    uint8_t none[128] = {};
    if (a.Open(Base("a.dat")) != 0 || b.Open(Base("b.dat"), -1) != 0) _exit(1);
    BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0);
    if (a.Insert(Record(100, 't')) != 0 || b.Insert(Record(100, 't')) != 0) _exit(2);
    if (BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0) != BTR_IO_ERROR) {
      _exit(3);
    }
    raise(SIGKILL);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  ASSERT_TRUE(WIFSIGNALED(wstatus)) << "step " << WEXITSTATUS(wstatus);
  const FileState before{0, false, true, BaseRecords()};
  EXPECT_EQ(ReadBack(Base("a.dat")), before);
  EXPECT_EQ(ReadBack(Base("b.dat")), before);
}

// A failed sync of a participant's log, after every file committed its part: the call answers
// 2, neither file takes another write, and the next opens find the transaction in both files
// or in neither.
TEST_F(FaultLoop, ATransactionWhoseLogSyncFailsAnswers2AndStaysWholeOrAbsent) {
  MakeFile("a.dat");
  MakeFile("b.dat");
  pid_t pid = fork();
  if (pid == 0) {
    FailingSyncOf failing("b.dat-log");
    mkde::InstallFileSystem(&failing);
    Table a, b;
    uint8_t none[128] = {};
    if (a.Open(Base("a.dat")) != 0 || b.Open(Base("b.dat")) != 0) _exit(1);
    BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0);
    if (a.Insert(Record(100, 't')) != 0 || b.Insert(Record(100, 't')) != 0) _exit(2);
    if (BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0) != BTR_IO_ERROR) {
      _exit(3);
    }
    if (b.Insert(Record(101, 'n')) != BTR_IO_ERROR) _exit(4);
    raise(SIGKILL);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  ASSERT_TRUE(WIFSIGNALED(wstatus)) << "step " << WEXITSTATUS(wstatus);
  const FileState a = ReadBack(Base("a.dat")), b = ReadBack(Base("b.dat"));
  EXPECT_TRUE(a.consistent && b.consistent);
  EXPECT_EQ(a.records, b.records);
  EXPECT_EQ(b.records.count(101), 0u);
}

TEST_F(FaultLoop, SetOwnerWithEncryption) {
  MakeFile("a.dat");
  const FileState before{0, false, true, BaseRecords()};
  FileState after = before;
  after.owner = true;
  Loop(
      [&] {
        Table t;
        if (t.Open(Work("a.dat")) != 0) return int16_t{-1};
        std::string name(kOwner, sizeof kOwner), key(kOwner, sizeof kOwner);
        Go();
        return Done(t.Do(BTR_SET_OWNER, &name, &key, 2));
      },
      [&] { return std::vector<FileState>{ReadBack(Work("a.dat"))}; }, {before}, {after});
  // No sealed copy is left beside the file.
  EXPECT_FALSE(fs::exists(Work("a.dat.compact")));
}

// A compact keeps every record whatever fails (the copy's mode and owner, its rename), and
// leaves no copy behind once it runs through.
TEST_F(FaultLoop, Compact) {
  MakeFile("a.dat");
  const FileState base{0, false, true, BaseRecords()};
  Loop(
      [&] {
        Table t;
        if (t.Open(Work("a.dat")) != 0) return int16_t{-1};
        std::string none;
        Go();
        return Done(t.Do(BTR_COMPACT, &none, &none, 0));
      },
      [&] { return std::vector<FileState>{ReadBack(Work("a.dat"))}; }, {base}, {base});
  EXPECT_FALSE(fs::exists(Work("a.dat.compact")));
}

TEST_F(FaultLoop, Create) {
  FileState missing;
  missing.open = BTR_FILE_NOT_FOUND;
  const FileState empty{};
  Loop(
      [&] {
        Go();
        return Done(mkde_test::CreateFile(
            Work("c.dat"), mkde_test::CreationBuffer(kLength, {{{1, 4, 0, 1}}, {{5, 4, 1, 1}}})));
      },
      [&] { return std::vector<FileState>{ReadBack(Work("c.dat"))}; }, {missing}, {empty});
  // Whatever failed, no half-built file is left under another name.
  for (const auto& entry : fs::directory_iterator(work_)) {
    EXPECT_EQ(entry.path().filename().string().find(".new-"), std::string::npos);
  }
}

// A create over a file that cannot tell whether another process has the file open (its look
// at the lock file failed) leaves the file as it was.
TEST_F(FaultLoop, ACreateThatCannotTellWhetherTheFileIsInUseReplacesNothing) {
  MakeFile("a.dat");
  Stop();
  fs_.ArmAt("Lock", EIO);
  EXPECT_EQ(mkde_test::CreateFile(Base("a.dat"), mkde_test::CreationBuffer(kLength, {})),
            BTR_CANNOT_CREATE);
  EXPECT_TRUE(fs_.hit());
  fs_.Disarm();
  EXPECT_EQ(ReadBack(Base("a.dat")), (FileState{0, false, true, BaseRecords()}));
}

// A redo file that cannot be read (an I/O error) may hold a decided transaction: the open
// answers 2 and keeps it, and the next open finishes the transaction in both files.
TEST_F(FaultLoop, ARedoFileThatCannotBeReadIsKept) {
  InterruptAfterFirstCommit(true);
  FileState after{0, false, true, BaseRecords()};
  after.records[100] = Record(100, 't');
  fs_.ArmAt("Read", EIO);  // the open's first read is of b's redo file
  {
    Table b;
    EXPECT_EQ(b.Open(Base("b.dat")), BTR_IO_ERROR);
  }
  fs_.Disarm();
  Stop();
  EXPECT_TRUE(fs::exists(Base("b.dat-redo")));
  EXPECT_EQ(ReadBack(Base("b.dat")), after);
  EXPECT_EQ(ReadBack(Base("a.dat")), after);
}

TEST_F(FaultLoop, OpenThatFinishesAnInterruptedTransaction) {
  for (bool redo : {false, true}) {
    SCOPED_TRACE(redo ? "redo files" : "linked entries");
    Stop();
    fs::remove_all(base_);
    fs::create_directory(base_);
    InterruptAfterFirstCommit(redo, /*in_work=*/true);
    // The transaction was decided: whichever open finishes it, both files hold it.
    FileState after{0, false, true, BaseRecords()};
    after.records[100] = Record(100, 't');
    Loop(
        [&] {
          Table b;
          Go();
          return Done(b.Open(Work("b.dat")));
        },
        [&] {
          return std::vector<FileState>{ReadBack(Work("a.dat")), ReadBack(Work("b.dat"))};
        },
        {after, after}, {after, after});
  }
}

}  // namespace
