// Reading outside files with a limit for the vastrel tool.
//
// Every file the tool reads comes from outside: a path may name a device that never ends
// (/dev/zero) or a file far larger than its format can mean. The readers here never hold
// more than their limit: they read up to it and stop with an answer that says so, and the
// caller refuses the input with a message that names the file.
//
// The limits of the tool's inputs, generous for real data:
#pragma once

#include <cstddef>
#include <istream>
#include <string>

namespace vastrel::cli {

// A description (create): a few segments of JSON each, for at most 119 keys.
inline constexpr size_t kMaxDescriptionBytes = size_t{1} << 20;
// The header line of an export (load): the description again, as one line.
inline constexpr size_t kMaxHeaderLineBytes = size_t{1} << 20;
// One record line of an export (load): the longest record the tool exports (64 MiB, see
// kMaxRecordBuffer), in hex, with room for its member names.
inline constexpr size_t kMaxRecordLineBytes = size_t{129} << 20;
// One typed record (import): a CSV record, over several lines when a quoted cell holds
// line breaks, or one JSON line. A record holds at most 65535 bytes, each of which takes
// at most 6 characters as text.
inline constexpr size_t kMaxTypedRecordBytes = size_t{4} << 20;
// One line of the shell's script.
inline constexpr size_t kMaxShellLineBytes = size_t{4} << 20;
// An owner-name file (--owner-file): the name on its first line.
inline constexpr size_t kMaxOwnerFileBytes = 4096;

enum class LineRead {
  kLine,     // a line, without its line feed (the last line of a file may lack one)
  kEnd,      // the end of the input, nothing read
  kTooLong,  // more than the limit before the line feed; `line` holds the first `limit` bytes
};

// Reads the next line of `in`, at most `limit` bytes without its line feed. Sets eofbit
// (and failbit for kEnd) as std::getline does.
LineRead ReadLine(std::istream& in, std::string& line, size_t limit);

// The whole of a file of at most `limit` bytes. Answers false with the reason (the
// system's words, or "larger than N bytes") when it cannot be read or is larger.
bool ReadWholeFile(const std::string& path, size_t limit, std::string* contents, std::string* why);

// A size for messages: "4 MiB", "1024 bytes".
std::string SizeText(size_t bytes);

}  // namespace vastrel::cli
