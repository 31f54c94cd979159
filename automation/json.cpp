#include "automation/json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>
#include <unordered_set>

#include "platform/utf8.h"

namespace vastrel::automation::json {
namespace {

constexpr int kDepthCeiling = 512;

class Parser {
 public:
  Parser(std::string_view text, int max_depth)
      : in_(text), max_depth_(std::min(max_depth, kDepthCeiling)) {}

  Value ParseDocument() {
    if (in_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    SkipSpace();
    Value v = ParseValue(0);
    SkipSpace();
    if (pos_ != in_.size()) Fail(pos_, "unexpected text after the value, found " + Found());
    return v;
  }

 private:
  bool AtEnd() const { return pos_ >= in_.size(); }
  unsigned char Peek() const { return static_cast<unsigned char>(in_[pos_]); }

  void SkipSpace() {
    while (!AtEnd()) {
      const char c = in_[pos_];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
      ++pos_;
    }
  }

  // What stands at the current position, for messages.
  std::string Found() const {
    if (AtEnd()) return "the end of the text";
    const unsigned char c = Peek();
    if (c >= 0x20 && c < 0x7F) return std::string("'") + static_cast<char>(c) + "'";
    static const char kHex[] = "0123456789ABCDEF";
    if (c < 0x80) return std::string("the control character 0x") + kHex[c >> 4] + kHex[c & 15];
    return "a non-ASCII character";
  }

  [[noreturn]] void Fail(size_t at, const std::string& what) const {
    at = std::min(at, in_.size());
    int line = 1;
    size_t line_start = 0;
    for (size_t i = 0; i < at; ++i) {
      if (in_[i] == '\n') {
        ++line;
        line_start = i + 1;
      }
    }
    int column = 1;
    for (size_t i = line_start; i < at; ++i) {
      if ((static_cast<unsigned char>(in_[i]) & 0xC0) != 0x80) ++column;  // characters, not bytes
    }
    throw ParseError(line, column, what);
  }

  Value ParseValue(int depth) {
    if (AtEnd()) Fail(pos_, "expected a value, found the end of the text");
    switch (Peek()) {
      case '{':
        return ParseObject(depth + 1);
      case '[':
        return ParseArray(depth + 1);
      case '"':
        return Value(ParseString());
      case 't':
        ExpectWord("true");
        return Value(true);
      case 'f':
        ExpectWord("false");
        return Value(false);
      case 'n':
        ExpectWord("null");
        return Value();
      default:
        if (Peek() == '-' || (Peek() >= '0' && Peek() <= '9')) return ParseNumber();
        Fail(pos_, "expected a value, found " + Found());
    }
  }

  void ExpectWord(std::string_view word) {
    if (in_.substr(pos_, word.size()) != word) Fail(pos_, "expected a value, found " + Found());
    pos_ += word.size();
  }

  void EnterDepth(int depth) const {
    if (depth > max_depth_) {
      Fail(pos_, "nesting deeper than " + std::to_string(max_depth_) + " levels");
    }
  }

  Value ParseObject(int depth) {
    EnterDepth(depth);
    ++pos_;  // '{'
    Object object;
    // Object::Find walks the members; a set keeps the duplicate test linear for hostile
    // objects with many members.
    std::unordered_set<std::string> names;
    SkipSpace();
    if (!AtEnd() && Peek() == '}') {
      ++pos_;
      return Value(std::move(object));
    }
    for (;;) {
      SkipSpace();
      if (AtEnd() || Peek() != '"') {
        Fail(pos_, "expected a member name in double quotes, found " + Found());
      }
      const size_t name_at = pos_;
      std::string name = ParseString();
      if (!names.insert(name).second) Fail(name_at, "duplicate member name \"" + name + "\"");
      SkipSpace();
      if (AtEnd() || Peek() != ':')
        Fail(pos_, "expected ':' after the member name, found " + Found());
      ++pos_;
      SkipSpace();
      object.Append(std::move(name), ParseValue(depth));
      SkipSpace();
      if (!AtEnd() && Peek() == ',') {
        ++pos_;
        continue;
      }
      if (!AtEnd() && Peek() == '}') {
        ++pos_;
        return Value(std::move(object));
      }
      Fail(pos_, "expected ',' or '}' after an object member, found " + Found());
    }
  }

  Value ParseArray(int depth) {
    EnterDepth(depth);
    ++pos_;  // '['
    Array array;
    SkipSpace();
    if (!AtEnd() && Peek() == ']') {
      ++pos_;
      return Value(std::move(array));
    }
    for (;;) {
      SkipSpace();
      array.push_back(ParseValue(depth));
      SkipSpace();
      if (!AtEnd() && Peek() == ',') {
        ++pos_;
        continue;
      }
      if (!AtEnd() && Peek() == ']') {
        ++pos_;
        return Value(std::move(array));
      }
      Fail(pos_, "expected ',' or ']' after an array element, found " + Found());
    }
  }

  // Four hex digits at the current position.
  uint32_t ParseHex4() {
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      if (AtEnd()) Fail(pos_, "expected four hex digits after \\u, found the end of the text");
      const char c = in_[pos_];
      uint32_t d;
      if (c >= '0' && c <= '9') {
        d = static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        d = static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        d = static_cast<uint32_t>(c - 'A' + 10);
      } else {
        Fail(pos_, "expected four hex digits after \\u, found " + Found());
      }
      v = v << 4 | d;
      ++pos_;
    }
    return v;
  }

  std::string ParseString() {
    const size_t open_at = pos_;
    ++pos_;  // '"'
    std::string out;
    for (;;) {
      if (AtEnd()) Fail(open_at, "text not closed by a double quote");
      const unsigned char c = Peek();
      if (c == '"') {
        ++pos_;
        return out;
      }
      if (c < 0x20) Fail(pos_, "control character inside a text (write it as an escape)");
      if (c == '\\') {
        ParseEscape(out);
        continue;
      }
      if (c < 0x80) {
        out.push_back(static_cast<char>(c));
        ++pos_;
        continue;
      }
      const size_t len = platform::DecodeUtf8(in_, pos_);
      if (len == 0) Fail(pos_, "invalid UTF-8 inside a text");
      out.append(in_.substr(pos_, len));
      pos_ += len;
    }
  }

  void ParseEscape(std::string& out) {
    const size_t escape_at = pos_;
    ++pos_;  // '\'
    if (AtEnd()) Fail(escape_at, "text not closed by a double quote");
    const char e = in_[pos_++];
    switch (e) {
      case '"':
        out.push_back('"');
        return;
      case '\\':
        out.push_back('\\');
        return;
      case '/':
        out.push_back('/');
        return;
      case 'b':
        out.push_back('\b');
        return;
      case 'f':
        out.push_back('\f');
        return;
      case 'n':
        out.push_back('\n');
        return;
      case 'r':
        out.push_back('\r');
        return;
      case 't':
        out.push_back('\t');
        return;
      case 'u':
        break;
      default:
        Fail(escape_at, "invalid escape in a text");
    }
    uint32_t cp = ParseHex4();
    if (cp >= 0xDC00 && cp <= 0xDFFF) Fail(escape_at, "unpaired surrogate in a \\u escape");
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (in_.substr(pos_, 2) != "\\u") Fail(escape_at, "unpaired surrogate in a \\u escape");
      pos_ += 2;
      const uint32_t low = ParseHex4();
      if (low < 0xDC00 || low > 0xDFFF) Fail(escape_at, "unpaired surrogate in a \\u escape");
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    platform::AppendUtf8(out, cp);
  }

  Value ParseNumber() {
    const size_t start = pos_;
    const auto digit = [&] { return !AtEnd() && Peek() >= '0' && Peek() <= '9'; };
    if (Peek() == '-') ++pos_;
    if (!digit()) Fail(start, "invalid number");
    if (Peek() == '0') {
      ++pos_;
      if (digit()) Fail(start, "invalid number (leading zeros are not allowed)");
    } else {
      while (digit()) ++pos_;
    }
    bool whole = true;
    if (!AtEnd() && Peek() == '.') {
      whole = false;
      ++pos_;
      if (!digit()) Fail(start, "invalid number (digits must follow the decimal point)");
      while (digit()) ++pos_;
    }
    if (!AtEnd() && (Peek() == 'e' || Peek() == 'E')) {
      whole = false;
      ++pos_;
      if (!AtEnd() && (Peek() == '+' || Peek() == '-')) ++pos_;
      if (!digit()) Fail(start, "invalid number (digits must follow the exponent mark)");
      while (digit()) ++pos_;
    }
    const char* first = in_.data() + start;
    const char* last = in_.data() + pos_;
    if (whole) {
      int64_t i = 0;
      const auto r = std::from_chars(first, last, i);
      if (r.ec == std::errc() && r.ptr == last) return Value(i);
      // Too large for a whole number: it is read as a double below.
    }
    double d = 0;
    // from_chars ignores the locale, unlike strtod: a comma locale changes nothing here.
    const auto r = std::from_chars(first, last, d);
    if (r.ec != std::errc() || r.ptr != last || !std::isfinite(d)) {
      Fail(start, "number out of range");
    }
    return Value(d);
  }

  std::string_view in_;
  size_t pos_ = 0;
  int max_depth_;
};

// ---- Writing ----------------------------------------------------------------------------

void WriteString(std::string& out, std::string_view s) {
  static const char kHex[] = "0123456789abcdef";
  out.push_back('"');
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      const size_t len = platform::DecodeUtf8(s, i);
      if (len == 0) throw vastrel::Exception("JSON text is not valid UTF-8");
      out.append(s.substr(i, len));
      i += len;
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 15]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
    ++i;
  }
  out.push_back('"');
}

void WriteDouble(std::string& out, double d) {
  if (!std::isfinite(d)) throw vastrel::Exception("JSON cannot hold a number that is not finite");
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, d);
  std::string_view text(buf, static_cast<size_t>(r.ptr - buf));
  out.append(text);
  // Keep it a double when read back: "3" would come back as a whole number.
  if (text.find_first_of(".eE") == std::string_view::npos) out += ".0";
}

bool IsScalar(const Value& v) { return !v.IsArray() && !v.IsObject(); }

void WriteValue(std::string& out, const Value& v, int indent) {
  const auto newline = [&](int level) {
    out.push_back('\n');
    out.append(static_cast<size_t>(level) * 2, ' ');
  };
  switch (v.kind()) {
    case Value::Kind::kNull:
      out += "null";
      return;
    case Value::Kind::kBool:
      out += v.AsBool() ? "true" : "false";
      return;
    case Value::Kind::kInt: {
      char buf[24];
      const auto r = std::to_chars(buf, buf + sizeof buf, v.AsInt());
      out.append(buf, r.ptr);
      return;
    }
    case Value::Kind::kDouble:
      WriteDouble(out, v.AsDouble());
      return;
    case Value::Kind::kString:
      WriteString(out, v.AsString());
      return;
    case Value::Kind::kArray: {
      const Array& a = v.AsArray();
      if (a.empty()) {
        out += "[]";
        return;
      }
      // A list of plain values stays on one line; a list of lists or objects takes one
      // line per element.
      const bool flat = std::all_of(a.begin(), a.end(), IsScalar);
      out.push_back('[');
      for (size_t i = 0; i < a.size(); ++i) {
        if (i > 0) out.push_back(',');
        if (flat) {
          if (i > 0) out.push_back(' ');
        } else {
          newline(indent + 1);
        }
        WriteValue(out, a[i], indent + 1);
      }
      if (!flat) newline(indent);
      out.push_back(']');
      return;
    }
    case Value::Kind::kObject: {
      const Object& o = v.AsObject();
      if (o.empty()) {
        out += "{}";
        return;
      }
      out.push_back('{');
      bool first = true;
      for (const Member& m : o) {
        if (!first) out.push_back(',');
        first = false;
        newline(indent + 1);
        WriteString(out, m.name);
        out += ": ";
        WriteValue(out, m.value, indent + 1);
      }
      newline(indent);
      out.push_back('}');
      return;
    }
  }
}

}  // namespace

// ---- Object, Value ----------------------------------------------------------------------

const Value* Object::Find(std::string_view name) const {
  for (const Member& m : members_) {
    if (m.name == name) return &m.value;
  }
  return nullptr;
}

Value* Object::Find(std::string_view name) {
  return const_cast<Value*>(static_cast<const Object&>(*this).Find(name));
}

Value& Object::Set(std::string name, Value value) {
  if (Value* existing = Find(name)) {
    *existing = std::move(value);
    return *existing;
  }
  return Append(std::move(name), std::move(value));
}

Value& Object::Append(std::string name, Value value) {
  members_.push_back(Member{std::move(name), std::move(value)});
  return members_.back().value;
}

bool Object::Remove(std::string_view name) {
  const auto it = std::find_if(members_.begin(), members_.end(),
                               [&](const Member& m) { return m.name == name; });
  if (it == members_.end()) return false;
  members_.erase(it);
  return true;
}

bool operator==(const Object& a, const Object& b) { return a.members_ == b.members_; }

double Value::AsDouble() const {
  if (IsInt()) return static_cast<double>(AsInt());
  return Get<double>();
}

const char* Value::KindName(Kind kind) {
  switch (kind) {
    case Kind::kNull:
      return "null";
    case Kind::kBool:
      return "true or false";
    case Kind::kInt:
      return "a whole number";
    case Kind::kDouble:
      return "a number";
    case Kind::kString:
      return "a text";
    case Kind::kArray:
      return "a list";
    case Kind::kObject:
      return "an object";
  }
  return "a value";
}

void Value::ThrowWrongKind() const {
  throw vastrel::Exception(std::string("JSON value is ") + KindName(kind()) +
                           ", not of the kind asked for");
}

ParseError::ParseError(int line, int column, const std::string& what)
    : vastrel::Exception("line " + std::to_string(line) + ", column " + std::to_string(column) +
                         ": " + what),
      line_(line),
      column_(column) {}

bool IsValidUtf8(std::string_view text) { return platform::IsValidUtf8(text); }

Value Parse(std::string_view text, const ParseOptions& options) {
  return Parser(text, options.max_depth).ParseDocument();
}

std::string Write(const Value& value) {
  std::string out;
  WriteValue(out, value, 0);
  out.push_back('\n');
  return out;
}

}  // namespace vastrel::automation::json
