#include "keys/file_flags.h"

namespace vastrel::keys {
namespace {

constexpr uint16_t kMemberBits[kFileFlagMembers] = {
    0x0001, 0x0002, 0x0004, 0x0008, 0x0010, 0x0020, 0x0040, 0x0080, 0x00C0, 0x0100, 0x0400, 0x0800,
};

}  // namespace

uint16_t FileFlagBits(BtrFileFlag member) {
  return member < kFileFlagMembers ? kMemberBits[member] : 0;
}

BtrFileFlags FileFlagsFromWord(uint16_t word) {
  BtrFileFlags s;
  for (int m = ffVariableLength; m <= ffIndexBalancing; ++m) {
    if (word & kMemberBits[m]) s.Include(static_cast<BtrFileFlag>(m));
  }
  if ((word & 0x00C0) == 0x00C0) {
    s.Include(ff30);
  } else {
    if (word & 0x0040) s.Include(ff10);
    if (word & 0x0080) s.Include(ff20);
  }
  if (word & 0x0100) s.Include(ffDuplicatePtrs);
  if (word & 0x0400) s.Include(ffKeyNumSpecified);
  if (word & 0x0800) s.Include(ffUseVATs);
  return s;
}

uint16_t FileFlagsToWord(BtrFileFlags flags) {
  uint16_t word = 0;
  for (int m = 0; m < kFileFlagMembers; ++m) {
    if (flags.Contains(static_cast<BtrFileFlag>(m))) word |= kMemberBits[m];
  }
  return word;
}

}  // namespace vastrel::keys
