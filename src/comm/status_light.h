// TCxStatusLight: one small lamp of the main window (lit / unlit), a QWidget on the main thread.
#pragma once

#include <QColor>
#include <QPixmap>
#include <QWidget>

namespace qx {

class TCxStatusLight : public QWidget {
  public:
    explicit TCxStatusLight(QWidget* parent = nullptr);

    bool Lit() const { return lit_; }
    void SetLit(bool lit);  // repaints only on change
    QColor LitColor() const { return litColor_; }
    void SetLitColor(const QColor& c);
    QColor NotLitColor() const { return notLitColor_; }
    void SetNotLitColor(const QColor& c);
    // Two images side by side: lit on the left, unlit on the right; the colour of the top-left
    // pixel is transparent. The light takes half the glyph's width and its height.
    const QPixmap& Glyph() const { return glyph_; }
    void SetGlyph(const QPixmap& glyph);

    QSize sizeHint() const override;

    // The main window's lamp glyph: 24 × 12 on white, each half a 9 × 9 disc at (1, 1) with a
    // one-pixel black outline, red (lit, left) and green (unlit, right).
    static QPixmap LampGlyph();

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    bool lit_ = false;
    QColor litColor_{255, 0, 0};
    QColor notLitColor_{0, 128, 0};
    QPixmap glyph_;
    QPixmap litImage_, unlitImage_;
};

}  // namespace qx
