// The Hayes result codes the dialler acts on.
#pragma once

#include <string>

namespace qx {

enum class ModemResult {
    kNone,  // not a result code (echo, blank, "CARRIER 28800", "PROTOCOL: LAPM", ...)
    kOk,
    kConnect,
    kRing,
    kBusy,
    kNoCarrier,
    kNoAnswer,
    kNoDialTone,
    kError,
};

// Reads one line from the modem (without its line ends). Word codes are matched ignoring case
// and surrounding blanks; "CONNECT" takes any rate and suffix ("CONNECT 33600/ARQ"). The digit
// codes of a modem still in numeric mode (before our init string switches it to words) are
// understood too.
ModemResult ParseModemResult(const std::string& line);

}  // namespace qx
