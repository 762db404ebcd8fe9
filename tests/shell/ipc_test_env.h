// Test helpers: a private IPC namespace per test and child processes run with it.
#pragma once

#include <unistd.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "platform/ipc_objects.h"

namespace qx::test {

// Sets QUORVEX_IPC_NAMESPACE to a name no other test uses and removes its objects afterwards.
class IpcNamespace {
  public:
    IpcNamespace() {
        static int counter = 0;
        Name = "qxt-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + "-";
        setenv("QUORVEX_IPC_NAMESPACE", Name.c_str(), 1);
    }
    ~IpcNamespace() {
        for (const char* n :
             {"Mailbox-PresToComm", "Mailbox-PresToCommSemaphore", "Mailbox-CommToPres",
              "Mailbox-CommToPresSemaphore", "Quorvex", "Ostrel_Skelvane"}) {
            ipc::Unlink(n);
        }
        unsetenv("QUORVEX_IPC_NAMESPACE");
    }
    IpcNamespace(const IpcNamespace&) = delete;
    IpcNamespace& operator=(const IpcNamespace&) = delete;

    std::string Name;
};

inline QString BinPath(const char* name) {
    return QString(QX_BIN_DIR) + "/" + name;
}

// Starts a program of the build with the current environment (namespace included).
inline void Start(QProcess& p, const char* name, const QStringList& args) {
    p.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    p.start(BinPath(name), args);
}

// True when the process has ended within timeoutMs (also when it ended while an event loop
// ran, which waitForFinished alone reports as false).
inline bool Finished(QProcess& p, int timeoutMs) {
    return p.state() == QProcess::NotRunning || p.waitForFinished(timeoutMs) ||
           p.state() == QProcess::NotRunning;
}

// Polls cond every 10 ms until it holds or the deadline passes.
inline bool WaitFor(const std::function<bool()>& cond, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace qx::test
