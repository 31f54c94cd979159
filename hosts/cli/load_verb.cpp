// vastrel load: the records of an export into a file, made from the export's header when missing.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "automation/json.h"
#include "hosts/cli/errors.h"
#include "hosts/cli/progress.h"
#include "hosts/cli/record_text.h"
#include "hosts/cli/verbs.h"
#include "hosts/common/bounded_read.h"
#include "keys/file_flags.h"
#include "platform/locale.h"

namespace vastrel::cli {

using table::TBtr;
namespace json = automation::json;

namespace {

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

// A whole number of the line's object within its range; a refusal names the line.
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

// Gives the table the description of an export's header line (line 1).
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

}  // namespace

int Load(const Options& o) {
  const std::string& in_name = o.operands[1];
  uint64_t in_size = 0;
  std::ifstream in = OpenInput(in_name, &in_size);
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

}  // namespace vastrel::cli
