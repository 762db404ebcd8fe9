// The modem's device as the dialler's worker thread uses it: open and lock, raw 8N1, modem
// lines, and line-by-line reading of result codes with time-outs that a wake-up can cut short.
//
// Thread use: everything but Wake is called by the line's worker thread (Open and the
// destructor by whoever owns the channel, before the worker starts and after it ended).
// Once a call is connected the port reads the descriptor too; the worker then only polls it
// for hang-up and reads the modem lines, which takes no data from the port.
#pragma once

#include <string>
#include <utility>

#include "platform/modem_lock.h"
#include "platform/posix_io.h"

namespace qx {

class TModemChannel {
  public:
    enum class Wait { kReady, kTimeout, kWoken, kHangUp };

    TModemChannel() = default;
    ~TModemChannel();
    TModemChannel(const TModemChannel&) = delete;
    TModemChannel& operator=(const TModemChannel&) = delete;

    // Locks and opens the device: the UUCP lock file in lockDir, then the device itself with
    // flock and TIOCEXCL, so that no second program (nor a second line object here) drives the
    // modem. Raw 8N1, receiver on, modem control ignored (CLOCAL: the line must work before
    // there is a carrier), DTR and RTS raised. Returns 0, or a negative errno with a text for
    // the user in error (EBUSY when the device is locked by someone else).
    int Open(const std::string& path, const std::string& lockDir, std::string& error);
    void Close();
    bool IsOpen() const { return static_cast<bool>(fd_); }
    int Descriptor() const { return fd_.get(); }

    // The waits below end early on a wake-up only when wakeable: the hang-up sequence runs to
    // its end whatever is asked meanwhile. A wake-up stays pending until TakeWake.

    // Reads one non-empty line (CR or LF ends it) within timeoutMs.
    Wait ReadLine(std::string& line, int timeoutMs, bool wakeable = true);
    // Takes the bytes read after the last line ReadLine returned (the start of what follows
    // the modem's CONNECT, when the far end talks at once).
    std::string TakePending() { return std::exchange(pending_, std::string()); }
    // Writes all of text within timeoutMs.
    Wait Write(const std::string& text, int timeoutMs, bool wakeable = true);
    // Discards input until the line has been quiet for quietMs (at most maxMs in all).
    void Discard(int quietMs, int maxMs);
    // Waits for a hang-up of the device, a wake-up or the time-out, without reading.
    Wait WaitHangUp(int timeoutMs);
    // Waits for a wake-up or the time-out (-1: none) and nothing else.
    Wait WaitWake(int timeoutMs);
    // Sleeps; a wake-up does not shorten it.
    static void Pause(int ms);

    // DTR level; false when the device has no modem lines (a pseudo-terminal).
    bool SetDtr(bool on);
    // Carrier detect: 1 on, 0 off, -1 when the device has no modem lines.
    int Carrier() const;
    bool HungUp() const { return hungUp_; }

    // Any thread: makes the current or next wait return kWoken.
    void Wake();
    // Consumes a pending wake-up; true when there was one.
    bool TakeWake();

  private:
    Wait PollFor(short events, int timeoutMs, bool wakeable);

    UniqueFd fd_;
    UniqueFd wakeFd_;
    TModemLock lock_;
    std::string pending_;  // received bytes not yet returned as a line
    bool hungUp_ = false;
};

}  // namespace qx
