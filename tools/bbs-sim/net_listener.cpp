#include "net_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bbssim {
namespace {

constexpr unsigned char kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                        kSe = 240;
constexpr unsigned char kBinary = 0, kEcho = 1, kSga = 3, kTtype = 24;

const char* CommandName(unsigned char c) {
    return c == kDo ? "DO" : c == kDont ? "DONT" : c == kWill ? "WILL" : "WONT";
}

}  // namespace

NetListener::~NetListener() {
    if (fd_ >= 0) ::close(fd_);
}

bool NetListener::Listen(const std::string& hostPort, std::string& error) {
    const auto colon = hostPort.rfind(':');
    const std::string host = colon == std::string::npos ? "127.0.0.1" : hostPort.substr(0, colon);
    const std::string port = colon == std::string::npos ? hostPort : hostPort.substr(colon + 1);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    char* end = nullptr;
    const long p = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || p < 0 || p > 65535 ||
        ::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        error = "bad --listen " + hostPort + " (want [IPV4:]PORT)";
        return false;
    }
    addr.sin_port = htons(static_cast<uint16_t>(p));
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    if (fd_ < 0 || ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd_, 4) != 0) {
        error = "cannot listen on " + hostPort + ": " + std::strerror(errno);
        return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    address_ = host + ":" + std::to_string(ntohs(addr.sin_port));
    return true;
}

int NetListener::Accept(std::string& peer) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    const int fd =
        ::accept4(fd_, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    peer = std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
    return fd;
}

std::string TelnetPeer::Start() {
    std::string out;
    auto ask = [&](unsigned char command, unsigned char option) {
        asked_[command == kDo ? 1 : 0][option] = true;
        out += static_cast<char>(kIac);
        out += static_cast<char>(command);
        out += static_cast<char>(option);
    };
    ask(kWill, kBinary);
    ask(kDo, kBinary);
    ask(kWill, kSga);
    ask(kDo, kSga);
    ask(kDo, kTtype);
    ask(kWill, kEcho);
    return out;
}

void TelnetPeer::Decode(const char* in, std::size_t len, std::string& data, std::string& reply,
                        std::string& log) {
    for (std::size_t i = 0; i < len; ++i) {
        const auto c = static_cast<unsigned char>(in[i]);
        switch (state_) {
            case State::kData:
                if (c == kIac) {
                    state_ = State::kIac;
                } else {
                    data += static_cast<char>(c);
                }
                break;
            case State::kIac:
                if (c == kIac) {
                    data += static_cast<char>(c);
                    state_ = State::kData;
                } else if (c >= kWill && c <= kDont) {
                    command_ = c;
                    state_ = State::kOption;
                } else {
                    state_ = c == kSb ? State::kSub : State::kData;
                }
                break;
            case State::kOption: {
                state_ = State::kData;
                log += std::string(log.empty() ? "" : ", ") + CommandName(command_) + " " +
                       std::to_string(c);
                const bool aboutUs = command_ == kDo || command_ == kDont;
                const bool yes = command_ == kDo || command_ == kWill;
                if (aboutUs && c == kBinary) binaryOut_ = yes;
                bool& asked = asked_[aboutUs ? 0 : 1][c];
                if (asked) {
                    asked = false;  // the answer to our own request
                    break;
                }
                const bool known = c == kBinary || c == kSga;
                reply += static_cast<char>(kIac);
                reply += static_cast<char>(aboutUs ? (yes && known ? kWill : kWont)
                                                   : (yes && known ? kDo : kDont));
                reply += static_cast<char>(c);
                break;
            }
            case State::kSub:
                if (c == kIac) state_ = State::kSubIac;
                break;
            case State::kSubIac:
                state_ = c == kSe ? State::kData : State::kSub;
                break;
        }
    }
}

void TelnetPeer::Encode(const char* in, std::size_t len, std::string& out) const {
    for (std::size_t i = 0; i < len; ++i) {
        out += in[i];
        if (static_cast<unsigned char>(in[i]) == kIac) out += static_cast<char>(kIac);
        if (in[i] == '\r' && !binaryOut_) out += '\0';
    }
}

}  // namespace bbssim
