// ZMODEM receive throughput: the same 16 MiB file sent by lrzsz's sz over the same kind of
// connection, received once by our qx-rz and once by lrzsz's rz, in one run: on a
// pseudo-terminal pair, and over a TCP connection on the loopback (both programs get the socket
// as their standard input and output, as a network line hands it to the port). Prints the plain
// pseudo-terminal copy rate (the ceiling) and both receivers' figures on each kind of line.
//
// The data rate is timed from the first byte of the received file to its full size, seen through
// the receiver's open descriptors (ours writes to an unnamed file and names it only when it is
// complete). The start-up handshake is not part of it: it differs by design (ours flushes the
// line and waits up to half a second before its first ZRINIT, while rz answers at once); nor is
// the end-of-batch handshake (sz flushes its terminal after "OO", which on a pseudo-terminal
// often discards the "OO" and leaves the receiver waiting). The time from starting both programs
// to the complete file (under its name) is printed too.
//
// Seven alternating rounds on each kind of line. Rates on a small virtual machine vary widely
// from round to round, and in two modes (whether sender and receiver share a core), so the
// ratio compares medians; the best rounds are printed too. The ratio is the smallest of: ours /
// rz data rate on the pty, the same over TCP, and 1.5 x rz's time from start to the complete
// file / ours (the worse of the two lines), so 1.0 means every target is met.
//
// Optional arguments, for profiling and A/B runs: the first runs one kind of line only (`pty` or
// `tcp`, empty for both), the second sets the number of rounds.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
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

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// A connected TCP pair over the loopback.
bool OpenTcpPair(int& a, int& b) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bool ok = bind(listener, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
              listen(listener, 1) == 0 &&
              getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    a = socket(AF_INET, SOCK_STREAM, 0);
    ok = ok && connect(a, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    b = ok ? accept(listener, nullptr, nullptr) : -1;
    close(listener);
    return ok && b >= 0;
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

struct Timing {
    double rate = 0;      // MB/s, first to last byte
    double complete = 0;  // seconds from the start to the complete file
};

// The size of the file in dir that process pid holds open (named or not yet), 0 if none. The
// descriptor found is kept in entry, so that later looks cost one stat.
off_t OpenFileSize(pid_t pid, const std::string& dir, std::string& entry) {
    struct stat info;
    if (entry.empty()) {
        const std::string fds = "/proc/" + std::to_string(pid) + "/fd/";
        if (DIR* d = opendir(fds.c_str())) {
            while (const dirent* e = readdir(d)) {
                char target[4096];
                const ssize_t n = readlink((fds + e->d_name).c_str(), target, sizeof target);
                if (n > 0 && std::string(target, static_cast<size_t>(n)).rfind(dir + "/", 0) == 0) {
                    entry = fds + e->d_name;
                    break;
                }
            }
            closedir(d);
        }
    }
    return !entry.empty() && stat(entry.c_str(), &info) == 0 ? info.st_size : 0;
}

// One transfer: sz sends sample.bin to the receiver rxArgv running in dir. Both receivers are
// timed the same way, checked every 2 ms: the data from the first byte to the full size of the
// file they write, the whole from the start to the complete file under its name.
Timing TimeReceive(const std::string& label, const std::vector<std::string>& rxArgv,
                   const std::string& src, const std::string& dir, const std::string& received,
                   const std::string& data, bool tcp, bool& allOk) {
    int m, s;
    if (!(tcp ? OpenTcpPair(m, s) : OpenRawPty(m, s))) return {};
    const int devnull = open("/dev/null", O_WRONLY);
    const std::string path = dir + "/" + received;
    const auto t0 = Clock::now();
    const pid_t sz = Spawn({"sz", "-q", "sample.bin"}, src, s, s, devnull);
    const pid_t rx = Spawn(rxArgv, dir, m, m, devnull);
    Clock::time_point first{}, last{}, full{};
    std::string entry;
    int st = 0;
    for (;;) {
        const auto now = Clock::now();
        struct stat info;
        const off_t named = stat(path.c_str(), &info) == 0 ? info.st_size : 0;
        const auto size = static_cast<size_t>(std::max(named, OpenFileSize(rx, dir, entry)));
        if (first == Clock::time_point{} && size > 0) first = now;
        if (last == Clock::time_point{} && size == data.size()) last = now;
        if (full == Clock::time_point{} && static_cast<size_t>(named) == data.size()) full = now;
        if (waitpid(rx, &st, WNOHANG) == rx) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const auto done = Clock::now();
    WaitExit(sz);
    const int rc = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
    if (full == Clock::time_point{}) full = done;
    if (last == Clock::time_point{}) last = full;
    if (first == Clock::time_point{}) first = t0;
    const bool ok = rc == 0 && ReadAll(path) == data;
    allOk = allOk && ok;
    // A file that went from empty to full between two looks took at most one interval.
    const double dataSecs = std::max(Seconds(first, last), 0.002);
    const double rate = data.size() / 1e6 / dataSecs;
    std::printf(
        "%s: %.1f MB/s first to last byte (%.3f s), %.3f s from start to the complete file, "
        "%.2f s to exit, exit %d, %s\n",
        label.c_str(), rate, dataSecs, Seconds(t0, full), Seconds(t0, done), rc,
        ok ? "identical" : "DIFFERENT");
    std::remove(path.c_str());
    close(m);
    close(s);
    close(devnull);
    return {rate, Seconds(t0, full)};
}

}  // namespace

int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
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

    double ratio = 1e9;
    bool oursOk = true;
    for (const bool tcp : {false, true}) {
        const std::string line = tcp ? "tcp" : "pty";
        if (!only.empty() && only != line) continue;
        std::vector<double> oRate, oTime, pRate, pTime;
        for (int round = 0; round < rounds; ++round) {
            const Timing a =
                TimeReceive(line + " ours (qx-rz)", {binDir + "qx-rz", "-w", "18", ours}, src, ours,
                            "SAMPLE.BIN", data, tcp, oursOk);
            bool peerOk = true;
            const Timing b = TimeReceive(line + " lrzsz rz", {"rz", "-q", "-y"}, src, peer,
                                         "sample.bin", data, tcp, peerOk);
            oRate.push_back(a.rate);
            oTime.push_back(a.complete);
            pRate.push_back(b.rate);
            pTime.push_back(b.complete);
        }
        std::printf(
            "%s best: ours %.1f MB/s, %.3f s to the complete file; lrzsz rz %.1f MB/s, %.3f s\n",
            line.c_str(), *std::max_element(oRate.begin(), oRate.end()),
            *std::min_element(oTime.begin(), oTime.end()),
            *std::max_element(pRate.begin(), pRate.end()),
            *std::min_element(pTime.begin(), pTime.end()));
        const double oursRate = Median(oRate), oursTime = Median(oTime);
        const double rzRate = Median(pRate), rzTime = Median(pTime);
        std::printf(
            "%s median: ours %.1f MB/s, %.3f s to the complete file; lrzsz rz %.1f MB/s, "
            "%.3f s\n",
            line.c_str(), oursRate, oursTime, rzRate, rzTime);
        const double rateRatio = rzRate > 0 ? oursRate / rzRate : 0;
        const double timeRatio = oursTime > 0 ? 1.5 * rzTime / oursTime : 0;
        std::printf("%s: data rate ours/rz %.2f, 1.5 x rz time / ours %.2f (medians)\n",
                    line.c_str(), rateRatio, timeRatio);
        ratio = std::min({ratio, rateRatio, timeRatio});
    }
    std::string cleanup = "rm -rf " + root;
    if (std::system(cleanup.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", root.c_str());
    std::printf("ratio: %.2f\n", oursOk ? ratio : 0.0);
    return 0;
}
