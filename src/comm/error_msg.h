// The library's English texts for communications result codes, looked up by absolute value.
#pragma once

#include <string>

namespace qx {

// "OK" for 0; the table's text for |code|; the operating system's text (strerror) for a number
// the table does not hold.
std::string ErrorMsg(int code);

}  // namespace qx
