// Whether the process can show windows at all.
#pragma once

namespace qx {

// True when the environment names an X11 or Wayland display. Without one the program runs on
// Qt's offscreen platform and never shows a dialog (nobody could answer it).
bool DisplayConfigured();

}  // namespace qx
