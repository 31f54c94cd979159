#include "hosts/cli/typed_records.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "dictionary/field_text.h"
#include "hosts/common/bounded_read.h"
#include "platform/error.h"
#include "platform/locale.h"
#include "platform/oleauto.h"

namespace vastrel::cli {

namespace {

using dictionary::TxFieldType;

std::string DateText(double value, TxFieldType type) {
  int y, mo, d, h, mi, s;
  if (!DateToParts(value, &y, &mo, &d, &h, &mi, &s)) throw Exception("a date out of range");
  char text[32];
  if (type == dictionary::ftDATE)
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", y, mo, d);
  else if (type == dictionary::ftTIME)
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", h, mi, s);
  else
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
  return text;
}

double DateValue(const std::string& text, TxFieldType type) {
  int y = 1899, mo = 12, d = 30, h = 0, mi = 0, s = 0, used = 0;
  int got = 0;
  if (type == dictionary::ftDATE) {
    got = std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &used) == 3;
  } else if (type == dictionary::ftTIME) {
    got = std::sscanf(text.c_str(), "%2d:%2d:%2d%n", &h, &mi, &s, &used) == 3;
  } else {
    got = std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &used) ==
          6;
  }
  DATE out;
  if (!got || static_cast<size_t>(used) != text.size() ||
      !DateFromParts(y, mo, d, h, mi, s, &out)) {
    throw Exception(std::string("\"") + text + "\" is not a " +
                    (type == dictionary::ftDATE   ? "date YYYY-MM-DD"
                     : type == dictionary::ftTIME ? "time HH:MM:SS"
                                                  : "date and time YYYY-MM-DD HH:MM:SS"));
  }
  return out;
}

const char* TypeName(TxFieldType type) {
  switch (type) {
    case dictionary::ftSTRING:
      return "text";
    case dictionary::ftINTEGER:
      return "whole number";
    case dictionary::ftFLOAT:
      return "number";
    case dictionary::ftBOOLEAN:
      return "true or false";
    default:
      return "text of a date or time";
  }
}

}  // namespace

TypedRecords::TypedRecords(table::TBtr& table, CodePage page)
    : table_(table), page_(page), accessor_(table) {
  const dictionary::TRecordItems& items = table.DDFFields();
  for (int i = 0; i < items.Count(); ++i) {
    const dictionary::TRecordItem& item = items[i];
    fields_.push_back({item.FieldType(), item.FieldOffset(), item.FieldSize(), item.FieldName()});
    names_.push_back(ToUtf8(item.FieldName(), page));
  }
}

int TypedRecords::Find(const std::string& name) const {
  for (size_t i = 0; i < names_.size(); ++i)
    if (names_[i] == name) return static_cast<int>(i);
  const std::optional<std::string> bytes = FromUtf8(name, page_);
  for (size_t i = 0; bytes && i < fields_.size(); ++i)
    if (platform::Locale::EqualNoCase(fields_[i].name, *bytes)) return static_cast<int>(i);
  return -1;
}

void TypedRecords::Load(size_t field) {
  const Field& f = fields_[field];
  accessor_.SetDateType(f.type);
  accessor_.SetOffset(f.offset);
  accessor_.SetSize(f.size);
}

json::Value TypedRecords::Read(size_t field) {
  Load(field);
  const TxFieldType type = fields_[field].type;
  if (type == dictionary::ftSTRING) return ToUtf8(accessor_.AsString(), page_);
  if (dictionary::TrimBlanks(accessor_.AsString()).empty()) return nullptr;
  switch (type) {
    case dictionary::ftINTEGER:
      return accessor_.AsInteger();
    case dictionary::ftFLOAT:
      return accessor_.AsFloat();
    case dictionary::ftBOOLEAN:
      return accessor_.AsBoolean();
    case dictionary::ftDATE:
      return DateText(accessor_.AsDate(), type);
    case dictionary::ftTIME:
      return DateText(accessor_.AsTime(), type);
    default:
      return DateText(accessor_.AsDateTime(), type);
  }
}

void TypedRecords::Fits(size_t field, size_t length) const {
  if (length > static_cast<size_t>(std::max(fields_[field].size, 0))) {
    throw Exception("the value takes " + std::to_string(length) + " characters, the field " +
                    std::to_string(fields_[field].size));
  }
}

void TypedRecords::Write(size_t field, const json::Value& value) {
  Load(field);
  const TxFieldType type = fields_[field].type;
  auto wrong = [&] { return Exception(std::string("a ") + TypeName(type) + " expected"); };
  if (value.IsNull()) {
    accessor_.SetAsString("");
    return;
  }
  switch (type) {
    case dictionary::ftSTRING: {
      if (!value.IsString()) throw wrong();
      const std::optional<std::string> bytes = FromUtf8(value.AsString(), page_);
      if (!bytes) throw Exception("the text holds a character the code page lacks");
      if (bytes->find('\0') != std::string::npos) throw Exception("the text holds a NUL");
      Fits(field, bytes->size());
      accessor_.SetAsString(*bytes);
      return;
    }
    case dictionary::ftINTEGER: {
      if (!value.IsInt() || value.AsInt() < INT32_MIN || value.AsInt() > INT32_MAX) throw wrong();
      // The text each typed write puts into the field, written as it is once it fits.
      const std::string text = std::to_string(value.AsInt());
      Fits(field, text.size());
      accessor_.SetAsString(text);
      return;
    }
    case dictionary::ftFLOAT: {
      if (!value.IsNumber()) throw wrong();
      const std::string text = dictionary::FloatToText(value.AsDouble(), table_.DecimalSeparator());
      Fits(field, text.size());
      accessor_.SetAsString(text);
      return;
    }
    case dictionary::ftBOOLEAN: {
      if (!value.IsBool()) throw wrong();
      const std::string& text = value.AsBool() ? table_.TRUEFormat() : table_.FALSEFormat();
      Fits(field, text.size());
      accessor_.SetAsString(text);
      return;
    }
    default: {
      if (!value.IsString()) throw wrong();
      const double d = DateValue(value.AsString(), type);
      const std::string text =
          type == dictionary::ftDATE ? dictionary::DateToText(d, table_.DATEFormat())
          : type == dictionary::ftTIME
              ? dictionary::TimeToText(d, table_.TIMEFormat())
              : dictionary::DateTimeToText(d, table_.DATEFormat(), table_.TIMEFormat());
      Fits(field, text.size());
      accessor_.SetAsString(text);
      return;
    }
  }
}

json::Value TypedRecords::FromCsv(size_t field, const std::string& cell, bool quoted) const {
  const TxFieldType type = fields_[field].type;
  if (!quoted && cell.empty()) return nullptr;
  switch (type) {
    case dictionary::ftINTEGER: {
      const std::optional<int32_t> n = dictionary::ParseInteger(cell);
      if (!n) throw Exception("\"" + cell + "\" is not a whole number");
      return *n;
    }
    case dictionary::ftFLOAT: {
      const std::optional<double> d = dictionary::TextToFloat(cell, '.');
      if (!d) throw Exception("\"" + cell + "\" is not a number");
      return *d;
    }
    case dictionary::ftBOOLEAN:
      if (cell == "true") return true;
      if (cell == "false") return false;
      throw Exception("\"" + cell + "\" is not true or false");
    default:
      return cell;
  }
}

bool ReadCsvRecord(std::istream& in, std::vector<CsvCell>& cells, uint64_t& line, size_t limit) {
  cells.clear();
  std::string text;
  LineRead read = ReadLine(in, text, limit);
  if (read == LineRead::kEnd) return false;
  ++line;
  const uint64_t first_line = line;
  // The record's lines together stay within the limit.
  size_t left = limit;
  auto take = [&] {
    if (read == LineRead::kTooLong || text.size() > left) {
      throw Exception("line " + std::to_string(first_line) + ": a record longer than " +
                      SizeText(limit));
    }
    left -= text.size();
  };
  take();
  if (!text.empty() && text.back() == '\r') text.pop_back();  // written on another system
  size_t i = 0;
  for (;;) {
    CsvCell cell;
    if (i < text.size() && text[i] == '"') {
      cell.quoted = true;
      ++i;
      for (;;) {  // runs of characters up to the next quote; a quoted cell may span lines
        const size_t quote = text.find('"', i);
        if (quote == std::string::npos) {
          cell.text.append(text, i, std::string::npos);
          read = ReadLine(in, text, left);
          if (read == LineRead::kEnd) {
            throw Exception("line " + std::to_string(first_line) + ": a quote is never closed");
          }
          ++line;
          take();
          if (!text.empty() && text.back() == '\r') text.pop_back();
          cell.text += '\n';
          i = 0;
          continue;
        }
        cell.text.append(text, i, quote - i);
        i = quote + 1;
        if (i < text.size() && text[i] == '"') {
          cell.text += '"';
          ++i;
          continue;
        }
        break;
      }
      if (i < text.size() && text[i] != ',') {
        throw Exception("line " + std::to_string(line) + ": text after a closing quote");
      }
    } else {
      const size_t comma = std::min(text.find(',', i), text.size());
      cell.text.assign(text, i, comma - i);
      i = comma;
    }
    cells.push_back(std::move(cell));
    if (i >= text.size()) break;
    ++i;  // the comma
  }
  return true;
}

void AppendCsvCell(std::string& out, const json::Value& value) {
  if (value.IsNull()) return;
  if (!value.IsString()) {
    AppendJson(out, value);
    return;
  }
  out += '"';
  for (char c : value.AsString()) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

void AppendJson(std::string& out, const json::Value& value) {
  switch (value.kind()) {
    case json::Value::Kind::kNull:
      out += "null";
      return;
    case json::Value::Kind::kBool:
      out += value.AsBool() ? "true" : "false";
      return;
    case json::Value::Kind::kInt:
      out += std::to_string(value.AsInt());
      return;
    case json::Value::Kind::kDouble: {
      const double d = value.AsDouble();
      if (!std::isfinite(d)) {
        out += "null";
        return;
      }
      // The shortest text that reads back as the same number.
      char text[32];
      const std::to_chars_result r = std::to_chars(text, text + sizeof text, d);
      out.append(text, r.ptr);
      return;
    }
    case json::Value::Kind::kString: {
      out += '"';
      for (char c : value.AsString()) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
          out += '\\';
          out += c;
        } else if (c == '\n') {
          out += "\\n";
        } else if (c == '\r') {
          out += "\\r";
        } else if (c == '\t') {
          out += "\\t";
        } else if (u < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", u);
          out += esc;
        } else {
          out += c;
        }
      }
      out += '"';
      return;
    }
    default:
      out += json::Write(value);
      return;
  }
}

}  // namespace vastrel::cli
