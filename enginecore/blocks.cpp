#include "enginecore/blocks.h"

#include <sodium.h>

#include "enginecore/coding.h"

namespace mkde::core {

namespace {

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

}  // namespace mkde::core
