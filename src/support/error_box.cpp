#include "error_box.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QString>

#include "log.h"
#include "platform/display.h"
#include "platform/event_loop.h"

namespace qx {

std::string ErrorBoxText(const std::string& message, const std::string& detail) {
    return " " + message + ": (" + detail + ") ";
}

bool CanShowDialogs() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return false;
    if (!IsMainThread() || !DisplayConfigured()) return false;
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

void ErrorBox(const std::string& message, const std::string& detail) {
    const std::string text = ErrorBoxText(message, detail);
    Log(text, 0);
    if (!CanShowDialogs()) return;
    QMessageBox::critical(nullptr, QStringLiteral("Error"), QString::fromLocal8Bit(text.c_str()));
}

}  // namespace qx
