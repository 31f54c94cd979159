// Creation buffers, Stat replies and the stored description. Every buffer handed to the
// code under test is a heap block of exactly its stated length, so a read past it shows
// up in the sanitizer build.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "enginecore/codec/filespec.h"

namespace mkde {
namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

struct Block {
  int16_t position = 1;
  int16_t length = 4;
  uint16_t flags = kFlagExtendedType;
  uint8_t type = kTypeInteger;
  uint8_t null_value = 0;
};

// A creation buffer as a caller lays it out. keys < 0 counts the keys from the blocks.
struct Creation {
  uint16_t record_length = 100;
  uint16_t page_size = 1024;
  int keys = -1;
  uint16_t file_flags = 0;
  std::vector<Block> blocks;

  Bytes Build() const {
    Bytes b(kFileSpecSize + kKeyBlockSize * blocks.size());
    Put16(b, 0, record_length);
    Put16(b, 2, page_size);
    int counted = 0;
    for (const Block& k : blocks) counted += (k.flags & kFlagSegmented) ? 0 : 1;
    Put16(b, 4, static_cast<uint16_t>(keys < 0 ? counted : keys));
    Put16(b, 10, file_flags);
    for (size_t i = 0; i < blocks.size(); ++i) {
      const size_t at = kFileSpecSize + kKeyBlockSize * i;
      Put16(b, at, static_cast<uint16_t>(blocks[i].position));
      Put16(b, at + 2, static_cast<uint16_t>(blocks[i].length));
      Put16(b, at + 4, blocks[i].flags);
      b[at + 10] = blocks[i].type;
      b[at + 11] = blocks[i].null_value;
      b[at + 12] = 0xA5;  // reserved: kept as sent
    }
    return b;
  }
};

int16_t Parse(const Bytes& bytes, FileSpec* out = nullptr) {
  FileSpec ignored;
  // A fresh block of exactly the buffer's length, even for an empty buffer.
  std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
  if (!bytes.empty()) std::memcpy(exact.get(), bytes.data(), bytes.size());
  return Code(ParseCreateBuffer(exact.get(), bytes.size(), out ? out : &ignored));
}

Block Seg(int16_t position, int16_t length, uint8_t type, uint16_t flags = 0) {
  return Block{position, length, static_cast<uint16_t>(flags | kFlagExtendedType), type, 0};
}

// Two keys: an integer at 1, and a string at 5 followed by a date at 20.
Creation TwoKeys() {
  Creation c;
  c.blocks = {Seg(1, 4, kTypeInteger), Seg(5, 10, kTypeString, kFlagSegmented | kFlagDuplicates),
              Seg(20, 4, kTypeDate, kFlagDuplicates)};
  return c;
}

TEST(CreateBuffer, ParsesKeysSegmentsAndFileFields) {
  Creation c = TwoKeys();
  c.file_flags = kFileVariableLength;
  c.blocks[1].null_value = ' ';
  FileSpec spec;
  ASSERT_EQ(Parse(c.Build(), &spec), 0);
  EXPECT_EQ(spec.record_length, 100);
  EXPECT_EQ(spec.page_size, 1024);
  EXPECT_TRUE(spec.variable_length());
  ASSERT_EQ(spec.keys.size(), 2u);
  ASSERT_EQ(spec.keys[1].segments.size(), 2u);
  EXPECT_EQ(spec.keys[1].segments[0].offset, 4);
  EXPECT_EQ(spec.keys[1].segments[0].null_value, ' ');
  EXPECT_EQ(spec.keys[1].segments[1].type, kTypeDate);
  EXPECT_TRUE(spec.keys[1].duplicates());
  EXPECT_FALSE(spec.keys[0].duplicates());
  EXPECT_EQ(spec.keys[1].value_length(), 14u);
  ASSERT_EQ(spec.key_blocks.size(), 3u);
  EXPECT_EQ(static_cast<uint8_t>(spec.key_blocks[2][12]), 0xA5);
}

TEST(CreateBuffer, DefaultsAndOldStyleTypes) {
  Creation none;
  none.page_size = 0;
  FileSpec spec;
  ASSERT_EQ(Parse(none.Build(), &spec), 0) << "a file without keys";
  EXPECT_EQ(spec.page_size, 4096);
  EXPECT_TRUE(spec.keys.empty());

  // Without the extended-type flag a segment is a string whatever byte 10 holds; the
  // binary flag with an extended type of 0 is a string too.
  Creation old;
  old.blocks = {Block{1, 3, 0, 99, 0}, Block{4, 2, kFlagBinary | kFlagExtendedType, 0, 0}};
  ASSERT_EQ(Parse(old.Build(), &spec), 0);
  EXPECT_EQ(spec.keys[0].segments[0].type, kTypeString);
  EXPECT_EQ(spec.keys[1].segments[0].type, kTypeString);
}

TEST(CreateBuffer, RefusalStatuses) {
  struct Case {
    const char* what;
    int16_t status;
    Creation creation;
  };
  auto with = [](auto change) {
    Creation c = TwoKeys();
    change(c);
    return c;
  };
  auto only = [](Block b, uint16_t record_length = 100) {
    Creation c;
    c.record_length = record_length;
    c.blocks = {b};
    return c;
  };
  const Case cases[] = {
      {"page size not a multiple of 512", 24, with([](Creation& c) { c.page_size = 1000; })},
      {"page size below 512", 24, with([](Creation& c) { c.page_size = 256; })},
      {"page size above 16384", 24, with([](Creation& c) { c.page_size = 16896; })},
      {"120 keys", 26, with([](Creation& c) { c.keys = 120; })},
      {"record length 0", 28, with([](Creation& c) { c.record_length = 0; })},
      {"segment runs past the record", 28, only(Seg(98, 4, kTypeInteger))},
      {"position 0", 27, only(Seg(0, 4, kTypeInteger))},
      {"negative position", 27, only(Seg(-3, 4, kTypeInteger))},
      {"position past the record", 27, only(Seg(101, 1, kTypeString))},
      {"string length 0", 29, only(Seg(1, 0, kTypeString))},
      {"negative length", 29, only(Seg(1, -4, kTypeString))},
      {"string of 256", 29, only(Seg(1, 256, kTypeString), 300)},
      {"integer of 3", 29, only(Seg(1, 3, kTypeInteger))},
      {"unsigned of 16", 29, only(Seg(1, 16, kTypeUnsignedBinary))},
      {"float of 6", 29, only(Seg(1, 6, kTypeFloat))},
      {"bfloat of 2", 29, only(Seg(1, 2, kTypeBFloat))},
      {"date of 3", 29, only(Seg(1, 3, kTypeDate))},
      {"time of 8", 29, only(Seg(1, 8, kTypeTime))},
      {"decimal of 65", 29, only(Seg(1, 65, kTypeDecimal))},
      {"money of 65", 29, only(Seg(1, 65, kTypeMoney))},
      {"logical of 4", 29, only(Seg(1, 4, kTypeLogical))},
      {"numeric of 38", 29, only(Seg(1, 38, kTypeNumeric))},
      {"numeric sign trailing of 1", 29, only(Seg(1, 1, kTypeNumericSTS))},
      {"lstring of 1", 29, only(Seg(1, 1, kTypeLString))},
      {"zstring of 1", 29, only(Seg(1, 1, kTypeZString))},
      {"autoincrement of 1", 29, only(Seg(1, 1, kTypeAutoIncrement))},
      {"key over 255 bytes in two segments", 29,
       [] {
         Creation c;
         c.record_length = 400;
         c.blocks = {Seg(1, 200, kTypeString, kFlagSegmented), Seg(201, 56, kTypeString)};
         return c;
       }()},
      {"type 12", 49, only(Seg(1, 4, 12))},
      {"type 13", 49, only(Seg(1, 4, 13))},
      {"type 16", 49, only(Seg(1, 4, 16))},
      {"type 18", 49, only(Seg(1, 4, 18))},
      {"type 255 with length 0", 49, only(Seg(1, 0, 255))},
      {"null all and null any", 45, only(Seg(1, 4, kTypeString, kFlagNullAll | kFlagNullAny))},
      {"autoincrement with duplicates", 45, only(Seg(1, 4, kTypeAutoIncrement, kFlagDuplicates))},
      {"autoincrement in a key with duplicates", 45,
       [] {
         Creation c;
         c.blocks = {Seg(1, 4, kTypeString, kFlagSegmented | kFlagDuplicates),
                     Seg(5, 4, kTypeAutoIncrement, kFlagDuplicates)};
         return c;
       }()},
      {"collating sequence and case-insensitive", 45,
       only(Seg(1, 4, kTypeString, kFlagAltCollating | kFlagCaseInsensitive))},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Parse(c.creation.Build()), c.status) << c.what;
  }
}

TEST(CreateBuffer, SegmentCountLimit) {
  Creation c;
  c.record_length = 1000;
  for (int i = 0; i < 120; ++i)
    c.blocks.push_back(Seg(static_cast<int16_t>(1 + i), 1, kTypeString));
  c.keys = 119;
  EXPECT_EQ(Parse(c.Build()), 0) << "119 keys of one segment";
  c.blocks[0].flags |= kFlagSegmented;  // 119 keys now need 120 segments
  EXPECT_EQ(Parse(c.Build()), 26);
}

// Every buffer shorter than its own counts say answers 22, whatever point it stops at:
// inside the file specification, between blocks, inside a block.
TEST(CreateBuffer, EveryTruncationAnswers22) {
  const Bytes full = TwoKeys().Build();
  for (size_t n = 0; n < full.size(); ++n) {
    EXPECT_EQ(Parse(Bytes(full.begin(), full.begin() + n)), 22) << n << " bytes";
  }
  EXPECT_EQ(Parse(full), 0);
  Creation more_keys = TwoKeys();
  more_keys.keys = 3;
  EXPECT_EQ(Parse(more_keys.Build()), 22) << "a count beyond the blocks sent";
  Creation runs_on = TwoKeys();
  runs_on.keys = 2;
  runs_on.blocks[2].flags |= kFlagSegmented;
  EXPECT_EQ(Parse(runs_on.Build()), 22) << "a last segment that says another follows";
  EXPECT_EQ(Code(ParseCreateBuffer(nullptr, 0, nullptr)), 22);
}

TEST(CreateBuffer, TrailingCollatingSequencesAreIgnored) {
  Creation c = TwoKeys();
  c.blocks[0].flags |= kFlagAltCollating;
  Bytes b = c.Build();
  b.resize(b.size() + kAltCollatingSize, 0xAC);
  FileSpec spec;
  EXPECT_EQ(Parse(b, &spec), 0);
  EXPECT_EQ(spec.keys.size(), 2u);
}

FileSpec Parsed(const Creation& c) {
  FileSpec spec;
  EXPECT_EQ(Parse(c.Build(), &spec), 0);
  return spec;
}

TEST(StatReply, CountsAndBlocksAsCreated) {
  const FileSpec spec = Parsed(TwoKeys());
  const size_t size = kFileSpecSize + 3 * kKeyBlockSize;
  Bytes out(33455, 0xEE);
  ASSERT_EQ(BuildStatReply(spec, 1234, {7, 5}, out.data(), out.size()), size);
  EXPECT_EQ(Get16(&out[0]), 100);
  EXPECT_EQ(Get16(&out[2]), 1024);
  EXPECT_EQ(Get16(&out[4]), 2);
  EXPECT_EQ(Get32(&out[6]), 1234u);
  EXPECT_EQ(Get32(&out[16 + 6]), 7u);
  EXPECT_EQ(Get32(&out[32 + 6]), 5u) << "every segment of a key carries its count";
  EXPECT_EQ(Get32(&out[48 + 6]), 5u);
  EXPECT_EQ(Get16(&out[32 + 4]), kFlagExtendedType | kFlagSegmented | kFlagDuplicates);
  EXPECT_EQ(out[48 + 12], 0xA5);
  EXPECT_EQ(out[size], 0xEE) << "nothing written after the reply";

  // Counts for fewer keys than the file has read as 0.
  ASSERT_EQ(BuildStatReply(spec, 0, {}, out.data(), out.size()), size);
  EXPECT_EQ(Get32(&out[16 + 6]), 0u);
}

TEST(StatReply, TooSmallCapacityWritesNothing) {
  const FileSpec spec = Parsed(TwoKeys());
  const size_t size = kFileSpecSize + 3 * kKeyBlockSize;
  for (size_t capacity : {size_t{0}, size_t{15}, size - 1}) {
    Bytes out(capacity + 1, 0xEE);
    EXPECT_EQ(BuildStatReply(spec, 1, {1, 1}, out.data(), capacity), 0u) << capacity;
    EXPECT_EQ(out, Bytes(capacity + 1, 0xEE)) << capacity;
  }
  Bytes exact(size);
  EXPECT_EQ(BuildStatReply(spec, 1, {1, 1}, exact.data(), exact.size()), size);
}

TEST(StatReply, DescriptionWithoutBlocksIsLaidOutFromItsKeys) {
  FileSpec spec = Parsed(TwoKeys());
  spec.key_blocks.clear();
  Bytes out(kFileSpecSize + 3 * kKeyBlockSize);
  ASSERT_EQ(BuildStatReply(spec, 0, {0, 0}, out.data(), out.size()), out.size());
  FileSpec again;
  ASSERT_EQ(Parse(out, &again), 0);
  ASSERT_EQ(again.keys.size(), 2u);
  EXPECT_EQ(again.keys[1].segments[1].offset, 19);
  EXPECT_EQ(again.keys[1].segments[1].type, kTypeDate);
}

class StoredDescription : public ::testing::Test {
 protected:
  static bool Decode(const std::string& s, FileSpec* out, std::string* reason) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[s.size() + 1]);
    std::memcpy(exact.get(), s.data(), s.size());
    return DecodeFileSpec(exact.get(), s.size(), out, reason);
  }
  std::string stored_ = EncodeFileSpec(Parsed(TwoKeys()));
};

TEST_F(StoredDescription, RoundTrips) {
  FileSpec back;
  std::string reason;
  ASSERT_TRUE(Decode(stored_, &back, &reason)) << reason;
  EXPECT_EQ(EncodeFileSpec(back), stored_);
  ASSERT_EQ(back.keys.size(), 2u);
  EXPECT_EQ(back.keys[1].segments[0].length, 10);
  EXPECT_EQ(back.key_blocks, Parsed(TwoKeys()).key_blocks);
}

// Files already on disk carry the IEEE CRC-32 (reflected, 0xEDB88320) in their last four
// bytes; whatever computes it, the stored value must stay that one.
TEST_F(StoredDescription, EndsWithTheIeeeCrc32OfEverythingBefore) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i + 4 < stored_.size(); ++i) {
    c ^= static_cast<uint8_t>(stored_[i]);
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  c ^= 0xFFFFFFFFu;
  uint32_t stored_crc = 0;
  for (int i = 0; i < 4; ++i) {
    stored_crc |= uint32_t{static_cast<uint8_t>(stored_[stored_.size() - 4 + i])} << (8 * i);
  }
  EXPECT_EQ(stored_crc, c);
}

TEST_F(StoredDescription, TruncatedOrExtendedIsRefusedWithAReason) {
  for (size_t n = 0; n < stored_.size(); ++n) {
    std::string reason;
    FileSpec out;
    EXPECT_FALSE(Decode(stored_.substr(0, n), &out, &reason)) << n;
    EXPECT_NE(reason.find("truncated"), std::string::npos) << n << ": " << reason;
  }
  std::string reason;
  EXPECT_FALSE(Decode(stored_ + "x", nullptr, &reason));
  EXPECT_NE(reason.find("unexpected bytes"), std::string::npos) << reason;
}

TEST_F(StoredDescription, EveryBitFlipIsRefusedWithAReason) {
  for (size_t bit = 0; bit < stored_.size() * 8; ++bit) {
    std::string bad = stored_;
    bad[bit / 8] = static_cast<char>(bad[bit / 8] ^ (1 << (bit % 8)));
    std::string reason;
    FileSpec out;
    EXPECT_FALSE(Decode(bad, &out, &reason)) << "bit " << bit;
    EXPECT_FALSE(reason.empty()) << "bit " << bit;
  }
}

TEST_F(StoredDescription, UnknownVersionAndInvalidContentNameTheirReason) {
  std::string reason;
  std::string newer = stored_;
  newer[0] = 2;
  EXPECT_FALSE(Decode(newer, nullptr, &reason));
  EXPECT_NE(reason.find("version 2"), std::string::npos) << reason;

  // A well-formed, checksummed description of a file creation would refuse.
  FileSpec spec = Parsed(TwoKeys());
  spec.page_size = 1000;
  EXPECT_FALSE(Decode(EncodeFileSpec(spec), nullptr, &reason));
  EXPECT_NE(reason.find("status 24"), std::string::npos) << reason;
}

}  // namespace
}  // namespace mkde
