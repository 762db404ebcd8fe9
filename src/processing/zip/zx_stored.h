// Stored entries (method 0): the data is the file.
#pragma once

#include <cstdint>

#include "processing/zip/zx_input.h"
#include "processing/zip/zx_output.h"

namespace qx {

// Copies exactly `size` bytes; kZxErrTruncated if the input ends first.
int ZxCopyStored(TZxInput& in, TZxOutput& out, uint64_t size);

}  // namespace qx
