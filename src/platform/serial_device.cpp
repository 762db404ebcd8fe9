#include "platform/serial_device.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/serial.h>

#include <cerrno>
#include <cstring>

namespace qx {

namespace {

struct BaudEntry {
    int32_t baud;
    speed_t speed;
};

constexpr BaudEntry kBauds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

speed_t SpeedOf(int32_t baud) {
    for (const BaudEntry& e : kBauds)
        if (e.baud == baud) return e.speed;
    return B19200;
}

int32_t BaudOf(speed_t speed) {
    for (const BaudEntry& e : kBauds)
        if (e.speed == speed) return e.baud;
    return 19200;
}

int SetNonBlocking(int fd, int& saved) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return -errno;
    saved = flags;
    if ((flags & O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return -errno;
    return 0;
}

}  // namespace

TSerialDevice::TSerialDevice()
    : wakeFd_{UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
              UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))} {}

TSerialDevice::~TSerialDevice() {
    Detach();
}

int TSerialDevice::Attach(int readFd, int writeFd) {
    if (!wakeFd_[kEventWaiter] || !wakeFd_[kDispatchWaiter]) return -EMFILE;
    if (readFd < 0 || writeFd < 0) return -EBADF;
    readFd_ = readFd;
    writeFd_ = writeFd;
    hungUp_ = false;
    hupSeen_ = false;
    int r = SetNonBlocking(readFd_, savedReadFlags_);
    if (r == 0 && writeFd_ != readFd_) r = SetNonBlocking(writeFd_, savedWriteFlags_);
    if (r != 0) {
        Detach();
        return r;
    }
    isTty_ = ::isatty(readFd_) == 1;
    struct stat info;
    isSocket_ = ::fstat(readFd_, &info) == 0 && S_ISSOCK(info.st_mode);
    readBatch_ = 1;
    // A TCP line carries an interactive protocol: short answers go out at once.
    socklen_t len = sizeof savedNoDelay_;
    isTcp_ =
        isSocket_ && ::getsockopt(readFd_, IPPROTO_TCP, TCP_NODELAY, &savedNoDelay_, &len) == 0;
    if (isTcp_) {
        int on = 1;
        ::setsockopt(readFd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    if (isTty_ && ::tcgetattr(readFd_, &savedTermios_) == 0) {
        termiosSaved_ = true;
        struct termios t = savedTermios_;
        ::cfmakeraw(&t);
        t.c_cflag |= CREAD | CLOCAL;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        RetryOnEintr([&] { return ::tcsetattr(readFd_, TCSANOW, &t); });
    }
    int bits = 0;
    hasModemLines_ = isTty_ && ::ioctl(readFd_, TIOCMGET, &bits) == 0;
    return 0;
}

void TSerialDevice::Detach() {
    if (readFd_ >= 0) {
        if (termiosSaved_)
            RetryOnEintr([&] { return ::tcsetattr(readFd_, TCSANOW, &savedTermios_); });
        if (savedReadFlags_ >= 0) ::fcntl(readFd_, F_SETFL, savedReadFlags_);
        SetReadBatch(1);
        if (isTcp_)
            ::setsockopt(readFd_, IPPROTO_TCP, TCP_NODELAY, &savedNoDelay_, sizeof savedNoDelay_);
    }
    if (writeFd_ >= 0 && writeFd_ != readFd_ && savedWriteFlags_ >= 0)
        ::fcntl(writeFd_, F_SETFL, savedWriteFlags_);
    termiosSaved_ = false;
    savedReadFlags_ = savedWriteFlags_ = -1;
    readFd_ = writeFd_ = -1;
    isTty_ = hasModemLines_ = isSocket_ = isTcp_ = false;
}

SerialLineSettings TSerialDevice::ReadSettings() const {
    SerialLineSettings s;
    struct termios t {};
    if (!isTty_ || ::tcgetattr(readFd_, &t) != 0) return s;
    s.Baud = BaudOf(::cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
        case CS5:
            s.DataBits = 5;
            break;
        case CS6:
            s.DataBits = 6;
            break;
        case CS7:
            s.DataBits = 7;
            break;
        default:
            s.DataBits = 8;
            break;
    }
    s.StopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    if (t.c_cflag & PARENB) {
        bool odd = (t.c_cflag & PARODD) != 0;
        if (t.c_cflag & CMSPAR)
            s.Parity = odd ? 3 : 4;
        else
            s.Parity = odd ? 1 : 2;
    }
    s.HwFlow = (t.c_cflag & CRTSCTS) != 0;
    s.SwFlowOut = (t.c_iflag & IXON) != 0;
    s.SwFlowIn = (t.c_iflag & IXOFF) != 0;
    s.XOnChar = t.c_cc[VSTART];
    s.XOffChar = t.c_cc[VSTOP];
    return s;
}

int TSerialDevice::ApplySettings(const SerialLineSettings& s) {
    if (!isTty_) return 0;
    struct termios t {};
    if (::tcgetattr(readFd_, &t) != 0) return -errno;
    ::cfmakeraw(&t);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    switch (s.DataBits) {
        case 5:
            t.c_cflag |= CS5;
            break;
        case 6:
            t.c_cflag |= CS6;
            break;
        case 7:
            t.c_cflag |= CS7;
            break;
        default:
            t.c_cflag |= CS8;
            break;
    }
    if (s.StopBits >= 2) t.c_cflag |= CSTOPB;
    switch (s.Parity) {
        case 1:
            t.c_cflag |= PARENB | PARODD;
            break;
        case 2:
            t.c_cflag |= PARENB;
            break;
        case 3:
            t.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case 4:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (s.Parity != 0) t.c_iflag |= INPCK;
    if (s.HwFlow) t.c_cflag |= CRTSCTS;
    if (s.SwFlowOut) t.c_iflag |= IXON;
    if (s.SwFlowIn) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = s.XOnChar;
    t.c_cc[VSTOP] = s.XOffChar;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, SpeedOf(s.Baud));
    ::cfsetospeed(&t, SpeedOf(s.Baud));
    if (RetryOnEintr([&] { return ::tcsetattr(readFd_, TCSANOW, &t); }) != 0) return -errno;
    return 0;
}

void TSerialDevice::SetReadBatch(int bytes) {
    if (!isSocket_ || bytes == readBatch_) return;
    if (::setsockopt(readFd_, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes) == 0)
        readBatch_ = bytes;
}

SerialEvents TSerialDevice::WaitForEvent(bool wantRead, int timeoutMs, Waiter who) {
    SerialEvents ev;
    struct pollfd fds[2] = {};
    fds[0].fd = wakeFd_[who].get();
    fds[0].events = POLLIN;
    nfds_t n = 1;
    // After a hang-up POLLHUP stays raised for good: stop polling the descriptor then.
    if (!hupSeen_ && !hungUp_ && readFd_ >= 0) {
        fds[1].fd = readFd_;
        fds[1].events = wantRead ? POLLIN : 0;
        n = 2;
    }
    int r = ::poll(fds, n, timeoutMs);
    if (r <= 0) return ev;
    if (fds[0].revents & POLLIN) {
        uint64_t count;
        [[maybe_unused]] ssize_t got = ::read(wakeFd_[who].get(), &count, sizeof count);
        ev.Woken = true;
    }
    if (n == 2) {
        if (fds[1].revents & POLLIN) ev.Readable = true;
        if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            // Bytes may still wait in front of the hang-up: let the reader take them first.
            ev.Readable = ev.Readable || (fds[1].revents & POLLNVAL) == 0;
            ev.HangUp = true;
            hupSeen_ = true;
        }
    }
    return ev;
}

bool TSerialDevice::WaitWritable(int timeoutMs) {
    // The wake-up eventfd belongs to the event thread; the writer relies on its time-out.
    struct pollfd fd = {};
    fd.fd = writeFd_;
    fd.events = POLLOUT;
    if (::poll(&fd, 1, timeoutMs) <= 0) return false;
    // A dead descriptor counts as writable: the write then fails and the caller drops the data.
    return (fd.revents & (POLLOUT | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool TSerialDevice::WaitReadable(int timeoutUs) {
    if (readFd_ < 0 || hupSeen_ || hungUp_) return false;
    struct pollfd fd = {};
    fd.fd = readFd_;
    fd.events = POLLIN;
    const struct timespec wait = {timeoutUs / 1000000, (timeoutUs % 1000000) * 1000L};
    return ::ppoll(&fd, 1, &wait, nullptr) > 0;
}

void TSerialDevice::AcknowledgeInput() {
    if (isTcp_) qx::AcknowledgeInput(readFd_);
}

void TSerialDevice::Wake(Waiter who) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(wakeFd_[who].get(), &one, sizeof one);
}

size_t TSerialDevice::Read(uint8_t* buf, size_t len) {
    if (readFd_ < 0 || len == 0 || hungUp_) return 0;
    ssize_t n = ReadSome(readFd_, buf, len);
    if (n > 0) return static_cast<size_t>(n);
    if (n == 0 || hupSeen_ || (errno != EAGAIN && errno != EWOULDBLOCK)) hungUp_ = true;
    return 0;
}

void TSerialDevice::PrepareWriterThread() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void TSerialDevice::SetBulkReader(bool bulk) {
    // Only a thread of the normal policy is changed (not one its user made real-time), and only
    // such a thread is changed back. A refusal leaves the thread as it was.
    thread_local bool changed = false;
    int policy;
    sched_param param;
    if (pthread_getschedparam(pthread_self(), &policy, &param) != 0) return;
    if (bulk && policy == SCHED_OTHER) {
        changed = pthread_setschedparam(pthread_self(), SCHED_BATCH, &param) == 0;
    } else if (!bulk && changed) {
        pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
        changed = false;
    }
}

ssize_t TSerialDevice::Write(const uint8_t* buf, size_t len) {
    if (writeFd_ < 0) return -1;
    ssize_t n = RetryOnEintr([&] { return ::write(writeFd_, buf, len); });
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    if (errno == EPIPE) {
        // Take the SIGPIPE this write left pending on the (blocking) thread.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGPIPE);
        struct timespec zero {};
        sigtimedwait(&set, nullptr, &zero);
    }
    return -1;
}

uint8_t TSerialDevice::ModemStatus() const {
    if (!hasModemLines_) return hungUp_ ? 0 : (kSerialCts | kSerialDsr | kSerialDcd);
    int bits = 0;
    if (::ioctl(readFd_, TIOCMGET, &bits) != 0) return 0;
    uint8_t s = 0;
    if (bits & TIOCM_CTS) s |= kSerialCts;
    if (bits & TIOCM_DSR) s |= kSerialDsr;
    if (bits & TIOCM_RI) s |= kSerialRing;
    if (bits & TIOCM_CD) s |= kSerialDcd;
    return s;
}

void TSerialDevice::SetDtr(bool on) {
    if (!hasModemLines_) return;
    int bit = TIOCM_DTR;
    ::ioctl(readFd_, on ? TIOCMBIS : TIOCMBIC, &bit);
}

void TSerialDevice::SetRts(bool on) {
    if (!hasModemLines_) return;
    int bit = TIOCM_RTS;
    ::ioctl(readFd_, on ? TIOCMBIS : TIOCMBIC, &bit);
}

SerialErrorCounts TSerialDevice::ErrorCounts() const {
    SerialErrorCounts c;
    if (!hasModemLines_) return c;
    struct serial_icounter_struct ic {};
    if (::ioctl(readFd_, TIOCGICOUNT, &ic) != 0) return c;
    c.Overflow = static_cast<uint32_t>(ic.buf_overrun);
    c.Overrun = static_cast<uint32_t>(ic.overrun);
    c.Parity = static_cast<uint32_t>(ic.parity);
    c.Frame = static_cast<uint32_t>(ic.frame);
    c.Break = static_cast<uint32_t>(ic.brk);
    return c;
}

void TSerialDevice::FlushInput() {
    if (isTty_) ::tcflush(readFd_, TCIFLUSH);
}

void TSerialDevice::FlushOutput() {
    if (isTty_) ::tcflush(writeFd_, TCOFLUSH);
}

int TSerialDevice::SendBreak(int milliseconds) {
    if (!isTty_) return 0;
    if (::ioctl(writeFd_, TIOCSBRK) != 0) return -errno;
    struct timespec ts {
        milliseconds / 1000, (milliseconds % 1000) * 1000000L
    };
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
    ::ioctl(writeFd_, TIOCCBRK);
    return 0;
}

}  // namespace qx
