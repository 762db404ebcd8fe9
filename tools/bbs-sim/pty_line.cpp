#include "pty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace bbssim {

bool PtyLine::Create() {
    Close();
    const int fd = ::open("/dev/ptmx", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    char name[128];
    if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || ::ptsname_r(fd, name, sizeof name) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return false;
    }
    // Termios calls on a master act on its slave: raw, so that nothing the board sends is
    // echoed back or rewritten before the caller has set its own mode.
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    fd_ = fd;
    slavePath_ = name;
    return true;
}

void PtyLine::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    slavePath_.clear();
}

bool PtyLine::SlaveOpen() const {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) < 0) return false;
    return (p.revents & POLLHUP) == 0;
}

bool PtyLine::PointLink(const std::string& link) const {
    const std::string temp = link + ".new." + std::to_string(::getpid());
    ::unlink(temp.c_str());
    if (::symlink(slavePath_.c_str(), temp.c_str()) != 0) return false;
    if (::rename(temp.c_str(), link.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return false;
    }
    return true;
}

}  // namespace bbssim
