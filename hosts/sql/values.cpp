// A field's text as an SQL value and back, by the dictionary's field types and the table's
// format settings. The conversions and the refusals are those of the Python layer (nothing
// cut, nothing stored that would read back as another value); text goes through the code
// page the table names, else the component's own.
#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT3

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "dictionary/field_text.h"
#include "hosts/sql/vtab.h"

namespace vastrel::sql {
namespace {

using python::FieldKind;
using python::Refusal;
using python::Value;

std::string ToUtf8(const Table& t, std::string_view text) {
  return t.code_page ? cli::ToUtf8(text, *t.code_page) : python::ToUtf8(text);
}

void ResultText(sqlite3_context* ctx, const std::string& text) {
  sqlite3_result_text(ctx, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// "YYYY-MM-DD", "HH:MM:SS", "YYYY-MM-DD HH:MM:SS" (or with a T); false for anything else.
bool ParseIso(std::string_view s, FieldKind kind, Value& v) {
  auto digits = [&](size_t at, size_t n, int& out) {
    if (at + n > s.size()) return false;
    out = 0;
    for (size_t i = at; i < at + n; ++i) {
      if (s[i] < '0' || s[i] > '9') return false;
      out = out * 10 + (s[i] - '0');
    }
    return true;
  };
  auto date = [&](size_t at) {
    return digits(at, 4, v.year) && s.size() > at + 4 && s[at + 4] == '-' &&
           digits(at + 5, 2, v.month) && s.size() > at + 7 && s[at + 7] == '-' &&
           digits(at + 8, 2, v.day);
  };
  auto time = [&](size_t at) {
    return digits(at, 2, v.hour) && s.size() > at + 2 && s[at + 2] == ':' &&
           digits(at + 3, 2, v.minute) && s.size() > at + 5 && s[at + 5] == ':' &&
           digits(at + 6, 2, v.second);
  };
  if (kind == FieldKind::kTime) {
    v.type = Value::Type::kTime;
    return s.size() == 8 && time(0);
  }
  if (s.size() == 10 && date(0)) {
    v.type = Value::Type::kDate;
    return true;
  }
  v.type = Value::Type::kDateTime;
  return s.size() == 19 && (s[10] == ' ' || s[10] == 'T') && date(0) && time(11);
}

// The SQL value as a value of the field's kind, as far as SQL's own conversions go: a whole
// REAL for an integer field, 0 and 1 for a Boolean, numeric text for a number, ISO text for
// a date or a time. What remains is left to the field's refusal.
Value ToValue(const python::FieldSpec& f, sqlite3_value* value) {
  Value v;
  const int type = sqlite3_value_type(value);
  if (f.kind == FieldKind::kString && (type == SQLITE_INTEGER || type == SQLITE_FLOAT)) {
    // A number into a text field: its SQL text, as a column of text affinity keeps it.
    v.type = Value::Type::kText;
    v.text = reinterpret_cast<const char*>(sqlite3_value_text(value));
    return v;
  }
  const bool dated =
      f.kind == FieldKind::kDate || f.kind == FieldKind::kTime || f.kind == FieldKind::kDateTime;
  if (dated && (type == SQLITE_INTEGER || type == SQLITE_FLOAT))
    throw Refusal(std::string(python::KindName(f.kind)) + " takes ISO-8601 text, not a number");
  if (f.kind == FieldKind::kBoolean && (type == SQLITE_FLOAT || type == SQLITE_TEXT))
    throw Refusal("a boolean field takes 0 or 1");
  switch (type) {
    case SQLITE_NULL:
      return v;
    case SQLITE_INTEGER:
      v.type = Value::Type::kInt;
      v.integer = sqlite3_value_int64(value);
      if (f.kind == FieldKind::kBoolean) {
        if (v.integer != 0 && v.integer != 1)
          throw Refusal("a boolean field takes 0 or 1, not " + std::to_string(v.integer));
        v.type = Value::Type::kBool;
        v.boolean = v.integer == 1;
      }
      return v;
    case SQLITE_FLOAT: {
      const double d = sqlite3_value_double(value);
      if (f.kind == FieldKind::kInteger && std::isfinite(d) && d == std::trunc(d) &&
          std::fabs(d) < 9.3e18) {
        v.type = Value::Type::kInt;
        v.integer = static_cast<int64_t>(d);
      } else {
        v.type = Value::Type::kFloat;
        v.number = d;
      }
      return v;
    }
    case SQLITE_TEXT: {
      const char* p = reinterpret_cast<const char*>(sqlite3_value_text(value));
      const std::string_view text(p ? p : "", static_cast<size_t>(sqlite3_value_bytes(value)));
      v.type = Value::Type::kText;
      v.text = std::string(text);
      if (f.kind == FieldKind::kDate || f.kind == FieldKind::kTime ||
          f.kind == FieldKind::kDateTime) {
        Value d;
        if (!ParseIso(text, f.kind, d))
          throw Refusal("\"" + v.text + "\" is no " +
                        (f.kind == FieldKind::kTime   ? "time HH:MM:SS"
                         : f.kind == FieldKind::kDate ? "date YYYY-MM-DD"
                                                      : "date and time YYYY-MM-DD HH:MM:SS"));
        return d;
      }
      if (f.kind == FieldKind::kInteger || f.kind == FieldKind::kFloat) {
        // Numeric text, as a column of numeric affinity would take it.
        const std::string s(text);
        char* end = nullptr;
        if (f.kind == FieldKind::kInteger) {
          errno = 0;
          const long long n = std::strtoll(s.c_str(), &end, 10);
          if (!s.empty() && *end == '\0' && errno == 0) {
            v.type = Value::Type::kInt;
            v.integer = n;
          }
        } else {
          const double d = std::strtod(s.c_str(), &end);
          if (!s.empty() && *end == '\0' && s.find_first_of("xXnN") == std::string::npos) {
            v.type = Value::Type::kFloat;
            v.number = d;
          }
        }
        if (v.type == Value::Type::kText)
          throw Refusal(std::string(python::KindName(f.kind)) +
                        " takes no text that is not a number");
      }
      return v;
    }
    default:
      throw Refusal("a field takes no BLOB");
  }
}

}  // namespace

std::string_view RecordText(const table::TBtr& table) {
  const auto* data = reinterpret_cast<const char*>(table.DataBuffer());
  if (!data) return {};
  const size_t length = static_cast<size_t>(std::max(table.DataBufferLength(), 0));
  const void* nul = std::memchr(data, 0, length);
  return {data, nul ? static_cast<size_t>(static_cast<const char*>(nul) - data) : length};
}

void ResultField(sqlite3_context* ctx, const Table& t, size_t column, std::string_view record) {
  const python::FieldSpec& f = t.fields[column];
  if (f.kind == FieldKind::kString) {
    std::string_view chars;
    if (static_cast<size_t>(f.offset) < record.size())
      chars = record.substr(static_cast<size_t>(f.offset), static_cast<size_t>(f.size));
    ResultText(ctx, ToUtf8(t, dictionary::TrimTrailingBlanks(chars)));
    return;
  }
  const Value v = python::ReadField(f, record, t.formats);
  char text[32];
  switch (v.type) {
    case Value::Type::kNone:
      sqlite3_result_null(ctx);
      return;
    case Value::Type::kBool:
      sqlite3_result_int(ctx, v.boolean ? 1 : 0);
      return;
    case Value::Type::kInt:
      sqlite3_result_int64(ctx, v.integer);
      return;
    case Value::Type::kFloat:
      sqlite3_result_double(ctx, v.number);
      return;
    case Value::Type::kDate:
      std::snprintf(text, sizeof text, "%04d-%02d-%02d", v.year, v.month, v.day);
      break;
    case Value::Type::kTime:
      std::snprintf(text, sizeof text, "%02d:%02d:%02d", v.hour, v.minute, v.second);
      break;
    case Value::Type::kDateTime:
      std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", v.year, v.month, v.day,
                    v.hour, v.minute, v.second);
      break;
    case Value::Type::kText:
      ResultText(ctx, v.text);
      return;
  }
  ResultText(ctx, text);
}

std::string FieldTextOf(const Table& t, size_t column, sqlite3_value* value) {
  const python::FieldSpec& f = t.fields[column];
  const Value v = ToValue(f, value);
  if (f.kind == FieldKind::kString && t.code_page && v.type == Value::Type::kText) {
    const std::optional<std::string> text = cli::FromUtf8(v.text, *t.code_page);
    if (!text) throw Refusal("the text holds a character that the record's code page lacks");
    if (text->find('\0') != std::string::npos)
      throw Refusal("the text holds a NUL character, which would end the record");
    if (text->size() > static_cast<size_t>(f.size))
      throw Refusal("it needs " + std::to_string(text->size()) +
                    " characters and the field holds " + std::to_string(f.size));
    return *text;
  }
  return python::FieldText(f, v, t.formats);
}

}  // namespace vastrel::sql
