// The plain message box of the program's few dialogs (second instance, shared-memory failure).
#pragma once

#include <string>

namespace qx {

// Writes the text to standard error, so that a program started from a terminal or as a
// service says why it stops, and shows it in a modal box when a display is present.
void ShowMessage(const std::string& text);

}  // namespace qx
