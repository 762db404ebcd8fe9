#include "processing/zip/zx_crc32.h"

#include <array>
#include <cstring>

namespace qx {
namespace {

using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

// Table k gives the CRC contribution of a byte that is followed by k more bytes.
constexpr CrcTables MakeTables() {
    CrcTables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
        for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
    return t;
}

constexpr CrcTables kTables = MakeTables();

}  // namespace

uint32_t ZxCrc32(uint32_t crc, const uint8_t* data, size_t size) {
    uint32_t c = ~crc;
    while (size >= 8) {
        uint32_t lo, hi;
        std::memcpy(&lo, data, 4);  // the host is little-endian (x86-64, AArch64)
        std::memcpy(&hi, data + 4, 4);
        lo ^= c;
        c = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
            kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
            kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
        data += 8;
        size -= 8;
    }
    while (size--) c = kTables[0][(c ^ *data++) & 0xFF] ^ (c >> 8);
    return ~c;
}

}  // namespace qx
