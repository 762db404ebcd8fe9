// The mailbox exchange against real second processes: quorvexctl as the well-behaved
// presentation program and mailbox_fault_peer as a broken or crashing one.
#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QProcess>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ipc_test_env.h"
#include "platform/event_loop.h"
#include "platform/ipc_mailbox_region.h"
#include "shell/mailbox.h"
#include "shell/mutex.h"

namespace qx {
namespace {

using test::IpcNamespace;
using test::WaitFor;

constexpr const char* kReplies = "Mailbox-CommToPres";
constexpr const char* kCommands = "Mailbox-PresToComm";

std::vector<std::string> OutputLines(QProcess& p) {
    std::vector<std::string> lines;
    for (const QByteArray& l : p.readAllStandardOutput().split('\n')) {
        if (!l.isEmpty()) lines.push_back(l.toStdString());
    }
    return lines;
}

// Runs the fault peer to its end and returns its exit code.
int RunFaultPeer(const QStringList& args) {
    QProcess p;
    test::Start(p, "mailbox_fault_peer", args);
    EXPECT_TRUE(test::Finished(p, 10000));
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// Polls until the list is empty or the deadline passes (the peer reads in between).
bool PollUntilSent(TMailbox& box, TStringList& lines, int timeoutMs) {
    return WaitFor(
        [&] {
            box.Poll();
            return lines.Empty();
        },
        timeoutMs);
}

TEST(MailboxExchange, WriterSendsInOrderOneAtATimeCutAt299AndCloses) {
    IpcNamespace ns;
    TStringList out;
    TMailbox writer(kReplies, 100, &out, "Write", 0);
    const std::string longText(400, 'x');
    writer.Post("first");
    writer.Post("second");
    writer.Post(longText);

    // Nobody reads yet: the first poll places the oldest message, the next ones wait for it.
    writer.Poll();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(writer.Mem->Buffer)), "first");
    writer.Poll();
    writer.Poll();
    EXPECT_EQ(out.Count(), 3);
    EXPECT_EQ(writer.SentCount, 0);
    EXPECT_TRUE(writer.InFlight);

    QProcess listen;
    test::Start(listen, "quorvexctl", {"listen", "--timeout", "30"});
    ASSERT_TRUE(listen.waitForStarted());
    ASSERT_TRUE(PollUntilSent(writer, out, 20000));
    EXPECT_EQ(writer.SentCount, 3);
    writer.Close();
    ASSERT_TRUE(test::Finished(listen, 20000));
    EXPECT_EQ(listen.exitCode(), 0) << listen.readAllStandardError().toStdString();
    const std::vector<std::string> got = OutputLines(listen);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], "first");
    EXPECT_EQ(got[1], "second");
    EXPECT_EQ(got[2], std::string(299, 'x'));
    EXPECT_TRUE(writer.Dead());  // the close marker ends the mailbox
}

TEST(MailboxExchange, ReaderKeepsArrivalOrderAndDropsBeyondItsLimit) {
    IpcNamespace ns;
    TStringList in;
    TMailbox reader(kCommands, 3, &in, "Read", 0);
    EXPECT_EQ(reader.Limit, 10);  // limits below 10 become 10
    QStringList commands = {"send", "--timeout", "30"};
    for (int i = 1; i <= 12; ++i) commands << QString("cmd %1").arg(i);
    QProcess send;
    test::Start(send, "quorvexctl", commands);
    ASSERT_TRUE(send.waitForStarted());
    ASSERT_TRUE(WaitFor(
        [&] {
            reader.Poll();
            return send.state() == QProcess::NotRunning || test::Finished(send, 0);
        },
        20000));
    test::Finished(send, 5000);
    EXPECT_EQ(send.exitCode(), 0);  // every message was taken, the dropped ones too
    ASSERT_EQ(in.Count(), 10);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(in[i], "cmd " + std::to_string(i + 1));
}

TEST(MailboxExchange, ListOperationsAndWriterLimit) {
    IpcNamespace ns;
    TStringList out;
    TMailbox writer(kReplies, 10, &out, "Write", 0);
    for (int i = 0; i < 12; ++i) writer.Post(std::string("m").append(std::to_string(i)));
    EXPECT_EQ(out.Count(), 10);  // the writer's list is full: later posts are dropped
    std::string text;
    EXPECT_TRUE(writer.Get(9, text));
    EXPECT_EQ(text, "m9");
    EXPECT_FALSE(writer.Get(10, text));
    EXPECT_EQ(text, "");
    writer.Delete(0);
    EXPECT_TRUE(writer.Get(0, text));
    EXPECT_EQ(text, "m1");
    writer.Clear();
    EXPECT_EQ(out.Count(), 0);
}

TEST(MailboxExchange, WriterThatNeverDeliveredSendsNoCloseMarker) {
    IpcNamespace ns;
    TStringList out;
    TMailbox writer(kReplies, 100, &out, "Write", 0);
    writer.Post("never taken");
    const auto start = std::chrono::steady_clock::now();
    writer.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    ASSERT_FALSE(writer.Dead());
    EXPECT_EQ(writer.Mem->Buffer[0], 'n');  // the message waits; no close marker behind it
    EXPECT_EQ(out.Count(), 1);
}

TEST(MailboxExchange, ReplyTakenJustBeforeShutdownStillGetsTheCloseMarker) {
    IpcNamespace ns;
    TStringList out;
    TMailbox writer(kReplies, 100, &out, "Write", 0);
    writer.Post("started");
    writer.Poll();
    writer.Mem->Buffer[0] = 0;  // the peer takes it; no heartbeat has seen that yet
    writer.Post("stopped");
    QProcess listen;
    test::Start(listen, "quorvexctl", {"listen", "--timeout", "30"});
    ASSERT_TRUE(listen.waitForStarted());
    writer.Close();
    ASSERT_TRUE(test::Finished(listen, 20000));
    EXPECT_EQ(listen.exitCode(), 0);
    EXPECT_EQ(OutputLines(listen), std::vector<std::string>{"stopped"});
}

TEST(MailboxExchange, ReaderStopsAtThePeersCloseMarker) {
    IpcNamespace ns;
    TStringList in;
    TMailbox reader(kCommands, 1000, &in, "Read", 0);
    ASSERT_EQ(RunFaultPeer({"close", kCommands}), 0);
    reader.Poll();
    EXPECT_TRUE(reader.Dead());
    reader.Poll();  // a dead mailbox does nothing
    EXPECT_EQ(in.Count(), 0);
}

TEST(MailboxExchange, RegionWithoutTerminatingZeroIsReadSafely) {
    IpcNamespace ns;
    TStringList in;
    TMailbox reader(kCommands, 1000, &in, "Read", 0);
    ASSERT_EQ(RunFaultPeer({"raw", kCommands, "65", "300"}), 0);
    reader.Poll();
    ASSERT_EQ(in.Count(), 1);
    EXPECT_EQ(in[0], std::string(299, 'A'));
    EXPECT_EQ(reader.Mem->Buffer[0], 0);  // the slot is free again
}

TEST(MailboxExchange, PeerDyingWhileHoldingTheMutexDoesNotHangUs) {
    IpcNamespace ns;
    TStringList in;
    TMailbox reader(kCommands, 1000, &in, "Read", 0);
    QProcess peer;
    test::Start(peer, "mailbox_fault_peer", {"hold", kCommands});
    ASSERT_TRUE(peer.waitForReadyRead(10000));
    ASSERT_EQ(peer.readLine().trimmed().toStdString(), "locked");
    const pid_t pid = static_cast<pid_t>(peer.processId());
    const auto start = std::chrono::steady_clock::now();
    std::thread killer([pid] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::kill(pid, SIGKILL);
    });
    reader.Poll();  // waits for the mutex until the holder is gone
    const auto waited = std::chrono::steady_clock::now() - start;
    killer.join();
    test::Finished(peer, 5000);
    EXPECT_GE(waited, std::chrono::milliseconds(250));  // the mutex really excluded us
    EXPECT_FALSE(reader.Dead());
}

TEST(MailboxExchange, CrashedPeersLeftoverIsWipedButALivePeersMessageIsKept) {
    IpcNamespace ns;
    // The peer places a command and dies; nobody has the section open any more.
    EXPECT_EQ(RunFaultPeer({"place-and-die", kCommands, "stale"}), -1);
    {
        TStringList in;
        TMailbox reader(kCommands, 1000, &in, "Read", 0);
        reader.Poll();
        EXPECT_EQ(in.Count(), 0);
    }
    // A live peer's command placed before we open is ours to read.
    QProcess send;
    test::Start(send, "quorvexctl", {"send", "--no-check", "--timeout", "30", "live"});
    ASSERT_TRUE(send.waitForStarted());
    ASSERT_TRUE(WaitFor(
        [] {
            UniqueFd fd;
            ipc::Mapping map;
            return ipc::OpenExisting(kCommands, fd) == 0 &&
                   map.Map(fd.get(), ipc::kRegionSize) == 0 && map.Data()[0] == 'l';
        },
        20000));
    TStringList in;
    TMailbox reader(kCommands, 1000, &in, "Read", 0);
    reader.Poll();
    ASSERT_EQ(in.Count(), 1);
    EXPECT_EQ(in[0], "live");
    ASSERT_TRUE(test::Finished(send, 20000));
    EXPECT_EQ(send.exitCode(), 0);
}

TEST(MailboxHeartbeat, PollsOnTheMainThreadByItself) {
    IpcNamespace ns;
    int argc = 1;
    char name[] = "mailbox_test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    TStringList in;
    bool allOnMain = true;
    in.OnChange = [&](TListChange, int) { allOnMain = allOnMain && IsMainThread(); };
    auto reader = std::make_unique<TMailbox>(kCommands, 1000, &in, "Read", 50);
    QProcess send;
    test::Start(send, "quorvexctl", {"send", "--timeout", "30", "beat"});
    ASSERT_TRUE(send.waitForStarted());
    ASSERT_TRUE(WaitFor(
        [&] {
            ProcessPendingMessages();
            return in.Count() == 1;
        },
        20000));
    EXPECT_EQ(in[0], "beat");
    EXPECT_TRUE(allOnMain);
    const auto start = std::chrono::steady_clock::now();
    reader.reset();  // stops and joins the heartbeat
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    test::Finished(send, 20000);
}

TEST(NamedMutex, RecursiveWithinAThreadExclusiveBetweenHolders) {
    IpcNamespace ns;
    TMutex a("TestMutexSemaphore");
    TMutex b("TestMutexSemaphore");
    EXPECT_FALSE(a.Release());  // not held
    ASSERT_TRUE(a.Wait(TMutex::kInfinite));
    EXPECT_TRUE(a.Wait(0));  // again by the same thread
    EXPECT_FALSE(b.Wait(50));
    EXPECT_TRUE(a.Release());
    EXPECT_FALSE(b.Wait(50));  // still held once
    EXPECT_TRUE(a.Release());
    EXPECT_TRUE(b.Wait(50));
    EXPECT_TRUE(b.Release());
    ipc::Unlink("TestMutexSemaphore");
}

}  // namespace
}  // namespace qx
