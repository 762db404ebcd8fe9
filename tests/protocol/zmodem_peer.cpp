#include "zmodem_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "platform/event_loop.h"
#include "pump_until.h"
#include "tcp_pair.h"

namespace qx::test {

PtyChild::PtyChild(const std::vector<std::string>& argv, const std::string& dir, Line line) {
    int slave = -1;
    if (line == kTcp) {
        OpenTcpPair(master_, slave);
        if (slave < 0) return;
    } else {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        slave = open(ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t;
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
    }
    pid_ = fork();
    if (pid_ == 0) {
        setsid();
        dup2(slave, 0);
        dup2(slave, 1);
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);
        if (chdir(dir.c_str()) != 0) _exit(126);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    // Our copy of the slave keeps the terminal up after the child exits, so its last bytes
    // ("OO") are never lost to the hang-up.
    slave_ = slave;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyChild::~PtyChild() {
    if (pid_ > 0 && status_ < 0) {
        kill(pid_, SIGKILL);
        Wait(5000);
    }
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
}

void PtyChild::Kill(int sig) {
    if (pid_ > 0) kill(pid_, sig);
}

int PtyChild::Wait(int timeoutMs) {
    if (status_ >= 0 || pid_ <= 0) return status_;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int st;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return status_;
        }
        if (std::chrono::steady_clock::now() > end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

struct Relay::Impl {
    int sender;
    int relayEnd;
    Damage damage;
    std::atomic<bool> stop{false};
    std::thread thread;
};

Relay::Relay(int senderFd, Damage damage, bool passEof) : impl_(new Impl) {
    int sv[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
    ours_ = sv[0];
    impl_->sender = senderFd;
    impl_->relayEnd = sv[1];
    impl_->damage = std::move(damage);
    fcntl(ours_, F_SETFL, fcntl(ours_, F_GETFL) | O_NONBLOCK);
    Impl* im = impl_;
    impl_->thread = std::thread([im, passEof] {
        int64_t offset = 0;
        uint8_t buf[4096];
        uint8_t out[4096];
        while (!im->stop) {
            pollfd fds[2] = {{im->sender, POLLIN, 0}, {im->relayEnd, POLLIN, 0}};
            if (poll(fds, 2, 20) <= 0) continue;
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = read(im->sender, buf, sizeof buf);
                if (n <= 0) {
                    if (n == 0 || errno != EAGAIN) {
                        if (passEof) shutdown(im->relayEnd, SHUT_WR);
                        break;
                    }
                }
                size_t m = 0;
                for (ssize_t i = 0; i < n; ++i) {
                    const int b = im->damage(offset++, buf[i]);
                    if (b >= 0) out[m++] = static_cast<uint8_t>(b);
                }
                for (size_t done = 0; done < m;) {
                    const ssize_t w = write(im->relayEnd, out + done, m - done);
                    if (w > 0)
                        done += static_cast<size_t>(w);
                    else if (errno != EAGAIN && errno != EINTR)
                        break;
                }
            }
            if (fds[1].revents & POLLIN) {
                const ssize_t n = read(im->relayEnd, buf, sizeof buf);
                if (n <= 0) break;
                for (ssize_t done = 0; done < n;) {
                    const ssize_t w = write(im->sender, buf + done, static_cast<size_t>(n - done));
                    if (w > 0)
                        done += w;
                    else if (errno != EAGAIN && errno != EINTR)
                        break;
                    else
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        }
    });
}

Relay::~Relay() {
    impl_->stop = true;
    impl_->thread.join();
    close(impl_->relayEnd);
    close(ours_);
    delete impl_;
}

std::unique_ptr<TCxComPort> OpenPort(int fd) {
    auto port = std::make_unique<TCxComPort>();
    port->InSize = 20480;
    port->OutSize = 20480;
    port->AutoOpen = false;
    port->TapiMode = tmOn;
    port->SetTapiHandle(fd);
    port->SetOpen(true);
    return port;
}

void EventRecord::Attach(TCxProtocol& p) {
    p.OnProtocolStatus = [this](TCxProtocol&, unsigned options) {
        Events.push_back({'S', static_cast<int>(options), {}});
    };
    p.OnProtocolLog = [this](TCxProtocol& sender, int code) {
        Events.push_back({'L', code, sender.FileName()});
        if (code == 1) Received.push_back(sender.FileName());
    };
    p.OnProtocolAccept = [this](TCxProtocol&, bool& accept, std::string& name) {
        Events.push_back({'A', 0, name});
        if (Accept) accept = Accept(name);
    };
    p.OnProtocolError = [this](TCxProtocol&, int code) { Events.push_back({'E', code, {}}); };
    p.OnProtocolFinish = [this](TCxProtocol&, int code) {
        Events.push_back({'F', code, {}});
        Finished = true;
        FinishCode = code;
    };
}

int EventRecord::Count(char kind, int code) const {
    int n = 0;
    for (const Event& e : Events)
        if (e.Kind == kind && e.Code == code) ++n;
    return n;
}

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
    return qxtest::PumpUntil(pred, timeoutMs);
}

void EnsureApplication() {
    static int argc = 1;
    static char name[] = "zmodem_test";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
}

std::string MakeTempDir(const std::string& tag) {
    std::string templ = "/tmp/qx_zm_" + tag + "_XXXXXX";
    char* d = mkdtemp(templ.data());
    return d != nullptr ? std::string(d) : std::string();
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

void ConfigureLikeProgram(TCxProtocol& p, const std::string& dir) {
    p.SetProtocolType(ptZmodem);
    p.SetHandshakeWait(1092);
    p.SetHandshakeRetry(10);
    p.SetTransmitTimeout(1092);
    // sz ends with "OO" and then flushes its terminal's queues, which on a pseudo-terminal
    // often discards the "OO" before we read it; a short finish wait keeps such runs quick.
    p.SetFinishWait(18);
    p.SetStatusInterval(10);
    p.Overhead = 20;
    p.SetAbortNoCarrier(false);
    p.SetZmodemOptionOverride(true);
    p.SetZmodemFileOption(zfoWriteDifferent);
    p.SetZmodemRecover(false);
    p.SetDestinationDirectory(dir);
}

}  // namespace qx::test
