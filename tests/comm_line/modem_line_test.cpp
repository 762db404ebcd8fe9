// The modem line provider: result codes, lock files, line list, and the dialogue with a
// scripted modem on a pseudo-terminal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>

#include "fake_modem.h"
#include "line_test_support.h"
#include "platform/modem_line.h"
#include "platform/modem_lines.h"
#include "platform/modem_lock.h"
#include "platform/modem_result.h"

using namespace qx;
using linetest::PumpUntil;

namespace {

TEST(ModemResult, WordAndDigitCodesAreRecognisedAndNoiseIsNot) {
    struct Case {
        const char* line;
        ModemResult want;
    } cases[] = {
        {"OK", ModemResult::kOk},
        {"0", ModemResult::kOk},
        {"CONNECT", ModemResult::kConnect},
        {"CONNECT 33600/ARQ/V34/LAPM", ModemResult::kConnect},
        {"connect 2400", ModemResult::kConnect},
        {"CONNECTION LOST", ModemResult::kNone},
        {" BUSY ", ModemResult::kBusy},
        {"NO CARRIER", ModemResult::kNoCarrier},
        {"NO ANSWER", ModemResult::kNoAnswer},
        {"NO DIALTONE", ModemResult::kNoDialTone},
        {"NO DIAL TONE", ModemResult::kNoDialTone},
        {"ERROR", ModemResult::kError},
        {"RING", ModemResult::kRing},
        {"ATDT5551234", ModemResult::kNone},
        {"CARRIER 28800", ModemResult::kNone},
        {"PROTOCOL: LAPM", ModemResult::kNone},
        {"", ModemResult::kNone},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseModemResult(c.line), c.want) << c.line;
}

// A process id that surely belongs to no process: a child that has been reaped.
int DeadPid() {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

void WriteLock(const std::string& path, int pid) {
    std::ofstream(path) << std::string(10 - std::to_string(pid).size(), ' ') << pid << "\n";
}

TEST(ModemLock, SecondTakerIsRefusedWhileTheHolderLives) {
    std::string dir = linetest::MakeLockDir();
    TModemLock first, second;
    int holder = -1;
    ASSERT_EQ(first.Acquire(dir, "/dev/ttyS7", holder), 0);
    ASSERT_TRUE(first.Held());
    std::ifstream in(first.Path());
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text.size(), 11u) << "HDB format: ten digits and a newline";
    EXPECT_EQ(std::stoi(text), ::getpid());

    EXPECT_EQ(second.Acquire(dir, "/dev/ttyS7", holder), -1);
    EXPECT_EQ(holder, ::getpid());
    EXPECT_FALSE(second.Held());
    second.Release();  // must not remove the holder's file
    EXPECT_TRUE(std::filesystem::exists(first.Path()));
    first.Release();
    EXPECT_FALSE(std::filesystem::exists(dir + "/LCK..ttyS7"));
}

TEST(ModemLock, LockOfADeadProcessIsTakenOverAndSweptAtStart) {
    std::string dir = linetest::MakeLockDir();
    WriteLock(dir + "/LCK..ttyS3", DeadPid());
    WriteLock(dir + "/LCK..ttyS4", DeadPid());
    WriteLock(dir + "/LCK..ttyUSB0", ::getppid());  // alive
    std::ofstream(dir + "/not-a-lock") << "1\n";

    TModemLock lock;
    int holder = 0;
    EXPECT_EQ(lock.Acquire(dir, "/dev/ttyS3", holder), 0);
    EXPECT_TRUE(lock.Held());

    std::vector<std::string> removed = SweepStaleModemLocks(dir);
    EXPECT_EQ(removed, std::vector<std::string>{"LCK..ttyS4"});
    EXPECT_TRUE(std::filesystem::exists(dir + "/LCK..ttyS3")) << "our own live lock kept";
    EXPECT_TRUE(std::filesystem::exists(dir + "/LCK..ttyUSB0"));
    EXPECT_TRUE(std::filesystem::exists(dir + "/not-a-lock"));
}

TEST(ModemLock, TwoNamesOfOneDeviceShareALockAndAnUnwritableDirectoryIsNoError) {
    FakeModem modem;
    std::string dir = linetest::MakeLockDir();
    std::string link = dir + "/modem-link";
    std::filesystem::create_symlink(modem.Path(), link);
    EXPECT_EQ(ModemLockName(link), ModemLockName(modem.Path()));
    EXPECT_EQ(ModemLockName("/dev/pts/3"), "LCK..pts_3");
    EXPECT_EQ(ModemLockName("/dev/ttyS0"), "LCK..ttyS0");

    TModemLock lock;
    int holder = 0;
    EXPECT_EQ(lock.Acquire("/nonexistent-lock-dir", "/dev/ttyS0", holder), 0);
    EXPECT_FALSE(lock.Held());
}

TEST(ModemLines, ConfiguredLinesComeFirstAndOneDeviceIsListedOnce) {
    FakeModem a, b;
    std::string dir = linetest::MakeLockDir();
    std::string link = dir + "/to-a";
    std::filesystem::create_symlink(a.Path(), link);
    std::string env = link + ":" + b.Path() + "::" + a.Path();
    ::setenv("QUORVEX_LINES", env.c_str(), 1);
    std::vector<std::string> lines = ListModemLines();
    ::unsetenv("QUORVEX_LINES");
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], link);
    EXPECT_EQ(lines[1], b.Path());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), a.Path()), 0) << "same device as the link";
}

// Records what a line reports on the main thread.
struct Reports {
    std::vector<uint32_t> states;
    std::vector<uint32_t> modes;
    std::vector<std::pair<int, int>> replies;
    ModemLineEvents Events() {
        return {[this](uint32_t s, uint32_t m) {
                    states.push_back(s);
                    modes.push_back(m);
                },
                [this](int r, int res) { replies.emplace_back(r, res); }};
    }
    bool Has(uint32_t state) const {
        return std::find(states.begin(), states.end(), state) != states.end();
    }
};

class ModemLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        linetest::EnsureApp();
        lockDir = linetest::MakeLockDir();
        // Generous for a loaded machine: a modem that answers late must not look deaf.
        timings.CommandMs = 3000;
        timings.DialMs = 10000;
        timings.GuardMs = 100;
        timings.DtrDropMs = 100;
    }
    std::unique_ptr<TModemLine> OpenLine(const std::string& path) {
        int result = 0;
        std::string error;
        auto line = TModemLine::Open(path, lockDir, reports.Events(), result, error, timings);
        EXPECT_TRUE(line) << error;
        return line;
    }
    FakeModem modem;
    std::string lockDir;
    ModemTimings timings;
    Reports reports;
};

TEST_F(ModemLineTest, ConnectedCallGoesThroughDialToneAndDialingAndCarriesData) {
    modem.Script("5551234", "CONNECT 33600/ARQ");
    auto line = OpenLine(modem.Path());
    ASSERT_TRUE(line);
    int request = line->MakeCall("5551234");
    ASSERT_GT(request, 0);
    ASSERT_TRUE(PumpUntil([&] { return reports.Has(kLineCallConnected); }));
    EXPECT_EQ(reports.states,
              (std::vector<uint32_t>{kLineCallDialTone, kLineCallDialing, kLineCallConnected}));
    EXPECT_EQ(reports.replies.front(), std::make_pair(request, 0));
    EXPECT_EQ(line->CallState(), kLineCallConnected);
    EXPECT_EQ(line->ConnectText(), "CONNECT 33600/ARQ");
    std::vector<std::string> cmds = modem.Commands();
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_EQ(cmds[0], "ATZ");
    EXPECT_EQ(cmds[1], "ATE0V1Q0X4&C1&D2");
    EXPECT_EQ(cmds[2], "ATDT5551234");

    ASSERT_EQ(::write(line->Descriptor(), "hello", 5), 5);
    EXPECT_TRUE(PumpUntil([&] { return modem.DataReceived() == "hello"; }));
}

TEST_F(ModemLineTest, EachFailedResultEndsTheCallWithItsDisconnectMode) {
    struct Case {
        const char* result;
        uint32_t mode;
    } cases[] = {
        {"BUSY", kLineDisconnectBusy},
        {"NO CARRIER", kLineDisconnectUnavail},
        {"NO ANSWER", kLineDisconnectNoAnswer},
        {"NO DIALTONE", kLineDisconnectNoDialTone},
        {"NO DIAL TONE", kLineDisconnectNoDialTone},
        {"ERROR", kLineDisconnectBadAddress},
    };
    auto line = OpenLine(modem.Path());
    ASSERT_TRUE(line);
    for (const Case& c : cases) {
        modem.Script("42", c.result);
        reports = {};
        ASSERT_GT(line->MakeCall("42"), 0);
        ASSERT_TRUE(PumpUntil([&] { return reports.Has(kLineCallDisconnected); })) << c.result;
        EXPECT_EQ(reports.modes.back(), c.mode) << c.result;
        // The line is reused: drop, wait for idle, forget the call.
        int drop = line->Drop();
        ASSERT_TRUE(PumpUntil([&] { return reports.Has(kLineCallIdle); })) << c.result;
        EXPECT_EQ(reports.replies.back(), std::make_pair(drop, 0));
        line->Deallocate();
    }
}

// A call queued while the worker starts may be taken before the worker first waits: its
// wake-up must not be left over to cut the dialogue short. The calls are queued at staggered
// moments of the worker's start.
TEST_F(ModemLineTest, CallPlacedRightAfterTheOpenIsCarriedOut) {
    modem.Script("42", "BUSY");
    for (int i = 0; i < 40; ++i) {
        reports = {};
        auto line = OpenLine(modem.Path());
        ASSERT_TRUE(line);
        const auto queueAt = std::chrono::steady_clock::now() + std::chrono::microseconds(5 * i);
        while (std::chrono::steady_clock::now() < queueAt) {
        }
        ASSERT_GT(line->MakeCall("42"), 0);
        ASSERT_TRUE(PumpUntil([&] { return reports.Has(kLineCallDisconnected); })) << i;
        EXPECT_EQ(reports.modes.back(), kLineDisconnectBusy);
    }
}

TEST_F(ModemLineTest, SilentDialTimesOutAndTheHangUpAbortsTheDial) {
    timings.DialMs = 300;
    auto line = OpenLine(modem.Path());
    ASSERT_TRUE(line);
    ASSERT_GT(line->MakeCall("777"), 0);
    ASSERT_TRUE(PumpUntil([&] { return reports.Has(kLineCallDisconnected); }));
    EXPECT_EQ(reports.modes.back(), kLineDisconnectNoAnswer);
    line->Drop();
    ASSERT_TRUE(PumpUntil([&] { return reports.Has(kLineCallIdle); }));
    // The modem was still dialling: it must have been told to stop and to go on hook.
    std::vector<std::string> cmds = modem.Commands();
    EXPECT_EQ(cmds.back(), "ATH0");
}

TEST_F(ModemLineTest, DropWhileDiallingEndsTheDialPromptly) {
    auto line = OpenLine(modem.Path());
    ASSERT_TRUE(line);
    ASSERT_GT(line->MakeCall("777"), 0);  // never answered
    ASSERT_TRUE(PumpUntil([&] { return reports.Has(kLineCallDialing); }));
    auto start = std::chrono::steady_clock::now();
    line->Drop();
    ASSERT_TRUE(PumpUntil([&] { return reports.Has(kLineCallIdle); }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4))
        << "the drop waited for the dial time-out";
    EXPECT_FALSE(reports.Has(kLineCallDisconnected));
}

TEST_F(ModemLineTest, UnansweredResetIsRetriedOnceThenTheCallFails) {
    modem.Script("1", "CONNECT 9600");
    modem.IgnoreResets(1);
    auto line = OpenLine(modem.Path());
    ASSERT_TRUE(line);
    ASSERT_GT(line->MakeCall("1"), 0);
    ASSERT_TRUE(PumpUntil([&] { return reports.Has(kLineCallConnected); }));
    line.reset();

    FakeModem deaf;
    deaf.IgnoreResets(2);
    reports = {};
    line = OpenLine(deaf.Path());
    ASSERT_TRUE(line);
    ASSERT_GT(line->MakeCall("1"), 0);
    ASSERT_TRUE(PumpUntil([&] { return reports.Has(kLineCallDisconnected); }));
    EXPECT_EQ(reports.modes.back(), kLineDisconnectUnavail);
    EXPECT_FALSE(reports.Has(kLineCallDialing));
    EXPECT_EQ(deaf.Commands(), (std::vector<std::string>{"ATZ", "ATZ"}));
}

TEST_F(ModemLineTest, ConnectedCallOnAPseudoTerminalHangsUpWithEscapeAndAth0) {
    modem.Script("9", "CONNECT 14400");
    auto line = OpenLine(modem.Path());
    ASSERT_TRUE(line);
    ASSERT_GT(line->MakeCall("9"), 0);
    ASSERT_TRUE(PumpUntil([&] { return reports.Has(kLineCallConnected); }));
    line->Drop();
    ASSERT_TRUE(PumpUntil([&] { return reports.Has(kLineCallIdle); }));
    EXPECT_EQ(modem.DataReceived(), "+++");
    EXPECT_EQ(modem.Commands().back(), "ATH0");
    EXPECT_TRUE(modem.Closed());
}

// The port saw "NO CARRIER": the modem is in command mode already, and an escape would only
// wait for an OK that never comes.
TEST_F(ModemLineTest, DropAfterNoCarrierSkipsTheEscape) {
    modem.Script("9", "CONNECT 14400");
    auto line = OpenLine(modem.Path());
    ASSERT_TRUE(line);
    ASSERT_GT(line->MakeCall("9"), 0);
    ASSERT_TRUE(PumpUntil([&] { return reports.Has(kLineCallConnected); }));
    modem.LoseCarrier();
    line->NoteCommandMode();
    line->Drop();
    ASSERT_TRUE(PumpUntil([&] { return reports.Has(kLineCallIdle); }));
    // In command mode an escape would have run into the next command ("+++ATH0").
    EXPECT_EQ(modem.Commands().back(), "ATH0");
}

TEST_F(ModemLineTest, RemoteHangUpEndsAConnectedCall) {
    modem.Script("9", "CONNECT");
    auto line = OpenLine(modem.Path());
    ASSERT_TRUE(line);
    ASSERT_GT(line->MakeCall("9"), 0);
    ASSERT_TRUE(PumpUntil([&] { return reports.Has(kLineCallConnected); }));
    modem.HangUp();
    ASSERT_TRUE(PumpUntil([&] { return reports.Has(kLineCallDisconnected); }));
    EXPECT_EQ(reports.modes.back(), kLineDisconnectNormal);
    line->Drop();
    EXPECT_TRUE(PumpUntil([&] { return reports.Has(kLineCallIdle); }));
}

TEST_F(ModemLineTest, LockedLineCannotBeOpenedTwiceEvenWithoutLockFiles) {
    auto first = OpenLine(modem.Path());
    ASSERT_TRUE(first);
    for (const std::string& dir : {lockDir, std::string("/nonexistent-lock-dir")}) {
        int result = 0;
        std::string error;
        auto second = TModemLine::Open(modem.Path(), dir, {}, result, error, timings);
        EXPECT_FALSE(second) << dir;
        EXPECT_EQ(result, -EBUSY) << dir;
        EXPECT_NE(error.find(modem.Path()), std::string::npos) << error;
    }
    first.reset();
    EXPECT_TRUE(std::filesystem::is_empty(lockDir)) << "lock file left behind";
    EXPECT_TRUE(OpenLine(modem.Path()));
}

TEST_F(ModemLineTest, OpenErrorsNameTheDevice) {
    int result = 0;
    std::string error;
    EXPECT_FALSE(TModemLine::Open("/dev/no-such-modem", lockDir, {}, result, error, timings));
    EXPECT_EQ(result, -ENOENT);
    EXPECT_NE(error.find("/dev/no-such-modem"), std::string::npos);

    std::string plain = lockDir + "/plain-file";
    std::ofstream(plain) << "x";
    EXPECT_FALSE(TModemLine::Open(plain, lockDir, {}, result, error, timings));
    EXPECT_NE(error.find("not a serial device"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(lockDir + "/" + ModemLockName(plain)));
}

TEST_F(ModemLineTest, NumberThatWouldInjectModemCommandsIsRefused) {
    auto line = OpenLine(modem.Path());
    ASSERT_TRUE(line);
    EXPECT_EQ(line->MakeCall("123\rATH"), TModemLine::kErrInvalid);
    EXPECT_EQ(line->MakeCall(""), TModemLine::kErrInvalid);
    EXPECT_FALSE(line->HasCall());
    EXPECT_GT(line->MakeCall("0,020-555 12"), 0);
    EXPECT_EQ(line->MakeCall("1"), TModemLine::kErrCallExists);
}

}  // namespace

namespace {

TEST_F(ModemLineTest, DropQueuedRightBehindTheCallIsNotHeldUpByTheDialogue) {
    timings = ModemTimings();  // the real time-outs: a missed drop would wait out the dial
    FakeModem slow;
    auto line = OpenLine(slow.Path());
    ASSERT_TRUE(line);
    auto start = std::chrono::steady_clock::now();
    ASSERT_GT(line->MakeCall("777"), 0);
    ASSERT_GT(line->Drop(), 0);
    ASSERT_TRUE(PumpUntil([&] { return reports.Has(kLineCallIdle); }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

}  // namespace
