// Imploded entries (method 6): a 4 KB or 8 KB sliding dictionary with two or three
// Shannon-Fano trees (literal, length, distance).
#pragma once

#include "processing/zip/zx_input.h"
#include "processing/zip/zx_output.h"

namespace qx {

// Produces exactly out's declared size. bigDictionary is flag bit 1 (8 KB), literalTree flag
// bit 2 (three trees). Malformed trees are kZxErrData; copies that reach before the start of
// the output read zeros, as the format defines.
int ZxExplode(TZxInput& in, TZxOutput& out, bool bigDictionary, bool literalTree);

}  // namespace qx
