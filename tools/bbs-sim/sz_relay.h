#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace bbssim {

// One run of the ZMODEM sender as a child process whose stdin and stdout are one end of a
// socketpair; the simulator holds the other end and relays both directions, so the line's noise
// and drops are its own to make. Not copyable: owns the child and the socket.
class SzRelay {
  public:
    SzRelay() = default;
    ~SzRelay() { Kill(); }
    SzRelay(const SzRelay&) = delete;
    SzRelay& operator=(const SzRelay&) = delete;

    // Starts szPath in the file's directory with the file's name. False with errno set.
    bool Start(const std::string& szPath, const std::filesystem::path& file);
    // Ends the child at once (the line dropped) and reaps it.
    void Kill();
    // Stops the child where it is (SIGSTOP); Kill still ends it.
    void Pause();
    // Reaps the child if it has ended; true once it has (its status in exitStatus()).
    bool Reap();
    // The socket is done with: the child's output has been read to its end.
    void CloseSocket();

    bool running() const { return pid_ > 0; }
    int fd() const { return fd_; }
    int exitStatus() const { return status_; }

  private:
    pid_t pid_ = -1;
    int fd_ = -1;
    int status_ = -1;
};

}  // namespace bbssim
