#include "modem_line.h"

#include <utility>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/modem_result.h"

namespace qx {

namespace {

constexpr const char* kResetCommand = "ATZ\r";
// Echo off, word results, results on, extended results (BUSY, NO DIALTONE), DCD follows the
// carrier, DTR drop hangs up.
constexpr const char* kInitCommand = "ATE0V1Q0X4&C1&D2\r";
constexpr int kWriteMs = 3000;

uint32_t DisconnectModeOf(ModemResult r) {
    switch (r) {
        case ModemResult::kBusy:
            return kLineDisconnectBusy;
        case ModemResult::kNoAnswer:
            return kLineDisconnectNoAnswer;
        case ModemResult::kNoDialTone:
            return kLineDisconnectNoDialTone;
        case ModemResult::kError:
            return kLineDisconnectBadAddress;
        default:
            return kLineDisconnectUnavail;  // NO CARRIER: nobody answered with a modem
    }
}

}  // namespace

TModemLine::TModemLine(std::string path, ModemTimings timings)
    : path_(std::move(path)), timings_(timings) {}

std::unique_ptr<TModemLine> TModemLine::Open(const std::string& path, const std::string& lockDir,
                                             ModemLineEvents events, int& result,
                                             std::string& error, const ModemTimings& timings) {
    std::unique_ptr<TModemLine> line(new TModemLine(path, timings));
    result = line->channel_.Open(path, lockDir, error);
    if (result != 0) return nullptr;
    line->StartWorker(std::move(events), [l = line.get()] { l->Run(); });
    return line;
}

TModemLine::~TModemLine() {
    StopWorker();
    channel_.Close();
}

int TModemLine::MakeCall(const std::string& number) {
    if (HasCall()) return kErrCallExists;
    static const std::string kDialChars = "0123456789*#+,;!@WwPpTtAaBbCcDd -()";
    if (number.empty() || number.size() > 60 ||
        number.find_first_not_of(kDialChars) != std::string::npos) {
        return kErrInvalid;
    }
    commandMode_ = false;
    return QueueCall(number);
}

void TModemLine::Run() {
    for (;;) {
        Command cmd;
        if (!NextCommand(cmd)) {
            if (dataMode_ && offHook_) {
                WatchCall();
            } else {
                channel_.WaitWake(-1);
            }
            continue;
        }
        switch (cmd.kind) {
            case Command::kMakeCall:
                call_ = cmd.call;
                PostReply(cmd.request, 0);
                PlaceCall(cmd.number);
                break;
            case Command::kDrop:
                HangUpModem();
                PostReply(cmd.request, 0);
                PostState(kLineCallIdle, 0);
                break;
            case Command::kStop:
                HangUpModem();
                return;
        }
    }
}

TModemLine::Step TModemLine::ModemCommand(const std::string& text, int timeoutMs, bool wakeable) {
    using Wait = TModemChannel::Wait;
    Wait w = channel_.Write(text, kWriteMs, wakeable);
    if (w == Wait::kWoken) return Step::kInterrupted;
    if (w == Wait::kHangUp) return Step::kHungUp;
    if (w == Wait::kTimeout) return Step::kFailed;
    const int64_t deadline = MonotonicMilliseconds() + timeoutMs;
    for (;;) {
        int64_t left = deadline - MonotonicMilliseconds();
        if (left <= 0) return Step::kFailed;
        std::string line;
        w = channel_.ReadLine(line, static_cast<int>(left), wakeable);
        if (w == Wait::kWoken) return Step::kInterrupted;
        if (w == Wait::kHangUp) return Step::kHungUp;
        if (w == Wait::kTimeout) return Step::kFailed;
        ModemResult r = ParseModemResult(line);
        if (r == ModemResult::kOk) return Step::kOk;
        if (r == ModemResult::kError) return Step::kFailed;
        // Anything else is the echo of the command or leftovers of an earlier call.
    }
}

void TModemLine::EndCall(uint32_t mode) {
    dataMode_ = false;
    PostState(kLineCallDisconnected, mode);
}

void TModemLine::PlaceCall(const std::string& number) {
    using Wait = TModemChannel::Wait;
    offHook_ = false;
    dataMode_ = false;
    carrierSeen_ = false;

    // A modem that does not answer "ATZ" may be stuck in data mode or in a bad state: a DTR
    // pulse makes it hang up and listen again.
    Step s = ModemCommand(kResetCommand, timings_.CommandMs, true);
    if (s == Step::kFailed) {
        if (channel_.SetDtr(false)) {
            TModemChannel::Pause(timings_.DtrDropMs);
            channel_.SetDtr(true);
        }
        channel_.Discard(200, 1000);
        s = ModemCommand(kResetCommand, timings_.CommandMs, true);
    }
    if (s == Step::kOk) {
        channel_.Discard(100, 1000);  // some modems need a moment after a reset
        s = ModemCommand(kInitCommand, timings_.CommandMs, true);
    }
    if (s == Step::kInterrupted) return;
    if (s != Step::kOk) {
        EndCall(kLineDisconnectUnavail);
        return;
    }
    PostState(kLineCallDialTone, 0);

    Wait w = channel_.Write("ATDT" + number + "\r", kWriteMs, true);
    if (w == Wait::kWoken) return;
    if (w != Wait::kReady) {
        EndCall(kLineDisconnectUnavail);
        return;
    }
    offHook_ = true;
    PostState(kLineCallDialing, 0);

    const int64_t deadline = MonotonicMilliseconds() + timings_.DialMs;
    for (;;) {
        int64_t left = deadline - MonotonicMilliseconds();
        if (left <= 0) {
            EndCall(kLineDisconnectNoAnswer);  // still off hook: the hang-up aborts the dial
            return;
        }
        std::string line;
        w = channel_.ReadLine(line, static_cast<int>(left), true);
        if (w == Wait::kWoken) return;
        if (w == Wait::kHangUp) {
            offHook_ = false;
            EndCall(kLineDisconnectUnavail);
            return;
        }
        if (w == Wait::kTimeout) continue;
        ModemResult r = ParseModemResult(line);
        if (r == ModemResult::kNone || r == ModemResult::kOk || r == ModemResult::kRing) continue;
        if (r == ModemResult::kConnect) {
            dataMode_ = true;
            carrierSeen_ = channel_.Carrier() == 1;
            // The far end may talk at once: what was read with the CONNECT line belongs to
            // the port. The LF of the CONNECT line's CR LF is the modem's, not the far end's.
            std::string data = channel_.TakePending();
            if (!data.empty() && data.front() == '\n') data.erase(0, 1);
            PostState(kLineCallConnected, 0, line, std::move(data));
            return;
        }
        offHook_ = false;  // a final result: the modem is back on hook and in command mode
        EndCall(DisconnectModeOf(r));
        return;
    }
}

void TModemLine::WatchCall() {
    using Wait = TModemChannel::Wait;
    for (;;) {
        Wait w = channel_.WaitHangUp(timings_.CarrierPollMs);
        if (w == Wait::kWoken) return;
        if (w == Wait::kHangUp) {
            offHook_ = false;
            EndCall(kLineDisconnectNormal);
            return;
        }
        int carrier = channel_.Carrier();
        if (carrier == 1) carrierSeen_ = true;
        // Only a carrier that was seen up and then went down is a hang-up: a cable without the
        // DCD wire reads as no carrier from the start.
        if (carrier == 0 && carrierSeen_) {
            EndCall(kLineDisconnectNormal);  // offHook_ stays: the hang-up makes sure
            return;
        }
    }
}

void TModemLine::HangUpModem() {
    if (!offHook_ || channel_.HungUp()) {
        offHook_ = false;
        dataMode_ = false;
        return;
    }
    if (channel_.SetDtr(false)) {
        // With &D2 the modem hangs up when DTR drops.
        TModemChannel::Pause(timings_.DtrDropMs);
        channel_.SetDtr(true);
        channel_.Discard(200, 2000);
    } else if (dataMode_) {
        // No DTR (a pseudo-terminal): the escape sequence back to command mode, unless the
        // modem has already left data mode with "NO CARRIER", then ATH0.
        Step s = Step::kOk;
        if (!commandMode_.exchange(false)) {
            TModemChannel::Pause(timings_.GuardMs);
            s = ModemCommand("+++", timings_.GuardMs + timings_.CommandMs, false);
        }
        if (s != Step::kHungUp) ModemCommand("ATH0\r", timings_.CommandMs, false);
    } else {
        // Still dialling: any character aborts the dial (the modem answers with a result
        // such as "NO CARRIER"); then make sure the modem is on hook.
        std::string line;
        if (channel_.Write("\r", kWriteMs, false) == TModemChannel::Wait::kReady &&
            channel_.ReadLine(line, timings_.CommandMs, false) != TModemChannel::Wait::kHangUp) {
            ModemCommand("ATH0\r", timings_.CommandMs, false);
        }
    }
    offHook_ = false;
    dataMode_ = false;
}

}  // namespace qx
