// Program entry: the command line, the application object, the main window (hidden), the
// message loop.
#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "platform/display.h"
#include "shell/main_window.h"
#include "shell/shared_mem.h"
#include "support/abort_error.h"
#include "support/log.h"

namespace {

const char kHelp[] =
    "Usage: quorvex [--debug N] [--line-trace]\n"
    "       quorvex --help | --version\n"
    "\n"
    "The communication program of the weather presentation system: takes commands from the\n"
    "presentation program (or quorvexctl) through shared memory, dials the weather board, logs\n"
    "in, receives the products by ZMODEM and records them in the database. Runs hidden with a\n"
    "tray icon, or on Qt's offscreen platform when there is no display.\n"
    "\n"
    "Options:\n"
    "  --debug N      show log lines up to level N (as DEBUG=N in quorvex.dbg, which it\n"
    "                 overrides): 0 replies, 1 notices, 5 commands, 10 triggers, 20 exits,\n"
    "                 30 shutdown and copy steps, 40 every detail\n"
    "  --line-trace   write what crosses the line to bbs.cap and the port's dispatch log to\n"
    "                 bbs.log in the working directory when a call ends (password masked)\n"
    "  --help         this text\n"
    "  --version      the program's version\n"
    "\n"
    "Environment: QUORVEX_LINES (modem devices), QUORVEX_LOCK_DIR (lock files),\n"
    "QUORVEX_IPC_NAMESPACE (shared-memory names), QT_QPA_PLATFORM. See quorvex(1).\n";

struct Options {
    int debug = -1;
    bool lineTrace = false;
};

int Usage(const std::string& problem) {
    std::fprintf(stderr, "quorvex: %s (see quorvex --help)\n", problem.c_str());
    return 2;
}

bool ParseLevel(const std::string& text, int& out) {
    if (text.empty() || text.size() > 9) return false;
    int v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

// Returns -1 to go on, or the exit status.
int ParseCommandLine(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("quorvex %s\n", QX_VERSION);
            return 0;
        }
        if (a == "--line-trace") {
            o.lineTrace = true;
        } else if (a == "--debug" || a.rfind("--debug=", 0) == 0) {
            std::string value;
            if (a == "--debug") {
                if (i + 1 >= argc) return Usage("--debug needs a level");
                value = argv[++i];
            } else {
                value = a.substr(8);
            }
            if (!ParseLevel(value, o.debug)) return Usage("bad --debug level '" + value + "'");
        } else if (a.rfind("-", 0) == 0) {
            return Usage("unknown option '" + a + "'");
        } else {
            return Usage("unexpected argument '" + a + "'");
        }
    }
    return -1;
}

// Qt's own messages get the same dated (or journal) lines as the program's.
void QtMessage(QtMsgType type, const QMessageLogContext&, const QString& text) {
    const int level = type == QtDebugMsg || type == QtInfoMsg ? 40
                      : type == QtWarningMsg                  ? qx::kLevelWarning
                                                              : qx::kLevelError;
    qx::WriteLogLine(text.toStdString(), level);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int rc = ParseCommandLine(argc, argv, options); rc >= 0) return rc;
    qInstallMessageHandler(QtMessage);
    // Without a display the program still runs, on Qt's offscreen platform.
    if (!qx::DisplayConfigured() && std::getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    // Qt sees no arguments: the command line above is the whole of it.
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    try {
        qx::TfrmVudaDUD form;
        form.DebugFromCommandLine = options.debug;
        form.LineTrace = options.lineTrace;
        if (!form.FormCreate()) return 1;
        return QApplication::exec();
    } catch (const qx::ESharedMemError&) {
        return 1;  // already shown
    } catch (const qx::EAbort&) {
        return 1;
    } catch (const std::exception& e) {
        qx::WriteLogLine(e.what(), qx::kLevelError);
        return 1;
    }
}
