// The decoders' output window: a buffer that keeps the last 32 KB written as history for
// back-references, collects new bytes behind it, and hands them to a sink (with their CRC-32)
// when it fills. Memory stays bounded whatever the entry's size.
//
// Layout of Buf:  [0, kHistory) history | [kHistory, Limit) new bytes | slack for fast copies.
// Before the first byte the history is zeros, which is what the legacy methods define for
// references before the start of the output. The window also enforces the declared size:
// Limit never lies beyond the position of the entry's last byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "processing/zip/zx_result.h"
#include "processing/zip/zx_sink.h"

namespace qx {

class TZxOutput {
  public:
    static constexpr size_t kHistory = 32768;
    static constexpr size_t kSpan = 4 * 32768;
    static constexpr size_t kSlack = 320;  // a decoder may write up to this much past Limit

    static constexpr size_t kBufferSize = kHistory + kSpan + kSlack;

    TZxOutput(TZxSink* sink, uint64_t declaredSize);
    // Uses the caller's buffer of kBufferSize bytes, so that a run of small entries does not
    // allocate a window each.
    TZxOutput(TZxSink* sink, uint64_t declaredSize, uint8_t* buffer);
    TZxOutput(const TZxOutput&) = delete;
    TZxOutput& operator=(const TZxOutput&) = delete;

    uint8_t* Buf() { return buf_; }
    // Index of the next byte to write; decoders advance it themselves.
    size_t Pos = kHistory;
    // Index that Pos may not pass before the next Flush.
    size_t Limit() const { return limit_; }

    // Bytes written so far, including those at [kHistory, Pos).
    uint64_t Total() const { return base_ + (Pos - kHistory); }
    // Bytes written before index kHistory of the buffer.
    uint64_t Base() const { return base_; }
    uint64_t Remaining() const { return declared_ - Total(); }
    bool Complete() const { return Total() == declared_; }

    // Passes [kHistory, Pos) to the sink and slides the window, so that Limit moves on
    // (unless the declared size is reached). kZxErrWrite when the sink refuses.
    int Flush();

    // Appends bytes, flushing as needed; kZxErrSize if they would exceed the declared size.
    int Put(const uint8_t* data, size_t size);

    uint32_t Crc() const { return crc_; }

  private:
    void UpdateLimit();

    TZxSink* sink_;
    uint64_t declared_;
    uint64_t base_ = 0;  // total bytes before index kHistory
    size_t limit_ = kHistory;
    uint32_t crc_ = 0;
    std::unique_ptr<uint8_t[]> owned_;
    uint8_t* buf_;
};

}  // namespace qx
