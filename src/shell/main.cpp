// Program entry: the application object, the main window (hidden), the message loop.
#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "platform/display.h"
#include "shell/main_window.h"
#include "shell/shared_mem.h"
#include "support/abort_error.h"

int main(int argc, char** argv) {
    // Without a display the program still runs, on Qt's offscreen platform.
    if (!qx::DisplayConfigured() && std::getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    try {
        qx::TfrmVudaDUD form;
        if (!form.FormCreate()) return 1;
        return QApplication::exec();
    } catch (const qx::ESharedMemError&) {
        return 1;  // already shown
    } catch (const qx::EAbort&) {
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
