#include "message_box.h"

#include <QMessageBox>
#include <QString>

#include <cstdio>

#include "support/error_box.h"

namespace qx {

void ShowMessage(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    if (!CanShowDialogs()) return;
    QMessageBox::information(nullptr, QStringLiteral("Quorvex"),
                             QString::fromLocal8Bit(text.c_str()));
}

}  // namespace qx
