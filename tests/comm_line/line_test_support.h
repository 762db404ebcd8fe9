// Event-loop helpers shared by the line tests.
#pragma once

#include <QCoreApplication>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "platform/event_loop.h"

namespace linetest {

// One application object for the test program (posted calls need it).
inline void EnsureApp() {
    static int argc = 1;
    static char arg0[] = "line_test";
    static char* argv[] = {arg0, nullptr};
    // Kept to the end of the process: destroying it after Qt's own globals would crash.
    if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
}

// Runs the event loop until done() or the bound passes; true when done.
inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 60000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        qx::ProcessPendingMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Runs the event loop for a while (to see that nothing more arrives).
inline void PumpFor(int ms) {
    PumpUntil([] { return false; }, ms);
}

// A fresh lock directory per test.
inline std::string MakeLockDir() {
    char tmpl[] = "/tmp/qx_line_locks.XXXXXX";
    char* d = ::mkdtemp(tmpl);
    return d ? d : "/tmp";
}

}  // namespace linetest
