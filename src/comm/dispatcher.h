// The dispatcher behind TCxComPort, as the file-transfer engine sees it.
//
// The dispatcher works the open descriptor with three worker threads, keeps the 8192-byte
// receive ring, the output ring and the triggers. The operations below may be called from any
// thread, and in particular from the dispatch thread inside a procedure handler; they return 0
// or a positive value on success and a negative result code on failure (never throw).
// TCxTtyDispatcher (comm/tty_dispatcher.h) is the implementation; unit tests may fake this
// interface.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx {

// Notification message numbers (also used as "message" in procedure handlers).
enum : unsigned {
    MsgTriggerAvail = 0x7E01,   // wParam: bytes available
    MsgTriggerData = 0x7E02,    // wParam: trigger handle; lParam low word: pattern length
    MsgTriggerTimer = 0x7E03,   // wParam: trigger handle
    MsgTriggerStatus = 0x7E04,  // wParam: trigger handle; lParam low word: status value
    MsgPortOpen = 0x7E08,
    MsgPortClose = 0x7E09,
    MsgClosePending = 0x7E0A,
};

// A procedure handler receives every notification of its port in the dispatch thread, before
// any main-thread handler. lParam carries the port number in its high 16 bits.
using TriggerProc = void (*)(unsigned msg, unsigned wParam, int32_t lParam);

class TCxDispatcher;

// The process-wide port list: the dispatcher with the given port number, or nullptr. The
// pointer stays valid while its port is open; a procedure handler may use it freely.
TCxDispatcher* FindDispatcher(int portNumber);

class TCxDispatcher {
  public:
    virtual ~TCxDispatcher() = default;

    virtual int PortNumber() const = 0;

    virtual int RegisterProcTriggerHandler(TriggerProc proc) = 0;
    virtual int DeregisterProcTriggerHandler(TriggerProc proc) = 0;

    // Three untyped slots (index 1 to 3) where the engine keeps its protocol state.
    virtual int SetDataPointer(void* p, int index) = 0;
    virtual int GetDataPointer(void*& p, int index) = 0;

    virtual int ChangeLengthTrigger(int length) = 0;  // the avail threshold
    virtual int AddTimerTrigger() = 0;                // handle > 0, or a negative code
    virtual int AddStatusTrigger(int kind) = 0;       // handle > 0, or a negative code
    virtual int SetTimerTrigger(int handle, int32_t ticks, bool activate) = 0;
    virtual int SetStatusTrigger(int handle, uint16_t value, bool activate) = 0;
    virtual int RemoveTrigger(int handle) = 0;
    virtual int TimerTicksRemaining(int handle, int32_t& ticksLeft) = 0;
    virtual int ExtendTimer(int handle, int32_t ticks) = 0;

    virtual bool CharReady() = 0;
    virtual int GetChar(uint8_t& c) = 0;                    // -3007 when empty
    virtual int PeekChar(uint8_t& c, size_t position) = 0;  // position 1 = next byte
    virtual int GetBlock(uint8_t* buf, size_t len) = 0;     // exactly len bytes or an error
    virtual int PutChar(uint8_t c) = 0;
    virtual int PutBlock(const void* buf, size_t len) = 0;  // all or nothing: -3006
    virtual size_t InBuffUsed() = 0;
    virtual size_t OutBuffUsed() = 0;
    virtual size_t OutBuffFree() = 0;
    virtual void BufferSizes(size_t& inSize, size_t& outSize) = 0;
    virtual bool CheckDCD() = 0;
    virtual int FlushInBuffer() = 0;
    virtual int FlushOutBuffer() = 0;
    virtual int SendBreak(int milliseconds) = 0;  // line break (attention string byte 0xDD)

    virtual int AddDataTrigger(const char* pattern, size_t length, bool ignoreCase) = 0;
    virtual int RemoveAllTriggers() = 0;
    virtual int PeekBlock(uint8_t* buf, size_t len) = 0;  // exactly len bytes or an error
    virtual uint8_t ModemStatus() = 0;                    // CTS 0x10, DSR 0x20, RI 0x40, DCD 0x80
    // A transfer engine that ends hands the line back: the bytes it left unread are offered
    // again to the data triggers, but only from ReleaseDataScan on (called on the main thread
    // once the program has armed its triggers for what follows). Meanwhile no data or avail
    // notification is delivered.
    virtual int HoldDataScan() { return 0; }
    virtual int ReleaseDataScan() { return 0; }
};

}  // namespace qx
