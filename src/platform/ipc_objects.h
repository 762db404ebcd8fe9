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
//   - a program announces that it runs by holding a shared lock on its presence object;
//   - objects are created with mode 0666 less the umask, and go with their last user: whoever
//     lets go of one and then gets an exclusive lock on it unlinks it (a section under its
//     mailbox's mutex, whose name goes with it). Whoever locks a named object checks afterwards
//     that the name still leads to it, and otherwise opens the new one of that name.
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

// True when name still leads to the object open on fd (it was not unlinked meanwhile).
bool StillNamed(const std::string& name, int fd);
// A stale object's owner and mode, and what to do, when err (from opening name) is a
// permission error on an existing object; empty otherwise.
std::string OpenFailureText(const std::string& name, int err);

enum class LockMode { kShared, kExclusive };

// Takes the lock at once or fails (held by someone else, or an error).
bool TryLock(int fd, LockMode mode);
// Waits for the lock; timeoutMs < 0 waits without bound. A lock already held on the same
// descriptor is converted to the new mode.
bool Lock(int fd, LockMode mode, int timeoutMs = -1);
bool Unlock(int fd);
// Lock on an object opened by name: when its last user unlinked it while we waited, the new
// object of that name is opened (replacing fd) and locked instead. errno tells a failure.
bool LockNamed(const std::string& name, UniqueFd& fd, LockMode mode, int timeoutMs = -1);

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

// Lets go of a section opened by OpenSection (the caller holds its mailbox's mutex): unmaps and
// closes it, and unlinks it when nobody else has it open. Returns true when it was unlinked.
bool LeaveSection(const std::string& name, UniqueFd& fd, Mapping& map);

// True when the program announcing itself under name runs: its presence object exists and
// someone holds a shared lock on it.
bool IsPresent(const std::string& name);

// Holds the shared presence lock on name while it lives. Not copyable.
class PresenceLock {
  public:
    PresenceLock() = default;
    ~PresenceLock() { Release(); }
    PresenceLock(const PresenceLock&) = delete;
    PresenceLock& operator=(const PresenceLock&) = delete;
    // Returns 0 or an errno value.
    int Acquire(const std::string& name);
    // Lets go of the lock, removing the object when no other holder is left.
    void Release();
    bool IsHeld() const { return static_cast<bool>(fd_); }

  private:
    UniqueFd fd_;
    std::string name_;
};

}  // namespace qx::ipc
