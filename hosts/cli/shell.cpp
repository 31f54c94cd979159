#include "hosts/cli/shell.h"

#include <editline/readline.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "binding/engine.h"
#include "enginecore/include/wbtrv32.h"
#include "hosts/cli/record_text.h"
#include "hosts/common/bounded_read.h"
#include "keys/btrklist.h"
#include "platform/error.h"
#include "platform/locale.h"

namespace vastrel::cli {
namespace {

struct OperationName {
  uint16_t code;
  const char* name;
};
constexpr OperationName kOperations[] = {
    {BTR_OPEN, "Open"},
    {BTR_CLOSE, "Close"},
    {BTR_INSERT, "Insert"},
    {BTR_UPDATE, "Update"},
    {BTR_DELETE, "Delete"},
    {BTR_GET_EQUAL, "GetEqual"},
    {BTR_GET_NEXT, "GetNext"},
    {BTR_GET_PREVIOUS, "GetPrevious"},
    {BTR_GET_GREATER, "GetGreater"},
    {BTR_GET_GREATER_OR_EQUAL, "GetGreaterOrEqual"},
    {BTR_GET_LESS, "GetLess"},
    {BTR_GET_LESS_OR_EQUAL, "GetLessOrEqual"},
    {BTR_GET_FIRST, "GetFirst"},
    {BTR_GET_LAST, "GetLast"},
    {BTR_STAT, "Stat"},
    {BTR_BEGIN_TRANSACTION, "BeginTransaction"},
    {BTR_END_TRANSACTION, "EndTransaction"},
    {BTR_ABORT_TRANSACTION, "AbortTransaction"},
    {BTR_GET_POSITION, "GetPosition"},
    {BTR_GET_DIRECT, "GetDirect"},
    {BTR_STEP_NEXT, "StepNext"},
    {BTR_VERSION, "Version"},
    {BTR_UNLOCK, "Unlock"},
    {BTR_SET_OWNER, "SetOwner"},
    {BTR_CLEAR_OWNER, "ClearOwner"},
    {BTR_STEP_FIRST, "StepFirst"},
    {BTR_STEP_LAST, "StepLast"},
    {BTR_STEP_PREVIOUS, "StepPrevious"},
    {BTR_GET_BY_PERCENTAGE, "GetByPercentage"},
    {BTR_FIND_PERCENTAGE, "FindPercentage"},
};

constexpr const char* kHelp =
    "  OPERATION [key=N] [kb=VALUE] [db=VALUE] [len=N]\n"
    "    OPERATION  a name (GetFirst, getfirst) or a number with its biases (12, 1019)\n"
    "    key=N      the key number, kept for the calls after (-1 and below as the engine reads "
    "them)\n"
    "    kb=VALUE   the key buffer; db=VALUE the data buffer, its length the value's unless\n"
    "    len=N      says otherwise; both are kept for the calls after\n"
    "    VALUE      text (\"in quotes\" when it has blanks), hex:414243, or for kb\n"
    "               typed:v1,v2 with one value per segment of the key\n"
    "  buffers      shows the key and data buffers\n"
    "  ops          lists the operations\n"
    "  help, quit\n";

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Splits a line at blanks; double quotes keep blanks inside one word and \" is a quote.
std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, any = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted && c == '\\' && i + 1 < line.size() && line[i + 1] == '"') {
      word += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (any || !word.empty()) words.push_back(word);
      word.clear();
      any = false;
    } else {
      word += c;
    }
  }
  if (quoted) throw Exception("a quote is never closed");
  if (any || !word.empty()) words.push_back(word);
  return words;
}

int64_t Number(const std::string& text, const char* what) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0)
    throw Exception(std::string(what) + " \"" + text + "\" is not a whole number");
  return v;
}

class Shell {
 public:
  Shell(table::TBtr& t, std::ostream& out) : t_(t), out_(out) { data_.assign(4096, 0); }

  bool Open() {
    // The description first, through the table, for typed key values.
    try {
      t_.SetOpenMode(table::bomReadOnly);
      t_.Open();
      keys_ = t_.Keys();
      data_.assign(std::max<size_t>(4096, t_.RecordSize()), 0);
      t_.Close();
    } catch (const Exception& e) {
      out_ << "cannot read the file's description: " << e.what() << "\n";
      return false;
    }
    std::string path = t_.FileName();
    key_.fill(0);
    std::memcpy(key_.data(), path.data(), std::min(path.size(), key_.size() - 1));
    std::string owner = t_.DbOwner();
    std::vector<uint8_t> owner_area(owner.begin(), owner.end());
    owner_area.push_back(0);
    uint32_t len = static_cast<uint32_t>(owner_area.size());
    const int16_t status =
        engine::EngineCall(engine::kOpOpen, position_.data(), owner_area.data(), &len, key_.data(),
                           static_cast<uint8_t>(key_.size()), 0);
    out_ << "open " << path << ": status " << status << " " << engine::StatusText(status) << "\n";
    key_.fill(0);
    open_ = status == 0;
    return open_;
  }

  void Close() {
    if (!open_) return;
    uint32_t len = 0;
    const int16_t status =
        engine::EngineCall(engine::kOpClose, position_.data(), data_.data(), &len, key_.data(),
                           static_cast<uint8_t>(key_.size()), 0);
    out_ << "close: status " << status << " " << engine::StatusText(status) << "\n";
    open_ = false;
  }

  // Runs one line; false for quit. A line not understood raises vastrel::Exception.
  bool Line(const std::string& line) {
    const std::vector<std::string> words = Words(line);
    if (words.empty() || words[0][0] == '#') return true;
    const std::string first = Lower(words[0]);
    if (first == "quit" || first == "exit") return false;
    if (first == "help") {
      out_ << kHelp;
      return true;
    }
    if (first == "ops") {
      for (const OperationName& op : kOperations) out_ << "  " << op.code << " " << op.name << "\n";
      return true;
    }
    if (first == "buffers") {
      ShowBuffers();
      return true;
    }
    uint16_t op = 0;
    std::string op_name;
    if (std::isdigit(static_cast<unsigned char>(first[0]))) {
      const int64_t n = Number(first, "operation");
      if (n < 0 || n > 65535) throw Exception("operation " + first + " is out of range");
      op = static_cast<uint16_t>(n);
      for (const OperationName& o : kOperations)
        if (o.code == op % 100) op_name = o.name;
    } else {
      for (const OperationName& o : kOperations)
        if (Lower(o.name) == first) op = o.code, op_name = o.name;
      if (op_name.empty())
        throw Exception("no operation named \"" + words[0] + "\"; 'ops' lists them");
    }
    std::optional<uint32_t> length;
    for (size_t i = 1; i < words.size(); ++i) {
      const size_t eq = words[i].find('=');
      if (eq == std::string::npos) throw Exception("\"" + words[i] + "\" is not NAME=VALUE");
      const std::string name = Lower(words[i].substr(0, eq));
      const std::string value = words[i].substr(eq + 1);
      if (name == "key") {
        const int64_t k = Number(value, "key");
        if (k < -128 || k > 127) throw Exception("key " + value + " is out of range");
        key_num_ = static_cast<int16_t>(k);
      } else if (name == "kb") {
        std::vector<uint8_t> bytes =
            value.rfind("typed:", 0) == 0 ? Typed(value.substr(6)) : Bytes(value);
        if (bytes.size() > key_.size()) throw Exception("the key buffer holds 255 bytes");
        key_.fill(0);
        std::copy(bytes.begin(), bytes.end(), key_.begin());  // an empty value has no data()
      } else if (name == "db") {
        std::vector<uint8_t> bytes = Bytes(value);
        if (bytes.size() > data_.size()) data_.resize(bytes.size());
        std::fill(data_.begin(), data_.end(), 0);
        std::copy(bytes.begin(), bytes.end(), data_.begin());
        if (!length) length = static_cast<uint32_t>(bytes.size());
      } else if (name == "len") {
        const int64_t n = Number(value, "len");
        if (n < 0 || n > 16 * 1024 * 1024) throw Exception("len " + value + " is out of range");
        if (static_cast<size_t>(n) > data_.size()) data_.resize(static_cast<size_t>(n));
        length = static_cast<uint32_t>(n);
      } else {
        throw Exception("unknown setting \"" + name + "\": key, kb, db or len");
      }
    }
    if (length) length_ = *length;
    // A read answers into the whole buffer unless len says otherwise.
    uint32_t len = length                             ? *length
                   : (op % 100 == 2 || op % 100 == 3) ? length_
                                                      : static_cast<uint32_t>(data_.size());
    const int16_t status = engine::EngineCall(op, position_.data(), data_.data(), &len, key_.data(),
                                              static_cast<uint8_t>(key_.size()), key_num_);
    if (op % 100 == 0 && status == 0) open_ = true;
    if (op % 100 == 1 && status == 0) open_ = false;
    // A failed call leaves the length as it was sent; only an answer has data to show.
    shown_ = status == 0 || status == 22 ? std::min<size_t>(len, data_.size()) : 0;
    out_ << op_name << " (" << op << ") key " << key_num_ << ": status " << status << " "
         << engine::StatusText(status) << "\n";
    ShowBuffers();
    return true;
  }

 private:
  // The bytes of a value: hex:..., or text.
  static std::vector<uint8_t> Bytes(const std::string& value) {
    if (value.rfind("hex:", 0) == 0) {
      std::vector<uint8_t> out;
      if (!HexDecode(value.substr(4), out)) throw Exception("\"" + value + "\" is not hex");
      return out;
    }
    return std::vector<uint8_t>(value.begin(), value.end());
  }

  // The key buffer from one value per segment of the current key, each in its type.
  std::vector<uint8_t> Typed(const std::string& values) {
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
      const size_t comma = values.find(',', start);
      parts.push_back(values.substr(start, comma - start));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    std::vector<const keys::TKey*> segments;
    for (int i = 0, k = 0; i < keys_.Count(); ++i) {
      if (k == key_num_) segments.push_back(&keys_[i]);
      if (!keys_[i].Segment()) ++k;
    }
    if (segments.empty()) throw Exception("key " + std::to_string(key_num_) + " does not exist");
    if (parts.size() != segments.size()) {
      throw Exception("key " + std::to_string(key_num_) + " has " +
                      std::to_string(segments.size()) + " segments, typed: gave " +
                      std::to_string(parts.size()) + " values");
    }
    std::vector<uint8_t> out;
    for (size_t s = 0; s < segments.size(); ++s) {
      const keys::TKey& seg = *segments[s];
      const size_t length = static_cast<size_t>(std::max<int16_t>(seg.Length(), 0));
      std::vector<uint8_t> bytes(length, 0);
      const std::string& v = parts[s];
      switch (seg.KeyType()) {
        case keys::ktInteger:
        case keys::ktAutoIncrement:
        case keys::ktUnsignedBinary:
        case keys::ktOldBinary: {
          const int64_t n = Number(v, "segment value");
          for (size_t b = 0; b < length && b < 8; ++b)
            bytes[b] = static_cast<uint8_t>(static_cast<uint64_t>(n) >> (8 * b));
          break;
        }
        case keys::ktFloat:
        case keys::ktBasicFloat: {
          char* end = nullptr;
          const double d = std::strtod(v.c_str(), &end);
          if (v.empty() || *end) throw Exception("\"" + v + "\" is not a number");
          if (length == 4) {
            const float f = static_cast<float>(d);
            std::memcpy(bytes.data(), &f, 4);
          } else if (length == 8) {
            std::memcpy(bytes.data(), &d, 8);
          } else {
            throw Exception("a float segment of " + std::to_string(length) + " bytes");
          }
          break;
        }
        case keys::ktPascalString:
          if (v.size() + 1 > length) throw Exception("\"" + v + "\" is longer than its segment");
          bytes[0] = static_cast<uint8_t>(v.size());
          std::memcpy(bytes.data() + 1, v.data(), v.size());
          break;
        case keys::ktAsciiZString:
          if (v.size() + 1 > length) throw Exception("\"" + v + "\" is longer than its segment");
          std::memcpy(bytes.data(), v.data(), v.size());
          break;
        default:
          if (v.size() > length) throw Exception("\"" + v + "\" is longer than its segment");
          std::fill(bytes.begin(), bytes.end(), ' ');
          std::memcpy(bytes.data(), v.data(), v.size());
          break;
      }
      out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
  }

  size_t KeyLength() const {
    size_t total = 0;
    for (int i = 0, k = 0; i < keys_.Count(); ++i) {
      if (k == key_num_) total += static_cast<size_t>(std::max<int16_t>(keys_[i].Length(), 0));
      if (!keys_[i].Segment()) ++k;
    }
    return total == 0 ? 16 : std::min(total, key_.size());
  }

  void ShowBuffers() {
    const size_t k = KeyLength();
    out_ << "  key buffer: " << HexEncode(key_.data(), k) << "  |" << PrintableText(key_.data(), k)
         << "|\n";
    constexpr size_t kShownAtMost = 1024;
    out_ << "  data buffer: " << shown_ << " bytes";
    if (shown_ > kShownAtMost) out_ << ", the first " << kShownAtMost << " shown";
    out_ << "\n" << HexDump(data_.data(), std::min(shown_, kShownAtMost), "    ");
  }

  table::TBtr& t_;
  std::ostream& out_;
  keys::tkeylist keys_;
  std::array<uint8_t, 128> position_{};
  std::array<uint8_t, 255> key_{};
  std::vector<uint8_t> data_;
  uint32_t length_ = 0;
  size_t shown_ = 0;
  int16_t key_num_ = 0;
  bool open_ = false;
};

}  // namespace

int RunShell(table::TBtr& table, std::istream& in, std::ostream& out) {
  Shell shell(table, out);
  if (!shell.Open()) return 1;
  const bool terminal = isatty(0) && &in == &std::cin;
  int code = 0;
  for (;;) {
    std::string line;
    if (terminal) {
      out.flush();
      char* text = readline("vastrel> ");
      if (!text) break;
      line = text;
      std::free(text);
      if (!line.empty()) add_history(line.c_str());
    } else {
      const LineRead read = ReadLine(in, line, kMaxShellLineBytes);
      if (read == LineRead::kEnd) break;
      if (read == LineRead::kTooLong) {
        out.flush();
        std::fprintf(stderr,
                     "vastrel: standard input: a line is longer than %s; the session ends\n",
                     SizeText(kMaxShellLineBytes).c_str());
        code = 1;
        break;
      }
      if (!line.empty() && line.back() == '\r') line.pop_back();
      out << "> " << line << "\n";
    }
    try {
      if (!shell.Line(line)) break;
    } catch (const Exception& e) {
      out.flush();
      std::fprintf(stderr, "vastrel: %s\n", e.what());
      code = 1;
    }
  }
  shell.Close();
  out.flush();
  return code;
}

}  // namespace vastrel::cli
