// The line device and the port against a board that talks at once: what comes with CONNECT
// reaches the triggers, "NO CARRIER" in the data stream ends the call, a close put off inside an
// event leaves a descriptor number that the line device has given up alone, and the status
// lights leave no triggers behind whichever way a call ends.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "comm/sl_controller.h"
#include "comm/tapi_device.h"
#include "comm/tty_dispatcher.h"
#include "fake_modem.h"
#include "line_test_support.h"
#include "port_fixture.h"

namespace qx {
namespace {

using linetest::PumpFor;
using linetest::PumpUntil;

// A call through the line device on a fake modem; the events are recorded by name.
class Call : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("QUORVEX_LINES", modem.Path().c_str(), 1);
        port.TapiMode = tmOn;
        port.AutoOpen = false;
        tapi = std::make_unique<TCxTapiDevice>(&port);
        tapi->LockDirectory = linetest::MakeLockDir();
        tapi->SelectedDevice = modem.Path();
        tapi->MaxAttempts = 0;
        tapi->Timings.GuardMs = 200;
        tapi->OnTapiLog = [this](TTapiLogCode c) {
            if (c == ltapiConnect && onConnect) onConnect();  // where the program arms
            if (c == ltapiCallFinish) events.push_back("CallFinish");
            ProcessPendingMessages();
        };
        tapi->OnTapiPortClose = [this] { events.push_back("PortClose"); };
        port.OnTriggerAvail = [this](TCxComPort& p, unsigned n) {
            for (unsigned i = 0; i < n; ++i) text += static_cast<char>(p.GetChar());
        };
    }
    void TearDown() override {
        tapi.reset();
        ::unsetenv("QUORVEX_LINES");
    }
    bool Seen(const std::string& e) const {
        return std::find(events.begin(), events.end(), e) != events.end();
    }

    FakeModem modem;
    TCxComPort port;
    std::unique_ptr<TCxTapiDevice> tapi;
    std::function<void()> onConnect;
    std::vector<std::string> events;
    std::string text;  // what the avail events read
};

TEST_F(Call, TextSentTogetherWithConnectReachesTheTriggers) {
    modem.Script("123", "CONNECT 33600\r\nWelcome to the board\r\nName : 1>");
    uint16_t prompt = 0;
    std::vector<unsigned> fired;
    onConnect = [&] { prompt = port.AddDataTrigger("Name : 1>", false); };
    port.OnTriggerData = [&](TCxComPort&, unsigned h) { fired.push_back(h); };
    tapi->Dial("123");
    ASSERT_TRUE(PumpUntil([&] { return !fired.empty(); }, 10000)) << text;
    EXPECT_EQ(fired, std::vector<unsigned>{prompt});
    ASSERT_TRUE(PumpUntil([&] { return text.find("Name : 1>") != std::string::npos; }, 5000));
    EXPECT_EQ(text.rfind("Welcome to the board\r\n", 0), 0u) << text;
}

TEST_F(Call, NoCarrierOnALineOfItsOwnEndsTheCallWithTheLineLeftOpen) {
    modem.Script("123", "CONNECT 33600");
    tapi->Dial("123");
    ASSERT_TRUE(PumpUntil([&] { return port.Open(); }, 10000));
    modem.Send("the board said NO CARRIER once\r\n");  // inside a line: text, not a hang-up
    ASSERT_TRUE(PumpUntil([&] { return text.find("once") != std::string::npos; }, 5000));
    PumpFor(300);
    EXPECT_TRUE(port.Open());
    modem.Send("\r\nNO CARRIER\r\n");
    EXPECT_TRUE(PumpUntil([&] { return Seen("PortClose"); }, 10000));
    EXPECT_TRUE(Seen("CallFinish"));
    EXPECT_EQ(tapi->TapiState(), tsIdle);
}

// The way every normal call ends: the close is asked for inside a port event, so it completes
// later, while the line device closes the descriptor at once. A file that takes the same number
// in between must keep its flags and contents.
TEST_F(Call, PutOffCloseLeavesTheNextOwnerOfTheNumberAlone) {
    modem.Script("123", "CONNECT 33600");
    onConnect = [&] { port.AddDataTrigger("Name : 1>", false); };
    const std::string path = linetest::MakeLockDir() + "/other.txt";
    int lineFd = -1, other = -1;
    port.OnTriggerData = [&](TCxComPort& p, unsigned) {
        lineFd = p.TapiHandle();
        tapi->CancelCall();  // closes the port (put off) and then the line
        other = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (other != lineFd) {
            ::dup2(other, lineFd);  // the number is free again: take it
            ::close(other);
            other = lineFd;
        }
        [[maybe_unused]] auto n = ::write(other, "mine\n", 5);
    };
    tapi->Dial("123");
    ASSERT_TRUE(PumpUntil([&] { return port.Open(); }, 10000));
    PumpFor(200);
    modem.Send("Name : 1>");
    ASSERT_TRUE(PumpUntil([&] { return Seen("PortClose"); }, 15000));
    ASSERT_TRUE(PumpUntil([&] { return port.State() == TPortState::Closed; }, 10000));
    PumpFor(300);
    ASSERT_GE(other, 0);
    const int flags = ::fcntl(other, F_GETFL);
    EXPECT_TRUE(flags & O_APPEND);
    EXPECT_FALSE(flags & O_NONBLOCK);
    [[maybe_unused]] auto n = ::write(other, "end\n", 4);
    ::close(other);
    char buf[64] = {};
    const int f = ::open(path.c_str(), O_RDONLY);
    [[maybe_unused]] auto got = ::read(f, buf, sizeof buf - 1);
    ::close(f);
    EXPECT_STREQ(buf, "mine\nend\n");
}

// Five calls on the same port and status lights, each ending another way: the trigger count
// at the start of each call stays the same, avail events and the receive light work every time.
TEST(StatusLightTriggers, CountStaysTheSameAcrossCallsThatEndInDifferentWays) {
    TCxComPort port;
    TCxStatusLight cts, dcd, txd, rxd, err, brk;
    TCxSLController lights(&port);
    lights.Lights.CTSLight = &cts;
    lights.Lights.DCDLight = &dcd;
    lights.Lights.TXDLight = &txd;
    lights.Lights.RXDLight = &rxd;
    lights.Lights.ERRORLight = &err;
    lights.Lights.BREAKLight = &brk;
    lights.SetMonitoring(true);
    std::string text;
    bool closeInEvent = false;
    auto readAll = [&](TCxComPort& p, unsigned n) {
        for (unsigned i = 0; i < n; ++i) text += static_cast<char>(p.GetChar());
        if (closeInEvent) p.SetOpen(false);
    };
    port.OnTriggerAvail = readAll;
    enum End { kClose, kCloseInEvent, kGoodbye, kDeviceGone, kGoodbyeInEvent };
    size_t first = 0;
    for (End end : {kClose, kCloseInEvent, kGoodbye, kDeviceGone, kGoodbyeInEvent}) {
        SCOPED_TRACE("call ending " + std::to_string(end));
        test::PtyPair pty;
        test::OpenOnPty(port, pty);
        TSavedTriggers now;
        port.TtyDispatcher()->SaveTriggers(now);
        const size_t count = now.Timers.size() + now.Data.size() + now.Status.size();
        if (first == 0) first = count;
        EXPECT_EQ(count, first);
        EXPECT_GT(port.TtyDispatcher()->AvailThreshold(), 0);
        text.clear();
        pty.Write("hello\r\n");
        ASSERT_TRUE(test::WaitFor([&] { return text == "hello\r\n"; }));
        EXPECT_TRUE(test::WaitFor([&] { return rxd.Lit(); }));
        switch (end) {
            case kClose: {
                // What a close callback queues (a transfer's cancel) reaches the line.
                const int id = port.RegisterUserCallback([](TCxComPort& p, bool opening) {
                    if (!opening) p.PutString("bye");
                });
                port.SetOpen(false);
                port.DeregisterUserCallback(id);
                struct pollfd pfd = {pty.Master, POLLIN, 0};
                char buf[8] = {};
                ASSERT_EQ(::poll(&pfd, 1, 5000), 1);
                EXPECT_EQ(std::string(buf, static_cast<size_t>(::read(pty.Master, buf, 8))), "bye");
                break;
            }
            case kCloseInEvent:
                closeInEvent = true;
                pty.Write("x");
                break;
            case kGoodbye:
                port.RemoveAllTriggers();
                port.SetOpen(false);
                break;
            case kDeviceGone:
                pty.CloseMaster();
                PumpFor(200);
                port.SetOpen(false);
                break;
            case kGoodbyeInEvent:
                port.AddDataTrigger("B", false);
                port.OnTriggerData = [&](TCxComPort& p, unsigned) {
                    p.RemoveAllTriggers();
                    p.SetOpen(false);
                };
                pty.Write("B");
                break;
        }
        ASSERT_TRUE(test::WaitFor([&] { return port.State() == TPortState::Closed; }));
        closeInEvent = false;
        port.OnTriggerData = nullptr;
    }
}

}  // namespace
}  // namespace qx
