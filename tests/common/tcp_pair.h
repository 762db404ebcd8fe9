// A connected TCP pair over the loopback, for tests that hand one end to the port or a receiver.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qx::test {

// Sets a and b to the two ends, or to -1.
inline void OpenTcpPair(int& a, int& b) {
    a = b = -1;
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), len) == 0 && listen(listener, 1) == 0 &&
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        a = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(a, reinterpret_cast<sockaddr*>(&addr), len) == 0)
            b = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    close(listener);
}

}  // namespace qx::test
