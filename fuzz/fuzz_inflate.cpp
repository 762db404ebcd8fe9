// libFuzzer target: the Deflate decoder on arbitrary streams.
#include "fuzz_decoder_common.h"
#include "processing/zip/zx_inflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qxfuzz::RunDecoder(data, size, [](qx::TZxInput& in, qx::TZxOutput& out, uint8_t) {
        return qx::ZxInflate(in, out);
    });
    return 0;
}
