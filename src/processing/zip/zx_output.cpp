#include "processing/zip/zx_output.h"

#include <algorithm>
#include <cstring>

#include "processing/zip/zx_crc32.h"

namespace qx {

TZxOutput::TZxOutput(TZxSink* sink, uint64_t declaredSize)
    : TZxOutput(sink, declaredSize, nullptr) {}

TZxOutput::TZxOutput(TZxSink* sink, uint64_t declaredSize, uint8_t* buffer)
    : sink_(sink), declared_(declaredSize), buf_(buffer) {
    if (!buf_) {
        owned_.reset(new uint8_t[kBufferSize]);
        buf_ = owned_.get();
    }
    std::memset(buf_, 0, kHistory);  // the zeros before the first byte
    UpdateLimit();
}

void TZxOutput::UpdateLimit() {
    limit_ = kHistory + static_cast<size_t>(std::min<uint64_t>(kSpan, declared_ - base_));
}

int TZxOutput::Flush() {
    uint8_t* b = buf_;
    for (size_t at = kHistory; at < Pos;) {
        const size_t n = std::min<size_t>(32768, Pos - at);
        crc_ = ZxCrc32(crc_, b + at, n);
        if (sink_ && !sink_->Write(b + at, n)) return kZxErrWrite;
        at += n;
    }
    // Keep the last kHistory bytes (Pos >= kHistory, so they are all inside the buffer).
    std::memmove(b, b + Pos - kHistory, kHistory);
    base_ += Pos - kHistory;
    Pos = kHistory;
    UpdateLimit();
    return kZxOk;
}

int TZxOutput::Put(const uint8_t* data, size_t size) {
    while (size > 0) {
        if (Pos == limit_) {
            if (Complete()) return kZxErrSize;
            if (int r = Flush(); r != kZxOk) return r;
        }
        const size_t n = std::min(size, limit_ - Pos);
        std::memcpy(buf_ + Pos, data, n);
        Pos += n;
        data += n;
        size -= n;
    }
    return kZxOk;
}

}  // namespace qx
