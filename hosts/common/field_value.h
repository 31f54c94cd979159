// Values of the Python layer and the text of a dictionary field, both ways.
//
// A field of the dictionary is Size characters of the record's single-byte text at Offset,
// read and written by the control's text rules (dictionary/field_text.h) with the table's
// format settings. Writing puts the value's text there, padded with blanks; here a value is
// turned into that text only when the field takes it whole and reads it back as the same
// value. Anything else is refused with a reason, so that nothing is cut or changed on its
// way into a record: text longer than the field, a number outside what the field reads, a
// character the code page lacks, a date the date format cannot tell apart, a value of a
// kind the field does not hold.
//
// No Python here: the module turns Python objects into Value and back.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vastrel::python {

// The field types of the dictionary, in the order of their enumeration.
enum class FieldKind : int32_t { kString, kInteger, kFloat, kBoolean, kDate, kTime, kDateTime };

struct FieldSpec {
  std::string name;  // as the dictionary spells it (UTF-8)
  FieldKind kind = FieldKind::kString;
  int32_t offset = 0;
  int32_t size = 0;
};

// The table's format settings, as the control holds them.
struct Formats {
  std::string true_text = "1";
  std::string false_text = "0";
  std::string date = "YYYYMMDD";
  std::string time = "HH:NN:SS";
  char decimal = '.';
};

// A value on its way between Python and a field.
struct Value {
  enum class Type { kNone, kBool, kInt, kFloat, kText, kDate, kTime, kDateTime };
  Type type = Type::kNone;
  bool boolean = false;
  int64_t integer = 0;
  double number = 0;
  std::string text;  // UTF-8
  int year = 1899, month = 12, day = 30, hour = 0, minute = 0, second = 0, microsecond = 0;
};

// "a text field", "an integer field", ...: the field's kind as messages name it.
const char* KindName(FieldKind kind);

// The name of a value's type as a Python script knows it ("int", "str", "datetime.date").
const char* TypeName(Value::Type type);

// A value refused by a field, or a field's text that reads as no value of its type.
class Refusal : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The text a field stores for the value, in the record's single-byte code page, at most
// field.size characters and without padding; empty for None. Raises Refusal with the reason
// (which does not name the field; the caller does).
std::string FieldText(const FieldSpec& field, const Value& value, const Formats& formats);

// The value of a field in the record text (the data buffer up to its first zero byte, in
// the single-byte code page): text without its trailing blanks; for the other types None
// when the field is blank, else the value the control's typed read gives. Raises Refusal
// when the text is no value of the field's type.
Value ReadField(const FieldSpec& field, std::string_view record_text, const Formats& formats);

// The record text after a field write: the record's characters before the field (blanks
// where the record ends before it), the text padded with blanks to the field's size, and
// the record's characters after the field; as the control's field write makes it.
std::string PutField(std::string_view record, const FieldSpec& field, std::string_view text);

// The conversions of the control between its single-byte text and UTF-8, with a short way
// for text of ASCII characters alone.
std::string ToSingleByte(std::string_view utf8);
std::string ToUtf8(std::string_view single_byte);

}  // namespace vastrel::python
