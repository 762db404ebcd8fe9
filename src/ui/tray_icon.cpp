#include "tray_icon.h"

#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QWidget>

#include "app_icon.h"

namespace qx {

TTrayIcon::TTrayIcon(QWidget* window) : Window(window) {
    if (!TrayAvailable()) return;
    icon_ = std::make_unique<QSystemTrayIcon>();
    QIcon appIcon = AppIcon();
    if (appIcon.isNull()) appIcon = QApplication::windowIcon();
    if (appIcon.isNull() && QApplication::style() != nullptr) {
        appIcon = QApplication::style()->standardIcon(QStyle::SP_ComputerIcon);
    }
    icon_->setIcon(appIcon);
    QObject::connect(
        icon_.get(), &QSystemTrayIcon::activated, [this](QSystemTrayIcon::ActivationReason reason) {
            if ((reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) &&
                OnOpen) {
                OnOpen();
            }
        });
    menu_ = std::make_unique<QMenu>();
    QObject::connect(menu_->addAction(QStringLiteral("Open Quorvex")), &QAction::triggered, [this] {
        if (Window != nullptr && Window->isVisible()) {
            if (OnHide) OnHide();
        } else if (OnOpen) {
            OnOpen();
        }
    });
    QObject::connect(menu_->addAction(QStringLiteral("Hang up")), &QAction::triggered, [this] {
        if (OnHangUp) OnHangUp();
    });
    menu_->addSeparator();
    QObject::connect(menu_->addAction(QStringLiteral("Quit")), &QAction::triggered, [this] {
        if (OnQuit) OnQuit();
    });
    QObject::connect(menu_.get(), &QMenu::aboutToShow, [this] { UpdateMenu(); });
    icon_->setContextMenu(menu_.get());
}

void TTrayIcon::UpdateMenu() {
    if (!menu_) return;
    const QList<QAction*> actions = menu_->actions();
    const bool visible = Window != nullptr && Window->isVisible();
    actions[0]->setText(visible ? QStringLiteral("Hide Quorvex") : QStringLiteral("Open Quorvex"));
    actions[1]->setEnabled(HangUpAllowed && HangUpAllowed());
}

TTrayIcon::~TTrayIcon() {
    HideIcon();
    if (icon_) icon_->setContextMenu(nullptr);
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
