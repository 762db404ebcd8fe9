#include "modem_lines.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <tuple>

namespace qx {

namespace {

namespace fs = std::filesystem;

// USB adapters and modems first: on a machine that has one, that is where the modem is.
int Rank(const std::string& name) {
    if (name.rfind("ttyUSB", 0) == 0) return 0;
    if (name.rfind("ttyACM", 0) == 0) return 1;
    return 2;
}

// ttyS10 after ttyS9.
bool NaturalLess(const std::string& a, const std::string& b) {
    return std::make_tuple(Rank(a), a.size(), a) < std::make_tuple(Rank(b), b.size(), b);
}

// A tty the kernel lists with a device behind it. The serial core also publishes the port
// type: the ttyS entries exist whether or not a UART does, and type 0 means there is none.
bool IsSerialDevice(const fs::path& entry) {
    std::error_code ec;
    if (!fs::exists(entry / "device", ec)) return false;  // virtual consoles, pty, ptmx
    std::ifstream type(entry / "type");
    if (!type) return true;  // not a serial-core driver (USB serial, ACM modems)
    int value = 0;
    return (type >> value) && value != 0;
}

std::vector<std::string> DevicesMatching(const std::string& dir) {
    std::vector<std::string> found;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        found.push_back(it->path().string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace

std::vector<std::string> ListSerialDevices(const std::string& sysClassTty,
                                           const std::string& devDir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(sysClassTty, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (IsSerialDevice(it->path()) && fs::exists(fs::path(devDir) / name)) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end(), NaturalLess);
    for (std::string& n : names) n = (fs::path(devDir) / n).string();
    return names;
}

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
    for (const std::string& link : DevicesMatching("/dev/serial/by-id")) add(link);
    for (const std::string& dev : ListSerialDevices("/sys/class/tty", "/dev")) add(dev);
    return lines;
}

}  // namespace qx
