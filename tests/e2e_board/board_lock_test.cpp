// The line provider's view of other programs' locks and of the kernel's serial devices.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/modem_lines.h"
#include "platform/modem_lock.h"

namespace {

namespace fs = std::filesystem;

std::string Binary(int32_t pid) {
    std::string s(4, '\0');
    std::memcpy(s.data(), &pid, 4);
    return s;
}

TEST(ModemLockPid, BothFormsAreRead) {
    struct Case {
        std::string text;
        int pid;
    } cases[] = {
        {"       346\n", 346},  // the HDB form
        {"346\n", 346},         // a short ASCII pid in four bytes is not binary
        {"1234", 1234},         // four digits, no newline
        {"  1\n", 1},
        {Binary(4321), 4321},               // the old binary form
        {std::string("10\0\0", 4), 12337},  // binary, though it starts with digits
        {Binary(-5), 0},
        {"", 0},
        {"none\n\n", 0},
        {"99999999999\n", 0},  // beyond any pid
    };
    for (const Case& c : cases) EXPECT_EQ(qx::ParseLockPid(c.text), c.pid) << c.text;
}

TEST(ModemLockPid, LiveHolderIsReportedAndKept) {
    const fs::path dir = fs::temp_directory_path() / ("qxlock" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string device = (dir / "ttyQX0").string();
    std::ofstream(dir / qx::ModemLockName(device)) << "  1\n";  // init never dies
    EXPECT_EQ(qx::ModemLockHolder(dir.string(), device), 1);
    EXPECT_TRUE(qx::SweepStaleModemLocks(dir.string()).empty());
    qx::TModemLock lock;
    int holder = 0;
    EXPECT_EQ(lock.Acquire(dir.string(), device, holder), -1);
    EXPECT_EQ(holder, 1);
    fs::remove_all(dir);
}

// A tree laid out as /sys/class/tty is: virtual ttys without a device, serial-core ports with
// a type (0: no UART), USB adapters without one.
TEST(SerialDevices, ListedFromWhatTheKernelPublishes) {
    const fs::path root = fs::temp_directory_path() / ("qxsys" + std::to_string(::getpid()));
    const fs::path sys = root / "sys", dev = root / "dev";
    fs::create_directories(dev);
    auto tty = [&](const std::string& name, const char* type, bool device = true) {
        fs::create_directories(sys / name);
        if (device) fs::create_directories(sys / name / "device");
        if (type != nullptr) std::ofstream(sys / name / "type") << type << "\n";
        std::ofstream(dev / name);
    };
    tty("tty1", nullptr, false);
    tty("ptmx", nullptr, false);
    tty("ttyS0", "4");
    tty("ttyS1", "0");
    tty("ttyS10", "4");
    tty("ttyS2", "4");
    tty("ttyACM0", nullptr);
    tty("ttyUSB0", nullptr);
    fs::create_directories(sys / "ttyUSB1" / "device");  // no node in /dev: not usable
    const std::vector<std::string> expected = {(dev / "ttyUSB0").string(),
                                               (dev / "ttyACM0").string(), (dev / "ttyS0").string(),
                                               (dev / "ttyS2").string(), (dev / "ttyS10").string()};
    EXPECT_EQ(qx::ListSerialDevices(sys.string(), dev.string()), expected);
    fs::remove_all(root);
}

}  // namespace
