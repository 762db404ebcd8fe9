// Result codes of the ZIP decoders. The decoders are plain functions that return one of these;
// the extractor turns a failure into the error text of the entry's method.
#pragma once

namespace qx {

enum ZxResult : int {
    kZxOk = 0,
    kZxErrData = -1,       // the compressed stream is malformed
    kZxErrTruncated = -2,  // the stream needs more bits than the entry's compressed size
    kZxErrWrite = -3,      // the output could not be written
    kZxErrSize = -4,       // the stream produces more or fewer bytes than declared
};

}  // namespace qx
