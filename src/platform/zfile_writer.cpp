#include "platform/zfile_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <random>

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

// A fresh name beside path for the file being received; a previous run's leftover of the same
// name is never reused, since the name is only taken by an exclusive create.
std::string TemporaryNameBeside(const std::string& path) {
    static std::atomic<uint32_t> counter{std::random_device{}()};
    const size_t cut = path.rfind('/');
    const std::string dir = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
    return dir + ".qxrecv-" + std::to_string(counter++) + ".tmp";
}

}  // namespace

int ZFileStat(const std::string& path, int64_t& size, std::time_t& modifyTime) {
    const int fd = RetryOnEintr(
        [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); });
    // A symbolic link is not a file we received: as far as the transfer goes there is none, and
    // the received file replaces the link (never what it points to).
    if (fd < 0) return errno == ENOENT || errno == ELOOP ? -2 : OpenErrorCode(errno);
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
    if (startOffset == 0) {
        // Only a file or a link is ever replaced; a device, pipe or directory of that name stays.
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
            return -5;
        }
        // Preferably a file without a name until it is complete enough to close: a crash in
        // the middle of a transfer then leaves nothing behind.
        const size_t cut = path.rfind('/');
        const std::string dir = cut == std::string::npos ? "." : path.substr(0, cut + 1);
        int fd = RetryOnEintr(
            [&] { return ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644); });
        if (fd >= 0) {
            fd_ = fd;
            unnamed_ = true;
            path_ = path;
            return 0;
        }
        // EISDIR, EOPNOTSUPP, EINVAL: the kernel or the file system cannot; a name it is.
        if (errno != EISDIR && errno != EOPNOTSUPP && errno != EINVAL) {
            return OpenErrorCode(errno);
        }
        std::string temporary;
        for (int tries = 0; tries < 100 && fd < 0; ++tries) {
            temporary = TemporaryNameBeside(path);
            fd = RetryOnEintr([&] {
                return ::open(temporary.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            });
            if (fd < 0 && errno != EEXIST) return OpenErrorCode(errno);
        }
        if (fd < 0) return -5;
        fd_ = fd;
        temporary_ = temporary;
        path_ = path;
        return 0;
    }
    // Resume and append continue a file already there: only a plain file of ours with no
    // other name, so that no link leads the writes elsewhere.
    const int fd =
        RetryOnEintr([&] { return ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC); });
    if (fd < 0) return errno == ELOOP ? -5 : OpenErrorCode(errno);
    UniqueFd owner(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        st.st_uid != ::geteuid()) {
        return -5;
    }
    fd_ = owner.release();
    path_ = path;
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
    int result = 0;
    if (unnamed_) {
        // The unnamed file gets a fresh temporary name first (linkat never replaces).
        const std::string self = "/proc/self/fd/" + std::to_string(fd_);
        for (int tries = 0; tries < 100 && temporary_.empty(); ++tries) {
            const std::string temporary = TemporaryNameBeside(path_);
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW) ==
                0) {
                temporary_ = temporary;
            } else if (errno != EEXIST) {
                break;
            }
        }
        if (temporary_.empty()) result = -5;
        unnamed_ = false;
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR && result == 0) result = -101;
    if (!temporary_.empty()) {
        // What was received so far takes the name, complete or not, as a file written in place
        // would have; rename replaces a file or a link of that name, never what a link points to.
        if (::rename(temporary_.c_str(), path_.c_str()) != 0) {
            ::unlink(temporary_.c_str());
            if (result == 0) result = -5;
        }
        temporary_.clear();
    }
    return result;
}

}  // namespace qx
