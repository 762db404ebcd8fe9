#include "modem_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <thread>

#include "platform/clock.h"

namespace qx {

namespace {

std::string OpenErrorText(const std::string& path, int err) {
    switch (err) {
        case EACCES:
        case EPERM:
            return "Permission denied opening " + path +
                   ": the user must be a member of the dialout group";
        case ENOENT:
            return path + " does not exist";
        case EBUSY:
            return path + " is in use by another program";
        default:
            return "Cannot open " + path + ": " + std::strerror(err);
    }
}

}  // namespace

TModemChannel::~TModemChannel() {
    Close();
}

int TModemChannel::Open(const std::string& path, const std::string& lockDir, std::string& error) {
    Close();
    if (!wakeFd_) {
        wakeFd_ = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        if (!wakeFd_) {
            int err = errno;
            error = "Cannot create an event descriptor: " + std::string(std::strerror(err));
            return -err;
        }
    }
    int holder = 0;
    if (lock_.Acquire(lockDir, path, holder) != 0) {
        error = path + " is in use by another program" +
                (holder > 0 ? " (process " + std::to_string(holder) + ")" : std::string());
        return -EBUSY;
    }
    UniqueFd fd(RetryOnEintr(
        [&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }));
    if (!fd) {
        int err = errno;
        lock_.Release();
        error = OpenErrorText(path, err);
        return -err;
    }
    if (!::isatty(fd.get())) {
        lock_.Release();
        error = path + " is not a serial device";
        return -ENOTTY;
    }
    // flock holds even against root, for whom TIOCEXCL is no barrier.
    if (RetryOnEintr([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
        int err = errno == EWOULDBLOCK ? EBUSY : errno;
        lock_.Release();
        error = OpenErrorText(path, err);
        return -err;
    }
    ::ioctl(fd.get(), TIOCEXCL);

    struct termios tio {};
    if (::tcgetattr(fd.get(), &tio) != 0) {
        int err = errno;
        lock_.Release();
        error = OpenErrorText(path, err);
        return -err;
    }
    speed_t speed = ::cfgetospeed(&tio);
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL | HUPCL;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (speed == B0) speed = B115200;  // B0 would hold DTR down
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    if (::tcsetattr(fd.get(), TCSANOW, &tio) != 0) {
        int err = errno;
        lock_.Release();
        error = OpenErrorText(path, err);
        return -err;
    }
    ::tcflush(fd.get(), TCIOFLUSH);
    fd_ = std::move(fd);
    pending_.clear();
    hungUp_ = false;
    TakeWake();
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd_.get(), TIOCMBIS, &lines);
    return 0;
}

void TModemChannel::Close() {
    if (fd_) {
        // A device that still runs our raw settings and holds DTR up would keep a modem off
        // hook; closing with HUPCL drops DTR.
        fd_.Close();
    }
    lock_.Release();
    pending_.clear();
}

TModemChannel::Wait TModemChannel::PollFor(short events, int timeoutMs, bool wakeable) {
    if (hungUp_) return Wait::kHangUp;
    struct pollfd fds[2] = {{fd_.get(), events, 0}, {wakeFd_.get(), POLLIN, 0}};
    int n = RetryOnEintr([&] { return ::poll(fds, wakeable ? 2 : 1, timeoutMs); });
    if (n < 0) return Wait::kTimeout;
    if (wakeable && (fds[1].revents & POLLIN)) return Wait::kWoken;
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        // Data that arrived before the hang-up is still there to be read.
        if ((events & POLLIN) && (fds[0].revents & POLLIN)) return Wait::kReady;
        hungUp_ = true;
        return Wait::kHangUp;
    }
    if (fds[0].revents & events) return Wait::kReady;
    return Wait::kTimeout;
}

TModemChannel::Wait TModemChannel::ReadLine(std::string& line, int timeoutMs, bool wakeable) {
    const int64_t deadline = MonotonicMilliseconds() + timeoutMs;
    for (;;) {
        // A line ends at CR or LF; modems frame results as CR LF text CR LF, so empty lines
        // between them are skipped.
        size_t end;
        while ((end = pending_.find_first_of("\r\n")) != std::string::npos) {
            std::string text = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (!text.empty()) {
                line = text;
                return Wait::kReady;
            }
        }
        int64_t left = deadline - MonotonicMilliseconds();
        if (left <= 0) return Wait::kTimeout;
        Wait w = PollFor(POLLIN, static_cast<int>(left), wakeable);
        if (w != Wait::kReady) return w;
        char buf[256];
        ssize_t n = ReadSome(fd_.get(), buf, sizeof buf);
        if (n > 0) {
            pending_.append(buf, static_cast<size_t>(n));
            if (pending_.size() > 4096) pending_.erase(0, pending_.size() - 4096);  // noise
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            hungUp_ = true;  // EIO: the other side of a pseudo-terminal has gone
            return Wait::kHangUp;
        }
    }
}

TModemChannel::Wait TModemChannel::Write(const std::string& text, int timeoutMs, bool wakeable) {
    const int64_t deadline = MonotonicMilliseconds() + timeoutMs;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = RetryOnEintr(
            [&] { return ::write(fd_.get(), text.data() + done, text.size() - done); });
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            hungUp_ = true;
            return Wait::kHangUp;
        }
        int64_t left = deadline - MonotonicMilliseconds();
        if (left <= 0) return Wait::kTimeout;
        Wait w = PollFor(POLLOUT, static_cast<int>(left), wakeable);
        if (w != Wait::kReady) return w;
    }
    return Wait::kReady;
}

void TModemChannel::Discard(int quietMs, int maxMs) {
    const int64_t deadline = MonotonicMilliseconds() + maxMs;
    pending_.clear();
    while (MonotonicMilliseconds() < deadline) {
        if (PollFor(POLLIN, quietMs, false) != Wait::kReady) return;
        char buf[256];
        ssize_t n = ReadSome(fd_.get(), buf, sizeof buf);
        if (n <= 0 && !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) {
            hungUp_ = true;
            return;
        }
    }
}

TModemChannel::Wait TModemChannel::WaitHangUp(int timeoutMs) {
    return PollFor(0, timeoutMs, true);
}

TModemChannel::Wait TModemChannel::WaitWake(int timeoutMs) {
    struct pollfd fd = {wakeFd_.get(), POLLIN, 0};
    int n = RetryOnEintr([&] { return ::poll(&fd, 1, timeoutMs); });
    return n > 0 ? Wait::kWoken : Wait::kTimeout;
}

void TModemChannel::Pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool TModemChannel::SetDtr(bool on) {
    int bits = TIOCM_DTR;
    return ::ioctl(fd_.get(), on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

int TModemChannel::Carrier() const {
    int bits = 0;
    if (::ioctl(fd_.get(), TIOCMGET, &bits) != 0) return -1;
    return (bits & TIOCM_CD) ? 1 : 0;
}

void TModemChannel::Wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_.get(), &one, sizeof one);
}

bool TModemChannel::TakeWake() {
    uint64_t count = 0;
    return ::read(wakeFd_.get(), &count, sizeof count) == static_cast<ssize_t>(sizeof count);
}

}  // namespace qx
