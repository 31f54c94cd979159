#include "keys/btrkey.h"

#include <cstring>

namespace vastrel::keys {
namespace {

// Extended codes of ktString .. ktSignTrailing; the gaps (12, 13, 16, 18..) have no type.
constexpr uint8_t kExtendedCode[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 14, 15, 17};

TKeyTypes TypeOfExtendedCode(uint8_t code) {
  if (code <= 11) return static_cast<TKeyTypes>(code + ktString);
  switch (code) {
    case 14:
      return ktUnsignedBinary;
    case 15:
      return ktAutoIncrement;
    case 17:
      return ktSignTrailing;
    default:
      return ktUnknown;
  }
}

}  // namespace

int ExtendedCodeOf(TKeyTypes type) {
  if (type < ktString || type > ktSignTrailing) return -1;
  return kExtendedCode[type - ktString];
}

void TKey::ReadBlockFrom(const uint8_t* src) { std::memcpy(block_.data(), src, kKeySpecSize); }

void TKey::WriteBlockTo(uint8_t* dst) const { std::memcpy(dst, block_.data(), kKeySpecSize); }

uint32_t TKey::KeyValues() const {
  return static_cast<uint32_t>(block_[6]) | (static_cast<uint32_t>(block_[7]) << 8) |
         (static_cast<uint32_t>(block_[8]) << 16) | (static_cast<uint32_t>(block_[9]) << 24);
}

void TKey::SetKeyValues(uint32_t v) {
  for (int i = 0; i < 4; ++i) block_[6 + i] = static_cast<uint8_t>(v >> (8 * i));
}

TKeyTypes TKey::KeyType() const {
  const uint16_t flags = KeyFlag();
  // The binary flag wins over everything else: ktOldBinary writes 0x0104, and a file of
  // the engine's old binary type brings 0x0004 alone. Reading either by the Extended code
  // would turn a binary key into ktString on the next creation.
  if (flags & kFlagBinary) return ktOldBinary;
  if (!(flags & kFlagExtendedType)) return ktOldString;
  return TypeOfExtendedCode(Extended());
}

void TKey::SetKeyType(int value) {
  const int v = value & 0xFF;
  if (v == KeyType()) return;
  uint16_t flags = static_cast<uint16_t>((KeyFlag() & ~kFlagBinary) | kFlagExtendedType);
  if (v == ktOldBinary) {
    SetExtended(0);
    flags |= kFlagBinary;
  } else if (v == ktOldString) {
    SetExtended(0);
    flags = static_cast<uint16_t>(flags & ~kFlagExtendedType);
  } else if (v < ktUnknown) {
    SetExtended(static_cast<uint8_t>(ExtendedCodeOf(static_cast<TKeyTypes>(v))));
  }
  SetKeyFlag(flags);
}

}  // namespace vastrel::keys
