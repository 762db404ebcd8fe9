// The error box for file errors ("General read error" with the file name as detail).
// Logs " message: (detail) " to the log list (level -1: shown, never sent to the presentation
// program) and, when a display is present, shows it in an "Error" box that does not stop the
// work: the program runs unattended, and a call or a processing run must never wait for a click.
#pragma once

#include <string>

class QMessageBox;

namespace qx {

void ErrorBox(const std::string& message, const std::string& detail);

// The text of the box: one space, message, ": (", detail, ") ".
std::string ErrorBoxText(const std::string& message, const std::string& detail);

// Shows text in the non-modal error box, opening it or adding the line to the one already
// open (which keeps the last 20 lines); returns at once with the box.
QMessageBox* ShowErrorWindow(const std::string& text);

// True when a box would really be shown: a widget application on the main thread with a real
// (not offscreen) display.
bool CanShowDialogs();

}  // namespace qx
