#include "automation/json.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/error.h"

namespace vastrel::automation::json {

Value Value::Bool(bool b) {
  Value v;
  v.kind_ = Kind::kBool;
  v.b_ = b;
  return v;
}
Value Value::Integer(int64_t i) {
  Value v;
  v.kind_ = Kind::kInteger;
  v.i_ = i;
  return v;
}
Value Value::Number(double d) {
  Value v;
  v.kind_ = Kind::kNumber;
  v.d_ = d;
  return v;
}
Value Value::String(std::string s) {
  Value v;
  v.kind_ = Kind::kString;
  v.s_ = std::move(s);
  return v;
}
Value Value::Array(std::vector<Value> items) {
  Value v;
  v.kind_ = Kind::kArray;
  v.items_ = std::move(items);
  return v;
}
Value Value::Object(std::vector<Member> members) {
  Value v;
  v.kind_ = Kind::kObject;
  v.members_ = std::move(members);
  return v;
}

const Value* Value::Find(std::string_view name) const {
  for (const Member& m : members_)
    if (m.first == name) return &m.second;
  return nullptr;
}

// ---------------------------------------------------------------------------------------
// Writer

namespace {

void WriteString(std::string& out, std::string_view s) {
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
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
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void NewLine(std::string& out, int indent, bool pretty) {
  if (!pretty) return;
  out += '\n';
  out.append(static_cast<size_t>(indent) * 2, ' ');
}

}  // namespace

void Value::WriteTo(std::string& out, int indent, bool pretty) const {
  switch (kind_) {
    case Kind::kNull:
      out += "null";
      break;
    case Kind::kBool:
      out += b_ ? "true" : "false";
      break;
    case Kind::kInteger:
      out += std::to_string(i_);
      break;
    case Kind::kNumber: {
      if (!std::isfinite(d_)) {
        out += "null";  // JSON has no form for them
        break;
      }
      char buf[64];
      auto r = std::to_chars(buf, buf + sizeof buf, d_);
      out.append(buf, r.ptr);
      break;
    }
    case Kind::kString:
      WriteString(out, s_);
      break;
    case Kind::kArray:
      out += '[';
      for (size_t i = 0; i < items_.size(); ++i) {
        if (i) out += ',';
        NewLine(out, indent + 1, pretty);
        items_[i].WriteTo(out, indent + 1, pretty);
      }
      if (!items_.empty()) NewLine(out, indent, pretty);
      out += ']';
      break;
    case Kind::kObject:
      out += '{';
      for (size_t i = 0; i < members_.size(); ++i) {
        if (i) out += ',';
        NewLine(out, indent + 1, pretty);
        WriteString(out, members_[i].first);
        out += pretty ? ": " : ":";
        members_[i].second.WriteTo(out, indent + 1, pretty);
      }
      if (!members_.empty()) NewLine(out, indent, pretty);
      out += '}';
      break;
  }
}

std::string Value::Write(bool pretty) const {
  std::string out;
  WriteTo(out, 0, pretty);
  if (pretty) out += '\n';
  return out;
}

// ---------------------------------------------------------------------------------------
// Reader

namespace {

class Reader {
 public:
  explicit Reader(std::string_view text) : t_(text) {}

  Value Document() {
    Value v = ReadValue(0);
    SkipBlanks();
    if (p_ != t_.size()) Fail("text after the value");
    return v;
  }

 private:
  [[noreturn]] void Fail(const char* reason) const {
    throw Exception(std::string("Invalid property bag: ") + reason + " at byte " +
                    std::to_string(p_));
  }
  void SkipBlanks() {
    while (p_ < t_.size() && (t_[p_] == ' ' || t_[p_] == '\t' || t_[p_] == '\n' || t_[p_] == '\r'))
      ++p_;
  }
  bool Take(char c) {
    if (p_ < t_.size() && t_[p_] == c) {
      ++p_;
      return true;
    }
    return false;
  }
  void Expect(std::string_view word) {
    if (t_.substr(p_, word.size()) != word) Fail("unknown word");
    p_ += word.size();
  }

  Value ReadValue(int depth) {
    if (depth > kMaxDepth) Fail("nesting too deep");
    SkipBlanks();
    if (p_ >= t_.size()) Fail("value expected");
    switch (t_[p_]) {
      case '{':
        return ReadObject(depth);
      case '[':
        return ReadArray(depth);
      case '"':
        return Value::String(ReadString());
      case 't':
        Expect("true");
        return Value::Bool(true);
      case 'f':
        Expect("false");
        return Value::Bool(false);
      case 'n':
        Expect("null");
        return Value();
      default:
        return ReadNumber();
    }
  }

  Value ReadObject(int depth) {
    ++p_;  // {
    Value obj = Value::Object();
    SkipBlanks();
    if (Take('}')) return obj;
    for (;;) {
      SkipBlanks();
      if (p_ >= t_.size() || t_[p_] != '"') Fail("member name expected");
      std::string name = ReadString();
      if (obj.Find(name)) Fail("repeated member name");
      SkipBlanks();
      if (!Take(':')) Fail("':' expected");
      obj.Set(std::move(name), ReadValue(depth + 1));
      SkipBlanks();
      if (Take('}')) return obj;
      if (!Take(',')) Fail("',' or '}' expected");
    }
  }

  Value ReadArray(int depth) {
    ++p_;  // [
    Value arr = Value::Array();
    SkipBlanks();
    if (Take(']')) return arr;
    for (;;) {
      arr.Push(ReadValue(depth + 1));
      SkipBlanks();
      if (Take(']')) return arr;
      if (!Take(',')) Fail("',' or ']' expected");
    }
  }

  unsigned Hex4() {
    if (t_.size() - p_ < 4) Fail("short \\u escape");
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = t_[p_++];
      v <<= 4;
      if (c >= '0' && c <= '9')
        v |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        v |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        v |= static_cast<unsigned>(c - 'A' + 10);
      else
        Fail("bad \\u escape");
    }
    return v;
  }

  static void AppendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  std::string ReadString() {
    ++p_;  // opening quote
    std::string out;
    for (;;) {
      if (p_ >= t_.size()) Fail("unterminated string");
      const unsigned char c = static_cast<unsigned char>(t_[p_++]);
      if (c == '"') return out;
      if (c < 0x20) Fail("control character in string");
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (p_ >= t_.size()) Fail("unterminated escape");
      switch (t_[p_++]) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          unsigned cp = Hex4();
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (!(Take('\\') && Take('u'))) Fail("lone surrogate");
            const unsigned low = Hex4();
            if (low < 0xDC00 || low > 0xDFFF) Fail("lone surrogate");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            Fail("lone surrogate");
          }
          AppendUtf8(out, cp);
          break;
        }
        default:
          Fail("unknown escape");
      }
    }
  }

  Value ReadNumber() {
    const size_t start = p_;
    Take('-');
    if (p_ >= t_.size() || t_[p_] < '0' || t_[p_] > '9') Fail("value expected");
    if (!Take('0'))
      while (p_ < t_.size() && t_[p_] >= '0' && t_[p_] <= '9') ++p_;
    bool integer = true;
    if (Take('.')) {
      integer = false;
      if (p_ >= t_.size() || t_[p_] < '0' || t_[p_] > '9') Fail("digit expected");
      while (p_ < t_.size() && t_[p_] >= '0' && t_[p_] <= '9') ++p_;
    }
    if (p_ < t_.size() && (t_[p_] == 'e' || t_[p_] == 'E')) {
      integer = false;
      ++p_;
      if (!Take('+')) Take('-');
      if (p_ >= t_.size() || t_[p_] < '0' || t_[p_] > '9') Fail("digit expected");
      while (p_ < t_.size() && t_[p_] >= '0' && t_[p_] <= '9') ++p_;
    }
    const char* first = t_.data() + start;
    const char* last = t_.data() + p_;
    if (integer) {
      int64_t i;
      auto r = std::from_chars(first, last, i);
      if (r.ec == std::errc() && r.ptr == last) return Value::Integer(i);
    }
    double d;
    auto r = std::from_chars(first, last, d);
    if (r.ec != std::errc() || r.ptr != last || !std::isfinite(d)) Fail("number out of range");
    return Value::Number(d);
  }

  std::string_view t_;
  size_t p_ = 0;
};

}  // namespace

Value Parse(std::string_view text) { return Reader(text).Document(); }

}  // namespace vastrel::automation::json
