// The vastrel tool as its users run it: files made with the component, the tool started as
// a program, its output, messages and exit codes checked.
#include <gtest/gtest.h>
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

#include "dictionary/btrdictlist.h"
#include "dictionary/btrfld.h"
#include "dictionary/field_text.h"
#include "engine/btrexception.h"
#include "engine/engine.h"
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
    std::string command = engine.empty() ? "" : "VASTREL_ENGINE='" + engine + "' ";
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
  EXPECT_NE(duplicate.err.find("(5)\n  file: " + other), std::string::npos) << duplicate.err;
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
  EXPECT_NE(without.err.find("(51)\n  file: " + file), std::string::npos) << without.err;
  Result with = Run({"dump", file, "--owner", "KEEPER", "--format", "text"});
  EXPECT_EQ(with.code, 0) << with.err;
  EXPECT_NE(with.out.find("C1    nut"), std::string::npos);
}

TEST_F(Tool, AMissingFileIsAnEngineError) {
  const std::string missing = PathOf("missing.dat");
  for (const char* command : {"info", "dump", "check"}) {
    Result r = Run({command, missing});
    EXPECT_EQ(r.code, 1) << command;
    EXPECT_EQ(r.err, "vastrel: File Not Found (12)\n  file: " + missing + "\n") << command;
    EXPECT_EQ(r.out, "") << command;
  }
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
  EXPECT_NE(r.err.find("(-9999)\n  file: " + file), std::string::npos) << r.err;
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
  EXPECT_NE(bad.err.find("key 0 segment 1: unknown key type"), std::string::npos) << bad.err;
  EXPECT_FALSE(fs::exists(PathOf("bad.dat")));

  // A path beyond ASCII names the same file on disk, and one the code page cannot spell
  // is refused rather than turned into another name.
  ASSERT_EQ(Run({"create", PathOf("caf\xC3\xA9.dat"), PathOf("d.json")}).code, 0);
  EXPECT_TRUE(fs::exists(PathOf("caf\xC3\xA9.dat")));
  EXPECT_EQ(Run({"describe", PathOf("caf\xC3\xA9.dat")}).out, d.out);
  const Result cjk = Run({"create", PathOf("\xE4\xB8\xAD.dat"), PathOf("d.json")});
  EXPECT_EQ(cjk.code, 1);
  EXPECT_NE(cjk.err.find("code page"), std::string::npos) << cjk.err;

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
  EXPECT_NE(dup.err.find("(5)"), std::string::npos) << dup.err;
  EXPECT_EQ(CsvRecords(from, "--physical").size(), 4u);
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
  for (const auto& args : std::vector<std::vector<std::string>>{{"--help"}, {"dump", "--help"}}) {
    Result r = Run(args);
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("exit codes: 0 done"), std::string::npos);
  }
}

}  // namespace
}  // namespace vastrel::table
