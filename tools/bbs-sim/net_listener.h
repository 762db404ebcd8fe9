#pragma once

#include <string>

namespace bbssim {

// The board's listening socket for --listen: callers come over TCP instead of through the
// modem, one at a time (the next waits in the backlog until the current call ends).
class NetListener {
  public:
    NetListener() = default;
    ~NetListener();
    NetListener(const NetListener&) = delete;
    NetListener& operator=(const NetListener&) = delete;

    // Listens on "[HOST:]PORT" (HOST 127.0.0.1 when absent; PORT 0 picks a free one).
    // False with a reason in error.
    bool Listen(const std::string& hostPort, std::string& error);
    int fd() const { return fd_; }
    // "HOST:PORT" as bound.
    const std::string& address() const { return address_; }
    // The next caller's connection (non-blocking), or -1.
    int Accept(std::string& peer);

  private:
    int fd_ = -1;
    std::string address_;
};

// The board's side of telnet: asks for binary mode and suppress-go-ahead both ways, and also
// asks for two options a caller should refuse (terminal type, remote echo). Until the caller
// agrees to receive binary data, CR goes out as CR NUL, as a network virtual terminal sends it.
class TelnetPeer {
  public:
    std::string Start();
    // Appends the caller's own bytes to data and the board's answers to reply; negotiation
    // seen goes to log as "DO 0", "WONT 24", ...
    void Decode(const char* in, std::size_t len, std::string& data, std::string& reply,
                std::string& log);
    void Encode(const char* in, std::size_t len, std::string& out) const;

  private:
    enum class State { kData, kIac, kOption, kSub, kSubIac };
    State state_ = State::kData;
    unsigned char command_ = 0;
    bool asked_[2][256] = {};  // [0]: our WILL/WONT waits for DO/DONT; [1]: our DO for WILL
    bool binaryOut_ = false;   // the caller takes binary data
};

}  // namespace bbssim
