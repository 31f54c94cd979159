#include "automation/json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
#include <system_error>
#include <unordered_set>
#include <vector>

#include "platform/utf8.h"

namespace vastrel::automation::json {
namespace {

// The library's value type with members in insertion order; the reader and the writer use
// it only for its SAX interface and its escaping of texts, never as a document.
using Library = nlohmann::ordered_json;

constexpr int kDepthCeiling = 512;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The library's reader takes its input through an iterator. This one notes the end of the
// furthest byte the reader has taken, so that the callbacks, which carry no position, learn
// where they are: after '[' or '{' the byte before is the bracket, after a member name it
// is the closing quote. The reader takes one byte at a time, in order, and never more than
// one byte beyond the token it has scanned (a number's end, which it reads again).
class TrackingIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  TrackingIterator() = default;
  TrackingIterator(const char* at, const char** read_end) : at_(at), read_end_(read_end) {}

  reference operator*() const {
    *read_end_ = at_ + 1;
    return *at_;
  }
  TrackingIterator& operator++() {
    ++at_;
    return *this;
  }
  TrackingIterator operator++(int) {
    TrackingIterator before = *this;
    ++at_;
    return before;
  }
  friend bool operator==(const TrackingIterator& a, const TrackingIterator& b) {
    return a.at_ == b.at_;
  }

 private:
  const char* at_ = nullptr;
  const char** read_end_ = nullptr;
};

// Builds a Value from the library's SAX events and judges what the library leaves to the
// caller: member names held twice, nesting deeper than the limit, numbers that do not fit a
// double, bytes after a NUL that the library takes for the end of the text. A fault the
// library finds arrives in parse_error as the offset of the furthest byte it read and a
// message naming what it was reading and what it expected; Refuse() turns both into the
// place where the faulty token starts and a message that says what was expected there.
class Reader final : public nlohmann::json_sax<Library> {
 public:
  Reader(std::string_view text, int max_depth)
      : in_(text), max_depth_(std::min(max_depth, kDepthCeiling)), read_end_(text.data()) {}

  Value Read() {
    const TrackingIterator first(in_.data(), &read_end_);
    const TrackingIterator last(in_.data() + in_.size(), &read_end_);
    if (!Library::sax_parse(first, last, this)) Fail(ReadEnd(), "not a JSON text");
    // The library ends the text at a NUL byte where a token may start.
    const size_t end = ReadEnd();
    if (end > 0 && in_[end - 1] == '\0') {
      Fail(end - 1, "unexpected text after the value, found " + Found(end - 1));
    }
    return std::move(root_);
  }

  bool null() override { return Add(Value()); }
  bool boolean(bool b) override { return Add(Value(b)); }
  bool number_integer(number_integer_t i) override { return Add(Value(static_cast<int64_t>(i))); }
  bool number_unsigned(number_unsigned_t u) override {
    if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return Add(Value(static_cast<int64_t>(u)));
    }
    return Add(Value(static_cast<double>(u)));  // too large for a whole number
  }
  bool number_float(number_float_t, const string_t& digits) override {
    // The library spells the decimal point as the locale does and accepts numbers too
    // small for a double as zero: the number is read again from its own text, locale-free,
    // and refused when it does not fit.
    std::string text = digits;
    for (char& c : text) {
      if (!IsDigit(c) && c != 'e' && c != 'E' && c != '+' && c != '-') c = '.';
    }
    double d = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), d);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size() || !std::isfinite(d)) {
      // The reader has taken the number and, unless the text ends there, one byte more.
      const size_t read = ReadEnd();
      const size_t end = IsDigit(in_[read - 1]) ? read : read - 1;
      Fail(end - digits.size(), "number out of range");
    }
    return Add(Value(d));
  }
  bool string(string_t& s) override { return Add(Value(std::move(s))); }
  bool binary(binary_t&) override { return false; }  // JSON text holds none

  bool start_object(std::size_t) override {
    Enter();
    stack_.push_back(Frame{Value(Object()), {}, {}});
    return true;
  }
  bool key(string_t& name) override {
    Frame& top = stack_.back();
    // Object::Find walks the members; a set keeps the test linear for hostile objects with
    // many members.
    if (!top.names.insert(name).second) {
      Fail(OpeningQuote(ReadEnd() - 1), "duplicate member name \"" + name + "\"");
    }
    top.key = std::move(name);
    return true;
  }
  bool end_object() override { return Leave(); }
  bool start_array(std::size_t) override {
    Enter();
    stack_.push_back(Frame{Value(Array()), {}, {}});
    return true;
  }
  bool end_array() override { return Leave(); }

  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception& e) override {
    Refuse(position, e);
  }

 private:
  struct Frame {
    Value value;  // the array or object being read
    std::string key;
    std::unordered_set<std::string> names;
  };

  size_t ReadEnd() const { return static_cast<size_t>(read_end_ - in_.data()); }

  void Enter() {
    if (static_cast<int>(stack_.size()) >= max_depth_) {
      Fail(ReadEnd() - 1, "nesting deeper than " + std::to_string(max_depth_) + " levels");
    }
  }

  bool Leave() {
    Value done = std::move(stack_.back().value);
    stack_.pop_back();
    return Add(std::move(done));
  }

  bool Add(Value v) {
    if (stack_.empty()) {
      root_ = std::move(v);
    } else if (Frame& top = stack_.back(); top.value.IsArray()) {
      top.value.AsArray().push_back(std::move(v));
    } else {
      top.value.AsObject().Append(std::move(top.key), std::move(v));
    }
    return true;
  }

  // ---- Where a fault is, and what it is ----------------------------------------------------

  // What stands at a position, for messages.
  std::string Found(size_t at) const {
    if (at >= in_.size()) return "the end of the text";
    const unsigned char c = static_cast<unsigned char>(in_[at]);
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
    // Columns count characters, not bytes. The text before a fault is valid UTF-8 (the
    // first byte that is not ends the reading); a stray byte would count as one.
    int column = 1;
    for (size_t i = line_start; i < at; ++column) {
      const size_t len = platform::DecodeUtf8(in_, i);
      i += len == 0 ? 1 : len;
    }
    throw ParseError(line, column, what);
  }

  // The opening quote of the text whose content runs up to `before`: the nearest quote
  // that no backslash escapes.
  size_t OpeningQuote(size_t before) const {
    for (size_t j = std::min(before, in_.size()); j-- > 0;) {
      if (in_[j] != '"') continue;
      size_t backslashes = 0;
      while (backslashes < j && in_[j - 1 - backslashes] == '\\') ++backslashes;
      if (backslashes % 2 == 0) return j;
    }
    return before;
  }

  // The start of the number that ends at `end`. A '-' that follows no exponent mark starts
  // a number, so two numbers run together only where the first is 0 or -0 and digits follow
  // it; the run then starts at the first, where the fault is.
  size_t NumberStart(size_t end) const {
    size_t i = std::min(end, in_.size());
    while (i > 0) {
      const char c = in_[i - 1];
      const bool exponent_mark = (c == 'e' || c == 'E') && i >= 2 && IsDigit(in_[i - 2]);
      if (IsDigit(c) || c == '.' || c == '+' || exponent_mark) {
        --i;
      } else if (c == '-') {
        // A sign after an exponent mark belongs to the number; any other starts it.
        --i;
        if (i >= 2 && (in_[i - 1] == 'e' || in_[i - 1] == 'E') && IsDigit(in_[i - 2])) continue;
        break;
      } else {
        break;
      }
    }
    return i;
  }

  // The start of the true, false or null whose spelling broke at `bad`, or `bad` itself
  // when no such word leads up to it.
  size_t WordStart(size_t bad) const {
    for (std::string_view word : {"true", "false", "null"}) {
      for (size_t k = 1; k < word.size() && k <= bad; ++k) {
        if (in_.substr(bad - k, k) == word.substr(0, k)) return bad - k;
      }
    }
    return bad;
  }

  // The first byte of the UTF-8 sequence that the byte at `bad` breaks.
  size_t SequenceStart(size_t bad) const {
    size_t i = bad;
    while (i > 0 && bad - i < 3 && (static_cast<unsigned char>(in_[i - 1]) & 0xC0) == 0x80) --i;
    if (i == 0) return bad;
    const unsigned char lead = static_cast<unsigned char>(in_[i - 1]);
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return bad - (i - 1) < length ? i - 1 : bad;
  }

  // The backslash of the high surrogate escape whose pair broke at `bad`, which is 7 bytes
  // on when a backslash follows the escape without a 'u', 6 when anything else but a
  // backslash follows it, and 11 when the escape after it is no low surrogate (bad is then
  // the last digit of that escape).
  size_t HighSurrogateStart(size_t bad) const {
    if (in_[bad - 1] == '\\') return bad - 7;
    if (in_[bad - 6] == '\\' && in_[bad - 5] == 'u') return bad - 6;
    return bad - 11;
  }

  [[noreturn]] void Refuse(size_t position, const nlohmann::detail::exception& e) {
    // position counts the bytes the library has read, the end of the text as one byte.
    const size_t bad = std::min(position == 0 ? 0 : position - 1, in_.size());
    if (e.id == 406) Fail(NumberStart(position), "number out of range");

    // "... syntax error while parsing <context> - <fault>[; expected <token>]", where the
    // fault is "unexpected <token>" or what the scanner found wrong and what it read.
    const std::string_view message = e.what();
    constexpr std::string_view kParsing = "while parsing ";
    const size_t context_at = message.find(kParsing);
    const size_t dash_at = message.find(" - ", context_at);
    if (context_at == std::string_view::npos || dash_at == std::string_view::npos) {
      Fail(bad, "not a JSON text");
    }
    const std::string_view context =
        message.substr(context_at + kParsing.size(), dash_at - context_at - kParsing.size());
    std::string_view fault = message.substr(dash_at + 3);
    const bool at_end = fault.ends_with("; expected end of input");
    // What the scanner read may hold any words: only the text before it is looked at.
    fault = fault.substr(0, fault.find("; last read: "));

    // Where the faulty token starts.
    constexpr std::string_view kUnexpected = "unexpected ";
    const bool scanned = !fault.starts_with(kUnexpected);
    bool number = false;
    bool text = false;
    size_t start = bad;
    if (!scanned) {
      const std::string_view token = fault.substr(kUnexpected.size());
      if (token.starts_with("number literal")) {
        number = true;
        start = NumberStart(position);
      } else if (token.starts_with("string literal")) {
        start = OpeningQuote(bad);
      } else if (token.starts_with("true literal") || token.starts_with("null literal")) {
        start = position - 4;
      } else if (token.starts_with("false literal")) {
        start = position - 5;
      }
    } else if (fault.starts_with("invalid literal")) {
      start = WordStart(bad);
    } else if (fault.starts_with("invalid number")) {
      number = true;
      start = NumberStart(bad);
    } else if (fault.starts_with("invalid string")) {
      text = true;
      start = OpeningQuote(bad);
    } else if (fault.starts_with("invalid BOM")) {
      start = 0;
    }

    if (number) {
      const size_t end = scanned ? bad : position;
      const std::string_view n = in_.substr(start, end > start ? end - start : 0);
      const size_t zero = n.starts_with('-') ? 1 : 0;
      if (n.size() > zero + 1 && n[zero] == '0' && IsDigit(n[zero + 1])) {
        Fail(start, "invalid number (leading zeros are not allowed)");
      }
    }

    if (at_end) Fail(start, "unexpected text after the value, found " + Found(start));
    if (context == "object key") {
      if (text) RefuseText(fault, bad);
      Fail(start, "expected a member name in double quotes, found " + Found(start));
    }
    if (context == "object separator") {
      Fail(start, "expected ':' after the member name, found " + Found(start));
    }
    if (context == "array") {
      Fail(start, "expected ',' or ']' after an array element, found " + Found(start));
    }
    if (context == "object") {
      Fail(start, "expected ',' or '}' after an object member, found " + Found(start));
    }
    // A value was expected.
    if (text) RefuseText(fault, bad);
    if (number && scanned) {
      if (fault.find("after '.'") != std::string_view::npos) {
        Fail(start, "invalid number (digits must follow the decimal point)");
      }
      if (fault.find("exponent") != std::string_view::npos) {
        Fail(start, "invalid number (digits must follow the exponent mark)");
      }
      Fail(start, "invalid number");
    }
    Fail(start, "expected a value, found " + Found(start));
  }

  // A text the scanner refused; bad is the byte it stopped at.
  [[noreturn]] void RefuseText(std::string_view fault, size_t bad) const {
    if (fault.find("missing closing quote") != std::string_view::npos) {
      Fail(OpeningQuote(bad), "text not closed by a double quote");
    }
    if (fault.find("after backslash") != std::string_view::npos) {
      if (bad >= in_.size()) Fail(bad - 1, "text not closed by a double quote");
      Fail(bad - 1, "invalid escape in a text");
    }
    if (fault.find("4 hex digits") != std::string_view::npos) {
      Fail(bad, "expected four hex digits after \\u, found " + Found(bad));
    }
    if (fault.find("must follow U+D800") != std::string_view::npos) {
      Fail(bad - 5, "unpaired surrogate in a \\u escape");
    }
    if (fault.find("must be followed by U+DC00") != std::string_view::npos) {
      Fail(HighSurrogateStart(bad), "unpaired surrogate in a \\u escape");
    }
    if (fault.find("control character") != std::string_view::npos) {
      Fail(bad, "control character inside a text (write it as an escape)");
    }
    if (fault.find("UTF-8") != std::string_view::npos) {
      Fail(SequenceStart(bad), "invalid UTF-8 inside a text");
    }
    Fail(bad, "invalid text");
  }

  std::string_view in_;
  int max_depth_;
  const char* read_end_;
  std::vector<Frame> stack_;
  Value root_;
};

// ---- Writing ----------------------------------------------------------------------------

void WriteString(std::string& out, std::string_view s) {
  // Judged by the component's own rules, as every text it takes in.
  if (!platform::IsValidUtf8(s)) throw vastrel::Exception("JSON text is not valid UTF-8");
  // Most texts need no escape and go out as they stand; the others take the library's
  // escapes, the shortest JSON has: two characters for the quote, the backslash and the
  // five named controls, six for any other control character.
  const bool plain = std::none_of(s.begin(), s.end(), [](char c) {
    return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
  });
  if (!plain) {
    out += Library(s).dump();
    return;
  }
  out.push_back('"');
  out.append(s);
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
  return Reader(text, options.max_depth).Read();
}

std::string Write(const Value& value) {
  std::string out;
  WriteValue(out, value, 0);
  out.push_back('\n');
  return out;
}

}  // namespace vastrel::automation::json
