// The login and download dialogue and the received-file handling, against the board
// simulator with sz as the sender; and the texts and numbers the handlers compute.
#include <fstream>
#include <sstream>

#include "bbs_fixture.h"
#include "shell/command_interpreter.h"
#include "support/utilities.h"

namespace bbstest {
namespace {

using Lines = std::vector<std::string>;

TEST(CollectTextTest, AnnouncesTheProductOfEachOfferedName) {
    const std::pair<const char*, const char*> cases[] = {
        {"RN999999.ZIP", "Collect forecast radar images NL (RN999999)"},
        {"RG999999.ZIP", "Collect forecast radar images GB/IRL (RG999999)"},
        {"RN0914.ZIP", "Collect radar image NL (RN0914)"},
        {"rn0914.zip", "Collect  (rn0914)"},  // case-sensitive: no description
        {"/tmp/in/WK0816.ZIP", "Collect short range text (WK0816)"},
        {"C:\\in\\EV0816.tar.ZIP", "Collect satellite picture visible (EV0816)"},
        {"X", "Collect  (X)"},
        {"", "Collect  ()"},
    };
    for (const auto& [offered, text] : cases) {
        EXPECT_EQ(qx::TBBSmodule::CollectText(offered), text) << offered;
    }
}

TEST(ProgressTest, PercentIsBoundedAndSurvivesLargeFiles) {
    EXPECT_EQ(qx::TBBSmodule::ProgressPercent(0, 0), 0);
    EXPECT_EQ(qx::TBBSmodule::ProgressPercent(10, 0), 0);
    EXPECT_EQ(qx::TBBSmodule::ProgressPercent(512, 1024), 50);
    // 100 * 30 MB overflows 32 bits.
    EXPECT_EQ(qx::TBBSmodule::ProgressPercent(15'000'000, 30'000'000), 50);
    EXPECT_EQ(qx::TBBSmodule::ProgressPercent(2048, 1024), 100);
}

TEST(LastReferenceTimeTest, FallsBackToTheLastMultipleOfTheInterval) {
    auto at = [](int h, int m, int s, int ms) {
        qx::TDateTime t;
        EXPECT_TRUE(qx::TryEncodeDateTime({2026, 3, 9, h, m, s, ms}, t));
        return t;
    };
    const double ms = 1.0 / qx::kMillisecondsPerDay;
    EXPECT_NEAR(qx::LastReferenceTime(at(14, 37, 12, 5), 1, 0).Value, at(14, 0, 0, 0).Value, ms);
    EXPECT_NEAR(qx::LastReferenceTime(at(14, 47, 12, 345), 0, 30).Value, at(14, 30, 0, 0).Value,
                ms);
    EXPECT_NEAR(qx::LastReferenceTime(at(14, 47, 12, 345), 3, 0).Value, at(12, 0, 0, 0).Value, ms);
    EXPECT_NEAR(qx::LastReferenceTime(at(14, 47, 12, 345), 0, 0).Value, at(14, 0, 0, 0).Value, ms);
}

class ScriptTest : public CallFixture {
  protected:
    // A board directory holding files of the given names (small zip-like contents).
    std::string Board(const Lines& names) {
        fs::path board = dir / "board";
        fs::create_directories(board);
        for (const std::string& n : names) {
            std::ofstream(board / n) << "contents of " << n << std::string(3000, 'x');
        }
        return board.string();
    }
    std::string SimLog() const {
        std::ifstream in(dir / "sim.log");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

TEST_F(ScriptTest, TwoRequestsAreServedInOneCallAndASetEntryWaits) {
    Start({"--files", Board({"WK0816.ZIP", "RN0816.ZIP"})});

    Queue("BBS SET TEMPDIR /elsewhere");
    Queue("BBS GET WK0816.ZIP");
    Queue("bbs get RN0816");
    StartCall();
    ASSERT_TRUE(WaitEnd(60000));
    const Lines expected = {"Dialling",
                            "Connected to OstrelCentre at ",
                            "Collect short range text (WK0816)",
                            "File collected: WK0816.ZIP",
                            "Collect radar image NL (RN0816)",
                            "File collected: RN0816.ZIP"};
    Lines replies = Replies();
    ASSERT_EQ(replies.size(), expected.size()) << ::testing::PrintToString(replies);
    replies[1] = replies[1].substr(0, expected[1].size());
    EXPECT_EQ(replies, expected);
    EXPECT_EQ(form->ReceivedFiles.Items(), (Lines{"WK0816.ZIP", "RN0816.ZIP"}));
    EXPECT_EQ(QueueItems(), Lines{"BBS SET TEMPDIR /elsewhere"});
    EXPECT_TRUE(fs::exists(dir / "tmp" / "WK0816.ZIP"));
    EXPECT_TRUE(fs::exists(dir / "tmp" / "RN0816.ZIP"));
    EXPECT_EQ(form->FileLabel, "");
    EXPECT_EQ(form->Progress, 0);
    // The version line comes first, the goodbye last.
    const std::string transcript = SimLog();
    const size_t version = transcript.find("board< I Version: ");
    const size_t download = transcript.find("board< Download");
    const size_t bye = transcript.rfind("board< B\\r");
    EXPECT_NE(version, std::string::npos) << transcript;
    EXPECT_LT(version, download);
    EXPECT_NE(bye, std::string::npos);
    EXPECT_EQ(bbs->LoginRetryCnt, 0);
}

TEST_F(ScriptTest, MissingFilesLeaveTheQueueAndLastFallsBackToEarlierNames) {
    // The newest names of the series are missing; two hours back the board has one.
    const qx::TDateTime ref = qx::LastReferenceTime(qx::NowLocal(), 1, 0);
    const std::string present =
        qx::ExpandRequestName("RNdduu", ref - qx::TimeInterval(2, 0)) + ".ZIP";
    Start({"--files", Board({present})});

    Queue("BBS GET NOPE.ZIP");
    Queue("BBS LAST RNdduu 1 0 4");
    StartCall();
    ASSERT_TRUE(WaitEnd(60000));
    EXPECT_TRUE(Logged("File not present: NOPE.ZIP"));
    EXPECT_TRUE(Logged("File collected: " + present)) << ::testing::PrintToString(Replies());
    EXPECT_FALSE(LoggedPrefix("File not present: RN"));
    EXPECT_TRUE(QueueItems().empty());
    EXPECT_EQ(form->ReceivedFiles.Items(), Lines{present});
}

TEST_F(ScriptTest, LastWithNoNameOnTheBoardIsReportedWithItsOldestName) {
    Start({});
    Queue("BBS LAST RNdduu 1 0 2");
    StartCall();
    ASSERT_TRUE(WaitEnd(60000));
    const qx::TDateTime ref = qx::LastReferenceTime(qx::NowLocal(), 1, 0);
    // Two names tried, the second (one hour back) reported; the call may have begun in the
    // hour before the test looked at the clock.
    const std::string oldest = qx::ExpandRequestName("RNdduu", ref - qx::TimeInterval(1, 0));
    const std::string older = qx::ExpandRequestName("RNdduu", ref - qx::TimeInterval(2, 0));
    EXPECT_EQ(Count("File not present: " + oldest) + Count("File not present: " + older), 1)
        << ::testing::PrintToString(Replies());
    EXPECT_EQ(Count("File not present: " + qx::ExpandRequestName("RNdduu", ref)), 0);
    EXPECT_TRUE(QueueItems().empty());
}

// With nothing to fetch (a GET without a name is no request) the program says goodbye.
TEST_F(ScriptTest, NoRequestAfterLoginSaysGoodbyeAndKeepsTheNamelessEntry) {
    Start({});
    Queue("BBS GET");
    StartCall();
    ASSERT_TRUE(WaitEnd(60000));
    EXPECT_EQ(QueueItems(), Lines{"BBS GET"});
    EXPECT_TRUE(form->ReceivedFiles.Empty());
    const std::string transcript = SimLog();
    EXPECT_EQ(transcript.find("board< Download"), std::string::npos) << transcript;
    EXPECT_NE(transcript.find("board< B\\r"), std::string::npos) << transcript;
}

TEST_F(ScriptTest, WrongPasswordIsRejectedThreeTimesThenTheLineIsHungUp) {
    Start({"--fail-login"});
    Queue("BBS GET WK0816.ZIP");
    StartCall();
    ASSERT_TRUE(WaitEnd(60000));
    EXPECT_EQ(Count("Username or password incorrect"), 3);
    EXPECT_FALSE(LoggedPrefix("File"));
    EXPECT_EQ(QueueItems(), Lines{"BBS GET WK0816.ZIP"});
    EXPECT_EQ(bbs->LoginRetryCnt, 1);  // a connection that never reached the main prompt
}

TEST_F(ScriptTest, DropInTheMiddleOfATransferKeepsTheRequestAndListsNothing) {
    fs::path board = dir / "board";
    fs::create_directories(board);
    std::ofstream(board / "WK0816.ZIP") << std::string(200000, 'w');
    Start({"--files", board.string(), "--drop-after-bytes", "40000"});
    Queue("BBS GET WK0816.ZIP");
    StartCall();
    ASSERT_TRUE(WaitEnd(90000));
    PumpFor(500);
    EXPECT_FALSE(Logged("File collected: WK0816.ZIP"));
    EXPECT_TRUE(form->ReceivedFiles.Empty());
    EXPECT_EQ(QueueItems(), Lines{"BBS GET WK0816.ZIP"});
    EXPECT_FALSE(bbs->Receiving);
}

}  // namespace
}  // namespace bbstest
