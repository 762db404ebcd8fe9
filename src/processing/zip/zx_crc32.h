// CRC-32 of the ZIP format (reflected polynomial 0xEDB88320, initial and final value inverted),
// computed eight bytes at a time with eight lookup tables.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx {

// Continues a CRC: start with 0, feed the data in any split, the result is the final value.
uint32_t ZxCrc32(uint32_t crc, const uint8_t* data, size_t size);

}  // namespace qx
