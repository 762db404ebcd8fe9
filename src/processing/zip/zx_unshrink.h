// Shrunk entries (method 1): LZW with codes of 9 to 13 bits, where the control code 256 is
// followed by 1 (one bit more per code) or 2 (partial clearing: every code that is no prefix
// of another code is freed, and freed codes are reused lowest first).
#pragma once

#include "processing/zip/zx_input.h"
#include "processing/zip/zx_output.h"

namespace qx {

// Produces exactly out's declared size; codes that are not defined are kZxErrData.
int ZxUnshrink(TZxInput& in, TZxOutput& out);

}  // namespace qx
