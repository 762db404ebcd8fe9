// The serial descriptor layer: everything the port needs from Linux for one open line.
//
// A TSerialDevice works on descriptors it does not own: the line device (or a tool such as the
// ZMODEM receiver running on stdin/stdout) hands them over and closes them after the port has
// closed. Reading and writing may use two descriptors (a pipe pair) or one (a tty, a pty, a
// socket). A descriptor that is not a tty skips everything termios and modem-line related and
// reads as CTS, DSR and DCD on until hang-up, as a pseudo-terminal does. On a TCP connection
// the protocol's short answers go out at once (no Nagle delay while attached).
//
// Thread use: the event thread calls WaitForEvent, the dispatch thread Read and the status
// calls, the output thread WaitWritable and Write; Wake may be called from any thread.
#pragma once

#include <termios.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/posix_io.h"

namespace qx {

// Line settings as the port sees them (parity 0 none, 1 odd, 2 even, 3 mark, 4 space).
struct SerialLineSettings {
    int32_t Baud = 19200;
    int Parity = 0;
    int DataBits = 8;
    int StopBits = 1;
    bool HwFlow = false;     // RTS/CTS handshake
    bool SwFlowIn = false;   // we send XON/XOFF
    bool SwFlowOut = false;  // we obey XON/XOFF
    uint8_t XOnChar = 17;
    uint8_t XOffChar = 19;
};

// Cumulative error counters of the driver (TIOCGICOUNT); all zero where not available.
struct SerialErrorCounts {
    uint32_t Overflow = 0;  // receive buffer overrun in the driver
    uint32_t Overrun = 0;   // UART overrun
    uint32_t Parity = 0;
    uint32_t Frame = 0;
    uint32_t Break = 0;
};

// Modem-status bits, laid out as the port's status byte (high nibble).
enum : uint8_t {
    kSerialCts = 0x10,
    kSerialDsr = 0x20,
    kSerialRing = 0x40,
    kSerialDcd = 0x80,
};

// What WaitForEvent saw.
struct SerialEvents {
    bool Readable = false;
    bool HangUp = false;  // POLLHUP/POLLERR on the read descriptor: the device is gone
    bool Woken = false;   // Wake() was called
};

class TSerialDevice {
  public:
    // The wake-up eventfd is made here; Attach reports when that failed.
    TSerialDevice();
    ~TSerialDevice();
    TSerialDevice(const TSerialDevice&) = delete;
    TSerialDevice& operator=(const TSerialDevice&) = delete;

    // Takes the descriptors into use: non-blocking I/O and, on a tty, raw mode (the original
    // flags and termios are restored by Detach). Returns 0 or -errno.
    int Attach(int readFd, int writeFd);
    void Detach();

    bool IsTty() const { return isTty_; }
    // On a socket: readiness is reported only once `bytes` are waiting (or the connection
    // ends). Lets a reader of a fast stream take it in larger pieces. No-op elsewhere.
    void SetReadBatch(int bytes);
    bool HungUp() const { return hungUp_; }

    // Current termios settings of a tty (defaults for other descriptors).
    SerialLineSettings ReadSettings() const;
    // Applies settings on a tty; no-op otherwise. Returns 0 or -errno.
    int ApplySettings(const SerialLineSettings& s);

    // Two threads may wait on the device, each with its own wake-up: the event thread, and the
    // dispatch thread while it reads the line itself.
    enum Waiter { kEventWaiter = 0, kDispatchWaiter = 1 };
    // Waits until the read descriptor is readable (when wantRead), hangs up, Wake(who) is called
    // or timeoutMs passes (-1: no bound). Once a hang-up has been seen the read descriptor is no
    // longer polled, so a dead device cannot keep a thread busy.
    SerialEvents WaitForEvent(bool wantRead, int timeoutMs, Waiter who = kEventWaiter);
    // Waits until the write descriptor takes data or timeoutMs passes. True when writable.
    bool WaitWritable(int timeoutMs);
    // Waits up to timeoutUs for input (or a hang-up) without any wake-up: for a reader that
    // expects more of a stream at once. True when there is something to read.
    bool WaitReadable(int timeoutUs);
    // On a TCP connection: acknowledges what has been read now rather than after the
    // delayed-acknowledgement timer (see AcknowledgeInput in posix_io.h). No-op elsewhere.
    void AcknowledgeInput();
    void Wake(Waiter who = kEventWaiter);
    // Called once by the thread that will Write: a reader that went away then gives EPIPE
    // instead of a SIGPIPE that would end the process.
    static void PrepareWriterThread();
    // Marks the calling thread as reading bulk input (a file transfer) or not. A bulk reader
    // woken by each piece does not take the CPU from whoever feeds the line (on one machine,
    // the sending program) but waits for the end of its time slice; others are woken at once.
    static void SetBulkReader(bool bulk);

    // Non-blocking read: bytes read, 0 when nothing is waiting. End of file, EIO, or nothing
    // left after a POLLHUP mark the device hung up (and return 0).
    size_t Read(uint8_t* buf, size_t len);
    // Non-blocking write: bytes taken (0 when the device is full), or -1 on a hard error.
    ssize_t Write(const uint8_t* buf, size_t len);

    // Modem-status byte (kSerial* bits). Without modem lines: CTS, DSR and DCD until hang-up.
    uint8_t ModemStatus() const;
    void SetDtr(bool on);
    void SetRts(bool on);
    SerialErrorCounts ErrorCounts() const;
    void FlushInput();
    void FlushOutput();
    int SendBreak(int milliseconds);

  private:
    int readFd_ = -1;
    int writeFd_ = -1;
    UniqueFd wakeFd_[2];
    bool isTty_ = false;
    bool isSocket_ = false;
    bool isTcp_ = false;
    int savedNoDelay_ = 0;  // TCP_NODELAY as found, restored by Detach
    int readBatch_ = 1;
    bool hasModemLines_ = false;
    std::atomic<bool> hungUp_{false};   // reads ended (EOF, EIO): the device is gone
    std::atomic<bool> hupSeen_{false};  // poll reported POLLHUP: stop polling the descriptor
    int savedReadFlags_ = -1;
    int savedWriteFlags_ = -1;
    bool termiosSaved_ = false;
    struct termios savedTermios_ {};
};

}  // namespace qx
