// TCxTapiDevice: the line device. It dials through a modem line, and once the call is connected
// hands the call's descriptor to the port (ComPort) and opens it; when the call ends it closes
// the port and the line again. Everything it reports arrives on the main thread.
//
// Lines are served by the line provider (platform/modem_line_provider.h); line names are
// device paths (platform/modem_lines.h) or network lines (`telnet:HOST[:PORT]`, `tcp:HOST:PORT`),
// which are selectable without being listed. The provider's call states and replies reach this
// component as posted calls, so its own events keep this order:
//   a dial: ltapiCallStart (first attempt), ltapiDial;
//   a dial that ends without connection: [ltapiBusy,] ltapiDrop, ltapiCallFinish,
//     ltapiDialFail, then later OnTapiFail (posted, at most once per line opening);
//   a connected call: ltapiConnect, then OnTapiPortOpen (posted); at its end ltapiDrop,
//     ltapiCallFinish, then OnTapiPortClose (posted);
//   CancelCall: ltapiCancel before the hang-up.
// OnTapiLog is called inside the step that logs it; its handler may pump the event loop, so
// provider reports and posted events can run inside Dial, CancelCall and the hang-up. The
// hanging-up flag and the once-per-call checks keep them from repeating work.
//
// Thread use: main thread only. Errors are raised as ECxException with the codes below.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/call_line.h"

class QTimer;

namespace qx {

class TCxComPort;

// Order fixed: the call controller has a text for each.
enum TTapiState {
    tsIdle,
    tsOffering,
    tsAccepted,
    tsDialTone,
    tsDialing,
    tsRingback,
    tsBusy,
    tsSpecialInfo,
    tsConnected,
    tsProceeding,
    tsOnHold,
    tsConferenced,
    tsOnHoldPendConf,
    tsOnHoldPendTransfer,
    tsDisconnected,
    tsUnknown,
};

// Order fixed.
enum TTapiLogCode {
    ltapiNone,
    ltapiCallStart,
    ltapiCallFinish,
    ltapiDial,
    ltapiAccept,
    ltapiAnswer,
    ltapiConnect,
    ltapiCancel,
    ltapiDrop,
    ltapiBusy,
    ltapiDialFail,
    ltapiReceivedDigit,
};

// Error codes of the line device (a line error n is -(13800 + n)).
enum : int {
    ecTapiAllocated = -13801,          // the line is locked by another program
    ecTapiBadDeviceId = -13802,        // no such line
    ecTapiInvalAddress = -13816,       // the host of a network line cannot be found
    ecTapiCallUnavail = -13805,        // the call could not be placed
    ecTapiInvalidDialParams = -13837,  // the number holds characters a modem cannot dial
    ecTapiOperationFailed = -13872,    // the device could not be opened
    ecTapiBusyOrOpen = -13928,         // "TAPI already open, dialing or answering"
    ecTapiModeNotSet = -13929,         // "TapiMode not set in TCxComPort"
    ecTapiNoSelect = -13930,           // "No TAPI device selected"
    ecTapiLoadFail = -13931,
    ecTapiGetAddressFail = -13932,
    ecTapiUnexpected = -13934,
};

// The state of a line call-state bit (IDLE 0x1 .. DISCONNECTED 0x4000 in order; any other
// value gives tsUnknown).
TTapiState TapiStateOfCallState(uint32_t callState);

class TCxTapiDevice {
  public:
    // Links comPort (may be null: link one later with SetComPort). Starts the line service:
    // sweeps stale lock files and lists the lines.
    explicit TCxTapiDevice(TCxComPort* comPort = nullptr);
    // Hangs up without retry and closes the line; no event is raised any more.
    ~TCxTapiDevice();
    TCxTapiDevice(const TCxTapiDevice&) = delete;
    TCxTapiDevice& operator=(const TCxTapiDevice&) = delete;

    // A port whose TapiMode is tmAuto is switched to tmOn, AutoOpen off, and closed.
    void SetComPort(TCxComPort* port);
    TCxComPort* ComPort() const { return comPort_; }

    // Names of the usable lines (device paths).
    const std::vector<std::string>& TapiDevices() const { return devices_; }
    // Lists the lines again (a modem was plugged in).
    void EnumerateDevices();

    // Places a call to number. Raises -1005 without a port, -13929 when the port's TapiMode
    // cannot be tmOn, -13928 while a call exists or the line is open, -13930 when no line can
    // be selected, -13801/-13802/-13816/-13872 when the line cannot be opened (the message then
    // names the device and the reason, e.g. the dialout group).
    void Dial(const std::string& number);
    // Marks the call cancelled, logs ltapiCancel and hangs up without retry. Safe at any time.
    void CancelCall();

    TTapiState TapiState() const;

    // Properties.
    std::string SelectedDevice;
    uint16_t MaxAttempts = 3;
    uint16_t RetryWait = 60;  // seconds
    int AnswerOnRing = 2;     // answering is not built
    bool EnableVoice = false;
    bool ShowTapiDevices = true;
    bool ShowPorts = true;
    bool FilterUnsupportedDevices = true;

    // Events (main thread). An exception thrown by a handler of a posted event is logged.
    std::function<void(TTapiLogCode)> OnTapiLog;
    std::function<void()> OnTapiPortOpen;
    std::function<void()> OnTapiPortClose;
    std::function<void()> OnTapiFail;
    std::function<void()> OnTapiConnect;

    // The device-selection dialog: given the lines, returns false when cancelled, else the
    // chosen name. The default shows a modal "Device Selection" dialog when the program has
    // a window system, and counts as cancelled otherwise.
    std::function<bool(const std::vector<std::string>& lines, std::string& chosen)>
        SelectDeviceDialog;

    // The negative code of the last failed dial (0 when none), the result line that connected
    // the last call ("CONNECT 33600"), and the lock directory and dialogue timings in use.
    int FailureCode() const { return failureCode_; }
    // True when the last dial could not open the line for a reason that will not pass by
    // itself (no such device, no permission, not a serial device): retrying is pointless.
    bool LineUnusable() const { return lineUnusable_; }
    std::string ConnectText() const;
    std::string LockDirectory;
    ModemTimings Timings;

  private:
    struct Alive {
        bool alive = true;
    };

    void TapiStart();
    void Log(TTapiLogCode code);
    void DialPrimitive();
    std::string SelectLine();
    void OpenLine();
    void HangUp(bool noRetry);
    void CloseLine();
    bool OpenPortOnCall();
    // Lets the port's data triggers see the call's input (held from the opening).
    void ReleasePortScan();
    bool ClosePort();
    void RedialTick();
    // Post an event to run later on the main thread, if this component still exists.
    void Post(std::function<void()> fn);
    void PostFail();
    void RaiseEvent(const std::function<void()>& handler);

    // Provider reports.
    void DoLineCallState(uint32_t state, uint32_t mode);
    void DoLineReply(int request, int result);
    // The port saw the device go away.
    void DoPortHangUp();

    // Waits, pumping the event loop, until done() or timeoutMs passes; false on time-out.
    bool PumpUntil(const std::function<bool()>& done, int timeoutMs);
    int WaitForReply(int request);
    bool WaitForCallState(uint32_t state);

    TCxComPort* comPort_ = nullptr;
    std::vector<std::string> devices_;
    std::unique_ptr<TCallLine> line_;
    std::shared_ptr<Alive> alive_;
    bool tapiStarted_ = false;
    bool starting_ = false;

    std::string number_;
    int attempt_ = 0;
    int countdown_ = 0;
    std::unique_ptr<QTimer> redialTimer_;

    bool lineOpen_ = false;
    bool callInProgress_ = false;  // from Dial until the end of the call was reported
    bool connected_ = false;
    bool retrying_ = false;
    bool dialling_ = false;
    bool cancelled_ = false;
    bool hangingUp_ = false;
    bool failureReported_ = false;
    uint32_t lastCallState_ = 0;
    bool stateChanged_ = false;
    int failureCode_ = 0;
    bool lineUnusable_ = false;

    // The request being waited for and its reply.
    int waitRequest_ = 0;
    int waitResult_ = 0;
    bool waitReplied_ = false;
};

}  // namespace qx
