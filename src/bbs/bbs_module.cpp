// The call controller: creation of the module, the dial timer with its countdown and retries,
// the line device's events and the texts a call reports.
#include "bbs_module.h"

#include <QPointer>

#include <exception>
#include <utility>

#include "comm/cx_exception.h"
#include "comm/status_light.h"
#include "platform/event_loop.h"
#include "platform/ipc_objects.h"
#include "platform/modem_lock.h"
#include "shell/main_window.h"
#include "support/log.h"
#include "support/utilities.h"

namespace qx {

TBBSmodule* BBSmodule = nullptr;

namespace {

constexpr const char* kPresenceName = "Ostrel_Skelvane";

// Indexed by TTapiState.
constexpr const char* kTapiStateTexts[] = {
    "No TAPI operations in progress",
    "Call offered to the station",
    "Call has been accepted",
    "Received Dialtone",
    "Dialing",
    "Call is receiving ringback",
    "Busy",
    "Special information is sent by the network",
    "The connection is made",
    "Dialing has completed",
    "The call is on hold by the switch",
    "A member of a multi-party conference call",
    "On hold while it is being added to a conference",
    "On hold awaiting transfer to another number",
    "The remote party has disconnected from the call",
    "The state of the call is not known",
};

enum : int {
    kResultEngaged = 4,
    kResultNoCarrier = 5,
    kResultAborted = 14,
};

// Outcomes of an attempt, highest wins.
enum : int32_t {
    kOutcomeOther = -1,
    kOutcomeDialFailed = 1,
    kOutcomeBusy = 2,
    kOutcomeConnected = 3
};

}  // namespace

TBBSmodule::TBBSmodule(QObject* owner) : QObject(owner), TapiDevice(&ComPort) {
    ComPort.InSize = 20480;
    ComPort.OutSize = 20480;
    ComPort.AutoOpen = false;
    ComPort.TapiMode = tmOn;
    ComPort.TraceName = "bbs.cap";
    ComPort.LogName = "bbs.log";
    ComPort.OnTriggerAvail = [this](TCxComPort&, unsigned count) { ComPortTriggerAvail(count); };
    ComPort.OnTriggerData = [this](TCxComPort&, unsigned handle) { ComPortTriggerData(handle); };
    ComPort.OnTriggerTimer = [this](TCxComPort&, unsigned handle) { ComPortTriggerTimer(handle); };

    TapiDevice.ShowTapiDevices = true;
    TapiDevice.ShowPorts = true;
    TapiDevice.EnableVoice = false;
    TapiDevice.OnTapiLog = [this](TTapiLogCode code) { TapiDeviceTapiLog(code); };
    TapiDevice.OnTapiPortOpen = [this] { TapiDeviceTapiPortOpen(); };
    TapiDevice.OnTapiPortClose = [this] { TapiDeviceTapiPortClose(); };
    TapiDevice.OnTapiFail = [this] { TapiDeviceTapiFail(); };

    Protocol.SetComPort(&ComPort);
    Protocol.SetProtocolType(ptZmodem);
    Protocol.FileMask = "*.*";
    Protocol.SetBlockCheckMethod(bcmCrc32);
    Protocol.SetHandshakeWait(1092);
    Protocol.Overhead = 20;
    Protocol.SetStatusInterval(10);
    Protocol.OnProtocolAccept = [this](TCxProtocol&, bool& accept, std::string& name) {
        ProtocolProtocolAccept(accept, name);
    };
    Protocol.OnProtocolLog = [this](TCxProtocol&, int code) { ProtocolProtocolLog(code); };
    Protocol.OnProtocolStatus = [this](TCxProtocol&, unsigned o) { ProtocolProtocolStatus(o); };
    Protocol.OnProtocolError = [this](TCxProtocol&, int code) { ProtocolProtocolError(code); };
    Protocol.OnProtocolFinish = [this](TCxProtocol&, int code) { ProtocolProtocolFinish(code); };

    LightController.SetComPort(&ComPort);

    DialTimer.setInterval(1000);
    QObject::connect(&DialTimer, &QTimer::timeout, [this] { DialTimerTimer(); });
    BBSmodule = this;
    BBSmoduleCreate();
}

TBBSmodule::~TBBSmodule() {
    BBSmoduleDestroy();
    // No event of the components may reach a module that is going away.
    TapiDevice.OnTapiLog = nullptr;
    TapiDevice.OnTapiPortOpen = nullptr;
    TapiDevice.OnTapiPortClose = nullptr;
    TapiDevice.OnTapiFail = nullptr;
    Protocol.OnProtocolAccept = nullptr;
    Protocol.OnProtocolLog = nullptr;
    Protocol.OnProtocolStatus = nullptr;
    Protocol.OnProtocolError = nullptr;
    Protocol.OnProtocolFinish = nullptr;
    if (BBSmodule == this) BBSmodule = nullptr;
}

void TBBSmodule::BBSmoduleCreate() {
    VersionText = std::string(1, ' ');
    std::string version, build;
    if (ReadFileVersion(version, build)) VersionText = "Version: " + version + "." + build;
    Receiving = AwaitUserPrompt = LineFinished = false;
    PhoneNumber.clear();
    UserName.clear();
    Password.clear();
    RequestName.clear();
    TempDir.clear();
    SourceDir.clear();
    RequestIndex = LoginRetryCnt = 0;
    UserPromptTrigger = PasswordPromptTrigger = LoginErrorTrigger = LoginMainPromptTrigger = 0;
    MainPromptTrigger = ProtocolPromptTrigger = FileNamePromptTrigger = UnableTrigger = 0;
    ZmodemStartTrigger = ReadyTrigger = WatchdogTrigger = 0;
}

void TBBSmodule::BBSmoduleDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    DialTimer.stop();
    CancelCall();
}

void TBBSmodule::BindLights(TCxStatusLight* brk, TCxStatusLight* cts, TCxStatusLight* dcd,
                            TCxStatusLight* dsr, TCxStatusLight* err, TCxStatusLight* txd,
                            TCxStatusLight* rxd) {
    LightController.Lights.BREAKLight = brk;
    LightController.Lights.CTSLight = cts;
    LightController.Lights.DCDLight = dcd;
    LightController.Lights.DSRLight = dsr;
    LightController.Lights.ERRORLight = err;
    LightController.Lights.TXDLight = txd;
    LightController.Lights.RXDLight = rxd;
}

// --- Window and queue access -----------------------------------------------------------------

bool TBBSmodule::Closing() const {
    return frmVudaDUD != nullptr && frmVudaDUD->Closing;
}

bool TBBSmodule::Connected() const {
    return TapiDevice.TapiState() == tsConnected;
}

TMailbox* TBBSmodule::Queue() const {
    return frmVudaDUD != nullptr ? frmVudaDUD->FromPresentation.get() : nullptr;
}

bool TBBSmodule::QueueEntry(int index, std::string& entry) const {
    TMailbox* q = Queue();
    entry.clear();
    return q != nullptr && q->Get(index, entry);
}

void TBBSmodule::QueueDelete(int index) {
    if (TMailbox* q = Queue()) q->Delete(index);
}

void TBBSmodule::QueuePost(const std::string& text) {
    if (TMailbox* q = Queue()) q->Post(text);
}

void TBBSmodule::PostToWindow(int msg) {
    if (frmVudaDUD != nullptr) frmVudaDUD->PostMsg(msg);
}

void TBBSmodule::Log(const std::string& text, int level) {
    qx::Log(text, level);
}

void TBBSmodule::EchoChar(char c) {
    if (frmVudaDUD != nullptr) frmVudaDUD->EchoChar(c);
}

// --- Line selection -------------------------------------------------------------------------

std::vector<std::string> TBBSmodule::TapiDevices() {
    TapiDevice.EnumerateDevices();
    return TapiDevice.TapiDevices();
}

void TBBSmodule::SelectTapiDevice(const std::string& name) {
    try {
        ComPort.SetOpen(false);
    } catch (const std::exception& e) {
        Log(e.what(), 0);
    }
    ComPort.TapiMode = tmOn;
    TapiDevice.SelectedDevice.clear();
    TapiDevice.SelectedDevice = name;
    // Selected all the same: the other program may let go before the first dial.
    if (const int holder = ModemLockHolder(TapiDevice.LockDirectory, name); holder > 0) {
        Log(name + " is in use by another program (process " + std::to_string(holder) + ")", 0);
    }
}

// --- Dialling --------------------------------------------------------------------------------

void TBBSmodule::DialTimerTimer() {
    if (Closing()) return;
    // A dial step waits with the loop running; a tick inside it waits for the next one.
    if (dialBusy_) return;
    dialBusy_ = true;
    Log("Timering DialRetryCnt :" + std::to_string(DialRetryCnt) +
            "  LoginRetryCnt :" + std::to_string(LoginRetryCnt),
        20);
    DialTimer.stop();
    if (!PresentationRunning()) {
        QueuePost("Abort");
        QueuePost("Exit");
        PostToWindow(MsgEndOfCall);
    } else if (DialRetryCnt < kMaxDials && LoginRetryCnt < kMaxLogins) {
        if (!ReDial()) {
            Log("No access to comport", 0);
            QueueDelete(0);
            if (frmVudaDUD != nullptr) {
                frmVudaDUD->OpslaanClick();
                frmVudaDUD->AfsluitenClick();
            }
        }
    } else {
        LoginRetryCnt = 0;
        QueuePost("Abort");
        PostToWindow(MsgEndOfCall);
    }
    dialBusy_ = false;
}

bool TBBSmodule::ReDial() {
    if (Closing()) return true;
    Log("ReDialing....", 20);
    LoginPromptCnt = 0;
    TapiDevice.RetryWait = 5;
    TapiDevice.MaxAttempts = 0;
    CallOutcome = 0;
    busySeen_ = false;
    if (DialRetryCnt > 0 && TryAgain(10, true)) {
        Log("Is Aborted ..", 20);
        PostToWindow(MsgEndOfCall);
        return true;
    }
    const bool idle = Idle();
    if (!idle) return false;
    if (Closing()) return true;
    DialRetryCnt += 1;
    RequestIndex = 0;
    try {
        TapiDevice.Dial(PhoneNumber);
    } catch (const std::exception& e) {
        // A host that cannot be found, or a device that is missing or forbidden, will not be
        // there on the next try either: one reply, and the call ends.
        const auto* cx = dynamic_cast<const ECxException*>(&e);
        if ((cx != nullptr && cx->ErrorCode == ecTapiInvalAddress) || TapiDevice.LineUnusable()) {
            EndCallUnopenable(e.what());
            return true;
        }
        return DialFailed(e);
    }
    return true;
}

bool TBBSmodule::DialFailed(const std::exception& e) {
    // The line could not be opened for now (another program holds it): the attempt ends as a
    // failed dial, so the retries and the end of the call still follow.
    Log(e.what(), 0);
    LineFinished = true;
    if (CallOutcome < kOutcomeDialFailed) CallOutcome = kOutcomeDialFailed;
    PostToMain([alive = QPointer<TBBSmodule>(this)] {
        if (alive) alive->TapiDeviceTapiFail();
    });
    return true;
}

void TBBSmodule::EndCallUnopenable(const std::string& reason) {
    // Ten dials with countdowns and "No carrier" would only hide the reason.
    Log(reason, 0);
    LineFinished = true;
    CallOutcome = 0;
    StopRedial();
    QueuePost("Abort");  // the queue is cleared at the end of the call, as after ten dials
    PostToWindow(MsgEndOfCall);
}

bool TBBSmodule::TryAgain(int32_t seconds, bool announce) {
    Log("TryAgain", 10);
    bool aborted = false;
    while (seconds > 0 && !aborted) {
        aborted = (frmVudaDUD != nullptr && frmVudaDUD->AbortCheck()) || Closing();
        if (!aborted) {
            if (announce) Log("Next try in " + std::to_string(seconds) + " seconds", 0);
            WaitSeconds(1);
        }
        seconds -= 1;
    }
    if (frmVudaDUD != nullptr) frmVudaDUD->ShowStatusText(" ");
    Log("TryAgain...", 20);
    return aborted;
}

bool TBBSmodule::Idle() {
    LogTapiState();
    bool idle = false;
    for (int i = 0; i < 4; ++i) {
        if (TapiDevice.TapiState() != tsIdle) {
            WaitSeconds(1);
        } else {
            idle = true;
            break;
        }
    }
    Log(std::string("****Idle:") + (idle ? "1" : "0"), 20);
    return idle;
}

bool TBBSmodule::PresentationRunning() {
    if (ipc::IsPresent(kPresenceName)) {
        Log("Presentation running...", 20);
        return true;
    }
    Log("No Presentation running...", 20);
    return false;
}

void TBBSmodule::StopRedial() {
    DialRetryCnt = kDialRetryLimit;
}

void TBBSmodule::ModemFlush() {
    Log("ModemFlush", 10);
    try {
        for (;;) {
            WaitSeconds(1);
            if (!ComPort.Open() || !ComPort.CharReady()) break;
            while (ComPort.Open() && ComPort.CharReady())
                EchoChar(static_cast<char>(ComPort.GetChar()));
        }
    } catch (const std::exception& e) {
        Log(e.what(), 1);  // the line went away while draining: nothing left to drain
    }
    Log("ModemFlush...", 20);
}

void TBBSmodule::LogTapiState() {
    const int state = static_cast<int>(TapiDevice.TapiState());
    const char* text =
        state >= 0 && state <= tsUnknown ? kTapiStateTexts[state] : "no known tapi status";
    Log(std::string("TapiState: ") + text, 20);
}

void TBBSmodule::CancelCall() {
    try {
        TapiDevice.CancelCall();
    } catch (const std::exception& e) {
        Log(e.what(), 0);
    }
}

void TBBSmodule::DisconnectClick() {
    Log("Interrupt", 5);
    QueuePost("Abort");
    UserAbort = true;
    if (Receiving) Protocol.CancelProtocol();
    StopRedial();
    CancelCall();
    Log("Interrupt...", 20);
}

// --- Line device events ----------------------------------------------------------------------

void TBBSmodule::TapiDeviceTapiLog(TTapiLogCode code) {
    if (Closing()) return;
    LogTapiState();
    // The line device reports a busy line before the attempt has finished; remembered here so
    // that the outcome of the attempt says "Engaged" rather than "No carrier".
    if (code == ltapiBusy) busySeen_ = true;
    if (LineFinished) {
        const int32_t r = code == ltapiConnect    ? kOutcomeConnected
                          : code == ltapiBusy     ? kOutcomeBusy
                          : code == ltapiDialFail ? kOutcomeDialFailed
                                                  : kOutcomeOther;
        Log("Result : " + std::to_string(r) + " " + std::to_string(CallOutcome), 20);
        if (r > CallOutcome) CallOutcome = r;
    }
    std::string line = "TapiLog: ";
    switch (code) {
        case ltapiNone:
            line += "None...";
            break;
        case ltapiCallStart:
            line += "call started";
            LineFinished = false;
            break;
        case ltapiCallFinish:
            line += "call finished";
            connectionSerial_ += 1;  // before anything below can pump the loop
            LogTapiState();
            LineFinished = true;
            if (busySeen_ && CallOutcome < kOutcomeBusy) CallOutcome = kOutcomeBusy;
            break;
        case ltapiDial:
            line += "Dialing " + PhoneNumber;
            LineFinished = false;
            busySeen_ = false;
            Log("Dialling", 0);
            break;
        case ltapiAnswer:
            line += "Answering";
            break;
        case ltapiConnect:
            line += "Connected";
            // First: the logging below pumps the loop, and a timer of the last call that fires
            // there must already see that it is not its call.
            connectionSerial_ += 1;
            if (!Closing()) {
                ConnectionStart();
                Log("Connected to OstrelCentre at " + TimeText(NowLocal()), 0);
            }
            AwaitUserPrompt = true;
            Receiving = false;
            LoginRetryCnt += 1;
            break;
        case ltapiCancel:
            line += "Cancelled";
            break;
        case ltapiDrop:
            line += "Dropped";
            break;
        case ltapiBusy:
            line += "Busy ....";
            break;
        case ltapiDialFail:
            line += "Dial failed";
            break;
        default:
            line += "Unkown tapi-status";
            break;
    }
    Log(line, 20);
    ProcessPendingMessages();
}

void TBBSmodule::TapiDeviceTapiPortOpen() {
    Log("TapiPortOpen", 20);
    try {
        LightController.SetMonitoring(true);
    } catch (const std::exception& e) {
        Log(e.what(), 1);
    }
}

void TBBSmodule::TapiDeviceTapiPortClose() {
    Log("TapiPortClose", 20);
    LineFinished = true;
    try {
        LightController.SetMonitoring(false);
    } catch (const std::exception& e) {
        Log(e.what(), 1);
    }
    CallOutcome = 0;
    CountFailedRequest();
    if (!Closing()) PostToWindow(MsgEndOfCall);
}

void TBBSmodule::CountFailedRequest() {
    if (servingEntry_.empty()) return;
    const std::string entry = std::exchange(servingEntry_, {});
    failedConnections_ = entry == failedEntry_ ? failedConnections_ + 1 : 1;
    failedEntry_ = entry;
    if (failedConnections_ < kMaxFailedTransfers) return;
    // Asked for again it would be dialled for ever, and nothing queued behind it would run.
    failedConnections_ = 0;
    failedEntry_.clear();
    std::string queued;
    for (int i = 0; QueueEntry(i, queued); ++i) {
        if (queued == entry) {
            QueueDelete(i);
            break;
        }
    }
    Log("Transfer failed in " + std::to_string(kMaxFailedTransfers) +
            " connections, request dropped: " + servingName_,
        0);
}

void TBBSmodule::TapiDeviceTapiFail() {
    Log("****TapiPortFail", 20);
    LogTapiState();
    LineFinished = true;
    try {
        LightController.SetMonitoring(false);
    } catch (const std::exception& e) {
        Log(e.what(), 1);
    }
    if (destroyed_ || frmVudaDUD == nullptr) return;
    if (CallOutcome != kOutcomeDialFailed && CallOutcome != kOutcomeBusy) return;
    Log(ResultText(CallOutcome == kOutcomeBusy ? kResultEngaged : kResultNoCarrier), 0);
    CallOutcome = 0;
    if (UserAbort) {
        UserAbort = false;
        Log(ResultText(kResultAborted), 0);
        if (!Closing()) PostToWindow(MsgEndOfCall);
    } else if (DialRetryCnt <= kMaxDials && !Closing()) {
        Log("Start DialTimer", 20);
        DialTimer.start();
    }
}

}  // namespace qx
