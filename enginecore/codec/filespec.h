// The file description a record file is created from, as the Create operation's data
// buffer carries it, and the Stat operation's reply built from it.
//
// Creation buffer: a 16-byte file specification, then one 16-byte key specification
// block per segment, then optional 265-byte alternate collating sequences.
//   file specification, little-endian: 0 u16 record length, 2 u16 page size,
//   4 u16 number of keys, 6 u32 record count (0 on creation), 10 u16 file flags,
//   12 u8 duplicate pointers, 13 u8 unused, 14 u16 preallocated / unused pages.
//   key block: 0 i16 position (1-based), 2 i16 length, 4 u16 flags, 6 u32 unique values
//   (Stat), 10 u8 extended type, 11 u8 null value, 12 2 bytes reserved, 14 u8 manual key
//   number, 15 u8 ACS number.
// Every length and count is checked against the buffer's length before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "enginecore/codec/keycodec.h"
#include "enginecore/status.h"

namespace mkde {

inline constexpr size_t kFileSpecSize = 16;
inline constexpr size_t kKeyBlockSize = 16;
inline constexpr size_t kAltCollatingSize = 265;
inline constexpr size_t kMaxSegments = 119;
inline constexpr size_t kMaxKeys = 119;
inline constexpr size_t kMaxKeyLength = 255;

// File flags word bits the engine acts on.
enum FileFlag : uint16_t {
  kFileVariableLength = 0x0001,
  kFileTruncateBlank = 0x0002,
  kFileKeyOnly = 0x0010,
};

// A file's description as the engine keeps it.
struct FileSpec {
  uint16_t record_length = 0;  // the fixed record length
  uint16_t page_size = 0;
  uint16_t file_flags = 0;
  uint8_t duplicate_pointers = 0;
  uint16_t preallocated_pages = 0;
  std::vector<KeyDef> keys;
  // Each segment's 16-byte block as the caller sent it (flags and reserved bytes kept),
  // so that Stat answers what creation was given.
  std::vector<std::string> key_blocks;

  bool variable_length() const { return file_flags & kFileVariableLength; }
};

// Parses and validates a creation buffer of `length` bytes. Returns kOk and fills *out, or
// the status that refuses it: 22 the buffer is shorter than its own counts say;
// 24 page size (a multiple of 512 from 512 to 16384, or 0 for the default 4096);
// 26 number of keys or segments (over 119); 27 key position (a segment outside the
// record, or 0); 28 record length (0, or too short to hold the keys); 29 key length;
// 49 key type; 45 inconsistent key flags.
Status ParseCreateBuffer(const uint8_t* buffer, size_t length, FileSpec* out);

// Writes the Stat reply into buffer (capacity bytes): the file specification with
// record_count, then each segment's block with its key's unique-value count at offset 6.
// unique_values holds one count per key. Returns the bytes written, or 0 when capacity is
// too small for the reply (the caller answers 22).
size_t BuildStatReply(const FileSpec& spec, uint32_t record_count,
                      const std::vector<uint32_t>& unique_values, uint8_t* buffer, size_t capacity);

// The description's own stored form inside a record file (see
// enginecore/codec/file-description-format.md), and its reader: Decode returns false with a reason
// for anything it cannot trust and never reads past `length`.
std::string EncodeFileSpec(const FileSpec& spec);
bool DecodeFileSpec(const uint8_t* data, size_t length, FileSpec* out, std::string* reason);

}  // namespace mkde
