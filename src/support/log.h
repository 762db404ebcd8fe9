// The program's single logging operation, reachable from every layer.
//
// The main window installs its Log (levels, log list, status bar, replies to the presentation
// program) as the sink at start-up; until then, and in tools and tests without a window, lines
// go to standard error. Levels: -1 echo of the board, 0 replies for the user, 1 debug notice,
// 5 entry of a command or phase, 10 trigger traces, 20 exit traces, 30 shutdown and copy steps,
// 35 trigger arming, 40 abort-check and deletion details. Main thread only: a sink may pump the
// event loop, so callers must not rely on being uninterrupted across a Log call.
#pragma once

#include <functional>
#include <string>

namespace qx {

using LogSink = std::function<void(const std::string& text, int level)>;

void Log(const std::string& text, int level);

// Replaces the sink; an empty function restores the standard-error default. Returns the old one.
LogSink SetLogSink(LogSink sink);

}  // namespace qx
