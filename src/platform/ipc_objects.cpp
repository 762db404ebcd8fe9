#include "ipc_objects.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pwd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

namespace qx::ipc {

namespace {

// As files are: the umask decides who else may use an object (a group can share them).
constexpr mode_t kObjectMode = 0666;

int FlockOp(LockMode mode) {
    return mode == LockMode::kShared ? LOCK_SH : LOCK_EX;
}

}  // namespace

std::string ObjectName(const std::string& name) {
    const char* ns = std::getenv("QUORVEX_IPC_NAMESPACE");
    std::string tail = (ns != nullptr ? std::string(ns) : std::string()) + name;
    for (char& c : tail) {
        if (c == '/') c = '_';
    }
    return "/" + tail;
}

int OpenObject(const std::string& name, size_t size, UniqueFd& fd) {
    const std::string full = ObjectName(name);
    UniqueFd f(RetryOnEintr([&] { return shm_open(full.c_str(), O_RDWR | O_CREAT, kObjectMode); }));
    if (!f) return errno;
    struct stat st;
    if (fstat(f.get(), &st) != 0) return errno;
    if (static_cast<size_t>(st.st_size) < size) {
        if (RetryOnEintr([&] { return ftruncate(f.get(), static_cast<off_t>(size)); }) != 0) {
            return errno;
        }
    }
    fd = std::move(f);
    return 0;
}

int OpenExisting(const std::string& name, UniqueFd& fd) {
    const std::string full = ObjectName(name);
    UniqueFd f(RetryOnEintr([&] { return shm_open(full.c_str(), O_RDWR, 0); }));
    if (!f) return errno;
    fd = std::move(f);
    return 0;
}

int Unlink(const std::string& name) {
    return shm_unlink(ObjectName(name).c_str()) == 0 ? 0 : errno;
}

bool StillNamed(const std::string& name, int fd) {
    UniqueFd named(RetryOnEintr([&] { return shm_open(ObjectName(name).c_str(), O_RDONLY, 0); }));
    struct stat mine, current;
    if (!named || fstat(fd, &mine) != 0 || fstat(named.get(), &current) != 0) return false;
    return mine.st_dev == current.st_dev && mine.st_ino == current.st_ino;
}

bool LockNamed(const std::string& name, UniqueFd& fd, LockMode mode, int timeoutMs) {
    for (;;) {
        if (!Lock(fd.get(), mode, timeoutMs)) return false;
        if (StillNamed(name, fd.get())) return true;
        // Its last user removed it while we waited: the name now belongs to a new object.
        UniqueFd fresh;
        if (int err = OpenObject(name, 0, fresh); err != 0) {
            Unlock(fd.get());
            errno = err;
            return false;
        }
        fd = std::move(fresh);
    }
}

std::string OpenFailureText(const std::string& name, int err) {
    if (err != EACCES && err != EPERM) return {};
    const std::string full = ObjectName(name);
    const std::string path = "/dev/shm" + full;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return {};
    std::string owner = std::to_string(st.st_uid);
    if (const passwd* pw = getpwuid(st.st_uid); pw != nullptr) owner = pw->pw_name;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return "The shared-memory object " + full + " (" + path + ") belongs to " + owner +
           " with mode " + mode + " and cannot be opened by this user; it is left from an " +
           "earlier run: remove " + path + " or run as " + owner + ".";
}

bool TryLock(int fd, LockMode mode) {
    return RetryOnEintr([&] { return flock(fd, FlockOp(mode) | LOCK_NB); }) == 0;
}

bool Lock(int fd, LockMode mode, int timeoutMs) {
    if (timeoutMs < 0) return RetryOnEintr([&] { return flock(fd, FlockOp(mode)); }) == 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (TryLock(fd, mode)) return true;
        if (errno != EWOULDBLOCK) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool Unlock(int fd) {
    return RetryOnEintr([&] { return flock(fd, LOCK_UN); }) == 0;
}

Mapping::~Mapping() {
    Unmap();
}

Mapping::Mapping(Mapping&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}

Mapping& Mapping::operator=(Mapping&& o) noexcept {
    if (this != &o) {
        Unmap();
        data_ = std::exchange(o.data_, nullptr);
        size_ = std::exchange(o.size_, 0);
    }
    return *this;
}

int Mapping::Map(int fd, size_t size) {
    Unmap();
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return errno;
    data_ = static_cast<uint8_t*>(p);
    size_ = size;
    return 0;
}

void Mapping::Unmap() {
    if (data_ != nullptr) munmap(data_, size_);
    data_ = nullptr;
    size_ = 0;
}

int OpenSection(const std::string& name, size_t size, UniqueFd& fd, Mapping& map) {
    UniqueFd f;
    if (int err = OpenObject(name, size, f); err != 0) return err;
    Mapping m;
    if (int err = m.Map(f.get(), size); err != 0) return err;
    // Alone with it: whatever it holds was left by a user that is gone.
    if (TryLock(f.get(), LockMode::kExclusive)) std::memset(m.Data(), 0, size);
    if (!Lock(f.get(), LockMode::kShared)) return errno;
    fd = std::move(f);
    map = std::move(m);
    return 0;
}

bool LeaveSection(const std::string& name, UniqueFd& fd, Mapping& map) {
    map.Unmap();
    if (!fd) return false;
    // The same test that finds a fresh section: nobody else holds it, so it goes with us.
    const bool last = TryLock(fd.get(), LockMode::kExclusive) && StillNamed(name, fd.get());
    if (last) Unlink(name);
    fd.Close();
    return last;
}

bool IsPresent(const std::string& name) {
    // Read access is enough for a lock, so a program of another user in the group is seen.
    UniqueFd fd(RetryOnEintr([&] { return shm_open(ObjectName(name).c_str(), O_RDONLY, 0); }));
    if (!fd) return false;
    if (TryLock(fd.get(), LockMode::kExclusive)) return false;
    return errno == EWOULDBLOCK;
}

int PresenceLock::Acquire(const std::string& name) {
    UniqueFd fd;
    if (int err = OpenObject(name, 0, fd); err != 0) return err;
    if (!LockNamed(name, fd, LockMode::kShared)) return errno;
    fd_ = std::move(fd);
    name_ = name;
    return 0;
}

void PresenceLock::Release() {
    if (fd_ && TryLock(fd_.get(), LockMode::kExclusive) && StillNamed(name_, fd_.get())) {
        Unlink(name_);
    }
    fd_.Close();
}

}  // namespace qx::ipc
