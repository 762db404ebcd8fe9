// libFuzzer target: the Shrink decoder.
#include "fuzz_decoder_common.h"
#include "processing/zip/zx_unshrink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qxfuzz::RunDecoder(data, size, [](qx::TZxInput& in, qx::TZxOutput& out, uint8_t) {
        return qx::ZxUnshrink(in, out);
    });
    return 0;
}
