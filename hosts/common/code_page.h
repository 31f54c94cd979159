// Single-byte code pages of record text for the vastrel tool: record files from DOS carry
// code page 437 or 850, those from Windows 1252, others ISO 8859-1. Bytes 0 to 127 are
// ASCII in all four; bytes 128 to 255 map one to one onto characters, so every byte comes
// back from a round trip (the five bytes 1252 leaves undefined stand for the C1 controls of
// the same value, as the component reads them).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vastrel::cli {

enum class CodePage { kCp1252, kCp437, kCp850, kLatin1 };

// "cp1252", "cp437", "cp850" or "latin-1" (also "latin1", "iso-8859-1"); nullopt otherwise.
std::optional<CodePage> CodePageNamed(std::string_view name);
// The names CodePageNamed takes first, for help texts.
inline constexpr const char* kCodePageNames = "cp1252, cp437, cp850, latin-1";

// The bytes as UTF-8.
std::string ToUtf8(std::string_view bytes, CodePage page);
// The UTF-8 text in the code page; nullopt when the text is not valid UTF-8 or holds a
// character the code page lacks (never a silent replacement).
std::optional<std::string> FromUtf8(std::string_view utf8, CodePage page);
// The offset of the first byte where the text stops being valid UTF-8; npos when it is.
size_t Utf8ErrorAt(std::string_view text);

}  // namespace vastrel::cli
