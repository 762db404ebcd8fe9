// The error box for file errors ("General read error" with the file name as detail).
// Shows " message: (detail) " in a modal "Error" box when a display is present, and always logs
// the same text at level 0. Without a display it only logs, so nobody waits on an unseen box.
#pragma once

#include <string>

namespace qx {

void ErrorBox(const std::string& message, const std::string& detail);

// The text of the box: one space, message, ": (", detail, ") ".
std::string ErrorBoxText(const std::string& message, const std::string& detail);

// True when a box would really be shown: a widget application on the main thread with a real
// (not offscreen) display.
bool CanShowDialogs();

}  // namespace qx
