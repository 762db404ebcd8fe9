#pragma once

#include <string>

namespace bbssim {

// The command-mode half of a Hayes modem: collects the caller's bytes into command lines,
// echoes them, runs AT commands and frames result codes. It knows nothing of the line or the
// call; what a command asks of the line comes back as an Action for the simulator to carry out.
class HayesModem {
  public:
    enum class Action { None, Dial, HangUp, Online };
    enum class Result { Ok, Connect, Ring, NoCarrier, Error, NoDialtone, Busy, NoAnswer };

    struct Reply {
        std::string bytes;  // echo and result text for the caller
        Action action = Action::None;
        std::string dialString;  // for Dial: everything after "ATD"
    };

    HayesModem() { Reset(); }

    // Factory settings: echo on, word results, results not suppressed.
    void Reset();

    // One byte typed by the caller in command mode.
    Reply Feed(char c);

    // The framed result text: "\r\nCONNECT 33600\r\n" with V1, "1\r" with V0, "" with Q1.
    std::string Format(Result result, int speed = 0) const;

    bool echo() const { return echo_; }
    // S12: escape guard time in fiftieths of a second.
    int guardMs() const { return s12_ * 20; }
    void setGuardMs(int ms) { s12_ = defaultS12_ = ms / 20; }

  private:
    Reply RunLine(const std::string& line);
    static char EchoByte(char c);

    bool echo_ = true;
    bool verbose_ = true;
    bool quiet_ = false;
    int s12_ = 50;
    int defaultS12_ = 50;
    std::string line_;
    std::string lastCommand_;
};

}  // namespace bbssim
