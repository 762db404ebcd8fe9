// libFuzzer target: the Implode decoder; options bit 0 = 8 KB dictionary, bit 1 = three trees.
#include "fuzz_decoder_common.h"
#include "processing/zip/zx_explode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qxfuzz::RunDecoder(data, size, [](qx::TZxInput& in, qx::TZxOutput& out, uint8_t options) {
        return qx::ZxExplode(in, out, options & 1, options & 2);
    });
    return 0;
}
