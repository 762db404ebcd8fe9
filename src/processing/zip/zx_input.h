// Buffered reading of one byte range of an archive (or of a block of memory, for the fuzz
// targets and tests). The decoders read straight from [Next, End) and call Refill when it is
// empty; Refill never reads past the end of the range, so a decoder cannot consume bytes of
// the next entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace qx {

class TZxInput {
  public:
    static constexpr size_t kBufferSize = 65536;

    // Reads `length` bytes of `file` from its current position (the caller has seeked),
    // through the caller's buffer of kBufferSize bytes if one is given.
    TZxInput(std::FILE* file, uint64_t length, uint8_t* buffer = nullptr);
    // Reads the given memory, which must outlive the object.
    TZxInput(const uint8_t* data, size_t size);

    TZxInput(const TZxInput&) = delete;
    TZxInput& operator=(const TZxInput&) = delete;

    // Loads the next part of the range into [Next, End). False at the end of the range or
    // when the file cannot be read (ReadFailed then says so).
    bool Refill();
    bool ReadFailed() const { return readFailed_; }

    // Copies up to `size` bytes; returns how many were available.
    size_t Read(uint8_t* out, size_t size);

    const uint8_t* Next = nullptr;
    const uint8_t* End = nullptr;

  private:
    std::FILE* file_ = nullptr;
    uint64_t left_ = 0;  // bytes of the range not yet loaded
    std::unique_ptr<uint8_t[]> owned_;
    uint8_t* buffer_ = nullptr;
    bool readFailed_ = false;
};

}  // namespace qx
