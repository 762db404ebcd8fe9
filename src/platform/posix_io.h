// The one place where errno and EINTR are dealt with for plain descriptor I/O.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <utility>

namespace qx {

// Repeats a system call while it fails with EINTR.
template <typename Call>
auto RetryOnEintr(Call call) {
    for (;;) {
        auto r = call();
        if (!(r == -1 && errno == EINTR)) return r;
    }
}

// Owns one file descriptor; closes it when destroyed. Not copyable.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) {
            Close();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Close(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    // Returns close()'s result (0 when there was nothing to close).
    int Close() {
        if (fd_ < 0) return 0;
        return ::close(std::exchange(fd_, -1));
    }

  private:
    int fd_ = -1;
};

// read() retried on EINTR; -1 with errno on failure, 0 at end of file.
ssize_t ReadSome(int fd, void* buf, size_t len);
// Writes all of buf, retrying short writes and EINTR; false with errno on failure.
bool WriteAll(int fd, const void* buf, size_t len);
// On a TCP connection: acknowledges the input read so far now instead of after the
// delayed-acknowledgement timer. For a reader that is about to wait: a sender that holds a short
// segment until everything before it is acknowledged (Nagle) would otherwise stall each turn of
// a protocol by 40 ms or more. Does nothing on other descriptors.
void AcknowledgeInput(int fd);

}  // namespace qx
