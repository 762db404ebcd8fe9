#include "processing/zip/zx_unreduce.h"

#include "processing/zip/zx_bit_reader.h"

namespace qx {
namespace {

constexpr uint8_t kDle = 144;

// Bits of a follower-set index: enough for N-1, but at least one (a one-member set still
// takes a bit, as real archives show).
int IndexBits(int n) {
    int bits = 1;
    while ((1 << bits) < n) ++bits;
    return bits;
}

// Writes one byte of the expanded output (the caller stops at the declared size).
inline int PutByte(TZxOutput& out, uint8_t c) {
    if (out.Pos == out.Limit()) {
        if (int r = out.Flush(); r != kZxOk) return r;
    }
    out.Buf()[out.Pos++] = c;
    return kZxOk;
}

}  // namespace

int ZxUnreduce(TZxInput& in, TZxOutput& out, int factor) {
    if (factor < 1 || factor > 4) return kZxErrData;
    TZxBitReader br(in);
    uint8_t sets[256][32];
    uint8_t setSize[256];
    for (int j = 255; j >= 0; --j) {
        const uint32_t n = br.Get(6);
        if (n > 32) return kZxErrData;
        setSize[j] = static_cast<uint8_t>(n);
        for (uint32_t k = 0; k < n; ++k) sets[j][k] = static_cast<uint8_t>(br.Get(8));
    }
    const uint32_t lengthMask = (1u << (8 - factor)) - 1;
    int state = 0;
    uint32_t v = 0, len = 0;
    uint8_t last = 0;
    while (!out.Complete()) {
        // Stage one: the next byte of the intermediate stream.
        if (br.BitCount < 16) {
            br.Fill();
            if (br.Overrun()) return kZxErrTruncated;
        }
        uint8_t c;
        const int n = setSize[last];
        if (n == 0 || br.Get(1)) {
            c = static_cast<uint8_t>(br.Get(8));
        } else {
            const uint32_t i = br.Get(IndexBits(n));
            if (i >= static_cast<uint32_t>(n)) return kZxErrData;
            c = sets[last][i];
        }
        last = c;
        // Stage two: expansion.
        switch (state) {
            case 0:
                if (c != kDle) {
                    if (int r = PutByte(out, c); r != kZxOk) return r;
                } else {
                    state = 1;
                }
                break;
            case 1:
                if (c == 0) {
                    if (int r = PutByte(out, kDle); r != kZxOk) return r;
                    state = 0;
                } else {
                    v = c;
                    len = v & lengthMask;
                    state = len == lengthMask ? 2 : 3;
                }
                break;
            case 2:
                len += c;
                state = 3;
                break;
            default: {
                const uint32_t dist = ((v >> (8 - factor)) << 8) + c + 1;  // at most 4096
                uint64_t count = len + 3;
                if (count > out.Remaining()) count = out.Remaining();  // the last copy may overrun
                for (uint64_t k = 0; k < count; ++k) {
                    if (out.Pos == out.Limit()) {
                        if (int r = out.Flush(); r != kZxOk) return r;
                    }
                    out.Buf()[out.Pos] = out.Buf()[out.Pos - dist];
                    ++out.Pos;
                }
                state = 0;
                break;
            }
        }
    }
    return br.Overrun() ? kZxErrTruncated : kZxOk;
}

}  // namespace qx
