// Small shared services: the program's version, file copy, the message-pumping wait, the call
// result texts and the expansion of request-name templates.
#pragma once

#include <string>

#include "date_time.h"

namespace qx {

// The program's file version, split at its last ".", "\" or ":" (1.0.0.5 gives version
// "1.0.0" and build "5"). False when the build carries no version.
bool ReadFileVersion(std::string& version, std::string& build);
// The split itself; a text without separator is all version and no build.
void SplitFileVersion(const std::string& text, std::string& version, std::string& build);

// Copies one file, replacing the destination; the destination is never left half written
// (copy to a temporary name beside it, then rename). True on success. silent is accepted for
// the callers' sake: there is never a prompt or progress window.
bool ShellCopy(const std::string& source, const std::string& destination, bool silent = true,
               std::string* errorText = nullptr);

// Waits until s seconds have passed by the whole-second calendar clock, letting the event loop
// process pending messages (twice) every 200 ms. Main thread only.
void WaitSeconds(int seconds);

// The text with ASCII letters upper-cased (keywords, product codes, names compared as the
// presentation program's world compares them; other bytes are left alone).
std::string UpperCase(std::string text);

// Reads a decimal count of at most nine digits and nothing else (no sign, no spaces).
bool ParseCount(const std::string& text, int& out);

// The call result texts, code 0 to 15; any other code gives an empty text.
std::string ResultText(int code);

// Replaces the first "dd" by the day, then the first "uu" by the hour, then the first "mm" by
// the month of t, each as two digits; case-sensitive; absent placeholders are skipped.
std::string ExpandRequestName(const std::string& nameTemplate, TDateTime t);

}  // namespace qx
