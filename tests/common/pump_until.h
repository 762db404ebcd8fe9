// Runs the program's event loop from a test until a condition holds.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

#include "platform/event_loop.h"

namespace qxtest {

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

}  // namespace qxtest
