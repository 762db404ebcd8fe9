// Helpers for the ZIP tests: a scratch directory, running Info-ZIP zip/unzip, file contents.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace zxtest {

namespace fs = std::filesystem;

class ScratchDir {
  public:
    ScratchDir() {
        std::random_device rd;
        path_ =
            fs::temp_directory_path() / ("qxzip-" + std::to_string(rd()) + std::to_string(rd()));
        fs::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    std::string Path() const { return path_.string(); }

  private:
    fs::path path_;
};

inline void WriteFile(const std::string& path, const std::string& data) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << data;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Runs a shell command in dir; returns its exit status.
inline int RunIn(const std::string& dir, const std::string& command) {
    const std::string line = "cd '" + dir + "' && " + command + " >/dev/null 2>&1";
    const int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Text-like data: words from a small vocabulary, deterministic for a seed.
inline std::string TextLike(size_t size, uint32_t seed) {
    static const char* const kWords[] = {"wind",  "rain ", "cloud", "sun",    "temperature",
                                         "north", "south", "front", "shower", "pressure",
                                         "\n",    "1013",  "hPa",   "radar",  "forecast"};
    std::mt19937 rng(seed);
    std::string s;
    s.reserve(size + 16);
    while (s.size() < size) {
        s += kWords[rng() % 15];
        s += ' ';
    }
    s.resize(size);
    return s;
}

inline std::string RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(size, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

inline std::vector<std::string> FileNames(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace zxtest
