// A 64 MiB entry is extracted by the command-line extractor with memory far below its size:
// the archive and the entry are streamed, never held whole.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "zip_test_util.h"

extern char** environ;

using namespace zxtest;

namespace {

// Runs argv as a child; returns its exit status and peak resident size in KiB.
std::pair<int, long> RunMeasured(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return {-1, 0};
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid) return {-1, 0};
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss};
}

bool SameFile(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::vector<char> ba(1 << 20), bb(1 << 20);
    while (fa && fb) {
        fa.read(ba.data(), ba.size());
        fb.read(bb.data(), bb.size());
        if (fa.gcount() != fb.gcount() ||
            !std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin()))
            return false;
    }
    return fa.eof() && fb.eof();
}

TEST(ZipLargeFile, SixtyFourMebibyteEntryExtractsWithBoundedMemory) {
    ScratchDir dir;
    const std::string src = dir / "src", out = dir / "out";
    fs::create_directories(out);
    constexpr size_t kSize = 64u << 20;
    {
        // Text-like: 4 MiB of words, repeated with a changing line so matches span the window.
        const std::string block = TextLike(4u << 20, 42);
        fs::create_directories(src);
        std::ofstream f(src + "/big.txt", std::ios::binary);
        for (size_t done = 0, i = 0; done < kSize; ++i) {
            const std::string mark = "block " + std::to_string(i) + "\n";
            f << mark;
            const size_t n = std::min(block.size(), kSize - done - mark.size());
            f.write(block.data(), static_cast<std::streamsize>(n));
            done += mark.size() + n;
        }
    }
    ASSERT_EQ(kSize, fs::file_size(src + "/big.txt"));
    ASSERT_EQ(0, RunIn(src, "zip -q -1 ../big.zip big.txt"));

    const auto [status, peakKiB] =
        RunMeasured({std::string(QX_BIN_DIR) + "/qx-unzip", dir / "big.zip", out});
    ASSERT_EQ(0, status);
    EXPECT_TRUE(SameFile(src + "/big.txt", out + "/big.txt"));
    // Far below the entry's 64 MiB even with sanitizer overhead.
    EXPECT_LT(peakKiB, 40 * 1024) << "peak resident size " << peakKiB << " KiB";
}

}  // namespace
