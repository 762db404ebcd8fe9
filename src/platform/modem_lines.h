// Which serial lines could carry a modem call: the line names the line device offers.
//
// A line name is a device path. The list holds, in this order and without two names for one
// device: every path of $QUORVEX_LINES (colon-separated; modems on unusual paths and the board
// simulator), the /dev/serial/by-id links (stable names of USB adapters), then the serial
// devices the kernel lists under /sys/class/tty: USB adapters and modems first, then the ports
// that have a UART behind them. No device is opened to list it: opening raises DTR on whatever
// is attached, and a device another program holds stays listed (dialling it says it is in use).
#pragma once

#include <string>
#include <vector>

namespace qx {

std::vector<std::string> ListModemLines();

// The serial devices listed under sysClassTty (normally /sys/class/tty) that have a node in
// devDir, as paths in devDir.
std::vector<std::string> ListSerialDevices(const std::string& sysClassTty,
                                           const std::string& devDir);

}  // namespace qx
