#include "mkde/core/blocks.h"

#include <endian.h>
#include <sodium.h>

#include "mkde/coding.h"

namespace mkde::core {

namespace {

constexpr uint8_t kTag[4] = {'V', 'p', 'b', 1};
constexpr size_t kBlockSize = 128;

}  // namespace

BlockSeal::BlockSeal() {
  if (sodium_init() < 0) {
    // Without libsodium's generator the secret still must not be guessable.
    std::memset(secret_.data(), 0, secret_.size());
  }
  Renew();
}

void BlockSeal::Renew() { randombytes_buf(secret_.data(), secret_.size()); }

void BlockSeal::Check(uint32_t slot, uint64_t generation, const ClientId& client,
                      uint8_t out[16]) const {
  uint8_t message[16 + 16];
  std::memcpy(message, kTag, 4);
  EncodeFixed32(message + 4, slot);
  EncodeFixed64(message + 8, generation);
  std::memcpy(message + 16, client.data(), 16);
  crypto_shorthash_siphashx24(out, message, sizeof message, secret_.data());
}

void BlockSeal::Write(uint32_t slot, uint64_t generation, const uint8_t check[16], void* block) {
  uint8_t* b = static_cast<uint8_t*>(block);
  std::memset(b, 0, kBlockSize);
  std::memcpy(b, kTag, 4);
  EncodeFixed32(b + 4, slot);
  EncodeFixed64(b + 8, generation);
  std::memcpy(b + 16, check, 16);
}

bool BlockSeal::Read(const void* block, uint32_t* slot, uint64_t* generation) {
  if (block == nullptr) return false;
  // Read as whole words: this runs on every call.
  const uint8_t* b = static_cast<const uint8_t*>(block);
  uint32_t tag, expected_tag;
  std::memcpy(&tag, b, 4);
  std::memcpy(&expected_tag, kTag, 4);
  if (tag != expected_tag) return false;
  std::memcpy(slot, b + 4, 4);
  std::memcpy(generation, b + 8, 8);
  *slot = le32toh(*slot);
  *generation = le64toh(*generation);
  return true;
}

bool BlockSeal::Matches(const void* block, const uint8_t check[16]) {
  uint64_t expected[2], given[2];
  std::memcpy(expected, check, 16);
  std::memcpy(given, static_cast<const uint8_t*>(block) + 16, 16);
  return ((expected[0] ^ given[0]) | (expected[1] ^ given[1])) == 0;
}

}  // namespace mkde::core
