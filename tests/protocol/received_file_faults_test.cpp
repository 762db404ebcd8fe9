// The receiver writes only files it creates itself: a symbolic link in the destination with the
// name of an incoming file is replaced by the received file, never followed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/files.h"
#include "zmodem_peer.h"

namespace qx::test {
namespace {

namespace fs = std::filesystem;

TEST(ReceivedFileFaults, LinkWithTheIncomingNameIsReplacedAndItsTargetUntouched) {
    EnsureApplication();
    struct Case {
        const char* What;
        bool TargetExists;
    };
    for (const Case& c : {Case{"link to a file", true}, Case{"dangling link", false}}) {
        SCOPED_TRACE(c.What);
        const std::string src = MakeTempDir("src"), dst = MakeTempDir("dst");
        const std::string outside = MakeTempDir("outside");
        const std::string victim = JoinPath(outside, "victim");
        if (c.TargetExists) WriteFile(victim, "not yours");
        ASSERT_EQ(::symlink(victim.c_str(), JoinPath(dst, "ONE.ZIP").c_str()), 0);
        const std::string data = RandomBytes(20000, 3);
        WriteFile(JoinPath(src, "one.zip"), data);

        PtyChild sz({"sz", "-q", "one.zip"}, src);
        auto port = OpenPort(sz.MasterFd());
        TCxProtocol proto;
        EventRecord rec;
        ConfigureLikeProgram(proto, dst);
        proto.SetComPort(port.get());
        rec.Attach(proto);
        proto.StartReceive();
        ASSERT_TRUE(WaitUntil([&] { return rec.Finished; }, 120000));

        EXPECT_EQ(rec.FinishCode, 0);
        const fs::path received = JoinPath(dst, "ONE.ZIP");
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(received)));
        EXPECT_TRUE(ReadFile(received.string()) == data);
        if (c.TargetExists) {
            EXPECT_EQ(ReadFile(victim), "not yours");
        } else {
            EXPECT_FALSE(fs::exists(fs::symlink_status(victim)));
        }
        // No temporary file is left beside it.
        EXPECT_EQ(std::distance(fs::directory_iterator(dst), fs::directory_iterator()), 1);
        for (const std::string& dir : {src, dst, outside}) fs::remove_all(dir);
    }
}

}  // namespace
}  // namespace qx::test
