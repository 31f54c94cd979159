// Text forms of record bytes for the vastrel tool: base64 and hex for the record files'
// JSON lines, and the hex, text and CSV forms of a dump. None of these calls the engine.
//
// Decoders are strict: they take exactly the form their encoder writes and answer false on
// anything else, never reading past the text they are given.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vastrel::cli {

using Bytes = std::vector<uint8_t>;

// Standard base64 (RFC 4648, with '=' padding, no line breaks).
std::string Base64Encode(const uint8_t* data, size_t size);
// False for a length that is not a multiple of 4, a character outside the alphabet,
// padding anywhere but at the end, or padding bits that are not zero.
bool Base64Decode(std::string_view text, Bytes& out);

// Two lower-case hex digits per byte.
std::string HexEncode(const uint8_t* data, size_t size);
// Accepts either letter case; false for an odd length or a non-hex character.
bool HexDecode(std::string_view text, Bytes& out);

// The hex dump of one record: lines of 16 bytes, each with its offset, the bytes in hex and
// their printable characters ('.' for the others), every line starting with `indent`.
std::string HexDump(const uint8_t* data, size_t size, std::string_view indent);
// The record's printable ASCII characters as they are, every other byte as '.'.
std::string PrintableText(const uint8_t* data, size_t size);
// The record as one CSV field: in double quotes, printable characters as they are but for
// the quote (doubled) and the backslash (doubled), every other byte as \xHH; so a field
// never spans lines and the bytes can be read back.
std::string CsvField(const uint8_t* data, size_t size);

}  // namespace vastrel::cli
