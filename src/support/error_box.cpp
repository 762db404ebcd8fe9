#include "error_box.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
#include <QString>

#include "log.h"
#include "platform/display.h"
#include "platform/event_loop.h"

namespace qx {

namespace {

constexpr int kMaxBoxLines = 20;

QPointer<QMessageBox>& OpenBox() {
    static QPointer<QMessageBox> box;
    return box;
}

}  // namespace

std::string ErrorBoxText(const std::string& message, const std::string& detail) {
    return " " + message + ": (" + detail + ") ";
}

bool CanShowDialogs() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return false;
    if (!IsMainThread() || !DisplayConfigured()) return false;
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

QMessageBox* ShowErrorWindow(const std::string& text) {
    QPointer<QMessageBox>& box = OpenBox();
    const QString line = QString::fromLocal8Bit(text.c_str());
    if (box) {
        // One box collects what happens until someone reads it; the oldest lines give way.
        QStringList lines = box->text().split(QLatin1Char('\n'));
        lines.append(line);
        while (lines.size() > kMaxBoxLines) lines.removeFirst();
        box->setText(lines.join(QLatin1Char('\n')));
        return box;
    }
    box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Error"), line, QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
    return box;
}

void ErrorBox(const std::string& message, const std::string& detail) {
    const std::string text = ErrorBoxText(message, detail);
    // Level -1: in the log list whatever the debug level, never sent as a reply.
    Log(text, -1);
    if (!CanShowDialogs()) return;
    ShowErrorWindow(text);
}

}  // namespace qx
