// vastrel: inspect, keep and rescue the business data in record files.
//
//   vastrel info|describe|dump|check FILE        the file's description, its records, a check
//   vastrel create FILE DESCRIPTION.json         a new file from a description
//   vastrel export|load FILE JSONL               every record's bytes, and back
//   vastrel export|import FILE OUT|IN --dict     typed fields as CSV or JSON lines
//   vastrel copy SRC DST                         a copy, record by record
//   vastrel owner set|clear FILE                 the owner name
//   vastrel compact FILE                         the file in its smallest form
//   vastrel shell FILE                           operations call by call
//   vastrel dict show|create|add|remove|check    field dictionaries as JSON (dict_verb.h)
//   vastrel help [COMMAND], vastrel --version
//
// Exit codes: 0 done, 1 a data problem or an engine error, 2 a usage error. Results go to
// standard output, errors, progress and final counts to standard error.
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "automation/json.h"
#include "engine/btrexception.h"
#include "engine/engine.h"
#include "hosts/cli/bounded_read.h"
#include "hosts/cli/code_page.h"
#include "hosts/cli/compact.h"
#include "hosts/cli/dict_verb.h"
#include "hosts/cli/errors.h"
#include "hosts/cli/owner_input.h"
#include "hosts/cli/record_reader.h"
#include "hosts/cli/record_text.h"
#include "hosts/cli/shell.h"
#include "hosts/cli/typed_records.h"
#include "keys/btrklist.h"
#include "keys/file_flags.h"
#include "mkde/salvage.h"
#include "platform/locale.h"
#include "table/btr.h"

namespace vastrel::cli {
namespace {

using table::TBtr;

constexpr const char* kFormatName = "vastrel-records";
constexpr int kFormatVersion = 1;

// Copy commits, unless told a number of records, once a transaction holds this
// much record data: each commit waits for the disk, so fewer are faster, while one
// transaction must fit the room the file's map keeps free.
constexpr uint64_t kBatchBytes = uint64_t{4} << 20;

constexpr const char* kExitCodes =
    "exit codes: 0 done, 1 data problem or engine error, 2 usage error\n";

struct Options {
  std::string command;
  std::vector<std::string> operands;
  std::optional<int> key;
  bool physical = false;
  std::string format = "hex";
  std::string owner;  // UTF-8 as typed; the table takes single-byte text, as through automation
  bool append = false;
  bool hex = false;
  int batch = 1000;
  bool json = false;
  std::string dict;
  std::string dict_id;
  std::string code_page = "cp1252";
  std::string new_owner;
  int level = 0;
  std::string columns;         // import: COLUMN=FIELD or COLUMN=-, by commas
  bool check = false;          // import: converts everything, writes nothing
  std::string input_encoding;  // import: the input's single-byte encoding; empty: UTF-8
};

// A message of the component as one line of UTF-8; an engine message as
// "File Not Found (12): /data/parts.dat".
std::string Printable(const std::string& message) { return EngineText(message); }

// A bar with the share done on standard error, redrawn in place, only when that is a
// terminal; nothing when it is piped.
class Progress {
 public:
  Progress(const char* doing, uint64_t total) : doing_(doing), total_(total), shown_(isatty(2)) {}
  ~Progress() { Clear(); }
  // Whether the bar is drawn at all, for callers whose measure of progress costs a call.
  bool Shown() const { return shown_; }
  void Update(uint64_t done) {
    if (!shown_ || total_ == 0) return;
    const int percent = static_cast<int>(std::min<uint64_t>(done * 100 / total_, 100));
    if (percent == last_) return;
    last_ = percent;
    constexpr int kWidth = 30;
    const int filled = percent * kWidth / 100;
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", doing_, filled, "##############################",
                 kWidth - filled, "", percent);
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
  t.SetDbOwner(platform::Utf8ToSingleByte(o.owner));
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

struct KeyFlagName {
  uint16_t bit;
  const char* name;
};
constexpr KeyFlagName kKeyFlagNames[] = {{keys::kFlagDuplicates, "AllowDuplicates"},
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

std::string KeyFlagNames(const keys::TKey& k) {
  std::string out;
  for (const KeyFlagName& n : kKeyFlagNames) {
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

json::Value DescriptionOf(const TBtr& t);

// How the file uses its space, from the engine's storage figures (TBtr::StorageFigures).
json::Object StorageJson(const std::array<uint64_t, 8>& f) {
  // Sizes of a file stay far below INT64_MAX; a figure above it is clamped, never wrapped.
  auto whole = [](uint64_t v) { return static_cast<int64_t>(std::min<uint64_t>(v, INT64_MAX)); };
  const uint64_t page = f[1];
  json::Object out;
  out.Set("file_bytes", whole(f[0]));
  out.Set("page_size", whole(page));
  out.Set("pages_in_use", whole(f[2]));
  out.Set("map_bytes", whole(f[3]));
  out.Set("record_bytes", whole(f[4] * page));
  out.Set("key_bytes", whole(f[5] * page));
  out.Set("other_bytes", whole(f[6] * page));
  out.Set("free_pages", whole(f[7]));
  out.Set("free_bytes", whole(f[7] * page));
  return out;
}

void PrintStorage(const std::array<uint64_t, 8>& f) {
  const uint64_t page = f[1];
  auto pages = [page](uint64_t n) {
    return std::to_string(n) + " page" + (n == 1 ? "" : "s") + " (" + std::to_string(n * page) +
           " bytes)";
  };
  std::printf("size on disk: %llu bytes (%llu pages of %llu bytes in use)\n",
              static_cast<unsigned long long>(f[0]), static_cast<unsigned long long>(f[2]),
              static_cast<unsigned long long>(page));
  std::printf("  records: %s\n", pages(f[4]).c_str());
  std::printf("  keys: %s\n", pages(f[5]).c_str());
  std::printf("  other: %s\n", pages(f[6]).c_str());
  std::printf("  free, reused by later writes: %s\n", pages(f[7]).c_str());
  std::printf("map: %llu bytes, grown ahead of need\n", static_cast<unsigned long long>(f[3]));
}

int Info(const Options& o) {
  TBtr t;
  OpenForReading(t, o);
  const std::string version = t.Version();
  const keys::tkeylist& list = t.Keys();
  const std::vector<int> starts = KeyStarts(list);
  if (o.json) {
    json::Object out;
    out.Set("file", t.FileName());
    out.Set("engine_version", version);
    out.Set("records", t.RecordCount());
    const json::Value description = DescriptionOf(t);
    for (const json::Member& m : description.AsObject()) out.Set(m.name, m.value);
    json::Array& keys_out = out.Find("keys")->AsArray();
    for (size_t k = 0; k < starts.size() && k < keys_out.size(); ++k)
      keys_out[k].AsObject().Set("unique_values", list[starts[k]].KeyValues());
    if (const auto figures = t.StorageFigures()) out.Set("storage", StorageJson(*figures));
    std::printf("%s\n", json::Write(out).c_str());
    t.Close();
    return 0;
  }
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
  if (const auto figures = t.StorageFigures()) {
    PrintStorage(*figures);
  } else {
    std::printf("size on disk: not reported by this engine\n");
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

int ExportRaw(const Options& o) {
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
  const LineRead header = ReadLine(in, line, kMaxHeaderLineBytes);
  if (header == LineRead::kEnd) throw DataError(in_name + " is empty: no header line");
  if (header == LineRead::kTooLong) {
    throw DataError(in_name + ": line 1 is longer than " + SizeText(kMaxHeaderLineBytes) +
                    ": not the header of a vastrel export");
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();

  TBtr t;
  t.SetFileName(platform::FileNameFromPath(o.operands[0]));
  t.SetDbOwner(platform::Utf8ToSingleByte(o.owner));
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
    for (LineRead read; (read = ReadLine(in, line, kMaxRecordLineBytes)) != LineRead::kEnd;) {
      ++number;
      if (read == LineRead::kTooLong) {
        throw DataError(in_name + ": line " + std::to_string(number) + " is longer than " +
                        SizeText(kMaxRecordLineBytes) + ", more than any record's line");
      }
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
        t.committransaction();
        in_transaction = false;
        committed = loaded;
      }
      progress.Update(bytes_read);
    }
    if (in_transaction) {
      t.committransaction();
      in_transaction = false;
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
    std::fprintf(stderr, "loaded %llu records%s\n", static_cast<unsigned long long>(committed),
                 in_transaction ? "; the batch in work was undone" : " before the failure");
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
  uint32_t expected = 0;
  std::vector<std::string> problems;
  // The problems found by each walk, physical order first, for the text report.
  std::vector<size_t> found_after;
  const keys::tkeylist list = t.Keys();
  const std::vector<int> starts = KeyStarts(list);
  struct KeyCount {
    uint64_t count;
    bool nulls;
  };
  std::vector<KeyCount> key_counts;
  uint64_t steps = 0;

  // One walk along every path, each record's position set against the others and the counts
  // against the statistics. A read the engine answers with a status (a damaged record, a key
  // entry without its record) ends that walk with a problem that names the place.
  auto check_all = [&] {
    problems.clear();
    found_after.clear();
    key_counts.clear();
    t.Stat();  // the count as it stands now
    expected = t.RecordCount();
    Progress progress("check", static_cast<uint64_t>(expected) * (starts.size() + 1));
    uint64_t walked = 0;
    auto damaged = [&](const std::string& path, int32_t after, const Btrexception& e) {
      problems.push_back(
          "damaged: " + path + ", after " +
          (after < 0 ? std::string("its start") : "position " + std::to_string(after)) +
          ": status " + std::to_string(e.Status()));
    };
    std::unordered_set<int32_t> physical;
    steps = 0;
    {
      RecordWalk walk(t, kPhysicalOrder);
      int32_t last = -1;
      try {
        while (walk.Next()) {
          ++steps;
          progress.Update(++walked);
          last = walk.Position();
          if (!physical.insert(last).second) {
            problems.push_back("physical order reaches position " + std::to_string(last) +
                               " twice");
            break;  // a loop in physical order would never end
          }
        }
      } catch (const Btrexception& e) {
        damaged("physical order", last, e);
      }
    }
    if (steps != expected) problems.push_back("physical order and statistics disagree");
    found_after.push_back(problems.size());

    for (size_t k = 0; k < starts.size(); ++k) {
      std::unordered_set<int32_t> seen;
      uint64_t count = 0;
      RecordWalk walk(t, static_cast<int>(k));
      int32_t last = -1;
      try {
        while (walk.Next()) {
          ++count;
          progress.Update(++walked);
          const int32_t position = last = walk.Position();
          if (!physical.count(position)) {
            problems.push_back("key " + std::to_string(k) + " reaches position " +
                               std::to_string(position) + ", which physical order does not");
          }
          if (!seen.insert(position).second) {
            problems.push_back("key " + std::to_string(k) + " reaches position " +
                               std::to_string(position) + " twice");
            break;
          }
        }
      } catch (const Btrexception& e) {
        damaged("key " + std::to_string(k), last, e);
      }
      const bool nulls = KeyLeavesOutNulls(list, starts[k]);
      key_counts.push_back({count, nulls});
      if (nulls ? count > expected : count != expected) {
        problems.push_back("key " + std::to_string(k) + " and statistics disagree");
      }
      found_after.push_back(problems.size());
    }
    progress.Clear();
  };
  check_all();
  if (!problems.empty()) {
    // Walks of a file that others write meanwhile see different moments of it: a problem
    // counts only when it is there again in one committed state, read inside a transaction
    // that holds the file against writes (only for as long as this second look lasts).
    t.SetTranType(table::ttExclusive);
    t.begintransaction();
    try {
      check_all();
    } catch (...) {
      try {
        t.aborttransaction();
      } catch (const Exception&) {
        // The failure that got here is the one to report.
      }
      throw;
    }
    t.aborttransaction();
  }
  t.Close();
  if (o.json) {
    json::Object out;
    out.Set("file", t.FileName());
    out.Set("statistics", expected);
    out.Set("physical_order", static_cast<int64_t>(steps));
    json::Array keys_out;
    for (const KeyCount& c : key_counts) {
      json::Object k;
      k.Set("records", static_cast<int64_t>(c.count));
      k.Set("null_values_left_out", c.nulls);
      keys_out.push_back(std::move(k));
    }
    out.Set("keys", std::move(keys_out));
    json::Array list_out;
    for (const std::string& p : problems) list_out.emplace_back(p);
    out.Set("problems", std::move(list_out));
    out.Set("ok", problems.empty());
    std::printf("%s\n", json::Write(out).c_str());
  } else {
    std::printf("statistics: %u records\n", expected);
    std::printf("physical order: %llu records\n", static_cast<unsigned long long>(steps));
    size_t shown = 0;
    auto show_problems = [&](size_t until) {
      for (; shown < until; ++shown) std::printf("  problem: %s\n", problems[shown].c_str());
    };
    show_problems(found_after[0]);
    for (size_t k = 0; k < key_counts.size(); ++k) {
      std::printf("key %zu: %llu records%s\n", k,
                  static_cast<unsigned long long>(key_counts[k].count),
                  key_counts[k].nulls ? " (null values left out)" : "");
      show_problems(found_after[k + 1]);
    }
    if (problems.empty())
      std::printf("ok\n");
    else
      std::printf("%zu problems\n", problems.size());
  }
  return problems.empty() ? 0 : 1;
}

// ---- Descriptions ------------------------------------------------------------------------

// A file's description as JSON: record length, page size, file flags by name, and every key
// as its segments with position, length, type and flags by name.
json::Value DescriptionOf(const TBtr& t) {
  json::Object d;
  d.Set("record_length", t.RecordSize());
  d.Set("page_size", t.PageSize());
  json::Array flags;
  const keys::BtrFileFlags ff = keys::FileFlagsFromWord(FlagsWord(t));
  for (int m = 0; m < keys::kFileFlagMembers; ++m)
    if (ff.Contains(static_cast<keys::BtrFileFlag>(m))) flags.push_back(keys::kFileFlagNames[m]);
  d.Set("file_flags", std::move(flags));
  const keys::tkeylist& list = t.Keys();
  const std::vector<int> starts = KeyStarts(list);
  json::Array key_list;
  for (size_t k = 0; k < starts.size(); ++k) {
    const int end = k + 1 < starts.size() ? starts[k + 1] : list.Count();
    json::Array segments;
    for (int s = starts[k]; s < end; ++s) {
      const keys::TKey& seg = list[s];
      json::Object o;
      o.Set("position", seg.Position());
      o.Set("length", seg.Length());
      o.Set("type", KeyTypeName(seg.KeyType()));
      json::Array names;
      for (const KeyFlagName& n : kKeyFlagNames)
        if (n.bit != keys::kFlagSegment && (seg.KeyFlag() & n.bit)) names.push_back(n.name);
      o.Set("flags", std::move(names));
      if (seg.NulSegment() || seg.AllSegmentNull()) o.Set("null_value", seg.NullVal());
      if (seg.ACS() != 0) o.Set("acs", seg.ACS());
      segments.push_back(std::move(o));
    }
    json::Object key;
    key.Set("segments", std::move(segments));
    key_list.push_back(std::move(key));
  }
  d.Set("keys", std::move(key_list));
  return d;
}

int64_t Whole(const json::Object& o, const char* name, const std::string& where, int64_t low,
              int64_t high, std::optional<int64_t> fallback = std::nullopt) {
  const json::Value* v = o.Find(name);
  if (!v && fallback) return *fallback;
  if (!v || !v->IsInt() || v->AsInt() < low || v->AsInt() > high) {
    throw DataError(where + ": \"" + name + "\" must be a whole number from " +
                    std::to_string(low) + " to " + std::to_string(high));
  }
  return v->AsInt();
}

const json::Array& ListOf(const json::Object& o, const char* name, const std::string& where) {
  static const json::Array kNone;
  const json::Value* v = o.Find(name);
  if (!v) return kNone;
  if (!v->IsArray()) throw DataError(where + ": \"" + name + "\" must be a list");
  return v->AsArray();
}

// A value of the input as a refusal names it, on one line.
std::string Shown(const json::Value& v) {
  std::string out = json::Write(v);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// The valid names of a refusal: "a, b, c".
template <class Names>
std::string NameList(const Names& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ", ") + std::string(n);
  return out;
}

std::string KeyFlagList() {
  std::vector<std::string> names;
  for (const KeyFlagName& n : kKeyFlagNames)
    if (n.bit != keys::kFlagSegment) names.push_back(n.name);
  return NameList(names);
}

// Gives the table the description; the inverse of DescriptionOf.
void ApplyDescription(TBtr& t, const json::Value& description, const std::string& source) {
  if (!description.IsObject()) throw DataError(source + ": a description is a JSON object");
  const json::Object& d = description.AsObject();
  t.SetRecordSize(static_cast<uint16_t>(Whole(d, "record_length", source, 1, 65535)));
  t.SetPageSize(static_cast<uint16_t>(Whole(d, "page_size", source, 512, 65535, 4096)));
  keys::BtrFileFlags flags;
  for (const json::Value& name : ListOf(d, "file_flags", source)) {
    int m = 0;
    while (m < keys::kFileFlagMembers &&
           !(name.IsString() && name.AsString() == keys::kFileFlagNames[m]))
      ++m;
    if (m == keys::kFileFlagMembers)
      throw DataError(source + ": unknown file flag " + Shown(name) + "; the file flags are " +
                      NameList(keys::kFileFlagNames));
    flags.Include(static_cast<keys::BtrFileFlag>(m));
  }
  t.SetFileFlags(flags);
  t.Keys().Clear();
  const json::Array& key_list = ListOf(d, "keys", source);
  for (size_t k = 0; k < key_list.size(); ++k) {
    const std::string where = source + ": key " + std::to_string(k);
    if (!key_list[k].IsObject()) throw DataError(where + " is not an object");
    const json::Array& segments = ListOf(key_list[k].AsObject(), "segments", where);
    if (segments.empty()) throw DataError(where + " has no segments");
    for (size_t s = 0; s < segments.size(); ++s) {
      const std::string at = where + " segment " + std::to_string(s + 1);
      if (!segments[s].IsObject()) throw DataError(at + " is not an object");
      const json::Object& o = segments[s].AsObject();
      keys::TKey& seg = t.Keys().Add();
      seg.SetPosition(static_cast<int32_t>(Whole(o, "position", at, 1, 65535)));
      seg.SetLength(static_cast<int32_t>(Whole(o, "length", at, 1, 65535)));
      const json::Value* type = o.Find("type");
      int ti = 0;
      while (ti < keys::ktUnknown &&
             !(type && type->IsString() && type->AsString() == keys::kKeyTypeNames[ti]))
        ++ti;
      if (ti == keys::ktUnknown) {
        throw DataError(at + ": unknown key type " + (type ? Shown(*type) : "(none given)") +
                        "; the key types are " +
                        NameList(std::span(keys::kKeyTypeNames, keys::ktUnknown)));
      }
      seg.SetKeyType(ti);
      uint16_t word = s + 1 < segments.size() ? keys::kFlagSegment : 0;
      for (const json::Value& name : ListOf(o, "flags", at)) {
        const KeyFlagName* found = nullptr;
        for (const KeyFlagName& n : kKeyFlagNames)
          if (name.IsString() && name.AsString() == n.name && n.bit != keys::kFlagSegment)
            found = &n;
        if (!found) {
          throw DataError(at + ": unknown key flag " + Shown(name) + "; the key flags are " +
                          KeyFlagList());
        }
        word = static_cast<uint16_t>(word | found->bit);
      }
      // The bits the type set stay: an old binary type is its Binary bit.
      seg.SetKeyFlag(static_cast<uint16_t>(
          word | (seg.KeyFlag() & (keys::kFlagExtendedType | keys::kFlagBinary))));
      seg.SetNullVal(static_cast<uint8_t>(Whole(o, "null_value", at, 0, 255, 0)));
      seg.SetACS(static_cast<uint8_t>(Whole(o, "acs", at, 0, 255, 0)));
    }
  }
}

// A description file, read whole up to its limit.
std::string ReadDescription(const std::string& name) {
  std::string text, why;
  if (!ReadWholeFile(name, kMaxDescriptionBytes, &text, &why)) {
    throw DataError("cannot read the description " + name + ": " + why);
  }
  return text;
}

int Describe(const Options& o) {
  TBtr t;
  OpenForReading(t, o);
  json::Value description = DescriptionOf(t);
  if (!o.dict.empty()) description.AsObject().Set("dictionary", DictionaryJson(o.dict, o.dict_id));
  std::fputs(json::Write(description).c_str(), stdout);
  std::fputs("\n", stdout);
  t.Close();
  return 0;
}

int Create(const Options& o) {
  const std::string& file = o.operands[0];
  json::Value description;
  try {
    description = json::Parse(ReadDescription(o.operands[1]));
  } catch (const json::ParseError& e) {
    throw DataError(o.operands[1] + ": " + e.what());
  }
  if (std::filesystem::exists(file)) throw DataError(file + " already exists");
  TBtr t;
  t.SetFileName(platform::FileNameFromPath(file));
  ApplyDescription(t, description, o.operands[1]);
  // The description's dictionary is checked before anything is made, and stored after.
  if (!o.dict.empty()) CreateDictionary(o.dict, o.dict_id, description, o.operands[1], false, true);
  t.SetDbOwner(platform::Utf8ToSingleByte(o.owner));
  t.SetOwnerProtection(static_cast<table::TOwnerProtection>(o.level));
  t.CreateFile();
  if (t.Active()) t.Close();
  if (!o.dict.empty()) CreateDictionary(o.dict, o.dict_id, description, o.operands[1], false);
  return 0;
}

// ---- Typed export and import ----------------------------------------------------------------

CodePage PageOf(const Options& o) {
  // The option's check has let only known names through.
  return *CodePageNamed(o.code_page);
}

void LoadDictionary(TBtr& t, const Options& o) {
  RequireFields(o.dict, o.dict_id);  // a missing file or ID is named, not taken as empty
  t.DDFFields().LoadItems(o.dict, o.dict_id);
  if (t.DDFFields().Count() == 0) {
    throw DataError(o.dict + ": no fields under the ID \"" + o.dict_id + "\"");
  }
}

std::string FormatOf(const Options& o, const std::string& name) {
  if (o.format == "csv" || o.format == "jsonl") return o.format;
  const std::string ext = std::filesystem::path(name).extension().string();
  return ext == ".jsonl" || ext == ".json" ? "jsonl" : "csv";
}

int ExportTyped(const Options& o) {
  TBtr t;
  OpenForReading(t, o);
  LoadDictionary(t, o);
  std::error_code same_ec;
  if (std::filesystem::equivalent(o.operands[0], o.operands[1], same_ec)) {
    throw DataError(o.operands[1] + " is the record file itself; name another output file");
  }
  TypedRecords fields(t, PageOf(o));
  const bool csv = FormatOf(o, o.operands[1]) == "csv";
  int path = o.key.value_or(t.NumberOfKeys() > 0 ? 0 : kPhysicalOrder);
  if (path >= t.NumberOfKeys()) {
    throw DataError("key " + std::to_string(path) + " does not exist: the file has " +
                    std::to_string(t.NumberOfKeys()) + " keys");
  }
  std::ofstream out(o.operands[1], std::ios::binary | std::ios::trunc);
  if (!out) throw DataError("cannot write " + o.operands[1] + ": " + std::strerror(errno));
  std::string line;
  if (csv) {
    for (size_t f = 0; f < fields.Count(); ++f) {
      if (f) line += ',';
      AppendCsvCell(line, fields.Name(f));
    }
    out << line << '\n';
  }
  RecordWalk walk(t, path);
  uint64_t count = 0;
  Progress progress("export", t.RecordCount());
  while (walk.Next()) {
    ++count;
    line.clear();
    line += csv ? "" : "{";
    for (size_t f = 0; f < fields.Count(); ++f) {
      json::Value v;
      try {
        v = fields.Read(f);
      } catch (const Exception& e) {
        throw DataError("record " + std::to_string(count) + ", field " + fields.Name(f) + ": " +
                        e.what());
      }
      if (f) line += ',';
      if (csv) {
        AppendCsvCell(line, v);
      } else {
        AppendJson(line, fields.Name(f));
        line += ':';
        AppendJson(line, v);
      }
    }
    line += csv ? "\n" : "}\n";
    out << line;
    progress.Update(count);
  }
  progress.Clear();
  out.close();
  if (!out) throw DataError("writing " + o.operands[1] + " failed: " + std::strerror(errno));
  t.Close();
  std::fprintf(stderr, "exported %llu records\n", static_cast<unsigned long long>(count));
  return 0;
}

// Inserts records in batches, each one transaction; a failure undoes the batch in work and
// says how many records the file kept. A batch of -1 is one transaction for the whole run,
// undone whole on a failure.
class BatchWriter {
 public:
  // The table searches meanwhile, so that its statistics are read once at the end rather
  // than after every insert.
  BatchWriter(TBtr& t, int batch, const char* verb) : t_(t), batch_(batch), verb_(verb) {
    t_.SetTranType(table::ttConcurrent);
    t_.SetSearching(true);
  }
  // A run that ends before Finish() failed: the file keeps the batches committed so far,
  // which the message counts, whether or not a batch was in work.
  ~BatchWriter() {
    if (finished_) return;
    if (open_) {
      try {
        t_.aborttransaction();
      } catch (const Exception&) {
        // The failure that ends the run is the one to report.
      }
    }
    if (batch_ < 0) {
      std::fprintf(stderr,
                   "%s nothing: the run was one transaction and is undone, the file is as "
                   "it was\n",
                   verb_);
      return;
    }
    std::fprintf(stderr, "%s %llu records%s\n", verb_, static_cast<unsigned long long>(committed_),
                 open_ ? "; the batch in work was undone" : " before the failure");
  }
  // Inserts the data buffer as it stands, a record of `length` bytes. batch > 0 commits
  // every batch records, batch 0 every kBatchBytes of record data, batch -1 only at Finish.
  void Insert(uint64_t length) {
    if (!open_) {
      t_.begintransaction();
      open_ = true;
    }
    t_.Insert();
    ++written_;
    bytes_ += length;
    if (batch_ < 0) return;
    if (batch_ > 0 ? written_ % static_cast<uint64_t>(batch_) == 0 : bytes_ >= kBatchBytes) {
      Commit();
    }
  }
  void Commit() {
    if (!open_) return;
    t_.committransaction();  // a failed commit leaves the batch in work, to be undone
    open_ = false;
    committed_ = written_;
    bytes_ = 0;
  }
  // Commits the last batch and reads the statistics.
  void Finish() {
    Commit();
    t_.SetSearching(false);
    finished_ = true;
  }
  uint64_t Written() const { return written_; }

 private:
  TBtr& t_;
  int batch_;
  const char* verb_;
  bool open_ = false;
  bool finished_ = false;
  uint64_t written_ = 0;
  uint64_t committed_ = 0;
  uint64_t bytes_ = 0;  // record data in the open transaction
};

void ClearRecord(TBtr& t) {
  t.SetDataBufferLength(t.RecordSize());
  std::memset(t.DataBuffer(), 0, t.RecordSize());
}

// A UTF-8 byte-order mark, as some programs write at the start of a text file, is no part
// of the first name or value.
void SkipByteOrderMark(std::istream& in) {
  static constexpr char kMark[] = "\xEF\xBB\xBF";
  std::streambuf* buffer = in.rdbuf();
  for (int i = 0; i < 3; ++i) {
    if (buffer->sgetc() != static_cast<unsigned char>(kMark[i])) {
      // Not a mark: what was taken goes back (a stream buffer of a file takes back its bytes).
      while (i-- > 0) buffer->sungetc();
      return;
    }
    buffer->sbumpc();
  }
}

// Where the input's columns (CSV) or members (JSON lines) go, as --columns gives it:
// "Source=Field" sends the column named Source to the field, "Source=-" skips it; a column
// the option does not name goes to the field of its own name.
class ColumnMap {
 public:
  static constexpr int kSkip = -2;

  ColumnMap(const std::string& spec, const TypedRecords& fields) : fields_(fields) {
    if (spec.empty()) return;
    size_t start = 0;
    for (;;) {
      const size_t comma = std::min(spec.find(',', start), spec.size());
      const std::string entry = spec.substr(start, comma - start);
      const size_t eq = entry.rfind('=');
      if (eq == std::string::npos || eq + 1 == entry.size()) {
        throw DataError("--columns: \"" + entry +
                        "\" is not COLUMN=FIELD or COLUMN=- (a comma separates the entries)");
      }
      Entry e{entry.substr(0, eq), entry.substr(eq + 1), kSkip, false};
      for (const Entry& other : entries_) {
        if (other.column == e.column) {
          throw DataError("--columns names the column \"" + e.column + "\" twice");
        }
      }
      if (e.field != "-") {
        e.target = fields.Find(e.field);
        if (e.target < 0) {
          throw DataError("--columns: the dictionary has no field \"" + e.field +
                          "\"; its fields are " + FieldList());
        }
      }
      entries_.push_back(std::move(e));
      if (comma == spec.size()) break;
      start = comma + 1;
    }
  }
  // The field the column goes to, kSkip, or -1 when the dictionary has no such field.
  int Target(const std::string& column) {
    for (Entry& e : entries_) {
      if (e.column == column) {
        e.used = true;
        return e.target;
      }
    }
    return fields_.Find(column);
  }
  // A column the option names that the CSV header lacks: the option is mistaken.
  void RequireUsed(const std::string& in_name) const {
    for (const Entry& e : entries_) {
      if (!e.used) {
        throw DataError("--columns names the column \"" + e.column + "\", which the header of " +
                        in_name + " lacks");
      }
    }
  }
  bool Given() const { return !entries_.empty(); }
  std::string FieldList() const {
    std::string list;
    for (size_t f = 0; f < fields_.Count(); ++f) list += (f ? ", " : "") + fields_.Name(f);
    return list;
  }

 private:
  struct Entry {
    std::string column, field;
    int target;
    bool used;
  };
  const TypedRecords& fields_;
  std::vector<Entry> entries_;
};

std::string UnknownColumn(const std::string& column) {
  return "the dictionary has no field \"" + column + "\"; skip the column with --columns '" +
         column + "=-' or send it to a field with --columns '" + column + "=FIELD'";
}

// The record's unique keys with their values, for a duplicate key: `key 0 (Code "B1")`. A
// segment that is one field is named by it, any other by its bytes.
std::string UniqueKeysText(TBtr& t, TypedRecords& fields, CodePage page) {
  const keys::tkeylist& list = t.Keys();
  const std::vector<int> starts = KeyStarts(list);
  std::string text;
  for (size_t k = 0; k < starts.size(); ++k) {
    if (list[starts[k]].AllowDuplicates()) continue;
    std::string parts;
    for (int i = starts[k]; i < list.Count(); ++i) {
      const int offset = list[i].Position() - 1, length = list[i].Length();
      int field = -1;
      for (size_t f = 0; f < fields.Count(); ++f) {
        const dictionary::TRecordItem& item = t.DDFFields()[static_cast<int>(f)];
        if (item.FieldOffset() == offset && item.FieldSize() == length) field = static_cast<int>(f);
      }
      if (!parts.empty()) parts += ", ";
      if (field >= 0) {
        parts += fields.Name(static_cast<size_t>(field)) + " ";
        try {
          AppendJson(parts, fields.Read(static_cast<size_t>(field)));
        } catch (const Exception&) {
          parts += "?";
        }
      } else if (offset >= 0 && length > 0 && offset + length <= t.DataBufferLength()) {
        parts +=
            "bytes " + std::to_string(offset + 1) + "-" + std::to_string(offset + length) + " ";
        AppendJson(parts,
                   ToUtf8(std::string_view(reinterpret_cast<const char*>(t.DataBuffer()) + offset,
                                           static_cast<size_t>(length)),
                          page));
      }
      if (!list[i].Segment()) break;
    }
    text += (text.empty() ? "" : " or ") + ("key " + std::to_string(k) + " (" + parts + ")");
  }
  return text;
}

// At most this many errors of --check are shown; all of them are counted.
constexpr uint64_t kCheckShown = 20;

int Import(const Options& o) {
  const std::string& in_name = o.operands[1];
  std::ifstream in(in_name, std::ios::binary);
  if (!in) throw DataError("cannot read " + in_name + ": " + std::strerror(errno));
  std::error_code ec;
  const uint64_t in_size = std::filesystem::file_size(in_name, ec);
  TBtr t;
  if (o.check) {
    OpenForReading(t, o);  // the check writes nothing
  } else {
    t.SetFileName(platform::FileNameFromPath(o.operands[0]));
    t.SetDbOwner(platform::Utf8ToSingleByte(o.owner));
    t.Open();
  }
  LoadDictionary(t, o);
  TypedRecords fields(t, PageOf(o));
  ColumnMap map(o.columns, fields);
  const std::optional<CodePage> input_page = o.input_encoding.empty() || o.input_encoding == "utf-8"
                                                 ? std::nullopt
                                                 : CodePageNamed(o.input_encoding);
  const bool csv = FormatOf(o, in_name) == "csv";
  auto at = [&](uint64_t line, const std::string& field) {
    return in_name + ": line " + std::to_string(line) + (field.empty() ? "" : ", field " + field);
  };
  // A fault of one record: the end of an import, one more report of a check.
  uint64_t errors = 0;
  auto bad = [&](const std::string& message) {
    if (!o.check) throw DataError(message);
    if (++errors <= kCheckShown) std::fprintf(stderr, "vastrel: %s\n", message.c_str());
  };
  // The input's text as UTF-8: converted from --input-encoding, or else checked to be UTF-8.
  auto utf8 = [&](std::string& text) -> std::string {
    if (input_page) {
      text = ToUtf8(text, *input_page);
      return "";
    }
    const size_t wrong = Utf8ErrorAt(text);
    if (wrong == std::string::npos) return "";
    char byte[8];
    std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(text[wrong]));
    return std::string("byte ") + byte +
           " is not UTF-8: name the file's encoding with --input-encoding (latin-1, cp1252, "
           "cp437 or cp850)";
  };
  uint64_t line = 0;
  std::vector<int> columns;  // field of each CSV column, or ColumnMap::kSkip
  std::vector<CsvCell> cells;
  SkipByteOrderMark(in);
  if (csv) {
    try {
      if (!ReadCsvRecord(in, cells, line)) throw DataError(in_name + " is empty: no header line");
    } catch (const DataError&) {
      throw;
    } catch (const Exception& e) {
      throw DataError(in_name + ": " + e.what());
    }
    for (CsvCell& c : cells) {
      const std::string wrong = utf8(c.text);
      if (!wrong.empty()) throw DataError(at(1, "") + ": " + wrong);
      const int f = map.Target(c.text);
      if (f == ColumnMap::kSkip) {
        columns.push_back(f);
        continue;
      }
      if (f < 0) throw DataError(at(1, "") + ": " + UnknownColumn(c.text));
      // Two columns of one field: which one wins would be a silent choice.
      if (std::find(columns.begin(), columns.end(), f) != columns.end()) {
        throw DataError(at(1, "") + ": the header names the field \"" + fields.Name(f) +
                        "\" twice" + (map.Given() ? " (with --columns)" : ""));
      }
      columns.push_back(f);
    }
    map.RequireUsed(in_name);
  }
  std::optional<BatchWriter> writer;
  if (!o.check) writer.emplace(t, o.batch, "imported");
  Progress progress(o.check ? "check" : "import", in_size);
  std::string text;
  uint64_t records = 0;
  for (;;) {
    uint64_t this_line = line + 1;
    if (csv) {
      try {
        if (!ReadCsvRecord(in, cells, line)) break;
      } catch (const Exception& e) {
        throw DataError(in_name + ": " + e.what());
      }
      if (cells.size() == 1 && cells[0].text.empty() && !cells[0].quoted) continue;
      ++records;
      if (cells.size() != columns.size()) {
        bad(at(this_line, "") + ": " + std::to_string(cells.size()) + " values, the header names " +
            std::to_string(columns.size()));
        continue;
      }
      ClearRecord(t);
      bool fine = true;
      for (size_t c = 0; c < cells.size(); ++c) {
        if (columns[c] == ColumnMap::kSkip) continue;
        const size_t f = static_cast<size_t>(columns[c]);
        std::string why = utf8(cells[c].text);
        if (why.empty()) {
          try {
            fields.Write(f, fields.FromCsv(f, cells[c].text, cells[c].quoted));
          } catch (const Exception& e) {
            why = e.what();
          }
        }
        if (!why.empty()) {
          bad(at(this_line, fields.Name(f)) + ": " + why);
          fine = false;
        }
      }
      if (!fine) continue;
    } else {
      const LineRead read = ReadLine(in, text, kMaxTypedRecordBytes);
      if (read == LineRead::kEnd) break;
      ++line;
      if (read == LineRead::kTooLong) {
        throw DataError(at(this_line, "") + ": longer than " + SizeText(kMaxTypedRecordBytes) +
                        ", more than any record's line");
      }
      if (!text.empty() && text.back() == '\r') text.pop_back();
      if (text.empty()) continue;
      ++records;
      const std::string wrong = utf8(text);
      if (!wrong.empty()) {
        bad(at(this_line, "") + ": " + wrong);
        continue;
      }
      json::Value record;
      try {
        record = json::Parse(text);
      } catch (const json::ParseError& e) {
        bad(at(this_line, "") + ": " + e.what());
        continue;
      }
      if (!record.IsObject()) {
        bad(at(this_line, "") + ": not a JSON object");
        continue;
      }
      ClearRecord(t);
      std::vector<bool> given(fields.Count());
      bool fine = true;
      for (const json::Member& m : record.AsObject()) {
        const int f = map.Target(m.name);
        if (f == ColumnMap::kSkip) continue;
        std::string why;
        if (f < 0) {
          why = UnknownColumn(m.name);
        } else if (given[static_cast<size_t>(f)]) {
          why = "the field is given twice";
        } else {
          given[static_cast<size_t>(f)] = true;
          try {
            fields.Write(static_cast<size_t>(f), m.value);
          } catch (const Exception& e) {
            why = e.what();
          }
        }
        if (!why.empty()) {
          bad(at(this_line, m.name) + ": " + why);
          fine = false;
        }
      }
      if (!fine) continue;
    }
    if (writer) {
      try {
        writer->Insert(t.RecordSize());
      } catch (const Btrexception& e) {
        if (e.Status() != 5) throw;
        throw DataError(at(this_line, "") + ": " + Printable(e.what()) + ": a record with " +
                        UniqueKeysText(t, fields, PageOf(o)) + " is already in the file");
      }
    }
    if (progress.Shown() && records % 1024 == 0) {
      const std::streamoff done = in.tellg();
      progress.Update(done < 0 ? in_size : static_cast<uint64_t>(done));
    }
  }
  progress.Clear();
  if (o.check) {
    t.Close();
    std::fprintf(stderr, "checked %llu records of %s: ", static_cast<unsigned long long>(records),
                 in_name.c_str());
    if (errors == 0) {
      std::fprintf(stderr, "no errors\n");
      return 0;
    }
    std::fprintf(stderr, "%llu errors%s; nothing was written\n",
                 static_cast<unsigned long long>(errors),
                 errors > kCheckShown ? " (the first 20 shown)" : "");
    return 1;
  }
  writer->Finish();
  t.Close();
  std::fprintf(stderr, "imported %llu records\n",
               static_cast<unsigned long long>(writer->Written()));
  return 0;
}

// ---- Copy and owner ---------------------------------------------------------------------------

int Copy(const Options& o) {
  TBtr src;
  OpenForReading(src, o);
  const std::string& dst_name = o.operands[1];
  if (std::filesystem::exists(dst_name)) throw DataError(dst_name + " already exists");
  TBtr dst;
  dst.SetFileName(platform::FileNameFromPath(dst_name));
  ApplyDescription(dst, DescriptionOf(src), o.operands[0]);
  dst.SetDbOwner(platform::Utf8ToSingleByte(o.new_owner));
  dst.SetOwnerProtection(static_cast<table::TOwnerProtection>(o.level));
  dst.CreateFile();
  if (!dst.Active()) dst.Open();
  uint64_t count = 0;
  {
    BatchWriter writer(dst, o.batch, "copied");
    RecordWalk walk(src, kPhysicalOrder);
    Progress progress("copy", src.RecordCount());
    while (walk.Next()) {
      dst.SetDataBufferLength(static_cast<int32_t>(walk.Length()));
      std::memcpy(dst.DataBuffer(), walk.Data(), walk.Length());
      writer.Insert(walk.Length());
      progress.Update(++count);
    }
    writer.Finish();
  }
  dst.Close();
  src.Close();
  std::fprintf(stderr, "copied %llu records\n", static_cast<unsigned long long>(count));
  return 0;
}

int OwnerSet(const Options& o) {
  TBtr t;
  t.SetFileName(platform::FileNameFromPath(o.operands[0]));
  t.SetDbOwner(platform::Utf8ToSingleByte(o.owner));
  t.Open();
  t.SetOwnerProtection(static_cast<table::TOwnerProtection>(o.level));
  if (!o.owner.empty()) t.clearowner();
  t.SetDbOwner("");
  t.SetDbOwner(platform::Utf8ToSingleByte(o.new_owner));
  t.Close();
  return 0;
}

int Compact(const Options& o) { return CompactFile(o.operands[0], o.owner); }

int OwnerClear(const Options& o) {
  TBtr t;
  t.SetFileName(platform::FileNameFromPath(o.operands[0]));
  t.SetDbOwner(platform::Utf8ToSingleByte(o.owner));
  t.Open();
  t.clearowner();
  t.Close();
  return 0;
}

int ShellCommand(const Options& o) {
  TBtr t;
  t.SetFileName(platform::FileNameFromPath(o.operands[0]));
  t.SetDbOwner(platform::Utf8ToSingleByte(o.owner));
  return RunShell(t, std::cin, std::cout);
}

// ---- Command line -----------------------------------------------------------------------------

// ---- Running a verb ----------------------------------------------------------------------------

// The message of the exception being handled, on stderr; the exit code it means.
int ReportFailure() {
  std::fflush(stdout);
  try {
    throw;
  } catch (const Btrexception& e) {
    if (e.Status() == engine::kStatusEngineMissing) {
      const auto state = engine::CurrentEngineState();
      std::fprintf(
          stderr, "vastrel: no record engine (%s); VASTREL_ENGINE names another engine library\n",
          state.load_error.empty() ? "the library lacks BTRCALL" : state.load_error.c_str());
    }
    std::fprintf(stderr, "vastrel: %s\n", FailureText(e).c_str());
  } catch (const DataError& e) {
    std::fprintf(stderr, "vastrel: %s\n", e.what());  // the tool's own words, in UTF-8
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vastrel: %s\n", Printable(e.what()).c_str());
  }
  return 1;
}

int Execute(int (*run)(const Options&), const Options& o) {
  try {
    const int code = run(o);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      std::fprintf(stderr, "vastrel: writing the output failed\n");
      return 1;
    }
    return code;
  } catch (...) {
    return ReportFailure();
  }
}

// ---- Work in child processes ------------------------------------------------------------------

// Runs work in a child process; `heard` receives each 32-bit word the child sends through
// `Send` while it runs. Answers the child's exit code, or minus the signal that ended it: a
// read of a damaged page may end a process (the system answers a read of a page that the
// file no longer holds with SIGBUS), and that must become a report of the tool, never its
// crash.
int g_parent_channel = -1;

void Send(uint32_t word) {
  if (g_parent_channel < 0) return;
  const ssize_t n = ::write(g_parent_channel, &word, sizeof word);
  (void)n;  // a parent that is gone reads nothing more; the child ends soon after
}

int InChild(const std::function<int()>& work,
            const std::function<void(uint32_t)>& heard = nullptr) {
  int channel[2];
  if (::pipe(channel) != 0) {
    throw DataError(std::string("cannot make a pipe: ") + std::strerror(errno));
  }
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(channel[0]);
    ::close(channel[1]);
    throw DataError(std::string("cannot start a child process: ") + std::strerror(errno));
  }
  if (pid == 0) {
    ::close(channel[0]);
    g_parent_channel = channel[1];
    int code = 1;
    try {
      code = work();
    } catch (...) {
      code = ReportFailure();
    }
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(code);
  }
  ::close(channel[1]);
  uint32_t word;
  for (;;) {
    const ssize_t n = ::read(channel[0], &word, sizeof word);
    if (n == static_cast<ssize_t>(sizeof word)) {
      if (heard) heard(word);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // the child is done (or gone): its end of the pipe closed
    }
  }
  ::close(channel[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw DataError(std::string("waiting failed: ") + std::strerror(errno));
  }
  return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

// ---- Recover -----------------------------------------------------------------------------------

// What a recovering child tells its parent: the index of the record it is about to read, the
// last index it committed to the new file, or an index it could not save.
constexpr uint32_t kReading = 0u << 30;
constexpr uint32_t kCommitted = 1u << 30;
constexpr uint32_t kLost = 2u << 30;
constexpr uint32_t kIndexMask = (1u << 30) - 1;
constexpr uint32_t kRecoverBatch = 1000;

// Reads the record at `position` whole (growing the buffer for a long one). False, with
// the reason, when the engine answers a status.
bool ReadAt(TBtr& t, int32_t position, std::string* why) {
  t.SetKeyNum(-1);  // by position only: no key path taken up
  for (;;) {
    t.SetPosition(position);
    try {
      t.GetDirect();
    } catch (const Btrexception& e) {
      *why = Printable(e.what());
      why->resize(std::min(why->find('\n'), why->size()));
      return false;
    }
    if (LastStatus() != 22) return true;
    const int32_t now = t.DataBufferLength();
    if (now >= kMaxRecordBuffer) {
      *why = "longer than " + std::to_string(kMaxRecordBuffer) + " bytes";
      return false;
    }
    t.SetDataBufferLength(now > kMaxRecordBuffer / 2 ? kMaxRecordBuffer : now * 2);
  }
}

// Sends the parent every position of physical order that answers a read, and the position of
// every record that answers a status. A walk stops at a record it cannot read; from there the
// positions after the last one read are tried one by one, up to the next record that reads,
// and the walk goes on from it. Tried up to `highest` (the highest position known, here or
// from a key), and beyond it while fewer records were met than the statistics count.
void FindInPhysicalOrder(TBtr& src, const std::string& src_name, int32_t highest,
                         uint32_t counted) {
  constexpr int16_t kNoRecordThere = 43;
  // Beyond every known position, a run of this many free positions ends the search: the
  // statistics may be damaged too.
  constexpr int32_t kFreeRun = 1 << 16;
  RecordWalk walk(src, kPhysicalOrder);
  try {
    src.Last();  // the highest position, as a bound for the search past damage
    src.GetPosition();
    highest = std::max(highest, src.Position());
  } catch (const Btrexception&) {
    // The last record is damaged: the keys' positions and the count bound the search.
  }
  std::unordered_set<int32_t> seen;
  uint32_t met = 0;  // records met: read, or answering a status
  int32_t last = 0;  // the last position read
  for (;;) {
    try {
      while (walk.Next()) {
        const int32_t position = walk.Position();
        if (!seen.insert(position).second) return;  // a loop
        last = position;
        ++met;
        if (position > 0) Send(static_cast<uint32_t>(position));
      }
      return;
    } catch (const Btrexception& e) {
      std::fprintf(stderr, "vastrel: %s: physical order meets damage after position %d: %s\n",
                   src_name.c_str(), last, Printable(e.what()).c_str());
    }
    const int16_t key_num = src.KeyNum();
    bool resumed = false;
    int32_t free_run = 0;
    for (int64_t at = int64_t{last} + 1; at <= INT32_MAX && !resumed; ++at) {
      const int32_t p = static_cast<int32_t>(at);
      if (p > highest && (met >= counted || free_run >= kFreeRun)) break;
      std::string why;
      if (ReadAt(src, p, &why)) {
        resumed = true;  // the walk goes on from this record
        last = p;
        if (seen.insert(p).second) ++met;
        Send(static_cast<uint32_t>(p));
      } else if (LastStatus() == kNoRecordThere) {
        ++free_run;
      } else {
        free_run = 0;
        ++met;
        Send(static_cast<uint32_t>(p));  // there, but not readable: reported as lost
      }
    }
    src.SetKeyNum(key_num);
    if (!resumed) return;
  }
}

// What the salvaging child tells its parent: the share of pages read, the number of records
// not reached by any path that it committed so far, or the index of a position found but
// not read that it committed.
constexpr uint32_t kSalvageRead = 0u << 30;
constexpr uint32_t kSalvageNew = 1u << 30;
constexpr uint32_t kSalvageKnown = 2u << 30;
// Salvaged records checked against what the engine reads, before any is trusted.
constexpr int kSalvageSamples = 16;

// Adds to NEW the records that the file's raw pages still hold and no path reached, or that
// a path reached but could not read: a damaged branch page hides every record below it from
// the engine, though the leaf pages are whole (mkde/salvage.h). Runs in a child process like
// every reading of SRC. *found_new receives the number of records no path reached that were
// saved; the indexes of `positions` saved this way leave `lost`.
void SalvagePages(const Options& o, const std::vector<int32_t>& positions, std::set<uint32_t>* lost,
                  uint64_t* found_new) {
  const std::string& src_name = o.operands[0];
  const std::string& dst_name = o.operands[1];
  Progress progress("salvage", 100);
  std::vector<uint32_t> known;
  uint64_t added = 0;
  const int code = InChild(
      [&] {
        mkde::SalvageReport report;
        std::string why;
        const std::string owner = platform::Utf8ToSingleByte(o.owner).substr(0, 8);
        const mkde::SalvageResult result =
            mkde::SalvageFile(src_name, owner, &report, &why, [](uint64_t done, uint64_t total) {
              Send(kSalvageRead | static_cast<uint32_t>(done * 100 / std::max<uint64_t>(total, 1)));
            });
        if (result != mkde::SalvageResult::kOk) {
          std::fprintf(stderr, "vastrel: %s: the file's pages are not searched for records: %s\n",
                       src_name.c_str(), why.c_str());
          return 0;
        }
        // Where an index of positions has it: a position found by a path, saved or lost.
        auto index_of = [&](uint32_t position) -> int64_t {
          auto it =
              std::lower_bound(positions.begin(), positions.end(), static_cast<int32_t>(position));
          if (it == positions.end() || *it != static_cast<int32_t>(position)) return -1;
          return it - positions.begin();
        };
        // A few records the engine read too must come out the same, or the pages are read
        // wrongly (an encrypted file whose owner record the pages did not show, say).
        TBtr src;
        OpenForReading(src, o);
        int sampled = 0;
        for (const mkde::SalvagedRecord& r : report.records) {
          const int64_t i = index_of(r.position);
          if (i < 0 || lost->count(static_cast<uint32_t>(i)) || sampled == kSalvageSamples) {
            continue;
          }
          ++sampled;
          std::string ignored;
          if (!ReadAt(src, static_cast<int32_t>(r.position), &ignored)) continue;
          if (LastDataLength() != r.bytes.size() ||
              std::memcmp(src.DataBuffer(), r.bytes.data(), r.bytes.size()) != 0) {
            std::fprintf(stderr,
                         "vastrel: %s: the file's pages are not searched for records: the record "
                         "at position %u reads otherwise from them\n",
                         src_name.c_str(), r.position);
            return 0;
          }
        }
        src.Close();
        TBtr dst;
        dst.SetFileName(platform::FileNameFromPath(dst_name));
        dst.SetDbOwner(platform::Utf8ToSingleByte(o.owner));
        dst.Open();
        dst.SetTranType(table::ttConcurrent);
        uint32_t in_batch = 0;
        uint32_t batch_new = 0;
        std::vector<uint32_t> batch_known;
        uint64_t committed_new = 0;
        auto commit = [&] {
          dst.committransaction();
          in_batch = 0;
          committed_new += batch_new;
          batch_new = 0;
          Send(kSalvageNew | static_cast<uint32_t>(std::min<uint64_t>(committed_new, kIndexMask)));
          for (uint32_t k : batch_known) Send(kSalvageKnown | k);
          batch_known.clear();
        };
        for (const mkde::SalvagedRecord& r : report.records) {
          const int64_t i = index_of(r.position);
          if (i >= 0 && !lost->count(static_cast<uint32_t>(i))) continue;  // saved already
          if (in_batch == 0) dst.begintransaction();
          dst.SetDataBufferLength(static_cast<int32_t>(r.bytes.size()));
          std::memcpy(dst.DataBuffer(), r.bytes.data(), r.bytes.size());
          try {
            dst.Insert();
            if (i >= 0) {
              batch_known.push_back(static_cast<uint32_t>(i));
            } else {
              ++batch_new;
            }
          } catch (const Btrexception& e) {
            std::fprintf(stderr,
                         "vastrel: %s: the record salvaged from position %u could not be saved: "
                         "%s\n",
                         src_name.c_str(), r.position, Printable(e.what()).c_str());
          }
          if (++in_batch == kRecoverBatch) commit();
        }
        if (in_batch > 0) commit();
        dst.Close();
        if (!report.free_list_whole) {
          std::fprintf(stderr,
                       "vastrel: %s: the list of free pages is damaged: older versions of records, "
                       "and records deleted shortly before the damage, cannot be told from records "
                       "in use; where one position was found several times, the newest version "
                       "was kept\n",
                       src_name.c_str());
        }
        return 0;
      },
      [&](uint32_t word) {
        const uint32_t value = word & kIndexMask;
        if ((word & ~kIndexMask) == kSalvageRead) {
          progress.Update(value);
        } else if ((word & ~kIndexMask) == kSalvageNew) {
          added = value;
        } else {
          known.push_back(value);
        }
      });
  progress.Clear();
  if (code < 0) {
    std::fprintf(stderr, "vastrel: %s: searching the file's pages for records died of %s\n",
                 src_name.c_str(), strsignal(-code));
  }
  for (uint32_t i : known) lost->erase(i);
  *found_new = added;
  if (added + known.size() > 0) {
    std::fprintf(stderr,
                 "vastrel: %s: %zu records were salvaged from pages no path leads to any more; "
                 "a record deleted shortly before the damage can come back this way when the "
                 "file's list of free pages is damaged too\n",
                 src_name.c_str(), static_cast<size_t>(added + known.size()));
  }
}

// recover SRC NEW: every record of SRC that can still be read goes into NEW, a file of SRC's
// description (with the owner name of --owner at --level). Positions come from every key and
// from physical order, so that a damaged path does not hide what another still reaches, and
// physical order goes on past a damaged record (FindInPhysicalOrder); each record is then
// read by its position. The reading runs in child processes: a record whose read ends one is
// reported and skipped, and the next child goes on after it. Last, the file's raw pages give
// the records below damaged branch pages (SalvagePages). Exit code 0 when every record found
// was saved, 1 otherwise.
int Recover(const Options& o) {
  const std::string& src_name = o.operands[0];
  const std::string& dst_name = o.operands[1];
  if (std::filesystem::exists(dst_name)) throw DataError(dst_name + " already exists");

  // First child: the new file, and every position any path reaches.
  std::vector<int32_t> positions;
  uint32_t expected = 0;
  const int found = InChild(
      [&] {
        TBtr src;
        OpenForReading(src, o);
        Send(src.RecordCount());
        TBtr dst;
        dst.SetFileName(platform::FileNameFromPath(dst_name));
        ApplyDescription(dst, DescriptionOf(src), src_name);
        dst.SetDbOwner(platform::Utf8ToSingleByte(o.owner));
        dst.SetOwnerProtection(static_cast<table::TOwnerProtection>(o.level));
        dst.CreateFile();
        dst.Close();
        const uint32_t counted = src.RecordCount();
        int32_t highest = 0;
        const int keys = static_cast<int>(KeyStarts(src.Keys()).size());
        for (int path = 0; path < keys; ++path) {
          try {
            RecordWalk walk(src, path);
            while (walk.Next()) {
              const int32_t position = walk.Position();
              highest = std::max(highest, position);
              if (position > 0) Send(static_cast<uint32_t>(position));
            }
          } catch (const Btrexception& e) {
            std::fprintf(stderr, "vastrel: %s: key %d stops early: %s\n", src_name.c_str(), path,
                         Printable(e.what()).c_str());
          }
        }
        FindInPhysicalOrder(src, src_name, highest, counted);
        return 0;
      },
      [&, first = true](uint32_t word) mutable {
        if (first) {
          expected = word;
          first = false;
        } else {
          positions.push_back(static_cast<int32_t>(word));
        }
      });
  if (found < 0) {
    std::fprintf(stderr,
                 "vastrel: %s: looking for records died of %s; going on with the %zu found\n",
                 src_name.c_str(), strsignal(-found), positions.size());
  } else if (found != 0 && !std::filesystem::exists(dst_name)) {
    return found;  // the file could not be opened or the new one not made: said already
  }
  if (!std::filesystem::exists(dst_name))
    throw DataError("the new file " + dst_name + " was not made");
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  if (positions.size() > kIndexMask) throw DataError("too many records to recover at once");

  // Then children that copy, each going on after the record whose read ended the last one.
  std::set<uint32_t> skipped, lost;
  uint32_t start = 0;
  Progress progress("recover", positions.size());
  while (start < positions.size()) {
    int64_t committed = static_cast<int64_t>(start) - 1;
    uint32_t reading = start;
    const int code = InChild(
        [&] {
          TBtr src;
          OpenForReading(src, o);
          TBtr dst;
          dst.SetFileName(platform::FileNameFromPath(dst_name));
          dst.SetDbOwner(platform::Utf8ToSingleByte(o.owner));
          dst.Open();
          dst.SetTranType(table::ttConcurrent);
          dst.SetSearching(true);
          std::string why;
          uint32_t in_batch = 0;
          for (uint32_t i = start; i < positions.size(); ++i) {
            if (skipped.count(i)) continue;
            Send(kReading | i);
            if (!ReadAt(src, positions[i], &why)) {
              std::fprintf(stderr, "vastrel: %s: the record at position %d could not be read: %s\n",
                           src_name.c_str(), positions[i], why.c_str());
              Send(kLost | i);
              continue;
            }
            const uint32_t length = LastDataLength();  // the read's: before any other call
            if (in_batch == 0) dst.begintransaction();
            dst.SetDataBufferLength(static_cast<int32_t>(length));
            std::memcpy(dst.DataBuffer(), src.DataBuffer(), length);
            try {
              dst.Insert();
            } catch (const Btrexception& e) {
              std::fprintf(stderr,
                           "vastrel: %s: the record at position %d could not be saved: %s\n",
                           src_name.c_str(), positions[i], Printable(e.what()).c_str());
              Send(kLost | i);
            }
            if (++in_batch == kRecoverBatch) {
              dst.committransaction();
              in_batch = 0;
              Send(kCommitted | i);
            }
          }
          if (in_batch > 0) dst.committransaction();
          Send(kCommitted | static_cast<uint32_t>(positions.size() - 1));
          dst.SetSearching(false);
          dst.Close();
          return 0;
        },
        [&](uint32_t word) {
          const uint32_t i = word & kIndexMask;
          if ((word & ~kIndexMask) == kCommitted) {
            committed = i;
            progress.Update(i + 1);
          } else if ((word & ~kIndexMask) == kLost) {
            lost.insert(i);
          } else {
            reading = i;
          }
        });
    if (code == 0) break;
    if (code > 0) return code;  // an error the child reported (the new file, say)
    std::fprintf(stderr,
                 "vastrel: %s: reading the record at position %d died of %s; it is skipped\n",
                 src_name.c_str(), positions[reading], strsignal(-code));
    skipped.insert(reading);
    lost.insert(reading);
    // The records read after the last commit went with the child: read them again.
    start = static_cast<uint32_t>(committed + 1);
    for (auto it = lost.lower_bound(start); it != lost.end();) {
      it = skipped.count(*it) ? std::next(it) : lost.erase(it);
    }
  }
  progress.Clear();
  uint64_t salvaged = 0;
  SalvagePages(o, positions, &lost, &salvaged);
  const size_t saved = positions.size() - lost.size() + salvaged;
  const size_t found_all = positions.size() + salvaged;
  std::fprintf(stderr,
               "recovered %zu of %zu records found (the statistics counted %u), %llu of them "
               "found only in the file's pages\n",
               saved, found_all, expected, static_cast<unsigned long long>(salvaged));
  return lost.empty() && found_all >= expected ? 0 : 1;
}

struct Verb {
  CLI::App* app;
  int (*run)(const Options&);
};

int Run(int argc, char** argv) {
  Options o;
  CLI::App app("vastrel: inspect, keep and rescue the business data in record files", "vastrel");
  app.require_subcommand(1);
  app.footer(kExitCodes);
  std::vector<Verb> verbs;
  std::string file, second;
  auto verb = [&](const char* name, const char* help, int (*run)(const Options&),
                  const char* second_name = nullptr, const char* second_help = nullptr) {
    CLI::App* v = app.add_subcommand(name, help);
    v->footer(kExitCodes);
    v->add_option("FILE", file, "the record file")->required();
    if (second_name) v->add_option(second_name, second, second_help)->required();
    verbs.push_back({v, run});
    return v;
  };
  OwnerNames owners;
  auto owner = [&](CLI::App* v, const char* help = "the file's owner name, for a file that has one",
                   OwnerNames::Kind kind = OwnerNames::Kind::kOpens, bool required = false) {
    owners.Add(v, "--owner", &o.owner, help, "the file's owner name", kind, required);
    v->footer(std::string(kOwnerHelp) + kExitCodes);
  };
  auto level = [&](CLI::App* v, const char* flag) {
    v->add_option(flag, o.level,
                  "owner protection: 0 no access without the name, 1 read access, 2 no access "
                  "and encrypted, 3 read access and encrypted (default 0)")
        ->check(CLI::Range(0, 3));
  };
  auto batch = [&](CLI::App* v, const std::string& fallback) {
    v->add_option_function<int>(
         "--batch", [&](const int& n) { o.batch = n; },
         "records per transaction (default " + fallback + ")")
        ->check(CLI::Range(1, 1 << 30));
  };
  auto code_page = [&](CLI::App* v) {
    v->add_option(
         "--code-page", o.code_page,
         std::string("the code page of the record text: ") + kCodePageNames + " (default cp1252)")
        ->check(CLI::IsMember({"cp1252", "cp437", "cp850", "latin-1", "latin1", "iso-8859-1"}));
  };
  auto key = [&](CLI::App* v) {
    return v
        ->add_option_function<int>(
            "--key", [&](const int& k) { o.key = k; }, "the key whose order to follow (from 0)")
        ->check(CLI::Range(0, 127));
  };

  CLI::App* info = verb("info", "the file's description, record count and engine version", Info);
  owner(info);
  info->add_flag("--json", o.json, "as JSON");

  // A description may carry the file's dictionary beside its keys (docs/description-format.md).
  auto with_dict = [&](CLI::App* v, const char* help) {
    CLI::Option* d = v->add_option("--dict", o.dict, help);
    CLI::Option* id = v->add_option("--id", o.dict_id, "the dictionary's ID");
    d->needs(id);
    id->needs(d);
  };
  CLI::App* describe =
      verb("describe", "the file's description as JSON, the input of create", Describe);
  owner(describe);
  with_dict(describe, "adds the dictionary of this item file as the member \"dictionary\"");

  CLI::App* create = verb("create", "a new record file from a description (see describe)", Create,
                          "DESCRIPTION", "the description in JSON, at most 1 MiB");
  owner(create, "gives the new file this owner name", OwnerNames::Kind::kGives);
  level(create, "--level");
  with_dict(create, "stores the description's member \"dictionary\" in this item file");

  CLI::App* dump = verb("dump", "every record in key or physical order", Dump);
  CLI::Option* dump_key = key(dump);
  dump->add_flag("--physical", o.physical, "in physical order")->excludes(dump_key);
  dump->add_option("--format", o.format, "hex (default), text or csv")
      ->check(CLI::IsMember({"hex", "text", "csv"}));
  owner(dump);

  CLI::App* exp = verb("export",
                       "every record: without --dict its bytes as JSON lines (the "
                       "input of load), with --dict its typed fields as CSV or JSON lines "
                       "(the input of import)",
                       nullptr, "OUT", "the file to write");
  exp->add_flag("--hex", o.hex, "record bytes in hex rather than base64 (without --dict)");
  CLI::Option* exp_dict = exp->add_option("--dict", o.dict, "the dictionary item file");
  exp->add_option("--id", o.dict_id, "the dictionary ID of the file's fields")->needs(exp_dict);
  exp->add_option("--format", o.format, "csv or jsonl (default: by OUT's extension)")
      ->check(CLI::IsMember({"csv", "jsonl"}))
      ->needs(exp_dict);
  key(exp)->needs(exp_dict);
  code_page(exp);
  owner(exp);

  CLI::App* imp = verb("import",
                       "inserts typed records of CSV or JSON lines by field name, all of them "
                       "in one transaction (a failure leaves the file as it was) unless --batch "
                       "is given",
                       Import, "IN",
                       "the CSV or JSON-lines file (a byte-order mark is skipped), at most 4 MiB "
                       "to a record");
  imp->add_option("--dict", o.dict, "the dictionary item file, at most 16 MiB")->required();
  imp->add_option("--id", o.dict_id, "the dictionary ID of the file's fields")->required();
  imp->add_option("--format", o.format, "csv or jsonl (default: by IN's extension)")
      ->check(CLI::IsMember({"csv", "jsonl"}));
  code_page(imp);
  imp->add_option("--input-encoding", o.input_encoding,
                  std::string("the encoding of IN: utf-8 (default), ") + kCodePageNames +
                      "; apart from --code-page, the record text's")
      ->check(
          CLI::IsMember({"utf-8", "cp1252", "cp437", "cp850", "latin-1", "latin1", "iso-8859-1"}));
  imp->add_option("--columns", o.columns,
                  "where columns (CSV) or members (JSON lines) go, by name: 'Item No=Code' puts "
                  "the column \"Item No\" into the field Code, 'Colour=-' skips the column "
                  "Colour; entries separated by commas, the others go by their own name");
  imp->add_flag("--check", o.check,
                "reads and converts every record and writes nothing; reports the first 20 "
                "faults (line, field, why); exit code 0 when there are none");
  imp->add_option_function<int>(
         "--batch", [&](const int& n) { o.batch = n; },
         "commits every N records, keeping the parts committed before a failure and saying "
         "how many (default: one transaction, held in memory to its end: about 0.7 GB for a "
         "million records of 64 bytes; give --batch for inputs larger than memory allows)")
      ->check(CLI::Range(1, 1 << 30));
  owner(imp);

  CLI::App* load = verb("load",
                        "inserts the records of an export (creates FILE from its "
                        "header when missing)",
                        Load, "IN",
                        "the JSON-lines export: a header line of at most 1 MiB, record lines of "
                        "at most 129 MiB");
  load->add_flag("--append", o.append, "adds to an existing file");
  batch(load, "1000");
  owner(load);

  CLI::App* check = verb("check",
                         "walks physical order and every key and sets their counts "
                         "against the statistics; exit code 1 when they disagree",
                         Check);
  check->add_flag("--json", o.json, "as JSON");
  owner(check);

  CLI::App* copy = verb("copy", "a new file of the same description with every record", Copy, "DST",
                        "the new file");
  owner(copy);
  owners.Add(copy, "--to-owner", &o.new_owner, "gives the copy this owner name",
             "the copy's owner name", OwnerNames::Kind::kGives);
  level(copy, "--level");
  batch(copy, "4 MiB of record data");

  CLI::App* recover = verb("recover",
                           "copies every record that can still be read, along the keys and "
                           "physical order and then from the file's raw pages, into a new file "
                           "of the same description, and reports what could not be saved",
                           Recover, "NEW", "the new file");
  owner(recover);
  level(recover, "--level");

  CLI::App* compact = verb("compact",
                           "rewrites the file into its smallest form, giving back the space "
                           "of deleted records; other programs may keep the file open",
                           Compact);
  owner(compact);

  CLI::App* own = app.add_subcommand("owner", "sets or clears a file's owner name");
  own->footer(kExitCodes);
  own->require_subcommand(1);
  CLI::App* own_set = own->add_subcommand("set", "gives the file an owner name");
  own_set->add_option("FILE", file, "the record file")->required();
  owner(own_set, "the file's present owner name");
  owners.Add(own_set, "NAME", &o.new_owner, "the new owner name", "the new owner name",
             OwnerNames::Kind::kGives, /*required=*/true);
  level(own_set, "--level");
  verbs.push_back({own_set, OwnerSet});
  CLI::App* own_clear = own->add_subcommand("clear", "removes the file's owner name");
  own_clear->add_option("FILE", file, "the record file")->required();
  owner(own_clear, "the file's owner name", OwnerNames::Kind::kOpens, /*required=*/true);
  verbs.push_back({own_clear, OwnerClear});

  CLI::App* shell = verb("shell",
                         "runs operations call by call, read from standard input; "
                         "'help' inside lists them",
                         ShellCommand);
  owner(shell);

  CLI::App* dict = AddDictVerb(app, kExitCodes, owners);

  std::vector<std::string> help_topic;
  CLI::App* help = app.add_subcommand("help", "this help, or a command's: help dict create");
  help->add_option("COMMAND", help_topic, "the command (and its subcommand)");
  app.set_version_flag("--version", std::string("vastrel ") + VASTREL_VERSION);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::CallForVersion& e) {
    std::printf("%s\n", e.what());
    return 0;
  } catch (const CLI::ParseError& e) {
    std::string where = "vastrel";
    for (CLI::App* sub = &app; sub && !sub->get_subcommands().empty();) {
      sub = sub->get_subcommands().front();
      where += " " + sub->get_name();
    }
    std::fprintf(stderr, "vastrel: %s\n%s --help tells more\n", e.what(), where.c_str());
    return 2;
  }
  if (help->parsed()) {
    CLI::App* about = &app;
    std::string path = "vastrel";
    for (const std::string& word : help_topic) {
      try {
        about = about->get_subcommand(word);
      } catch (const CLI::OptionNotFound&) {
        std::fprintf(stderr, "vastrel: no command \"%s\" in \"%s\"\nvastrel help lists them\n",
                     word.c_str(), path.c_str());
        return 2;
      }
      path += " " + word;
    }
    std::fputs(about->get_formatter()->make_help(about, path, CLI::AppFormatMode::Normal).c_str(),
               stdout);
    return 0;
  }
  try {
    owners.Resolve();
  } catch (const OwnerInputError& e) {
    std::fprintf(stderr, "vastrel: %s\n", e.what());
    return e.ExitCode();
  }
  if (dict->parsed()) return Execute([](const Options&) { return RunDict(); }, o);
  int (*run)(const Options&) = nullptr;
  for (const Verb& v : verbs) {
    if (v.app->parsed()) {
      run = v.run;
      o.command = v.app->get_name();
    }
  }
  // Copy sizes its transactions by bytes unless told a number of records; import is one
  // transaction unless told one.
  if (copy->parsed() && copy->count("--batch") == 0) o.batch = 0;
  if (imp->parsed() && imp->count("--batch") == 0) o.batch = -1;
  if (exp->parsed()) {
    if (!o.dict.empty() && o.hex) {
      std::fprintf(stderr, "vastrel: --hex is for exports without --dict\n");
      return 2;
    }
    run = o.dict.empty() ? ExportRaw : ExportTyped;
  }
  o.operands = {file};
  if (!second.empty()) o.operands.push_back(second);
  InstallLengthObserver();
  if (run == Check) {
    // A damage the storage cannot survive ends the child that met it, not the tool.
    const int code = InChild([&] { return Execute(run, o); });
    if (code >= 0) return code;
    std::fprintf(stderr,
                 "vastrel: %s: damaged: the check died of %s while it read the file; its pages "
                 "are damaged beyond what the engine can answer with a status\n",
                 file.c_str(), strsignal(-code));
    return 1;
  }
  return Execute(run, o);
}

}  // namespace
}  // namespace vastrel::cli

int main(int argc, char** argv) { return vastrel::cli::Run(argc, argv); }
