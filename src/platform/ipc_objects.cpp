#include "ipc_objects.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

namespace qx::ipc {

namespace {

constexpr mode_t kObjectMode = 0600;

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

bool IsPresent(const std::string& name) {
    UniqueFd fd;
    if (OpenExisting(name, fd) != 0) return false;
    if (TryLock(fd.get(), LockMode::kExclusive)) return false;
    return errno == EWOULDBLOCK;
}

int PresenceLock::Acquire(const std::string& name) {
    UniqueFd fd;
    if (int err = OpenObject(name, 0, fd); err != 0) return err;
    if (!Lock(fd.get(), LockMode::kShared)) return errno;
    fd_ = std::move(fd);
    return 0;
}

}  // namespace qx::ipc
