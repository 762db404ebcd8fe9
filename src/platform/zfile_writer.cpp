#include "platform/zfile_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix_io.h"

namespace qx {

namespace {

int OpenErrorCode(int e) {
    switch (e) {
        case ENOENT:
            return -2;
        case ENOTDIR:
            return -3;
        case EMFILE:
        case ENFILE:
            return -4;
        case ENOSPC:
        case EDQUOT:
            return -101;
        default:
            return -5;
    }
}

}  // namespace

int ZFileStat(const std::string& path, int64_t& size, std::time_t& modifyTime) {
    const int fd = RetryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
    if (fd < 0) return errno == ENOENT ? -2 : OpenErrorCode(errno);
    UniqueFd owner(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0) return -5;
    if (S_ISDIR(st.st_mode)) return -5;  // a directory in the way
    size = st.st_size;
    modifyTime = st.st_mtime;
    return 0;
}

ZFileWriter::~ZFileWriter() {
    Close();
}

int ZFileWriter::Open(const std::string& path, int64_t startOffset) {
    Close();
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (startOffset == 0 ? O_TRUNC : 0);
    const int fd = RetryOnEintr([&] { return ::open(path.c_str(), flags, 0644); });
    if (fd < 0) return OpenErrorCode(errno);
    fd_ = fd;
    return 0;
}

int ZFileWriter::WriteAt(int64_t pos, const uint8_t* data, size_t len) {
    if (fd_ < 0) return -103;
    size_t done = 0;
    while (done < len) {
        const ssize_t n = RetryOnEintr(
            [&] { return ::pwrite(fd_, data + done, len - done, static_cast<off_t>(pos + done)); });
        if (n <= 0) return -101;
        done += static_cast<size_t>(n);
    }
    return 0;
}

int ZFileWriter::Close() {
    if (fd_ < 0) return 0;
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 || errno == EINTR ? 0 : -101;
}

}  // namespace qx
