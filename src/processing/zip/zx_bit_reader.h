// LSB-first bit reader over a TZxInput, shared by the decoders. Past the end of the input it
// supplies zero bytes and counts them: the legacy methods have no end marker and their last
// code may be padded, but a stream that really consumed such bits is truncated (Overrun).
#pragma once

#include <cstdint>
#include <cstring>

#include "processing/zip/zx_input.h"

namespace qx {

class TZxBitReader {
  public:
    explicit TZxBitReader(TZxInput& in) : in_(in) {}
    TZxBitReader(const TZxBitReader&) = delete;
    TZxBitReader& operator=(const TZxBitReader&) = delete;

    // Makes at least 56 bits available in Bits().
    void Fill() {
        if (in_.End - in_.Next >= 8) {
            uint64_t v;
            std::memcpy(&v, in_.Next, 8);  // little-endian host
            BitBuf |= v << BitCount;
            in_.Next += (63 - BitCount) >> 3;
            BitCount |= 56;
            return;
        }
        while (BitCount <= 56) {
            if (in_.Next == in_.End && !in_.Refill()) {
                ++padding_;  // a zero byte past the end
            } else {
                BitBuf |= static_cast<uint64_t>(*in_.Next++) << BitCount;
            }
            BitCount += 8;
        }
    }
    uint64_t Bits() const { return BitBuf; }
    unsigned Count() const { return BitCount; }
    void Drop(unsigned n) {
        BitBuf >>= n;
        BitCount -= n;
    }
    // Reads n <= 32 bits.
    uint32_t Get(unsigned n) {
        if (BitCount < n) Fill();
        const uint32_t v = static_cast<uint32_t>(BitBuf & ((uint64_t{1} << n) - 1));
        Drop(n);
        return v;
    }
    // Discards bits up to the next byte boundary.
    void Align() { Drop(BitCount & 7); }

    // True when bits past the end of the input were consumed.
    bool Overrun() const { return uint64_t{padding_} * 8 > BitCount; }
    // True when nothing real remains: every buffered bit is padding and the input is empty.
    bool Exhausted() const { return padding_ > 0 && uint64_t{padding_} * 8 >= BitCount; }
    // Gives the buffered whole bytes back to the input (used before a stored block copy).
    // Only valid on a byte boundary; returns how many buffered bytes were read into out.
    unsigned TakeBufferedBytes(uint8_t* out, unsigned max) {
        unsigned n = 0;
        while (n < max && BitCount >= 8 && uint64_t{padding_} * 8 < BitCount) {
            out[n++] = static_cast<uint8_t>(BitBuf);
            Drop(8);
        }
        // Bits above BitCount mirror the input's next bytes; once the caller reads those
        // bytes itself the mirror is stale.
        if (BitCount == 0) BitBuf = 0;
        return n;
    }
    unsigned BufferedRealBytes() const {
        const uint64_t real = BitCount >= padding_ * 8u ? (BitCount - padding_ * 8u) / 8 : 0;
        return static_cast<unsigned>(real);
    }
    TZxInput& Input() { return in_; }

    // The buffered bits; public so that a hot loop can keep them in registers and store
    // them back before calling Fill.
    uint64_t BitBuf = 0;
    unsigned BitCount = 0;

  private:
    TZxInput& in_;
    unsigned padding_ = 0;
};

}  // namespace qx
