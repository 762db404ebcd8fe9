// Receive throughput of TCxComPort from a pseudo-terminal against plain read() of the same
// bytes through the same kind of pseudo-terminal, in the same run.
//
// Ours: the port on the pty's slave end, an avail handler taking every byte, one data trigger
// armed (a prompt that never comes). Peer: a loop of read() on a raw pty slave. A writer thread
// feeds the master end in both cases. Also prints the CPU time of our rounds (without the
// writer's) divided by their wall time: the number of cores the port keeps busy.
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "comm/com_port.h"
#include "platform/event_loop.h"

namespace {

constexpr size_t kTotal = size_t{48} << 20;
constexpr size_t kChunk = 4096;
constexpr int kRounds = 9;

double CpuSeconds() {
    struct rusage ru {};
    ::getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

std::vector<char> MakeData() {
    std::vector<char> data(kTotal);
    std::mt19937 rng(42);
    for (char& c : data) c = static_cast<char>('a' + rng() % 26);  // the prompt never occurs
    return data;
}

double ThreadCpuSeconds() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void Feed(int master, const std::vector<char>& data) {
    for (size_t done = 0; done < data.size();) {
        ssize_t n = ::write(master, data.data() + done, std::min(kChunk, data.size() - done));
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

struct Pty {
    int master = -1, slave = -1;
    Pty() {
        ::openpty(&master, &slave, nullptr, nullptr, nullptr);
        struct termios t {};
        ::tcgetattr(slave, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave, TCSANOW, &t);
    }
    ~Pty() {
        ::close(master);
        ::close(slave);
    }
};

double PlainRead(const std::vector<char>& data) {
    Pty pty;
    auto start = std::chrono::steady_clock::now();
    std::thread writer([&] { Feed(pty.master, data); });
    std::vector<char> buf(8192);
    size_t got = 0;
    while (got < data.size()) {
        ssize_t n = ::read(pty.slave, buf.data(), buf.size());
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    writer.join();
    return static_cast<double>(got) / secs;
}

double ThroughPort(const std::vector<char>& data, double& cores, size_t& events) {
    Pty pty;
    qx::TCxComPort port;
    port.InSize = 20480;
    port.OutSize = 20480;
    port.TapiMode = qx::tmOn;
    size_t got = 0;
    std::vector<uint8_t> buf(8192);
    QEventLoop loop;
    port.OnTriggerAvail = [&](qx::TCxComPort& p, unsigned count) {
        p.GetBlock(buf.data(), count);
        got += count;
        ++events;
        if (got == data.size()) loop.quit();
    };
    port.SetTapiHandle(pty.slave);
    port.SetOpen(true);
    port.AddDataTrigger("NO CARRIER", false);
    double cpu0 = CpuSeconds();
    auto start = std::chrono::steady_clock::now();
    double writerCpu = 0;
    std::thread writer([&] {
        Feed(pty.master, data);
        writerCpu = ThreadCpuSeconds();
    });
    loop.exec();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    writer.join();
    cores = (CpuSeconds() - cpu0 - writerCpu) / secs;
    port.SetOpen(false);
    return static_cast<double>(got) / secs;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::vector<char> data = MakeData();
    std::vector<double> ours, peer;
    double maxCores = 0;
    size_t events = 0;
    // Alternating rounds, so a busy moment of the machine hits both alike. Both sides swing
    // widely from round to round on a small virtual machine (wake-up latencies); the median of
    // nine rounds is the steady figure, the best round shows what each can reach.
    for (int round = 0; round < kRounds; ++round) {
        const double plain = PlainRead(data);
        double cores = 0;
        size_t e = 0;
        const double o = ThroughPort(data, cores, e);
        std::printf(
            "round %d: plain read() %.1f MB/s, TCxComPort %.1f MB/s (%zu avail events, "
            "%.2f cores)\n",
            round + 1, plain / 1e6, o / 1e6, e, cores);
        peer.push_back(plain);
        ours.push_back(o);
        maxCores = std::max(maxCores, cores);
        events += e;
    }
    const double oursBest = *std::max_element(ours.begin(), ours.end());
    const double peerBest = *std::max_element(peer.begin(), peer.end());
    std::printf("bytes per round: %zu, rounds: %d\n", kTotal, kRounds);
    std::printf("plain read() from a pty: median %.1f MB/s, best %.1f MB/s\n", Median(peer) / 1e6,
                peerBest / 1e6);
    std::printf(
        "TCxComPort from a pty (avail handler, one data trigger): median %.1f MB/s, "
        "best %.1f MB/s\n",
        Median(ours) / 1e6, oursBest / 1e6);
    std::printf(
        "avail events: %.0f bytes each on average\n",
        static_cast<double>(kTotal) * kRounds / static_cast<double>(std::max<size_t>(events, 1)));
    std::printf("cores busy with the port (the writer thread not counted): at most %.2f\n",
                maxCores);
    std::printf("best round against best round: %.3f\n", oursBest / peerBest);
    std::printf("ratio: %.3f\n", Median(ours) / Median(peer));
    return 0;
}
