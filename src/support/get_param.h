// The tokeniser of command lines.
#pragma once

#include <string>

namespace qx {

// The n-th token (from 1) of a command line. Tokens are separated by spaces only (a TAB is part
// of a token); leading spaces are skipped; a token starting with a double quote runs to and
// including the next double quote (or the end of the line), and is returned without its
// quotes. Beyond the last token, or for n < 1, the result is empty.
std::string GetParam(const std::string& line, int n);

}  // namespace qx
