// Deflate decoder (method 8, RFC 1951).
#pragma once

#include "processing/zip/zx_input.h"
#include "processing/zip/zx_output.h"

namespace qx {

// Decodes one Deflate stream from in into out. Distances that reach before the first byte of
// the output, codes that cannot be built and data past the input are kZxErrData or
// kZxErrTruncated; more output than declared is kZxErrSize. The caller flushes out.
int ZxInflate(TZxInput& in, TZxOutput& out);

}  // namespace qx
