#include "net_line.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/telnet_codec.h"

namespace qx {

namespace {

// Bytes held for a side that does not take them; reading the other side waits meanwhile.
constexpr size_t kMaxPending = 256 * 1024;
constexpr size_t kReadSize = 64 * 1024;
constexpr int kPairBuffer = 1024 * 1024;
// A board that closed the connection: how long the port may take to read what it had sent.
constexpr int kDrainMs = 2000;

// Letters, digits, '-' and '.' (a name or an IPv4 address), or hex digits, ':' and '.' (an
// IPv6 address, given in brackets). Anything else cannot name a host, and is refused before
// any name server hears of it.
bool ValidHost(const std::string& host, bool bracketed) {
    if (host.empty() || host.size() > 253) return false;
    for (char c : host) {
        const bool alnum =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (bracketed ? !(std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.')
                      : !(alnum || c == '-' || c == '.')) {
            return false;
        }
    }
    return true;
}

bool ValidPort(const std::string& port) {
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int n = std::stoi(port);
    return n > 0 && n < 65536;
}

// Writes what the descriptor takes of pending[offset..]; false when the other side has gone.
bool WriteSome(int fd, std::string& pending, size_t& offset) {
    while (offset < pending.size()) {
        ssize_t n = RetryOnEintr([&] {
            return ::send(fd, pending.data() + offset, pending.size() - offset, MSG_NOSIGNAL);
        });
        if (n > 0) {
            offset += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        return false;
    }
    if (offset == pending.size()) {
        pending.clear();
        offset = 0;
    } else if (offset > kMaxPending) {
        pending.erase(0, offset);
        offset = 0;
    }
    return true;
}

}  // namespace

bool ParseNetLineName(const std::string& name, NetLineAddress& address) {
    std::string rest;
    if (name.rfind("telnet:", 0) == 0) {
        address.telnet = true;
        rest = name.substr(7);
    } else if (name.rfind("tcp:", 0) == 0) {
        address.telnet = false;
        rest = name.substr(4);
    } else {
        return false;
    }
    std::string port;
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos) return false;
        address.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') return false;
            port = rest.substr(close + 2);
        }
    } else {
        const size_t colon = rest.rfind(':');
        address.host = rest.substr(0, colon);
        if (colon != std::string::npos) port = rest.substr(colon + 1);
    }
    if (port.empty() && address.telnet) port = "23";
    if (address.host.empty() || !ValidPort(port)) return false;
    address.port = port;
    return true;
}

TNetLine::TNetLine(std::string name, NetLineAddress address, ModemTimings timings)
    : name_(std::move(name)), address_(std::move(address)), timings_(timings) {}

std::unique_ptr<TNetLine> TNetLine::Open(const std::string& name, ModemLineEvents events,
                                         int& result, std::string& error,
                                         const ModemTimings& timings) {
    NetLineAddress address;
    if (!ParseNetLineName(name, address)) {
        result = -EINVAL;
        error = name + " is not a network line (telnet:HOST[:PORT] or tcp:HOST:PORT)";
        return nullptr;
    }
    const bool bracketed = name.find('[') != std::string::npos;
    if (!ValidHost(address.host, bracketed)) {
        result = -EADDRNOTAVAIL;
        error = "Cannot find host " + address.host + ": not a valid host name";
        return nullptr;
    }
    std::unique_ptr<TNetLine> line(new TNetLine(name, address, timings));
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    struct addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
    if (rc != 0) {
        result = -EADDRNOTAVAIL;
        error = "Cannot find host " + address.host + ": " + ::gai_strerror(rc);
        return nullptr;
    }
    for (struct addrinfo* a = found; a != nullptr; a = a->ai_next) {
        sockaddr_storage s{};
        std::memcpy(&s, a->ai_addr, a->ai_addrlen);
        line->addresses_.push_back(s);
        line->addressSizes_.push_back(a->ai_addrlen);
    }
    ::freeaddrinfo(found);
    line->wakeFd_ = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!line->wakeFd_) {
        result = -errno;
        error = "Cannot create an event descriptor: " + std::string(std::strerror(errno));
        return nullptr;
    }
    line->StartWorker(std::move(events), [l = line.get()] { l->Run(); });
    result = 0;
    return line;
}

TNetLine::~TNetLine() {
    StopWorker();
}

int TNetLine::MakeCall(const std::string& number) {
    if (HasCall()) return kErrCallExists;
    return QueueCall(number);  // a network line has no use for the number; the device logs it
}

int TNetLine::Descriptor() const {
    std::lock_guard lock(mutex_);
    return portFd_;
}

void TNetLine::Wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_.get(), &one, sizeof one);
}

void TNetLine::TakeWake() {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t n = ::read(wakeFd_.get(), &count, sizeof count);
}

void TNetLine::Run() {
    for (;;) {
        Command cmd;
        if (!NextCommand(cmd)) {
            if (connected_ && address_.telnet) {
                Relay();
            } else if (connected_) {
                Watch();
            } else {
                struct pollfd fd = {wakeFd_.get(), POLLIN, 0};
                RetryOnEintr([&] { return ::poll(&fd, 1, -1); });
            }
            continue;
        }
        switch (cmd.kind) {
            case Command::kMakeCall:
                call_ = cmd.call;
                PostReply(cmd.request, 0);
                Connect();
                break;
            case Command::kDrop:
                CloseConnection();
                PostReply(cmd.request, 0);
                PostState(kLineCallIdle, 0);
                break;
            case Command::kStop:
                CloseConnection();
                return;
        }
    }
}

void TNetLine::Connect() {
    CloseConnection();
    PostState(kLineCallDialTone, 0);
    PostState(kLineCallDialing, 0);
    const int64_t deadline = MonotonicMilliseconds() + timings_.DialMs;
    bool refused = false;
    for (size_t i = 0; i < addresses_.size() && !socket_; ++i) {
        const auto* addr = reinterpret_cast<const sockaddr*>(&addresses_[i]);
        UniqueFd fd(::socket(addr->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd) continue;
        int err = 0;
        if (RetryOnEintr([&] { return ::connect(fd.get(), addr, addressSizes_[i]); }) != 0) {
            err = errno;
        }
        if (err == EINPROGRESS) {
            struct pollfd fds[2] = {{wakeFd_.get(), POLLIN, 0}, {fd.get(), POLLOUT, 0}};
            const int64_t left = deadline - MonotonicMilliseconds();
            int n =
                left > 0 ? RetryOnEintr([&] { return ::poll(fds, 2, static_cast<int>(left)); }) : 0;
            if (n > 0 && (fds[0].revents & POLLIN)) return;  // a command interrupts the dial
            if (n <= 0) {
                PostState(kLineCallDisconnected, kLineDisconnectNoAnswer);
                return;
            }
            socklen_t len = sizeof err;
            ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
        }
        if (err == 0) {
            socket_ = std::move(fd);
        } else if (err == ECONNREFUSED) {
            refused = true;
        }
    }
    if (!socket_) {
        PostState(kLineCallDisconnected, refused ? kLineDisconnectBusy : kLineDisconnectUnavail);
        return;
    }
    // ZMODEM answers are small and the sender waits for them: no coalescing delay.
    int one = 1;
    ::setsockopt(socket_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int portFd = socket_.get();
    if (address_.telnet) {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
            socket_.Close();
            PostState(kLineCallDisconnected, kLineDisconnectUnavail);
            return;
        }
        relayFd_ = UniqueFd(pair[0]);
        portEnd_ = UniqueFd(pair[1]);
        for (int fd : pair) {
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kPairBuffer, sizeof kPairBuffer);
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kPairBuffer, sizeof kPairBuffer);
        }
        codec_ = std::make_unique<TTelnetCodec>();
        toBoard_ = codec_->Start();
        toBoardDone_ = 0;
        toPort_.clear();
        toPortDone_ = 0;
        portFd = portEnd_.get();
    }
    boardClosed_ = false;
    hangUpReported_ = false;
    {
        std::lock_guard lock(mutex_);
        portFd_ = portFd;
    }
    connected_ = true;
    PostState(kLineCallConnected, 0,
              std::string("CONNECT ") + (address_.telnet ? "telnet " : "tcp ") + address_.host +
                  ":" + address_.port);
}

void TNetLine::Relay() {
    char buf[kReadSize];
    for (;;) {
        if (boardClosed_ && toPortDone_ == toPort_.size() && !hangUpReported_) {
            // Everything the board sent is with the port: now the port sees the end too.
            ::shutdown(relayFd_.get(), SHUT_WR);
            hangUpReported_ = true;
            PostState(kLineCallDisconnected, kLineDisconnectNormal);
        }
        struct pollfd fds[3] = {{wakeFd_.get(), POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}};
        if (!boardClosed_) {
            fds[1].fd = socket_.get();
            if (toPort_.size() - toPortDone_ < kMaxPending) fds[1].events |= POLLIN;
            if (toBoardDone_ < toBoard_.size()) fds[1].events |= POLLOUT;
            fds[2].fd = relayFd_.get();
            if (toBoard_.size() - toBoardDone_ < kMaxPending) fds[2].events |= POLLIN;
        }
        if (toPortDone_ < toPort_.size()) {
            fds[2].fd = relayFd_.get();
            fds[2].events |= POLLOUT;
        }
        if (RetryOnEintr([&] { return ::poll(fds, 3, -1); }) < 0) return;
        if (fds[0].revents & POLLIN) return;  // a command is waiting

        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = RetryOnEintr([&] { return ::read(socket_.get(), buf, sizeof buf); });
            if (n > 0) {
                if (static_cast<size_t>(n) < sizeof buf) AcknowledgeInput(socket_.get());
                codec_->Decode(reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(n),
                               toPort_, toBoard_);
            } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                boardClosed_ = true;
            }
        }
        if (fds[2].revents & POLLIN) {
            ssize_t n = RetryOnEintr([&] { return ::read(relayFd_.get(), buf, sizeof buf); });
            if (n > 0) {
                codec_->Encode(reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(n),
                               toBoard_);
            }
        }
        if (!boardClosed_ && !WriteSome(socket_.get(), toBoard_, toBoardDone_)) {
            boardClosed_ = true;
        }
        if (!WriteSome(relayFd_.get(), toPort_, toPortDone_)) {
            toPort_.clear();  // the port's end is closed: nobody to hand the rest to
            toPortDone_ = 0;
        }
    }
}

void TNetLine::Watch() {
    if (hangUpReported_) {
        struct pollfd fd = {wakeFd_.get(), POLLIN, 0};
        RetryOnEintr([&] { return ::poll(&fd, 1, -1); });
        return;
    }
    struct pollfd fds[2] = {{wakeFd_.get(), POLLIN, 0}, {socket_.get(), POLLRDHUP, 0}};
    if (RetryOnEintr([&] { return ::poll(fds, 2, -1); }) < 0) return;
    if (fds[0].revents & POLLIN) return;
    // The board has closed its side: leave the port the time to read what came before.
    const int64_t deadline = MonotonicMilliseconds() + kDrainMs;
    for (;;) {
        int queued = 0;
        if (::ioctl(socket_.get(), FIONREAD, &queued) != 0 || queued == 0) break;
        if (MonotonicMilliseconds() >= deadline) break;
        struct pollfd wake = {wakeFd_.get(), POLLIN, 0};
        if (RetryOnEintr([&] { return ::poll(&wake, 1, 20); }) > 0) return;
    }
    hangUpReported_ = true;
    PostState(kLineCallDisconnected, kLineDisconnectNormal);
}

void TNetLine::CloseConnection() {
    {
        std::lock_guard lock(mutex_);
        portFd_ = -1;
    }
    connected_ = false;
    socket_.Close();
    relayFd_.Close();
    portEnd_.Close();
    codec_.reset();
    toBoard_.clear();
    toPort_.clear();
    toBoardDone_ = toPortDone_ = 0;
}

}  // namespace qx
