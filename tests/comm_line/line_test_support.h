// Event-loop helpers shared by the line tests.
#pragma once

#include <QCoreApplication>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "platform/event_loop.h"
#include "pump_until.h"

namespace linetest {

// One application object for the test program (posted calls need it).
inline void EnsureApp() {
    static int argc = 1;
    static char arg0[] = "line_test";
    static char* argv[] = {arg0, nullptr};
    // Kept to the end of the process: destroying it after Qt's own globals would crash.
    if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
}

using qxtest::PumpFor;
using qxtest::PumpUntil;

// A fresh lock directory per test.
inline std::string MakeLockDir() {
    char tmpl[] = "/tmp/qx_line_locks.XXXXXX";
    char* d = ::mkdtemp(tmpl);
    return d ? d : "/tmp";
}

}  // namespace linetest
