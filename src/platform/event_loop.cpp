#include "event_loop.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace qx {

namespace {

// State shared by a sender and the queued call. The first side to move it out of kPending wins:
// the main thread (kRunning) or a sender that gave up (kAbandoned).
struct SentCall {
    enum State { kPending, kRunning, kDone, kAbandoned };
    std::mutex mutex;
    std::condition_variable changed;
    State state = kPending;
    std::function<void()> fn;
};

}  // namespace

bool IsMainThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

void PostToMain(std::function<void()> fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

bool SendToMain(std::function<void()> fn, int timeoutMs) {
    if (IsMainThread()) {
        fn();
        return true;
    }
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return false;

    auto call = std::make_shared<SentCall>();
    call->fn = std::move(fn);
    QMetaObject::invokeMethod(
        app,
        [call] {
            {
                std::lock_guard lock(call->mutex);
                if (call->state != SentCall::kPending) return;  // abandoned: never run late
                call->state = SentCall::kRunning;
            }
            call->fn();
            {
                std::lock_guard lock(call->mutex);
                call->state = SentCall::kDone;
            }
            call->changed.notify_all();
        },
        Qt::QueuedConnection);

    // The sender sleeps until the call ends (spinning would take a core from the threads that
    // feed the line). The bound is on the start of the call; a call that started is waited for
    // to its end. Only the end wakes this thread: one wake-up per call, not two.
    std::unique_lock lock(call->mutex);
    const auto done = [&] { return call->state == SentCall::kDone; };
    if (call->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done)) return true;
    if (call->state == SentCall::kPending) {
        call->state = SentCall::kAbandoned;
        return false;
    }
    call->changed.wait(lock, done);
    return true;
}

void ProcessPendingMessages() {
    if (QCoreApplication::instance() == nullptr) return;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace qx
