// Records as typed fields for the vastrel tool: the fields of a dictionary read from and
// written into the table's data buffer through the dictionary's field accessor, text
// through a code page, and the two forms records travel in, CSV and JSON lines.
//
// A value is a JSON value: null (a blank number, date or time), a text (a string field,
// or a date "YYYY-MM-DD", time "HH:MM:SS", date-time "YYYY-MM-DD HH:MM:SS"), a whole
// number, a number or a Boolean. Writes check that the value fits the field before they
// touch the buffer; a failure raises vastrel::Exception naming what does not fit.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "automation/json.h"
#include "dictionary/btrfld.h"
#include "hosts/common/bounded_read.h"
#include "hosts/common/code_page.h"
#include "table/btr.h"

namespace vastrel::cli {

namespace json = automation::json;

class TypedRecords {
 public:
  // REQUIRES: the table's DDFFields() are loaded. The table must outlive this object.
  TypedRecords(table::TBtr& table, CodePage page);

  size_t Count() const { return fields_.size(); }
  // The field's name as UTF-8.
  const std::string& Name(size_t field) const { return names_[field]; }
  // The index of the field with this UTF-8 name (exact, then without regard to case);
  // -1 when there is none.
  int Find(const std::string& name) const;

  // The field's value in the current data buffer.
  json::Value Read(size_t field);
  // Puts the value into the data buffer; null writes blanks.
  void Write(size_t field, const json::Value& value);
  // Reads a CSV cell into the field's kind of value: an unquoted empty cell is null.
  json::Value FromCsv(size_t field, const std::string& cell, bool quoted) const;

 private:
  struct Field {
    dictionary::TxFieldType type;
    int32_t offset;
    int32_t size;
    std::string name;  // as the dictionary holds it
  };
  void Load(size_t field);
  void Fits(size_t field, size_t length) const;

  table::TBtr& table_;
  CodePage page_;
  std::vector<Field> fields_;
  std::vector<std::string> names_;
  dictionary::TBtrField accessor_;
};

// One CSV record (RFC 4180): cells separated by commas, a cell in double quotes may hold
// commas, doubled quotes and line breaks. Reads the next record from in; false at the end.
// `line` counts the lines read; a quote left open, or a record of more than `limit` bytes
// over all its lines, raises vastrel::Exception (and nothing past the limit is kept).
struct CsvCell {
  std::string text;
  bool quoted = false;
};
bool ReadCsvRecord(std::istream& in, std::vector<CsvCell>& cells, uint64_t& line,
                   size_t limit = kMaxTypedRecordBytes);
// Appends the value as a CSV cell: texts always quoted, null empty.
void AppendCsvCell(std::string& out, const json::Value& value);
// The value as compact JSON on one line.
void AppendJson(std::string& out, const json::Value& value);

}  // namespace vastrel::cli
