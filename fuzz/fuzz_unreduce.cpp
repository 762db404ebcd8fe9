// libFuzzer target: the Reduce decoder; options select the factor 1 to 4.
#include "fuzz_decoder_common.h"
#include "processing/zip/zx_unreduce.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qxfuzz::RunDecoder(data, size, [](qx::TZxInput& in, qx::TZxOutput& out, uint8_t options) {
        return qx::ZxUnreduce(in, out, 1 + (options & 3));
    });
    return 0;
}
