// A sender that stops after a damaged subpacket end, on a line that stays open: the receiver
// must notice within its own waits (two handshake waits of silence), not after its eleven
// ZRPOS rounds.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>

#include "platform/files.h"
#include "zmodem_peer.h"

namespace qx::test {
namespace {

TEST(BoardZmodem, SenderDyingAfterADroppedFrameEndFailsWithinTheReceiversWaits) {
    EnsureApplication();
    const std::string src = MakeTempDir("src"), dst = MakeTempDir("dst");
    WriteFile(JoinPath(src, "stall.bin"), RandomBytes(2 * 1024 * 1024, 21));
    PtyChild sz({"sz", "-q", "stall.bin"}, src);
    // Drops the frame-end code of one data subpacket well into the file.
    std::atomic<bool> dropped{false};
    bool afterZdle = false;
    Relay relay(
        sz.MasterFd(),
        [&](int64_t ofs, uint8_t b) -> int {
            const bool frameEnd = afterZdle && b >= 'h' && b <= 'k';
            afterZdle = b == 0x18;
            if (ofs > 100000 && frameEnd && !dropped) {
                dropped = true;
                return -1;
            }
            return b;
        },
        /*passEof=*/false);
    auto port = OpenPort(relay.OurFd());
    TCxProtocol proto;
    EventRecord rec;
    ConfigureLikeProgram(proto, dst);
    constexpr int kWaitTicks = 36;  // handshake wait of about 2 s
    proto.SetHandshakeWait(kWaitTicks);
    proto.SetComPort(port.get());
    rec.Attach(proto);
    proto.StartReceive();

    ASSERT_TRUE(WaitUntil([&] { return dropped.load(); }, 120000));
    sz.Kill(SIGKILL);
    const auto killed = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] { return rec.Finished; }, 120000));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - killed)
                          .count();
    std::printf("finished %lld ms after the sender died (handshake wait %d ms)\n",
                static_cast<long long>(took), kWaitTicks * 55);
    EXPECT_NE(rec.FinishCode, 0);
    EXPECT_EQ(rec.Count('L', 2), 1);
    EXPECT_TRUE(rec.Received.empty());
    // Bound: the bytes in flight may make one wait look busy, then two silent waits; four
    // waits plus slack for a loaded machine, well below the eleven waits of the retry rounds.
    EXPECT_LT(took, 4 * kWaitTicks * 55 + 4000);
    std::filesystem::remove_all(src);
    std::filesystem::remove_all(dst);
}

}  // namespace
}  // namespace qx::test
