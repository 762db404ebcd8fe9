#include "message_box.h"

#include <QMessageBox>
#include <QString>

#include "support/error_box.h"
#include "support/log.h"

namespace qx {

void ShowMessage(const std::string& text) {
    WriteLogLine(text, kLevelError);
    if (!CanShowDialogs()) return;
    QMessageBox::information(nullptr, QStringLiteral("Quorvex"),
                             QString::fromLocal8Bit(text.c_str()));
}

}  // namespace qx
