#include "simulator.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace bbssim {
namespace {

// Caps what waits for the caller, so a slow reader slows the sender instead of growing memory.
constexpr std::size_t kMaxPending = 16384;
// A drop that cannot hand over its last bytes within this time drops them.
constexpr auto kMaxHangupWait = std::chrono::seconds(5);
// While nobody has the slave open the master polls POLLHUP at once, so it is probed instead.
constexpr int kOpenProbeMs = 20;

const char* KindName(DialResult::Kind kind) {
    switch (kind) {
        case DialResult::Kind::Connect:
            return "connect";
        case DialResult::Kind::Busy:
            return "busy";
        case DialResult::Kind::NoCarrier:
            return "no-carrier";
        case DialResult::Kind::NoAnswer:
            return "no-answer";
        case DialResult::Kind::NoDialtone:
            return "no-dialtone";
        case DialResult::Kind::Error:
            return "error";
        case DialResult::Kind::Silent:
            return "silent";
    }
    return "?";
}

}  // namespace

Simulator::Simulator(SimOptions options) : options_(std::move(options)), rng_(options_.seed) {
    modem_.setGuardMs(options_.guardMs);
    if (options_.timing.noDelay) options_.promptDelayMs = options_.senderDelayMs = 0;
}

bool Simulator::NewLine() {
    ++lineGeneration_;
    if (listener_) {
        if (callerFd_ >= 0) ::close(callerFd_);
        callerFd_ = -1;
        telnet_.reset();
        slaveSeen_ = false;
        lineBroken_ = false;
        modem_.Reset();
        mode_ = Mode::Command;
        return true;
    }
    auto fresh = std::make_unique<PtyLine>();
    if (!fresh->Create()) {
        std::fprintf(stderr, "bbs-sim: cannot create a pseudo-terminal: %s\n",
                     std::strerror(errno));
        return false;
    }
    if (!options_.link.empty() && !fresh->PointLink(options_.link)) {
        std::fprintf(stderr, "bbs-sim: cannot link %s: %s\n", options_.link.c_str(),
                     std::strerror(errno));
        return false;
    }
    // The old master closes only now, after the link already names the fresh slave.
    line_ = std::move(fresh);
    slaveSeen_ = false;
    lineBroken_ = false;
    modem_.Reset();
    mode_ = Mode::Command;
    std::printf("%s\n", line_->slavePath().c_str());
    std::fflush(stdout);
    log_.Line("line", line_->slavePath());
    return true;
}

int Simulator::Run() {
    if (!options_.logPath.empty() && !log_.Open(options_.logPath)) {
        std::fprintf(stderr, "bbs-sim: cannot open log %s\n", options_.logPath.c_str());
        return 1;
    }
    sigset_t signals;
    sigemptyset(&signals);
    for (const int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, s);
    ::sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int sigFd = ::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (!options_.listen.empty()) {
        listener_ = std::make_unique<NetListener>();
        std::string error;
        if (!listener_->Listen(options_.listen, error)) {
            std::fprintf(stderr, "bbs-sim: %s\n", error.c_str());
            return 1;
        }
        std::printf("%s\n", listener_->address().c_str());
        std::fflush(stdout);
        log_.Line("line",
                  "listening on " + listener_->address() + (options_.telnet ? " (telnet)" : ""));
    }
    if (sigFd < 0 || !NewLine()) return 1;

    while (!exit_) {
        RunTimers(Clock::now());
        if (exit_) break;
        int timeout = NextTimeoutMs(Clock::now());
        if (!slaveSeen_ && !listener_) {
            timeout = timeout < 0 ? kOpenProbeMs : std::min(timeout, kOpenProbeMs);
        }

        pollfd fds[4];
        int count = 0;
        fds[count++] = {sigFd, POLLIN, 0};
        int lineIndex = -1;
        int senderIndex = -1;
        if (slaveSeen_) {
            lineIndex = count;
            fds[count++] = {LineFd(), static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0};
        }
        int listenIndex = -1;
        if (listener_ && !slaveSeen_) {
            listenIndex = count;
            fds[count++] = {listener_->fd(), POLLIN, 0};
        }
        if (sender_.fd() >= 0) {
            short events = 0;
            if (out_.size() < kMaxPending && !hangupPending_ && !stalled_) events |= POLLIN;
            if (!toSender_.empty()) events |= POLLOUT;
            senderIndex = count;
            fds[count++] = {sender_.fd(), events, 0};
        }
        if (::poll(fds, count, timeout) < 0 && errno != EINTR) {
            std::perror("bbs-sim: poll");
            exitCode_ = 1;
            break;
        }

        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info;
            while (::read(sigFd, &info, sizeof info) == sizeof info) {
                if (info.ssi_signo != SIGCHLD) {
                    log_.Line("exit", "on signal " + std::to_string(info.ssi_signo));
                    exit_ = true;
                }
            }
        }
        if (listenIndex >= 0 && (fds[listenIndex].revents & POLLIN)) AcceptCaller();
        if (!slaveSeen_ && !listener_ && line_->SlaveOpen()) {
            slaveSeen_ = true;
            log_.Line("line", "ready");
        }
        const int polledLine = lineGeneration_;
        if (lineIndex >= 0) {
            const short ev = fds[lineIndex].revents;
            if (ev & (POLLIN | POLLHUP | POLLERR)) ReadCaller();
            if (lineGeneration_ == polledLine && (ev & POLLOUT)) Flush();
        }
        if (senderIndex >= 0 && sender_.fd() >= 0) {
            const short ev = fds[senderIndex].revents;
            if (ev & (POLLIN | POLLHUP | POLLERR)) ReadSender();
            if (sender_.fd() >= 0 && (ev & POLLOUT)) FlushSender();
        }
        if (lineBroken_) CallerClosedLine();
        CheckTransferEnd();
    }

    sender_.Kill();
    if (!options_.link.empty() && line_) {
        char target[PATH_MAX];
        const ssize_t n = ::readlink(options_.link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == line_->slavePath()) {
            ::unlink(options_.link.c_str());
        }
    }
    ::close(sigFd);
    return exitCode_;
}

int Simulator::NextTimeoutMs(Clock::time_point now) const {
    std::optional<Clock::time_point> next;
    auto consider = [&next](const std::optional<Clock::time_point>& t) {
        if (t && (!next || *t < *next)) next = t;
    };
    consider(dialAt_);
    consider(promptAt_);
    consider(sendAt_);
    consider(escapeAt_);
    consider(hangupAt_);
    if (!paced_.empty()) consider(paced_.front().at);
    if (hangupPending_ && !hangupAt_) consider(now + std::chrono::milliseconds(50));
    if (!next) return -1;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, 60000));
}

void Simulator::RunTimers(Clock::time_point now) {
    RunPaced(now);
    if (mode_ == Mode::Dialling && dialAt_ && now >= *dialAt_) FinishDial();
    if (mode_ == Mode::Online && promptAt_ && now >= *promptAt_ && board_) {
        promptAt_.reset();
        HandleStep(afterTransfer_ ? board_->TransferDone() : board_->Start());
        afterTransfer_ = false;
    }
    if (mode_ == Mode::Online && sendAt_ && now >= *sendAt_ && paced_.empty()) {
        sendAt_.reset();
        StartTransfer(sendFile_);
    }
    if (mode_ == Mode::Online && escapeAt_ && now >= *escapeAt_) {
        escapeAt_.reset();
        plusCount_ = 0;
        mode_ = Mode::OnlineCommand;
        log_.Line("modem", "escape: command mode during the call");
        Send(modem_.Format(HayesModem::Result::Ok));
    }
    if (hangupPending_) {
        if (!hangupAt_ &&
            ((out_.empty() && paced_.empty()) || now - hangupSince_ > kMaxHangupWait)) {
            hangupAt_ = now + std::chrono::milliseconds(hangupDrain_ ? options_.hangupDelayMs : 0);
        }
        if (hangupAt_ && now >= *hangupAt_) DoHangup();
    }
}

void Simulator::ReadCaller() {
    char raw[4096];
    std::string decoded;
    for (;;) {
        ssize_t n = ::read(LineFd(), raw, sizeof raw);
        const char* buf = raw;
        if (n > 0 && telnet_) {
            decoded.clear();
            std::string reply;
            std::string seen;
            telnet_->Decode(raw, static_cast<std::size_t>(n), decoded, reply, seen);
            if (!seen.empty()) log_.Line("telnet", "caller: " + seen);
            SendRaw(reply);
            buf = decoded.data();
            n = static_cast<ssize_t>(decoded.size());
            if (n == 0) continue;
        }
        if (n > 0) {
            const auto now = Clock::now();
            if (!transferActive_) {
                log_.Bytes(mode_ == Mode::Online ? "board<" : "modem<",
                           std::string_view(buf, static_cast<std::size_t>(n)));
            }
            const int current = lineGeneration_;
            for (ssize_t i = 0; i < n && lineGeneration_ == current && !exit_; ++i) {
                OnCallerByte(buf[i], now);
            }
            if (lineGeneration_ != current || exit_) return;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        // EIO (or end of file): the last opener of the slave has closed it.
        lineBroken_ = true;
        return;
    }
}

void Simulator::OnCallerByte(char c, Clock::time_point now) {
    const auto sinceLast = now - lastCallerByte_;
    lastCallerByte_ = now;
    switch (mode_) {
        case Mode::Command:
        case Mode::OnlineCommand: {
            const HayesModem::Reply reply = modem_.Feed(c);
            Send(reply.bytes);
            if (!reply.bytes.empty() && c == '\r') log_.Bytes("modem>", reply.bytes);
            switch (reply.action) {
                case HayesModem::Action::None:
                    break;
                case HayesModem::Action::Dial:
                    if (mode_ == Mode::OnlineCommand) {
                        Send(modem_.Format(HayesModem::Result::Error));
                    } else {
                        StartDial(reply.dialString);
                    }
                    break;
                case HayesModem::Action::HangUp:
                    if (mode_ == Mode::OnlineCommand) {
                        log_.Line("hangup", "ATH from the caller");
                        EndCall();
                        mode_ = Mode::Command;
                        CallEnded();
                    }
                    break;
                case HayesModem::Action::Online:
                    if (mode_ == Mode::OnlineCommand) {
                        mode_ = Mode::Online;
                        Send(modem_.Format(HayesModem::Result::Connect, connectSpeed_));
                    } else {
                        Send(modem_.Format(HayesModem::Result::NoCarrier));
                    }
                    break;
            }
            return;
        }
        case Mode::Dialling:
            // Any key while the modem dials abandons the call; a trailing LF is no key.
            if (c == '\n') return;
            log_.Line("modem", "dial abandoned by the caller");
            dialAt_.reset();
            mode_ = Mode::Command;
            Send(modem_.Format(HayesModem::Result::NoCarrier));
            return;
        case Mode::Online: {
            // "+++" with the guard time of silence before it and after it.
            const auto guard = std::chrono::milliseconds(modem_.guardMs());
            if (!listener_ && c == '+' && plusCount_ < 3 &&
                (plusCount_ > 0 || sinceLast >= guard)) {
                if (++plusCount_ == 3) escapeAt_ = now + guard;
            } else {
                plusCount_ = 0;
                escapeAt_.reset();
            }
            if (transferActive_) {
                toSender_ += c;
                if (toSender_.size() > 1 << 20) toSender_.clear();  // a sender that no longer reads
                FlushSender();
            } else if (board_) {
                if (options_.timing.echo) EchoCaller(c);
                HandleStep(board_->Feed(c));
            }
            return;
        }
    }
}

void Simulator::Send(std::string_view bytes) {
    if (bytes.empty()) return;
    if (!paced_.empty()) {
        paced_.back().bytes.append(bytes);  // behind the board text still being paced out
        return;
    }
    if (telnet_) {
        telnet_->Encode(bytes.data(), bytes.size(), out_);
    } else {
        out_.append(bytes);
    }
    Flush();
}

void Simulator::SendRaw(std::string_view bytes) {
    if (bytes.empty()) return;
    out_.append(bytes);
    Flush();
}

void Simulator::AcceptCaller() {
    std::string peer;
    callerFd_ = listener_->Accept(peer);
    if (callerFd_ < 0) return;
    slaveSeen_ = true;
    log_.Line("line", "caller connected from " + peer);
    if (options_.telnet) {
        telnet_.emplace();
        SendRaw(telnet_->Start());
    }
    // No modem on a network line: the caller is through as soon as it is connected.
    dialled_ = true;
    Connect(options_.defaultResult.speed);
}

void Simulator::SendBoard(const std::string& text, std::string_view before) {
    if (text.empty()) {
        Send(before);
        return;
    }
    if (mode_ != Mode::Online) {
        log_.Bytes("board> (lost, modem in command mode)", text);
        return;
    }
    log_.Bytes("board>", text);
    if (options_.timing.splitMs > 0) {
        SendSplit(std::string(before) + text);
    } else {
        Send(std::string(before) + text);
    }
}

void Simulator::Flush() {
    while (!out_.empty() && slaveSeen_ && (listener_ || line_)) {
        const ssize_t n = ::write(LineFd(), out_.data(), out_.size());
        if (n > 0) {
            out_.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        lineBroken_ = true;
        return;
    }
}

void Simulator::ReadSender() {
    char buf[4096];
    while (sender_.fd() >= 0 && out_.size() < kMaxPending && !hangupPending_) {
        const ssize_t n = ::read(sender_.fd(), buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
            sender_.CloseSocket();
            return;
        }
        auto size = static_cast<std::size_t>(n);
        if (StallSender(buf, size)) return;
        if (options_.noiseRate > 0.0) {
            std::uniform_real_distribution<double> chance(0.0, 1.0);
            std::uniform_int_distribution<int> flip(1, 255);
            for (std::size_t i = 0; i < size; ++i) {
                if (chance(rng_) < options_.noiseRate) {
                    buf[i] = static_cast<char>(buf[i] ^ flip(rng_));
                }
            }
        }
        if (dropThisCall_ &&
            transferBytes_ + static_cast<std::int64_t>(size) >= options_.dropAfterBytes) {
            size = static_cast<std::size_t>(options_.dropAfterBytes - transferBytes_);
            transferBytes_ += static_cast<std::int64_t>(size);
            Send(std::string_view(buf, size));
            log_.Line("transfer", "line drops after " + std::to_string(transferBytes_) + " bytes");
            sender_.Kill();
            RequestHangup("line dropped during the transfer", false);
            return;
        }
        transferBytes_ += static_cast<std::int64_t>(size);
        Send(std::string_view(buf, size));
    }
}

void Simulator::FlushSender() {
    while (!toSender_.empty() && sender_.fd() >= 0) {
        const ssize_t n = ::write(sender_.fd(), toSender_.data(), toSender_.size());
        if (n > 0) {
            toSender_.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        toSender_.clear();  // the sender has gone; its end is seen on the read side
        return;
    }
}

void Simulator::StartDial(const std::string& dialString) {
    dialled_ = true;
    const std::string number = NormaliseNumber(dialString);
    const auto it = options_.numbers.find(number);
    pendingDial_ = it != options_.numbers.end() ? it->second : options_.defaultResult;
    log_.Line("modem", "dialling " + number + ": " + KindName(pendingDial_.kind));
    mode_ = Mode::Dialling;
    dialAt_.reset();
    if (pendingDial_.kind == DialResult::Kind::Silent) return;
    const auto delay = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options_.dialDelaySeconds));
    dialAt_ = Clock::now() + delay;
    if (options_.dialDelaySeconds <= 0.0) FinishDial();
}

void Simulator::FinishDial() {
    dialAt_.reset();
    using Kind = DialResult::Kind;
    using R = HayesModem::Result;
    std::string result;
    switch (pendingDial_.kind) {
        case Kind::Connect:
            Connect(pendingDial_.speed);
            return;
        case Kind::Busy:
            result = modem_.Format(R::Busy);
            break;
        case Kind::NoCarrier:
            result = modem_.Format(R::NoCarrier);
            break;
        case Kind::NoAnswer:
            result = modem_.Format(R::NoAnswer);
            break;
        case Kind::NoDialtone:
            result = modem_.Format(R::NoDialtone);
            break;
        case Kind::Error:
            result = modem_.Format(R::Error);
            break;
        case Kind::Silent:
            return;
    }
    mode_ = Mode::Command;
    log_.Bytes("modem>", result);
    Send(result);
}

void Simulator::Connect(int speed) {
    mode_ = Mode::Online;
    connectSpeed_ = speed;
    std::string result;  // no modem on a network line, so no CONNECT either
    if (!listener_) {
        result = modem_.Format(HayesModem::Result::Connect, speed);
        log_.Bytes("modem>", result);
    }
    ++callsConnected_;
    transferBytes_ = 0;
    const bool chosen = options_.dropCalls == 0 || callsConnected_ <= options_.dropCalls;
    dropThisCall_ = options_.dropAfterBytes >= 0 && chosen;
    stallThisCall_ = options_.timing.stallAfterBytes >= 0 && chosen;
    stalled_ = false;
    Board::Config config;
    config.user = options_.user;
    config.password = options_.password;
    config.filesDir = options_.filesDir;
    config.silent = options_.silent;
    config.quietStart = options_.quietStart;
    config.failLogin = options_.failLogin;
    board_.emplace(std::move(config));
    const auto now = Clock::now();
    afterTransfer_ = false;
    if (options_.promptDelayMs == 0) {
        HandleStep(board_->Start(), result);  // one write, as a board that does not wait
    } else {
        Send(result);
        promptAt_ = now + std::chrono::milliseconds(options_.promptDelayMs);
    }
    lastCallerByte_ = now;
    plusCount_ = 0;
    escapeAt_.reset();
}

void Simulator::HandleStep(const Board::Step& step, std::string_view before) {
    SendBoard(step.text, before);
    switch (step.action) {
        case Board::Step::Action::None:
            break;
        case Board::Step::Action::Send:
            // A board takes a moment to start its sender; the caller meanwhile reads the
            // "%C; Ready" line and prepares for the sender's start.
            sendFile_ = step.file;
            sendAt_ = Clock::now() + std::chrono::milliseconds(options_.senderDelayMs);
            break;
        case Board::Step::Action::HangUp:
            if (options_.timing.linger) {
                log_.Line("board", "stays on the line after the goodbye (--linger)");
                break;
            }
            RequestHangup("the board ends the session", true);
            break;
    }
}

void Simulator::StartTransfer(const std::filesystem::path& file) {
    toSender_.clear();
    if (!sender_.Start(options_.szPath, file)) {
        log_.Line("transfer", "cannot start " + options_.szPath + ": " + std::strerror(errno));
        HandleStep(board_->TransferDone());
        return;
    }
    transferActive_ = true;
    log_.Line("transfer", "sending " + file.string());
}

void Simulator::CheckTransferEnd() {
    if (!transferActive_ || sender_.fd() >= 0 || !sender_.Reap()) return;
    transferActive_ = false;
    toSender_.clear();
    const int status = sender_.exitStatus();
    log_.Line("transfer", "sender ended, status " + std::to_string(status) + ", " +
                              std::to_string(transferBytes_) + " bytes so far this call");
    // The board settles for the prompt delay before its next prompt, as after the connection.
    if (options_.promptDelayMs == 0) {
        HandleStep(board_->TransferDone());
        return;
    }
    afterTransfer_ = true;
    promptAt_ = Clock::now() + std::chrono::milliseconds(options_.promptDelayMs);
}

void Simulator::RequestHangup(const std::string& reason, bool drain) {
    if (hangupPending_) return;
    hangupPending_ = true;
    hangupDrain_ = drain;
    hangupReason_ = reason;
    hangupSince_ = Clock::now();
    hangupAt_.reset();
    // The modem reports the lost carrier; the dropped line itself follows.
    if (listener_) return;
    const std::string noCarrier = modem_.Format(HayesModem::Result::NoCarrier);
    log_.Bytes("modem>", noCarrier);
    Send(noCarrier);
}

void Simulator::DoHangup() {
    if (options_.timing.noDcd) {
        HangUpLeavingLineOpen();
        return;
    }
    log_.Line("hangup", hangupReason_);
    EndCall();
    if (!NewLine()) {
        exitCode_ = 1;
        exit_ = true;
        return;
    }
    CallEnded();
}

void Simulator::CallerClosedLine() {
    log_.Line("hangup", "the caller closed the line (DTR drop)");
    EndCall();
    if (!NewLine()) {
        exitCode_ = 1;
        exit_ = true;
        return;
    }
    CallEnded();
}

void Simulator::EndCall() {
    if (sender_.running() || sender_.fd() >= 0) sender_.Kill();
    transferActive_ = false;
    board_.reset();
    promptAt_.reset();
    afterTransfer_ = false;
    sendAt_.reset();
    escapeAt_.reset();
    dialAt_.reset();
    plusCount_ = 0;
    hangupPending_ = false;
    hangupAt_.reset();
    out_.clear();
    toSender_.clear();
    paced_.clear();
    stalled_ = false;
}

void Simulator::CallEnded() {
    if (options_.once && dialled_) {
        log_.Line("exit", "the first call has ended (--once)");
        exit_ = true;
    }
}

}  // namespace bbssim
