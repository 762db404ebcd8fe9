// The two checks of ZMODEM frames: CRC-16 (XMODEM/CCITT, polynomial 0x1021, start 0, sent most
// significant byte first) and CRC-32 (IEEE 802.3, reflected, start 0xFFFFFFFF, sent complemented
// and least significant byte first). Running either over a frame and its own check bytes gives
// a fixed residue: 0 for CRC-16, kCrc32Residue for CRC-32.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx::zm {

constexpr uint32_t kCrc32Residue = 0xDEBB20E3;

uint16_t Crc16Update(uint16_t crc, uint8_t byte);
uint32_t Crc32Update(uint32_t crc, uint8_t byte);
uint16_t Crc16(const uint8_t* data, size_t len, uint16_t crc = 0);
uint32_t Crc32(const uint8_t* data, size_t len, uint32_t crc = 0xFFFFFFFF);

}  // namespace qx::zm
