// TCxTtyDispatcher: the dispatcher on a Linux descriptor (a tty, a pseudo-terminal, a pipe pair
// or a socket).
//
// Threads: the event thread waits in poll() for input or a wake-up, reads what arrived into the
// receive ring and hands the event to the dispatch thread (when it could read nothing it waits
// until that thread has dealt with the event, so a lasting condition cannot make it spin); the
// dispatch thread runs one pass per event and at least every 50 ms (timers stay live on a silent
// line) and delivers the notifications; its receive loop reads the line itself when the queue
// runs dry, and the event thread leaves the line to it meanwhile (10 ms at a time); the output
// thread drains the output ring into the descriptor.
//
// Locks (never held while a notification is delivered, so handlers may call back freely):
//   dispMutex_  trigger lists, handler lists, avail threshold, modem status, line errors,
//               data pointers, notification / close-pending flags;
//   inMutex_    receive ring indices and the avail bookkeeping;
//   outMutex_   output ring;
//   the process-wide port list has its own lock (tty_dispatcher.cpp).
// Lock order: extractMutex_, dispMutex_, inMutex_, outMutex_.
//
// The dispatcher never owns the descriptors it is given; whoever handed them over closes them
// after CloseDevice or DetachDevice, and from then on the dispatcher never touches the numbers.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/dispatcher.h"
#include "comm/line_trace.h"
#include "comm/triggers.h"
#include "platform/serial_device.h"

namespace qx {

class TCxTtyDispatcher final : public TCxDispatcher {
  public:
    static constexpr size_t kInBufSize = 8192;
    static constexpr size_t kDefaultQueueSize = 4096;
    static constexpr size_t kMinQueueSize = 256 * 1024;
    static constexpr int kDispatchWaitMs = 50;
    static constexpr int kSendTimeoutMs = 3000;
    static constexpr int kExtractRounds = 64;
    // A transfer that brings at least kStreamPiece bytes per pass is streaming: the dispatch
    // thread then waits for kReadBatch bytes (on a socket), or kStreamWaitMs, before it reads
    // again.
    static constexpr size_t kStreamPiece = 16 * 1024;
    static constexpr int kReadBatch = 512 * 1024;
    static constexpr int kStreamWaitMs = 1;
    // How long the event thread leaves the reading to a running receive loop.
    static constexpr int kLoopReadsMs = 10;
    // How often, and how long each time, a receive loop on the main thread waits for more
    // input before it hands back (bounds the main thread's wait to 4 ms per loop).
    static constexpr int kLoopWaits = 8;
    static constexpr int kLoopWaitUs = 500;

    // A handler of notifications: (message, handle or count, port number × 65536 + data).
    using Handler = std::function<void(unsigned msg, unsigned wParam, int32_t lParam)>;

    explicit TCxTtyDispatcher(size_t outSize);
    ~TCxTtyDispatcher() override;  // stops and joins the threads
    TCxTtyDispatcher(const TCxTtyDispatcher&) = delete;
    TCxTtyDispatcher& operator=(const TCxTtyDispatcher&) = delete;

    // Takes the descriptors into use (raw mode on a tty). 0 or a negative code.
    int OpenDevice(int readFd, int writeFd);
    // Starts the three threads; a second start throws std::logic_error
    // ("Dispatcher already started").
    void StartThreads();
    // Tells the threads to stop and wakes them; does not wait.
    void RequestStop();
    bool ThreadsRunning() const { return threadsRunning_.load() > 0; }
    // Waits up to timeoutMs for the threads to end; true when they have. Joins them then.
    bool WaitThreads(int timeoutMs);
    // Gives the descriptors back (restoring their modes). Threads must have ended, or at
    // least the event and output threads (see DetachDevice); a second call does nothing.
    void CloseDevice();
    // After RequestStop, from inside a handler the dispatch thread waits for: waits up to
    // timeoutMs for the event and output threads, which alone touch the descriptors once a
    // close is pending, then gives the descriptors back at once, so that whoever handed them
    // over may close them before the dispatch thread has ended. False on time-out.
    bool DetachDevice(int timeoutMs);
    // Waits up to timeoutMs until the output ring is empty (written to the device).
    bool DrainOutput(int timeoutMs);
    // Bytes ever queued for output: tells whether something was queued, even if the output
    // thread has written it already.
    uint64_t OutputQueued();

    // Bytes received before the port took the line over (read together with the modem's
    // CONNECT). They come before anything read from the device. Called before StartThreads.
    void PreloadInput(const std::string& bytes);
    // The text of the modem's hang-up result ("NO CARRIER"). When it arrives on a line of its
    // own while no procedure handler (a transfer engine) is registered, the hang-up handler
    // is called as for a device that went away. Empty: not watched. Called before StartThreads.
    void SetHangupText(std::string text) { hangupText_ = std::move(text); }

    const std::string& DeviceName() const { return deviceName_; }
    void SetDeviceName(std::string name) { deviceName_ = std::move(name); }
    TSerialDevice& Device() { return device_; }

    // Tells, in the dispatch thread, whether a window handler would act on a notification
    // (message, handle or count).
    using WantsFilter = std::function<bool(unsigned msg, unsigned wParam)>;

    // Handlers. Window handlers run on the main thread through a send bounded at 3000 ms;
    // event handlers run in the dispatch thread (or, with inMain, on the main thread through
    // the same bounded send). Each Register gives an id for Deregister. A window handler with
    // a filter is not sent a notification the filter says it would do nothing with, which
    // spares the dispatch thread a round trip to the main thread; the filter must stay valid
    // while the dispatch thread runs and the handler is registered.
    int RegisterWindowHandler(Handler h, WantsFilter wants = nullptr);
    int RegisterEventHandler(Handler h, bool inMain);
    void DeregisterHandler(int id);

    bool NotificationInProgress();
    // Marks a close pending: the delivery under way skips its remaining handlers and the
    // dispatch thread ends.
    void SetClosePending();

    // Called once, in the dispatch thread, when the device has gone away (EOF, EIO, POLLHUP).
    void SetHangupHandler(std::function<void()> h);
    // The port's trace and dispatch log, when switched on; set before StartThreads.
    void SetTrace(std::shared_ptr<TLineTrace> trace) { trace_ = std::move(trace); }

    void SaveTriggers(TSavedTriggers& saved);
    void RestoreTriggers(const TSavedTriggers& saved);

    int AvailThreshold();
    int LineError();   // most important accumulated error, clearing them (break excepted)
    bool LineBreak();  // reports and clears the break flag
    // Errors reported by the layer below (driver flags: 1 overflow, 2 overrun, 4 parity,
    // 8 framing, 16 break); the next pass tests the status triggers with them.
    void AddLineErrors(uint8_t driverFlags);

    void SetDtr(bool on);
    void SetRts(bool on);

    // TCxDispatcher.
    int PortNumber() const override { return portNumber_; }
    int RegisterProcTriggerHandler(TriggerProc proc) override;
    int DeregisterProcTriggerHandler(TriggerProc proc) override;
    int SetDataPointer(void* p, int index) override;
    int GetDataPointer(void*& p, int index) override;
    int ChangeLengthTrigger(int length) override;
    int AddTimerTrigger() override;
    int AddStatusTrigger(int kind) override;
    int SetTimerTrigger(int handle, int32_t ticks, bool activate) override;
    int SetStatusTrigger(int handle, uint16_t value, bool activate) override;
    int RemoveTrigger(int handle) override;
    int TimerTicksRemaining(int handle, int32_t& ticksLeft) override;
    int ExtendTimer(int handle, int32_t ticks) override;
    bool CharReady() override;
    int GetChar(uint8_t& c) override;
    int PeekChar(uint8_t& c, size_t position) override;
    int GetBlock(uint8_t* buf, size_t len) override;
    int PutChar(uint8_t c) override;
    int PutBlock(const void* buf, size_t len) override;
    size_t InBuffUsed() override;
    size_t OutBuffUsed() override;
    size_t OutBuffFree() override;
    void BufferSizes(size_t& inSize, size_t& outSize) override;
    bool CheckDCD() override;
    int FlushInBuffer() override;
    int FlushOutBuffer() override;
    int SendBreak(int milliseconds) override;
    int AddDataTrigger(const char* pattern, size_t length, bool ignoreCase) override;
    int RemoveAllTriggers() override;
    int PeekBlock(uint8_t* buf, size_t len) override;
    uint8_t ModemStatus() override;
    int HoldDataScan() override;
    int ReleaseDataScan() override;

    // Sizes the driver's input queue: input waits there while the receive ring is full, so
    // the line keeps being read while a notification is out. Called before the threads start.
    // The size asked for is a minimum, as for a serial driver: a fast line (a network
    // connection) fills a few KiB long before the main thread is back for more, so the queue
    // holds at least kMinQueueSize and a stream is delivered in long runs.
    void SetQueueSizes(size_t inSize) {
        queueSize_ = std::max<size_t>(inSize, 1);
        queue_.assign(std::max(queueSize_, kMinQueueSize), 0);
    }

  private:
    struct HandlerEntry {
        int Id = 0;
        enum Kind { kWindow, kProc, kEvent } Type = kWindow;
        Handler Fn;
        WantsFilter Wants;
        TriggerProc Proc = nullptr;
        bool InMain = false;
        std::atomic<bool> Removed{false};
    };

    void EventThread();
    void DispatchThread();
    void OutputThread();
    void ThreadEnded(bool io = false);

    // A pass; true when its receive loop stopped at its bound with input still flowing.
    bool DispatchPass();
    // Receive tests and top-ups while input keeps coming; true when stopped at the bound.
    bool ReceiveLoop();
    bool HandlersOnMainOnly();
    // False on the main thread once a handler that must run on this dispatcher's own thread
    // has been added: the main thread then leaves the receive loop to the dispatch thread.
    bool MayDeliverHere();
    bool ReceiveWorkPending();
    void DeliverLeftOverData();
    void CheckModemStatus();
    void CheckLineErrors();
    // Moves what fits from the driver queue into the receive ring, after reading the device
    // into the queue when readDevice (the event thread). Returns the bytes moved into the
    // ring plus those read from the device.
    size_t Extract(bool readDevice);
    size_t ReadDevice();  // event thread: device to driver queue, as much as the queue takes
    // Follows the bytes moving into the ring for the hang-up text (under extractMutex_).
    void WatchForHangup(const uint8_t* bytes, size_t n);
    bool TestStatusTriggers();
    bool TestTimerTriggers();
    // One receive test: true when something was delivered and the caller should test again.
    bool TestReceiveTriggers();
    // Delivers one notification; false when a close became pending or an avail count was not
    // wholly read.
    bool Notify(unsigned msg, unsigned wParam, int32_t lParam);
    bool DeliverAvail(size_t count, uint64_t tail);
    void RunAvailHandler(const Handler& fn, unsigned count, int32_t lParam);
    bool InAvailHandlerLocked() const;

    int NewHandleLocked();
    bool HandleInUseLocked(int32_t base) const;
    TTimerTrigger* FindTimerLocked(int handle);
    TStatusTrigger* FindStatusLocked(int handle);
    size_t UnreadLocked() const;  // unread bytes seen by the current reader
    int CopyUnreadLocked(uint8_t* buf, size_t len) const;  // the next len unread bytes
    // Bytes that may not be overwritten: unread ones and those the data triggers have not seen.
    size_t OccupiedLocked() const;
    void MaybeResumeInputLocked(bool fromDispatch = false);
    void Kick();  // wakes the dispatch thread for a pass
    // Tells the dispatch thread that something changed, wherever it waits (evMutex_ may be held).
    void WakeDispatch();

    int32_t LParam(int low) const { return portNumber_ * 65536 + (low & 0xFFFF); }

    TSerialDevice device_;
    std::string deviceName_;
    int portNumber_ = -1;

    // dispMutex_ guards:
    std::mutex dispMutex_;
    std::vector<TTimerTrigger> timers_;
    std::vector<TDataTrigger> data_;
    std::vector<TStatusTrigger> status_;
    int handleCounter_ = 1;
    int availThreshold_ = 1;
    std::vector<std::shared_ptr<HandlerEntry>> handlers_;
    std::shared_ptr<TLineTrace> trace_;  // null unless tracing; fixed while the threads run
    int nextHandlerId_ = 1;
    std::array<void*, 3> dataPointers_{};
    uint8_t modemStatus_ = 0;  // high nibble lines, low nibble deltas
    uint8_t lineErrors_ = 0;   // driver flags
    bool outputSent_ = false;
    bool notifying_ = false;
    std::atomic<bool> closePending_{false};
    std::function<void()> onHangup_;
    bool hangupReported_ = false;
    bool scanHeld_ = false;  // HoldDataScan: data triggers and avail wait for ReleaseDataScan
    std::atomic<bool> remoteHangup_{false};  // the hang-up text arrived
    std::atomic<bool> procHandlers_{false};  // a procedure handler is registered
    SerialErrorCounts lastCounts_;

    // Held by the thread that moves input into the receive ring (event, dispatch, or main
    // running the receive loop); it also guards the driver queue, which lies between the
    // device and the ring (see ReadDevice).
    std::mutex extractMutex_;
    // One reader of the device at a time: the event thread, or a receive loop whose queue ran
    // dry. Only the reader moves the queue's head (see ReadDevice).
    std::mutex readMutex_;
    std::vector<uint8_t> queue_;
    size_t queueSize_ = kDefaultQueueSize;  // as asked for (BufferSizes)
    std::string hangupText_;
    size_t hangupMatched_ = 0;  // bytes of the hang-up text matched so far
    bool atLineStart_ = true;   // the next byte starts a line
    uint64_t queueHead_ = 0;
    uint64_t queueTail_ = 0;
    uint64_t queueFlushes_ = 0;
    // inMutex_ guards the receive ring: positions count bytes since open; index = pos % size.
    std::mutex inMutex_;
    std::vector<uint8_t> inBuf_;
    uint64_t inHead_ = 0;     // next byte to store
    uint64_t inTail_ = 0;     // next byte to take
    uint64_t scanPos_ = 0;    // next byte the data triggers have not seen
    uint64_t notifyPos_ = 0;  // head at the last avail notification (dispatch thread)
    bool availInProgress_ = false;
    uint64_t availTail_ = 0;       // tail when the count of the delivery was taken
    std::thread::id availThread_;  // thread running an avail handler; its reads are read-ahead
    size_t readAhead_ = 0;         // taken by the handler now running
    size_t maxReadAhead_ = 0;      // largest of all handlers of this delivery
    bool flushedInAvail_ = false;
    uint64_t flushedAt_ = 0;                  // head at a flush during an avail delivery
    std::atomic<bool> inputPaused_{false};    // queue full: the event thread stops polling input
    std::atomic<size_t> queued_{0};           // bytes waiting in the driver queue
    std::atomic<size_t> passRead_{0};         // bytes read from the device since the last wait
    std::atomic<bool> wakeAfterPass_{false};  // input resumed by the dispatch thread
    // Data notifications the main thread could not deliver (see MayDeliverHere): handle, length.
    std::vector<std::pair<int32_t, int>> leftOverData_;

    // outMutex_ guards the output ring (positions as for the receive ring).
    std::mutex outMutex_;
    std::vector<uint8_t> outBuf_;
    uint64_t outHead_ = 0;
    uint64_t outTail_ = 0;
    uint64_t outGeneration_ = 0;  // bumped by a flush so an in-flight write is not counted
    bool outReady_ = false;

    // Thread control.
    std::mutex evMutex_;
    std::condition_variable evChanged_;
    bool commEvent_ = false;                // event thread → dispatch thread
    bool ready_ = true;                     // dispatch thread → event thread
    bool kick_ = false;                     // any thread → dispatch thread, no reply wanted
    std::atomic<bool> loopRunning_{false};  // a receive loop runs; set false under evMutex_
    std::condition_variable loopEnded_;     // with evMutex_
    std::condition_variable outChanged_;    // with outMutex_
    std::atomic<bool> kill_{false};
    std::atomic<int> threadsRunning_{0};
    std::atomic<int> ioThreadsRunning_{0};  // event and output threads
    bool detached_ = false;                 // CloseDevice done (main thread)
    std::mutex endMutex_;
    std::condition_variable ended_;
    bool started_ = false;
    std::thread eventThread_, dispatchThread_, outputThread_;
};

}  // namespace qx
