// One entry of an archive's central directory.
#pragma once

#include <cstdint>
#include <string>

namespace qx {

struct TZxZipItem {
    // As stored, with "/" turned into "\", in UTF-8: names in the IBM PC character set are
    // converted unless flag bit 11 marks them UTF-8, or a Unicode path field gives the name.
    std::string FileName;
    uint16_t VersionNeeded = 0;
    // bit 0 encrypted, bits 1-2 implode options, bit 3 sizes follow data, bit 11 UTF-8 name
    uint16_t Flags = 0;
    uint16_t Method = 0;
    uint16_t DosTime = 0;
    uint16_t DosDate = 0;
    uint32_t Crc32 = 0;
    // From the Zip64 extended information where the header holds 0xFFFFFFFF.
    uint64_t CompressedSize = 0;
    uint64_t UncompressedSize = 0;
    uint64_t LocalHeaderOffset = 0;
    bool Zip64 = false;  // the central header has a Zip64 extended information field
};

}  // namespace qx
