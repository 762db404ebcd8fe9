#pragma once

// Helpers for driving the tools as separate processes: a scratch directory, a child process,
// and the caller's side of a pseudo-terminal line.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace simpeer {

using namespace std::chrono_literals;

// Polls cond until it holds or timeout passes.
bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout);

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// A child process with its stdout on a pipe. Ended with SIGTERM (then SIGKILL) when destroyed.
class Child {
  public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Starts argv[0] (a path) with the given stdin/stdout (-1: inherited/pipe) in dir.
    bool Start(const std::vector<std::string>& argv, const std::filesystem::path& dir = {},
               int stdinFd = -1, int stdoutFd = -1);
    // One line of the child's stdout (without its newline); empty on time-out or end.
    std::string ReadLine(std::chrono::milliseconds timeout);
    // All of the child's stdout up to its end (or the time-out).
    std::string ReadAll(std::chrono::milliseconds timeout);
    // Waits for the exit; returns the exit status (or -1 on time-out, 128+signal on a signal).
    int Wait(std::chrono::milliseconds timeout);
    bool Exited();
    void Terminate();

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int status_ = -1;
    std::string pending_;
};

// Runs a program to its end and returns its exit status and stdout.
int RunProgram(const std::vector<std::string>& argv, std::string* output = nullptr,
               const std::filesystem::path& dir = {});

// The caller's side of the line: the slave of the simulator's pseudo-terminal, raw 8N1.
class Caller {
  public:
    Caller() = default;
    ~Caller() { Close(); }
    Caller(const Caller&) = delete;
    Caller& operator=(const Caller&) = delete;

    bool Open(const std::string& path);
    void Close();
    int fd() const { return fd_; }

    void Send(const std::string& bytes);
    // Blocking mode for handing the descriptor to another program (rz), non-blocking after.
    void SetBlocking(bool blocking);
    // Reads until pattern has arrived after the previous match (true) or timeout, the hang-up
    // or an error (false). Everything read is appended to received().
    bool ReadUntil(const std::string& pattern, std::chrono::milliseconds timeout = 20s);
    // Reads whatever comes for the whole duration.
    std::string ReadFor(std::chrono::milliseconds duration);
    // Reads until the line hangs up (EIO or POLLHUP); true if it did within timeout.
    bool WaitHangup(std::chrono::milliseconds timeout = 20s);

    const std::string& received() const { return received_; }
    // Forgets what has been received so far.
    void Clear() {
        received_.clear();
        matched_ = 0;
    }
    bool hungUp() const { return hungUp_; }

  private:
    // Reads what is there within waitMs; false once the line has hung up.
    bool ReadSome(int waitMs);

    int fd_ = -1;
    bool hungUp_ = false;
    std::string received_;
    std::size_t matched_ = 0;  // where the next ReadUntil starts looking
};

std::string ReadLinkTarget(const std::string& link);

}  // namespace simpeer
