// Shared by the decoder fuzz targets: the input's first three bytes give the declared output
// size (two bytes) and an options byte, the rest is the compressed stream.
#pragma once

#include <cstddef>
#include <cstdint>

#include "processing/zip/zx_input.h"
#include "processing/zip/zx_output.h"

namespace qxfuzz {

class NullSink : public qx::TZxSink {
  public:
    bool Write(const uint8_t*, size_t) override { return true; }
};

template <typename Decoder>
void RunDecoder(const uint8_t* data, size_t size, Decoder decode) {
    if (size < 3) return;
    // Up to 8 MB: enough to cross many window slides, small enough to stay fast.
    const uint64_t declared = (uint64_t{data[0]} | uint64_t{data[1]} << 8) << ((data[2] >> 4) & 7);
    const uint8_t options = data[2] & 15;
    qx::TZxInput in(data + 3, size - 3);
    NullSink sink;
    qx::TZxOutput out(&sink, declared);
    if (decode(in, out, options) == qx::kZxOk) out.Flush();
}

}  // namespace qxfuzz
