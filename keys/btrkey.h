// One key segment: the engine's 16-byte key specification block, held verbatim, and the
// typed properties that view its bits and bytes.
//
// Block layout (little-endian), as the engine reads and writes it:
//   0  int16   Position   position of the segment in the record (passed through unchanged)
//   2  int16   Length     length of the segment in bytes
//   4  uint16  KeyFlag    key flags word (kFlag... below)
//   6  uint32  KeyValues  not interpreted; the statistics fill it from the file
//  10  uint8   Extended   extended type code
//  11  uint8   NullVal    null value
//  12  2 bytes Reserv     not interpreted
//  14  uint8   Manually   manually assigned key number
//  15  uint8   ACS        alternate collating sequence number
//
// Setters store any value without checks; the flag bits without a property (0x0080 and
// 0x0800 to 0x8000) keep whatever the block holds. Not thread-safe: used on the host's thread.
#pragma once

#include <array>
#include <cstdint>

#include "platform/export.h"

namespace vastrel::keys {

// Key types, valued by their position (the same values as the automation enumeration).
enum TKeyTypes : uint8_t {
  ktOldBinary,
  ktOldString,
  ktString,
  ktInteger,
  ktFloat,
  ktDate,
  ktTime,
  ktDecimal,
  ktMoney,
  ktLogical,
  ktNumeric,
  ktBasicFloat,
  ktPascalString,
  ktAsciiZString,
  ktUnsignedBinary,
  ktAutoIncrement,
  ktSignTrailing,
  ktUnknown,
};

// The members' names, by value: what persisted properties and tools show for a key type.
inline constexpr const char* kKeyTypeNames[] = {
    "ktOldBinary",     "ktOldString",    "ktString",       "ktInteger",      "ktFloat",
    "ktDate",          "ktTime",         "ktDecimal",      "ktMoney",        "ktLogical",
    "ktNumeric",       "ktBasicFloat",   "ktPascalString", "ktAsciiZString", "ktUnsignedBinary",
    "ktAutoIncrement", "ktSignTrailing", "ktUnknown"};
static_assert(sizeof(kKeyTypeNames) / sizeof(kKeyTypeNames[0]) == ktUnknown + 1);

// Key flag bits of the block.
inline constexpr uint16_t kFlagDuplicates = 0x0001;
inline constexpr uint16_t kFlagModifiable = 0x0002;
inline constexpr uint16_t kFlagBinary = 0x0004;
inline constexpr uint16_t kFlagAllSegmentNull = 0x0008;
inline constexpr uint16_t kFlagSegment = 0x0010;
inline constexpr uint16_t kFlagSortedByACS = 0x0020;
inline constexpr uint16_t kFlagDescending = 0x0040;
inline constexpr uint16_t kFlagExtendedType = 0x0100;
inline constexpr uint16_t kFlagNulSegment = 0x0200;
inline constexpr uint16_t kFlagCaseInsensitive = 0x0400;

inline constexpr int kKeySpecSize = 16;
using KeySpecBlock = std::array<uint8_t, kKeySpecSize>;

class VASTREL_API TKey {
 public:
  // A new segment's block is all zero: KeyType ktOldString, every Boolean false.
  TKey() = default;
  explicit TKey(const KeySpecBlock& block) : block_(block) {}

  // The whole block, as sent to and received from the engine.
  const KeySpecBlock& Block() const { return block_; }
  void SetBlock(const KeySpecBlock& block) { block_ = block; }
  // Copies exactly kKeySpecSize bytes from / to the given memory.
  void ReadBlockFrom(const uint8_t* src);
  void WriteBlockTo(uint8_t* dst) const;

  // --- Published properties, in their persisted order. ---
  bool AllowDuplicates() const { return Flag(kFlagDuplicates); }
  void SetAllowDuplicates(bool v) { SetFlag(kFlagDuplicates, v); }
  bool AllSegmentNull() const { return Flag(kFlagAllSegmentNull); }
  void SetAllSegmentNull(bool v) { SetFlag(kFlagAllSegmentNull, v); }
  bool CaseInsensitive() const { return Flag(kFlagCaseInsensitive); }
  void SetCaseInsensitive(bool v) { SetFlag(kFlagCaseInsensitive, v); }
  bool Descending() const { return Flag(kFlagDescending); }
  void SetDescending(bool v) { SetFlag(kFlagDescending, v); }
  // The Extended byte, 0 to 255. A write keeps the value's low 8 bits and changes no flag.
  uint16_t ExtendedType() const { return block_[10]; }
  void SetExtendedType(uint16_t v) { block_[10] = static_cast<uint8_t>(v); }
  bool KeySortedbyACS() const { return Flag(kFlagSortedByACS); }
  void SetKeySortedbyACS(bool v) { SetFlag(kFlagSortedByACS, v); }
  // Flag 0x0004 set: ktOldBinary (with or without 0x0100). Otherwise flag 0x0100 clear:
  // ktOldString; flag 0x0100 set: by the Extended code (ktUnknown for codes without a type).
  TKeyTypes KeyType() const;
  // Uses the value's low 8 bits; a value that reads as the current KeyType changes nothing.
  // Sets flag 0x0100, clears 0x0004, then: ktOldBinary sets 0x0004, ktOldString clears
  // 0x0100, the typed members store their Extended code, 17..255 keep Extended.
  void SetKeyType(int value);
  int16_t Length() const { return Get16(2); }
  void SetLength(int32_t v) { Put16(2, static_cast<uint16_t>(v)); }
  bool Modifiable() const { return Flag(kFlagModifiable); }
  void SetModifiable(bool v) { SetFlag(kFlagModifiable, v); }
  int16_t Position() const { return Get16(0); }
  void SetPosition(int32_t v) { Put16(0, static_cast<uint16_t>(v)); }
  // True when another segment of the same key follows this one.
  bool Segment() const { return Flag(kFlagSegment); }
  void SetSegment(bool v) { SetFlag(kFlagSegment, v); }
  bool NulSegment() const { return Flag(kFlagNulSegment); }
  void SetNulSegment(bool v) { SetFlag(kFlagNulSegment, v); }

  // --- Raw fields of the block (the automation key description carries them). ---
  uint16_t KeyFlag() const { return static_cast<uint16_t>(Get16(4)); }
  void SetKeyFlag(uint16_t v) { Put16(4, v); }
  uint32_t KeyValues() const;
  void SetKeyValues(uint32_t v);
  uint8_t Extended() const { return block_[10]; }
  void SetExtended(uint8_t v) { block_[10] = v; }
  uint8_t NullVal() const { return block_[11]; }
  void SetNullVal(uint8_t v) { block_[11] = v; }
  uint16_t Reserv() const { return static_cast<uint16_t>(Get16(12)); }
  void SetReserv(uint16_t v) { Put16(12, v); }
  uint8_t Manually() const { return block_[14]; }
  void SetManually(uint8_t v) { block_[14] = v; }
  uint8_t ACS() const { return block_[15]; }
  void SetACS(uint8_t v) { block_[15] = v; }

  friend bool operator==(const TKey& a, const TKey& b) { return a.block_ == b.block_; }

 private:
  bool Flag(uint16_t bit) const { return (KeyFlag() & bit) != 0; }
  void SetFlag(uint16_t bit, bool on) {
    SetKeyFlag(on ? static_cast<uint16_t>(KeyFlag() | bit)
                  : static_cast<uint16_t>(KeyFlag() & ~bit));
  }
  int16_t Get16(int at) const { return static_cast<int16_t>(block_[at] | (block_[at + 1] << 8)); }
  void Put16(int at, uint16_t v) {
    block_[at] = static_cast<uint8_t>(v);
    block_[at + 1] = static_cast<uint8_t>(v >> 8);
  }

  KeySpecBlock block_{};
};

// The Extended code that a typed key type stores (ktString..ktSignTrailing), or -1 for
// ktOldBinary, ktOldString and ktUnknown.
VASTREL_API int ExtendedCodeOf(TKeyTypes type);

}  // namespace vastrel::keys
