// The traditional PKWARE encryption header: 12 bytes in front of an encrypted entry's data,
// whose last byte, once decrypted with the password's keys, must equal the high byte of the
// entry's CRC-32 (or of its MS-DOS time when sizes follow the data, flag bit 3).
#pragma once

#include <cstdint>
#include <string>

namespace qx {

// True when the header decrypts to the expected check byte with the given password.
bool ZxPkwareHeaderMatches(const uint8_t header[12], const std::string& password,
                           uint8_t checkByte);

}  // namespace qx
