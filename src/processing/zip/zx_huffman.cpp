#include "processing/zip/zx_huffman.h"

namespace qx {

uint16_t ZxReverseBits(uint32_t code, int length) {
    uint32_t r = 0;
    for (int i = 0; i < length; ++i) {
        r = (r << 1) | (code & 1);
        code >>= 1;
    }
    return static_cast<uint16_t>(r);
}

bool ZxBuildTable(ZxHuffTable& table, int rootBits, int count, const uint8_t* lens,
                  const uint16_t* codes, const uint32_t* symbolOps) {
    if (count > ZxHuffTable::kMaxSymbols || rootBits > 10) return false;
    int maxLen = 0;
    for (int i = 0; i < count; ++i) {
        if (lens[i] > 16) return false;
        if (lens[i] > maxLen) maxLen = lens[i];
    }
    table.RootBits = rootBits;
    const uint32_t rootSize = 1u << rootBits;
    const uint32_t invalid = ZxEntry(0, zxop::kInvalid, 0);
    for (uint32_t i = 0; i < rootSize; ++i) table.Entries[i] = invalid;
    const int subBits = maxLen > rootBits ? maxLen - rootBits : 0;
    const uint32_t subSize = 1u << subBits;
    uint32_t next = rootSize;
    for (int s = 0; s < count; ++s) {
        const int len = lens[s];
        if (len == 0) continue;
        const uint32_t code = codes[s];
        const uint32_t op = symbolOps[s];
        if (len <= rootBits) {
            for (uint32_t i = code & ((1u << len) - 1); i < rootSize; i += 1u << len)
                table.Entries[i] = op | static_cast<uint32_t>(len);
            continue;
        }
        const uint32_t low = code & (rootSize - 1);
        uint32_t link = table.Entries[low];
        if (ZxEntryOp(link) != (zxop::kLink | subBits)) {
            if (ZxEntryOp(link) != zxop::kInvalid) return false;  // a shorter code is a prefix
            if (next + subSize > ZxHuffTable::kMaxEntries) return false;
            link = ZxEntry(rootBits, zxop::kLink | subBits, next);
            table.Entries[low] = link;
            for (uint32_t i = 0; i < subSize; ++i) table.Entries[next + i] = invalid;
            next += subSize;
        }
        uint32_t* sub = table.Entries + ZxEntryValue(link);
        const int rest = len - rootBits;
        for (uint32_t i = (code >> rootBits) & ((1u << rest) - 1); i < subSize; i += 1u << rest)
            sub[i] = op | static_cast<uint32_t>(rest);
    }
    return true;
}

bool ZxBuildCanonical(ZxHuffTable& table, int rootBits, int count, const uint8_t* lens,
                      const uint32_t* symbolOps) {
    int perLength[17] = {};
    for (int i = 0; i < count; ++i) {
        if (lens[i] > 15) return false;
        ++perLength[lens[i]];
    }
    perLength[0] = 0;
    int left = 1;
    for (int len = 1; len <= 15; ++len) {
        left <<= 1;
        left -= perLength[len];
        if (left < 0) return false;  // over-subscribed
    }
    uint32_t nextCode[17] = {};
    uint32_t code = 0;
    for (int len = 1; len <= 15; ++len) {
        code = (code + perLength[len - 1]) << 1;
        nextCode[len] = code;
    }
    uint16_t codes[ZxHuffTable::kMaxSymbols];
    for (int i = 0; i < count; ++i) {
        codes[i] = lens[i] ? ZxReverseBits(nextCode[lens[i]]++, lens[i]) : 0;
    }
    return ZxBuildTable(table, rootBits, count, lens, codes, symbolOps);
}

}  // namespace qx
