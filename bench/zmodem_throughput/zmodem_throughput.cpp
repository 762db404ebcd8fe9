// ZMODEM receive throughput: the same 16 MiB file sent by lrzsz's sz over the same kind of
// pseudo-terminal pair, received once by our qx-rz and once by lrzsz's rz, in one run. Prints
// the plain pseudo-terminal copy rate (the ceiling), both receive rates and "ratio:" ours/rz.
//
// Ours is timed to its "received" line (the file complete, closed and dated); rz to its exit.
// qx-rz runs with a one-second finish wait: sz flushes its terminal after "OO", which on a
// pseudo-terminal often discards the "OO", and the wait is not part of the data rate anyway.
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kSize = 16u << 20;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

bool OpenRawPty(int& master, int& slave) {
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return false;
    termios t;
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    return true;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& dir, int in, int out,
            int err) {
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (int fd = 3; fd < 256; ++fd) close(fd);
        if (chdir(dir.c_str()) != 0) _exit(126);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

int WaitExit(pid_t pid) {
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128;
}

std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

double PtyCopyRate(const std::string& data) {
    int m, s;
    if (!OpenRawPty(m, s)) return 0;
    const auto t0 = Clock::now();
    std::thread writer([&] {
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n =
                write(s, data.data() + done, std::min<size_t>(65536, data.size() - done));
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
    });
    std::vector<char> buf(65536);
    size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = read(m, buf.data(), buf.size());
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    const auto t1 = Clock::now();
    writer.join();
    close(m);
    close(s);
    return got / 1e6 / Seconds(t0, t1);
}

}  // namespace

int main(int, char** argv) {
    char self[4096];
    const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string binDir = len > 0 ? std::string(self, static_cast<size_t>(len)) : argv[0];
    binDir = binDir.substr(0, binDir.find_last_of('/') + 1);
    char tmpl[] = "/tmp/qx_bench_zm_XXXXXX";
    const std::string root = mkdtemp(tmpl);
    const std::string src = root + "/src", ours = root + "/ours", peer = root + "/rz";
    for (const std::string& d : {src, ours, peer}) mkdir(d.c_str(), 0755);

    std::string data(kSize, '\0');
    std::mt19937_64 rng(20261208);
    for (size_t i = 0; i < kSize; i += 8) {
        const uint64_t v = rng();
        std::memcpy(&data[i], &v, 8);
    }
    std::ofstream(src + "/sample.bin", std::ios::binary).write(data.data(), kSize);

    const double copyRate = PtyCopyRate(data);
    std::printf("pty copy: %.1f MB/s\n", copyRate);

    // Ours.
    double oursRate = 0;
    bool oursOk = false;
    {
        int m, s, errPipe[2];
        OpenRawPty(m, s);
        if (pipe(errPipe) != 0) return 1;
        const int devnull = open("/dev/null", O_WRONLY);
        const auto t0 = Clock::now();
        const pid_t sz = Spawn({"sz", "-q", "sample.bin"}, src, s, s, devnull);
        const pid_t rx = Spawn({binDir + "qx-rz", "-w", "18", ours}, ours, m, m, errPipe[1]);
        close(errPipe[1]);
        std::string out;
        char buf[256];
        Clock::time_point t1{};
        ssize_t n;
        while ((n = read(errPipe[0], buf, sizeof buf)) > 0) {
            out.append(buf, static_cast<size_t>(n));
            if (t1 == Clock::time_point{} && out.find("received ") != std::string::npos)
                t1 = Clock::now();
        }
        const int rc = WaitExit(rx);
        WaitExit(sz);
        const auto t2 = Clock::now();
        if (t1 == Clock::time_point{}) t1 = t2;
        oursOk = rc == 0 && ReadAll(ours + "/SAMPLE.BIN") == data;
        oursRate = kSize / 1e6 / Seconds(t0, t1);
        std::printf("ours (qx-rz): %.1f MB/s to the received file, %.2f s to exit, exit %d, %s\n",
                    oursRate, Seconds(t0, t2), rc, oursOk ? "identical" : "DIFFERENT");
        close(errPipe[0]);
        close(m);
        close(s);
        close(devnull);
    }
    // lrzsz rz.
    double peerRate = 0;
    {
        int m, s;
        OpenRawPty(m, s);
        const int devnull = open("/dev/null", O_WRONLY);
        const auto t0 = Clock::now();
        const pid_t sz = Spawn({"sz", "-q", "sample.bin"}, src, s, s, devnull);
        const pid_t rx = Spawn({"rz", "-q", "-y"}, peer, m, m, devnull);
        const int rc = WaitExit(rx);
        const auto t1 = Clock::now();
        WaitExit(sz);
        const bool ok = rc == 0 && ReadAll(peer + "/sample.bin") == data;
        peerRate = kSize / 1e6 / Seconds(t0, t1);
        std::printf("lrzsz rz: %.1f MB/s, exit %d, %s\n", peerRate, rc,
                    ok ? "identical" : "DIFFERENT");
        close(m);
        close(s);
        close(devnull);
    }
    std::string cleanup = "rm -rf " + root;
    if (std::system(cleanup.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", root.c_str());
    const double ratio = peerRate > 0 && oursOk ? oursRate / peerRate : 0;
    std::printf("ratio: %.2f\n", ratio);
    return 0;
}
