// The vastrel tool keeping and rescuing records: export and load, check, recover.
#include "tests/cli/tool_fixture.h"

namespace vastrel::table {
namespace {

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

}  // namespace
}  // namespace vastrel::table
