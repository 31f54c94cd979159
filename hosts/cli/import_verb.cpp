// vastrel import: typed records of CSV or JSON lines inserted by field name, in one
// transaction unless told --batch, or only checked with --check.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "binding/btrexception.h"
#include "enginecore/include/wbtrv32.h"
#include "hosts/cli/batch_writer.h"
#include "hosts/cli/description.h"
#include "hosts/cli/errors.h"
#include "hosts/cli/progress.h"
#include "hosts/cli/typed_records.h"
#include "hosts/cli/verbs.h"
#include "hosts/common/bounded_read.h"
#include "platform/locale.h"

namespace vastrel::cli {

using table::TBtr;

namespace {

// A data buffer of one record of zero bytes, for the next record to be filled in.
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

// The refusal of a column (or member) that no field takes, with the ways to place it.
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

}  // namespace

int Import(const Options& o) {
  const std::string& in_name = o.operands[1];
  uint64_t in_size = 0;
  std::ifstream in = OpenInput(in_name, &in_size);
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
        if (e.Status() != BTR_DUPLICATE_KEY) throw;
        throw DataError(at(this_line, "") + ": " + EngineText(e.what()) + ": a record with " +
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

}  // namespace vastrel::cli
