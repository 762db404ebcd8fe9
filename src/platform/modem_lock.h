// UUCP-style lock files for serial devices ("LCK..name" holding the owner's process id).
//
// Every program that drives modems on this machine (getty, minicom, pppd, ours) checks these
// files before opening a device, so holding one keeps the others off our line and theirs off
// ours. The file is written in the HDB format: the process id as ten right-aligned decimal
// digits and a newline. A lock whose process is gone is stale and may be taken over.
//
// The lock directory is $QUORVEX_LOCK_DIR when set (tests), else /var/lock. A directory we
// cannot write to is not an error: the device is then guarded by flock and TIOCEXCL alone.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qx {

// The process id written in a lock file's contents: the ten-byte ASCII form ("       346\n"),
// a shorter ASCII pid, or the old 4-byte binary form. 0 when none can be read.
int ParseLockPid(std::string_view text);

// The directory that holds the lock files.
std::string ModemLockDirectory();

// The lock file name for a device path: symbolic links are resolved so that two names of one
// device share a lock; the part below /dev/ with "/" turned into "_" ("/dev/pts/3" gives
// "LCK..pts_3", "/dev/ttyS0" gives "LCK..ttyS0").
std::string ModemLockName(const std::string& devicePath);

// The live process holding the lock of devicePath in dir (ours included), 0 when none.
int ModemLockHolder(const std::string& dir, const std::string& devicePath);

// Removes the lock files in dir whose process no longer exists. Returns the removed names.
std::vector<std::string> SweepStaleModemLocks(const std::string& dir);

// Owns one lock file for the life of the object. Not copyable.
class TModemLock {
  public:
    TModemLock() = default;
    ~TModemLock();
    TModemLock(TModemLock&& o) noexcept;
    TModemLock& operator=(TModemLock&& o) noexcept;
    TModemLock(const TModemLock&) = delete;
    TModemLock& operator=(const TModemLock&) = delete;

    // Takes the lock of devicePath in dir. Returns 0 when held (or when dir is not writable, in
    // which case nothing is held), else -1 with the holder's process id in holderPid (0 when the
    // file could not be read or written).
    int Acquire(const std::string& dir, const std::string& devicePath, int& holderPid);
    void Release();
    bool Held() const { return !path_.empty(); }
    const std::string& Path() const { return path_; }

  private:
    std::string path_;  // empty when nothing is held
};

}  // namespace qx
