#include "sz_relay.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace bbssim {

bool SzRelay::Start(const std::string& szPath, const std::filesystem::path& file) {
    Kill();
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    const std::string dir = file.parent_path().string();
    const std::string name = file.filename().string();
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int saved = errno;
        ::close(sv[0]);
        ::close(sv[1]);
        errno = saved;
        return false;
    }
    if (pid == 0) {
        // Child: undo what the simulator changed for itself before running the sender.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::dup2(sv[1], 0);
        ::dup2(sv[1], 1);
        const int devNull = ::open("/dev/null", O_WRONLY);
        if (devNull >= 0) ::dup2(devNull, 2);
        if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(126);
        std::vector<char*> argv = {const_cast<char*>(szPath.c_str()), const_cast<char*>("-q"),
                                   const_cast<char*>("-b"), const_cast<char*>(name.c_str()),
                                   nullptr};
        ::execvp(szPath.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(sv[1]);
    ::fcntl(sv[0], F_SETFL, ::fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    pid_ = pid;
    fd_ = sv[0];
    status_ = -1;
    return true;
}

void SzRelay::Kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        status_ = status;
        pid_ = -1;
    }
    CloseSocket();
}

void SzRelay::Pause() {
    if (pid_ > 0) ::kill(pid_, SIGSTOP);
}

bool SzRelay::Reap() {
    if (pid_ <= 0) return true;
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        status_ = status;
        pid_ = -1;
        return true;
    }
    return false;
}

void SzRelay::CloseSocket() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace bbssim
