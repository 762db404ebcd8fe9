#include "platform/call_line.h"

#include <utility>

#include "platform/event_loop.h"

namespace qx {

void TWorkerCallLine::StartWorker(ModemLineEvents events, std::function<void()> run) {
    shared_->events = std::move(events);
    worker_ = std::thread(std::move(run));
}

void TWorkerCallLine::StopWorker() {
    shared_->alive = false;
    if (!worker_.joinable()) return;
    Queue({Command::kStop, 0, 0, {}});
    worker_.join();
}

void TWorkerCallLine::Queue(Command cmd) {
    // The command and its wake-up go together under the lock, and NextCommand takes both under
    // it: a wake-up left over from a command already taken would interrupt that command's
    // first wait (a dial would end before it began).
    std::lock_guard lock(mutex_);
    commands_.push_back(std::move(cmd));
    Wake();
}

int TWorkerCallLine::QueueCall(const std::string& number) {
    hasCall_ = true;
    shared_->call = nextCall_++;
    shared_->callState = 0;
    shared_->connectText.clear();
    const int request = nextRequest_++;
    Queue({Command::kMakeCall, request, shared_->call, number});
    return request;
}

int TWorkerCallLine::Drop() {
    if (!hasCall_) return kErrNoCall;
    const int request = nextRequest_++;
    Queue({Command::kDrop, request, shared_->call, {}});
    return request;
}

void TWorkerCallLine::Deallocate() {
    hasCall_ = false;
    shared_->call = 0;
    shared_->callState = 0;
}

uint32_t TWorkerCallLine::CallState() const {
    return hasCall_ ? shared_->callState : 0;
}

std::string TWorkerCallLine::ConnectText() const {
    return shared_->connectText;
}

std::string TWorkerCallLine::TakeConnectData() {
    return std::exchange(shared_->connectData, std::string());
}

bool TWorkerCallLine::NextCommand(Command& cmd) {
    std::lock_guard lock(mutex_);
    TakeWake();
    if (commands_.empty()) return false;
    cmd = std::move(commands_.front());
    commands_.pop_front();
    // Wake-ups of several queued commands collapse into one: keep one pending for the rest,
    // so that a long step of this command still notices them.
    if (!commands_.empty()) Wake();
    return true;
}

void TWorkerCallLine::PostState(uint32_t state, uint32_t mode, const std::string& connectText,
                                std::string connectData) {
    PostToMain([shared = shared_, call = call_, state, mode, connectText,
                data = std::move(connectData)]() mutable {
        if (!shared->alive || shared->call != call) return;
        shared->callState = state;
        if (!connectText.empty()) shared->connectText = connectText;
        if (state == kLineCallConnected) shared->connectData = std::move(data);
        if (shared->events.CallState) shared->events.CallState(state, mode);
    });
}

void TWorkerCallLine::PostReply(int request, int result) {
    PostToMain([shared = shared_, request, result] {
        if (!shared->alive) return;
        if (shared->events.Reply) shared->events.Reply(request, result);
    });
}

}  // namespace qx
