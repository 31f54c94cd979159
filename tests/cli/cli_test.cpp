// The vastrel tool on the files it reads: info, dump, compact, copy, owner names, the shell,
// failures and usage errors.
#include "tests/cli/tool_fixture.h"

namespace vastrel::table {
namespace {

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
