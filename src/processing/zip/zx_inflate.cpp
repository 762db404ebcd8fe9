#include "processing/zip/zx_inflate.h"

#include <cstring>
#include <memory>

#include "processing/zip/zx_bit_reader.h"
#include "processing/zip/zx_huffman.h"

namespace qx {
namespace {

constexpr int kLitRoot = 10;
constexpr int kDistRoot = 8;

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                    33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// Order in which the code-length code lengths are sent.
constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                          11, 4,  12, 3, 13, 2, 14, 1, 15};

struct SymbolOps {
    uint32_t Lit[288];
    uint32_t Dist[32];
    uint32_t Plain[19];
    SymbolOps() {
        for (int i = 0; i < 288; ++i) {
            if (i < 256)
                Lit[i] = ZxEntry(0, zxop::kSymbol, i);
            else if (i == 256)
                Lit[i] = ZxEntry(0, zxop::kEnd, 0);
            else if (i < 286)
                Lit[i] = ZxEntry(0, kLengthExtra[i - 257], kLengthBase[i - 257]);
            else
                Lit[i] = ZxEntry(0, zxop::kInvalid, 0);  // 286, 287 take part but never occur
        }
        for (int i = 0; i < 32; ++i)
            Dist[i] =
                i < 30 ? ZxEntry(0, kDistExtra[i], kDistBase[i]) : ZxEntry(0, zxop::kInvalid, 0);
        for (int i = 0; i < 19; ++i) Plain[i] = ZxEntry(0, zxop::kSymbol, i);
    }
};
const SymbolOps kOps;

struct Tables {
    ZxHuffTable Lit;
    ZxHuffTable Dist;
};

bool BuildFixed(Tables& t) {
    uint8_t lens[288];
    for (int i = 0; i < 288; ++i) lens[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    uint8_t dl[32];
    std::memset(dl, 5, sizeof dl);
    return ZxBuildCanonical(t.Lit, kLitRoot, 288, lens, kOps.Lit) &&
           ZxBuildCanonical(t.Dist, kDistRoot, 32, dl, kOps.Dist);
}

// Decodes one symbol with the slow reader (header decoding only).
uint32_t DecodeSlow(TZxBitReader& br, const ZxHuffTable& t) {
    br.Fill();
    uint32_t e = t.Entries[br.BitBuf & ((1u << t.RootBits) - 1)];
    if (ZxEntryOp(e) & zxop::kLink) {
        br.Drop(t.RootBits);
        e = t.Entries[ZxEntryValue(e) + (br.BitBuf & ((1u << (ZxEntryOp(e) & 15)) - 1))];
    }
    br.Drop(ZxEntryBits(e));
    return e;
}

int ReadDynamic(TZxBitReader& br, Tables& t) {
    const int nlit = static_cast<int>(br.Get(5)) + 257;
    const int ndist = static_cast<int>(br.Get(5)) + 1;
    const int nclen = static_cast<int>(br.Get(4)) + 4;
    if (nlit > 286 || ndist > 30) return kZxErrData;
    uint8_t clens[19] = {};
    for (int i = 0; i < nclen; ++i) clens[kCodeLengthOrder[i]] = static_cast<uint8_t>(br.Get(3));
    ZxHuffTable& clTable = t.Dist;  // reused: the distance table is built afterwards
    if (!ZxBuildCanonical(clTable, 7, 19, clens, kOps.Plain)) return kZxErrData;
    uint8_t lens[286 + 30] = {};
    for (int n = 0; n < nlit + ndist;) {
        const uint32_t e = DecodeSlow(br, clTable);
        if (ZxEntryOp(e) != zxop::kSymbol) return kZxErrData;
        const uint32_t sym = ZxEntryValue(e);
        if (sym < 16) {
            lens[n++] = static_cast<uint8_t>(sym);
            continue;
        }
        uint8_t value = 0;
        int repeat;
        if (sym == 16) {
            if (n == 0) return kZxErrData;
            value = lens[n - 1];
            repeat = 3 + static_cast<int>(br.Get(2));
        } else if (sym == 17) {
            repeat = 3 + static_cast<int>(br.Get(3));
        } else {
            repeat = 11 + static_cast<int>(br.Get(7));
        }
        if (n + repeat > nlit + ndist) return kZxErrData;
        while (repeat--) lens[n++] = value;
    }
    if (lens[256] == 0) return kZxErrData;  // the block could never end
    if (!ZxBuildCanonical(t.Lit, kLitRoot, nlit, lens, kOps.Lit) ||
        !ZxBuildCanonical(t.Dist, kDistRoot, ndist, lens + nlit, kOps.Dist))
        return kZxErrData;
    return br.Overrun() ? kZxErrTruncated : kZxOk;
}

int CopyStored(TZxBitReader& br, TZxOutput& out) {
    br.Align();
    const uint32_t len = br.Get(16);
    const uint32_t nlen = br.Get(16);
    if ((len ^ 0xFFFF) != nlen) return kZxErrData;
    if (br.Overrun()) return kZxErrTruncated;
    uint32_t left = len;
    uint8_t held[8];
    const unsigned n = br.TakeBufferedBytes(held, left < 8 ? left : 8);
    if (int r = out.Put(held, n); r != kZxOk) return r;
    left -= n;
    if (left > 0 && br.BitCount != 0) return kZxErrTruncated;  // only padding is buffered
    TZxInput& in = br.Input();
    while (left > 0) {
        if (in.Next == in.End && !in.Refill()) return kZxErrTruncated;
        const uint32_t take = static_cast<uint32_t>(
            left < static_cast<size_t>(in.End - in.Next) ? left : in.End - in.Next);
        if (int r = out.Put(in.Next, take); r != kZxOk) return r;
        in.Next += take;
        left -= take;
    }
    return kZxOk;
}

// The hot loop: literal/length and distance codes of one block until its end code.
int DecodeBlock(TZxBitReader& br, TZxOutput& out, const Tables& t) {
    TZxInput& in = br.Input();
    uint8_t* const buf = out.Buf();
    size_t pos = out.Pos;
    size_t limit = out.Limit();
    uint64_t bb = br.BitBuf;
    unsigned bc = br.BitCount;
    const uint8_t* ip = in.Next;
    const uint32_t* const lt = t.Lit.Entries;
    const uint32_t* const dt = t.Dist.Entries;
    const uint64_t lmask = (1u << kLitRoot) - 1;
    const uint64_t dmask = (1u << kDistRoot) - 1;
    int result = kZxOk;

    for (;;) {
        if (in.End - ip >= 8) {
            uint64_t v;
            std::memcpy(&v, ip, 8);
            bb |= v << bc;
            ip += (63 - bc) >> 3;
            bc |= 56;
        } else {
            in.Next = ip;
            br.BitBuf = bb;
            br.BitCount = bc;
            br.Fill();
            if (br.Overrun()) {
                result = kZxErrTruncated;
                break;
            }
            bb = br.BitBuf;
            bc = br.BitCount;
            ip = in.Next;
        }
        uint32_t e = lt[bb & lmask];
        if (ZxEntryOp(e) & zxop::kLink) {
            bb >>= kLitRoot;
            bc -= kLitRoot;
            e = lt[ZxEntryValue(e) + (bb & ((1u << (ZxEntryOp(e) & 15)) - 1))];
        }
        bb >>= ZxEntryBits(e);
        bc -= ZxEntryBits(e);
        uint32_t op = ZxEntryOp(e);
        if (op == zxop::kSymbol) {
            if (pos == limit) {
                out.Pos = pos;
                if (out.Complete()) {
                    result = kZxErrSize;
                    break;
                }
                if ((result = out.Flush()) != kZxOk) break;
                pos = out.Pos;
                limit = out.Limit();
            }
            buf[pos++] = static_cast<uint8_t>(ZxEntryValue(e));
            continue;
        }
        if (op >= 16) {
            if (op != zxop::kEnd) result = kZxErrData;
            break;
        }
        const uint32_t len = ZxEntryValue(e) + static_cast<uint32_t>(bb & ((1u << op) - 1));
        bb >>= op;
        bc -= op;
        e = dt[bb & dmask];
        if (ZxEntryOp(e) & zxop::kLink) {
            bb >>= kDistRoot;
            bc -= kDistRoot;
            e = dt[ZxEntryValue(e) + (bb & ((1u << (ZxEntryOp(e) & 15)) - 1))];
        }
        bb >>= ZxEntryBits(e);
        bc -= ZxEntryBits(e);
        op = ZxEntryOp(e);
        if (op >= 16) {
            result = kZxErrData;
            break;
        }
        const uint32_t dist = ZxEntryValue(e) + static_cast<uint32_t>(bb & ((1u << op) - 1));
        bb >>= op;
        bc -= op;
        if (limit - pos < len) {
            out.Pos = pos;
            if ((result = out.Flush()) != kZxOk) break;
            pos = out.Pos;
            limit = out.Limit();
            if (limit - pos < len) {
                result = kZxErrSize;
                break;
            }
        }
        if (dist > out.Base() + (pos - TZxOutput::kHistory)) {
            result = kZxErrData;  // before the start of the output
            break;
        }
        uint8_t* d = buf + pos;
        const uint8_t* s = d - dist;
        pos += len;
        if (dist >= 8) {
            // Eight bytes at a time; may write up to 7 bytes past the match (into the slack).
            uint8_t* const stop = d + len;
            do {
                std::memcpy(d, s, 8);
                d += 8;
                s += 8;
            } while (d < stop);
        } else if (dist == 1) {
            std::memset(d, *s, len);
        } else {
            for (uint32_t i = 0; i < len; ++i) d[i] = s[i];
        }
    }
    out.Pos = pos;
    in.Next = ip;
    br.BitBuf = bb;
    br.BitCount = bc;
    return result;
}

}  // namespace

int ZxInflate(TZxInput& in, TZxOutput& out) {
    TZxBitReader br(in);
    auto tables = std::make_unique<Tables>();
    bool fixedBuilt = false;
    for (;;) {
        br.Fill();
        const uint32_t last = br.Get(1);
        const uint32_t type = br.Get(2);
        int r;
        if (type == 0) {
            r = CopyStored(br, out);
            fixedBuilt = false;
        } else if (type == 1) {
            if (!fixedBuilt && !BuildFixed(*tables)) return kZxErrData;
            fixedBuilt = true;
            r = DecodeBlock(br, out, *tables);
        } else if (type == 2) {
            fixedBuilt = false;
            r = ReadDynamic(br, *tables);
            if (r == kZxOk) r = DecodeBlock(br, out, *tables);
        } else {
            r = kZxErrData;
        }
        if (br.Overrun()) return kZxErrTruncated;  // whatever else went wrong after that
        if (r != kZxOk) return r;
        if (last) return kZxOk;
    }
}

}  // namespace qx
