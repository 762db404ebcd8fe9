#include "posix_io.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace qx {

ssize_t ReadSome(int fd, void* buf, size_t len) {
    return RetryOnEintr([&] { return ::read(fd, buf, len); });
}

bool WriteAll(int fd, const void* buf, size_t len) {
    const char* p = static_cast<const char*>(buf);
    while (len > 0) {
        ssize_t n = RetryOnEintr([&] { return ::write(fd, p, len); });
        if (n < 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

void AcknowledgeInput(int fd) {
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

}  // namespace qx
