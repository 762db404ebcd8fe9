// Shared helpers of the database tests: a temporary database tree, info and station files
// written byte by byte, the sqlite3 command as an independent reader, and a log recorder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "support/date_time.h"
#include "support/log.h"

namespace qx::test {

namespace fs = std::filesystem;

// A fresh directory below the system's temporary directory, removed afterwards.
class TempTree {
  public:
    TempTree() {
        std::string pattern = (fs::temp_directory_path() / "qxdb-XXXXXX").string();
        char* made = mkdtemp(pattern.data());
        if (made == nullptr) throw std::runtime_error("mkdtemp failed");
        root_ = made;
    }
    ~TempTree() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    std::string Path(const std::string& relative = "") const {
        return relative.empty() ? root_.string() + "/" : (root_ / relative).string();
    }
    std::string MakeDir(const std::string& relative) const {
        fs::create_directories(root_ / relative);
        return Path(relative) + "/";
    }

  private:
    fs::path root_;
};

inline void PutInt32(std::vector<unsigned char>& b, size_t at, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(u >> (8 * i));
}

inline void PutFloat(std::vector<unsigned char>& b, size_t at, float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    PutInt32(b, at, static_cast<int32_t>(u));
}

inline void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct InfoFields {
    int32_t VersionNo = 1;
    int32_t Date = 20240101;
    int32_t Time = 120000;
    int32_t Regio = 0;
    std::string FileName;
    std::string InfoString = "info";
};

inline std::vector<unsigned char> InfoBytes(const InfoFields& f) {
    std::vector<unsigned char> b(80, 0);
    PutInt32(b, 0, f.VersionNo);
    PutInt32(b, 4, f.Date);
    PutInt32(b, 8, f.Time);
    PutInt32(b, 12, f.Regio);
    std::memcpy(b.data() + 28, f.FileName.data(), std::min<size_t>(16, f.FileName.size()));
    std::memcpy(b.data() + 44, f.InfoString.data(), std::min<size_t>(36, f.InfoString.size()));
    return b;
}

// Date (YYYYMMDD) and time (HHMMSS) of now minus the given number of days.
inline std::pair<int32_t, int32_t> PackedDaysAgo(double days) {
    const DateTimeParts p = DecodeDateTime(NowLocal() - days);
    return {p.Year * 10000 + p.Month * 100 + p.Day, p.Hour * 10000 + p.Minute * 100 + p.Second};
}

// Runs the sqlite3 command on a database file and returns its output (rows separated by
// newlines, columns by "|").
inline std::string Sqlite3(const std::string& dbFile, const std::string& sql) {
    const std::string script = fs::temp_directory_path() / ("qxdb-sql-" + std::to_string(getpid()));
    WriteText(script, sql + "\n");
    const std::string command = "sqlite3 -batch '" + dbFile + "' < '" + script + "' 2>&1";
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    std::remove(script.c_str());
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

// Records log lines for the life of the object.
class LogRecorder {
  public:
    LogRecorder() {
        old_ = SetLogSink([this](const std::string& text, int level) {
            lines_.push_back({text, level});
        });
    }
    ~LogRecorder() { SetLogSink(old_); }
    LogRecorder(const LogRecorder&) = delete;
    LogRecorder& operator=(const LogRecorder&) = delete;

    bool Has(const std::string& text, int level) const {
        for (const auto& [t, l] : lines_) {
            if (t == text && l == level) return true;
        }
        return false;
    }
    int CountContaining(const std::string& part, int level) const {
        int n = 0;
        for (const auto& [t, l] : lines_) {
            if (l == level && t.find(part) != std::string::npos) ++n;
        }
        return n;
    }
    const std::vector<std::pair<std::string, int>>& Lines() const { return lines_; }

  private:
    LogSink old_;
    std::vector<std::pair<std::string, int>> lines_;
};

}  // namespace qx::test
