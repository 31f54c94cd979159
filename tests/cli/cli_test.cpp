// The vastrel tool as its users run it: files made with the component, the tool started as
// a program, its output, messages and exit codes checked.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "binding/btrexception.h"
#include "binding/engine.h"
#include "dictionary/btrdictlist.h"
#include "dictionary/btrfld.h"
#include "dictionary/field_text.h"
#include "table/btr.h"

namespace vastrel::table {
namespace {

namespace fs = std::filesystem;

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Record layout: a 6-character code (unique key 0) and a 10-character name (key 1, with
// duplicates) in a 24-byte fixed part; variable-length files carry more after it.
constexpr uint16_t kRecordSize = 24;

std::string Record(const std::string& code, const std::string& name, size_t size = kRecordSize) {
  std::string r = code;
  r.resize(6, ' ');
  r += name;
  r.resize(16, ' ');
  r.resize(size, '\0');
  for (size_t i = kRecordSize; i < size; ++i) r[i] = static_cast<char>('a' + i % 26);
  return r;
}

class Tool : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(engine::CurrentEngineState().plain_entry)
        << "the record engine was not loaded: " << engine::CurrentEngineState().load_error;
  }
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("vastrel-cli-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }

  // Creates a file with the two keys and the given records, inserted in that order.
  std::string Make(const std::string& name, const std::vector<std::string>& records,
                   bool variable = false, const std::string& owner = "") {
    TBtr t;
    t.SetFileName(PathOf(name));
    t.SetRecordSize(kRecordSize);
    t.SetPageSize(4096);
    if (variable) t.SetFileFlags(BtrFileFlags{keys::ffVariableLength});
    keys::TKey& code = t.Keys().Add();
    code.SetPosition(1);
    code.SetLength(6);
    code.SetKeyType(keys::ktString);
    keys::TKey& by_name = t.Keys().Add();
    by_name.SetPosition(7);
    by_name.SetLength(10);
    by_name.SetKeyType(keys::ktString);
    by_name.SetAllowDuplicates(true);
    by_name.SetModifiable(true);
    t.SetDbOwner(owner);
    t.CreateFile();
    for (const std::string& r : records) {
      t.SetDataBufferLength(static_cast<int32_t>(r.size()));
      std::memcpy(t.DataBuffer(), r.data(), r.size());
      t.Insert();
    }
    t.Close();
    return PathOf(name);
  }

  // Runs the tool with the arguments; each is passed in single quotes. Standard input is
  // the file `input` when given.
  Result Run(const std::vector<std::string>& args, const std::string& engine = "",
             const std::string& input = "/dev/null") {
    std::string command = prefix_;
    if (!engine.empty()) command += "VASTREL_ENGINE='" + engine + "' ";
    command += VASTREL_TOOL;
    for (const std::string& a : args) command += " '" + a + "'";
    const fs::path out = dir_ / "stdout", err = dir_ / "stderr";
    command += " >'" + out.string() + "' 2>'" + err.string() + "' <'" + input + "'";
    const int status = std::system(command.c_str());
    Result r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = Slurp(out);
    r.err = Slurp(err);
    return r;
  }

  // The records of a dump in CSV, without the header line and the positions.
  std::vector<std::string> CsvRecords(const std::string& file, const std::string& order) {
    Result r = Run({"dump", file, order, "--format", "csv"});
    EXPECT_EQ(r.code, 0) << r.err;
    std::vector<std::string> lines = Lines(r.out);
    EXPECT_FALSE(lines.empty());
    if (!lines.empty()) {
      EXPECT_EQ(lines[0], "position,length,record");
      lines.erase(lines.begin());
    }
    for (std::string& l : lines) l = l.substr(l.find(',') + 1);
    return lines;
  }

  fs::path dir_;
  std::string prefix_;  // shell words before the tool's: limits, the environment
};

TEST_F(Tool, CompactKeepsEveryRecord) {
  const std::string file = Make("items.dat", {Record("C2", "bolt"), Record("C1", "nut")}, true);
  const std::vector<std::string> before = CsvRecords(file, "--physical");
  const Result r = Run({"compact", file});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("compacted "), std::string::npos) << r.err;
  EXPECT_EQ(CsvRecords(file, "--physical"), before);
}

TEST_F(Tool, InfoDescribesTheFileAndItsKeys) {
  const std::string file = Make("items.dat", {Record("C2", "bolt"), Record("C1", "nut")}, true);
  Result r = Run({"info", file});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("engine version: "), std::string::npos);
  EXPECT_NE(r.out.find("record length: 24\n"), std::string::npos);
  EXPECT_NE(r.out.find("page size: 4096\n"), std::string::npos);
  EXPECT_NE(r.out.find("records: 2\n"), std::string::npos);
  EXPECT_NE(r.out.find("file flags: ffVariableLength\n"), std::string::npos);
  EXPECT_NE(r.out.find("size on disk: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("keys: 2\n"), std::string::npos);
  EXPECT_NE(r.out.find("key 0: 1 segment, 2 unique values\n"
                       "  segment 1: position 1, length 6, type ktString, flags ExtendedType\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("segment 1: position 7, length 10, type ktString, flags AllowDuplicates, "
                       "Modifiable, ExtendedType\n"),
            std::string::npos)
      << r.out;
}

TEST_F(Tool, DumpFollowsTheChosenKeyOrPhysicalOrder) {
  const std::string file =
      Make("items.dat", {Record("C3", "washer"), Record("C1", "nut"), Record("C2", "bolt")});
  Result by_code = Run({"dump", file, "--format", "text"});
  ASSERT_EQ(by_code.code, 0) << by_code.err;
  std::vector<std::string> lines = Lines(by_code.out);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("\tC1    nut"), std::string::npos) << lines[0];
  EXPECT_NE(lines[2].find("\tC3    washer"), std::string::npos) << lines[2];
  EXPECT_NE(by_code.err.find("3 records"), std::string::npos);

  Result by_name = Run({"dump", file, "--key", "1", "--format", "text"});
  lines = Lines(by_name.out);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("bolt"), std::string::npos);
  EXPECT_NE(lines[1].find("nut"), std::string::npos);
  EXPECT_NE(lines[2].find("washer"), std::string::npos);

  std::vector<std::string> physical = CsvRecords(file, "--physical");
  ASSERT_EQ(physical.size(), 3u);
  EXPECT_EQ(physical[0].rfind("24,\"C3    washer    \\x00", 0), 0u) << physical[0];
  EXPECT_EQ(physical[2].rfind("24,\"C2    bolt", 0), 0u) << physical[2];

  Result hex = Run({"dump", file, "--key", "0"});
  EXPECT_NE(hex.out.find("record 1  position "), std::string::npos);
  EXPECT_NE(hex.out.find("  00000000  43 31 20 20 20 20 6e 75  74 20"), std::string::npos)
      << hex.out;

  Result no_key = Run({"dump", file, "--key", "2"});
  EXPECT_EQ(no_key.code, 1);
  EXPECT_NE(no_key.err.find("key 2 does not exist: the file has 2 keys"), std::string::npos);
}

TEST_F(Tool, RecordsLongerThanTheBufferComeOutWhole) {
  const std::string longest = Record("C2", "long", 70000);
  const std::string file =
      Make("long.dat", {Record("C1", "short", 30), longest, Record("C3", "end", 40)}, true);
  for (const char* order : {"--physical", "--key"}) {
    std::vector<std::string> args = {"dump", file, order};
    if (std::string(order) == "--key") args.push_back("0");
    args.insert(args.end(), {"--format", "csv"});
    Result r = Run(args);
    ASSERT_EQ(r.code, 0) << r.err;
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 4u) << order;
    EXPECT_NE(lines[1].find(",30,\"C1"), std::string::npos) << order;
    EXPECT_NE(lines[2].find(",70000,\"C2"), std::string::npos) << order;
    EXPECT_NE(lines[2].find(longest.substr(longest.size() - 20) + "\""), std::string::npos)
        << order;
    EXPECT_NE(lines[3].find(",40,\"C3"), std::string::npos) << order << lines[3];
  }
}

TEST_F(Tool, ExportThenLoadGivesTheSameRecordsAndDescription) {
  const std::string from =
      Make("from.dat",
           {Record("C3", "washer", 24), Record("C1", "nut", 3000), Record("C2", "bolt", 90)}, true);
  const std::string jsonl = PathOf("items.jsonl");
  Result exported = Run({"export", from, jsonl});
  ASSERT_EQ(exported.code, 0) << exported.err;
  EXPECT_NE(exported.err.find("exported 3 records"), std::string::npos);
  std::vector<std::string> lines = Lines(Slurp(jsonl));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(
      lines[0].rfind("{\"format\":\"vastrel-records\",\"version\":1,\"record_length\":24,", 0), 0u);

  const std::string to = PathOf("to.dat");
  Result loaded = Run({"load", to, jsonl, "--batch", "2"});
  ASSERT_EQ(loaded.code, 0) << loaded.err;
  EXPECT_NE(loaded.err.find("loaded 3 records"), std::string::npos);
  EXPECT_EQ(CsvRecords(to, "--physical"), CsvRecords(from, "--physical"));
  std::vector<std::string> a = CsvRecords(from, "--physical");
  ASSERT_EQ(a.size(), 3u);

  std::string info_from = Run({"info", from}).out;
  std::string info_to = Run({"info", to}).out;
  info_from.erase(0, info_from.find('\n'));  // the file names differ
  info_to.erase(0, info_to.find('\n'));
  info_from.erase(info_from.find("size on disk: "));  // and so do their sizes
  info_to.erase(info_to.find("size on disk: "));
  EXPECT_EQ(info_to, info_from);

  // Hex data loads the same.
  const std::string hex_jsonl = PathOf("hex.jsonl");
  ASSERT_EQ(Run({"export", from, hex_jsonl, "--hex"}).code, 0);
  EXPECT_NE(Slurp(hex_jsonl).find("\"hex\":\"433320"), std::string::npos);
  ASSERT_EQ(Run({"load", PathOf("hex.dat"), hex_jsonl}).code, 0);
  EXPECT_EQ(CsvRecords(PathOf("hex.dat"), "--physical"), a);

  // Lines ended by a carriage return and a line feed load the same.
  std::string crlf;
  for (const std::string& l : Lines(Slurp(jsonl))) crlf += l + "\r\n";
  std::ofstream(jsonl, std::ios::trunc | std::ios::binary) << crlf;
  ASSERT_EQ(Run({"load", PathOf("crlf.dat"), jsonl}).code, 0);
  EXPECT_EQ(CsvRecords(PathOf("crlf.dat"), "--physical"), a);
}

TEST_F(Tool, LoadRefusesAnExistingFileWithoutAppendAndUndoesAFailedBatch) {
  const std::string from = Make("from.dat", {Record("C1", "nut"), Record("C2", "bolt")});
  const std::string jsonl = PathOf("items.jsonl");
  ASSERT_EQ(Run({"export", from, jsonl}).code, 0);

  Result refused = Run({"load", from, jsonl});
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.err.find("already exists; --append adds the records to it"), std::string::npos);

  // The codes are a unique key: the second record of the batch is a duplicate, so the
  // whole batch is undone and the file keeps its two records.
  const std::string other = Make("other.dat", {Record("C2", "bolt")});
  Result duplicate = Run({"load", other, jsonl, "--append"});
  EXPECT_EQ(duplicate.code, 1);
  EXPECT_NE(duplicate.err.find("(5): " + other), std::string::npos) << duplicate.err;
  EXPECT_NE(duplicate.err.find("loaded 0 records; the batch in work was undone"),
            std::string::npos);
  EXPECT_EQ(CsvRecords(other, "--physical").size(), 1u);

  const std::string fresh = Make("fresh.dat", {Record("C9", "pin")});
  Result appended = Run({"load", fresh, jsonl, "--append"});
  EXPECT_EQ(appended.code, 0) << appended.err;
  EXPECT_EQ(CsvRecords(fresh, "--physical").size(), 3u);
}

TEST_F(Tool, LoadRefusesDamagedLinesNamingThem) {
  const std::string from = Make("from.dat", {Record("C1", "nut"), Record("C2", "bolt")});
  const std::string jsonl = PathOf("items.jsonl");
  ASSERT_EQ(Run({"export", from, jsonl}).code, 0);
  const std::vector<std::string> lines = Lines(Slurp(jsonl));
  struct Case {
    std::string second_record;
    std::string message;
  } cases[] = {
      {"{\"position\":2,\"data\":\"not base64!\"}",
       "line 3: the record needs \"data\" in base64 or \"hex\" in hex"},
      {"{\"position\":2,\"data\":\"QUJD\"}",
       "line 3: a record of 3 bytes, the file's record length is 24"},
      {"{\"position\":2,", "line 3: "},
      {"[1,2]", "line 3: not an object"},
  };
  for (const Case& c : cases) {
    std::ofstream(jsonl, std::ios::trunc) << lines[0] << "\n"
                                          << lines[1] << "\n"
                                          << c.second_record << "\n";
    const std::string to = PathOf("to.dat");
    fs::remove(to);
    Result r = Run({"load", to, jsonl});
    EXPECT_EQ(r.code, 1) << c.second_record;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    // The batch with the good first record was undone too.
    EXPECT_EQ(CsvRecords(to, "--physical").size(), 0u) << c.second_record;
  }
  std::ofstream(jsonl, std::ios::trunc) << "{\"format\":\"other\"}\n";
  Result header = Run({"load", PathOf("none.dat"), jsonl});
  EXPECT_EQ(header.code, 1);
  EXPECT_NE(header.err.find("line 1: not the header of a vastrel export"), std::string::npos);
  EXPECT_FALSE(fs::exists(PathOf("none.dat")));
}

TEST_F(Tool, CheckAgreesOnASoundFile) {
  std::vector<std::string> records;
  for (int i = 0; i < 50; ++i)
    records.push_back(Record("C" + std::to_string(i), i % 2 ? "odd" : "even"));
  const std::string file = Make("items.dat", records);
  Result r = Run({"check", file});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(r.out,
            "statistics: 50 records\nphysical order: 50 records\nkey 0: 50 records\n"
            "key 1: 50 records\nok\n");
}

TEST_F(Tool, CheckReportsRecordsThatPhysicalOrderMisses) {
  std::vector<std::string> records;
  for (int i = 0; i < 10; ++i) records.push_back(Record("C" + std::to_string(i), "name"));
  const std::string file = Make("items.dat", records);
  Result r = Run({"check", file}, SKIPPING_ENGINE);
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_NE(r.out.find("statistics: 10 records\nphysical order: 5 records\n"
                       "  problem: physical order and statistics disagree\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("problem: key 0 reaches position "), std::string::npos);
  EXPECT_NE(r.out.find("key 1: 10 records\n"), std::string::npos);
  EXPECT_NE(r.out.find("\n11 problems\n"), std::string::npos) << r.out;
}

// Check reads one committed state: while another process keeps inserting, statistics,
// physical order and keys never disagree.
TEST_F(Tool, CheckDuringWritesReportsNoDamage) {
  std::vector<std::string> records;
  for (int i = 0; i < 200; ++i) records.push_back(Record("C" + std::to_string(i), "name"));
  const std::string file = Make("items.dat", records);
  const pid_t writer = fork();
  if (writer == 0) {
    TBtr t;
    t.SetFileName(file);
    t.Open();
    for (int i = 0;; ++i) {
      const std::string r = Record("W" + std::to_string(i), i % 2 ? "odd" : "even");
      t.SetDataBufferLength(static_cast<int32_t>(r.size()));
      std::memcpy(t.DataBuffer(), r.data(), r.size());
      t.Insert();
    }
  }
  for (int round = 0; round < 8; ++round) {
    Result r = Run({"check", file});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
  }
  kill(writer, SIGKILL);
  waitpid(writer, nullptr, 0);
  EXPECT_EQ(Run({"check", file}).code, 0);
}

// A read that ends the process (a damaged page) ends a child of the tool: check reports the
// damage, recover skips that record, saves the others, and then finds the skipped one whole
// in the file's pages. The sanitizers leave SIGBUS alone here, as they do not in a tool that
// must report it.
TEST_F(Tool, ReadsThatEndTheProcessBecomeReportsAndRecoverSavesTheRest) {
  std::vector<std::string> records;
  for (int i = 0; i < 6; ++i) records.push_back(Record("C" + std::to_string(i), "name"));
  const std::string file = Make("items.dat", records);
  const std::string env =
      "ASAN_OPTIONS=handle_sigbus=0 VASTREL_ENGINE='" + std::string(CRASHING_ENGINE) + "' ";
  const auto tool = [&](const std::string& crash, const std::string& args) {
    const std::string err = (dir_ / "crash.err").string();
    const int status = std::system(
        (env + crash + " " + VASTREL_TOOL + " " + args + " 2>'" + err + "' >/dev/null").c_str());
    return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(err));
  };
  auto [check_code, check_err] = tool("CRASH_AT_OP=6", "check '" + file + "'");
  EXPECT_EQ(check_code, 1);
  EXPECT_NE(check_err.find("damaged: the check died of Bus error"), std::string::npos) << check_err;

  const std::string saved = PathOf("saved.dat");
  auto [code, err] = tool("CRASH_AT_POSITION=3", "recover '" + file + "' '" + saved + "'");
  EXPECT_EQ(code, 0) << err;
  EXPECT_NE(err.find("position 3 died of Bus error; it is skipped"), std::string::npos) << err;
  EXPECT_NE(err.find("1 records were salvaged from pages"), std::string::npos) << err;
  EXPECT_NE(err.find("recovered 6 of 6 records"), std::string::npos) << err;
  std::vector<std::string> left = CsvRecords(file, "--physical");
  std::rotate(left.begin() + 2, left.begin() + 3, left.end());  // position 3 comes last
  EXPECT_EQ(CsvRecords(saved, "--physical"), left);
  EXPECT_EQ(Run({"check", saved}).code, 0);

  const Result whole = Run({"recover", file, PathOf("whole.dat")});
  EXPECT_EQ(whole.code, 0) << whole.err;
  EXPECT_EQ(CsvRecords(PathOf("whole.dat"), "--physical"), CsvRecords(file, "--physical"));
}

TEST_F(Tool, OwnerNameOpensAProtectedFile) {
  const std::string file = Make("secret.dat", {Record("C1", "nut")}, false, "KEEPER");
  Result without = Run({"info", file});
  EXPECT_EQ(without.code, 1);
  EXPECT_NE(without.err.find("Invalid Owner (51): " + file + "\n  the file has an owner name"),
            std::string::npos)
      << without.err;
  Result with = Run({"dump", file, "--owner", "KEEPER", "--format", "text"});
  EXPECT_EQ(with.code, 0) << with.err;
  EXPECT_NE(with.out.find("C1    nut"), std::string::npos);
}

// The name need not stand on the command line, where every user can read it: it comes
// from the environment, from a private file or from the terminal, for every verb.
TEST_F(Tool, OwnerNamesComeFromOutsideTheCommandLine) {
  const std::string file = Make("secret.dat", {Record("C1", "nut")}, false, "KEEPER");
  const std::string name_file = PathOf("owner.txt");
  std::ofstream(name_file) << "KEEPER\r\n";
  fs::permissions(name_file, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(Run({"info", file, "--owner-file", name_file}).code, 0);
  const std::string copied = PathOf("copy.dat");
  std::ofstream(PathOf("new.txt")) << "SECRET";
  fs::permissions(PathOf("new.txt"), fs::perms::owner_read);
  const Result copy = Run({"copy", file, copied, "--owner-file", name_file, "--to-owner-file",
                           PathOf("new.txt"), "--level", "1"});
  ASSERT_EQ(copy.code, 0) << copy.err;
  const Result no_name = Run({"owner", "clear", copied});
  EXPECT_EQ(no_name.code, 2);
  EXPECT_NE(no_name.err.find("owner clear needs the owner name: --owner, --owner-file, "
                             "--owner-prompt or VASTREL_OWNER"),
            std::string::npos)
      << no_name.err;
  prefix_ = "VASTREL_OWNER=SECRET ";
  EXPECT_EQ(Run({"owner", "clear", copied}).code, 0);
  prefix_.clear();
  EXPECT_EQ(Run({"owner", "set", copied, "--name-file", name_file}).code, 0);
  prefix_ = "VASTREL_OWNER=KEEPER ";
  EXPECT_EQ(Run({"describe", copied}).code, 0);
  prefix_.clear();
  EXPECT_EQ(Run({"describe", copied}).code, 1) << "the name went in as KEEPER";

  // A file that others can read is no place for the name; nor is a large one.
  fs::permissions(name_file, fs::perms::group_read, fs::perm_options::add);
  const Result shared = Run({"info", file, "--owner-file", name_file});
  EXPECT_EQ(shared.code, 1);
  EXPECT_NE(shared.err.find("owner-name file " + name_file +
                            ": other users may read it (mode 0640); make it private"),
            std::string::npos)
      << shared.err;
  const Result endless = Run({"info", file, "--owner-file", "/dev/zero"});
  EXPECT_EQ(endless.code, 1);
  EXPECT_NE(endless.err.find("owner-name file /dev/zero: larger than 4 KiB"), std::string::npos)
      << endless.err;
  EXPECT_EQ(Run({"info", file, "--owner", "KEEPER", "--owner-file", name_file}).code, 2);
}

// At a terminal the name is asked for and not shown as it is typed.
TEST_F(Tool, OwnerPromptReadsTheNameWithoutEcho) {
  const std::string file = Make("secret.dat", {Record("C1", "nut")}, false, "KEEPER");
  int terminal = -1;
  const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0) << std::strerror(errno);
  if (pid == 0) {
    ::execl(VASTREL_TOOL, VASTREL_TOOL, "info", file.c_str(), "--owner-prompt",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  std::string seen;
  bool answered = false;
  for (pollfd ready{terminal, POLLIN, 0}; ::poll(&ready, 1, 30000) > 0;) {
    char chunk[4096];
    const ssize_t n = ::read(terminal, chunk, sizeof chunk);
    if (n <= 0) break;  // the tool has ended
    seen.append(chunk, static_cast<size_t>(n));
    if (!answered && seen.find("owner name: ") != std::string::npos) {
      ASSERT_EQ(::write(terminal, "KEEPER\n", 7), 7);
      answered = true;
    }
  }
  ::kill(pid, SIGKILL);  // in case it still waits
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(terminal);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
  EXPECT_NE(seen.find("records: 1"), std::string::npos) << seen;
  EXPECT_EQ(seen.find("KEEPER"), std::string::npos) << "the name was echoed:\n" << seen;
}

TEST_F(Tool, AMissingFileIsAnEngineErrorOnOneLineWithAHintForAMissingFolder) {
  const std::string missing = PathOf("missing.dat");
  for (const char* command : {"info", "dump", "check"}) {
    Result r = Run({command, missing});
    EXPECT_EQ(r.code, 1) << command;
    EXPECT_EQ(r.err, "vastrel: File Not Found (12): " + missing + "\n") << command;
    EXPECT_EQ(r.out, "") << command;
  }
  const std::string nowhere = PathOf("gone") + "/parts.dat";
  EXPECT_EQ(Run({"info", nowhere}).err, "vastrel: File Not Found (12): " + nowhere +
                                            "\n  the folder " + PathOf("gone") +
                                            " does not exist\n");
  // A file another program holds exclusively.
  const std::string held = Make("held.dat", {Record("C1", "nut")});
  TBtr holder;
  holder.SetFileName(held);
  holder.SetOpenMode(bomExclusive);
  holder.Open();
  const Result in_use = Run({"info", held});
  EXPECT_EQ(in_use.code, 1);
  EXPECT_NE(in_use.err.find("): " + held + "\n  another program has the file open"),
            std::string::npos)
      << in_use.err;
  holder.Close();
  std::ofstream(PathOf("d.json")) << R"({"record_length": 8})";
  const Result create = Run({"create", nowhere, PathOf("d.json")});
  EXPECT_EQ(create.code, 1);
  EXPECT_NE(create.err.find("\n  the folder " + PathOf("gone") + " does not exist"),
            std::string::npos)
      << create.err;
}

TEST_F(Tool, ExportNeverOverwritesTheRecordFile) {
  const std::string file = Make("items.dat", {Record("C1", "nut")});
  Result r = Run({"export", file, file});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("is the record file itself"), std::string::npos) << r.err;
  EXPECT_EQ(CsvRecords(file, "--physical").size(), 1u);
}

TEST_F(Tool, AMissingEngineIsReported) {
  const std::string file = Make("items.dat", {Record("C1", "nut")});
  Result r = Run({"info", file}, PathOf("no-such-engine.so"));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("vastrel: no record engine ("), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("(-9999): " + file), std::string::npos) << r.err;
}

// ---- Maintenance: descriptions, typed records, copies, owners, the shell ------------------

// Typed records of 64 bytes: Code (key 0), Name, Qty, Price, Ok, Day as text fields.
class TypedTool : public Tool {
 protected:
  struct Row {
    std::string code, name;  // name: raw bytes of the record text
    int32_t qty;
    double price;
    bool ok;
    int year, month, day;
  };

  std::string MakeTyped(const std::string& name, const std::vector<Row>& rows) {
    TBtr t;
    t.SetFileName(PathOf(name));
    t.SetRecordSize(64);
    t.SetPageSize(4096);
    keys::TKey& code = t.Keys().Add();
    code.SetPosition(1);
    code.SetLength(6);
    code.SetKeyType(keys::ktString);
    t.CreateFile();
    if (!t.Active()) t.Open();
    Dictionary(t);
    t.DDFFields().SaveItems(PathOf("items.ddf"), true, false, "ITEMS");
    dictionary::TBtrField f(t);
    auto field = [&](int i) -> dictionary::TBtrField& {
      const dictionary::TRecordItem& item = t.DDFFields()[i];
      f.SetDateType(item.FieldType());
      f.SetOffset(item.FieldOffset());
      f.SetSize(item.FieldSize());
      return f;
    };
    for (const Row& r : rows) {
      std::memset(t.DataBuffer(), 0, static_cast<size_t>(t.DataBufferLength()));
      field(0).SetAsString(r.code);
      field(1).SetAsString(r.name);
      field(2).SetAsInteger(r.qty);
      field(3).SetAsFloat(r.price);
      field(4).SetAsBoolean(r.ok);
      field(5).SetAsDate(dictionary::EncodeDate(r.year, r.month, r.day));
      t.Insert();
    }
    t.Close();
    return PathOf(name);
  }
  static void Dictionary(TBtr& t) {
    struct Def {
      const char* name;
      dictionary::TxFieldType type;
      int32_t offset, size;
    };
    for (const Def& d :
         {Def{"Code", dictionary::ftSTRING, 0, 6}, Def{"Name", dictionary::ftSTRING, 6, 20},
          Def{"Qty", dictionary::ftINTEGER, 26, 6}, Def{"Price", dictionary::ftFLOAT, 32, 12},
          Def{"Ok", dictionary::ftBOOLEAN, 44, 1}, Def{"Day", dictionary::ftDATE, 45, 8}}) {
      dictionary::TRecordItem& item = t.DDFFields().Add();
      item.SetFieldName(d.name);
      item.SetFieldType(d.type);
      item.SetFieldOffset(d.offset);
      item.SetFieldSize(d.size);
    }
  }
  // Every byte from 128 to 255 in the names of the rows, 20 to a record.
  static std::vector<Row> HighByteRows() {
    std::vector<Row> rows;
    for (int b = 128, i = 0; b < 256; b += 20, ++i) {
      std::string name;
      for (int c = b; c < std::min(b + 20, 256); ++c) name += static_cast<char>(c);
      rows.push_back({"C" + std::to_string(i), name, i * 7 - 3, i * 1.25 - 0.5, i % 2 == 0,
                      1899 + i * 20, 1 + i, 10 + i});
    }
    return rows;
  }
  std::vector<std::string> Typed(std::string verb, const std::string& file,
                                 const std::string& other, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {verb,   file,   other, "--dict", PathOf("items.ddf"),
                                     "--id", "ITEMS"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  // A fresh file of the same description, made by the tool from describe's output.
  std::string Fresh(const std::string& from, const std::string& name) {
    const Result d = Run({"describe", from});
    EXPECT_EQ(d.code, 0) << d.err;
    const std::string json = PathOf(name + ".json");
    std::ofstream(json) << d.out;
    const Result c = Run({"create", PathOf(name), json});
    EXPECT_EQ(c.code, 0) << c.err;
    return PathOf(name);
  }
};

TEST_F(Tool, DescribeAndCreateRoundTrip) {
  const std::string from = Make("items.dat", {Record("C1", "nut")}, /*variable=*/true);
  const Result d = Run({"describe", from});
  ASSERT_EQ(d.code, 0) << d.err;
  EXPECT_NE(d.out.find("\"ffVariableLength\""), std::string::npos) << d.out;
  EXPECT_NE(d.out.find("\"AllowDuplicates\""), std::string::npos) << d.out;
  std::ofstream(PathOf("d.json")) << d.out;
  ASSERT_EQ(Run({"create", PathOf("copy.dat"), PathOf("d.json")}).code, 0);
  EXPECT_EQ(Run({"describe", PathOf("copy.dat")}).out, d.out);
  EXPECT_EQ(Run({"create", PathOf("copy.dat"), PathOf("d.json")}).code, 1) << "never over a file";
  std::ofstream(PathOf("bad.json"))
      << R"({"record_length": 24, "keys": [{"segments": [{"position": 1, "length": 4, "type": "ktNothing"}]}]})";
  const Result bad = Run({"create", PathOf("bad.dat"), PathOf("bad.json")});
  EXPECT_EQ(bad.code, 1);
  EXPECT_NE(bad.err.find("key 0 segment 1: unknown key type \"ktNothing\"; the key types are "
                         "ktOldBinary, ktOldString, ktString,"),
            std::string::npos)
      << bad.err;
  EXPECT_FALSE(fs::exists(PathOf("bad.dat")));
  std::ofstream(PathOf("dup.json"))
      << R"({"record_length": 24, "keys": [{"segments": [{"position": 1, "length": 4, "type": "ktString", "flags": ["Dup"]}]}]})";
  const Result dup = Run({"create", PathOf("bad.dat"), PathOf("dup.json")});
  EXPECT_NE(dup.err.find("unknown key flag \"Dup\"; the key flags are AllowDuplicates, "
                         "Modifiable, Binary,"),
            std::string::npos)
      << dup.err;
  // A type that is a flag bit of its own keeps it without the flag being named.
  std::ofstream(PathOf("old.json"))
      << R"({"record_length": 24, "keys": [{"segments": [{"position": 1, "length": 4, "type": "ktOldBinary"}]}]})";
  ASSERT_EQ(Run({"create", PathOf("old.dat"), PathOf("old.json")}).code, 0);
  EXPECT_NE(Run({"describe", PathOf("old.dat")}).out.find("\"ktOldBinary\""), std::string::npos);

  // A path beyond ASCII names the same file on disk, and one the code page cannot spell
  // is refused rather than turned into another name.
  ASSERT_EQ(Run({"create", PathOf("caf\xC3\xA9.dat"), PathOf("d.json")}).code, 0);
  EXPECT_TRUE(fs::exists(PathOf("caf\xC3\xA9.dat")));
  EXPECT_EQ(Run({"describe", PathOf("caf\xC3\xA9.dat")}).out, d.out);
  const Result cjk = Run({"create", PathOf("\xE4\xB8\xAD.dat"), PathOf("d.json")});
  EXPECT_EQ(cjk.code, 1);
  EXPECT_NE(cjk.err.find("code page"), std::string::npos) << cjk.err;
  // A path longer than a file name may be is refused, never cut to a shorter one.
  const std::string too_long = PathOf(std::string(250, 'n'));
  const Result cut = Run({"create", too_long, PathOf("d.json")});
  EXPECT_EQ(cut.code, 1);
  EXPECT_NE(cut.err.find("File name is too long: \"" + too_long + "\""), std::string::npos)
      << cut.err;
  EXPECT_FALSE(fs::exists(too_long.substr(0, 254))) << "no file made under the cut name";

  const Result info = Run({"info", from, "--json"});
  EXPECT_NE(info.out.find("\"records\": 1"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("\"free_pages\": "), std::string::npos) << info.out;
  const Result check = Run({"check", from, "--json"});
  EXPECT_NE(check.out.find("\"ok\": true"), std::string::npos) << check.out;
}

TEST_F(TypedTool, ExportThenImportGivesTheSameRecordsInEveryCodePage) {
  const std::string from = MakeTyped("items.dat", HighByteRows());
  const std::vector<std::string> original = CsvRecords(from, "--physical");
  ASSERT_EQ(original.size(), 7u);
  // Byte 0x80 is a different character in each code page.
  const std::pair<const char*, const char*> pages[] = {
      {"cp1252", "\u20ac"}, {"cp437", "\u00c7"}, {"cp850", "\u00c7"}, {"latin-1", "\u0080"}};
  for (const auto& [page, first] : pages) {
    for (const char* format : {"csv", "jsonl"}) {
      SCOPED_TRACE(std::string(page) + " " + format);
      const std::string out = PathOf(std::string("out.") + format);
      const Result e = Run(Typed("export", from, out, {"--code-page", page}));
      ASSERT_EQ(e.code, 0) << e.err;
      EXPECT_NE(Slurp(out).find(first), std::string::npos);
      const std::string to = Fresh(from, std::string(page) + format + ".dat");
      const Result i = Run(Typed("import", to, out, {"--code-page", page, "--batch", "3"}));
      ASSERT_EQ(i.code, 0) << i.err;
      EXPECT_EQ(CsvRecords(to, "--physical"), original);
    }
  }
  const std::string jsonl = PathOf("check.jsonl");
  ASSERT_EQ(Run(Typed("export", from, jsonl)).code, 0);
  EXPECT_NE(Slurp(jsonl).find(R"("Qty":4,"Price":0.75,"Ok":false,"Day":"1919-02-11")"),
            std::string::npos)
      << Slurp(jsonl);
}

TEST_F(TypedTool, ImportRefusesBadInputNamingThePlaceAndKeepsOnlyWholeBatches) {
  const std::string from = MakeTyped("items.dat", {});
  auto import = [&](const std::string& text, const std::string& ext,
                    std::vector<std::string> more = {}) {
    const std::string in = PathOf("in." + ext);
    std::ofstream(in) << text;
    return Run(Typed("import", from, in, more));
  };
  const std::string header = "Code,Name,Qty\n";
  const struct {
    std::string text, ext, message;
  } bad[] = {
      {header + "A1,\"x\",1\nA2,y,1,9\n", "csv", "line 3: 4 values, the header names 3"},
      {"Code,Colour\n", "csv", "line 1: the dictionary has no field \"Colour\""},
      {header + "A1,\"never closed,1\n", "csv", "line 2: a quote is never closed"},
      {header + "A1,x,one\n", "csv", "line 2, field Qty: \"one\" is not a whole number"},
      {header + "A1,x,1234567\n", "csv",
       "line 2, field Qty: the value takes 7 characters, the field 6"},
      {header + "A1,\"\u65e5\",1\n", "csv",
       "line 2, field Name: the text holds a character the code page lacks"},
      {"{\"Code\":\"A1\"}\n{\"Code\":\n", "jsonl", "line 2: "},
      {"{\"Code\":\"A1\",\"Ok\":\"yes\"}\n", "jsonl", "line 1, field Ok: a true or false expected"},
      {"{\"Code\":\"A1\",\"Day\":\"2024-02-30\"}\n", "jsonl",
       "line 1, field Day: \"2024-02-30\" is not a date"},
      {"Code,Name,code\n", "csv", "line 1: the header names the field \"Code\" twice"},
      {"{\"Code\":\"A1\",\"code\":\"A2\"}\n", "jsonl",
       "line 1, field code: the field is given twice"},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.text);
    const Result r = import(b.text, b.ext);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find(b.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(CsvRecords(from, "--physical").size(), 0u) << "a failed batch leaves nothing";
  std::ofstream(PathOf("one.csv")) << header << "A1,x,1\n";
  const Result no_id =
      Run({"import", from, PathOf("one.csv"), "--dict", PathOf("items.ddf"), "--id", "NOPE"});
  EXPECT_EQ(no_id.code, 1);
  EXPECT_NE(no_id.err.find("no fields under the ID \"NOPE\""), std::string::npos) << no_id.err;

  // Batches of 2: the first two batches stay, the third (records 5 and 6) is undone.
  std::string text = header;
  for (int i = 1; i <= 6; ++i)
    text += "B" + std::to_string(i) + ",n," + (i == 6 ? "x" : "1") + "\n";
  const Result r = import(text, "csv", {"--batch", "2"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("imported 4 records; the batch in work was undone"), std::string::npos)
      << r.err;
  EXPECT_EQ(CsvRecords(from, "--physical").size(), 4u);
  const Result dup = import(header + "C9,n,1\nB1,n,1\n", "csv");
  EXPECT_EQ(dup.code, 1);
  EXPECT_NE(dup.err.find("line 3: Duplicate Key Value (5): " + from +
                         ": a record with key 0 (Code \"B1\") is already in the file"),
            std::string::npos)
      << dup.err;
  EXPECT_EQ(CsvRecords(from, "--physical").size(), 4u);
  // Without --batch the import is one transaction, however many records it holds: a
  // failure after more than any batch's worth of records leaves the file as it was.
  std::string many = header;
  for (int i = 0; i < 70000; ++i) many += "M" + std::to_string(i) + ",n,1\n";
  const Result whole = import(many + "Z1,n,x\n", "csv");
  EXPECT_EQ(whole.code, 1);
  EXPECT_NE(whole.err.find("imported nothing: the run was one transaction and is undone"),
            std::string::npos)
      << whole.err;
  EXPECT_EQ(CsvRecords(from, "--physical").size(), 4u);

  // Batches of 1: a failure with no batch in work still says what the file kept.
  const Result ones = import(header + "D1,n,1\nD2,n,1\nD3,n,1\nD4,n,x\n", "csv", {"--batch", "1"});
  EXPECT_EQ(ones.code, 1);
  EXPECT_NE(ones.err.find("imported 3 records before the failure"), std::string::npos) << ones.err;
  EXPECT_NE(ones.err.find("line 5, field Qty"), std::string::npos) << ones.err;
  // A byte-order mark before the header is no part of the first name.
  const Result marked = import("\xEF\xBB\xBF" + header + "E1,n,1\n", "csv");
  EXPECT_EQ(marked.code, 0) << marked.err;
  EXPECT_EQ(CsvRecords(from, "--physical").size(), 8u);
}

TEST_F(TypedTool, ImportMapsColumnsChecksItsInputAndReadsOtherEncodings) {
  const std::string from = MakeTyped("items.dat", {});
  auto import = [&](const std::string& text, std::vector<std::string> more = {}) {
    std::ofstream(PathOf("in.csv")) << text;
    return Run(Typed("import", from, PathOf("in.csv"), more));
  };
  auto exported = [&] {
    EXPECT_EQ(Run(Typed("export", from, PathOf("out.csv"))).code, 0);
    return Slurp(PathOf("out.csv"));
  };
  const std::string header = "Code,Colour,Label,Qty\n";
  const Result unknown = import(header + "A1,red,nut,1\n");
  EXPECT_EQ(unknown.code, 1);
  EXPECT_NE(unknown.err.find("line 1: the dictionary has no field \"Colour\"; skip the column "
                             "with --columns 'Colour=-'"),
            std::string::npos)
      << unknown.err;
  const struct {
    std::string columns, message;
  } wrong[] = {
      {"Colour=-,Label=Nome",
       "the dictionary has no field \"Nome\"; its fields are Code, Name, "
       "Qty, Price, Ok, Day"},
      {"Colour=-,Label=Name,Size=-", "--columns names the column \"Size\", which the header"},
      {"Colour", "\"Colour\" is not COLUMN=FIELD or COLUMN=-"},
  };
  for (const auto& w : wrong) {
    const Result r = import(header + "A1,red,nut,1\n", {"--columns", w.columns});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find(w.message), std::string::npos) << r.err;
  }
  const Result mapped = import(header + "A1,red,nut,1\n", {"--columns", "Colour=-,Label=Name"});
  ASSERT_EQ(mapped.code, 0) << mapped.err;
  EXPECT_NE(exported().find("\"A1\",\"nut\",1,"), std::string::npos);
  std::ofstream(PathOf("in.jsonl")) << "{\"Code\":\"J1\",\"Colour\":\"red\",\"Label\":\"bolt\"}\n";
  const Result members =
      Run(Typed("import", from, PathOf("in.jsonl"), {"--columns", "Colour=-,Label=Name"}));
  ASSERT_EQ(members.code, 0) << members.err;
  EXPECT_NE(exported().find("\"J1\",\"bolt\","), std::string::npos);

  // A check reads everything, reports every fault with its place, and writes nothing.
  const std::string faults = "Code,Name,Qty,Ok\nB1,a,1,true\nB2,b,x,maybe\nB3,c,3\nB4,d,4,false\n";
  const Result check = import(faults, {"--check"});
  EXPECT_EQ(check.code, 1);
  for (const char* m : {"line 3, field Qty: \"x\" is not a whole number",
                        "line 3, field Ok: \"maybe\" is not true or false",
                        "line 4: 3 values, the header names 4", "3 errors; nothing was written"}) {
    EXPECT_NE(check.err.find(m), std::string::npos) << check.err;
  }
  const Result clean = import("Code,Qty\nB1,1\nB2,2\n", {"--check"});
  EXPECT_EQ(clean.code, 0) << clean.err;
  EXPECT_EQ(CsvRecords(from, "--physical").size(), 2u) << "a check writes nothing";

  // Latin-1 input: refused as UTF-8 with a hint, read with its encoding named.
  const std::string latin = "Code,Name\nC1,\"caf\xE9\"\n";
  const Result plain = import(latin);
  EXPECT_EQ(plain.code, 1);
  EXPECT_NE(plain.err.find("line 2, field Name: byte 0xE9 is not UTF-8: name the file's "
                           "encoding with --input-encoding"),
            std::string::npos)
      << plain.err;
  const Result named = import(latin, {"--input-encoding", "latin1"});
  ASSERT_EQ(named.code, 0) << named.err;
  EXPECT_NE(exported().find("\"C1\",\"caf\u00e9\""), std::string::npos);
}

// Inputs from outside are read up to a limit that fits their kind, also when they never
// end, and refused naming the file; run under a cap on the tool's memory, so that a
// reader without a limit fails here rather than taking the machine's memory.
TEST_F(TypedTool, InputsThatNeverEndAreRefusedWithinALimit) {
  const std::string file = MakeTyped("items.dat", {});
#if defined(__SANITIZE_ADDRESS__)
  constexpr bool kSanitized = true;
#elif defined(__has_feature)
  constexpr bool kSanitized = __has_feature(address_sanitizer);
#else
  constexpr bool kSanitized = false;
#endif
  if (!kSanitized) prefix_ = "ulimit -d 262144; ";  // 256 MiB; the sanitizer needs far more
  const struct {
    std::vector<std::string> args;
    std::string message;
  } inputs[] = {
      {{"create", PathOf("new.dat"), "/dev/zero"},
       "cannot read the description /dev/zero: larger than 1 MiB"},
      {{"load", PathOf("new.dat"), "/dev/zero"}, "/dev/zero: line 1 is longer than 1 MiB"},
      {Typed("import", file, "/dev/zero"), "/dev/zero: line 1: a record longer than 4 MiB"},
      {Typed("import", file, "/dev/zero", {"--format", "jsonl"}),
       "/dev/zero: line 1: longer than 4 MiB"},
      {{"import", file, PathOf("in.csv"), "--dict", "/dev/zero", "--id", "ITEMS"},
       "Dictionary file \"/dev/zero\" is too large"},
  };
  std::ofstream(PathOf("in.csv")) << "Code\nA1\n";
  for (const auto& input : inputs) {
    SCOPED_TRACE(input.args[0] + " " + input.args[2]);
    const Result r = Run(input.args);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find(input.message), std::string::npos) << r.err;
  }
  const Result shell = Run({"shell", file}, "", "/dev/zero");
  EXPECT_EQ(shell.code, 1);
  EXPECT_NE(shell.err.find("standard input: a line is longer than 4 MiB"), std::string::npos)
      << shell.err;
  EXPECT_FALSE(fs::exists(PathOf("new.dat")));
}

TEST_F(TypedTool, DictionariesMadeCheckedAndChangedByTheTool) {
  const std::string file = MakeTyped("items.dat", {});
  const std::string ddf = PathOf("new.ddf");
  auto dict = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "dict");
    return Run(args);
  };
  auto json_file = [&](const std::string& name, const std::string& text) {
    std::ofstream(PathOf(name)) << text;
    return PathOf(name);
  };

  // What show prints, create takes back, and the two files then agree.
  const Result shown = dict({"show", PathOf("items.ddf"), "--id", "items"});
  ASSERT_EQ(shown.code, 0) << shown.err;
  EXPECT_NE(shown.out.find(R"("name": "Qty",)"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find(R"("type": "ft_INTEGER",)"), std::string::npos) << shown.out;
  ASSERT_EQ(dict({"create", ddf, "--id", "ITEMS", json_file("d.json", shown.out)}).code, 0);
  EXPECT_EQ(dict({"show", ddf, "--id", "ITEMS"}).out, shown.out);
  EXPECT_EQ(Slurp(ddf), Slurp(PathOf("items.ddf")));
  EXPECT_EQ(dict({"create", ddf, "--id", "ITEMS", PathOf("d.json")}).code, 1) << "never over one";
  Result ok = dict({"check", ddf, "--id", "ITEMS", file});
  EXPECT_EQ(ok.code, 0) << ok.out << ok.err;
  EXPECT_EQ(Lines(ok.out).back(), "ok");

  // Each refusal names what is wrong, and nothing is written.
  const std::string two = R"({"fields": [{"name": "A", "type": "ft_STRING", "offset": 0, "size": 6},
                                          {"name": "%s", "type": "%s", "offset": %s, "size": 6}]})";
  auto two_fields = [&](const std::string& name, const std::string& type, int offset) {
    std::string text = two;
    for (const std::string& v : {name, type, std::to_string(offset)})
      text.replace(text.find("%s"), 2, v);
    return json_file(name + type + ".json", text);
  };
  const struct {
    std::string json, message;
  } refused[] = {
      {two_fields("B", "ft_STRING", 3),
       R"(fields "A" (bytes 0 to 5) and "B" (bytes 3 to 8) overlap (--overlap allows it))"},
      {two_fields("a", "ft_STRING", 6),
       R"(fields "A" and "a": the same name (names compare without regard to case))"},
      {two_fields("B", "integr", 6),
       R"(field 2 ("B"): unknown type "integr"; the types are ft_STRING, ft_INTEGER, ft_FLOAT, )"
       "ft_BOOLEAN, ft_DATE, ft_TIME, ft_DATETIME"},
      {two_fields("ThisNameIsLongerThanTwentyFive", "ft_STRING", 6),
       R"(field "ThisNameIsLongerThanTwentyFive" is 30 characters long)"},
      {json_file("x.json", R"({"fields": [{"name": "A", "type": 0, "offset": 0, "width": 6}]})"),
       R"(unknown member "width"; the members are name, type, offset, size)"},
      {json_file("far.json",
                 R"({"record_length": 64, "dictionary": {"fields": [{"name": "A", "type": 0, )"
                 R"("offset": 9223372036854775807, "size": 6}]}})"),
       R"(field "A": the offset 9223372036854775807 is not from 0 to 2147483647)"},
  };
  for (const auto& r : refused) {
    const Result c = dict({"create", PathOf("bad.ddf"), "--id", "BAD", r.json});
    EXPECT_EQ(c.code, 1);
    EXPECT_NE(c.err.find(r.message), std::string::npos) << c.err;
    EXPECT_FALSE(fs::exists(PathOf("bad.ddf")));
  }
  EXPECT_EQ(
      dict({"create", PathOf("bad.ddf"), "--id", "BAD", two_fields("B", "string", 3), "--overlap"})
          .code,
      0);

  // Fields beyond the record and indexes of keys the file lacks are for check to find.
  const Result add_far = dict({"add", ddf, "--id", "ITEMS", "--field", "Far", "--type", "ft_STRING",
                               "--offset", "60", "--size", "10"});
  ASSERT_EQ(add_far.code, 0) << add_far.err;
  ASSERT_EQ(dict({"add", ddf, "--id", "ITEMS", "--index", "ByName", "--key", "1"}).code, 0);
  const Result twice = dict({"add", ddf, "--id", "ITEMS", "--index", "byname", "--key", "0"});
  EXPECT_EQ(twice.code, 1);
  EXPECT_NE(twice.err.find(R"(indexes "ByName" and "byname": the same name)"), std::string::npos)
      << twice.err;
  const Result problems = dict({"check", ddf, "--id", "ITEMS", file});
  EXPECT_EQ(problems.code, 1);
  for (const char* p :
       {R"(problem: field "Far" (bytes 60 to 69) ends beyond the record's 64 bytes)",
        R"(problem: index "ByName": key 1 does not exist; the file has keys 0 to 0)"}) {
    EXPECT_NE(problems.out.find(p), std::string::npos) << problems.out;
  }
  ASSERT_EQ(dict({"remove", ddf, "--id", "ITEMS", "--field", "far"}).code, 0);
  ASSERT_EQ(dict({"remove", ddf, "--id", "ITEMS", "--index", "ByName"}).code, 0);
  EXPECT_EQ(Slurp(ddf), Slurp(PathOf("items.ddf")));
  const Result none = dict({"remove", ddf, "--id", "ITEMS", "--field", "Colour"});
  EXPECT_NE(none.err.find(R"(has no field "Colour"; its fields: Code, Name, Qty)"),
            std::string::npos)
      << none.err;

  // Another ID in the same file stays as it is through changes to the first.
  ASSERT_EQ(dict({"create", ddf, "--id", "OTHER", two_fields("B", "ft_DATE", 6)}).code, 0);
  ASSERT_EQ(dict({"remove", ddf, "--id", "ITEMS", "--field", "Day"}).code, 0);
  const Result all = dict({"show", ddf});
  EXPECT_NE(all.out.find(R"("id": "OTHER")"), std::string::npos) << all.out;
  EXPECT_EQ(all.out.find(R"("name": "Day")"), std::string::npos) << all.out;

  // describe carries the dictionary beside the keys, and create makes both files from it;
  // a field beyond the record refuses both.
  const Result whole = Run({"describe", file, "--dict", PathOf("items.ddf"), "--id", "ITEMS"});
  ASSERT_EQ(whole.code, 0) << whole.err;
  ASSERT_EQ(Run({"create", PathOf("again.dat"), json_file("whole.json", whole.out), "--dict",
                 PathOf("again.ddf"), "--id", "ITEMS"})
                .code,
            0);
  EXPECT_EQ(Slurp(PathOf("again.ddf")), Slurp(PathOf("items.ddf")));
  std::string shorter = whole.out;
  const std::string length = "\"record_length\": 64";
  shorter.replace(shorter.find(length), length.size(), "\"record_length\": 50");
  const Result beyond = Run({"create", PathOf("short.dat"), json_file("short.json", shorter),
                             "--dict", PathOf("short.ddf"), "--id", "ITEMS"});
  EXPECT_NE(beyond.err.find(R"(field "Day" (bytes 45 to 52) ends beyond the record's 50 bytes)"),
            std::string::npos)
      << beyond.err;
  EXPECT_FALSE(fs::exists(PathOf("short.dat")));
  EXPECT_FALSE(fs::exists(PathOf("short.ddf")));

  // A missing file or ID is named as such, here and where a command loads the dictionary.
  const Result wrong_id = dict({"show", ddf, "--id", "NOPE"});
  EXPECT_NE(wrong_id.err.find(R"(no dictionary under the ID "NOPE"; the IDs in the file: ITEMS, )"
                              "OTHER"),
            std::string::npos)
      << wrong_id.err;
  const Result no_file =
      Run({"export", file, PathOf("out.csv"), "--dict", PathOf("gone.ddf"), "--id", "ITEMS"});
  EXPECT_EQ(no_file.code, 1);
  EXPECT_EQ(no_file.err, "vastrel: " + PathOf("gone.ddf") + ": no such dictionary file\n");
}

TEST_F(Tool, CopyAndOwnerNames) {
  const std::string from = Make("items.dat", {Record("C1", "nut"), Record("C2", "bolt")}, true);
  ASSERT_EQ(Run({"copy", from, PathOf("copy.dat"), "--to-owner", "KEEPER", "--level", "1"}).code,
            0);
  EXPECT_EQ(Run({"copy", from, PathOf("copy.dat")}).code, 1) << "never over a file";
  // Read access without the name: level 1 lets the records be read but not changed.
  EXPECT_EQ(CsvRecords(PathOf("copy.dat"), "--physical"), CsvRecords(from, "--physical"));
  EXPECT_EQ(Run({"owner", "clear", PathOf("copy.dat"), "--owner", "WRONG"}).code, 1);
  ASSERT_EQ(Run({"owner", "clear", PathOf("copy.dat"), "--owner", "KEEPER"}).code, 0);
  ASSERT_EQ(Run({"owner", "set", PathOf("copy.dat"), "SECRET"}).code, 0);
  EXPECT_EQ(Run({"info", PathOf("copy.dat")}).code, 1);
  EXPECT_EQ(Run({"info", PathOf("copy.dat"), "--owner", "SECRET"}).code, 0);
  ASSERT_EQ(Run({"owner", "set", PathOf("copy.dat"), "OTHER", "--owner", "SECRET"}).code, 0);
  EXPECT_EQ(Run({"info", PathOf("copy.dat"), "--owner", "OTHER"}).code, 0);
}

TEST_F(Tool, ShellRunsAScriptedSession) {
  const std::string file = Make("items.dat", {Record("C1", "nut"), Record("C2", "bolt")});
  const std::string script = PathOf("session.txt");
  std::ofstream(script) << "GetFirst key=1\n"
                           "GetEqual key=0 kb=typed:C2\n"
                           "6\n"
                           "GetEqual kb=hex:4339\n"
                           "Frobnicate\n"
                           "quit\n"
                           "GetLast\n";
  const Result r = Run({"shell", file}, "", script);
  EXPECT_EQ(r.code, 1) << "a line not understood";
  const std::string expected[] = {
      "open " + file + ": status 0",
      "> GetFirst key=1\nGetFirst (12) key 1: status 0",
      "|bolt      |",
      "GetEqual (5) key 0: status 0",
      "  key buffer: 433220202020  |C2    |\n  data buffer: 24 bytes\n",
      "GetNext (6) key 0: status 9",
      "GetEqual (5) key 0: status 4",
      "close: status 0",
  };
  size_t at = 0;
  for (const std::string& e : expected) {
    const size_t found = r.out.find(e, at);
    EXPECT_NE(found, std::string::npos) << e << "\n" << r.out;
    if (found != std::string::npos) at = found;
  }
  EXPECT_EQ(r.out.find("GetLast"), std::string::npos) << "quit ends the session";
  EXPECT_NE(r.err.find("no operation named \"Frobnicate\""), std::string::npos) << r.err;
}

TEST_F(Tool, BadArgumentsAreUsageErrors) {
  const std::string file = Make("items.dat", {Record("C1", "nut")});
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate", file},
      {"info"},
      {"info", file, "extra"},
      {"info", file, "--key", "1"},
      {"dump", file, "--key"},
      {"dump", file, "--key", "one"},
      {"dump", file, "--key", "-1"},
      {"dump", file, "--key", "0", "--physical"},
      {"dump", file, "--format", "xml"},
      {"dump", file, "--verbose"},
      {"export", file},
      {"load", file, "in.jsonl", "--batch", "0"},
  };
  for (const auto& args : bad) {
    Result r = Run(args);
    EXPECT_EQ(r.code, 2) << (args.empty() ? "" : args[0]) << " " << r.err;
    EXPECT_NE(r.err.find("--help tells more"), std::string::npos);
    EXPECT_EQ(r.out, "");
  }
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"dump", "--help"}, {"help"}, {"help", "dict", "check"}}) {
    Result r = Run(args);
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("exit codes: 0 done"), std::string::npos);
  }
  EXPECT_NE(Run({"help", "dict", "check"}).out.find("RECORDFILE"), std::string::npos);
  EXPECT_EQ(Run({"help", "frobnicate"}).code, 2);
  const Result version = Run({"--version"});
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out.rfind("vastrel ", 0), 0u) << version.out;
}

}  // namespace
}  // namespace vastrel::table
