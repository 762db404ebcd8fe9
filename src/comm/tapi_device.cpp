#include "tapi_device.h"

#include <QApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QInputDialog>
#include <QStringList>
#include <QTimer>

#include <algorithm>

#include "comm/com_port.h"
#include "comm/cx_exception.h"
#include "comm/error_msg.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/modem_line_provider.h"
#include "platform/modem_lines.h"
#include "platform/modem_lock.h"
#include "support/log.h"

namespace qx {

namespace {

// The modem's result when the far end hangs up; in the data stream of a connected call (a modem
// or cable without DCD) it is the only sign of the hang-up.
constexpr const char* kModemHangupText = "NO CARRIER";
constexpr int kReplyWaitMs = 30000;
constexpr int kStateWaitMs = 30001;
// Waits return these when they end without the awaited reply.
constexpr int kWaitLineClosed = 1;
constexpr int kWaitTimedOut = 2;

// The default device-selection dialog; a program without a window system cannot show one.
bool ShowDeviceDialog(const std::vector<std::string>& lines, std::string& chosen) {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return false;
    if (QGuiApplication::platformName() == "offscreen") return false;
    QStringList items;
    for (const std::string& l : lines) items << QString::fromStdString(l);
    bool ok = false;
    QString item = QInputDialog::getItem(nullptr, "Device Selection", "", items, 0, false, &ok);
    if (!ok || item.isEmpty()) return false;
    chosen = item.toStdString();
    return true;
}

int LineOpenError(int errnoResult) {
    switch (-errnoResult) {
        case EBUSY:
            return ecTapiAllocated;
        case EADDRNOTAVAIL:
            return ecTapiInvalAddress;
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case ENOTTY:
            return ecTapiBadDeviceId;
        default:
            return ecTapiOperationFailed;
    }
}

// A busy device (another program holds it) frees itself; these do not.
bool LineErrorLasts(int errnoResult) {
    switch (-errnoResult) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case ENOTTY:
        case EISDIR:
        case EACCES:
        case EPERM:
            return true;
        default:
            return false;
    }
}

}  // namespace

TTapiState TapiStateOfCallState(uint32_t callState) {
    for (int i = 0; i < 15; ++i) {
        if (callState == (1u << i)) return static_cast<TTapiState>(i);
    }
    return tsUnknown;
}

TCxTapiDevice::TCxTapiDevice(TCxComPort* comPort)
    : alive_(std::make_shared<Alive>()), redialTimer_(std::make_unique<QTimer>()) {
    redialTimer_->setInterval(1000);
    QObject::connect(redialTimer_.get(), &QTimer::timeout, [this] { RedialTick(); });
    SetComPort(comPort);
    TapiStart();
}

TCxTapiDevice::~TCxTapiDevice() {
    // No events any more: the owner is going away. The hang-up still happens.
    alive_->alive = false;
    redialTimer_->stop();
    OnTapiLog = nullptr;
    if (comPort_ != nullptr) {
        try {
            ClosePort();
        } catch (const std::exception&) {
        }
        comPort_->OnLineHangup = nullptr;
    }
    line_.reset();  // the worker hangs up and releases the locks
}

void TCxTapiDevice::SetComPort(TCxComPort* port) {
    if (comPort_ != nullptr) comPort_->OnLineHangup = nullptr;
    comPort_ = port;
    if (port == nullptr) return;
    if (port->TapiMode == tmAuto) {
        port->TapiMode = tmOn;
        port->AutoOpen = false;
        port->SetOpen(false);
    }
    port->OnLineHangup = [this, alive = alive_](TCxComPort&) {
        if (alive->alive) DoPortHangUp();
    };
}

void TCxTapiDevice::TapiStart() {
    if (tapiStarted_ || starting_) return;
    starting_ = true;
    if (LockDirectory.empty()) LockDirectory = ModemLockDirectory();
    // Locks left by programs that died (ours included) would keep their lines unusable.
    for (const std::string& name : SweepStaleModemLocks(LockDirectory)) {
        qx::Log("Removed stale lock " + name, 1);
    }
    EnumerateDevices();
    tapiStarted_ = true;
    starting_ = false;
}

void TCxTapiDevice::EnumerateDevices() {
    devices_ = ListModemLines();
}

std::string TCxTapiDevice::ConnectText() const {
    return line_ ? line_->ConnectText() : "";
}

TTapiState TCxTapiDevice::TapiState() const {
    if (!line_ || !line_->HasCall()) return tsIdle;
    return TapiStateOfCallState(line_->CallState());
}

void TCxTapiDevice::Log(TTapiLogCode code) {
    if (OnTapiLog) OnTapiLog(code);
}

void TCxTapiDevice::Post(std::function<void()> fn) {
    PostToMain([alive = alive_, fn = std::move(fn)] {
        if (alive->alive) fn();
    });
}

void TCxTapiDevice::RaiseEvent(const std::function<void()>& handler) {
    if (!handler) return;
    try {
        handler();
    } catch (const std::exception& e) {
        qx::Log(e.what(), 0);
    }
}

void TCxTapiDevice::PostFail() {
    Post([this] {
        // One report per line opening, however many paths ended in failure.
        if (failureReported_) return;
        failureReported_ = true;
        RaiseEvent(OnTapiFail);
    });
}

void TCxTapiDevice::Dial(const std::string& number) {
    TapiStart();
    if (comPort_ == nullptr) RaiseCxError(ecPortNotAssigned);
    if (comPort_->TapiMode == tmAuto) comPort_->TapiMode = tmOn;
    if (comPort_->TapiMode != tmOn) RaiseCxError(ecTapiModeNotSet);
    // A line that is open without a call is between the steps of a dial or a hang-up.
    if (TapiState() != tsIdle || lineOpen_ || hangingUp_) RaiseCxError(ecTapiBusyOrOpen);
    redialTimer_->stop();
    attempt_ = 1;
    retrying_ = true;
    number_ = number;
    callInProgress_ = true;
    DialPrimitive();
}

std::string TCxTapiDevice::SelectLine() {
    auto listed = [&] {
        return !SelectedDevice.empty() &&
               std::find(devices_.begin(), devices_.end(), SelectedDevice) != devices_.end();
    };
    if (IsNetworkLineName(SelectedDevice)) return SelectedDevice;
    if (!listed()) EnumerateDevices();  // the line may have appeared since the last look
    if (listed()) return SelectedDevice;
    if (devices_.size() == 1 && SelectedDevice.empty()) {
        SelectedDevice = devices_.front();
        return SelectedDevice;
    }
    if (ShowTapiDevices || ShowPorts) {
        std::string chosen;
        bool ok = SelectDeviceDialog ? SelectDeviceDialog(devices_, chosen)
                                     : ShowDeviceDialog(devices_, chosen);
        if (ok && !chosen.empty()) {
            SelectedDevice = chosen;
            return chosen;
        }
    }
    RaiseCxError(ecTapiNoSelect);
    return {};
}

void TCxTapiDevice::OpenLine() {
    lineUnusable_ = false;
    std::string path;
    try {
        path = SelectLine();
    } catch (const ECxException&) {
        lineUnusable_ = true;  // the selected line is gone and no other was chosen
        throw;
    }
    ModemLineEvents events;
    events.CallState = [this](uint32_t state, uint32_t mode) { DoLineCallState(state, mode); };
    events.Reply = [this](int request, int result) { DoLineReply(request, result); };
    int result = 0;
    std::string error;
    line_ = OpenCallLine(path, LockDirectory, std::move(events), result, error, Timings);
    if (!line_) {
        lineUnusable_ = LineErrorLasts(result);
        int code = LineOpenError(result);
        throw ECxException(code, ErrorMsg(code) + ": " + error);
    }
    lineOpen_ = true;
    failureReported_ = false;
}

void TCxTapiDevice::DialPrimitive() {
    if (lineOpen_) return;
    TapiStart();
    cancelled_ = false;
    dialling_ = true;
    try {
        OpenLine();
    } catch (...) {
        retrying_ = false;
        callInProgress_ = false;
        dialling_ = false;
        throw;
    }
    if (attempt_ == 1) Log(ltapiCallStart);
    // The log handlers pump the event loop: the call may have been cancelled meanwhile.
    if (!lineOpen_ || cancelled_) return;
    failureReported_ = false;
    Log(ltapiDial);
    if (!lineOpen_ || cancelled_) return;

    int result;
    int request = line_->MakeCall(number_);
    if (request == TCallLine::kErrInvalid) {
        result = ecTapiInvalidDialParams;
    } else if (request < 0) {
        result = ecTapiCallUnavail;
    } else {
        result = WaitForReply(request);
        if (result > 0) result = 0;  // the line closed or TAPI did not answer: states decide
    }
    if (result < 0) {
        failureCode_ = result;
        Log(ltapiDialFail);
        retrying_ = false;
        HangUp(true);
        if (!OnTapiFail) RaiseCxError(ecTapiCallUnavail);
        PostFail();
    }
}

void TCxTapiDevice::CancelCall() {
    cancelled_ = true;
    Log(ltapiCancel);
    HangUp(true);
}

void TCxTapiDevice::HangUp(bool noRetry) {
    if (hangingUp_) return;
    const bool wasConnected = connected_;
    const bool lineWasOpen = lineOpen_;
    std::exception_ptr failure;
    bool portClosed = false;
    if (lineWasOpen) {
        hangingUp_ = true;
        try {
            bool portWasOpen = ClosePort();
            if (line_ && line_->HasCall() && line_->CallState() != kLineCallIdle) {
                int request = line_->Drop();
                if (request > 0) {
                    WaitForReply(request);
                    WaitForCallState(kLineCallIdle);
                }
            }
            CloseLine();
            connected_ = false;
            lineOpen_ = false;
            portClosed = portWasOpen;
            Log(ltapiDrop);
        } catch (...) {
            failure = std::current_exception();
            CloseLine();
            connected_ = false;
            lineOpen_ = false;
        }
    }
    if (noRetry) retrying_ = false;
    if (retrying_ && attempt_ < MaxAttempts) {
        countdown_ = RetryWait;
        redialTimer_->start();
    } else {
        retrying_ = false;
        // A cancel with no call under way (nothing dialled, or the call already ended) has
        // nothing to finish.
        if (lineWasOpen || callInProgress_) {
            callInProgress_ = false;
            Log(ltapiCallFinish);
            if (!wasConnected) {
                Log(ltapiDialFail);
                PostFail();
            }
        }
    }
    hangingUp_ = false;
    // Posted only now: the log handlers pump the event loop, and the port-close event must
    // come after "call finished".
    if (portClosed) Post([this] { RaiseEvent(OnTapiPortClose); });
    if (failure) std::rethrow_exception(failure);
}

void TCxTapiDevice::CloseLine() {
    if (line_) line_->Deallocate();
    line_.reset();
    dialling_ = false;
}

bool TCxTapiDevice::ClosePort() {
    if (comPort_ == nullptr || !comPort_->Open()) return false;
    comPort_->SetOpen(false);
    return true;
}

void TCxTapiDevice::ReleasePortScan() {
    if (comPort_ == nullptr) return;
    if (TCxDispatcher* d = comPort_->Dispatcher()) d->ReleaseDataScan();
}

bool TCxTapiDevice::OpenPortOnCall() {
    if (comPort_ == nullptr || !line_) return false;
    comPort_->SetOpen(false);
    comPort_->SetTapiHandle(line_->Descriptor());
    // Nothing the far end sends after CONNECT is dropped: what came with the CONNECT line is
    // read first, and the line's input is not flushed.
    comPort_->SetInitialInput(line_->TakeConnectData());
    // A network line hangs up by closing the connection; what the board sends is all data.
    if (!IsNetworkLineName(line_->Path())) comPort_->SetHangupText(kModemHangupText);
    // The program arms its triggers for the call in the connect events; the board may have
    // spoken before that, so its text waits for them (released in DoLineCallState).
    comPort_->HoldDataScanAtOpen();
    comPort_->SetOpen(true);
    comPort_->FlushOutBuffer();
    comPort_->SetDeviceName(line_->Path());
    Post([this] { RaiseEvent(OnTapiPortOpen); });
    return true;
}

void TCxTapiDevice::RedialTick() {
    countdown_ -= 1;
    if (TapiState() != tsIdle) {
        redialTimer_->stop();
        return;
    }
    if (countdown_ > 0) return;
    redialTimer_->stop();
    attempt_ += 1;
    try {
        DialPrimitive();
    } catch (const std::exception& e) {
        // A timer event has no caller to throw to: the call ends as a failed dial.
        qx::Log(e.what(), 0);
        callInProgress_ = true;
        HangUp(true);
    }
}

void TCxTapiDevice::DoLineCallState(uint32_t state, uint32_t mode) {
    lastCallState_ = state;
    stateChanged_ = true;
    switch (state) {
        case kLineCallIdle:
            HangUp(false);
            break;
        case kLineCallConnected:
            if (connected_) break;
            connected_ = true;
            redialTimer_->stop();
            retrying_ = false;
            try {
                OpenPortOnCall();
            } catch (const std::exception& e) {
                // Without a port the call is of no use: end it as a failed dial.
                qx::Log(e.what(), 0);
                connected_ = false;
                HangUp(true);
                break;
            }
            Post([this] { RaiseEvent(OnTapiConnect); });
            Log(ltapiConnect);
            // After the connect events (posted before this) have run.
            Post([this] { ReleasePortScan(); });
            break;
        case kLineCallDisconnected:
            if (mode & kLineDisconnectBusy) Log(ltapiBusy);
            HangUp(false);
            break;
        default:
            break;  // progress only
    }
}

void TCxTapiDevice::DoLineReply(int request, int result) {
    if (request != waitRequest_) return;
    waitResult_ = result;
    waitReplied_ = true;
}

void TCxTapiDevice::DoPortHangUp() {
    if (!connected_ || hangingUp_) return;
    // The port saw the device go or the modem's "NO CARRIER": either way the modem has left
    // data mode.
    if (line_) line_->NoteCommandMode();
    HangUp(false);
}

bool TCxTapiDevice::PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    const int64_t deadline = MonotonicMilliseconds() + timeoutMs;
    // The timer wakes the wait regularly, so the deadline is seen on a silent loop.
    QTimer tick;
    tick.start(20);
    while (!done()) {
        if (MonotonicMilliseconds() >= deadline) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

int TCxTapiDevice::WaitForReply(int request) {
    waitRequest_ = request;
    waitReplied_ = false;
    waitResult_ = ecTapiOperationFailed;
    bool ended = PumpUntil([&] { return (waitReplied_ && waitRequest_ == request) || !line_; },
                           kReplyWaitMs);
    if (waitReplied_ && waitRequest_ == request) return waitResult_;
    return ended ? kWaitLineClosed : kWaitTimedOut;
}

bool TCxTapiDevice::WaitForCallState(uint32_t state) {
    return PumpUntil([&] { return !line_ || line_->CallState() == state; }, kStateWaitMs);
}

}  // namespace qx
