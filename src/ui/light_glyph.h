// The glyph of the main window's seven modem lights: 24 by 12 pixels, the lit lamp in the left
// half and the unlit one in the right half, on white (the light treats the top-left pixel's
// colour as transparent). Each lamp is a 9-pixel disc whose bounding box starts at pixel 1,1 of
// its half: a one-pixel black outline around pure red (lit) or green 0,128,0 (unlit).
#pragma once

#include <QPixmap>

namespace qx {

QPixmap MakeLightGlyph();

}  // namespace qx
