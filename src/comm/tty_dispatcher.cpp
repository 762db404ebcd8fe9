// TCxTtyDispatcher: the port list, start and stop, handler registration and the trigger calls.
// Runs on the thread of the caller (the main thread, or a handler in the dispatch thread); the
// rest of the class lives in tty_dispatcher_read.cpp (event thread), _match.cpp (dispatch pass),
// _deliver.cpp (notifications) and _output.cpp (output thread).
#include "comm/tty_dispatcher.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "comm/cx_exception.h"
#include "comm/error_msg.h"

namespace qx {

namespace {

// The process-wide port list: a dispatcher's index is its port number.
std::mutex g_portListMutex;
std::vector<TCxTtyDispatcher*> g_portList;

int AddToPortList(TCxTtyDispatcher* d) {
    std::lock_guard lock(g_portListMutex);
    for (size_t i = 0; i < g_portList.size(); ++i) {
        if (g_portList[i] == nullptr) {
            g_portList[i] = d;
            return static_cast<int>(i);
        }
    }
    g_portList.push_back(d);
    return static_cast<int>(g_portList.size() - 1);
}

void RemoveFromPortList(TCxTtyDispatcher* d) {
    std::lock_guard lock(g_portListMutex);
    for (auto& p : g_portList)
        if (p == d) p = nullptr;
    while (!g_portList.empty() && g_portList.back() == nullptr) g_portList.pop_back();
}

}  // namespace

TCxDispatcher* FindDispatcher(int portNumber) {
    std::lock_guard lock(g_portListMutex);
    if (portNumber < 0 || static_cast<size_t>(portNumber) >= g_portList.size()) return nullptr;
    return g_portList[static_cast<size_t>(portNumber)];
}

TCxTtyDispatcher::TCxTtyDispatcher(size_t outSize)
    : queue_(kDefaultQueueSize), inBuf_(kInBufSize), outBuf_(std::max<size_t>(outSize, 1)) {
    portNumber_ = AddToPortList(this);
}

TCxTtyDispatcher::~TCxTtyDispatcher() {
    RequestStop();
    WaitThreads(-1);
    CloseDevice();
    RemoveFromPortList(this);
}

int TCxTtyDispatcher::OpenDevice(int readFd, int writeFd) {
    int r = device_.Attach(readFd, writeFd);
    if (r != 0) return r;
    std::lock_guard lock(dispMutex_);
    modemStatus_ = device_.ModemStatus();
    lastCounts_ = device_.ErrorCounts();
    return 0;
}

void TCxTtyDispatcher::CloseDevice() {
    // Once given back the numbers may already name other files: never touch them again.
    if (detached_) return;
    detached_ = true;
    device_.Detach();
}

bool TCxTtyDispatcher::DetachDevice(int timeoutMs) {
    {
        std::unique_lock lock(endMutex_);
        if (!ended_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return ioThreadsRunning_.load() == 0; }))
            return false;
    }
    CloseDevice();
    return true;
}

void TCxTtyDispatcher::PreloadInput(const std::string& bytes) {
    if (bytes.empty()) return;
    std::lock_guard extracting(extractMutex_);
    if (queue_.size() < bytes.size()) queue_.assign(bytes.size(), 0);
    std::memcpy(queue_.data(), bytes.data(), bytes.size());
    queueTail_ = 0;
    queueHead_ = bytes.size();
    queued_ = bytes.size();
}

void TCxTtyDispatcher::StartThreads() {
    if (started_) throw std::logic_error("Dispatcher already started");
    started_ = true;
    kill_ = false;
    threadsRunning_ = 3;
    ioThreadsRunning_ = 2;
    eventThread_ = std::thread([this] { EventThread(); });
    dispatchThread_ = std::thread([this] { DispatchThread(); });
    outputThread_ = std::thread([this] { OutputThread(); });
}

void TCxTtyDispatcher::RequestStop() {
    kill_ = true;
    device_.Wake();
    {
        std::lock_guard lock(evMutex_);
        kick_ = true;
    }
    evChanged_.notify_all();
    loopEnded_.notify_all();
    device_.Wake(TSerialDevice::kDispatchWaiter);
    {
        std::lock_guard lock(outMutex_);
        outReady_ = true;
    }
    outChanged_.notify_all();
}

bool TCxTtyDispatcher::WaitThreads(int timeoutMs) {
    {
        std::unique_lock lock(endMutex_);
        auto done = [&] { return threadsRunning_.load() == 0; };
        if (timeoutMs < 0)
            ended_.wait(lock, done);
        else if (!ended_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done))
            return false;
    }
    for (std::thread* t : {&eventThread_, &dispatchThread_, &outputThread_})
        if (t->joinable()) t->join();
    return true;
}

void TCxTtyDispatcher::ThreadEnded(bool io) {
    std::lock_guard lock(endMutex_);
    if (io) --ioThreadsRunning_;
    --threadsRunning_;
    ended_.notify_all();
}

// ---- handlers ----

int TCxTtyDispatcher::RegisterWindowHandler(Handler h, WantsFilter wants) {
    auto e = std::make_shared<HandlerEntry>();
    e->Type = HandlerEntry::kWindow;
    e->Fn = std::move(h);
    e->Wants = std::move(wants);
    std::lock_guard lock(dispMutex_);
    e->Id = nextHandlerId_++;
    handlers_.push_back(e);
    return e->Id;
}

int TCxTtyDispatcher::RegisterEventHandler(Handler h, bool inMain) {
    auto e = std::make_shared<HandlerEntry>();
    e->Type = HandlerEntry::kEvent;
    e->Fn = std::move(h);
    e->InMain = inMain;
    std::lock_guard lock(dispMutex_);
    e->Id = nextHandlerId_++;
    handlers_.push_back(e);
    return e->Id;
}

void TCxTtyDispatcher::DeregisterHandler(int id) {
    std::lock_guard lock(dispMutex_);
    // A delivery under way holds its own copy of the list; the mark makes it skip the entry.
    for (auto it = handlers_.begin(); it != handlers_.end(); ++it) {
        if ((*it)->Id == id) {
            (*it)->Removed = true;
            handlers_.erase(it);
            return;
        }
    }
}

int TCxTtyDispatcher::RegisterProcTriggerHandler(TriggerProc proc) {
    if (proc == nullptr) return ecBadArgument;
    auto e = std::make_shared<HandlerEntry>();
    e->Type = HandlerEntry::kProc;
    e->Proc = proc;
    {
        std::lock_guard lock(dispMutex_);
        e->Id = nextHandlerId_++;
        handlers_.push_back(e);
        procHandlers_ = true;
    }
    // The event thread leaves reading to the dispatch thread, which starts waiting on the line.
    device_.Wake();
    Kick();
    return 0;
}

int TCxTtyDispatcher::DeregisterProcTriggerHandler(TriggerProc proc) {
    std::lock_guard lock(dispMutex_);
    for (auto it = handlers_.begin(); it != handlers_.end(); ++it) {
        if ((*it)->Type == HandlerEntry::kProc && (*it)->Proc == proc) {
            (*it)->Removed = true;
            handlers_.erase(it);
            break;
        }
    }
    procHandlers_ = std::any_of(handlers_.begin(), handlers_.end(),
                                [](const auto& h) { return h->Type == HandlerEntry::kProc; });
    if (!procHandlers_) {
        device_.Wake();  // the event thread reads again
        device_.Wake(TSerialDevice::kDispatchWaiter);
    }
    return 0;
}

int TCxTtyDispatcher::HoldDataScan() {
    std::lock_guard lock(dispMutex_);
    std::lock_guard ilock(inMutex_);
    scanHeld_ = true;
    // What the engine left unread is matched again from its start, by the triggers armed
    // when the scan is released.
    if (inTail_ < scanPos_) scanPos_ = inTail_;
    for (TDataTrigger& d : data_) {
        d.ClearMatches();
        d.Matched = false;
    }
    notifyPos_ = inTail_;
    return 0;
}

int TCxTtyDispatcher::ReleaseDataScan() {
    {
        std::lock_guard lock(dispMutex_);
        if (!scanHeld_) return 0;
        scanHeld_ = false;
        // Bytes that arrived before the trigger list changed begin no partial match.
        for (TDataTrigger& d : data_) {
            d.ClearMatches();
            d.Matched = false;
        }
    }
    Kick();
    return 0;
}

bool TCxTtyDispatcher::NotificationInProgress() {
    std::lock_guard lock(dispMutex_);
    return notifying_;
}

void TCxTtyDispatcher::SetClosePending() {
    closePending_ = true;
    Kick();
}

void TCxTtyDispatcher::SetHangupHandler(std::function<void()> h) {
    std::lock_guard lock(dispMutex_);
    onHangup_ = std::move(h);
}

int TCxTtyDispatcher::SetDataPointer(void* p, int index) {
    if (index < 1 || index > 3) return ecBadArgument;
    std::lock_guard lock(dispMutex_);
    dataPointers_[static_cast<size_t>(index - 1)] = p;
    return 0;
}

int TCxTtyDispatcher::GetDataPointer(void*& p, int index) {
    if (index < 1 || index > 3) return ecBadArgument;
    std::lock_guard lock(dispMutex_);
    p = dataPointers_[static_cast<size_t>(index - 1)];
    return 0;
}

// ---- triggers ----

bool TCxTtyDispatcher::HandleInUseLocked(int32_t base) const {
    for (const auto& t : timers_)
        if (t.Handle == base) return true;
    for (const auto& d : data_)
        if (d.Handle == base) return true;
    for (const auto& s : status_)
        if ((s.Handle & ~7) == base) return true;
    return false;
}

int TCxTtyDispatcher::NewHandleLocked() {
    if (handleCounter_ < 4096) return handleCounter_++ * 8;
    for (int32_t h = 8; h <= 4095 * 8; h += 8)
        if (!HandleInUseLocked(h)) return h;
    return ecNoMoreTriggers;
}

TTimerTrigger* TCxTtyDispatcher::FindTimerLocked(int handle) {
    for (auto& t : timers_)
        if (t.Handle == handle) return &t;
    return nullptr;
}

TStatusTrigger* TCxTtyDispatcher::FindStatusLocked(int handle) {
    for (auto& s : status_)
        if (s.Handle == handle) return &s;
    return nullptr;
}

int TCxTtyDispatcher::AddDataTrigger(const char* pattern, size_t length, bool ignoreCase) {
    if (length > static_cast<size_t>(kMaxTriggerLen)) return ecTriggerTooLong;
    TDataTrigger d;
    d.SetPattern(std::string(pattern, length), ignoreCase);
    std::lock_guard lock(dispMutex_);
    int h = NewHandleLocked();
    if (h < 0) return h;
    d.Handle = h;
    data_.push_back(d);
    return h;
}

int TCxTtyDispatcher::AddTimerTrigger() {
    std::lock_guard lock(dispMutex_);
    int h = NewHandleLocked();
    if (h < 0) return h;
    TTimerTrigger t;
    t.Handle = h;
    timers_.push_back(t);
    return h;
}

int TCxTtyDispatcher::AddStatusTrigger(int kind) {
    if (kind < 1 || kind > 5) return ecBadArgument;
    std::lock_guard lock(dispMutex_);
    int h = NewHandleLocked();
    if (h < 0) return h;
    TStatusTrigger s;
    s.Handle = h + kind;
    s.Kind = kind;
    status_.push_back(s);
    return s.Handle;
}

int TCxTtyDispatcher::SetTimerTrigger(int handle, int32_t ticks, bool activate) {
    {
        std::lock_guard lock(dispMutex_);
        TTimerTrigger* t = FindTimerLocked(handle);
        if (t == nullptr) return ecBadTriggerHandle;
        if (!activate) {
            t->Active = false;
            return 0;
        }
        if (ticks != 0) t->Ticks = ticks;
        t->Timer = NewTimer(t->Ticks, TickCount());
        t->Active = true;
    }
    return 0;
}

int TCxTtyDispatcher::SetStatusTrigger(int handle, uint16_t value, bool activate) {
    {
        std::lock_guard lock(dispMutex_);
        TStatusTrigger* s = FindStatusLocked(handle);
        if (s == nullptr) return ecBadTriggerHandle;
        if (!activate) {
            s->Active = false;
            return 0;
        }
        switch (s->Kind) {
            case stModem:
                s->Value = value & 0xF0;
                s->Stored = modemStatus_ & s->Value;
                break;
            case stLine:
                s->Value = static_cast<uint16_t>((value & 0x0F) << 1);
                break;
            default:
                s->Value = value;
                break;
        }
        s->Active = true;
    }
    Kick();
    return 0;
}

int TCxTtyDispatcher::RemoveTrigger(int handle) {
    std::lock_guard lock(dispMutex_);
    if (handle == kAvailTriggerHandle) {
        availThreshold_ = 0;
        return 0;
    }
    auto drop = [handle](auto& list) {
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (it->Handle == handle) {
                list.erase(it);
                return true;
            }
        }
        return false;
    };
    if (drop(timers_) || drop(status_) || drop(data_)) return 0;
    return ecBadTriggerHandle;
}

int TCxTtyDispatcher::RemoveAllTriggers() {
    std::lock_guard lock(dispMutex_);
    timers_.clear();
    data_.clear();
    status_.clear();
    handleCounter_ = 1;
    availThreshold_ = 0;
    return 0;
}

int TCxTtyDispatcher::ChangeLengthTrigger(int length) {
    if (length < 0) return ecBadArgument;
    {
        std::lock_guard lock(dispMutex_);
        availThreshold_ = length;
    }
    Kick();
    return 0;
}

int TCxTtyDispatcher::AvailThreshold() {
    std::lock_guard lock(dispMutex_);
    return availThreshold_;
}

int TCxTtyDispatcher::TimerTicksRemaining(int handle, int32_t& ticksLeft) {
    std::lock_guard lock(dispMutex_);
    TTimerTrigger* t = FindTimerLocked(handle);
    if (t == nullptr) return ecBadTriggerHandle;
    ticksLeft = t->Active ? TimerRemaining(t->Timer, TickCount()) : 0;
    return 0;
}

int TCxTtyDispatcher::ExtendTimer(int handle, int32_t ticks) {
    std::lock_guard lock(dispMutex_);
    TTimerTrigger* t = FindTimerLocked(handle);
    if (t == nullptr) return ecBadTriggerHandle;
    qx::ExtendTimer(t->Timer, ticks);
    return 0;
}

void TCxTtyDispatcher::SaveTriggers(TSavedTriggers& saved) {
    std::lock_guard lock(dispMutex_);
    saved.Valid = true;
    saved.AvailThreshold = availThreshold_;
    saved.Timers = timers_;
    saved.Data = data_;
    saved.Status = status_;
}

void TCxTtyDispatcher::RestoreTriggers(const TSavedTriggers& saved) {
    if (!saved.Valid) return;
    std::lock_guard lock(dispMutex_);
    availThreshold_ = saved.AvailThreshold;
    timers_ = saved.Timers;
    data_ = saved.Data;
    status_ = saved.Status;
}

int TCxTtyDispatcher::LineError() {
    std::lock_guard lock(dispMutex_);
    int r = 0;
    if (lineErrors_ & 1)
        r = 1;
    else if (lineErrors_ & 2)
        r = 2;
    else if (lineErrors_ & 4)
        r = 3;
    else if (lineErrors_ & 8)
        r = 4;
    else if (lineErrors_ & 16)
        r = 9;
    lineErrors_ &= 16;
    return r;
}

bool TCxTtyDispatcher::LineBreak() {
    std::lock_guard lock(dispMutex_);
    bool r = (lineErrors_ & 16) != 0;
    lineErrors_ &= static_cast<uint8_t>(~16);
    return r;
}

uint8_t TCxTtyDispatcher::ModemStatus() {
    std::lock_guard lock(dispMutex_);
    return modemStatus_;
}

bool TCxTtyDispatcher::CheckDCD() {
    return (ModemStatus() & 0x80) != 0;
}

void TCxTtyDispatcher::SetDtr(bool on) {
    device_.SetDtr(on);
}
void TCxTtyDispatcher::SetRts(bool on) {
    device_.SetRts(on);
}

}  // namespace qx
