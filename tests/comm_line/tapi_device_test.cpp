// The line device against the board simulator: the order of its events for each way a call
// ends, the once-only failure report, and the refusals (busy line device, locked modem).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "child_process.h"
#include "comm/com_port.h"
#include "comm/cx_exception.h"
#include "comm/tapi_device.h"
#include "line_test_support.h"
#include "platform/modem_lock.h"

using namespace qx;
using linetest::PumpFor;
using linetest::PumpUntil;

namespace {

class TapiDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        linetest::EnsureApp();
        dir = linetest::MakeLockDir();
        link = dir + "/modem";
        sim = std::make_unique<Child>(std::vector<std::string>{
            std::string(QX_BIN_DIR) + "/bbs-sim", "--link", link, "--number", "555=busy",
            "--number", "777=silent", "--number", "666=no-carrier", "--default", "connect:33600",
            "--prompt-delay", "100", "--hangup-delay", "100"});
        ASSERT_TRUE(PumpUntil([&] { return std::filesystem::exists(link); }, 10000));
        ::setenv("QUORVEX_LINES", link.c_str(), 1);
        port.TapiMode = tmOn;
        port.AutoOpen = false;
        tapi = MakeDevice(events);
    }
    void TearDown() override {
        tapi.reset();
        ::unsetenv("QUORVEX_LINES");
    }

    std::unique_ptr<TCxTapiDevice> MakeDevice(std::vector<std::string>& log) {
        auto t = std::make_unique<TCxTapiDevice>(&port);
        t->LockDirectory = dir;
        t->SelectedDevice = link;
        t->MaxAttempts = 0;
        t->RetryWait = 5;
        t->Timings.GuardMs = 1100;
        t->OnTapiLog = [&log](TTapiLogCode c) {
            static const char* names[] = {"None",   "CallStart", "CallFinish", "Dial",
                                          "Accept", "Answer",    "Connect",    "Cancel",
                                          "Drop",   "Busy",      "DialFail",   "Digit"};
            log.push_back(names[c]);
            ProcessPendingMessages();  // as the program's handler does
        };
        t->OnTapiPortOpen = [&log] { log.push_back("PortOpen"); };
        t->OnTapiPortClose = [&log] { log.push_back("PortClose"); };
        t->OnTapiFail = [&log] { log.push_back("Fail"); };
        t->OnTapiConnect = [&log] { log.push_back("OnConnect"); };
        return t;
    }
    bool Seen(const std::string& e) const {
        return std::find(events.begin(), events.end(), e) != events.end();
    }
    int Count(const std::string& e) const { return std::count(events.begin(), events.end(), e); }
    void Connect() {
        tapi->Dial("123");
        ASSERT_TRUE(PumpUntil([&] { return Seen("PortOpen"); }));
        ASSERT_TRUE(port.Open());
        ASSERT_EQ(tapi->TapiState(), tsConnected);
    }

    std::string dir, link;
    std::unique_ptr<Child> sim;
    TCxComPort port;
    std::vector<std::string> events;
    std::unique_ptr<TCxTapiDevice> tapi;
};

using Events = std::vector<std::string>;

TEST_F(TapiDeviceTest, CancelWhileDiallingEndsWithOneFailure) {
    tapi->Dial("777");
    ASSERT_TRUE(PumpUntil([&] { return tapi->TapiState() == tsDialing; }));
    tapi->CancelCall();
    ASSERT_TRUE(PumpUntil([&] { return Seen("Fail"); }));
    PumpFor(500);
    EXPECT_EQ(events,
              (Events{"CallStart", "Dial", "Cancel", "Drop", "CallFinish", "DialFail", "Fail"}));
    EXPECT_EQ(tapi->TapiState(), tsIdle);
    EXPECT_FALSE(port.Open());
}

TEST_F(TapiDeviceTest, CancelOnAConnectedCallClosesThePortWithoutFailure) {
    Connect();
    EXPECT_EQ(tapi->ConnectText().rfind("CONNECT 33600", 0), 0u) << tapi->ConnectText();
    events.clear();
    tapi->CancelCall();
    ASSERT_TRUE(PumpUntil([&] { return Seen("PortClose"); }));
    PumpFor(500);
    EXPECT_EQ(events, (Events{"Cancel", "Drop", "CallFinish", "PortClose"}));
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(tapi->TapiState(), tsIdle);
}

TEST_F(TapiDeviceTest, ConnectedCallReportsConnectThenPortOpen) {
    Connect();
    auto connect = std::find(events.begin(), events.end(), "Connect");
    auto open = std::find(events.begin(), events.end(), "PortOpen");
    EXPECT_EQ(events.front(), "CallStart");
    EXPECT_LT(connect, open);
    EXPECT_TRUE(Seen("OnConnect"));
    EXPECT_FALSE(Seen("Fail"));
}

TEST_F(TapiDeviceTest, BusyIsLoggedBeforeTheHangUpAndFailsOnce) {
    tapi->Dial("555");
    ASSERT_TRUE(PumpUntil([&] { return Seen("Fail"); }));
    PumpFor(500);
    EXPECT_EQ(events,
              (Events{"CallStart", "Dial", "Busy", "Drop", "CallFinish", "DialFail", "Fail"}));
}

TEST_F(TapiDeviceTest, NoCarrierFailsWithoutBusy) {
    tapi->Dial("666");
    ASSERT_TRUE(PumpUntil([&] { return Seen("Fail"); }));
    EXPECT_EQ(events, (Events{"CallStart", "Dial", "Drop", "CallFinish", "DialFail", "Fail"}));
}

TEST_F(TapiDeviceTest, BoardHangUpEndsTheCallWithPortClose) {
    Connect();
    events.clear();
    // Log in and say goodbye: the board drops the line.
    std::string seen;
    auto waitFor = [&](const std::string& prompt) {
        return PumpUntil([&] {
            while (port.Open() && port.CharReady()) seen += static_cast<char>(port.GetChar());
            return seen.find(prompt) != std::string::npos;
        });
    };
    ASSERT_TRUE(waitFor(": 1>"));
    port.PutString("user\r");
    ASSERT_TRUE(waitFor(": 2>"));
    port.PutString("secret\r");
    ASSERT_TRUE(waitFor("? 3>"));
    port.PutString("B\r");
    ASSERT_TRUE(PumpUntil([&] { return Seen("PortClose"); }));
    PumpFor(300);
    EXPECT_EQ(events, (Events{"Drop", "CallFinish", "PortClose"}));
    EXPECT_EQ(tapi->TapiState(), tsIdle);
    // The line is usable again for the next call.
    events.clear();
    Connect();
}

TEST_F(TapiDeviceTest, RefusedDialReportsTheFailureOnce) {
    // Two paths report this failure (the refused request and the hang-up after it).
    tapi->Dial("12\rATH0");
    ASSERT_TRUE(PumpUntil([&] { return Seen("Fail"); }));
    PumpFor(500);
    EXPECT_EQ(Count("Fail"), 1);
    EXPECT_EQ(tapi->FailureCode(), ecTapiInvalidDialParams);
    EXPECT_EQ(events.front(), "CallStart");
    EXPECT_EQ(events[2], "DialFail");
}

TEST_F(TapiDeviceTest, DialIsRefusedUnlessTheLineDeviceIsIdle) {
    tapi->Dial("777");
    ASSERT_TRUE(PumpUntil([&] { return tapi->TapiState() == tsDialing; }));
    try {
        tapi->Dial("123");
        FAIL() << "second Dial accepted";
    } catch (const ECxException& e) {
        EXPECT_EQ(e.ErrorCode, ecTapiBusyOrOpen);
    }
    tapi->CancelCall();
    ASSERT_TRUE(PumpUntil([&] { return Seen("Fail"); }));
    EXPECT_EQ(Count("Dial"), 1);

    TCxComPort autoPort;
    autoPort.TapiMode = tmOff;
    TCxTapiDevice other(&autoPort);
    try {
        other.Dial("123");
        FAIL() << "Dial on a port without TAPI mode accepted";
    } catch (const ECxException& e) {
        EXPECT_EQ(e.ErrorCode, ecTapiModeNotSet);
    }
}

TEST_F(TapiDeviceTest, LockedModemIsNotDrivenByASecondProgram) {
    // Another program holds the device (flock), as a second Quorvex would.
    std::string target = std::filesystem::canonical(link).string();
    Child holder({"flock", "-n", "-F", target, "sleep", "60"});
    ASSERT_GT(holder.Pid(), 0);
    PumpFor(300);
    try {
        tapi->Dial("123");
        FAIL() << "dialled a locked modem";
    } catch (const ECxException& e) {
        EXPECT_EQ(e.ErrorCode, ecTapiAllocated);
        EXPECT_NE(std::string(e.what()).find(link), std::string::npos) << e.what();
    }
    EXPECT_EQ(tapi->TapiState(), tsIdle);
    EXPECT_TRUE(events.empty()) << "a refused dial reports no call";

    // A UUCP lock file of a live process keeps us off too.
    std::string lockFile = dir + "/" + ModemLockName(target);
    std::ofstream(lockFile) << "     " << holder.Pid() << "\n";
    { Child gone({"true"}); }
    TCxComPort port2;
    port2.TapiMode = tmOn;
    std::vector<std::string> log2;
    auto second = MakeDevice(log2);
    second->SetComPort(&port2);
    EXPECT_THROW(second->Dial("123"), ECxException);
    std::filesystem::remove(lockFile);
}

TEST_F(TapiDeviceTest, TwoLineDevicesNeverShareTheModem) {
    Connect();
    TCxComPort port2;
    port2.TapiMode = tmOn;
    std::vector<std::string> log2;
    auto second = MakeDevice(log2);
    second->SetComPort(&port2);
    try {
        second->Dial("123");
        FAIL() << "second line device dialled a modem in use";
    } catch (const ECxException& e) {
        EXPECT_EQ(e.ErrorCode, ecTapiAllocated);
    }
    EXPECT_TRUE(port.Open()) << "the first call must be untouched";
    EXPECT_EQ(tapi->TapiState(), tsConnected);
}

TEST_F(TapiDeviceTest, ComponentRedialsUpToMaxAttemptsOnly) {
    tapi->MaxAttempts = 2;
    tapi->RetryWait = 1;
    tapi->Dial("555");
    ASSERT_TRUE(PumpUntil([&] { return Seen("Fail"); }, 30000));
    PumpFor(1500);
    EXPECT_EQ(events, (Events{"CallStart", "Dial", "Busy", "Drop", "Dial", "Busy", "Drop",
                              "CallFinish", "DialFail", "Fail"}));

    events.clear();
    tapi->MaxAttempts = 0;
    tapi->Dial("555");
    ASSERT_TRUE(PumpUntil([&] { return Seen("Fail"); }));
    PumpFor(2500);
    EXPECT_EQ(Count("Dial"), 1) << "MaxAttempts 0 must never redial";
}

TEST_F(TapiDeviceTest, CancelWithNoCallReportsNoEnd) {
    tapi->CancelCall();
    Connect();
    tapi->CancelCall();
    ASSERT_TRUE(PumpUntil([&] { return Seen("PortClose"); }));
    events.clear();
    tapi->CancelCall();  // the hang-up button after the call ended
    PumpFor(300);
    EXPECT_EQ(events, (Events{"Cancel"}));
}

}  // namespace
