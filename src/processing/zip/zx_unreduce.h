// Reduced entries (methods 2 to 5, compression factors 1 to 4): follower-set coded bytes
// followed by a DLE-based run/copy expansion.
#pragma once

#include "processing/zip/zx_input.h"
#include "processing/zip/zx_output.h"

namespace qx {

// Produces exactly out's declared size. factor is 1 to 4. A follower set larger than 32 or
// an index outside its set is kZxErrData. Copies that reach before the start of the output
// read zeros, as the format defines.
int ZxUnreduce(TZxInput& in, TZxOutput& out, int factor);

}  // namespace qx
