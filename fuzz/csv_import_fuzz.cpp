// Fuzz target for the tool's CSV import: a dictionary of up to 8 fields (type, offset and
// width from the input, anywhere in or past the data buffer), a code page, the table's
// number and date forms, then CSV text read as the import reads it: the header's names
// looked up among the fields, every record's cells converted to the field's kind of value
// and written into the data buffer, and each field read back.
//
// Must hold: a cell either goes in or raises vastrel::Exception; no buffer is read or written
// past its end; a field read back as JSON text parses to the same value.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "automation/json.h"
#include "fuzz/fuzz_input.h"
#include "hosts/cli/typed_records.h"
#include "platform/error.h"
#include "table/btr.h"

namespace {

using namespace vastrel;
using namespace vastrel::cli;

void Check(bool ok) {
  if (!ok) std::abort();
}

using fuzz_support::Input;

// A value read back, written as the JSON lines export writes it, reads as the same value.
void RoundTrip(const json::Value& v) {
  if (v.kind() == json::Value::Kind::kDouble && !std::isfinite(v.AsDouble())) return;
  std::string text;
  AppendJson(text, v);
  json::Value back;
  try {
    back = json::Parse(text);
  } catch (const json::ParseError&) {
    std::abort();
  }
  // A whole number written from a double may read back as an integer.
  if (back.IsNumber() && v.IsNumber()) {
    Check(back.AsDouble() == v.AsDouble());
    return;
  }
  Check(back == v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  table::TBtr t;
  const auto page = static_cast<CodePage>(in.Byte() % 4);
  const uint8_t forms = in.Byte();
  if (forms & 1) t.SetDecimalSeparator(',');
  if (forms & 2) t.SetTRUEFormat(std::string(in.Take(in.Byte() % 8)));
  if (forms & 4) t.SetDATEFormat(std::string(in.Take(in.Byte() % 16)));
  if (forms & 8) t.SetTIMEFormat(std::string(in.Take(in.Byte() % 16)));
  const int count = 1 + in.Byte() % 8;
  for (int i = 0; i < count; ++i) {
    dictionary::TRecordItem item;
    item.SetFieldType(
        static_cast<dictionary::TxFieldType>(in.Byte() % dictionary::kFieldTypeCount));
    item.SetFieldOffset(static_cast<int8_t>(in.Byte()));
    item.SetFieldSize(static_cast<int8_t>(in.Byte()));
    item.SetFieldName(std::string(in.Take(in.Byte() % 12)));
    t.DDFFields().Append(item);
  }
  const int32_t record_size = in.Byte() * 2;
  t.SetDataBufferLength(record_size);

  TypedRecords fields(t, page);
  std::istringstream csv{std::string(in.Rest())};
  std::vector<CsvCell> cells;
  uint64_t line = 0;
  std::vector<int> columns;
  try {
    if (!ReadCsvRecord(csv, cells, line)) return 0;
    for (const CsvCell& c : cells) {
      const int f = fields.Find(c.text);
      if (f < 0) return 0;
      Check(static_cast<size_t>(f) < fields.Count());
      columns.push_back(f);
    }
    for (int records = 0; records < 64 && ReadCsvRecord(csv, cells, line); ++records) {
      if (cells.size() != columns.size()) continue;
      if (t.DataBufferLength() > 0) {
        std::memset(t.DataBuffer(), 0, static_cast<size_t>(t.DataBufferLength()));
      }
      for (size_t c = 0; c < cells.size(); ++c) {
        const auto f = static_cast<size_t>(columns[c]);
        try {
          fields.Write(f, fields.FromCsv(f, cells[c].text, cells[c].quoted));
        } catch (const Exception&) {
          continue;
        }
        try {
          RoundTrip(fields.Read(f));
        } catch (const Exception&) {
          // A field that lies past the buffer, or a date the buffer's text does not make.
        }
      }
    }
  } catch (const Exception&) {
    // A quote left open.
  }
  return 0;
}
