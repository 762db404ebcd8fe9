// Lookup tables for the prefix codes of Deflate and Implode, decoded LSB-first.
//
// A table entry is 32 bits: bits 0-7 the number of code bits to drop at this level,
// bits 8-15 an operation, bits 16-31 a value. Operations:
//   0x00-0x0F  a base value (Value) followed by that many extra bits
//   0x10       a plain symbol (literal byte, Shannon-Fano value, code-length code)
//   0x20       end of block
//   0x40 | k   the code is longer than the root: drop the root bits, then index the subtable
//              at Value with the next k bits
//   0x80       no code has these bits: the stream is malformed
// One root table of 2^rootBits entries is followed by equal-sized subtables for the codes
// longer than the root, one per distinct root prefix.
#pragma once

#include <cstdint>

namespace qx {

namespace zxop {
constexpr uint32_t kSymbol = 0x10;
constexpr uint32_t kEnd = 0x20;
constexpr uint32_t kLink = 0x40;
constexpr uint32_t kInvalid = 0x80;
}  // namespace zxop

constexpr uint32_t ZxEntry(uint32_t bits, uint32_t op, uint32_t value) {
    return bits | (op << 8) | (value << 16);
}
inline uint32_t ZxEntryBits(uint32_t e) {
    return e & 0xFF;
}
inline uint32_t ZxEntryOp(uint32_t e) {
    return (e >> 8) & 0xFF;
}
inline uint32_t ZxEntryValue(uint32_t e) {
    return e >> 16;
}

struct ZxHuffTable {
    static constexpr int kMaxSymbols = 288;
    static constexpr int kMaxEntries = 1024 + kMaxSymbols * 64;
    int RootBits = 0;
    uint32_t Entries[kMaxEntries];
};

// Builds the table from per-symbol codes already in reading order (first bit read = bit 0).
// lens[i] == 0 means symbol i is unused; symbolOps[i] is its operation and value as
// ZxEntry(0, op, value). rootBits <= 10, lengths <= 16. False when the code cannot be built.
bool ZxBuildTable(ZxHuffTable& table, int rootBits, int count, const uint8_t* lens,
                  const uint16_t* codes, const uint32_t* symbolOps);

// Canonical (Deflate) code: codes are assigned from the lengths in order of (length, symbol).
// Fails for an over-subscribed set of lengths; an incomplete code leaves invalid entries.
bool ZxBuildCanonical(ZxHuffTable& table, int rootBits, int count, const uint8_t* lens,
                      const uint32_t* symbolOps);

uint16_t ZxReverseBits(uint32_t code, int length);

}  // namespace qx
