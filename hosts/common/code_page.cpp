#include "hosts/common/code_page.h"

#include <errno.h>
#include <iconv.h>

#include <array>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace vastrel::cli {
namespace {

// The system's names of the code pages, in CodePage's order.
constexpr std::array<const char*, 4> kSystemNames = {"CP1252", "IBM437", "IBM850", "ISO-8859-1"};

// The bytes 1252 leaves undefined: they stand for the C1 controls of the same value.
bool UndefinedIn1252(unsigned char byte) {
  return byte == 0x81 || byte == 0x8D || byte == 0x8F || byte == 0x90 || byte == 0x9D;
}

// One conversion descriptor per page and direction, opened on first use and kept for the
// life of the thread.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) {
      throw std::runtime_error(std::string("the system cannot convert between ") + from + " and " +
                               to + ": " + std::strerror(errno));
    }
  }
  ~Converter() { iconv_close(cd_); }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // `in` converted; where the conversion stops at a sequence it refuses, `stuck` is given
  // the rest of the input and appends what it stands for, returning how many bytes it took,
  // or 0 to refuse the whole text.
  template <class Stuck>
  std::optional<std::string> Run(std::string_view in, Stuck stuck) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // a fresh state
    std::string out;
    char buf[1024];
    char* src = const_cast<char*>(in.data());
    size_t left = in.size();
    while (left > 0) {
      char* dst = buf;
      size_t room = sizeof buf;
      const size_t done = iconv(cd_, &src, &left, &dst, &room);
      const int error = errno;
      out.append(buf, static_cast<size_t>(dst - buf));
      if (done != static_cast<size_t>(-1)) continue;
      if (error == E2BIG) continue;
      if (error != EILSEQ && error != EINVAL) return std::nullopt;
      const size_t took = stuck(std::string_view(src, left), out);
      if (took == 0) return std::nullopt;
      src += took;
      left -= took;
    }
    return out;
  }

 private:
  iconv_t cd_;
};

Converter& ConverterFor(CodePage page, bool to_utf8) {
  thread_local std::array<std::array<std::unique_ptr<Converter>, 2>, kSystemNames.size()> all;
  std::unique_ptr<Converter>& c = all[static_cast<size_t>(page)][to_utf8];
  const char* name = kSystemNames[static_cast<size_t>(page)];
  if (!c)
    c = to_utf8 ? std::make_unique<Converter>("UTF-8", name)
                : std::make_unique<Converter>(name, "UTF-8");
  return *c;
}

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace

std::optional<CodePage> CodePageNamed(std::string_view name) {
  if (name == "cp1252" || name == "windows-1252") return CodePage::kCp1252;
  if (name == "cp437") return CodePage::kCp437;
  if (name == "cp850") return CodePage::kCp850;
  if (name == "latin-1" || name == "latin1" || name == "iso-8859-1") return CodePage::kLatin1;
  return std::nullopt;
}

std::string ToUtf8(std::string_view bytes, CodePage page) {
  if (IsAscii(bytes)) return std::string(bytes);  // the same in every page and in UTF-8
  const std::optional<std::string> out =
      ConverterFor(page, true).Run(bytes, [&](std::string_view rest, std::string& to) -> size_t {
        const auto byte = static_cast<unsigned char>(rest[0]);
        if (page != CodePage::kCp1252 || !UndefinedIn1252(byte)) return 0;
        to += static_cast<char>(0xC2);  // U+0080 to U+009F
        to += static_cast<char>(byte);
        return 1;
      });
  // Every byte of every page stands for a character.
  if (!out) throw std::runtime_error("a byte the code page should hold was refused");
  return *out;
}

std::optional<std::string> FromUtf8(std::string_view utf8, CodePage page) {
  if (IsAscii(utf8)) return std::string(utf8);
  return ConverterFor(page, false).Run(utf8, [&](std::string_view rest, std::string& to) -> size_t {
    if (page != CodePage::kCp1252 || rest.size() < 2 ||
        static_cast<unsigned char>(rest[0]) != 0xC2 ||
        !UndefinedIn1252(static_cast<unsigned char>(rest[1]))) {
      return 0;
    }
    to += rest[1];
    return 2;
  });
}

size_t Utf8ErrorAt(std::string_view text) {
  if (IsAscii(text)) return std::string_view::npos;
  // Well-formed UTF-8 converts to UTF-32 whole; the converter stops where it is not.
  size_t at = std::string_view::npos;
  static thread_local Converter check("UTF-32LE", "UTF-8");
  check.Run(text, [&](std::string_view rest, std::string&) -> size_t {
    at = text.size() - rest.size();
    return 0;
  });
  return at;
}

}  // namespace vastrel::cli
