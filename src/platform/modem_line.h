// One open modem line: the line provider behind the TAPI line device.
//
// The modem's dialogue (reset, init, dial, wait for the result, hang up, watch the carrier) is
// blocking, so it runs on a worker thread owned by the line. Everything the line reports goes
// to the main thread through PostToMain, in the order it happened, as a line provider reports
// to its client: call states (with a disconnect mode) and the replies to asynchronous requests.
// Reports still queued when the line is closed are dropped.
//
// Call progress: MakeCall is answered at once (reply 0); the call then goes DIALTONE (the modem
// took "ATZ" and the init string), DIALING ("ATDT" sent), and ends in CONNECTED or
// DISCONNECTED with a mode telling why. A connected call becomes DISCONNECTED when the carrier
// drops, the modem says "NO CARRIER" or the device hangs up. Drop hangs up (DTR down for a
// second; "+++" and "ATH0" where DTR cannot be driven, as on a pseudo-terminal), then the call
// goes IDLE and the drop is answered.
//
// Thread use: all members on the main thread; the worker touches only the channel and the
// command queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/call_line.h"
#include "platform/modem_channel.h"

namespace qx {

class TModemLine : public TWorkerCallLine {
  public:
    // Closes: hangs up a call still up, ends the worker, releases the locks.
    ~TModemLine() override;
    TModemLine(const TModemLine&) = delete;
    TModemLine& operator=(const TModemLine&) = delete;

    // Opens and locks the line at path (locks in lockDir). On failure returns nullptr with a
    // negative errno in result and a text for the user in error.
    static std::unique_ptr<TModemLine> Open(const std::string& path, const std::string& lockDir,
                                            ModemLineEvents events, int& result, std::string& error,
                                            const ModemTimings& timings = ModemTimings());

    // Starts a call; returns the request id (> 0), kErrCallExists, or kErrInvalid when the
    // number holds anything but dial characters (a CR in it would end the dial command and
    // let the rest run as a modem command).
    int MakeCall(const std::string& number) override;
    void NoteCommandMode() override { commandMode_ = true; }

    const std::string& Path() const override { return path_; }
    // The device descriptor, for the port once the call is connected. The line keeps owning it.
    int Descriptor() const override { return channel_.Descriptor(); }

  private:
    enum class Step { kOk, kFailed, kInterrupted, kHungUp };

    TModemLine(std::string path, ModemTimings timings);
    void Run();
    void Wake() override { channel_.Wake(); }
    void TakeWake() override { channel_.TakeWake(); }
    // Worker steps; each returns when it is done or a command is waiting.
    void PlaceCall(const std::string& number);
    void WatchCall();
    Step ModemCommand(const std::string& text, int timeoutMs, bool wakeable);
    void HangUpModem();
    void EndCall(uint32_t mode);

    const std::string path_;
    const ModemTimings timings_;
    TModemChannel channel_;
    std::atomic<bool> commandMode_{false};  // set by the main thread, taken by the hang-up

    // Worker thread only.
    bool offHook_ = false;      // the modem may be dialling or connected
    bool dataMode_ = false;     // connected: the modem passes data and needs "+++" for commands
    bool carrierSeen_ = false;  // the carrier was up during this call
};

}  // namespace qx
