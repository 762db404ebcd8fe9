#include "comm/status_light.h"

#include <QBitmap>
#include <QImage>
#include <QPainter>

namespace qx {

TCxStatusLight::TCxStatusLight(QWidget* parent) : QWidget(parent) {
    setFixedSize(13, 13);
}

void TCxStatusLight::SetLit(bool lit) {
    if (lit == lit_) return;
    lit_ = lit;
    update();
}

void TCxStatusLight::SetLitColor(const QColor& c) {
    litColor_ = c;
    update();
}

void TCxStatusLight::SetNotLitColor(const QColor& c) {
    notLitColor_ = c;
    update();
}

void TCxStatusLight::SetGlyph(const QPixmap& glyph) {
    glyph_ = glyph;
    litImage_ = unlitImage_ = QPixmap();
    if (glyph.isNull()) {
        setFixedSize(13, 13);
    } else {
        const int half = glyph.width() / 2;
        QImage image = glyph.toImage();
        const QColor transparent = image.pixelColor(0, 0);
        auto cut = [&](int x) {
            QPixmap part = QPixmap::fromImage(image.copy(x, 0, half, image.height()));
            part.setMask(part.createMaskFromColor(transparent, Qt::MaskInColor));
            return part;
        };
        litImage_ = cut(0);
        unlitImage_ = cut(half);
        setFixedSize(half, glyph.height());
    }
    update();
}

QPixmap TCxStatusLight::LampGlyph() {
    QImage image(24, 12, QImage::Format_RGB888);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(Qt::black);
    p.setBrush(QColor(255, 0, 0));
    p.drawEllipse(1, 1, 8, 8);  // the pen adds one pixel: a 9 × 9 bounding box
    p.setBrush(QColor(0, 128, 0));
    p.drawEllipse(12 + 1, 1, 8, 8);
    p.end();
    return QPixmap::fromImage(image);
}

QSize TCxStatusLight::sizeHint() const {
    return glyph_.isNull() ? QSize(13, 13) : QSize(glyph_.width() / 2, glyph_.height());
}

void TCxStatusLight::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (!glyph_.isNull()) {
        p.drawPixmap(0, 0, lit_ ? litImage_ : unlitImage_);
        return;
    }
    const int w = width(), h = height();
    p.fillRect(rect(), lit_ ? litColor_ : notLitColor_);
    p.setPen(Qt::white);
    p.drawLine(0, 0, w - 1, 0);
    p.drawLine(0, 0, 0, h - 1);
    p.setPen(QColor(0x80, 0x80, 0x80));
    p.drawLine(0, h - 1, w - 1, h - 1);
    p.drawLine(w - 1, 0, w - 1, h - 1);
}

}  // namespace qx
