// The program's single logging operation, reachable from every layer.
//
// The main window installs its Log (levels, log list, status bar, replies to the presentation
// program) as the sink at start-up; until then, and in tools and tests without a window, lines
// go to standard error. Levels: -1 echo of the board, 0 replies for the user, 1 debug notice,
// 5 entry of a command or phase, 10 trigger traces, 20 exit traces, 30 shutdown and copy steps,
// 35 trigger arming, 40 abort-check and deletion details; kLevelError marks the text of a
// message box and kLevelWarning a warning of Qt's (neither shown in the log list, both always
// written). Main thread only: a sink may pump
// the event loop, so callers must not rely on being uninterrupted across a Log call.
//
// Every line that leaves the program (standard error, the log list, the trace files) passes
// MaskSecrets and EscapeControls first: the board password is never written, and raw bytes
// from the board cannot reach a terminal or the journal as control codes.
#pragma once

#include <functional>
#include <string>

#include "platform/clock.h"

namespace qx {

constexpr int kLevelError = -2;
constexpr int kLevelWarning = -3;  // Qt's own warnings

using LogSink = std::function<void(const std::string& text, int level)>;

void Log(const std::string& text, int level);

// Replaces the sink; an empty function restores the standard-error default. Returns the old one.
LogSink SetLogSink(LogSink sink);

// The board password of the current settings; empty forgets it.
void SetLogSecret(const std::string& secret);
// Replaces the password by "********" and masks the password argument of a "SET PHONE"
// command line (which is logged before its settings take effect).
std::string MaskSecrets(std::string text);
// Control bytes (below 0x20, and 0x7F) as \t, \r, \n or \xNN; a backslash stays as it is.
std::string EscapeControls(const std::string& text);

// The syslog priority of a level: 3 for message boxes, 4 for Qt's warnings, 5 for replies, 6
// for the debug notice, 7 for traces and the board's echo.
int SyslogPriority(int level);
// One line of standard error, without its line feed. For a person: "YYYY-MM-DD HH:MM:SS L text";
// for the journal (which stamps the time itself): "<P>L text".
std::string FormatLogLine(const std::string& text, int level, const LocalClockReading& now,
                          bool journal);
// Masks, escapes, formats and writes one line to standard error.
void WriteLogLine(const std::string& text, int level);

}  // namespace qx
