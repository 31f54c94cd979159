// Key definitions and their order-preserving encoding.
//
// Every key the engine stores is turned into a byte string whose plain byte order
// (memcmp, shorter first on a tie, as LMDB compares) is the key's order:
// signed integers with the sign bit flipped, big-endian; floats in total-order form;
// descending segments complemented; case-insensitive segments folded. Every segment
// encodes to a fixed width that depends only on its definition, so segments can be
// complemented and concatenated without separators.
//
// Pure functions, no state: safe to use from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "enginecore/status.h"

namespace mkde {

// Key flag bits of a key specification block.
enum KeyFlag : uint16_t {
  kFlagDuplicates = 0x0001,
  kFlagModifiable = 0x0002,
  kFlagBinary = 0x0004,
  kFlagNullAll = 0x0008,
  kFlagSegmented = 0x0010,
  kFlagAltCollating = 0x0020,
  kFlagDescending = 0x0040,
  kFlagRepeatingDuplicates = 0x0080,
  kFlagExtendedType = 0x0100,
  kFlagNullAny = 0x0200,
  kFlagCaseInsensitive = 0x0400,
};

// Key type codes (the Extended byte when kFlagExtendedType is set).
enum KeyType : uint8_t {
  kTypeString = 0,
  kTypeInteger = 1,
  kTypeFloat = 2,
  kTypeDate = 3,
  kTypeTime = 4,
  kTypeDecimal = 5,
  kTypeMoney = 6,
  kTypeLogical = 7,
  kTypeNumeric = 8,
  kTypeBFloat = 9,
  kTypeLString = 10,
  kTypeZString = 11,
  kTypeUnsignedBinary = 14,
  kTypeAutoIncrement = 15,
  kTypeNumericSTS = 17,
};

// One segment of a key, validated.
struct Segment {
  uint16_t offset = 0;     // 0-based byte offset in the record (the block's position - 1)
  uint16_t length = 0;     // bytes in the record (and in the key buffer)
  uint16_t flags = 0;      // the segment's key flags word, as stored
  uint8_t type = 0;        // KeyType; a binary-flagged segment without an extended type is
                           // kTypeString compared unsigned
  uint8_t null_value = 0;  // the null byte of null keys
  bool descending() const { return flags & kFlagDescending; }
  bool case_insensitive() const { return flags & kFlagCaseInsensitive; }
};

// One key: its segments in order. Key-level attributes come from the first segment's
// flags (duplicates, modifiable, null-key kind), as the creation buffer gives them.
struct KeyDef {
  std::vector<Segment> segments;
  uint16_t flags = 0;

  bool duplicates() const { return flags & (kFlagDuplicates | kFlagRepeatingDuplicates); }
  bool modifiable() const { return flags & kFlagModifiable; }
  bool null_all() const { return flags & kFlagNullAll; }
  bool null_any() const { return flags & kFlagNullAny; }
  // The autoincrement segment, or nullptr: a key whose only segment is of type 15.
  const Segment* autoincrement() const {
    return segments.size() == 1 && segments[0].type == kTypeAutoIncrement ? &segments[0] : nullptr;
  }
  // The key's length in a key buffer: the sum of the segment lengths.
  size_t value_length() const;
  // The length of EncodeValue's output (fixed for the key).
  size_t encoded_length() const;
};

// Checks one segment's type and length. Returns kOk, kKeyLength (a length the key's type
// does not allow) or kKeyType (a type code that cannot be a key: 12, 13, 16, 18 and up).
Status ValidateSegment(const Segment& segment);

// The key value as the record holds it: each segment's bytes from the record, back to back
// (value_length() bytes). REQUIRES: every segment lies within record_length.
std::string ExtractValue(const KeyDef& key, const uint8_t* record, size_t record_length);

// True when the value (value_length() bytes, as ExtractValue gives it) is a null key that
// the key's index leaves out: all segments equal to their null byte (null_all), or any
// segment (null_any). False for keys without a null flag.
bool IsNullValue(const KeyDef& key, const uint8_t* value);

// Appends the order-preserving encoding of a key value (value_length() bytes, as a key
// buffer or ExtractValue carries it) to out: exactly encoded_length() bytes.
void EncodeValue(const KeyDef& key, const uint8_t* value, std::string* out);

}  // namespace mkde
