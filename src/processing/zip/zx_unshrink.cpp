#include "processing/zip/zx_unshrink.h"

#include <memory>

#include "processing/zip/zx_bit_reader.h"

namespace qx {
namespace {

constexpr int kCodes = 8192;  // 13-bit codes
constexpr int kFirstFree = 257;
constexpr int kControl = 256;

struct Dictionary {
    int16_t Parent[kCodes];  // prefix code, -1 for the 256 single bytes
    uint8_t Last[kCodes];    // last byte of the code's string
    bool InUse[kCodes];
    int NextFree = kFirstFree;
    uint8_t Text[kCodes];  // one string, built back to front

    Dictionary() {
        for (int i = 0; i < kCodes; ++i) {
            Parent[i] = -1;
            Last[i] = static_cast<uint8_t>(i);
            InUse[i] = i < kFirstFree;
        }
    }
    void FindNextFree() {
        while (NextFree < kCodes && InUse[NextFree]) ++NextFree;
    }
    // Frees every code that is no other code's prefix.
    void PartialClear() {
        bool isPrefix[kCodes] = {};
        for (int i = kFirstFree; i < kCodes; ++i)
            if (InUse[i] && Parent[i] >= kFirstFree) isPrefix[Parent[i]] = true;
        for (int i = kFirstFree; i < kCodes; ++i)
            if (!isPrefix[i]) InUse[i] = false;
        NextFree = kFirstFree;
        FindNextFree();
    }
    // The string of code, placed at the end of Text; returns its start or -1 if the chain is
    // broken (a freed prefix or a loop).
    int Spell(int code) {
        int at = kCodes;
        while (code >= 0) {
            if (at == 0 || !InUse[code]) return -1;
            Text[--at] = Last[code];
            code = Parent[code];
        }
        return at;
    }
};

}  // namespace

int ZxUnshrink(TZxInput& in, TZxOutput& out) {
    TZxBitReader br(in);
    auto dict = std::make_unique<Dictionary>();
    unsigned codeSize = 9;
    int previous = -1;
    while (!out.Complete()) {
        if (br.BitCount < 26) {
            br.Fill();
            if (br.Overrun()) return kZxErrTruncated;
        }
        const int code = static_cast<int>(br.Get(codeSize));
        if (code == kControl) {
            const uint32_t sub = br.Get(codeSize);
            if (sub == 1 && codeSize < 13)
                ++codeSize;
            else if (sub == 2)
                dict->PartialClear();
            else
                return kZxErrData;
            continue;
        }
        int start;
        if (previous < 0) {
            if (code > 255) return kZxErrData;
            start = dict->Spell(code);
        } else if (dict->InUse[code]) {
            start = dict->Spell(code);
            if (start < 0) return kZxErrData;
            if (dict->NextFree < kCodes) {  // previous string + first byte of this one
                dict->Parent[dict->NextFree] = static_cast<int16_t>(previous);
                dict->Last[dict->NextFree] = dict->Text[start];
                dict->InUse[dict->NextFree] = true;
                dict->FindNextFree();
            }
        } else if (code == dict->NextFree) {
            // The code being defined right now: previous string + its own first byte.
            const int p = dict->Spell(previous);
            if (p < 0) return kZxErrData;
            dict->Parent[code] = static_cast<int16_t>(previous);
            dict->Last[code] = dict->Text[p];
            dict->InUse[code] = true;
            dict->FindNextFree();
            start = dict->Spell(code);
        } else {
            return kZxErrData;
        }
        if (start < 0) return kZxErrData;
        uint64_t size = kCodes - start;
        if (size > out.Remaining()) size = out.Remaining();
        if (int r = out.Put(dict->Text + start, static_cast<size_t>(size)); r != kZxOk) return r;
        previous = code;
    }
    return br.Overrun() ? kZxErrTruncated : kZxOk;
}

}  // namespace qx
