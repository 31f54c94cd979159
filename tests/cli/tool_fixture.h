// The vastrel tool as its users run it: files made with the component, the tool started as
// a program, its output, messages and exit codes checked. The fixtures the tool's tests share.
#pragma once

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

namespace fs = std::filesystem;

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

inline std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Record layout: a 6-character code (unique key 0) and a 10-character name (key 1, with
// duplicates) in a 24-byte fixed part; variable-length files carry more after it.
inline constexpr uint16_t kRecordSize = 24;

inline std::string Record(const std::string& code, const std::string& name,
                          size_t size = kRecordSize) {
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

}  // namespace vastrel::table
