// TCxComPort: the program's serial port component.
//
// Lives on the main thread; every operation below is for the main thread unless noted. The
// port is opened on a descriptor handed over by the line device (TapiMode tmOn): SetTapiHandle
// gives it, SetOpen(true) opens. The port never closes that descriptor: whoever handed it over
// closes it after the port has closed (the line device, or a tool running the port on its
// stdin/stdout, which may pass a separate write descriptor with SetTapiHandles).
//
// Notifications of the dispatcher reach the main thread through a send bounded at 3000 ms and
// are raised as the On... events below. An exception escaping an event handler is logged at
// level 0 and the dispatcher goes on. Closing the port inside one of its own events completes
// later (after the handler returned), so handlers may close it freely.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comm/dispatcher.h"
#include "comm/triggers.h"

namespace qx {

class TCxTtyDispatcher;
class TCxComWindow;

enum TDeviceLayer { dlWin16, dlFossil, dlWin32, dlWinsock };
enum TParity { pNone, pOdd, pEven, pMark, pSpace };
enum TSWFlowOptions { swfNone, swfReceive, swfTransmit, swfBoth };
enum TTraceLogState { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };
enum TTapiMode { tmNone, tmAuto, tmOn, tmOff };
enum TThreadBoost { tbNone, tbPlusOne, tbPlusTwo };
enum THWFlowOption : unsigned {
    hwfUseDTR = 1,
    hwfUseRTS = 2,
    hwfRequireDSR = 4,
    hwfRequireCTS = 8,
};
enum class TPortState { Closed, Open, Closing };

class TCxComPort {
  public:
    using TriggerEvent =
        std::function<void(TCxComPort& port, unsigned msg, unsigned handle, unsigned data)>;
    using AvailEvent = std::function<void(TCxComPort& port, unsigned count)>;
    using HandleEvent = std::function<void(TCxComPort& port, unsigned handle)>;
    using PortEvent = std::function<void(TCxComPort& port)>;
    using LineErrorEvent = std::function<void(TCxComPort& port, int lineError, bool lineBreak)>;
    using UserCallback = std::function<void(TCxComPort& port, bool opening)>;

    TCxComPort();
    ~TCxComPort();
    TCxComPort(const TCxComPort&) = delete;
    TCxComPort& operator=(const TCxComPort&) = delete;

    // Published properties (defaults as the component ships them).
    TDeviceLayer DeviceLayer = dlWin32;
    uint16_t ComNumber = 0;
    int32_t Baud = 19200;
    bool PromptForPort = true;
    TParity Parity = pNone;
    int DataBits = 8;
    int StopBits = 1;
    uint16_t InSize = 4096;
    uint16_t OutSize = 4096;
    bool AutoOpen = true;
    unsigned HWFlowOptions = 0;  // THWFlowOption bits
    TSWFlowOptions SWFlowOptions = swfNone;
    uint8_t XOnChar = 17;
    uint8_t XOffChar = 19;
    TTraceLogState Tracing = tlOff;
    std::string TraceName = "APRO.TRC";
    bool TraceHex = true, TraceAllHex = false;
    TTraceLogState Logging = tlOff;
    std::string LogName = "APRO.LOG";
    bool LogHex = true, LogAllHex = false;
    bool UseMSRShadow = true, UseEventWord = true;
    int CommNotificationLevel = 10;
    TTapiMode TapiMode = tmAuto;
    bool RS485Mode = false;
    TThreadBoost ThreadBoost = tbNone;

    int32_t TraceSize() const { return traceSize_; }
    void SetTraceSize(int32_t n);  // capped at 4000000
    int32_t LogSize() const { return logSize_; }
    void SetLogSize(int32_t n);  // capped at 16000000

    // Flow-control thresholds; a value that cannot work raises EBadArgument.
    uint16_t BufferFull() const { return bufferFull_; }
    uint16_t BufferResume() const { return bufferResume_; }
    void SetBufferFull(uint16_t n);
    void SetBufferResume(uint16_t n);

    bool DTR() const { return dtr_; }
    bool RTS() const { return rts_; }
    void SetDTR(bool on);
    void SetRTS(bool on);

    // The descriptor of the connected call; SetTapiHandle(0) (or negative) means none.
    int TapiHandle() const { return handleGiven_ ? readFd_ : 0; }
    void SetTapiHandle(int fd);
    // Separate read and write descriptors (a tool on stdin 0 and stdout 1); both >= 0.
    void SetTapiHandles(int readFd, int writeFd);
    const std::string& DeviceName() const { return deviceName_; }
    void SetDeviceName(const std::string& name);

    // Open property. While the component is loading the value is only remembered.
    bool Open() const { return state_ == TPortState::Open; }
    void SetOpen(bool open);
    TPortState State() const { return state_; }
    void BeginLoading() { loading_ = true; }
    void EndLoading();

    // The avail threshold (default 1; 0 switches avail events off).
    int TriggerLength() const { return triggerLength_; }
    void SetTriggerLength(int n);

    // Port operations: nothing and 0 while closing, ECommNotOpen when closed.
    bool CharReady();
    uint8_t GetChar();
    uint8_t PeekChar(size_t position);
    void GetBlock(void* buf, size_t len);
    void PeekBlock(void* buf, size_t len);
    void PutChar(uint8_t c);
    void PutString(const std::string& s);
    void PutBlock(const void* buf, size_t len);
    void FlushInBuffer();
    void FlushOutBuffer();
    size_t InBuffUsed();
    size_t InBuffFree();
    size_t OutBuffUsed();
    size_t OutBuffFree();
    bool DCD();
    bool CTS();
    bool DSR();
    bool RI();
    bool DeltaDCD();
    bool DeltaCTS();
    bool DeltaDSR();
    bool DeltaRI();

    // Triggers.
    uint16_t AddDataTrigger(const std::string& pattern, bool ignoreCase);
    uint16_t AddTimerTrigger();
    void SetTimerTrigger(uint16_t handle, int32_t ticks, bool activate);
    uint16_t AddStatusTrigger(int kind);
    void SetStatusTrigger(uint16_t handle, uint16_t value, bool activate);
    void RemoveTrigger(uint16_t handle);
    void RemoveAllTriggers();
    int LineError();
    bool LineBreak();

    int RegisterUserCallback(UserCallback cb);
    void DeregisterUserCallback(int id);

    // The dispatcher while open (the file-transfer engine works on it directly); else nullptr.
    TCxDispatcher* Dispatcher();
    // Test and tool access to the implementation (nullptr when closed).
    TCxTtyDispatcher* TtyDispatcher() { return dispatcher_.get(); }

    // A trigger event property: assigned and tested like the std::function it holds, and
    // noted in the port's set of assigned events, which the dispatch thread reads to skip the
    // send to the main thread for a notification no assigned event would see.
    template <typename Fn>
    class TEvent {
      public:
        TEvent(std::atomic<unsigned>& assigned, unsigned bit) : assigned_(assigned), bit_(bit) {}
        TEvent(const TEvent&) = delete;
        TEvent& operator=(const TEvent&) = delete;
        TEvent& operator=(Fn fn) {
            fn_ = std::move(fn);
            // Release: the handler is in place before the dispatch thread can see the bit.
            if (fn_)
                assigned_.fetch_or(bit_, std::memory_order_release);
            else
                assigned_.fetch_and(~bit_, std::memory_order_release);
            return *this;
        }
        TEvent& operator=(std::nullptr_t) { return *this = Fn(); }
        explicit operator bool() const { return static_cast<bool>(fn_); }
        operator const Fn&() const { return fn_; }  // chainers save it and put it back
        template <typename... Args>
        void Call(Args&&... args) const {
            fn_(std::forward<Args>(args)...);
        }

      private:
        std::atomic<unsigned>& assigned_;
        unsigned bit_;
        Fn fn_;
    };

    // Events, raised on the main thread.
    TEvent<TriggerEvent> OnTrigger{assignedEvents_, kEvTrigger};
    TEvent<AvailEvent> OnTriggerAvail{assignedEvents_, kEvAvail};
    TEvent<HandleEvent> OnTriggerData{assignedEvents_, kEvData};
    TEvent<HandleEvent> OnTriggerTimer{assignedEvents_, kEvTimer};
    TEvent<HandleEvent> OnTriggerStatus{assignedEvents_, kEvStatus};
    TEvent<PortEvent> OnTriggerModemStatus{assignedEvents_, kEvModem};
    TEvent<LineErrorEvent> OnTriggerLineError{assignedEvents_, kEvLineError};
    TEvent<PortEvent> OnTriggerOutbuffFree{assignedEvents_, kEvOutFree};
    TEvent<PortEvent> OnTriggerOutbuffUsed{assignedEvents_, kEvOutUsed};
    TEvent<PortEvent> OnTriggerOutSent{assignedEvents_, kEvOutSent};
    // The device went away under the open port (modem unplugged, pty master closed, end of a
    // pipe): raised once per opening, on the main thread. The line device treats it as a
    // remote hang-up.
    PortEvent OnLineHangup;

    // Set by the line device before it opens the port on a connected call: the bytes read
    // together with the modem's CONNECT (they come first, before anything read from the line),
    // and the modem's hang-up text ("NO CARRIER"), which on a line of its own outside a transfer
    // raises OnLineHangup as a device hang-up does. Both apply to the next opening only.
    void SetInitialInput(std::string bytes) { initialInput_ = std::move(bytes); }
    void SetHangupText(std::string text) { hangupText_ = std::move(text); }
    // The next opening starts with the data triggers held (TCxDispatcher::HoldDataScan) until
    // the line device releases them, once the program has armed its triggers for the call.
    void HoldDataScanAtOpen() { holdScanAtOpen_ = true; }

  private:
    friend class TCxComWindow;

    enum : unsigned {
        kEvTrigger = 1u << 0,
        kEvAvail = 1u << 1,
        kEvData = 1u << 2,
        kEvTimer = 1u << 3,
        kEvStatus = 1u << 4,
        kEvModem = 1u << 5,
        kEvLineError = 1u << 6,
        kEvOutFree = 1u << 7,
        kEvOutUsed = 1u << 8,
        kEvOutSent = 1u << 9,
    };
    // True when the message procedure would raise an event for this notification; read by
    // the dispatch thread.
    bool WantsNotification(unsigned msg, unsigned wParam) const;

    // Which trigger events are assigned (kEv... bits); written on the main thread.
    std::atomic<unsigned> assignedEvents_{0};

    void DoOpen();
    void DoClose();
    void FinishClose();
    void DeferredCloseStep();
    void MessageProc(unsigned msg, unsigned wParam, int32_t lParam);
    void ApplyFlowControl();
    void CallUserCallbacks(bool opening);
    // Common guard of the operations: 1 open, 0 closing (caller returns 0), raises when closed.
    bool Usable();
    int Check(int code);

    TPortState state_ = TPortState::Closed;
    bool loading_ = false;
    bool openWhenLoaded_ = false;
    bool openRequested_ = false;  // an open asked for while a deferred close runs
    int readFd_ = -1;
    int writeFd_ = -1;
    bool handleGiven_ = false;
    bool inCloseCallbacks_ = false;  // users are told of the close: operations still work
    std::string deviceName_;
    int32_t traceSize_ = 10000;
    int32_t logSize_ = 10000;
    uint16_t bufferFull_ = 0;
    uint16_t bufferResume_ = 0;
    bool dtr_ = true;
    bool rts_ = true;
    int triggerLength_ = 1;
    TSavedTriggers saved_;
    std::string initialInput_;
    std::string hangupText_;
    bool holdScanAtOpen_ = false;
    std::vector<std::pair<int, UserCallback>> userCallbacks_;
    int nextCallbackId_ = 1;
    int eventDepth_ = 0;  // > 0 while one of this port's events runs
    std::unique_ptr<TCxTtyDispatcher> dispatcher_;
    std::unique_ptr<TCxComWindow> window_;
    std::shared_ptr<bool> alive_;
    bool hangupRaised_ = false;
};

}  // namespace qx
