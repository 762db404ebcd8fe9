#include "modem_lines.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "platform/posix_io.h"

namespace qx {

namespace {

namespace fs = std::filesystem;

// The kernel creates ttyS0..ttyS31 whether or not a UART exists; only those whose driver
// reports a port type are real. A port we may not open is kept, so that dialling it gives a
// clear permission error instead of a silently missing line.
bool HasUart(const std::string& path) {
    UniqueFd fd(RetryOnEintr(
        [&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }));
    if (!fd) return errno == EACCES || errno == EPERM;
    struct serial_struct info {};
    if (::ioctl(fd.get(), TIOCGSERIAL, &info) != 0) return true;  // not an 8250-style driver
    return info.type != PORT_UNKNOWN;
}

std::vector<std::string> DevicesMatching(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> found;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) == 0) found.push_back(it->path().string());
    }
    // ttyS10 after ttyS9.
    std::sort(found.begin(), found.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return found;
}

}  // namespace

std::vector<std::string> ListModemLines() {
    std::vector<std::string> lines;
    std::set<std::string> seen;  // resolved device paths already listed
    auto add = [&](const std::string& path) {
        if (path.empty()) return;
        std::error_code ec;
        std::string real = fs::canonical(path, ec).string();
        if (ec) real = path;  // listed anyway: the simulator may be between two ptys
        if (!seen.insert(real).second) return;
        lines.push_back(path);
    };

    if (const char* env = std::getenv("QUORVEX_LINES")) {
        std::string list = env;
        size_t start = 0;
        while (start <= list.size()) {
            size_t colon = list.find(':', start);
            if (colon == std::string::npos) colon = list.size();
            add(list.substr(start, colon - start));
            start = colon + 1;
        }
    }
    for (const std::string& link : DevicesMatching("/dev/serial/by-id", "")) add(link);
    for (const char* prefix : {"ttyUSB", "ttyACM"}) {
        for (const std::string& dev : DevicesMatching("/dev", prefix)) add(dev);
    }
    for (const std::string& dev : DevicesMatching("/dev", "ttyS")) {
        if (HasUart(dev)) add(dev);
    }
    return lines;
}

}  // namespace qx
