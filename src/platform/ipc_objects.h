// Named kernel objects shared with the presentation program, on POSIX shared memory.
//
// Every named object is the POSIX shared-memory object "/" + QUORVEX_IPC_NAMESPACE + name, so
// that test instances can run beside a real presentation program without meeting it. Locks are
// flock() locks on the object's descriptor: the kernel drops them when their holder dies, so a
// crashed peer never blocks the other side. The rules both sides follow:
//   - a named mutex is an object of size 0, held with an exclusive lock;
//   - a section is opened under its mailbox's mutex; whoever then gets an exclusive lock on it
//     is its only user and zero-fills it (a fresh section, as when its last user went away),
//     and every user holds a shared lock on it for as long as it has it open;
//   - the single-instance guard holds an exclusive lock on its section for the process's life;
//   - a program announces that it runs by holding a shared lock on its presence object.
// Plain POSIX, no Qt: the command-line peer links this too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/posix_io.h"

namespace qx::ipc {

// "/" + the namespace from the environment + name; "/" inside the result's tail becomes "_".
std::string ObjectName(const std::string& name);

// Opens the object, creating it when absent, and grows it to at least size bytes. Returns 0 or
// an errno value.
int OpenObject(const std::string& name, size_t size, UniqueFd& fd);
// Opens an object only when it exists (ENOENT otherwise).
int OpenExisting(const std::string& name, UniqueFd& fd);
// Removes the name (tests clean up their namespaces with it). Returns 0 or an errno value.
int Unlink(const std::string& name);

enum class LockMode { kShared, kExclusive };

// Takes the lock at once or fails (held by someone else, or an error).
bool TryLock(int fd, LockMode mode);
// Waits for the lock; timeoutMs < 0 waits without bound. A lock already held on the same
// descriptor is converted to the new mode.
bool Lock(int fd, LockMode mode, int timeoutMs = -1);
bool Unlock(int fd);

// One writable mapping of size bytes at offset 0 of an object. Not copyable.
class Mapping {
  public:
    Mapping() = default;
    ~Mapping();
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    Mapping(Mapping&& o) noexcept;
    Mapping& operator=(Mapping&& o) noexcept;

    // Returns 0 or an errno value.
    int Map(int fd, size_t size);
    void Unmap();

    uint8_t* Data() const { return data_; }
    size_t Size() const { return size_; }
    bool IsMapped() const { return data_ != nullptr; }

  private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// A mailbox section opened by the rules above: under the caller's mutex, zero-filled when
// fresh, then held shared. Returns 0 or an errno value.
int OpenSection(const std::string& name, size_t size, UniqueFd& fd, Mapping& map);

// True when the program announcing itself under name runs: its presence object exists and
// someone holds a shared lock on it.
bool IsPresent(const std::string& name);

// Holds the shared presence lock on name while it lives. Not copyable.
class PresenceLock {
  public:
    // Returns 0 or an errno value.
    int Acquire(const std::string& name);
    void Release() { fd_.Close(); }
    bool IsHeld() const { return static_cast<bool>(fd_); }

  private:
    UniqueFd fd_;
};

}  // namespace qx::ipc
