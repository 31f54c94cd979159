#include "enginecore/codec/filespec.h"

#include <zlib.h>

#include <array>
#include <cstring>

#include "enginecore/coding.h"

// Stored form of a file description (little-endian):
//   0  u8   format version, 1
//   1  3    reserved, zero
//   4  u32  body length b
//   8  b    body: the 16-byte file specification (record count 0) and one 16-byte key
//           block per segment, exactly as a creation buffer lays them out
//   8+b u32 CRC-32 (IEEE) of every byte before it
// The body is read back through the same parser and checks as a creation buffer, so a
// stored description can never describe a file that creation would have refused.

namespace mkde {
namespace {

constexpr uint16_t kDefaultPageSize = 4096;
constexpr uint8_t kStoredVersion = 1;
constexpr size_t kStoredHeader = 8;
constexpr size_t kStoredTrailer = 4;

// CRC-32 (IEEE, the one zlib computes) of the stored description.
uint32_t Crc32(const uint8_t* p, size_t n) {
  return static_cast<uint32_t>(::crc32(0L, p, static_cast<uInt>(n)));
}

size_t SegmentCount(const FileSpec& spec) {
  size_t n = 0;
  for (const KeyDef& k : spec.keys) n += k.segments.size();
  return n;
}

// A segment's key block: the one creation was given, or one made from the definition
// when the description was put together without blocks.
void WriteKeyBlock(const FileSpec& spec, size_t key_index, size_t seg_index, size_t flat_index,
                   uint8_t* out) {
  if (flat_index < spec.key_blocks.size() && spec.key_blocks[flat_index].size() == kKeyBlockSize) {
    std::memcpy(out, spec.key_blocks[flat_index].data(), kKeyBlockSize);
    return;
  }
  const KeyDef& key = spec.keys[key_index];
  const Segment& s = key.segments[seg_index];
  std::memset(out, 0, kKeyBlockSize);
  EncodeFixed16(out, static_cast<uint16_t>(s.offset + 1));
  EncodeFixed16(out + 2, s.length);
  uint16_t flags = s.flags;
  if (seg_index + 1 < key.segments.size()) {
    flags |= kFlagSegmented;
  } else {
    flags &= static_cast<uint16_t>(~kFlagSegmented);
  }
  EncodeFixed16(out + 4, flags);
  out[10] = s.type;
  out[11] = s.null_value;
}

// File specification and key blocks back to back, as a creation buffer or a Stat reply
// holds them. REQUIRES: out has 16 + 16 * segments bytes.
void WriteDescription(const FileSpec& spec, uint32_t record_count,
                      const std::vector<uint32_t>* unique_values, uint8_t* out) {
  std::memset(out, 0, kFileSpecSize);
  EncodeFixed16(out, spec.record_length);
  EncodeFixed16(out + 2, spec.page_size);
  EncodeFixed16(out + 4, static_cast<uint16_t>(spec.keys.size()));
  EncodeFixed32(out + 6, record_count);
  EncodeFixed16(out + 10, spec.file_flags);
  out[12] = spec.duplicate_pointers;
  EncodeFixed16(out + 14, spec.preallocated_pages);
  size_t flat = 0;
  for (size_t k = 0; k < spec.keys.size(); ++k) {
    for (size_t s = 0; s < spec.keys[k].segments.size(); ++s, ++flat) {
      uint8_t* block = out + kFileSpecSize + kKeyBlockSize * flat;
      WriteKeyBlock(spec, k, s, flat, block);
      if (unique_values != nullptr) {
        EncodeFixed32(block + 6, k < unique_values->size() ? (*unique_values)[k] : 0);
      }
    }
  }
}

// Flags that cannot go together on one key. Key-level attributes come from the first
// segment, as the key's definition takes them.
bool KeyFlagsConsistent(const KeyDef& key) {
  if (key.null_all() && key.null_any()) return false;
  for (const Segment& s : key.segments) {
    // A value the engine assigns cannot be one of several equal values.
    if (s.type == kTypeAutoIncrement && key.duplicates()) return false;
    if ((s.flags & kFlagAltCollating) && s.case_insensitive()) return false;
  }
  return true;
}

}  // namespace

Status ParseCreateBuffer(const uint8_t* buffer, size_t length, FileSpec* out) {
  if (buffer == nullptr || length < kFileSpecSize) return Status::kDataLength;
  FileSpec spec;
  spec.record_length = DecodeFixed16(buffer);
  spec.page_size = DecodeFixed16(buffer + 2);
  const uint16_t key_count = DecodeFixed16(buffer + 4);
  spec.file_flags = DecodeFixed16(buffer + 10);
  spec.duplicate_pointers = buffer[12];
  spec.preallocated_pages = DecodeFixed16(buffer + 14);

  if (spec.page_size == 0) spec.page_size = kDefaultPageSize;
  if (spec.page_size % 512 != 0 || spec.page_size < 512 || spec.page_size > 16384) {
    return Status::kPageSize;
  }
  if (key_count > kMaxKeys) return Status::kNumberOfKeys;
  if (spec.record_length == 0) return Status::kRecordLength;

  size_t segment_index = 0;
  for (size_t k = 0; k < key_count; ++k) {
    KeyDef key;
    size_t key_length = 0;
    for (;;) {
      if (segment_index >= kMaxSegments) return Status::kNumberOfKeys;
      const size_t at = kFileSpecSize + kKeyBlockSize * segment_index;
      if (length < at + kKeyBlockSize) return Status::kDataLength;
      const uint8_t* block = buffer + at;
      const int16_t position = static_cast<int16_t>(DecodeFixed16(block));
      const int16_t seg_length = static_cast<int16_t>(DecodeFixed16(block + 2));
      Segment s;
      s.flags = DecodeFixed16(block + 4);
      // Without the extended-type flag a segment is a string; the old binary flag only
      // says its bytes compare unsigned, which strings already do.
      s.type = (s.flags & kFlagExtendedType) ? block[10] : uint8_t{kTypeString};
      s.null_value = block[11];
      if (seg_length <= 0) {
        s.length = 0;
        if (ValidateSegment(s) == Status::kKeyType) return Status::kKeyType;
        return Status::kKeyLength;
      }
      s.length = static_cast<uint16_t>(seg_length);
      if (const Status st = ValidateSegment(s); st != Status::kOk) return st;
      // Positions count from 1. A segment that starts outside the record has a bad
      // position; one that starts inside but runs past its end needs a longer record.
      if (position < 1 || position > spec.record_length) return Status::kKeyPosition;
      if (size_t(position) - 1 + s.length > spec.record_length) return Status::kRecordLength;
      s.offset = static_cast<uint16_t>(position - 1);
      key_length += s.length;
      if (key_length > kMaxKeyLength) return Status::kKeyLength;
      if (key.segments.empty()) key.flags = s.flags;
      key.segments.push_back(s);
      spec.key_blocks.emplace_back(reinterpret_cast<const char*>(block), kKeyBlockSize);
      ++segment_index;
      if (!(s.flags & kFlagSegmented)) break;
    }
    if (!KeyFlagsConsistent(key)) return Status::kInconsistentFlags;
    spec.keys.push_back(std::move(key));
  }
  if (out != nullptr) *out = std::move(spec);
  return Status::kOk;
}

size_t BuildStatReply(const FileSpec& spec, uint32_t record_count,
                      const std::vector<uint32_t>& unique_values, uint8_t* buffer,
                      size_t capacity) {
  const size_t size = kFileSpecSize + kKeyBlockSize * SegmentCount(spec);
  if (buffer == nullptr || capacity < size) return 0;
  WriteDescription(spec, record_count, &unique_values, buffer);
  return size;
}

std::string EncodeFileSpec(const FileSpec& spec) {
  const size_t body = kFileSpecSize + kKeyBlockSize * SegmentCount(spec);
  std::string out(kStoredHeader + body + kStoredTrailer, '\0');
  uint8_t* p = reinterpret_cast<uint8_t*>(out.data());
  p[0] = kStoredVersion;
  EncodeFixed32(p + 4, static_cast<uint32_t>(body));
  WriteDescription(spec, 0, nullptr, p + kStoredHeader);
  EncodeFixed32(p + kStoredHeader + body, Crc32(p, kStoredHeader + body));
  return out;
}

bool DecodeFileSpec(const uint8_t* data, size_t length, FileSpec* out, std::string* reason) {
  auto fail = [reason](std::string why) {
    if (reason != nullptr) *reason = std::move(why);
    return false;
  };
  if (data == nullptr || length < kStoredHeader + kFileSpecSize + kStoredTrailer) {
    return fail("file description truncated: " + std::to_string(length) + " bytes");
  }
  if (data[0] != kStoredVersion) {
    return fail("file description has unknown format version " + std::to_string(data[0]));
  }
  if (data[1] != 0 || data[2] != 0 || data[3] != 0) {
    return fail("file description has non-zero reserved bytes");
  }
  const uint32_t body = DecodeFixed32(data + 4);
  const size_t room = length - kStoredHeader - kStoredTrailer;
  if (body > room) {
    return fail("file description truncated: body of " + std::to_string(body) + " bytes, " +
                std::to_string(room) + " present");
  }
  if (body < room) {
    return fail("file description followed by " + std::to_string(room - body) +
                " unexpected bytes");
  }
  if (Crc32(data, kStoredHeader + body) != DecodeFixed32(data + kStoredHeader + body)) {
    return fail("file description checksum mismatch");
  }
  FileSpec spec;
  const Status status = ParseCreateBuffer(data + kStoredHeader, body, &spec);
  if (status != Status::kOk) {
    return fail("file description refused with status " + std::to_string(Code(status)));
  }
  if (body != kFileSpecSize + kKeyBlockSize * SegmentCount(spec)) {
    return fail("file description body does not match its " + std::to_string(SegmentCount(spec)) +
                " segments");
  }
  if (out != nullptr) *out = std::move(spec);
  return true;
}

}  // namespace mkde
