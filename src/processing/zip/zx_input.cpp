#include "processing/zip/zx_input.h"

#include <algorithm>
#include <cstring>

namespace qx {

TZxInput::TZxInput(std::FILE* file, uint64_t length, uint8_t* buffer)
    : file_(file), left_(length), buffer_(buffer) {
    if (!buffer_) {
        owned_.reset(new uint8_t[kBufferSize]);
        buffer_ = owned_.get();
    }
    Next = End = buffer_;
}

TZxInput::TZxInput(const uint8_t* data, size_t size) {
    Next = data;
    End = data + size;
}

bool TZxInput::Refill() {
    if (!file_ || left_ == 0 || readFailed_) return false;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(left_, kBufferSize));
    const size_t got = std::fread(buffer_, 1, want, file_);
    if (got == 0) {
        readFailed_ = true;  // the file is shorter than its directory says
        return false;
    }
    left_ -= got;
    Next = buffer_;
    End = Next + got;
    return true;
}

size_t TZxInput::Read(uint8_t* out, size_t size) {
    size_t done = 0;
    while (done < size) {
        if (Next == End && !Refill()) break;
        const size_t n = std::min<size_t>(size - done, End - Next);
        std::memcpy(out + done, Next, n);
        Next += n;
        done += n;
    }
    return done;
}

}  // namespace qx
