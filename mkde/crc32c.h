// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78), the checksum of stored records.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mkde {

// Extends `crc` (0 to begin) over n bytes at p. Extend(Extend(0, a), b) is the CRC of a and
// b one after the other.
// Uses the processor's CRC-32C instruction where it has one.
uint32_t Crc32cExtend(uint32_t crc, const uint8_t* p, size_t n);
// The CRC of the eight bytes of `word`, least significant first, followed by n bytes at p:
// a short header that is never stored to memory, then a body, in one pass.
uint32_t Crc32cAfterWord(uint64_t word, const uint8_t* p, size_t n);
// The same by tables, for processors without the instruction.
uint32_t Crc32cPortable(uint32_t crc, const uint8_t* p, size_t n);

}  // namespace mkde
