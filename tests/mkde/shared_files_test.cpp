// The files the engine shares with other processes and keeps beside a record file, under a
// neighbour that plants links, shrinks files and holds locks: none of it kills a host, holds
// it without bound or touches a file it did not make, and no companion file is more open
// than its record file.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "mkde/fs.h"
#include "mkde/waits.h"
#include "tests/mkde/engine_fixture.h"

namespace mkde_test {
namespace {

constexpr uint16_t kLen = 32;
constexpr uint32_t kTableMagic = 0x56574731;

std::string Rec(int32_t id) {
  std::string r(kLen, '\0');
  std::memcpy(r.data(), &id, 4);
  return r;
}

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class SharedFiles : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    path_ = Path("f.dat");
    ASSERT_EQ(CreateFile(path_, CreationBuffer(kLen, {{{1, 4, 0, 1}}})), 0);
    table_ = Path("waits");
    UseTable(table_);
    char drop[4096];
    while (BTRNOTICES(drop, sizeof drop) > 0) {
    }
  }
  void TearDown() override {
    EngineTest::TearDown();
    UseTable("");
  }
  // The engine takes up the waits table at `path` afresh (empty: the usual name).
  static void UseTable(const std::string& path) {
    mkde::SetWaitsTablePath(path);
    mkde::Waits::Get().ForgetAfterFork();
  }
  static std::string Notices() {
    char buf[4096];
    BTRNOTICES(buf, sizeof buf);
    return buf;
  }
  // A table file: its epoch 7, its header `magic`.
  void WriteTable(mode_t mode, size_t size, uint32_t magic) {
    ::unlink(table_.c_str());
    std::string bytes(size, '\0');
    bytes[0] = 7;
    std::memcpy(bytes.data() + 8, &magic, 4);
    int fd = ::open(table_.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(::fchmod(fd, mode), 0);
    ::close(fd);
  }
  // Runs `body` in a child process: its return value, 100 + a signal that ended it, or -1
  // when it had not ended within `limit` (it is then killed).
  template <class F>
  int InChild(F body, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
  }
  std::string path_;
  std::string table_;
};

// The real file system, but for the syncs of the engine's own thread, which take a while: a
// commit over several files then holds its logs' shared pages for a good while.
class SlowBackgroundSyncs : public mkde::FileSystem {
 public:
  int Fdatasync(int fd) override {
    if (std::this_thread::get_id() != main_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    return FileSystem::Fdatasync(fd);
  }
  void FdatasyncAll(const int* fds, int* errors, size_t n) override {
    for (size_t i = 0; i < n; ++i) errors[i] = Fdatasync(fds[i]) == 0 ? 0 : errno;
  }

 private:
  std::thread::id main_ = std::this_thread::get_id();
};

// A file closed for good while a commit over it and another file still waits for the other
// file's log leaves nothing of its open behind: another process would take it for a file in
// use, and leave a crash's log and redo slots unfinished.
TEST_F(SharedFiles, AClosedFileLeavesNoMarkOfItsOpenWhileACommitWaits) {
  // Never destroyed: the engine's thread may still be inside a sync when the test ends.
  static SlowBackgroundSyncs* slow = new SlowBackgroundSyncs;
  mkde::FileSystem* before = mkde::InstallFileSystem(slow);
  const std::string other = Path("g.dat");
  ASSERT_EQ(CreateFile(other, CreationBuffer(kLen, {{{1, 4, 0, 1}}})), 0);
  Table f, g;
  ASSERT_EQ(f.Open(path_), 0);
  ASSERT_EQ(g.Open(other), 0);
  uint8_t none[128] = {};
  ASSERT_EQ(BTRCALL(BTR_BEGIN_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0), 0);
  ASSERT_EQ(f.Insert(Rec(1)), 0);
  ASSERT_EQ(g.Insert(Rec(1)), 0);
  ASSERT_EQ(BTRCALL(BTR_END_TRANSACTION, none, nullptr, nullptr, nullptr, 0, 0), 0);
  f.Close();
  int gate = ::open((path_ + "-gate").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(gate, 0);
  struct flock open_mark = {};
  open_mark.l_type = F_WRLCK;
  open_mark.l_whence = SEEK_SET;
  open_mark.l_start = 1;
  open_mark.l_len = 1;
  EXPECT_EQ(::fcntl(gate, F_OFD_GETLK, &open_mark), 0);
  EXPECT_EQ(open_mark.l_type, F_UNLCK);
  ::close(gate);
  mkde::InstallFileSystem(before);
}

TEST_F(SharedFiles, TheWaitsTableIsTakenUpOnlyWhenItIsPrivateOursAndWhole) {
  // A link planted under the table's name, to a private file of the user's: the file stays
  // as it was, and writes go on.
  const std::string victim = Path("private");
  const std::string secret = "twenty-one bytes here";
  { std::ofstream(victim) << secret; }
  ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
  ASSERT_EQ(::symlink(victim.c_str(), table_.c_str()), 0);
  {
    Table t;
    ASSERT_EQ(t.Open(path_), 0);
    EXPECT_EQ(t.Insert(Rec(1)), 0);
    EXPECT_EQ(t.Insert(Rec(2)), 0);
  }
  const std::string after = Contents(victim);
  EXPECT_TRUE(after == secret) << after.size() << " bytes";
  EXPECT_NE(Notices().find("is a link"), std::string::npos);

  // Tables that are not taken up (their epoch would read 7).
  const size_t size = mkde::WaitsTableBytes();
  struct Case {
    mode_t mode;
    size_t size;
    uint32_t magic;
    uint32_t epoch;
  };
  for (const Case& c : {Case{0644, size, kTableMagic, 0}, Case{0660, size, kTableMagic, 0},
                        Case{0600, size + 4096, kTableMagic, 0}, Case{0600, size, 0x12345678, 0},
                        Case{0600, size, kTableMagic, 7}}) {
    SCOPED_TRACE(testing::Message()
                 << std::oct << c.mode << std::dec << " " << c.size << " " << std::hex << c.magic);
    WriteTable(c.mode, c.size, c.magic);
    UseTable(table_);
    EXPECT_EQ(mkde::Waits::Get().Epoch(), c.epoch);
  }
  if (::geteuid() == 0) {  // a table of another user's
    WriteTable(0600, size, kTableMagic);
    ASSERT_EQ(::chown(table_.c_str(), 65534, 65534), 0);
    UseTable(table_);
    EXPECT_EQ(mkde::Waits::Get().Epoch(), 0u);
  }
  // One the engine makes is private.
  ::unlink(table_.c_str());
  UseTable(table_);
  mkde::Waits::Get().Epoch();
  EXPECT_EQ(ModeOf(table_), 0600u);
}

TEST_F(SharedFiles, ShrinkingTheWaitsTableOrTheGateFileDoesNotKillTheHost) {
  const std::string gate = path_ + "-gate";
  EXPECT_EQ(InChild([&] {
              Table t;
              if (t.Open(path_) != 0 || t.Insert(Rec(1)) != 0) return 1;
              // Both mapped now; another process (here the host itself) shrinks them.
              if (::truncate(table_.c_str(), 0) != 0 || ::truncate(gate.c_str(), 0) != 0) return 2;
              if (t.Insert(Rec(2)) != 0 || t.Insert(Rec(3)) != 0) return 3;
              if (t.Get(BTR_GET_EQUAL, 0, IdKey(2)) != 0) return 4;
              if (t.Close() != 0) return 5;
              const std::string notices = Notices();
              if (notices.find("waits table") == std::string::npos) return 6;
              if (notices.find("gate file") == std::string::npos) return 7;
              return 0;
            }),
            0);
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  EXPECT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(3)), 0);
}

TEST_F(SharedFiles, ALockHeldOnTheWaitsTableHoldsNoWriterPastItsBound) {
  using std::chrono::steady_clock;
  mkde::Waits::Get().Epoch();  // the table made
  // Held by another process while a writer takes the table up.
  int fd = ::open(table_.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_len = 1;
  ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &fl), 0);
  EXPECT_EQ(InChild(
                [&] {
                  Table t;
                  if (t.Open(path_) != 0 || t.Insert(Rec(1)) != 0) return 1;
                  return Notices().find("locked") == std::string::npos ? 2 : 0;
                },
                std::chrono::seconds(5)),
            0);
  ::close(fd);
  // Taken while a writer that already uses the table publishes a wait.
  EXPECT_EQ(InChild(
                [&] {
                  mkde::Waits& waits = mkde::Waits::Get();
                  waits.Epoch();
                  int mine = ::open(table_.c_str(), O_RDWR);
                  if (mine < 0 || ::fcntl(mine, F_OFD_SETLK, &fl) != 0) return 1;
                  const auto start = steady_clock::now();
                  const mkde::Resource gate{1, 2, 0};
                  if (waits.Publish(uint64_t{1} << 32, gate, {})) return 2;
                  waits.Withdraw(uint64_t{1} << 32);
                  if (steady_clock::now() - start > std::chrono::seconds(2)) return 3;
                  Table t;
                  return t.Open(path_) == 0 && t.Insert(Rec(2)) == 0 ? 0 : 4;
                },
                std::chrono::seconds(5)),
            0);
}

TEST_F(SharedFiles, CompanionFilesAreNoMoreOpenThanTheRecordFile) {
  const mode_t before = ::umask(022);
  const std::string second = Path("g.dat");
  ASSERT_EQ(CreateFile(second, CreationBuffer(kLen, {{{1, 4, 0, 1}}})), 0);
  EXPECT_EQ(ModeOf(path_), 0600u);
  for (mode_t mode : {mode_t{0600}, mode_t{0640}}) {
    SCOPED_TRACE(testing::Message() << std::oct << mode);
    for (const std::string& f : {path_, second}) {
      for (const char* c : {"-gate", "-lock", "-log", "-redo"}) ::unlink((f + c).c_str());
      ASSERT_EQ(::chmod(f.c_str(), mode), 0);
    }
    {
      Table a, b;
      ASSERT_EQ(a.Open(path_), 0);
      ASSERT_EQ(b.Open(second, -1), 0);  // accelerated: the transaction goes through redo files
      ASSERT_EQ(a.Insert(Rec(static_cast<int32_t>(mode))), 0);  // through the commit log
      uint8_t pos[128] = {};
      ASSERT_EQ(Call(BTR_BEGIN_TRANSACTION, pos, nullptr, nullptr, 0), 0);
      ASSERT_EQ(a.Insert(Rec(static_cast<int32_t>(mode) + 1)), 0);
      ASSERT_EQ(b.Insert(Rec(static_cast<int32_t>(mode) + 1)), 0);
      ASSERT_EQ(Call(BTR_END_TRANSACTION, pos, nullptr, nullptr, 0), 0);
      for (const std::string& f : {path_, second}) {
        for (const char* c : {"-gate", "-lock", "-log", "-redo"}) {
          if (std::string(c) == "-log" && ::access((f + c).c_str(), F_OK) != 0) continue;
          EXPECT_EQ(ModeOf(f + c), mode) << f + c;
        }
      }
      EXPECT_EQ(::access((path_ + "-log").c_str(), F_OK), 0);
    }
    // An owner change writes the file anew: it keeps the file's mode.
    Table t;
    ASSERT_EQ(t.Open(path_), 0);
    std::string name = std::string("owner") + '\0';
    std::string data = name;
    data.resize(101, '\0');
    ASSERT_EQ(t.Do(BTR_SET_OWNER, &data, &name, 2), 0);
    EXPECT_EQ(ModeOf(path_), mode);
    data.assign(101, '\0');
    ASSERT_EQ(t.Do(BTR_CLEAR_OWNER, &data, nullptr, 0), 0);
    EXPECT_EQ(ModeOf(path_), mode);
    EXPECT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(static_cast<int32_t>(mode) + 1)), 0);
  }
  ::umask(before);
}

}  // namespace
}  // namespace mkde_test
