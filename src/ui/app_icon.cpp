#include "app_icon.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

namespace qx {

QIcon AppIcon() {
    // Rendered here rather than through an image plug-in, so the icon needs no plug-in at run
    // time.
    QSvgRenderer renderer(QStringLiteral(":/quorvex/quorvex.svg"));
    if (!renderer.isValid()) return {};
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace qx
