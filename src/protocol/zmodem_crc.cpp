#include "protocol/zmodem_crc.h"

#include <array>

namespace qx::zm {

namespace {

constexpr std::array<uint16_t, 256> MakeCrc16Table() {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int k = 0; k < 8; ++k)
            c = (c & 0x8000) ? static_cast<uint16_t>((c << 1) ^ 0x1021)
                             : static_cast<uint16_t>(c << 1);
        t[i] = c;
    }
    return t;
}

// Eight tables for slicing by eight: the data subpackets are checked eight bytes a step.
constexpr std::array<std::array<uint32_t, 256>, 8> MakeCrc32Tables() {
    std::array<std::array<uint32_t, 256>, 8> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
        for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    return t;
}

constexpr auto kCrc16Table = MakeCrc16Table();
constexpr auto kCrc32Tables = MakeCrc32Tables();
constexpr const auto& kCrc32Table = kCrc32Tables[0];

}  // namespace

uint16_t Crc16Update(uint16_t crc, uint8_t byte) {
    return static_cast<uint16_t>((crc << 8) ^ kCrc16Table[((crc >> 8) ^ byte) & 0xFF]);
}

uint32_t Crc32Update(uint32_t crc, uint8_t byte) {
    return kCrc32Table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

uint16_t Crc16(const uint8_t* data, size_t len, uint16_t crc) {
    for (size_t i = 0; i < len; ++i) crc = Crc16Update(crc, data[i]);
    return crc;
}

uint32_t Crc32(const uint8_t* data, size_t len, uint32_t crc) {
    const auto& t = kCrc32Tables;
    while (len >= 8) {
        const uint32_t lo = crc ^ (uint32_t{data[0]} | uint32_t{data[1]} << 8 |
                                   uint32_t{data[2]} << 16 | uint32_t{data[3]} << 24);
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
              t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
        data += 8;
        len -= 8;
    }
    while (len-- > 0) crc = kCrc32Table[(crc ^ *data++) & 0xFF] ^ (crc >> 8);
    return crc;
}

}  // namespace qx::zm
