#include "modem_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string_view>
#include <utility>

#include "platform/posix_io.h"

namespace qx {

namespace {

constexpr const char* kPrefix = "LCK..";
// A lock file we cannot read a process id from is left alone for this long, since its writer
// may still be filling it in; after that it counts as stale.
constexpr std::time_t kUnreadableGraceSeconds = 10;
// The kernel's highest possible pid. Four ASCII digits, blanks or newlines read as a binary
// number always lie above it, so the two forms of a 4-byte file never overlap.
constexpr int64_t kMaxPid = 4194304;

bool IsAsciiPid(std::string_view text) {
    bool digit = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (c != ' ' && c != '\n') {
            return false;
        }
    }
    return digit;
}

}  // namespace

int ParseLockPid(std::string_view text) {
    // A 4-byte file is the old binary form, unless it reads as a short decimal pid ("346\n"):
    // taking a live program's pid for garbage would take its lock over.
    if (text.size() == 4 && !IsAsciiPid(text)) {
        int32_t pid = 0;
        std::memcpy(&pid, text.data(), 4);
        return pid > 0 && pid <= kMaxPid ? pid : 0;
    }
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    int64_t pid = 0;
    size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 12; ++i, ++digits) {
        pid = pid * 10 + (text[i] - '0');
    }
    if (digits == 0 || pid <= 0 || pid > kMaxPid) return 0;
    return static_cast<int>(pid);
}

namespace {

// The process id in a lock file: 0 when unreadable, -1 when the file does not exist.
int ReadLockPid(const std::string& path) {
    UniqueFd fd(RetryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!fd) return errno == ENOENT ? -1 : 0;
    char buf[64] = {};
    ssize_t n = ReadSome(fd.get(), buf, sizeof buf - 1);
    if (n <= 0) return 0;
    return ParseLockPid(std::string_view(buf, static_cast<size_t>(n)));
}

bool ProcessExists(int pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

// True when a lock file may be removed: its process is gone, or it has stayed unreadable.
bool IsStale(const std::string& path, int pid) {
    if (pid > 0) return !ProcessExists(pid);
    if (pid < 0) return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    return std::time(nullptr) - st.st_mtime > kUnreadableGraceSeconds;
}

bool DirectoryWritable(const std::string& dir) {
    struct stat st {};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::access(dir.c_str(), W_OK) == 0;
}

}  // namespace

std::string ModemLockDirectory() {
    const char* env = std::getenv("QUORVEX_LOCK_DIR");
    if (env != nullptr && *env != '\0') return env;
    return "/var/lock";
}

std::string ModemLockName(const std::string& devicePath) {
    std::error_code ec;
    std::string real = std::filesystem::weakly_canonical(devicePath, ec).string();
    if (ec || real.empty()) real = devicePath;
    std::string name;
    if (real.rfind("/dev/", 0) == 0) {
        name = real.substr(5);
    } else {
        name = std::filesystem::path(real).filename().string();
    }
    for (char& c : name) {
        if (c == '/') c = '_';
    }
    return kPrefix + name;
}

int ModemLockHolder(const std::string& dir, const std::string& devicePath) {
    const int pid = ReadLockPid(dir + "/" + ModemLockName(devicePath));
    return pid > 0 && ProcessExists(pid) ? pid : 0;
}

std::vector<std::string> SweepStaleModemLocks(const std::string& dir) {
    std::vector<std::string> removed;
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec);
    if (ec) return removed;
    for (const auto& entry : it) {
        std::string name = entry.path().filename().string();
        if (name.rfind(kPrefix, 0) != 0) continue;
        std::string path = entry.path().string();
        if (IsStale(path, ReadLockPid(path)) && ::unlink(path.c_str()) == 0) {
            removed.push_back(name);
        }
    }
    return removed;
}

TModemLock::~TModemLock() {
    Release();
}

TModemLock::TModemLock(TModemLock&& o) noexcept : path_(std::exchange(o.path_, {})) {}

TModemLock& TModemLock::operator=(TModemLock&& o) noexcept {
    if (this != &o) {
        Release();
        path_ = std::exchange(o.path_, {});
    }
    return *this;
}

int TModemLock::Acquire(const std::string& dir, const std::string& devicePath, int& holderPid) {
    Release();
    holderPid = 0;
    if (!DirectoryWritable(dir)) return 0;
    std::string lockPath = dir + "/" + ModemLockName(devicePath);
    std::string tempPath = dir + "/LTMP." + std::to_string(::getpid());

    // Written under a private name and linked into place, so that nobody ever reads a
    // half-written lock and two takers cannot both win.
    {
        UniqueFd fd(RetryOnEintr([&] {
            return ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        }));
        if (!fd) return 0;  // cannot write here after all: rely on the device locks
        char text[16];
        int len = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
        if (!WriteAll(fd.get(), text, static_cast<size_t>(len))) {
            ::unlink(tempPath.c_str());
            return 0;
        }
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::link(tempPath.c_str(), lockPath.c_str()) == 0) {
            ::unlink(tempPath.c_str());
            path_ = lockPath;
            return 0;
        }
        if (errno != EEXIST) break;
        int pid = ReadLockPid(lockPath);
        // Our own pid means another line object of this process holds the device.
        if (pid == ::getpid() || !IsStale(lockPath, pid)) {
            holderPid = pid > 0 ? pid : 0;
            ::unlink(tempPath.c_str());
            return -1;
        }
        ::unlink(lockPath.c_str());
    }
    ::unlink(tempPath.c_str());
    return -1;
}

void TModemLock::Release() {
    if (path_.empty()) return;
    if (ReadLockPid(path_) == ::getpid()) ::unlink(path_.c_str());
    path_.clear();
}

}  // namespace qx
