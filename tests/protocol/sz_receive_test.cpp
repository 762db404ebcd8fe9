// The receiver against a real sender: lrzsz's sz on a pseudo-terminal, through TCxProtocol.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include "platform/files.h"
#include "zmodem_peer.h"

namespace qx::test {
namespace {

constexpr int kTransferMs = 120000;

struct Source {
    std::string Name;
    std::string Data;
    std::time_t Time;
};

class SzReceive : public ::testing::Test {
  protected:
    void SetUp() override {
        EnsureApplication();
        src_ = MakeTempDir("src");
        dst_ = MakeTempDir("dst");
    }
    void TearDown() override {
        std::filesystem::remove_all(src_);
        std::filesystem::remove_all(dst_);
    }

    void AddSource(const std::string& name, const std::string& data, std::time_t t = 1700000000) {
        WriteFile(JoinPath(src_, name), data);
        SetModifyTime(JoinPath(src_, name), t);
        sources_.push_back({name, data, t});
    }

    std::vector<std::string> SzArgs(std::vector<std::string> opts = {}) {
        std::vector<std::string> args = {"sz", "-q"};
        args.insert(args.end(), opts.begin(), opts.end());
        for (const Source& s : sources_) args.push_back(s.Name);
        return args;
    }

    void ExpectAllReceived(const EventRecord& rec) {
        EXPECT_EQ(rec.FinishCode, 0);
        ASSERT_EQ(rec.Received.size(), sources_.size());
        for (size_t i = 0; i < sources_.size(); ++i) {
            std::string upper = sources_[i].Name;
            for (char& c : upper)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            const std::string path = JoinPath(dst_, upper);
            EXPECT_EQ(rec.Received[i], path);
            EXPECT_TRUE(ReadFile(path) == sources_[i].Data) << path;
            DirEntry e;
            ASSERT_TRUE(GetFileInfo(path, e));
            EXPECT_EQ(e.ModifyTime, sources_[i].Time) << path;
        }
    }

    // The protocol set up as the program has it, on port, with rec recording its events; the
    // test may change settings before it starts the transfer.
    void Prepare(TCxProtocol& proto, EventRecord& rec, TCxComPort& port) {
        ConfigureLikeProgram(proto, dst_);
        proto.SetComPort(&port);
        rec.Attach(proto);
    }

    std::string src_, dst_;
    std::vector<Source> sources_;
};

TEST_F(SzReceive, OneFileArrivesIdenticalUpperCasedWithItsTime) {
    AddSource("radar01.zip", RandomBytes(100000, 1));
    PtyChild sz(SzArgs(), src_);
    auto port = OpenPort(sz.MasterFd());
    TCxProtocol proto;
    EventRecord rec;
    Prepare(proto, rec, *port);
    proto.StartReceive();
    ASSERT_TRUE(WaitUntil([&] { return rec.Finished; }, kTransferMs));
    ExpectAllReceived(rec);
    EXPECT_EQ(sz.Wait(10000), 0);
}

// Over TCP a large file streams fast enough for the port to batch its reads; the small files
// after it must not wait on that.
TEST_F(SzReceive, BatchWithEmptyAndLargeFilesIsByteIdenticalAndInOrder) {
    AddSource("a.zip", RandomBytes(3000, 2), 1600000000);
    AddSource("empty.txt", "", 1600000100);
    AddSource("big.bin", RandomBytes(5 * 1024 * 1024, 3), 1600000200);
    AddSource("zdle.bin",
              std::string(20000, '\x18') + std::string(5000, '\x11') + std::string(5000, '\x7f'),
              1600000300);
    for (const PtyChild::Line line : {PtyChild::kPty, PtyChild::kTcp}) {
        SCOPED_TRACE(line == PtyChild::kTcp ? "tcp" : "pty");
        std::filesystem::remove_all(dst_);
        std::filesystem::create_directory(dst_);
        PtyChild sz(SzArgs(), src_, line);
        auto port = OpenPort(sz.MasterFd());
        TCxProtocol proto;
        EventRecord rec;
        Prepare(proto, rec, *port);
        proto.StartReceive();
        ASSERT_TRUE(WaitUntil([&] { return rec.Finished; }, kTransferMs));
        ExpectAllReceived(rec);
        EXPECT_EQ(rec.Count('L', 0), 4);
        EXPECT_EQ(rec.Count('L', 2), 0);
    }
}

TEST_F(SzReceive, EightKilobyteSubpacketsNeedZmodem8K) {
    AddSource("big8k.bin", RandomBytes(600000, 4));
    PtyChild sz(SzArgs({"-8"}), src_);
    auto port = OpenPort(sz.MasterFd());
    TCxProtocol proto;
    EventRecord rec;
    Prepare(proto, rec, *port);
    proto.SetZmodem8K(true);
    proto.StartReceive();
    ASSERT_TRUE(WaitUntil([&] { return rec.Finished; }, kTransferMs));
    ExpectAllReceived(rec);
}

TEST_F(SzReceive, SenderThatEscapesControlCharactersAndSendsZsinit) {
    std::string all;
    for (int i = 0; i < 256 * 40; ++i) all += static_cast<char>(i & 0xFF);
    AddSource("ctl.bin", all);
    PtyChild sz(SzArgs({"-e"}), src_);
    auto port = OpenPort(sz.MasterFd());
    TCxProtocol proto;
    EventRecord rec;
    Prepare(proto, rec, *port);
    proto.StartReceive();
    ASSERT_TRUE(WaitUntil([&] { return rec.Finished; }, kTransferMs));
    ExpectAllReceived(rec);
}

TEST_F(SzReceive, SameSizeAndTimeIsSkippedAndTheBatchGoesOn) {
    AddSource("keep.zip", RandomBytes(5000, 5), 1650000000);
    AddSource("next.zip", RandomBytes(7000, 6), 1650000500);
    // KEEP.ZIP is present with the same size and time (other content: it must stay untouched).
    const std::string present = RandomBytes(5000, 7);
    WriteFile(JoinPath(dst_, "KEEP.ZIP"), present);
    SetModifyTime(JoinPath(dst_, "KEEP.ZIP"), 1650000000);
    // NEXT.ZIP is present with another size: overwritten.
    WriteFile(JoinPath(dst_, "NEXT.ZIP"), "old");
    PtyChild sz(SzArgs(), src_);
    auto port = OpenPort(sz.MasterFd());
    TCxProtocol proto;
    EventRecord rec;
    Prepare(proto, rec, *port);
    proto.StartReceive();
    ASSERT_TRUE(WaitUntil([&] { return rec.Finished; }, kTransferMs));
    EXPECT_EQ(rec.FinishCode, 0);
    EXPECT_EQ(rec.Count('L', 3), 1);
    ASSERT_EQ(rec.Received.size(), 1u);
    EXPECT_EQ(rec.Received[0], JoinPath(dst_, "NEXT.ZIP"));
    EXPECT_TRUE(ReadFile(JoinPath(dst_, "KEEP.ZIP")) == present);
    EXPECT_TRUE(ReadFile(JoinPath(dst_, "NEXT.ZIP")) == sources_[1].Data);
}

TEST_F(SzReceive, RefusedByTheAcceptHandlerIsSkippedAndFinishIsZero) {
    AddSource("no.zip", RandomBytes(5000, 8));
    AddSource("yes.zip", RandomBytes(5000, 9));
    PtyChild sz(SzArgs(), src_);
    auto port = OpenPort(sz.MasterFd());
    TCxProtocol proto;
    EventRecord rec;
    Prepare(proto, rec, *port);
    rec.Accept = [](std::string& name) { return name.find("NO.ZIP") == std::string::npos; };
    proto.StartReceive();
    ASSERT_TRUE(WaitUntil([&] { return rec.Finished; }, kTransferMs));
    EXPECT_EQ(rec.FinishCode, 0);
    EXPECT_EQ(rec.Count('L', 3), 1);
    ASSERT_EQ(rec.Received.size(), 1u);
    EXPECT_FALSE(FileExists(JoinPath(dst_, "NO.ZIP")));
    EXPECT_TRUE(ReadFile(JoinPath(dst_, "YES.ZIP")) == sources_[1].Data);
}

TEST_F(SzReceive, DamagedAndDroppedBytesAreRecoveredByZrpos) {
    AddSource("one.bin", RandomBytes(400000, 10));
    AddSource("two.bin", RandomBytes(300000, 11));
    PtyChild sz(SzArgs(), src_);
    // Flip a byte every 37 KB of the stream and drop a run of 700 bytes once.
    Relay relay(sz.MasterFd(), [](int64_t ofs, uint8_t b) -> int {
        if (ofs > 2000 && ofs % 37003 == 0) return b ^ 0x5A;
        if (ofs >= 250000 && ofs < 250700) return -1;
        return b;
    });
    auto port = OpenPort(relay.OurFd());
    TCxProtocol proto;
    EventRecord rec;
    Prepare(proto, rec, *port);
    proto.StartReceive();
    ASSERT_TRUE(WaitUntil([&] { return rec.Finished; }, kTransferMs));
    ExpectAllReceived(rec);
    EXPECT_GT(proto.TotalErrors() + rec.Count('S', 0), 0);
}

// A relay that slows the sender down, so that "mid-file" is a moment a test can find.
Relay::Damage Slow() {
    return [](int64_t ofs, uint8_t b) -> int {
        if (ofs % 2048 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return b;
    };
}

TEST_F(SzReceive, SenderKilledMidFileFailsAndNothingIsReportedReceived) {
    AddSource("victim.bin", RandomBytes(4 * 1024 * 1024, 12));
    PtyChild sz(SzArgs(), src_);
    Relay relay(sz.MasterFd(), Slow());
    auto port = OpenPort(relay.OurFd());
    TCxProtocol proto;
    EventRecord rec;
    Prepare(proto, rec, *port);
    proto.SetHandshakeWait(9);  // keep the dead-line rounds short
    proto.StartReceive();
    ASSERT_TRUE(WaitUntil([&] { return proto.BytesTransferred() > 100000; }, kTransferMs));
    sz.Kill(SIGKILL);
    ASSERT_TRUE(WaitUntil([&] { return rec.Finished; }, kTransferMs));
    EXPECT_NE(rec.FinishCode, 0);
    EXPECT_EQ(rec.Count('L', 2), 1);
    EXPECT_TRUE(rec.Received.empty());
}

TEST_F(SzReceive, LocalCancelMidFileLogsFailureAndFinishesWith6005) {
    AddSource("cancel.bin", RandomBytes(4 * 1024 * 1024, 13));
    PtyChild sz(SzArgs(), src_);
    Relay relay(sz.MasterFd(), Slow());
    auto port = OpenPort(relay.OurFd());
    TCxProtocol proto;
    EventRecord rec;
    Prepare(proto, rec, *port);
    proto.StartReceive();
    ASSERT_TRUE(WaitUntil([&] { return proto.BytesTransferred() > 100000; }, kTransferMs));
    proto.CancelProtocol();
    ASSERT_TRUE(WaitUntil([&] { return rec.Finished; }, 30000));
    EXPECT_EQ(rec.FinishCode, -6005);
    EXPECT_EQ(rec.Count('L', 2), 1);
    EXPECT_TRUE(rec.Received.empty());
    // The sender heard the cancel and gave up.
    EXPECT_NE(sz.Wait(20000), 0);
}

TEST_F(SzReceive, PortClosedMidFileFinishesWith6005) {
    AddSource("closed.bin", RandomBytes(4 * 1024 * 1024, 14));
    PtyChild sz(SzArgs(), src_);
    Relay relay(sz.MasterFd(), Slow());
    auto port = OpenPort(relay.OurFd());
    TCxProtocol proto;
    EventRecord rec;
    Prepare(proto, rec, *port);
    proto.StartReceive();
    ASSERT_TRUE(WaitUntil([&] { return proto.BytesTransferred() > 100000; }, kTransferMs));
    port->SetOpen(false);
    ASSERT_TRUE(WaitUntil([&] { return rec.Finished; }, 30000));
    EXPECT_EQ(rec.FinishCode, -6005);
    EXPECT_EQ(rec.Count('L', 2), 1);
    EXPECT_TRUE(rec.Received.empty());
}

TEST_F(SzReceive, EventsComeInTheDocumentedOrder) {
    AddSource("first.zip", RandomBytes(20000, 15));
    AddSource("second.zip", RandomBytes(20000, 16));
    PtyChild sz(SzArgs(), src_);
    auto port = OpenPort(sz.MasterFd());
    TCxProtocol proto;
    EventRecord rec;
    Prepare(proto, rec, *port);
    proto.StartReceive();
    ASSERT_TRUE(WaitUntil([&] { return rec.Finished; }, kTransferMs));
    ASSERT_GE(rec.Events.size(), 3u);
    const auto& ev = rec.Events;
    EXPECT_EQ(ev.front().Kind, 'S');
    EXPECT_EQ(ev.front().Code, 1);
    EXPECT_EQ(ev[ev.size() - 2].Kind, 'S');
    EXPECT_EQ(ev[ev.size() - 2].Code, 2);
    EXPECT_EQ(ev.back().Kind, 'F');
    // Per file: log 0, accept, log 1; no other first/last reports.
    std::string files;
    for (size_t i = 1; i + 2 < ev.size(); ++i) {
        if (ev[i].Kind == 'S') {
            EXPECT_EQ(ev[i].Code, 0);
            continue;
        }
        files += ev[i].Kind;
        files += std::to_string(ev[i].Code);
    }
    EXPECT_EQ(files, "L0A0L1L0A0L1");
    EXPECT_FALSE(proto.InProgress());
}

TEST_F(SzReceive, WriteFailureCancelsTheSenderAndReportsDiskFull) {
    AddSource("full.bin", RandomBytes(300000, 17));
    PtyChild sz(SzArgs(), src_);
    auto port = OpenPort(sz.MasterFd());
    TCxProtocol proto;
    EventRecord rec;
    Prepare(proto, rec, *port);
    // A file size limit makes every write past 64 KiB fail, as a full disk does; the receiver
    // only writes files it creates itself, so a device such as /dev/full cannot stand in.
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 65536;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    proto.StartReceive();
    const bool finished = WaitUntil([&] { return rec.Finished; }, kTransferMs);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    ASSERT_TRUE(finished);
    EXPECT_EQ(rec.FinishCode, -101);
    EXPECT_EQ(rec.Count('E', -101), 1);
    EXPECT_EQ(rec.Count('L', 2), 1);
    EXPECT_TRUE(rec.Received.empty());
    EXPECT_NE(sz.Wait(20000), 0);
}

TEST(ZmodemStart, SilentSenderGetsElevenZrinitsThenFailsWith6008) {
    EnsureApplication();
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    auto port = OpenPort(sv[0]);
    TCxProtocol proto;
    ConfigureLikeProgram(proto, "/tmp");
    proto.SetHandshakeWait(2);  // the test's own wait between requests (about 0.1 s)
    proto.SetComPort(port.get());
    EventRecord rec;
    rec.Attach(proto);
    proto.StartReceive();
    ASSERT_TRUE(WaitUntil([&] { return rec.Finished; }, 60000));
    EXPECT_EQ(rec.FinishCode, -6008);
    EXPECT_EQ(rec.Count('E', -6008), 1);
    port->SetOpen(false);
    std::string heard;
    char buf[4096];
    ssize_t n;
    while ((n = recv(sv[1], buf, sizeof buf, MSG_DONTWAIT)) > 0)
        heard.append(buf, static_cast<size_t>(n));
    int zrinit = 0;
    for (size_t at = heard.find("**\x18"
                                "B01");
         at != std::string::npos; at = heard.find("**\x18"
                                                  "B01",
                                                  at + 1))
        ++zrinit;
    EXPECT_EQ(zrinit, 11);
    close(sv[0]);
    close(sv[1]);
}

TEST(ZmodemStart, ClosedPortFinishesAtOnceWith103AndNoFileEvents) {
    EnsureApplication();
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    auto port = OpenPort(sv[0]);
    port->SetOpen(false);
    TCxProtocol proto;
    ConfigureLikeProgram(proto, "/tmp");
    proto.SetComPort(port.get());
    EventRecord rec;
    rec.Attach(proto);
    proto.StartReceive();
    ASSERT_TRUE(WaitUntil([&] { return rec.Finished; }, 10000));
    EXPECT_EQ(rec.FinishCode, -103);
    EXPECT_EQ(rec.Count('L', 0) + rec.Count('A', 0), 0);
    close(sv[0]);
    close(sv[1]);
}

}  // namespace
}  // namespace qx::test
