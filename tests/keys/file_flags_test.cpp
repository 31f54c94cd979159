// The file flags set against the engine's file flags word.
#include <gtest/gtest.h>

#include "keys/file_flags.h"

namespace vastrel::keys {
namespace {

TEST(FileFlagsWord, EachMemberWritesItsBits) {
  const uint16_t want[kFileFlagMembers] = {0x0001, 0x0002, 0x0004, 0x0008, 0x0010, 0x0020,
                                           0x0040, 0x0080, 0x00C0, 0x0100, 0x0400, 0x0800};
  for (int m = 0; m < kFileFlagMembers; ++m) {
    SCOPED_TRACE(m);
    const BtrFileFlags s{static_cast<BtrFileFlag>(m)};
    EXPECT_EQ(FileFlagsToWord(s), want[m]);
    EXPECT_EQ(FileFlagsFromWord(want[m]), s) << "every single member reads back";
  }
}

TEST(FileFlagsWord, FreeSpaceThresholds) {
  EXPECT_EQ(FileFlagsToWord({ff10, ff20}), 0x00C0);
  EXPECT_EQ(FileFlagsFromWord(0x00C0), (BtrFileFlags{ff30}));
  EXPECT_EQ(FileFlagsFromWord(0x0040), (BtrFileFlags{ff10}));
  EXPECT_EQ(FileFlagsFromWord(0x0080), (BtrFileFlags{ff20}));
  EXPECT_EQ(FileFlagsToWord({ff10, ff30}), 0x00C0);
}

TEST(FileFlagsWord, BitsWithoutMemberAreNotReadAndClearedOnWrite) {
  const uint16_t word = 0x0200 | 0xF000 | 0x0001;
  const BtrFileFlags s = FileFlagsFromWord(word);
  EXPECT_EQ(s, (BtrFileFlags{ffVariableLength}));
  EXPECT_EQ(FileFlagsToWord(s), 0x0001);
}

TEST(FileFlagsWord, AllMembersRoundTrip) {
  const BtrFileFlags all{ffVariableLength,  ffTruncateBlank,  ffPreallocate, ffCompress,
                         ffKeyOnly,         ffIndexBalancing, ff30,          ffDuplicatePtrs,
                         ffKeyNumSpecified, ffUseVATs};
  EXPECT_EQ(FileFlagsToWord(all), 0x0DFF);
  EXPECT_EQ(FileFlagsFromWord(0x0DFF), all);
  EXPECT_EQ(BtrFileFlags::FromBits(0xFFFF).Bits(), 0x0FFF);
}

}  // namespace
}  // namespace vastrel::keys
