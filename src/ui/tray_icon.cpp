#include "tray_icon.h"

#include <QApplication>
#include <QIcon>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QWidget>

namespace qx {

TTrayIcon::TTrayIcon(QWidget* window) : Window(window) {
    if (!TrayAvailable()) return;
    icon_ = std::make_unique<QSystemTrayIcon>();
    QIcon appIcon = QApplication::windowIcon();
    if (appIcon.isNull() && QApplication::style() != nullptr) {
        appIcon = QApplication::style()->standardIcon(QStyle::SP_ComputerIcon);
    }
    icon_->setIcon(appIcon);
    QObject::connect(icon_.get(), &QSystemTrayIcon::activated,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::DoubleClick && OnDoubleClick) {
                             OnDoubleClick();
                         }
                     });
}

TTrayIcon::~TTrayIcon() {
    HideIcon();
}

bool TTrayIcon::TrayAvailable() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return false;
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TTrayIcon::ShowIcon(const std::string& tip) {
    if (Shown) return;
    Display(tip.empty() ? Tip : tip);
    if (icon_) icon_->show();
    Shown = true;
}

void TTrayIcon::HideIcon() {
    if (!Shown) return;
    if (icon_) icon_->hide();
    Shown = false;
}

void TTrayIcon::SetTip(const std::string& text) {
    Tip = text;
    Display(text);
}

void TTrayIcon::Display(const std::string& tip) {
    displayedTip_ = tip.substr(0, kMaxTip);
    if (icon_) icon_->setToolTip(QString::fromLocal8Bit(displayedTip_.c_str()));
}

}  // namespace qx
