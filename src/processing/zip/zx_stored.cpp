#include "processing/zip/zx_stored.h"

namespace qx {

int ZxCopyStored(TZxInput& in, TZxOutput& out, uint64_t size) {
    while (size > 0) {
        if (in.Next == in.End && !in.Refill()) return kZxErrTruncated;
        const size_t avail = static_cast<size_t>(in.End - in.Next);
        const size_t take = size < avail ? static_cast<size_t>(size) : avail;
        if (int r = out.Put(in.Next, take); r != kZxOk) return r;
        in.Next += take;
        size -= take;
    }
    return kZxOk;
}

}  // namespace qx
