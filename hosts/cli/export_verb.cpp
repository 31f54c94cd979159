// vastrel export: every record's bytes as JSON lines (the input of load), or with --dict its
// typed fields as CSV or JSON lines (the input of import).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "hosts/cli/description.h"
#include "hosts/cli/errors.h"
#include "hosts/cli/progress.h"
#include "hosts/cli/record_reader.h"
#include "hosts/cli/record_text.h"
#include "hosts/cli/typed_records.h"
#include "hosts/cli/verbs.h"

namespace vastrel::cli {

using table::TBtr;

namespace {

// Ends an export: the output file closed and checked, the record file closed, the count said.
int EndExport(std::ofstream& out, const std::string& out_name, TBtr& t, uint64_t count) {
  out.close();
  if (!out) throw DataError("writing " + out_name + " failed: " + std::strerror(errno));
  t.Close();
  std::fprintf(stderr, "exported %llu records\n", static_cast<unsigned long long>(count));
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

}  // namespace

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
  return EndExport(out, o.operands[1], t, count);
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
  return EndExport(out, o.operands[1], t, count);
}

}  // namespace vastrel::cli
