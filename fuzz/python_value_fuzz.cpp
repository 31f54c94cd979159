// Fuzz target for the Python module's conversion of values into field text and back
// (hosts/common/field_value.h): whatever the field, the value and the table's format
// settings, the conversion answers a text or refuses with a Refusal, and a text it answers
// fits the field, holds no NUL and reads back as the value, also once put into a record
// whose other characters it leaves as they were; reading any record text answers a value
// or a Refusal.
//
// Input: field type, field size, value type, a flags byte (bit 0: formats; the rest: the
// field's offset), 8 bytes of number, then text, which also serves as the record text.
// With flag 1 the text is split at NUL bytes into TRUEFormat, FALSEFormat, DATEFormat,
// TIMEFormat, the decimal separator and the value's text; the value's date and time parts
// come from the number's bytes.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/field_text.h"
#include "hosts/common/field_value.h"

using namespace vastrel::python;

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

std::string TrimmedEnd(std::string text) {
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32) text.pop_back();
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 12) return 0;
  FieldSpec field;
  field.name = "F";
  field.kind = static_cast<FieldKind>(data[0] % 7);
  field.size = data[1] % 48;
  Value value;
  value.type = static_cast<Value::Type>(data[2] % 8);
  const uint8_t flags = data[3];
  std::memcpy(&value.integer, data + 4, 8);
  std::memcpy(&value.number, data + 4, 8);
  value.boolean = data[4] & 1;
  value.year = static_cast<int>(data[4] | (data[5] << 8)) % 10050 - 20;
  value.month = data[6] % 14;
  value.day = data[7] % 33;
  value.hour = data[8] % 25;
  value.minute = data[9] % 61;
  value.second = data[10] % 61;
  value.microsecond = data[11] % 3 == 0 ? data[11] : 0;
  const std::string_view rest(reinterpret_cast<const char*>(data + 12), size - 12);
  Formats formats;
  if (flags & 1) {
    std::vector<std::string_view> parts;
    size_t at = 0;
    while (parts.size() < 5) {
      const size_t nul = rest.find('\0', at);
      if (nul == std::string_view::npos) break;
      parts.push_back(rest.substr(at, nul - at));
      at = nul + 1;
    }
    if (parts.size() < 5) return 0;
    formats.true_text = parts[0];
    formats.false_text = parts[1];
    formats.date = parts[2];
    formats.time = parts[3];
    formats.decimal = parts[4].empty() ? '.' : parts[4][0];
    value.text = rest.substr(at);
  } else {
    value.text = rest;
  }

  // Any record text reads as a value of the field's type or is refused.
  try {
    ReadField(field, rest, formats);
  } catch (const Refusal&) {
  }

  std::string text;
  try {
    text = FieldText(field, value, formats);
  } catch (const Refusal&) {
    return 0;
  }
  Require(text.size() <= static_cast<size_t>(field.size));
  Require(text.find('\0') == std::string::npos);
  if (value.type == Value::Type::kNone) return 0;
  if (value.type == Value::Type::kDate) value.hour = value.minute = value.second = 0;
  const Value back = ReadField(field, text, formats);  // must not refuse what it wrote
  // Put into a record at an offset, it reads the same and leaves the rest as it was.
  FieldSpec placed = field;
  placed.offset = (flags >> 1) % 64;
  const std::string_view old = rest.substr(0, rest.find('\0'));
  const std::string record = PutField(old, placed, text);
  const size_t end = static_cast<size_t>(placed.offset + placed.size);
  Require(record.size() == std::max(end, old.size()));
  Require(record.compare(0, std::min<size_t>(placed.offset, old.size()), old, 0,
                         std::min<size_t>(placed.offset, old.size())) == 0);
  if (old.size() > end) Require(record.compare(end, std::string::npos, old.substr(end)) == 0);
  const Value again = ReadField(placed, record, formats);
  Require(again.type == back.type && again.text == back.text && again.integer == back.integer &&
          again.boolean == back.boolean && again.year == back.year && again.day == back.day &&
          again.second == back.second &&
          (again.number == back.number || (std::isnan(again.number) && std::isnan(back.number))));
  switch (field.kind) {
    case FieldKind::kString:
      Require(back.text == TrimmedEnd(value.text));
      break;
    case FieldKind::kInteger:
      Require(back.type == Value::Type::kInt && back.integer == value.integer);
      break;
    case FieldKind::kFloat: {
      const double v =
          value.type == Value::Type::kInt ? static_cast<double>(value.integer) : value.number;
      Require(back.type == Value::Type::kFloat);
      Require(std::fabs(back.number - v) <= 1e-14 * std::fabs(v) + 1e-300);
      break;
    }
    case FieldKind::kBoolean:
      Require(back.type == Value::Type::kBool && back.boolean == value.boolean);
      break;
    case FieldKind::kDate:
    case FieldKind::kDateTime:
      Require(back.year == value.year && back.month == value.month && back.day == value.day);
      if (field.kind == FieldKind::kDateTime)
        Require(back.hour == value.hour && back.minute == value.minute &&
                back.second == value.second);
      break;
    case FieldKind::kTime:
      Require(back.hour == value.hour && back.minute == value.minute &&
              back.second == value.second);
      break;
  }
  return 0;
}
