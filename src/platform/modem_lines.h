// Which serial lines could carry a modem call: the line names the line device offers.
//
// A line name is a device path. The list holds, in this order and without two names for one
// device: every path of $QUORVEX_LINES (colon-separated; modems on unusual paths and the board
// simulator), the /dev/serial/by-id links (stable names of USB adapters), then /dev/ttyUSB*,
// /dev/ttyACM* and the /dev/ttyS* ports that have a UART behind them.
#pragma once

#include <string>
#include <vector>

namespace qx {

std::vector<std::string> ListModemLines();

}  // namespace qx
