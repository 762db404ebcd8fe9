// Shared helpers of the port tests: a pseudo-terminal pair and event-loop waits.
#pragma once

#include <pty.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "comm/com_port.h"
#include "platform/event_loop.h"
#include "pump_until.h"

namespace qx::test {

// The master end is the "modem" the test writes; the slave end is handed to the port.
struct PtyPair {
    int Master = -1;
    int Slave = -1;
    PtyPair() {
        if (::openpty(&Master, &Slave, nullptr, nullptr, nullptr) != 0) Master = Slave = -1;
    }
    ~PtyPair() {
        CloseMaster();
        if (Slave >= 0) ::close(Slave);
    }
    void CloseMaster() {
        if (Master >= 0) ::close(Master);
        Master = -1;
    }
    void Write(const std::string& s) const {
        size_t done = 0;
        while (done < s.size()) {
            ssize_t n = ::write(Master, s.data() + done, s.size() - done);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }
};

// Runs the event loop until cond holds or timeoutMs passes; true when it holds.
inline bool WaitFor(const std::function<bool()>& cond, int timeoutMs = 10000) {
    return qxtest::PumpUntil(cond, timeoutMs);
}

// Lets the event loop run for a while (to show that nothing more arrives).
inline void RunFor(int ms) {
    qxtest::PumpFor(ms);
}

// A port as the program configures it, opened on the pty's slave end.
inline void OpenOnPty(TCxComPort& port, const PtyPair& pty) {
    port.InSize = 20480;
    port.OutSize = 20480;
    port.AutoOpen = false;
    port.TapiMode = tmOn;
    port.SetTapiHandle(pty.Slave);
    port.SetOpen(true);
}

}  // namespace qx::test
