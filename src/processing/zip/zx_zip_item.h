// One entry of an archive's central directory.
#pragma once

#include <cstdint>
#include <string>

namespace qx {

struct TZxZipItem {
    std::string FileName;  // as stored, with "/" turned into "\"
    uint16_t VersionNeeded = 0;
    uint16_t Flags = 0;  // bit 0 encrypted, bits 1-2 implode options, bit 3 sizes follow data
    uint16_t Method = 0;
    uint16_t DosTime = 0;
    uint16_t DosDate = 0;
    uint32_t Crc32 = 0;
    uint32_t CompressedSize = 0;
    uint32_t UncompressedSize = 0;
    uint32_t LocalHeaderOffset = 0;
};

}  // namespace qx
