// The main thread's event loop, as the rest of the program sees it.
//
// All program logic runs on the main (Qt) thread. Worker threads reach it only through these
// calls: PostToMain queues a call and returns at once; SendToMain queues a call and waits for
// it with a bound. A send that times out is abandoned: the queued call is then never run, so a
// late handler can never act on state the sender has moved past. A call that already started
// when the bound ran out is waited for until it ends (it cannot be stopped half way).
#pragma once

#include <functional>

namespace qx {

// Queues fn to run on the main thread. Safe from any thread; fn runs later even when the
// caller is the main thread.
void PostToMain(std::function<void()> fn);

// Runs fn on the main thread and waits at most timeoutMs for it to start. Returns true when
// fn ran. Called on the main thread itself it runs fn at once.
bool SendToMain(std::function<void()> fn, int timeoutMs);

// True on the thread that runs the Qt event loop.
bool IsMainThread();

// Lets the event loop handle what is pending (timers, posted calls, window events).
void ProcessPendingMessages();

}  // namespace qx
