// The line provider: opens a line by its name, a serial device with a modem behind it or a
// network line (`telnet:HOST[:PORT]`, `tcp:HOST:PORT`).
#pragma once

#include <memory>
#include <string>

#include "platform/call_line.h"

namespace qx {

// True for the name of a network line; such a line needs no listing to be selected.
bool IsNetworkLineName(const std::string& name);

// Opens the line. On failure returns nullptr with a negative errno in result and a text for
// the user in error (-EADDRNOTAVAIL: the host of a network line cannot be found).
std::unique_ptr<TCallLine> OpenCallLine(const std::string& name, const std::string& lockDir,
                                        ModemLineEvents events, int& result, std::string& error,
                                        const ModemTimings& timings);

}  // namespace qx
