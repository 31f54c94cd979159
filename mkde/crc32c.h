// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78), the checksum of stored records.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mkde {

// Extends `crc` (0 to begin) over n bytes at p. Extend(Extend(0, a), b) is the CRC of a and
// b one after the other.
// Uses the processor's CRC-32C instruction where it has one.
uint32_t Crc32cExtend(uint32_t crc, const uint8_t* p, size_t n);
// The CRC of na bytes at a followed by nb bytes at b, as Crc32cExtend(Crc32cExtend(0, a, na),
// b, nb) gives it, in one pass.
uint32_t Crc32cOfParts(const uint8_t* a, size_t na, const uint8_t* b, size_t nb);
// The same by tables, for processors without the instruction.
uint32_t Crc32cPortable(uint32_t crc, const uint8_t* p, size_t n);

}  // namespace mkde
