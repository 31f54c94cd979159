// The file flags set of a table and its translation to and from the engine's 16-bit file
// flags word. The table keeps only the word (inside its file specification block) and
// translates on every read and write of FileFlags.
//
//   member               word bits   member               word bits
//   ffVariableLength     0x0001      ff10                 0x0040
//   ffTruncateBlank      0x0002      ff20                 0x0080
//   ffPreallocate        0x0004      ff30                 0x00C0 (both)
//   ffCompress           0x0008      ffDuplicatePtrs      0x0100
//   ffKeyOnly            0x0010      ffKeyNumSpecified    0x0400
//   ffIndexBalancing     0x0020      ffUseVATs            0x0800
//
// The word's bits 0x0200 and 0x1000..0x8000 have no member: they are not read, and a
// write of the set clears them.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "platform/export.h"

namespace vastrel::keys {

// Members of the set, valued by their position: member i is bit i of BtrFileFlags::Bits().
enum BtrFileFlag : uint8_t {
  ffVariableLength,
  ffTruncateBlank,
  ffPreallocate,
  ffCompress,
  ffKeyOnly,
  ffIndexBalancing,
  ff10,
  ff20,
  ff30,
  ffDuplicatePtrs,
  ffKeyNumSpecified,
  ffUseVATs,
};

inline constexpr int kFileFlagMembers = 12;

// The members' names, by value.
inline constexpr const char* kFileFlagNames[kFileFlagMembers] = {"ffVariableLength",
                                                                 "ffTruncateBlank",
                                                                 "ffPreallocate",
                                                                 "ffCompress",
                                                                 "ffKeyOnly",
                                                                 "ffIndexBalancing",
                                                                 "ff10",
                                                                 "ff20",
                                                                 "ff30",
                                                                 "ffDuplicatePtrs",
                                                                 "ffKeyNumSpecified",
                                                                 "ffUseVATs"};

class BtrFileFlags {
 public:
  constexpr BtrFileFlags() = default;
  constexpr BtrFileFlags(std::initializer_list<BtrFileFlag> members) {
    for (BtrFileFlag m : members) Include(m);
  }
  // The set from its bits (member i is bit i); bits 12 to 15 are dropped.
  static constexpr BtrFileFlags FromBits(uint16_t bits) {
    BtrFileFlags s;
    s.bits_ = static_cast<uint16_t>(bits & ((1u << kFileFlagMembers) - 1));
    return s;
  }
  constexpr uint16_t Bits() const { return bits_; }

  constexpr bool Contains(BtrFileFlag m) const { return (bits_ >> m) & 1u; }
  constexpr void Include(BtrFileFlag m) { bits_ = static_cast<uint16_t>(bits_ | (1u << m)); }
  constexpr void Exclude(BtrFileFlag m) { bits_ = static_cast<uint16_t>(bits_ & ~(1u << m)); }
  constexpr bool Empty() const { return bits_ == 0; }

  friend constexpr bool operator==(BtrFileFlags, BtrFileFlags) = default;

 private:
  uint16_t bits_ = 0;
};

// The engine word bits that one member writes.
VASTREL_API uint16_t FileFlagBits(BtrFileFlag member);

// Reads the set from the engine's file flags word. Both 0x0040 and 0x0080 set give ff30
// alone; either alone gives ff10 or ff20.
VASTREL_API BtrFileFlags FileFlagsFromWord(uint16_t word);

// The word that a write of the set stores: the OR of every member's bits, starting from 0
// (so ff10 with ff20 stores 0x00C0, which reads back as ff30).
VASTREL_API uint16_t FileFlagsToWord(BtrFileFlags flags);

}  // namespace vastrel::keys
