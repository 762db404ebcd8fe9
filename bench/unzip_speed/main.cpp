// Extraction speed: our qx-unzip against Info-ZIP `unzip -o -q` on the same two archives
// (one 64 MiB text-like file; 2000 small files), each run three times, best time counted.
// Prints both times and "ratio: unzip's time / ours" (higher is better for us).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string TextLike(size_t size, uint32_t seed) {
    static const char* const kWords[] = {"wind",   "rain",    "cloud", "sun",      "temperature",
                                         "north",  "south",   "front", "shower",   "pressure",
                                         "\n",     "1013",    "hPa",   "radar",    "forecast",
                                         "cirrus", "stratus", "gust",  "humidity", "visibility"};
    std::mt19937 rng(seed);
    std::string s;
    s.reserve(size + 16);
    while (s.size() < size) {
        s += kWords[rng() % 20];
        s += (rng() % 7 == 0) ? std::to_string(rng() % 1000) + " " : " ";
    }
    s.resize(size);
    return s;
}

int Shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str());
}

double TimeBest(const std::string& command, const std::string& outDir) {
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
        fs::remove_all(outDir);
        fs::create_directories(outDir);
        const auto t0 = std::chrono::steady_clock::now();
        if (Shell(command) != 0) {
            std::fprintf(stderr, "failed: %s\n", command.c_str());
            std::exit(1);
        }
        best = std::min(
            best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

}  // namespace

int main() {
    const fs::path dir =
        fs::temp_directory_path() / ("qx-unzip-speed-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir / "big");
    fs::create_directories(dir / "small");
    {
        std::ofstream f(dir / "big/big.txt", std::ios::binary);
        for (uint32_t i = 0; i < 16; ++i) f << TextLike(4u << 20, i);
    }
    for (int i = 0; i < 2000; ++i) {
        std::ofstream f(dir / "small" / ("RN" + std::to_string(10000 + i) + ".INF"),
                        std::ios::binary);
        f << TextLike(200 + (i * 37) % 3000, 1000 + i);
    }
    const std::string d = dir.string();
    if (Shell("cd '" + d + "/big' && zip -q ../big.zip big.txt") != 0 ||
        Shell("cd '" + d + "/small' && zip -q ../small.zip *.INF") != 0) {
        std::fprintf(stderr, "zip failed\n");
        return 1;
    }
    const std::string ours = std::string(QX_BIN_DIR) + "/qx-unzip";
    double sumOurs = 0, sumPeer = 0;
    for (const char* name : {"big", "small"}) {
        const std::string archive = d + "/" + name + ".zip", out = d + "/out";
        const double tOurs = TimeBest("'" + ours + "' '" + archive + "' '" + out + "'", out);
        const double tPeer = TimeBest("unzip -o -q '" + archive + "' -d '" + out + "'", out);
        std::printf("%-6s ours: %.3f s  unzip: %.3f s  (unzip / ours %.2f)\n", name, tOurs, tPeer,
                    tPeer / tOurs);
        sumOurs += tOurs;
        sumPeer += tPeer;
    }
    fs::remove_all(dir);
    std::printf("total  ours: %.3f s  unzip: %.3f s\n", sumOurs, sumPeer);
    std::printf("ratio: %.2f\n", sumPeer / sumOurs);
    return 0;
}
