#include "comm/com_port.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <thread>
#include <utility>

#include "comm/cx_exception.h"
#include "comm/tty_dispatcher.h"
#include "platform/event_loop.h"
#include "support/log.h"

namespace qx {

// The hidden notification window: a QObject on the main thread. It is the context of the
// deferred-close steps, so a step queued for a port that no longer exists is dropped.
class TCxComWindow : public QObject {
  public:
    explicit TCxComWindow(TCxComPort& port) : port_(port) {}
    TCxComPort& port_;
};

namespace {

// How long the closing thread sleeps between rounds of message processing while it waits for
// the dispatcher's threads.
constexpr auto kCloseWaitSlice = std::chrono::milliseconds(2);
// Bounds of the output drain at a close and of the wait for the event and output threads when
// the close is put off.
constexpr int kCloseDrainMs = 1000;
constexpr int kDetachWaitMs = 2000;

}  // namespace

TCxComPort::TCxComPort() : alive_(std::make_shared<bool>(true)) {}

TCxComPort::~TCxComPort() {
    *alive_ = false;
    if (!dispatcher_) return;
    dispatcher_->SetClosePending();
    dispatcher_->RequestStop();
    if (eventDepth_ > 0) {
        // Destroyed inside one of its own events: the dispatch thread waits for this very
        // handler, so the dispatcher is released later, once its threads have ended.
        dispatcher_->DetachDevice(kDetachWaitMs);  // its owner may close it at once
        std::shared_ptr<TCxTtyDispatcher> d(dispatcher_.release());
        std::function<void()> reap;
        reap = [d] {
            auto step = std::make_shared<std::function<void()>>();
            *step = [d, step] {
                if (d->ThreadsRunning()) {
                    QTimer::singleShot(5, [step] { (*step)(); });
                    return;
                }
                d->WaitThreads(-1);
                d->CloseDevice();
            };
            (*step)();
        };
        PostToMain(reap);
        return;
    }
    while (!dispatcher_->WaitThreads(0)) {
        ProcessPendingMessages();
        std::this_thread::sleep_for(kCloseWaitSlice);
    }
    dispatcher_->CloseDevice();
    dispatcher_.reset();
}

void TCxComPort::SetTraceSize(int32_t n) {
    traceSize_ = std::min<int32_t>(n, 4000000);
}
void TCxComPort::SetLogSize(int32_t n) {
    logSize_ = std::min<int32_t>(n, 16000000);
}

void TCxComPort::SetBufferFull(uint16_t n) {
    if ((n != 0 && n < bufferResume_) || n > InSize) RaiseCxError(ecBadArgument);
    bufferFull_ = n;
}

void TCxComPort::SetBufferResume(uint16_t n) {
    if ((bufferFull_ != 0 && n > bufferFull_) || n > InSize) RaiseCxError(ecBadArgument);
    bufferResume_ = n;
}

void TCxComPort::SetDTR(bool on) {
    dtr_ = on;
    if (dispatcher_ && state_ == TPortState::Open && !(HWFlowOptions & hwfUseDTR))
        dispatcher_->SetDtr(on);
}

void TCxComPort::SetRTS(bool on) {
    rts_ = on;
    if (dispatcher_ && state_ == TPortState::Open && !(HWFlowOptions & hwfUseRTS))
        dispatcher_->SetRts(on);
}

void TCxComPort::SetTapiHandle(int fd) {
    SetTapiHandles(fd, fd);
    handleGiven_ = fd > 0;  // 0 is "no handle" here
}

void TCxComPort::SetTapiHandles(int readFd, int writeFd) {
    readFd_ = readFd;
    writeFd_ = writeFd;
    handleGiven_ = readFd >= 0 && writeFd >= 0;
}

void TCxComPort::SetDeviceName(const std::string& name) {
    deviceName_ = name;
    if (dispatcher_) dispatcher_->SetDeviceName(name);
}

void TCxComPort::EndLoading() {
    loading_ = false;
    if (openWhenLoaded_) {
        openWhenLoaded_ = false;
        SetOpen(true);
    }
}

// ---- opening and closing ----

void TCxComPort::SetOpen(bool open) {
    if (loading_) {
        openWhenLoaded_ = open;
        return;
    }
    if (state_ == TPortState::Closing) {
        openRequested_ = open;  // carried out when the deferred close completes
        return;
    }
    if (open == (state_ == TPortState::Open)) return;
    if (open)
        DoOpen();
    else
        DoClose();
}

void TCxComPort::DoOpen() {
    if (TapiMode != tmOn && ComNumber == 0) RaiseCxError(ecNoPortSelected);
    if (DeviceLayer != dlWin32) RaiseCxError(ecNullApi);
    if (TapiMode == tmOn && !handleGiven_) RaiseCxError(ecNotOpenedByTapi);
    if (TapiMode != tmOn) RaiseCxError(ecBadId);  // only handed-over descriptors exist here

    auto d = std::make_unique<TCxTtyDispatcher>(OutSize);
    d->SetDeviceName(deviceName_.empty() ? "COM" + std::to_string(ComNumber) : deviceName_);
    d->SetQueueSizes(InSize);
    int r = d->OpenDevice(readFd_, writeFd_);
    // Not-found and access-denied read as the port's own codes; other errno values stay as
    // they are (small ones raise EInOutError with the file-system text).
    if (r == -ENOENT || r == -ENOTDIR) r = ecBadId;
    if (r == -EACCES || r == -EBUSY) r = ecAlreadyOpen;
    if (r == -EBADF) r = ecNotOpenedByTapi;
    if (r != 0) RaiseCxError(r);

    // The modem's settings, not the component's, are in force.
    SerialLineSettings s = d->Device().ReadSettings();
    if (d->Device().IsTty()) {
        Baud = s.Baud;
        Parity = static_cast<TParity>(s.Parity);
        DataBits = s.DataBits;
        StopBits = s.StopBits;
        HWFlowOptions = s.HwFlow ? (hwfUseRTS | hwfRequireCTS) : 0;
        SWFlowOptions = s.SwFlowIn && s.SwFlowOut ? swfBoth
                        : s.SwFlowIn              ? swfReceive
                        : s.SwFlowOut             ? swfTransmit
                                                  : swfNone;
        XOnChar = s.XOnChar;
        XOffChar = s.XOffChar;
    }
    if (!(HWFlowOptions & hwfUseDTR)) d->SetDtr(dtr_);
    if (!(HWFlowOptions & hwfUseRTS)) d->SetRts(rts_);
    d->RemoveAllTriggers();
    hangupRaised_ = false;

    dispatcher_ = std::move(d);
    ApplyFlowControl();
    window_ = std::make_unique<TCxComWindow>(*this);
    auto alive = alive_;
    dispatcher_->RegisterWindowHandler(
        [this, alive](unsigned msg, unsigned w, int32_t l) {
            if (*alive) MessageProc(msg, w, l);
        },
        // Called in the dispatch thread; the port outlives it: a close or destruction waits for
        // the threads, or (from inside an event) sets the close pending before the dispatch
        // thread gets past the send that runs that event, and no filter is asked after that.
        [this](unsigned msg, unsigned w) { return WantsNotification(msg, w); });
    dispatcher_->SetHangupHandler([this, alive] {
        PostToMain([this, alive] {
            if (!*alive || state_ != TPortState::Open || hangupRaised_) return;
            hangupRaised_ = true;
            if (OnLineHangup) OnLineHangup(*this);
        });
    });
    dispatcher_->ChangeLengthTrigger(triggerLength_);
    if (saved_.Valid) {
        dispatcher_->RestoreTriggers(saved_);
        triggerLength_ = saved_.AvailThreshold;
        saved_ = TSavedTriggers{};
    }
    dispatcher_->PreloadInput(initialInput_);
    dispatcher_->SetHangupText(hangupText_);
    initialInput_.clear();
    hangupText_.clear();
    if (std::exchange(holdScanAtOpen_, false)) dispatcher_->HoldDataScan();
    if (Tracing != tlOff || Logging != tlOff) {
        trace_ = std::make_shared<TLineTrace>(Tracing != tlOff ? traceSize_ : 0,
                                              Logging != tlOff ? logSize_ : 0);
        dispatcher_->SetTrace(trace_);
    }
    dispatcher_->StartThreads();
    state_ = TPortState::Open;
    CallUserCallbacks(true);
}

void TCxComPort::DoClose() {
    WriteTraceFiles();
    state_ = TPortState::Closing;
    // Users are told while the port still works, so they can tidy up (a transfer in progress
    // sends its cancel sequence).
    const uint64_t queuedBefore = dispatcher_ ? dispatcher_->OutputQueued() : 0;
    inCloseCallbacks_ = true;
    CallUserCallbacks(false);
    inCloseCallbacks_ = false;
    if (!dispatcher_) {
        state_ = TPortState::Closed;
        return;
    }
    dispatcher_->SaveTriggers(saved_);
    // The threshold the program set, not one a RemoveAllTriggers left at 0: the next call
    // shows the board's text again.
    saved_.AvailThreshold = triggerLength_;
    // What the callbacks queued (a transfer's cancel sequence) goes out instead of being
    // flushed; once it is in the device, a device flush would discard it again.
    const bool sent =
        dispatcher_->OutputQueued() > queuedBefore && dispatcher_->DrainOutput(kCloseDrainMs);
    if (!sent) dispatcher_->FlushOutBuffer();
    dispatcher_->FlushInBuffer();
    dispatcher_->SetClosePending();
    dispatcher_->RequestStop();
    if (eventDepth_ > 0) {
        // Closed from inside one of its own events: the dispatch thread is waiting for this
        // handler, so the release completes after it has returned. The descriptor is given
        // back now, though: its owner may close it as soon as this handler goes on, and the
        // number may then belong to another file.
        if (!dispatcher_->DetachDevice(kDetachWaitMs))
            Log("Port close: the line threads did not stop in time", 0);
        QTimer::singleShot(0, window_.get(), [this] { DeferredCloseStep(); });
        return;
    }
    // The dispatch thread may be sending to this thread right now: keep processing messages
    // while waiting, so that send completes (the handler sees a closing port and returns).
    while (!dispatcher_->WaitThreads(0)) {
        ProcessPendingMessages();
        std::this_thread::sleep_for(kCloseWaitSlice);
    }
    FinishClose();
    if (openRequested_) {
        openRequested_ = false;
        SetOpen(true);
    }
}

void TCxComPort::DeferredCloseStep() {
    if (!dispatcher_) return;
    if (!dispatcher_->WaitThreads(0)) {
        QTimer::singleShot(5, window_.get(), [this] { DeferredCloseStep(); });
        return;
    }
    // The window itself is the context of this step: release it only after the step.
    std::unique_ptr<TCxComWindow> window = std::move(window_);
    FinishClose();
    window.release()->deleteLater();
    if (openRequested_) {
        openRequested_ = false;
        SetOpen(true);
    }
}

void TCxComPort::WriteTraceFiles() {
    if (!trace_) return;
    if (Tracing != tlOff && !trace_->WriteTrace(TraceName, TraceHex, TraceAllHex)) {
        Log("Cannot write the line trace " + TraceName, 0);
    }
    if (Logging != tlOff && !trace_->WriteLog(LogName)) {
        Log("Cannot write the dispatch log " + LogName, 0);
    }
    trace_.reset();  // the dispatcher keeps its share until it goes
}

void TCxComPort::FinishClose() {
    dispatcher_->CloseDevice();
    dispatcher_.reset();
    window_.reset();
    state_ = TPortState::Closed;
}

void TCxComPort::CallUserCallbacks(bool opening) {
    auto list = userCallbacks_;
    for (auto& [id, cb] : list) {
        try {
            cb(*this, opening);
        } catch (const std::exception& e) {
            Log(std::string("Exception in port user callback: ") + e.what(), 0);
        }
    }
}

int TCxComPort::RegisterUserCallback(UserCallback cb) {
    int id = nextCallbackId_++;
    userCallbacks_.emplace_back(id, std::move(cb));
    return id;
}

void TCxComPort::DeregisterUserCallback(int id) {
    for (auto it = userCallbacks_.begin(); it != userCallbacks_.end(); ++it) {
        if (it->first == id) {
            userCallbacks_.erase(it);
            return;
        }
    }
}

TCxDispatcher* TCxComPort::Dispatcher() {
    return state_ == TPortState::Open ? dispatcher_.get() : nullptr;
}

// ---- flow control ----

void TCxComPort::ApplyFlowControl() {
    const bool hw = HWFlowOptions != 0;
    const bool sw = SWFlowOptions != swfNone;
    if (hw || sw) {
        unsigned full = hw ? InSize * 9u / 10u : InSize * 3u / 4u;
        unsigned resume = hw ? InSize / 10u : InSize / 4u;
        if (bufferFull_ == 0 || bufferFull_ > InSize) bufferFull_ = static_cast<uint16_t>(full);
        if (bufferResume_ == 0 || bufferResume_ > bufferFull_)
            bufferResume_ = static_cast<uint16_t>(resume);
    }
    if (!dispatcher_) return;
    SerialLineSettings s;
    s.Baud = Baud;
    s.Parity = Parity;
    s.DataBits = DataBits;
    s.StopBits = StopBits;
    s.HwFlow = (HWFlowOptions & (hwfUseRTS | hwfRequireCTS)) != 0;
    s.SwFlowIn = SWFlowOptions == swfReceive || SWFlowOptions == swfBoth;
    s.SwFlowOut = SWFlowOptions == swfTransmit || SWFlowOptions == swfBoth;
    s.XOnChar = XOnChar;
    s.XOffChar = XOffChar;
    dispatcher_->Device().ApplySettings(s);
}

// ---- the message procedure ----

bool TCxComPort::WantsNotification(unsigned msg, unsigned wParam) const {
    const unsigned set = assignedEvents_.load(std::memory_order_acquire);
    if (set & kEvTrigger) return true;
    switch (msg) {
        case MsgTriggerAvail:
            return (set & kEvAvail) != 0;
        case MsgTriggerData:
            return (set & kEvData) != 0;
        case MsgTriggerTimer:
            return (set & kEvTimer) != 0;
        case MsgTriggerStatus: {
            if (set & kEvStatus) return true;
            switch (wParam & 7) {
                case stModem:
                    return (set & kEvModem) != 0;
                case stLine:
                    return (set & kEvLineError) != 0;
                case stOutFree:
                    return (set & kEvOutFree) != 0;
                case stOutUsed:
                    return (set & kEvOutUsed) != 0;
                case stOutSent:
                    return (set & kEvOutSent) != 0;
                default:
                    return false;
            }
        }
        default:
            return false;
    }
}

void TCxComPort::MessageProc(unsigned msg, unsigned wParam, int32_t lParam) {
    // A notification that arrives while the port closes is dropped.
    if (state_ != TPortState::Open || !dispatcher_) return;
    if (FindDispatcher(lParam >> 16) != dispatcher_.get()) return;
    auto alive = alive_;
    const unsigned low = static_cast<unsigned>(lParam) & 0xFFFF;
    ++eventDepth_;
    try {
        switch (msg) {
            case MsgTriggerAvail:
                if (OnTrigger) OnTrigger.Call(*this, msg, wParam, wParam);
                if (*alive && OnTriggerAvail) OnTriggerAvail.Call(*this, wParam);
                break;
            case MsgTriggerData:
                if (OnTrigger) OnTrigger.Call(*this, msg, wParam, low);
                if (*alive && OnTriggerData) OnTriggerData.Call(*this, wParam);
                break;
            case MsgTriggerTimer:
                if (OnTrigger) OnTrigger.Call(*this, msg, wParam, 0);
                if (*alive && OnTriggerTimer) OnTriggerTimer.Call(*this, wParam);
                break;
            case MsgTriggerStatus:
                if (OnTrigger) OnTrigger.Call(*this, msg, wParam, low);
                if (*alive && OnTriggerStatus) OnTriggerStatus.Call(*this, wParam);
                if (!*alive || state_ != TPortState::Open) break;
                switch (wParam & 7) {
                    case stModem:
                        if (OnTriggerModemStatus) OnTriggerModemStatus.Call(*this);
                        break;
                    case stLine:
                        if (OnTriggerLineError) {
                            int e = LineError();
                            OnTriggerLineError.Call(*this, e, LineBreak());
                        }
                        break;
                    case stOutFree:
                        if (OnTriggerOutbuffFree) OnTriggerOutbuffFree.Call(*this);
                        break;
                    case stOutUsed:
                        if (OnTriggerOutbuffUsed) OnTriggerOutbuffUsed.Call(*this);
                        break;
                    case stOutSent:
                        if (OnTriggerOutSent) OnTriggerOutSent.Call(*this);
                        break;
                    default:
                        break;
                }
                break;
            default:
                break;
        }
    } catch (const std::exception& e) {
        if (*alive) Log(std::string("Exception in trigger event: ") + e.what(), 0);
    } catch (...) {
        if (*alive) Log("Exception in trigger event", 0);
    }
    if (*alive) --eventDepth_;
}

// ---- operations ----

bool TCxComPort::Usable() {
    if (state_ == TPortState::Open || inCloseCallbacks_) return true;
    if (state_ == TPortState::Closing) return false;
    if (!loading_) RaiseCxError(ecNotOpen);
    return false;
}

int TCxComPort::Check(int code) {
    if (code < 0 && !loading_) RaiseCxError(code);
    return code;
}

void TCxComPort::SetTriggerLength(int n) {
    triggerLength_ = n;
    if (dispatcher_ && state_ == TPortState::Open) dispatcher_->ChangeLengthTrigger(n);
}

bool TCxComPort::CharReady() {
    return Usable() && dispatcher_->CharReady();
}

uint8_t TCxComPort::GetChar() {
    uint8_t c = 0;
    if (Usable()) Check(dispatcher_->GetChar(c));
    return c;
}

uint8_t TCxComPort::PeekChar(size_t position) {
    uint8_t c = 0;
    if (Usable()) Check(dispatcher_->PeekChar(c, position));
    return c;
}

void TCxComPort::GetBlock(void* buf, size_t len) {
    if (Usable()) Check(dispatcher_->GetBlock(static_cast<uint8_t*>(buf), len));
}

void TCxComPort::PeekBlock(void* buf, size_t len) {
    if (Usable()) Check(dispatcher_->PeekBlock(static_cast<uint8_t*>(buf), len));
}

void TCxComPort::PutChar(uint8_t c) {
    PutBlock(&c, 1);
}
void TCxComPort::PutString(const std::string& s) {
    PutBlock(s.data(), s.size());
}

void TCxComPort::PutBlock(const void* buf, size_t len) {
    if (Usable()) Check(dispatcher_->PutBlock(buf, len));
}

void TCxComPort::FlushInBuffer() {
    if (Usable()) dispatcher_->FlushInBuffer();
}

void TCxComPort::FlushOutBuffer() {
    if (Usable()) dispatcher_->FlushOutBuffer();
}

size_t TCxComPort::InBuffUsed() {
    return Usable() ? dispatcher_->InBuffUsed() : 0;
}
size_t TCxComPort::InBuffFree() {
    return Usable() ? TCxTtyDispatcher::kInBufSize - dispatcher_->InBuffUsed() : 0;
}
size_t TCxComPort::OutBuffUsed() {
    return Usable() ? dispatcher_->OutBuffUsed() : 0;
}
size_t TCxComPort::OutBuffFree() {
    return Usable() ? dispatcher_->OutBuffFree() : 0;
}

bool TCxComPort::DCD() {
    return Usable() && (dispatcher_->ModemStatus() & 0x80);
}
bool TCxComPort::CTS() {
    return Usable() && (dispatcher_->ModemStatus() & 0x10);
}
bool TCxComPort::DSR() {
    return Usable() && (dispatcher_->ModemStatus() & 0x20);
}
bool TCxComPort::RI() {
    return Usable() && (dispatcher_->ModemStatus() & 0x40);
}
bool TCxComPort::DeltaDCD() {
    return Usable() && (dispatcher_->ModemStatus() & 0x08);
}
bool TCxComPort::DeltaCTS() {
    return Usable() && (dispatcher_->ModemStatus() & 0x01);
}
bool TCxComPort::DeltaDSR() {
    return Usable() && (dispatcher_->ModemStatus() & 0x02);
}
bool TCxComPort::DeltaRI() {
    return Usable() && (dispatcher_->ModemStatus() & 0x04);
}

uint16_t TCxComPort::AddDataTrigger(const std::string& pattern, bool ignoreCase) {
    if (!Usable()) return 0;
    return static_cast<uint16_t>(
        Check(dispatcher_->AddDataTrigger(pattern.data(), pattern.size(), ignoreCase)));
}

uint16_t TCxComPort::AddTimerTrigger() {
    if (!Usable()) return 0;
    return static_cast<uint16_t>(Check(dispatcher_->AddTimerTrigger()));
}

void TCxComPort::SetTimerTrigger(uint16_t handle, int32_t ticks, bool activate) {
    if (Usable()) Check(dispatcher_->SetTimerTrigger(handle, ticks, activate));
}

uint16_t TCxComPort::AddStatusTrigger(int kind) {
    if (!Usable()) return 0;
    return static_cast<uint16_t>(Check(dispatcher_->AddStatusTrigger(kind)));
}

void TCxComPort::SetStatusTrigger(uint16_t handle, uint16_t value, bool activate) {
    if (Usable()) Check(dispatcher_->SetStatusTrigger(handle, value, activate));
}

void TCxComPort::RemoveTrigger(uint16_t handle) {
    if (Usable()) Check(dispatcher_->RemoveTrigger(handle));
}

void TCxComPort::RemoveAllTriggers() {
    if (!Usable()) return;
    dispatcher_->RemoveAllTriggers();  // avail off until TriggerLength is set or a reopen
}

int TCxComPort::LineError() {
    return Usable() ? dispatcher_->LineError() : 0;
}
bool TCxComPort::LineBreak() {
    return Usable() && dispatcher_->LineBreak();
}

}  // namespace qx
