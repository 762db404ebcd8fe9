#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "board.h"
#include "hayes_modem.h"
#include "net_listener.h"
#include "pty_line.h"
#include "sim_options.h"
#include "sz_relay.h"
#include "transcript.h"

namespace bbssim {

// The whole simulator: one pseudo-terminal line, the modem in front of it, the board and the
// ZMODEM sender behind it, driven by one poll loop on one thread.
class Simulator {
  public:
    explicit Simulator(SimOptions options);
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Runs until SIGTERM/SIGINT/SIGHUP, or the end of the first call with --once. Returns the
    // process exit code.
    int Run();

  private:
    using Clock = std::chrono::steady_clock;
    enum class Mode { Command, Dialling, Online, OnlineCommand };

    bool NewLine();
    // --listen: the descriptor of the current caller's line, whichever kind it is.
    int LineFd() const { return listener_ ? callerFd_ : line_->fd(); }
    void AcceptCaller();
    void SendRaw(std::string_view bytes);
    void ReadCaller();
    void OnCallerByte(char c, Clock::time_point now);
    void Send(std::string_view bytes);
    void SendBoard(const std::string& text, std::string_view before = {});
    void Flush();
    void ReadSender();
    void FlushSender();
    void RunTimers(Clock::time_point now);
    int NextTimeoutMs(Clock::time_point now) const;

    void StartDial(const std::string& dialString);
    void FinishDial();
    void Connect(int speed);
    void HandleStep(const Board::Step& step, std::string_view before = {});
    void StartTransfer(const std::filesystem::path& file);
    void CheckTransferEnd();

    void RequestHangup(const std::string& reason, bool drain);
    void DoHangup();
    void CallerClosedLine();
    void EndCall();
    void CallEnded();

    // Real-board timings (simulator_timing.cpp).
    void SendSplit(const std::string& bytes);
    void RunPaced(Clock::time_point now);
    void EchoCaller(char c);
    // With --stall-after-bytes: passes on what the sender may still send of buf and stops it;
    // true when the sender is (now) stalled and nothing more of it goes out.
    bool StallSender(const char* buf, std::size_t size);
    void HangUpLeavingLineOpen();

    SimOptions options_;
    Transcript log_;
    std::unique_ptr<PtyLine> line_;
    std::unique_ptr<NetListener> listener_;  // --listen: callers over TCP, no modem
    int callerFd_ = -1;
    std::optional<TelnetPeer> telnet_;
    int lineGeneration_ = 0;  // counts fresh lines, so a loop notices a hang-up under it
    bool slaveSeen_ = false;
    bool lineBroken_ = false;  // a write found the caller gone
    HayesModem modem_;
    Mode mode_ = Mode::Command;
    std::optional<Board> board_;
    SzRelay sender_;
    bool transferActive_ = false;
    std::string out_;  // bytes for the caller, not yet taken by the pty
    std::string toSender_;

    DialResult pendingDial_;
    std::optional<Clock::time_point> dialAt_;
    std::optional<Clock::time_point> promptAt_;  // the board's next unprompted text
    bool afterTransfer_ = false;                 // promptAt_ ends a transfer, not a connect
    std::optional<Clock::time_point> sendAt_;    // the sender starts after "%C; Ready"
    std::filesystem::path sendFile_;
    std::optional<Clock::time_point> escapeAt_;
    Clock::time_point lastCallerByte_ = Clock::now();
    int plusCount_ = 0;
    int connectSpeed_ = 0;

    bool hangupPending_ = false;
    bool hangupDrain_ = true;
    std::string hangupReason_;
    Clock::time_point hangupSince_;
    std::optional<Clock::time_point> hangupAt_;

    bool dialled_ = false;
    int callsConnected_ = 0;
    std::int64_t transferBytes_ = 0;
    bool dropThisCall_ = false;
    bool stallThisCall_ = false;
    bool stalled_ = false;  // the sender has been stopped in mid-file
    struct Piece {
        Clock::time_point at;
        std::string bytes;
    };
    std::deque<Piece> paced_;  // board text still to go out in later writes
    std::mt19937 rng_;
    bool exit_ = false;
    int exitCode_ = 0;
};

}  // namespace bbssim
