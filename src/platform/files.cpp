#include "files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "posix_io.h"

namespace qx {

namespace {

char Lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

bool MatchFrom(const char* n, const char* m) {
    // Iterative wildcard match with one backtrack point: linear for the masks we use.
    const char* starM = nullptr;
    const char* starN = nullptr;
    while (*n != '\0') {
        if (*m == '*') {
            starM = m++;
            starN = n;
        } else if (*m == '?' || (*m != '\0' && Lower(*m) == Lower(*n))) {
            ++m;
            ++n;
        } else if (starM != nullptr) {
            m = starM + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (*m == '*') ++m;
    return *m == '\0';
}

std::string FindNoCase(const std::string& dir, const std::string& name) {
    DIR* d = opendir(dir.empty() ? "." : dir.c_str());
    if (d == nullptr) return {};
    std::string found;
    while (struct dirent* e = readdir(d)) {
        if (EqualNoCase(e->d_name, name)) {
            found = e->d_name;
            break;
        }
    }
    closedir(d);
    return found;
}

}  // namespace

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::string BareName(const std::string& path) {
    const size_t cut = path.find_last_of("/\\:");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool MatchesMask(const std::string& name, const std::string& mask) {
    if (mask == "*.*" || mask == "*") return true;
    return MatchFrom(name.c_str(), mask.c_str());
}

std::string ResolveCase(const std::string& path) {
    struct stat st;
    if (path.empty() || lstat(path.c_str(), &st) == 0) return path;
    std::string result;
    size_t pos = 0;
    if (path[0] == '/') {
        result = "/";
        pos = 1;
    }
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        std::string part = path.substr(pos, next - pos);
        if (!part.empty()) {
            std::string candidate = result.empty() ? part : JoinPath(result, part);
            if (part != "." && part != ".." && lstat(candidate.c_str(), &st) != 0) {
                std::string match = FindNoCase(result, part);
                if (!match.empty()) candidate = result.empty() ? match : JoinPath(result, match);
            }
            result = candidate;
        }
        pos = next + 1;
    }
    if (!path.empty() && path.back() == '/' && (result.empty() || result.back() != '/'))
        result += '/';
    return result;
}

std::vector<DirEntry> ListDirectory(const std::string& dir, const std::string& mask) {
    std::vector<DirEntry> out;
    DIR* d = opendir(dir.empty() ? "." : dir.c_str());
    if (d == nullptr) return out;
    while (struct dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == ".." || !MatchesMask(name, mask)) continue;
        DirEntry entry;
        entry.Name = name;
        struct stat st;
        if (stat(JoinPath(dir, name).c_str(), &st) == 0) {
            entry.Size = st.st_size;
            entry.ModifyTime = st.st_mtime;
            entry.IsDirectory = S_ISDIR(st.st_mode);
            entry.IsRegular = S_ISREG(st.st_mode);
        }
        entry.IsHidden = name[0] == '.';
        out.push_back(std::move(entry));
    }
    closedir(d);
    std::sort(out.begin(), out.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.Name < b.Name; });
    return out;
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool RemoveFile(const std::string& path) {
    return unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool SetModifyTime(const std::string& path, std::time_t t) {
    struct timespec times[2];
    times[0].tv_sec = t;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool GetFileInfo(const std::string& path, DirEntry& out) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return false;
    out.Name = BareName(path);
    out.Size = st.st_size;
    out.ModifyTime = st.st_mtime;
    out.IsDirectory = S_ISDIR(st.st_mode);
    out.IsRegular = S_ISREG(st.st_mode);
    out.IsHidden = !out.Name.empty() && out.Name[0] == '.';
    return true;
}

bool CopyFileReplacing(const std::string& source, const std::string& destination,
                       std::string* errorText) {
    auto fail = [&](const std::string& what, int err) {
        if (errorText != nullptr) *errorText = what + ": " + std::strerror(err);
        return false;
    };
    UniqueFd in(RetryOnEintr([&] { return ::open(source.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!in) return fail(source, errno);
    std::string temp = destination + ".qxtmp";
    UniqueFd out(RetryOnEintr(
        [&] { return ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); }));
    if (!out) return fail(temp, errno);
    char buf[65536];
    for (;;) {
        ssize_t n = ReadSome(in.get(), buf, sizeof buf);
        if (n < 0) {
            int err = errno;
            unlink(temp.c_str());
            return fail(source, err);
        }
        if (n == 0) break;
        if (!WriteAll(out.get(), buf, static_cast<size_t>(n))) {
            int err = errno;
            unlink(temp.c_str());
            return fail(temp, err);
        }
    }
    if (fsync(out.get()) != 0 || out.Close() != 0) {
        int err = errno;
        unlink(temp.c_str());
        return fail(temp, err);
    }
    if (rename(temp.c_str(), destination.c_str()) != 0) {
        int err = errno;
        unlink(temp.c_str());
        return fail(destination, err);
    }
    return true;
}

bool DirectoryWritable(const std::string& path) {
    return !path.empty() && DirectoryExists(path) && ::access(path.c_str(), W_OK | X_OK) == 0;
}

bool WriteFileReplacing(const std::string& path, const std::string& content) {
    const std::string temp = path + ".qxtmp";
    UniqueFd out(RetryOnEintr(
        [&] { return ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); }));
    if (!out) return false;
    if (!WriteAll(out.get(), content.data(), content.size()) || fsync(out.get()) != 0 ||
        out.Close() != 0 || rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& content) {
    content.clear();
    UniqueFd in(RetryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!in) return false;
    char buf[4096];
    for (;;) {
        const ssize_t n = ReadSome(in.get(), buf, sizeof buf);
        if (n < 0) return false;
        if (n == 0) return true;
        content.append(buf, static_cast<size_t>(n));
    }
}

int64_t FreeDiskSpace(const std::string& path) {
    struct statvfs sv;
    if (statvfs(path.empty() ? "." : path.c_str(), &sv) != 0) return -1;
    return static_cast<int64_t>(sv.f_bavail) * static_cast<int64_t>(sv.f_frsize);
}

}  // namespace qx
