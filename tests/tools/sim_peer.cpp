#include "sim_peer.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace simpeer {

bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qx-tools-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

Child::~Child() {
    Terminate();
}

bool Child::Start(const std::vector<std::string>& argv, const std::filesystem::path& dir,
                  int stdinFd, int stdoutFd) {
    int pipeFds[2] = {-1, -1};
    if (stdoutFd < 0 && ::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        if (stdinFd >= 0) ::dup2(stdinFd, 0);
        ::dup2(stdoutFd >= 0 ? stdoutFd : pipeFds[1], 1);
        if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(126);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    if (pipeFds[1] >= 0) ::close(pipeFds[1]);
    pid_ = pid;
    out_ = pipeFds[0];
    return true;
}

std::string Child::ReadLine(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (out_ >= 0) {
        if (const auto nl = pending_.find('\n'); nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return "";
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[256];
        const ssize_t n = ::read(out_, buf, sizeof buf);
        if (n <= 0) return "";
        pending_.append(buf, static_cast<std::size_t>(n));
    }
    return "";
}

std::string Child::ReadAll(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    std::string all;
    pending_.swap(all);
    while (out_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(out_, buf, sizeof buf);
        if (n <= 0) break;
        all.append(buf, static_cast<std::size_t>(n));
    }
    return all;
}

bool Child::Exited() {
    if (pid_ <= 0) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return true;
}

int Child::Wait(std::chrono::milliseconds timeout) {
    if (!WaitUntil([this] { return Exited(); }, timeout)) return -1;
    return status_;
}

void Child::Terminate() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        if (Wait(10s) < 0 && pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    if (out_ >= 0) ::close(out_);
    out_ = -1;
}

int RunProgram(const std::vector<std::string>& argv, std::string* output,
               const std::filesystem::path& dir) {
    Child child;
    if (!child.Start(argv, dir)) return -1;
    const std::string all = child.ReadAll(120s);
    if (output) *output = all;
    return child.Wait(120s);
}

bool Caller::Open(const std::string& path) {
    Close();
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return false;
    termios tio{};
    ::tcgetattr(fd_, &tio);
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    ::tcsetattr(fd_, TCSANOW, &tio);
    hungUp_ = false;
    Clear();
    return true;
}

void Caller::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void Caller::SetBlocking(bool blocking) {
    const int flags = ::fcntl(fd_, F_GETFL);
    ::fcntl(fd_, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

void Caller::Send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size() && fd_ >= 0) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            return;
        }
    }
}

bool Caller::ReadSome(int waitMs) {
    if (fd_ < 0 || hungUp_) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0) return true;
    char buf[4096];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n > 0) {
        received_.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    hungUp_ = true;
    return false;
}

bool Caller::ReadUntil(const std::string& pattern, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const auto at = received_.find(pattern, matched_); at != std::string::npos) {
            matched_ = at + pattern.size();
            return true;
        }
        if (std::chrono::steady_clock::now() >= end) return false;
        if (!ReadSome(50)) {
            const auto at = received_.find(pattern, matched_);
            if (at == std::string::npos) return false;
            matched_ = at + pattern.size();
            return true;
        }
    }
}

std::string Caller::ReadFor(std::chrono::milliseconds duration) {
    const std::size_t from = received_.size();
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end && ReadSome(20)) {
    }
    return received_.substr(from);
}

bool Caller::WaitHangup(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (!ReadSome(50)) return true;
    }
    return hungUp_;
}

std::string ReadLinkTarget(const std::string& link) {
    char target[PATH_MAX];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace simpeer
