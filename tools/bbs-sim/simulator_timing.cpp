// The simulator's real-board timings: board text paced out in pieces, the board's echo, a
// sender that stalls in mid-file and a modem without DCD.
#include "simulator.h"

#include <unistd.h>

namespace bbssim {

void Simulator::SendSplit(const std::string& bytes) {
    const auto pause = std::chrono::milliseconds(options_.timing.splitMs);
    const bool idle = paced_.empty();
    auto at = idle ? Clock::now() : paced_.back().at;
    for (const std::string& piece : SplitForWrites(bytes)) {
        at += pause;
        paced_.push_back({at, piece});
    }
    if (idle) {
        // The first piece goes at once; Send queues behind pieces still waiting.
        std::string first = std::move(paced_.front().bytes);
        paced_.pop_front();
        std::deque<Piece> rest;
        rest.swap(paced_);
        Send(first);
        rest.swap(paced_);
    }
}

void Simulator::RunPaced(Clock::time_point now) {
    while (!paced_.empty() && now >= paced_.front().at) {
        std::string piece = std::move(paced_.front().bytes);
        paced_.pop_front();
        std::deque<Piece> rest;
        rest.swap(paced_);
        Send(piece);
        rest.swap(paced_);
    }
}

void Simulator::EchoCaller(char c) {
    // A board echoes a line end as CR LF.
    Send(c == '\r' ? std::string_view("\r\n") : std::string_view(&c, 1));
}

bool Simulator::StallSender(const char* buf, std::size_t size) {
    if (stalled_) return true;
    const std::int64_t limit = options_.timing.stallAfterBytes;
    if (!stallThisCall_ || transferBytes_ + static_cast<std::int64_t>(size) < limit) return false;
    const auto allowed = static_cast<std::size_t>(limit - transferBytes_);
    transferBytes_ += static_cast<std::int64_t>(allowed);
    Send(std::string_view(buf, allowed));
    stalled_ = true;
    sender_.Pause();  // a stopped sender neither sends nor ends; the caller must notice
    log_.Line("transfer", "sender stalls after " + std::to_string(transferBytes_) + " bytes");
    return true;
}

void Simulator::HangUpLeavingLineOpen() {
    // "NO CARRIER" has gone out; without DCD nothing else tells the caller, so the line stays
    // open and the modem listens for commands again.
    log_.Line("hangup", hangupReason_ + " (no DCD: the line stays open)");
    EndCall();
    mode_ = Mode::Command;
    CallEnded();
}

}  // namespace bbssim
