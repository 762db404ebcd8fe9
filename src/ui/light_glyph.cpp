#include "ui/light_glyph.h"

#include <QImage>

namespace qx {

namespace {

constexpr int kHalf = 12;
constexpr int kDiameter = 9;
constexpr int kOrigin = 1;  // bounding box of the disc within its half

// Pixel centres within kDiameter/2 of the disc's centre belong to the disc.
bool InDisc(int x, int y) {
    if (x < 0 || y < 0 || x >= kDiameter || y >= kDiameter) return false;
    const double c = (kDiameter - 1) / 2.0;
    const double dx = x - c, dy = y - c;
    return dx * dx + dy * dy <= (kDiameter / 2.0) * (kDiameter / 2.0);
}

}  // namespace

QPixmap MakeLightGlyph() {
    QImage image(2 * kHalf, kHalf, QImage::Format_RGB888);
    image.fill(Qt::white);
    const QColor fills[2] = {QColor(255, 0, 0), QColor(0, 128, 0)};
    for (int half = 0; half < 2; ++half) {
        for (int y = 0; y < kDiameter; ++y) {
            for (int x = 0; x < kDiameter; ++x) {
                if (!InDisc(x, y)) continue;
                // A disc pixel with a neighbour outside the disc is the outline.
                const bool edge = !InDisc(x - 1, y) || !InDisc(x + 1, y) || !InDisc(x, y - 1) ||
                                  !InDisc(x, y + 1);
                image.setPixelColor(half * kHalf + kOrigin + x, kOrigin + y,
                                    edge ? QColor(Qt::black) : fills[half]);
            }
        }
    }
    return QPixmap::fromImage(image);
}

}  // namespace qx
