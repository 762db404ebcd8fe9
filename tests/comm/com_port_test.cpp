// TCxComPort and its dispatcher on real pseudo-terminals: the test writes the master end.
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <QTimer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/cx_exception.h"
#include "comm/tty_dispatcher.h"
#include "port_fixture.h"
#include "tcp_pair.h"

namespace qx {
namespace {

using test::OpenOnPty;
using test::OpenTcpPair;
using test::PtyPair;
using test::RunFor;
using test::WaitFor;

// Records the port's events in order as text: "avail:<bytes read>", "data:<handle>", ...
struct Recorder {
    std::vector<std::string> Events;
    std::string Received;
    bool ReadAll = true;

    void Attach(TCxComPort& port) {
        port.OnTriggerAvail = [this](TCxComPort& p, unsigned count) {
            std::string got;
            if (ReadAll)
                for (unsigned i = 0; i < count; ++i) got += static_cast<char>(p.GetChar());
            Received += got;
            Events.push_back("avail:" + got);
        };
        port.OnTriggerData = [this](TCxComPort&, unsigned h) {
            Events.push_back("data:" + std::to_string(h));
        };
        port.OnTriggerTimer = [this](TCxComPort&, unsigned h) {
            Events.push_back("timer:" + std::to_string(h));
        };
    }
    size_t Count(const std::string& prefix) const {
        size_t n = 0;
        for (const auto& e : Events) n += e.rfind(prefix, 0) == 0;
        return n;
    }
};

TEST(PortOpening, WithoutAHandleRaisesNotOpenedByTapiAndStaysClosed) {
    TCxComPort port;
    port.TapiMode = tmOn;
    EXPECT_THROW(port.SetOpen(true), ENotOpenedByTapi);
    EXPECT_FALSE(port.Open());
    EXPECT_THROW(port.PutString("x"), ECommNotOpen);
    EXPECT_THROW(port.AddTimerTrigger(), ECommNotOpen);
}

TEST(PortOpening, HandleNumberingRestartsAtEightAfterOpen) {
    PtyPair pty;
    TCxComPort port;
    OpenOnPty(port, pty);
    EXPECT_EQ(port.AddDataTrigger("abc", false), 8);
    EXPECT_EQ(port.AddTimerTrigger(), 16);
    EXPECT_EQ(port.AddStatusTrigger(1), 25);
    EXPECT_THROW(port.AddStatusTrigger(6), EBadArgument);
    EXPECT_THROW(port.AddDataTrigger(std::string(22, 'x'), false), ETriggerTooLong);
    EXPECT_EQ(port.AddDataTrigger(std::string(21, 'x'), false), 32);
    port.RemoveTrigger(16);
    EXPECT_THROW(port.RemoveTrigger(16), EBadTriggerHandle);
    EXPECT_THROW(port.SetTimerTrigger(8, 5, true), EBadTriggerHandle);  // a data trigger
    port.SetOpen(false);
    EXPECT_FALSE(port.Open());
}

TEST(DataTriggers, PromptSplitAcrossTwoWritesFiresOnce) {
    PtyPair pty;
    TCxComPort port;
    Recorder rec;
    rec.Attach(port);
    OpenOnPty(port, pty);
    uint16_t h = port.AddDataTrigger("Login: ", false);
    pty.Write("Log");
    ASSERT_TRUE(WaitFor([&] { return rec.Received == "Log"; }));
    pty.Write("in: ");
    ASSERT_TRUE(WaitFor([&] { return rec.Count("data:") == 1; }));
    ASSERT_TRUE(WaitFor([&] { return rec.Received == "Login: "; }));
    RunFor(200);
    EXPECT_EQ(rec.Count("data:" + std::to_string(h)), 1u);
}

TEST(DataTriggers, TextBeforeAPromptComesAsAvailDataAvail) {
    PtyPair pty;
    TCxComPort port;
    Recorder rec;
    rec.Attach(port);
    OpenOnPty(port, pty);
    uint16_t h = port.AddDataTrigger("Password:", false);
    pty.Write("Welcome\r\nPassword: ");
    ASSERT_TRUE(WaitFor([&] { return rec.Received == "Welcome\r\nPassword: "; }));
    std::vector<std::string> want = {"avail:Welcome\r\n", "data:" + std::to_string(h),
                                     "avail:Password: "};
    EXPECT_EQ(rec.Events, want);
}

TEST(DataTriggers, TwoMatchesOnOneByteAreReportedNewestFirst) {
    PtyPair pty;
    TCxComPort port;
    Recorder rec;
    rec.Attach(port);
    OpenOnPty(port, pty);
    uint16_t older = port.AddDataTrigger("name:", false);
    uint16_t newer = port.AddDataTrigger("User name:", false);
    pty.Write("Your User name:");
    ASSERT_TRUE(WaitFor([&] { return rec.Count("data:") == 2; }));
    ASSERT_GE(rec.Events.size(), 3u);
    // One avail for the bytes before the longer pattern, then newest first.
    EXPECT_EQ(rec.Events[0], "avail:Your ");
    EXPECT_EQ(rec.Events[1], "data:" + std::to_string(newer));
    EXPECT_EQ(rec.Events[2], "data:" + std::to_string(older));
}

TEST(DataTriggers, PromptsStillFireWhenAHandlerReadsPastThem) {
    PtyPair pty;
    TCxComPort port;
    std::string got;
    int data = 0;
    port.OnTriggerAvail = [&](TCxComPort& p, unsigned) {
        while (p.CharReady()) got += static_cast<char>(p.GetChar());  // more than the count
    };
    port.OnTriggerData = [&](TCxComPort&, unsigned) { ++data; };
    OpenOnPty(port, pty);
    port.AddDataTrigger("More?", false);
    pty.Write("page 1 More?page 2 More?");
    ASSERT_TRUE(WaitFor([&] { return data == 2; }));
    EXPECT_EQ(got, "page 1 More?page 2 More?");
}

TEST(DataTriggers, UpperCaseFormOfALowerCasePatternDoesNotFire) {
    PtyPair pty;
    TCxComPort port;
    Recorder rec;
    rec.Attach(port);
    OpenOnPty(port, pty);
    port.AddDataTrigger("more", false);
    pty.Write("MORE\r\n");
    ASSERT_TRUE(WaitFor([&] { return rec.Received == "MORE\r\n"; }));
    RunFor(100);
    EXPECT_EQ(rec.Count("data:"), 0u);
}

TEST(AvailDelivery, RemovingHandleOneOnlyStopsAvail) {
    PtyPair pty;
    TCxComPort port;
    Recorder rec;
    rec.Attach(port);
    OpenOnPty(port, pty);
    uint16_t h = port.AddDataTrigger("rz\r", false);
    port.RemoveTrigger(1);
    pty.Write("**rz\r");
    ASSERT_TRUE(WaitFor([&] { return rec.Count("data:") == 1; }));
    EXPECT_EQ(rec.Events, std::vector<std::string>{"data:" + std::to_string(h)});
    EXPECT_EQ(port.InBuffUsed(), 5u);
    port.SetTriggerLength(1);
    pty.Write("x");
    ASSERT_TRUE(WaitFor([&] { return rec.Received == "**rz\rx"; }));
}

TEST(AvailDelivery, PartialReadLeavesTheRestForTheNextAvail) {
    PtyPair pty;
    TCxComPort port;
    std::vector<unsigned> counts;
    std::string got;
    std::vector<bool> readyAfter;
    port.OnTriggerAvail = [&](TCxComPort& p, unsigned count) {
        counts.push_back(count);
        unsigned take = counts.size() == 1 ? 3 : count;
        for (unsigned i = 0; i < take; ++i) got += static_cast<char>(p.GetChar());
        readyAfter.push_back(p.CharReady());
    };
    OpenOnPty(port, pty);
    pty.Write("0123456789");
    ASSERT_TRUE(WaitFor([&] { return counts.size() == 1; }));
    EXPECT_EQ(counts[0], 10u);
    EXPECT_TRUE(readyAfter[0]);  // bytes beyond what this handler took remain
    pty.Write("AB");
    ASSERT_TRUE(WaitFor([&] { return got == "0123456789AB"; }));
    EXPECT_EQ(counts[1], 9u);
    EXPECT_FALSE(readyAfter[1]);
}

TEST(AvailDelivery, BytesTakenOutsideTheHandlerAreNotOfferedAgain) {
    PtyPair pty;
    TCxComPort port;
    std::vector<unsigned> counts;
    std::string got;
    port.OnTriggerAvail = [&](TCxComPort& p, unsigned count) {
        counts.push_back(count);
        for (unsigned i = 0; i < count; ++i) got += static_cast<char>(p.GetChar());
    };
    OpenOnPty(port, pty);
    pty.Write("abc");
    // The notification for the three bytes is on its way to this thread, which reads one of
    // them before it runs the handler.
    for (int i = 0; i < 10000 && port.InBuffUsed() < 3; ++i) ::usleep(1000);  // no pumping
    ASSERT_EQ(port.InBuffUsed(), 3u);
    got += static_cast<char>(port.GetChar());
    ASSERT_TRUE(WaitFor([&] { return got.size() == 3; }));
    RunFor(100);
    EXPECT_EQ(got, "abc");
    EXPECT_EQ(counts, std::vector<unsigned>{2});
    EXPECT_FALSE(port.CharReady());
}

TEST(AvailDelivery, RemoveAllTriggersTurnsAvailOffUntilTheNextOpening) {
    PtyPair pty;
    TCxComPort port;
    Recorder rec;
    rec.Attach(port);
    OpenOnPty(port, pty);
    port.RemoveAllTriggers();
    pty.Write("hello");
    ASSERT_TRUE(WaitFor([&] { return port.InBuffUsed() == 5; }));
    RunFor(150);
    EXPECT_TRUE(rec.Events.empty());
    // The next call shows the board's text again.
    port.SetOpen(false);
    port.SetOpen(true);
    EXPECT_EQ(port.AddTimerTrigger(), 8);
    pty.Write("hello");
    ASSERT_TRUE(WaitFor([&] { return rec.Count("avail:") > 0; }));
}

TEST(TimerTriggers, FiveSecondTimerFiresOnceAfterNinetyTicks) {
    PtyPair pty;
    TCxComPort port;
    Recorder rec;
    rec.Attach(port);
    OpenOnPty(port, pty);
    uint16_t h = port.AddTimerTrigger();
    auto start = std::chrono::steady_clock::now();
    port.SetTimerTrigger(h, 18 * 5, true);
    ASSERT_TRUE(WaitFor([&] { return rec.Count("timer:") == 1; }, 20000));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(90 * 55 - 55));
    RunFor(300);
    EXPECT_EQ(rec.Events, std::vector<std::string>{"timer:" + std::to_string(h)});
}

TEST(TimerTriggers, ZeroTicksRestartsWithThePreviousCountAndRemainingTicksShrink) {
    PtyPair pty;
    TCxComPort port;
    Recorder rec;
    rec.Attach(port);
    OpenOnPty(port, pty);
    uint16_t h = port.AddTimerTrigger();
    TCxDispatcher* d = port.Dispatcher();
    port.SetTimerTrigger(h, 4, true);
    ASSERT_TRUE(WaitFor([&] { return rec.Count("timer:") == 1; }));
    int32_t left = -1;
    EXPECT_EQ(d->TimerTicksRemaining(h, left), 0);
    EXPECT_EQ(left, 0);
    port.SetTimerTrigger(h, 0, true);  // again 4 ticks
    ASSERT_TRUE(WaitFor([&] { return rec.Count("timer:") == 2; }));
    port.SetTimerTrigger(h, 1000, true);
    EXPECT_EQ(d->TimerTicksRemaining(h, left), 0);
    EXPECT_GT(left, 990);
    EXPECT_EQ(d->ExtendTimer(h, 100), 0);
    EXPECT_EQ(d->TimerTicksRemaining(h, left), 0);
    EXPECT_GT(left, 1090);
    EXPECT_EQ(d->TimerTicksRemaining(1, left), ecBadTriggerHandle);
}

TEST(Closing, CloseInsideOnTriggerDataCompletesAfterTheHandler) {
    PtyPair pty;
    TCxComPort port;
    int dataEvents = 0;
    bool stateInHandler = true;
    port.OnTriggerData = [&](TCxComPort& p, unsigned) {
        ++dataEvents;
        p.SetOpen(false);
        stateInHandler = p.Open();
        p.PutString("ignored while closing");  // does nothing, raises nothing
    };
    port.OnTriggerAvail = [](TCxComPort& p, unsigned n) {
        for (unsigned i = 0; i < n; ++i) p.GetChar();
    };
    OpenOnPty(port, pty);
    port.AddDataTrigger("bye", false);
    port.AddDataTrigger("bye", false);  // a second handler round that must be skipped
    pty.Write("good bye");
    ASSERT_TRUE(WaitFor([&] { return port.State() == TPortState::Closed; }));
    EXPECT_EQ(dataEvents, 1);
    EXPECT_FALSE(stateInHandler);
    // The same component opens again and still works.
    port.SetOpen(true);
    std::string got;
    port.OnTriggerAvail = [&](TCxComPort& p, unsigned n) {
        for (unsigned i = 0; i < n; ++i) got += static_cast<char>(p.GetChar());
    };
    port.OnTriggerData = nullptr;
    port.RemoveAllTriggers();
    port.SetTriggerLength(1);
    pty.Write("again");
    ASSERT_TRUE(WaitFor([&] { return got == "again"; }));
}

TEST(Closing, CloseFromTheMainThreadWhileNotificationsFlowDoesNotDeadlock) {
    PtyPair pty;
    TCxComPort port;
    std::atomic<int> avails{0};
    port.OnTriggerAvail = [&](TCxComPort& p, unsigned n) {
        ++avails;
        for (unsigned i = 0; i < n; ++i) p.GetChar();
    };
    OpenOnPty(port, pty);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop) pty.Write(std::string(64, 'z'));
    });
    ASSERT_TRUE(WaitFor([&] { return avails > 20; }));
    port.SetOpen(false);  // the dispatch thread is sending to this thread meanwhile
    EXPECT_EQ(port.State(), TPortState::Closed);
    stop = true;
    ::close(::dup(pty.Master));
    // Drain what the writer may still push so it can see the stop flag.
    std::thread drain([&] {
        char buf[4096];
        ::fcntl(pty.Slave, F_SETFL, O_NONBLOCK);
        while (!stop || ::read(pty.Slave, buf, sizeof buf) > 0) {
        }
    });
    writer.join();
    drain.join();
}

TEST(Closing, OpenAskedForDuringADeferredCloseIsCarriedOutAfterIt) {
    PtyPair pty;
    TCxComPort port;
    int opens = 0;
    port.RegisterUserCallback([&](TCxComPort&, bool opening) { opens += opening; });
    port.OnTriggerData = [&](TCxComPort& p, unsigned) {
        p.SetOpen(false);
        p.SetOpen(true);  // remembered: the close completes first
        EXPECT_FALSE(p.Open());
    };
    OpenOnPty(port, pty);
    port.AddDataTrigger("NO CARRIER", false);
    pty.Write("NO CARRIER");
    ASSERT_TRUE(WaitFor([&] { return opens == 2 && port.Open(); }));
    // The reopened port has the saved trigger back and works.
    std::string got;
    port.OnTriggerData = nullptr;
    port.OnTriggerAvail = [&](TCxComPort& p, unsigned n) {
        for (unsigned i = 0; i < n; ++i) got += static_cast<char>(p.GetChar());
    };
    pty.Write("x");
    ASSERT_TRUE(WaitFor([&] { return got == "x"; }));
}

TEST(Closing, TriggersAndThresholdAreRestoredAfterCloseAndOpen) {
    PtyPair pty;
    TCxComPort port;
    Recorder rec;
    rec.Attach(port);
    OpenOnPty(port, pty);
    uint16_t d = port.AddDataTrigger("ok", false);
    uint16_t t = port.AddTimerTrigger();
    port.SetTriggerLength(3);
    port.SetOpen(false);
    port.SetTriggerLength(1);  // applied first, then the saved threshold wins
    port.SetOpen(true);
    EXPECT_EQ(port.TriggerLength(), 3);
    port.SetTimerTrigger(t, 2, true);  // the restored timer is known by its old handle
    pty.Write("ok");
    ASSERT_TRUE(WaitFor([&] { return rec.Count("data:") == 1 && rec.Count("timer:") == 1; }));
    EXPECT_EQ(rec.Count("data:" + std::to_string(d)), 1u);
    EXPECT_EQ(rec.Count("avail:"), 0u);  // two bytes stay below the threshold of three
}

TEST(Output, PutStringLongerThanTheFreeRingRaisesAndSendsNothing) {
    PtyPair pty;
    TCxComPort port;
    port.OutSize = 20480;
    OpenOnPty(port, pty);
    EXPECT_THROW(port.PutString(std::string(20481, 'x')), EOutputBufferTooSmall);
    port.PutString("ATH\r");
    std::string got;
    ASSERT_TRUE(WaitFor([&] {
        char buf[64];
        ::fcntl(pty.Master, F_SETFL, O_NONBLOCK);
        ssize_t n = ::read(pty.Master, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
        return got.size() >= 4;
    }));
    EXPECT_EQ(got, "ATH\r");
}

TEST(Faults, FullReceiveRingStopsExtractionWithoutLosingBytes) {
    PtyPair pty;
    TCxComPort port;
    Recorder rec;
    rec.ReadAll = false;
    rec.Attach(port);
    std::string& got = rec.Received;
    OpenOnPty(port, pty);
    std::string sent;
    // More than the receive ring and the driver queue behind it hold together.
    for (int i = 0; sent.size() < 40000; ++i) sent += std::to_string(i) + ",";
    std::thread writer([&] { pty.Write(sent); });
    ASSERT_TRUE(WaitFor([&] { return port.InBuffUsed() == TCxTtyDispatcher::kInBufSize; }));
    RunFor(200);
    EXPECT_EQ(port.InBuffUsed(), TCxTtyDispatcher::kInBufSize);
    rec.ReadAll = true;
    // Taking bytes outside an event frees room; the rest is then extracted and offered.
    for (int i = 0; i < 100; ++i) got += static_cast<char>(port.GetChar());
    ASSERT_TRUE(WaitFor([&] { return got.size() == sent.size(); }));
    writer.join();
    EXPECT_EQ(got, sent);
}

TEST(Faults, AHandlerThatTakesItsTimeDoesNotStopTheLineBeingRead) {
    PtyPair pty;
    TCxComPort port;
    std::string sent = "x", got;
    // Far more than the kernel holds for a pseudo-terminal, less than the driver queue: the
    // writer only gets to the end if the line is read while the first handler still runs.
    std::string more;
    for (int i = 0; more.size() < 200000; ++i) more += std::to_string(i) + ",";
    sent += more;
    std::mutex mutex;
    std::condition_variable changed;
    bool go = false, done = false;
    port.OnTriggerAvail = [&](TCxComPort& p, unsigned count) {
        if (got.empty()) {
            std::unique_lock lock(mutex);
            go = true;
            changed.notify_all();
            EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return done; }));
        }
        std::string piece(count, '\0');
        p.GetBlock(piece.data(), count);
        got += piece;
    };
    OpenOnPty(port, pty);
    std::thread writer([&] {
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return go; });
        }
        pty.Write(more);
        std::lock_guard lock(mutex);
        done = true;
        changed.notify_all();
    });
    pty.Write("x");
    EXPECT_TRUE(WaitFor([&] { return got.size() == sent.size(); }));
    writer.join();
    EXPECT_EQ(got, sent);
}

TEST(Faults, FlushDiscardsInputWaitingBehindAFullRing) {
    PtyPair pty;
    TCxComPort port;
    Recorder rec;
    rec.ReadAll = false;
    rec.Attach(port);
    OpenOnPty(port, pty);
    pty.Write(std::string(12000, 'o'));  // fills the ring; the rest waits in the driver queue
    ASSERT_TRUE(WaitFor([&] { return port.InBuffUsed() == TCxTtyDispatcher::kInBufSize; }));
    RunFor(100);
    port.FlushInBuffer();
    EXPECT_EQ(port.InBuffUsed(), 0u);
    rec.ReadAll = true;
    pty.Write("new");
    ASSERT_TRUE(WaitFor([&] { return rec.Received.size() >= 3; }));
    RunFor(100);
    EXPECT_EQ(rec.Received, "new");
}

TEST(Faults, HandlerThatThrowsIsReportedAndDispatchingGoesOn) {
    PtyPair pty;
    TCxComPort port;
    int calls = 0;
    port.OnTriggerData = [&](TCxComPort&, unsigned) {
        ++calls;
        throw std::runtime_error("handler failure");
    };
    OpenOnPty(port, pty);
    port.AddDataTrigger("x", false);
    pty.Write("x");
    ASSERT_TRUE(WaitFor([&] { return calls == 1; }));
    pty.Write("x");
    ASSERT_TRUE(WaitFor([&] { return calls == 2; }));
}

// A transfer's procedure handler is added by a main-thread handler in the middle of a piece of
// input; every later notification of that piece must reach it on the dispatch thread.
std::atomic<int> procData{0};
std::atomic<int> procOnMain{0};
std::atomic<unsigned> procHandle{0};
void RecordProcedure(unsigned msg, unsigned wParam, int32_t) {
    if (IsMainThread()) ++procOnMain;
    if (msg != MsgTriggerData) return;
    procHandle = wParam;
    ++procData;
}

TEST(Handlers, AProcedureHandlerAddedByAMainThreadHandlerRunsOnTheDispatchThread) {
    PtyPair pty;
    TCxComPort port;
    Recorder rec;
    rec.Attach(port);
    OpenOnPty(port, pty);
    // Both match on the last byte: "START" (newest) is reported first, then "ART".
    const uint16_t art = port.AddDataTrigger("ART", false);
    const uint16_t start = port.AddDataTrigger("START", false);
    port.OnTriggerData = [&](TCxComPort& p, unsigned h) {
        rec.Events.push_back("data:" + std::to_string(h));
        if (h == start) p.Dispatcher()->RegisterProcTriggerHandler(RecordProcedure);
    };
    pty.Write("go START then more");
    ASSERT_TRUE(WaitFor([&] { return rec.Received == "go START then more"; }));
    EXPECT_EQ(procData.load(), 1);
    EXPECT_EQ(procHandle.load(), art);
    EXPECT_EQ(procOnMain.load(), 0);
    const std::vector<std::string> want = {"avail:go ", "data:" + std::to_string(start),
                                           "data:" + std::to_string(art), "avail:START then more"};
    EXPECT_EQ(rec.Events, want);
    port.Dispatcher()->DeregisterProcTriggerHandler(RecordProcedure);
}

double ProcessCpuSeconds() {
    struct rusage ru {};
    ::getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

TEST(Faults, VanishingDeviceRaisesOneHangupAndDoesNotSpin) {
    PtyPair pty;
    TCxComPort port;
    int hangups = 0;
    std::string got;
    port.OnLineHangup = [&](TCxComPort&) { ++hangups; };
    port.OnTriggerAvail = [&](TCxComPort& p, unsigned n) {
        for (unsigned i = 0; i < n; ++i) got += static_cast<char>(p.GetChar());
    };
    OpenOnPty(port, pty);
    uint16_t carrier = port.AddStatusTrigger(1);
    port.SetStatusTrigger(carrier, 0x80, true);
    std::vector<unsigned> status;
    port.OnTriggerStatus = [&](TCxComPort&, unsigned h) { status.push_back(h); };
    EXPECT_TRUE(port.DCD());
    pty.Write("last words");
    ASSERT_TRUE(WaitFor([&] { return got == "last words"; }));
    pty.CloseMaster();
    ASSERT_TRUE(WaitFor([&] { return hangups == 1; }));
    EXPECT_EQ(status, std::vector<unsigned>{carrier});  // the carrier went with the device
    EXPECT_FALSE(port.DCD());
    double before = ProcessCpuSeconds();
    RunFor(1000);
    double used = ProcessCpuSeconds() - before;
    EXPECT_LT(used, 0.5) << "threads keep running on a dead device";
    EXPECT_EQ(hangups, 1);
    port.SetOpen(false);
}

TEST(Descriptors, ASocketPairWorksWithoutTermios) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    TCxComPort port;
    Recorder rec;
    rec.Attach(port);
    port.TapiMode = tmOn;
    port.SetTapiHandle(sv[0]);
    port.SetOpen(true);
    uint16_t h = port.AddDataTrigger(
        "**\x18"
        "B0",
        false);
    ASSERT_EQ(::write(sv[1],
                      "xx**\x18"
                      "B0",
                      7),
              7);
    ASSERT_TRUE(WaitFor([&] { return rec.Count("data:" + std::to_string(h)) == 1; }));
    port.PutString("reply");
    char buf[16] = {};
    ASSERT_TRUE(WaitFor([&] { return ::recv(sv[1], buf, sizeof buf, MSG_DONTWAIT) == 5; }));
    EXPECT_EQ(std::string(buf, 5), "reply");
    port.SetOpen(false);
    ::close(sv[0]);
    ::close(sv[1]);
}

// A network line's socket: answers go out without Nagle's delay while the port holds it, and
// it is handed back with the options and flags it came with.
TEST(Descriptors, ATcpSocketIsHandedBackAsItWasGiven) {
    int client, line;
    OpenTcpPair(client, line);
    ASSERT_GE(line, 0);
    auto noDelay = [&] {
        int on = -1;
        socklen_t n = sizeof on;
        ::getsockopt(line, IPPROTO_TCP, TCP_NODELAY, &on, &n);
        return on;
    };
    const int flags = ::fcntl(line, F_GETFL);
    TCxComPort port;
    port.TapiMode = tmOn;
    port.SetTapiHandle(line);
    port.SetOpen(true);
    EXPECT_NE(noDelay(), 0);
    port.SetOpen(false);
    EXPECT_EQ(noDelay(), 0);
    EXPECT_EQ(::fcntl(line, F_GETFL), flags);
    ::close(line);
    ::close(client);
}

TEST(Descriptors, APipePairWorksAndAVanishedReaderDoesNotEndTheProcess) {
    // As a tool running the port on stdin and stdout: separate read and write pipes.
    int in[2], out[2];
    ASSERT_EQ(::pipe(in), 0);
    ASSERT_EQ(::pipe(out), 0);
    TCxComPort port;
    Recorder rec;
    rec.Attach(port);
    int hangups = 0;
    port.OnLineHangup = [&](TCxComPort&) { ++hangups; };
    port.TapiMode = tmOn;
    port.SetTapiHandles(in[0], out[1]);
    port.SetOpen(true);
    ASSERT_EQ(::write(in[1], "rz\r", 3), 3);
    ASSERT_TRUE(WaitFor([&] { return rec.Received == "rz\r"; }));
    port.PutString("ack");
    char buf[8] = {};
    ASSERT_TRUE(WaitFor([&] { return ::read(out[0], buf, 3) == 3; }));
    EXPECT_EQ(std::string(buf, 3), "ack");
    ::close(out[0]);  // the peer stops reading: writes fail with EPIPE, not SIGPIPE
    port.PutString("lost");
    ASSERT_TRUE(WaitFor([&] { return port.OutBuffUsed() == 0; }));
    ::close(in[1]);  // end of input: the line is gone
    ASSERT_TRUE(WaitFor([&] { return hangups == 1; }));
    port.SetOpen(false);
    ::close(in[0]);
    ::close(out[1]);
}

TEST(Closing, UsersAreToldBeforeTheCloseAndTheirCallsStillWork) {
    PtyPair pty;
    TCxComPort port;
    std::vector<std::string> told;
    int id = port.RegisterUserCallback([&](TCxComPort& p, bool opening) {
        told.push_back(opening ? "open" : "close");
        if (!opening) p.PutString("\x18\x18");
    });
    OpenOnPty(port, pty);
    port.SetOpen(false);
    EXPECT_EQ(told, (std::vector<std::string>{"open", "close"}));
    port.DeregisterUserCallback(id);
    port.SetOpen(true);
    EXPECT_EQ(told.size(), 2u);
    port.SetOpen(false);
}

// Notifications that no assigned event would see are not sent to the main thread; assigning or
// clearing an event while the port is open must still take effect for the next notification.
TEST(EventAssignment, AvailAssignedAfterOpenGetsTheBytesThatCameBefore) {
    PtyPair pty;
    TCxComPort port;
    OpenOnPty(port, pty);
    pty.Write("abc");
    ASSERT_TRUE(WaitFor([&] { return port.InBuffUsed() == 3; }));
    RunFor(200);  // the avail of "abc" found no event: the bytes stay unread
    EXPECT_EQ(port.InBuffUsed(), 3u);
    std::vector<unsigned> counts;
    std::string got;
    port.OnTriggerAvail = [&](TCxComPort& p, unsigned count) {
        counts.push_back(count);
        for (unsigned i = 0; i < count; ++i) got += static_cast<char>(p.GetChar());
    };
    pty.Write("de");
    ASSERT_TRUE(WaitFor([&] { return got == "abcde"; }));
    EXPECT_EQ(counts.front(), 5u);
    port.OnTriggerAvail = nullptr;  // cleared: later bytes stay unread again
    pty.Write("f");
    ASSERT_TRUE(WaitFor([&] { return port.InBuffUsed() == 1; }));
    RunFor(200);
    EXPECT_EQ(got, "abcde");
    EXPECT_EQ(port.InBuffUsed(), 1u);
    port.SetOpen(false);
}

TEST(EventAssignment, KindSpecificAndGeneralEventsEachStillGetTheirNotifications) {
    PtyPair pty;
    TCxComPort port;
    OpenOnPty(port, pty);
    port.SetTriggerLength(0);
    int sent = 0;
    std::vector<unsigned> general;
    // Only the output-sent event: its status notification must still reach it.
    port.OnTriggerOutSent = [&](TCxComPort&) { ++sent; };
    uint16_t status = port.AddStatusTrigger(5);
    port.SetStatusTrigger(status, 0, true);
    port.PutString("x");
    ASSERT_TRUE(WaitFor([&] { return sent == 1; }));
    // Only the general event: a data trigger reaches it, and a timer too.
    port.OnTriggerOutSent = nullptr;
    port.OnTrigger = [&](TCxComPort&, unsigned msg, unsigned, unsigned) { general.push_back(msg); };
    uint16_t data = port.AddDataTrigger("OK", false);
    pty.Write("OK");
    ASSERT_TRUE(WaitFor([&] { return general.size() == 1; }));
    EXPECT_EQ(general[0], static_cast<unsigned>(MsgTriggerData));
    uint16_t timer = port.AddTimerTrigger();
    port.SetTimerTrigger(timer, 1, true);
    ASSERT_TRUE(WaitFor([&] { return general.size() == 2; }));
    EXPECT_EQ(general[1], static_cast<unsigned>(MsgTriggerTimer));
    EXPECT_GT(data, 0);
    port.SetOpen(false);
}

}  // namespace
}  // namespace qx
