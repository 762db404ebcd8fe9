// The program's own icon (icons/quorvex.svg, built into the executable), for the window and the
// tray. The same file is installed for the desktop and the menus.
#pragma once

#include <QIcon>

namespace qx {

// Rendered once at the usual sizes; null when the image cannot be read.
QIcon AppIcon();

}  // namespace qx
