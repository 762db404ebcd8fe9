#include "processing/zip/zx_pkware_header.h"

#include "processing/zip/zx_crc32.h"

namespace qx {
namespace {

// One step of the CRC-32 register, as the cipher's key schedule uses it.
uint32_t CrcStep(uint32_t crc, uint8_t b) {
    uint32_t c = crc ^ b;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    return c;
}

struct Keys {
    uint32_t K0 = 305419896u, K1 = 591751049u, K2 = 878082192u;
    void Update(uint8_t c) {
        K0 = CrcStep(K0, c);
        K1 = (K1 + (K0 & 0xFF)) * 134775813u + 1;
        K2 = CrcStep(K2, static_cast<uint8_t>(K1 >> 24));
    }
    uint8_t StreamByte() const {
        const uint32_t t = (K2 | 2) & 0xFFFF;
        return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
    }
};

}  // namespace

bool ZxPkwareHeaderMatches(const uint8_t header[12], const std::string& password,
                           uint8_t checkByte) {
    Keys keys;
    for (char ch : password) keys.Update(static_cast<uint8_t>(ch));
    uint8_t plain = 0;
    for (int i = 0; i < 12; ++i) {
        plain = header[i] ^ keys.StreamByte();
        keys.Update(plain);
    }
    return plain == checkByte;
}

}  // namespace qx
