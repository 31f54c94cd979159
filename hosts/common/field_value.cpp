#include "hosts/common/field_value.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "dictionary/field_text.h"
#include "platform/error.h"
#include "platform/locale.h"

namespace vastrel::python {
namespace {

using Type = Value::Type;

}  // namespace

const char* KindName(FieldKind kind) {
  switch (kind) {
    case FieldKind::kString:
      return "a text field";
    case FieldKind::kInteger:
      return "an integer field";
    case FieldKind::kFloat:
      return "a floating-point field";
    case FieldKind::kBoolean:
      return "a boolean field";
    case FieldKind::kDate:
      return "a date field";
    case FieldKind::kTime:
      return "a time field";
    case FieldKind::kDateTime:
      return "a date-and-time field";
  }
  return "a field of an unknown type";
}

namespace {

[[noreturn]] void WrongType(const FieldSpec& field, const Value& value) {
  throw Refusal(std::string(KindName(field.kind)) + " does not take a value of type " +
                TypeName(value.type));
}

// The field's characters in the record text, as many as exist (the control's rule).
std::string_view FieldChars(const FieldSpec& field, std::string_view record) {
  if (field.offset < 0 || field.size < 0 || static_cast<size_t>(field.offset) >= record.size())
    return {};
  return record.substr(static_cast<size_t>(field.offset), static_cast<size_t>(field.size));
}

// A date value of the control: days from 1899-12-30, the time of day as the fraction,
// counted forward from midnight also before that day.
double DateValue(const Value& v, bool with_date, bool with_time) {
  try {
    const double day = with_date ? dictionary::EncodeDate(v.year, v.month, v.day) : 0;
    const double time = with_time ? dictionary::EncodeTime(v.hour, v.minute, v.second) : 0;
    return day < 0 ? day - time : day + time;
  } catch (const Exception&) {
    throw Refusal("the date lies outside the years 1 to 9999");
  }
}

Value DateParts(double date, Type type) {
  const dictionary::DateTimeParts p = dictionary::DecodeDateTime(date);
  Value v;
  v.type = type;
  if (type != Type::kTime) {
    v.year = p.year;
    v.month = p.month;
    v.day = p.day;
  }
  if (type != Type::kDate) {
    v.hour = p.hour;
    v.minute = p.minute;
    v.second = p.second;
  }
  return v;
}

bool SameValue(const Value& a, const Value& b) {
  if (a.type != b.type) return false;
  switch (a.type) {
    case Type::kNone:
      return true;
    case Type::kBool:
      return a.boolean == b.boolean;
    case Type::kInt:
      return a.integer == b.integer;
    case Type::kFloat:
      return a.number == b.number;
    case Type::kText:
      return a.text == b.text;
    case Type::kDate:
    case Type::kTime:
    case Type::kDateTime:
      return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
             a.minute == b.minute && a.second == b.second;
  }
  return false;
}

// The value's text before the field's size is checked.
std::string UnfittedText(const FieldSpec& field, const Value& value, const Formats& formats) {
  const Type t = value.type;
  switch (field.kind) {
    case FieldKind::kString: {
      if (t != Type::kText) WrongType(field, value);
      std::string text = platform::Utf8ToSingleByte(value.text);
      if (platform::SingleByteToUtf8(text) != value.text)
        throw Refusal("the text holds a character that the record's code page lacks");
      if (text.find('\0') != std::string::npos)
        throw Refusal("the text holds a NUL character, which would end the record");
      return text;
    }
    case FieldKind::kInteger:
      if (t != Type::kInt) WrongType(field, value);
      if (value.integer < std::numeric_limits<int32_t>::min() ||
          value.integer > std::numeric_limits<int32_t>::max())
        throw Refusal("an integer field holds whole numbers from -2147483648 to 2147483647");
      return std::to_string(value.integer);
    case FieldKind::kFloat: {
      double number = value.number;
      if (t == Type::kInt) {
        number = static_cast<double>(value.integer);
        if (std::fabs(number) > 9007199254740992.0)  // 2^53: beyond it not every integer is kept
          throw Refusal("the integer has more digits than a floating-point field keeps");
      } else if (t != Type::kFloat) {
        WrongType(field, value);
      }
      if (!std::isfinite(number)) throw Refusal("a floating-point field holds finite numbers");
      return dictionary::FloatToText(number, formats.decimal);
    }
    case FieldKind::kBoolean:
      if (t != Type::kBool) WrongType(field, value);
      return value.boolean ? formats.true_text : formats.false_text;
    case FieldKind::kDate:
      if (t == Type::kDateTime && (value.hour || value.minute || value.second || value.microsecond))
        throw Refusal("a date field holds no time of day");
      if (t != Type::kDate && t != Type::kDateTime) WrongType(field, value);
      return dictionary::DateToText(DateValue(value, true, false), formats.date);
    case FieldKind::kTime:
      if (t != Type::kTime) WrongType(field, value);
      if (value.microsecond) throw Refusal("a time field holds whole seconds");
      return dictionary::TimeToText(DateValue(value, false, true), formats.time);
    case FieldKind::kDateTime:
      if (t != Type::kDate && t != Type::kDateTime) WrongType(field, value);
      if (value.microsecond) throw Refusal("a date-and-time field holds whole seconds");
      return dictionary::DateTimeToText(DateValue(value, true, true), formats.date, formats.time);
  }
  throw Refusal("the dictionary gives the field an unknown type");
}

}  // namespace

const char* TypeName(Value::Type type) {
  switch (type) {
    case Type::kNone:
      return "None";
    case Type::kBool:
      return "bool";
    case Type::kInt:
      return "int";
    case Type::kFloat:
      return "float";
    case Type::kText:
      return "str";
    case Type::kDate:
      return "datetime.date";
    case Type::kTime:
      return "datetime.time";
    case Type::kDateTime:
      return "datetime.datetime";
  }
  return "unknown";
}

std::string FieldText(const FieldSpec& field, const Value& given, const Formats& formats) {
  if (field.offset < 0 || field.size <= 0)
    throw Refusal("the dictionary gives the field no place in the record");
  if (given.type == Type::kNone) return {};
  Value value = given;
  if (value.type == Type::kDate) value.hour = value.minute = value.second = value.microsecond = 0;
  std::string text;
  try {
    text = UnfittedText(field, value, formats);
  } catch (const Exception& e) {  // the control's formatting refused the value
    throw Refusal(e.what());
  }
  if (text.size() > static_cast<size_t>(field.size)) {
    throw Refusal("it needs " + std::to_string(text.size()) + " characters and the field holds " +
                  std::to_string(field.size));
  }
  if (field.kind == FieldKind::kString) return text;
  // The text must read back as the value: a format that drops the century, a TRUEFormat
  // that is also the FALSEFormat, a blank format would each store another value.
  FieldSpec at_start = field;
  at_start.offset = 0;
  Value back;
  try {
    back = ReadField(at_start, text, formats);
  } catch (const Refusal&) {
    throw Refusal("the table's format settings write it as \"" + platform::SingleByteToUtf8(text) +
                  "\", which does not read back");
  }
  Value expected = value;
  if (field.kind == FieldKind::kFloat) {
    // The field keeps 15 significant digits: the number read back may differ from the
    // value by the rounding to them, no more (a decimal separator that is a digit would
    // read "1023" as 0.023).
    const double number =
        value.type == Type::kInt ? static_cast<double>(value.integer) : value.number;
    expected.type = Type::kFloat;
    expected.number = back.number;
    if (back.type != Type::kFloat ||
        !(std::fabs(back.number - number) <= 1e-14 * std::fabs(number) + 1e-300))
      expected.number = number;
  } else if (field.kind == FieldKind::kDate) {
    expected = DateParts(DateValue(value, true, false), Type::kDate);
  } else if (field.kind == FieldKind::kDateTime) {
    expected = DateParts(DateValue(value, true, true), Type::kDateTime);
  } else if (field.kind == FieldKind::kTime) {
    expected = DateParts(DateValue(value, false, true), Type::kTime);
  }
  if (!SameValue(back, expected)) {
    throw Refusal("the table's format settings write it as \"" + platform::SingleByteToUtf8(text) +
                  "\", which reads back as another value");
  }
  return text;
}

Value ReadField(const FieldSpec& field, std::string_view record_text, const Formats& formats) {
  const std::string_view chars = FieldChars(field, record_text);
  Value v;
  if (field.kind == FieldKind::kString) {
    v.type = Type::kText;
    v.text = ToUtf8(dictionary::TrimTrailingBlanks(chars));
    return v;
  }
  const std::string_view text = dictionary::TrimBlanks(chars);
  if (text.empty()) return v;  // None
  const auto invalid = [&](const char* what) {
    return Refusal("\"" + platform::SingleByteToUtf8(text) + "\" is not a valid " + what);
  };
  try {
    switch (field.kind) {
      case FieldKind::kString:
        break;
      case FieldKind::kInteger: {
        const std::optional<int32_t> n = dictionary::ParseInteger(text);
        if (!n) throw invalid("integer");
        v.type = Type::kInt;
        v.integer = *n;
        return v;
      }
      case FieldKind::kFloat: {
        const std::optional<double> d = dictionary::TextToFloat(text, formats.decimal);
        if (!d) throw invalid("floating-point number");
        v.type = Type::kFloat;
        v.number = *d;
        return v;
      }
      case FieldKind::kBoolean:
        v.type = Type::kBool;
        v.boolean = platform::Locale::EqualNoCase(text, formats.true_text);
        return v;
      case FieldKind::kDate:
        return DateParts(dictionary::TextToDate(text, formats.date), Type::kDate);
      case FieldKind::kTime:
        return DateParts(dictionary::TextToTime(text, formats.time), Type::kTime);
      case FieldKind::kDateTime:
        return DateParts(dictionary::TextToDateTime(text, formats.date, formats.time),
                         Type::kDateTime);
    }
  } catch (const Exception&) {
    throw invalid(field.kind == FieldKind::kTime ? "time" : "date");
  }
  throw Refusal("the dictionary gives the field an unknown type");
}

namespace {

bool Ascii(std::string_view text) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

}  // namespace

std::string PutField(std::string_view record, const FieldSpec& field, std::string_view text) {
  const size_t offset = static_cast<size_t>(std::max(field.offset, 0));
  const size_t size = static_cast<size_t>(std::max(field.size, 0));
  const size_t end = offset + size;
  std::string out;
  out.reserve(std::max(end, record.size()));
  out.append(record.substr(0, std::min(offset, record.size())));
  if (record.size() < offset) out.append(offset - record.size(), ' ');
  out.append(text.substr(0, size));
  if (text.size() < size) out.append(size - text.size(), ' ');
  if (record.size() > end) out.append(record.substr(end));
  return out;
}

std::string ToSingleByte(std::string_view utf8) {
  return Ascii(utf8) ? std::string(utf8) : platform::Utf8ToSingleByte(utf8);
}

std::string ToUtf8(std::string_view single_byte) {
  return Ascii(single_byte) ? std::string(single_byte) : platform::SingleByteToUtf8(single_byte);
}

}  // namespace vastrel::python
