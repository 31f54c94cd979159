// vastrel: inspect, keep and rescue the business data in record files.
//
//   vastrel info FILE            the file's description and the engine version
//   vastrel dump FILE            every record, in key or physical order
//   vastrel export FILE OUT      the description and every record as JSON lines
//   vastrel load FILE IN         records of an export into a file (created when missing)
//   vastrel check FILE           every path walked and its count set against the statistics
//
// Exit codes: 0 done, 1 a data problem or an engine error, 2 a usage error. Results go to
// standard output, errors, progress and final counts to standard error.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "automation/json.h"
#include "engine/btrexception.h"
#include "engine/engine.h"
#include "hosts/cli/record_reader.h"
#include "hosts/cli/record_text.h"
#include "keys/btrklist.h"
#include "keys/file_flags.h"
#include "platform/locale.h"
#include "table/btr.h"

namespace vastrel::cli {
namespace {

using table::TBtr;
namespace json = automation::json;

constexpr const char* kFormatName = "vastrel-records";
constexpr int kFormatVersion = 1;

// A command line the tool cannot run: exit code 2, with the command's usage.
struct UsageError {
  std::string message;
};
// A file or its data is not as the command needs it: exit code 1.
class DataError : public Exception {
 public:
  using Exception::Exception;
};

constexpr const char* kUsage =
    "usage: vastrel COMMAND FILE [options]\n"
    "\n"
    "commands:\n"
    "  info FILE [--owner NAME]\n"
    "      the file's description: record length, page size, record count, file flags,\n"
    "      every key with its segments, and the engine version\n"
    "  dump FILE [--key N | --physical] [--format hex|text|csv] [--owner NAME]\n"
    "      every record in the order of key N (default 0) or in physical order\n"
    "  export FILE OUT.jsonl [--hex] [--owner NAME]\n"
    "      a header line with the description, then one line per record with its position\n"
    "      and its bytes in base64 (or hex with --hex)\n"
    "  load FILE IN.jsonl [--append] [--batch N] [--owner NAME]\n"
    "      inserts every record of an export, N (default 1000) per transaction; creates\n"
    "      FILE from the header when it does not exist, adds to it only with --append\n"
    "  check FILE [--owner NAME]\n"
    "      walks physical order and every key, and sets their counts against the\n"
    "      file's statistics; exit code 1 when they disagree\n"
    "\n"
    "  --owner NAME opens a file that has an owner name; a file that load creates gets it\n"
    "\n"
    "  vastrel --help, vastrel COMMAND --help: this text\n"
    "exit codes: 0 done, 1 data problem or engine error, 2 usage error\n";

struct Options {
  std::string command;
  std::vector<std::string> operands;
  std::optional<int> key;
  bool physical = false;
  std::string format = "hex";
  std::string owner;
  bool append = false;
  bool hex = false;
  int batch = 1000;
  bool help = false;
};

int ParseCount(const std::string& option, const std::string& text, int low) {
  size_t used = 0;
  int value = 0;
  try {
    value = std::stoi(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < low) {
    throw UsageError{option + " needs a whole number of at least " + std::to_string(low) +
                     ", not \"" + text + "\""};
  }
  return value;
}

Options ParseArguments(int argc, char** argv) {
  Options o;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) throw UsageError{"no command given"};
  size_t i = 0;
  if (args[0] == "--help" || args[0] == "-h") {
    o.help = true;
    return o;
  }
  o.command = args[i++];
  static const std::set<std::string> kCommands = {"info", "dump", "export", "load", "check"};
  if (!kCommands.count(o.command)) throw UsageError{"unknown command \"" + o.command + "\""};
  auto value_of = [&](const std::string& option) -> const std::string& {
    if (i + 1 >= args.size()) throw UsageError{option + " needs a value"};
    return args[++i];
  };
  auto allowed = [&](const std::string& option, std::initializer_list<const char*> commands) {
    for (const char* c : commands) {
      if (o.command == c) return;
    }
    throw UsageError{o.command + " takes no " + option};
  };
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--owner") {
      o.owner = value_of(a);
    } else if (a == "--key") {
      allowed(a, {"dump"});
      o.key = ParseCount(a, value_of(a), 0);
    } else if (a == "--physical") {
      allowed(a, {"dump"});
      o.physical = true;
    } else if (a == "--format") {
      allowed(a, {"dump"});
      o.format = value_of(a);
      if (o.format != "hex" && o.format != "text" && o.format != "csv") {
        throw UsageError{"--format is hex, text or csv, not \"" + o.format + "\""};
      }
    } else if (a == "--hex") {
      allowed(a, {"export"});
      o.hex = true;
    } else if (a == "--append") {
      allowed(a, {"load"});
      o.append = true;
    } else if (a == "--batch") {
      allowed(a, {"load"});
      o.batch = ParseCount(a, value_of(a), 1);
    } else if (a.size() > 1 && a[0] == '-') {
      throw UsageError{"unknown option \"" + a + "\""};
    } else {
      o.operands.push_back(a);
    }
  }
  if (o.help) return o;
  if (o.key && o.physical) throw UsageError{"--key and --physical exclude each other"};
  const size_t wanted = (o.command == "export" || o.command == "load") ? 2 : 1;
  if (o.operands.size() != wanted) {
    throw UsageError{o.command + " takes " + (wanted == 1 ? "FILE" : "FILE and a JSON-lines file")};
  }
  return o;
}

// An engine message carries a carriage return before the file name; on a terminal that
// would overwrite the line, so the file name goes on a line of its own.
// The component's messages are single-byte text; the terminal reads UTF-8.
std::string Printable(const std::string& message) {
  std::string out = platform::SingleByteToUtf8(message);
  if (auto cr = out.find('\r'); cr != std::string::npos) out.replace(cr, 1, "\n  file: ");
  return out;
}

// A percentage on standard error, rewritten in place, only when that is a terminal.
class Progress {
 public:
  Progress(const char* doing, uint64_t total) : doing_(doing), total_(total), shown_(isatty(2)) {}
  ~Progress() { Clear(); }
  void Update(uint64_t done) {
    if (!shown_ || total_ == 0) return;
    const int percent = static_cast<int>(std::min<uint64_t>(done * 100 / total_, 100));
    if (percent == last_) return;
    last_ = percent;
    std::fprintf(stderr, "\r%s: %3d%%", doing_, percent);
    std::fflush(stderr);
  }
  void Clear() {
    if (shown_ && last_ >= 0) std::fprintf(stderr, "\r\033[K");
    last_ = -1;
  }

 private:
  const char* doing_;
  uint64_t total_;
  bool shown_;
  int last_ = -1;
};

void OpenForReading(TBtr& t, const Options& o) {
  t.SetFileName(platform::FileNameFromPath(o.operands[0]));
  t.SetDbOwner(o.owner);
  t.SetOpenMode(table::bomReadOnly);
  t.Open();
}

uint16_t FlagsWord(const TBtr& t) {
  return static_cast<uint16_t>(t.FileSpec()[10] | (t.FileSpec()[11] << 8));
}

// The first segment of every key: keys are runs of segments ended by one without the
// segment flag.
std::vector<int> KeyStarts(const keys::tkeylist& list) {
  std::vector<int> starts;
  bool at_start = true;
  for (int i = 0; i < list.Count(); ++i) {
    if (at_start) starts.push_back(i);
    at_start = !list[i].Segment();
  }
  return starts;
}

const char* KeyTypeName(keys::TKeyTypes type) {
  return type < std::size(keys::kKeyTypeNames) ? keys::kKeyTypeNames[type] : "ktUnknown";
}

std::string FileFlagNames(uint16_t word) {
  const keys::BtrFileFlags flags = keys::FileFlagsFromWord(word);
  std::string out;
  for (int m = 0; m < keys::kFileFlagMembers; ++m) {
    if (!flags.Contains(static_cast<keys::BtrFileFlag>(m))) continue;
    if (!out.empty()) out += ", ";
    out += keys::kFileFlagNames[m];
  }
  return out.empty() ? "none" : out;
}

std::string KeyFlagNames(const keys::TKey& k) {
  struct Name {
    uint16_t bit;
    const char* name;
  };
  static constexpr Name kNames[] = {{keys::kFlagDuplicates, "AllowDuplicates"},
                                    {keys::kFlagModifiable, "Modifiable"},
                                    {keys::kFlagBinary, "Binary"},
                                    {keys::kFlagAllSegmentNull, "AllSegmentNull"},
                                    {keys::kFlagSegment, "Segment"},
                                    {keys::kFlagSortedByACS, "KeySortedbyACS"},
                                    {keys::kFlagDescending, "Descending"},
                                    {0x0080, "RepeatingDuplicates"},
                                    {keys::kFlagExtendedType, "ExtendedType"},
                                    {keys::kFlagNulSegment, "NulSegment"},
                                    {keys::kFlagCaseInsensitive, "CaseInsensitive"}};
  std::string out;
  for (const Name& n : kNames) {
    if ((k.KeyFlag() & n.bit) == 0) continue;
    if (!out.empty()) out += ", ";
    out += n.name;
  }
  return out.empty() ? "none" : out;
}

bool KeyLeavesOutNulls(const keys::tkeylist& list, int first) {
  for (int i = first; i < list.Count(); ++i) {
    if (list[i].AllSegmentNull() || list[i].NulSegment()) return true;
    if (!list[i].Segment()) break;
  }
  return false;
}

int Info(const Options& o) {
  TBtr t;
  OpenForReading(t, o);
  const std::string version = t.Version();
  const keys::tkeylist& list = t.Keys();
  const std::vector<int> starts = KeyStarts(list);
  std::printf("file: %s\n", t.FileName().c_str());
  std::printf("engine version: %s\n", version.c_str());
  std::printf("record length: %u\n", t.RecordSize());
  std::printf("page size: %u\n", t.PageSize());
  std::printf("records: %u\n", t.RecordCount());
  std::printf("file flags: %s\n", FileFlagNames(FlagsWord(t)).c_str());
  std::printf("keys: %u\n", t.NumberOfKeys());
  for (size_t k = 0; k < starts.size(); ++k) {
    const int end = k + 1 < starts.size() ? starts[k + 1] : list.Count();
    std::printf("key %zu: %d segment%s, %u unique values\n", k, end - starts[k],
                end - starts[k] == 1 ? "" : "s", list[starts[k]].KeyValues());
    for (int s = starts[k]; s < end; ++s) {
      const keys::TKey& seg = list[s];
      std::printf("  segment %d: position %d, length %d, type %s, flags %s", s - starts[k] + 1,
                  seg.Position(), seg.Length(), KeyTypeName(seg.KeyType()),
                  KeyFlagNames(seg).c_str());
      if (seg.NulSegment() || seg.AllSegmentNull()) std::printf(", null value %u", seg.NullVal());
      if (seg.ACS() != 0) std::printf(", collating sequence %u", seg.ACS());
      std::printf("\n");
    }
  }
  t.Close();
  return 0;
}

int Dump(const Options& o) {
  TBtr t;
  OpenForReading(t, o);
  int path = o.physical ? kPhysicalOrder : o.key.value_or(0);
  if (!o.key && !o.physical && t.NumberOfKeys() == 0) path = kPhysicalOrder;
  if (path != kPhysicalOrder && path >= t.NumberOfKeys()) {
    throw DataError("key " + std::to_string(path) + " does not exist: the file has " +
                    std::to_string(t.NumberOfKeys()) + " keys");
  }
  RecordWalk walk(t, path);
  uint64_t count = 0;
  Progress progress("dump", t.RecordCount());
  if (o.format == "csv") std::fputs("position,length,record\n", stdout);
  while (walk.Next()) {
    ++count;
    const int32_t position = walk.Position();
    std::string out;
    if (o.format == "hex") {
      out = "record " + std::to_string(count) + "  position " + std::to_string(position) +
            "  length " + std::to_string(walk.Length()) + "\n" +
            HexDump(walk.Data(), walk.Length(), "  ");
    } else if (o.format == "text") {
      out = std::to_string(position) + "\t" + PrintableText(walk.Data(), walk.Length()) + "\n";
    } else {
      out = std::to_string(position) + "," + std::to_string(walk.Length()) + "," +
            CsvField(walk.Data(), walk.Length()) + "\n";
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    progress.Update(count);
  }
  progress.Clear();
  t.Close();
  std::fprintf(stderr, "%llu records\n", static_cast<unsigned long long>(count));
  return 0;
}

// The header line: the description a load needs to create the file again. Every segment
// goes as its readable fields and as its whole block, the unique-value count cleared, since
// that belongs to the file's contents and not to its description.
std::string HeaderLine(const TBtr& t) {
  std::string keys;
  for (int i = 0; i < t.Keys().Count(); ++i) {
    keys::TKey seg = t.Keys()[i];
    seg.SetKeyValues(0);
    if (i > 0) keys += ",";
    keys += "{\"position\":" + std::to_string(seg.Position()) +
            ",\"length\":" + std::to_string(seg.Length()) + ",\"type\":\"" +
            KeyTypeName(seg.KeyType()) + "\",\"flags\":" + std::to_string(seg.KeyFlag()) +
            ",\"block\":\"" + HexEncode(seg.Block().data(), seg.Block().size()) + "\"}";
  }
  return std::string("{\"format\":\"") + kFormatName +
         "\",\"version\":" + std::to_string(kFormatVersion) +
         ",\"record_length\":" + std::to_string(t.RecordSize()) +
         ",\"page_size\":" + std::to_string(t.PageSize()) +
         ",\"file_flags\":" + std::to_string(FlagsWord(t)) +
         ",\"records\":" + std::to_string(t.RecordCount()) + ",\"keys\":[" + keys + "]}\n";
}

int Export(const Options& o) {
  TBtr t;
  OpenForReading(t, o);
  // Truncating the record file itself would destroy what the export is meant to keep.
  std::error_code same_ec;
  if (std::filesystem::equivalent(o.operands[0], o.operands[1], same_ec)) {
    throw DataError(o.operands[1] + " is the record file itself; name another output file");
  }
  std::ofstream out(o.operands[1], std::ios::binary | std::ios::trunc);
  if (!out) throw DataError("cannot write " + o.operands[1] + ": " + std::strerror(errno));
  out << HeaderLine(t);
  RecordWalk walk(t, kPhysicalOrder);
  uint64_t count = 0;
  Progress progress("export", t.RecordCount());
  while (walk.Next()) {
    const int32_t position = walk.Position();
    out << "{\"position\":" << position << (o.hex ? ",\"hex\":\"" : ",\"data\":\"")
        << (o.hex ? HexEncode(walk.Data(), walk.Length())
                  : Base64Encode(walk.Data(), walk.Length()))
        << "\"}\n";
    progress.Update(++count);
  }
  progress.Clear();
  out.close();
  if (!out) throw DataError("writing " + o.operands[1] + " failed: " + std::strerror(errno));
  t.Close();
  std::fprintf(stderr, "exported %llu records\n", static_cast<unsigned long long>(count));
  return 0;
}

// Reads a JSON object of one line; a problem names the line.
json::Object ParseLine(const std::string& line, uint64_t number) {
  try {
    json::Value v = json::Parse(line);
    if (!v.IsObject()) throw DataError("not an object");
    return v.AsObject();
  } catch (const Exception& e) {
    throw DataError("line " + std::to_string(number) + ": " + e.what());
  }
}

int64_t IntMember(const json::Object& obj, const char* name, uint64_t line, int64_t low,
                  int64_t high) {
  const json::Value* v = obj.Find(name);
  if (!v || !v->IsInt() || v->AsInt() < low || v->AsInt() > high) {
    throw DataError("line " + std::to_string(line) + ": \"" + name +
                    "\" must be a whole number from " + std::to_string(low) + " to " +
                    std::to_string(high));
  }
  return v->AsInt();
}

void DescribeFromHeader(TBtr& t, const json::Object& header) {
  const json::Value* format = header.Find("format");
  if (!format || !format->IsString() || format->AsString() != kFormatName) {
    throw DataError("line 1: not the header of a vastrel export");
  }
  if (IntMember(header, "version", 1, 1, 1000) != kFormatVersion) {
    throw DataError("line 1: an export of a later version of this tool");
  }
  t.SetRecordSize(static_cast<uint16_t>(IntMember(header, "record_length", 1, 1, 65535)));
  t.SetPageSize(static_cast<uint16_t>(IntMember(header, "page_size", 1, 1, 65535)));
  t.SetFileFlags(
      keys::FileFlagsFromWord(static_cast<uint16_t>(IntMember(header, "file_flags", 1, 0, 65535))));
  const json::Value* list = header.Find("keys");
  if (!list || !list->IsArray()) throw DataError("line 1: \"keys\" must be a list");
  t.Keys().Clear();
  for (const json::Value& item : list->AsArray()) {
    const json::Value* block = item.IsObject() ? item.AsObject().Find("block") : nullptr;
    Bytes bytes;
    if (!block || !block->IsString() || !HexDecode(block->AsString(), bytes) ||
        bytes.size() != keys::kKeySpecSize) {
      throw DataError("line 1: every key segment needs its \"block\" of 16 bytes in hex");
    }
    t.Keys().Add().ReadBlockFrom(bytes.data());
  }
}

int Load(const Options& o) {
  const std::string& in_name = o.operands[1];
  std::ifstream in(in_name, std::ios::binary);
  if (!in) throw DataError("cannot read " + in_name + ": " + std::strerror(errno));
  std::error_code ec;
  const uint64_t in_size = std::filesystem::file_size(in_name, ec);
  std::string line;
  if (!std::getline(in, line)) throw DataError(in_name + " is empty: no header line");
  if (!line.empty() && line.back() == '\r') line.pop_back();

  TBtr t;
  t.SetFileName(platform::FileNameFromPath(o.operands[0]));
  t.SetDbOwner(o.owner);
  DescribeFromHeader(t, ParseLine(line, 1));
  const uint16_t record_length = t.RecordSize();
  if (std::filesystem::exists(o.operands[0])) {
    if (!o.append) {
      throw DataError(o.operands[0] + " already exists; --append adds the records to it");
    }
    t.Open();
    if (t.RecordSize() != record_length) {
      throw DataError("the file's record length is " + std::to_string(t.RecordSize()) +
                      ", the export's " + std::to_string(record_length));
    }
  } else {
    t.CreateFile();
  }
  const bool variable = t.FileFlags().Contains(keys::ffVariableLength);

  t.SetTranType(table::ttConcurrent);
  uint64_t loaded = 0;
  uint64_t committed = 0;
  uint64_t number = 1;
  uint64_t bytes_read = line.size() + 1;
  bool in_transaction = false;
  Progress progress("load", in_size);
  try {
    Bytes record;
    while (std::getline(in, line)) {
      ++number;
      bytes_read += line.size() + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();  // written on another system
      if (line.empty()) continue;
      const json::Object obj = ParseLine(line, number);
      const json::Value* data = obj.Find("data");
      const json::Value* hex = obj.Find("hex");
      const bool ok = data ? data->IsString() && Base64Decode(data->AsString(), record)
                           : hex && hex->IsString() && HexDecode(hex->AsString(), record);
      if (!ok) {
        throw DataError("line " + std::to_string(number) +
                        ": the record needs \"data\" in base64 or \"hex\" in hex");
      }
      if (variable ? record.size() < record_length : record.size() != record_length) {
        throw DataError("line " + std::to_string(number) + ": a record of " +
                        std::to_string(record.size()) + " bytes, the file's record length is " +
                        std::to_string(record_length));
      }
      if (!in_transaction) {
        t.begintransaction();
        in_transaction = true;
      }
      t.SetDataBufferLength(static_cast<int32_t>(record.size()));
      std::memcpy(t.DataBuffer(), record.data(), record.size());
      t.Insert();
      ++loaded;
      if (loaded % static_cast<uint64_t>(o.batch) == 0) {
        in_transaction = false;
        t.committransaction();
        committed = loaded;
      }
      progress.Update(bytes_read);
    }
    if (in_transaction) {
      in_transaction = false;
      t.committransaction();
      committed = loaded;
    }
  } catch (...) {
    progress.Clear();
    if (in_transaction) {
      try {
        t.aborttransaction();
      } catch (const Exception&) {
        // The failure that got here is the one to report.
      }
    }
    std::fprintf(stderr, "loaded %llu records; the batch in work was undone\n",
                 static_cast<unsigned long long>(committed));
    throw;
  }
  progress.Clear();
  t.Close();
  std::fprintf(stderr, "loaded %llu records\n", static_cast<unsigned long long>(loaded));
  return 0;
}

int Check(const Options& o) {
  TBtr t;
  OpenForReading(t, o);
  const uint32_t expected = t.RecordCount();
  int problems = 0;
  auto problem = [&](const std::string& text) {
    ++problems;
    std::printf("  problem: %s\n", text.c_str());
  };
  std::printf("statistics: %u records\n", expected);

  std::unordered_set<int32_t> physical;
  uint64_t steps = 0;
  {
    RecordWalk walk(t, kPhysicalOrder);
    while (walk.Next()) {
      ++steps;
      if (!physical.insert(walk.Position()).second) {
        problem("physical order reaches position " + std::to_string(walk.Position()) + " twice");
        break;  // a loop in physical order would never end
      }
    }
  }
  std::printf("physical order: %llu records\n", static_cast<unsigned long long>(steps));
  if (steps != expected) problem("physical order and statistics disagree");

  const keys::tkeylist list = t.Keys();
  const std::vector<int> starts = KeyStarts(list);
  for (size_t k = 0; k < starts.size(); ++k) {
    std::unordered_set<int32_t> seen;
    uint64_t count = 0;
    RecordWalk walk(t, static_cast<int>(k));
    while (walk.Next()) {
      ++count;
      const int32_t position = walk.Position();
      if (!physical.count(position)) {
        problem("key " + std::to_string(k) + " reaches position " + std::to_string(position) +
                ", which physical order does not");
      }
      if (!seen.insert(position).second) {
        problem("key " + std::to_string(k) + " reaches position " + std::to_string(position) +
                " twice");
        break;
      }
    }
    const bool nulls = KeyLeavesOutNulls(list, starts[k]);
    std::printf("key %zu: %llu records%s\n", k, static_cast<unsigned long long>(count),
                nulls ? " (null values left out)" : "");
    if (nulls ? count > expected : count != expected) {
      problem("key " + std::to_string(k) + " and statistics disagree");
    }
  }
  t.Close();
  std::printf(problems == 0 ? "ok\n" : "%d problems\n", problems);
  return problems == 0 ? 0 : 1;
}

int Run(int argc, char** argv) {
  Options o;
  try {
    o = ParseArguments(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "vastrel: %s\n\n%s", e.message.c_str(), kUsage);
    return 2;
  }
  if (o.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  InstallLengthObserver();
  try {
    int code = 0;
    if (o.command == "info") code = Info(o);
    if (o.command == "dump") code = Dump(o);
    if (o.command == "export") code = Export(o);
    if (o.command == "load") code = Load(o);
    if (o.command == "check") code = Check(o);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      std::fprintf(stderr, "vastrel: writing the output failed\n");
      return 1;
    }
    return code;
  } catch (const Btrexception& e) {
    std::fflush(stdout);
    if (e.Status() == engine::kStatusEngineMissing) {
      const auto state = engine::CurrentEngineState();
      std::fprintf(
          stderr, "vastrel: no record engine (%s); VASTREL_ENGINE names another engine library\n",
          state.load_error.empty() ? "the library lacks BTRCALL" : state.load_error.c_str());
    }
    std::fprintf(stderr, "vastrel: %s\n", Printable(e.what()).c_str());
    return 1;
  } catch (const DataError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "vastrel: %s\n", e.what());  // the tool's own words, in UTF-8
    return 1;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "vastrel: %s\n", Printable(e.what()).c_str());
    return 1;
  }
}

}  // namespace
}  // namespace vastrel::cli

int main(int argc, char** argv) { return vastrel::cli::Run(argc, argv); }
