#include "processing/zip/zx_explode.h"

#include <algorithm>
#include <memory>

#include "processing/zip/zx_bit_reader.h"
#include "processing/zip/zx_huffman.h"

namespace qx {
namespace {

constexpr int kRoot = 10;

// A stored tree: one byte (number of following bytes - 1), then bytes whose high nibble is a
// count - 1 and low nibble a bit length - 1, run-length coding the lengths of values 0, 1, ...
int ReadTree(TZxBitReader& br, ZxHuffTable& table, int count) {
    uint8_t lens[256];
    const int bytes = static_cast<int>(br.Get(8)) + 1;
    int n = 0;
    for (int i = 0; i < bytes; ++i) {
        const uint32_t b = br.Get(8);
        const int run = static_cast<int>(b >> 4) + 1;
        if (n + run > count) return kZxErrData;
        std::fill(lens + n, lens + n + run, static_cast<uint8_t>((b & 15) + 1));
        n += run;
    }
    if (n != count || br.Overrun()) return br.Overrun() ? kZxErrTruncated : kZxErrData;

    // Codes: take the values in order of ascending length (stable), and from the last of that
    // order to the first hand out increasing 16-bit codes, stepping by 2^(16 - length).
    int order[256];
    for (int i = 0; i < count; ++i) order[i] = i;
    std::stable_sort(order, order + count, [&](int a, int b) { return lens[a] < lens[b]; });
    uint16_t codes[256];
    uint32_t code = 0, step = 0;
    int lastLen = 0;
    for (int k = count - 1; k >= 0; --k) {
        const int v = order[k];
        code += step;
        if (lens[v] != lastLen) {
            lastLen = lens[v];
            step = 1u << (16 - lastLen);
        }
        if (code + step > 0x10000) return kZxErrData;  // over-subscribed: codes would collide
        // The stream sends the code's most significant bit first.
        codes[v] = ZxReverseBits(code >> (16 - lens[v]), lens[v]);
    }
    uint32_t ops[256];
    for (int i = 0; i < count; ++i) ops[i] = ZxEntry(0, zxop::kSymbol, i);
    return ZxBuildTable(table, kRoot, count, lens, codes, ops) ? kZxOk : kZxErrData;
}

inline bool Decode(TZxBitReader& br, const ZxHuffTable& t, uint32_t& value) {
    uint32_t e = t.Entries[br.BitBuf & ((1u << kRoot) - 1)];
    if (ZxEntryOp(e) & zxop::kLink) {
        br.Drop(kRoot);
        e = t.Entries[ZxEntryValue(e) + (br.BitBuf & ((1u << (ZxEntryOp(e) & 15)) - 1))];
    }
    if (ZxEntryOp(e) != zxop::kSymbol) return false;
    br.Drop(ZxEntryBits(e));
    value = ZxEntryValue(e);
    return true;
}

struct Trees {
    ZxHuffTable Literal, Length, Distance;
};

}  // namespace

int ZxExplode(TZxInput& in, TZxOutput& out, bool bigDictionary, bool literalTree) {
    TZxBitReader br(in);
    auto trees = std::make_unique<Trees>();
    if (literalTree) {
        if (int r = ReadTree(br, trees->Literal, 256); r != kZxOk) return r;
    }
    if (int r = ReadTree(br, trees->Length, 64); r != kZxOk) return r;
    if (int r = ReadTree(br, trees->Distance, 64); r != kZxOk) return r;
    const unsigned lowBits = bigDictionary ? 7 : 6;
    const uint32_t minMatch = literalTree ? 3 : 2;
    uint8_t* const buf = out.Buf();
    while (!out.Complete()) {
        // Enough for the longest step: 1 + 16 literal, or 1 + 7 + 16 + 16 + 8 for a copy.
        br.Fill();
        if (br.Overrun()) return kZxErrTruncated;
        if (out.Pos == out.Limit()) {
            if (int r = out.Flush(); r != kZxOk) return r;
        }
        if (br.Get(1)) {
            uint32_t c;
            if (!literalTree)
                c = br.Get(8);
            else if (!Decode(br, trees->Literal, c))
                return kZxErrData;
            buf[out.Pos++] = static_cast<uint8_t>(c);
            continue;
        }
        uint32_t dist = br.Get(lowBits), high, len;
        if (!Decode(br, trees->Distance, high)) return kZxErrData;
        dist |= high << lowBits;
        if (!Decode(br, trees->Length, len)) return kZxErrData;
        len += minMatch;
        if (len == 63 + minMatch) {
            br.Fill();
            len += br.Get(8);
        }
        ++dist;  // at most 8192, inside the history
        uint64_t count = len;
        if (count > out.Remaining()) count = out.Remaining();  // the last copy may overrun
        while (count > 0) {
            if (out.Pos == out.Limit()) {
                if (int r = out.Flush(); r != kZxOk) return r;
            }
            const size_t n = std::min<uint64_t>(count, out.Limit() - out.Pos);
            uint8_t* d = buf + out.Pos;
            const uint8_t* s = d - dist;
            for (size_t i = 0; i < n; ++i) d[i] = s[i];
            out.Pos += n;
            count -= n;
        }
    }
    return br.Overrun() ? kZxErrTruncated : kZxOk;
}

}  // namespace qx
