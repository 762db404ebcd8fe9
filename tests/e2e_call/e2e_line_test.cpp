// Dialling as the user sees it through the presentation program's mailbox: a busy line, a line
// without carrier until the retries run out, an abort during the countdown, and a presentation
// program that goes away. The countdowns take their real ten seconds.
#include "e2e_support.h"

namespace e2e {
namespace {

class DialTest : public CallTest {};

TEST_F(DialTest, BusyLineIsEngagedCountsDownRedialsAndAbortEndsTheCall) {
    Start({"--number", "555=busy"});
    Send("BBS SET PHONE 555 user secret");
    Send("BBS GET WK0816.ZIP");
    ASSERT_TRUE(WaitReply("Dialling", 60000, 2));
    Send("ABORT");
    ASSERT_TRUE(WaitReply("No data collected", 60000));
    Lines expected = {"Dialling", "Engaged"};
    for (int s = 10; s >= 1; --s)
        expected.push_back("Next try in " + std::to_string(s) + " seconds");
    expected.insert(expected.end(), {"Dialling", "Engaged"});
    Lines got = From("Dialling");
    ASSERT_GE(got.size(), expected.size()) << ::testing::PrintToString(got);
    EXPECT_EQ(Lines(got.begin(), got.begin() + expected.size()), expected);
    EXPECT_EQ(got.back(), "No data collected");
    EXPECT_EQ(CountPrefix("Dialling"), 2);
    EXPECT_EQ(CountPrefix("No carrier"), 0);
    Exit();
    EXPECT_NE(Stderr().find(" 20 Is Aborted .."), std::string::npos);
}

TEST_F(DialTest, TenDialsWithoutCarrierGiveUpAndClearTheQueue) {
    Start({"--number", "666=no-carrier"});
    Send("BBS SET PHONE 666 user secret");
    Send("BBS GET WK0816.ZIP");
    Send("BBS GET RN0816.ZIP");
    ASSERT_TRUE(WaitReply("No data collected", 170000));
    EXPECT_EQ(CountPrefix("Dialling"), 10);
    EXPECT_EQ(CountPrefix("No carrier"), 10);
    EXPECT_EQ(CountPrefix("Next try in 1 seconds"), 9);
    EXPECT_EQ(CountPrefix("Engaged"), 0);
    // The queue was cleared: the second request never gets a call of its own.
    WaitFor([] { return false; }, 2500);
    ReadReplies();
    EXPECT_EQ(CountPrefix("Dialling"), 10);
    Exit();
    const std::string err = Stderr();
    // The line was idle before every dial: no dial was refused by the line device.
    EXPECT_EQ(err.find("TAPI already open"), std::string::npos);
    EXPECT_EQ(err.find("****Idle:0"), std::string::npos);
}

TEST_F(DialTest, PresentationThatGoesAwayMakesTheProgramEndItself) {
    Start({"--number", "555=busy"});
    Send("BBS SET PHONE 555 user secret");
    Send("BBS GET WK0816.ZIP");
    ASSERT_TRUE(WaitReply("Next try in 8 seconds", 60000));
    session->kill();  // the presentation program dies; its presence lock goes with it
    session->waitForFinished(5000);
    ASSERT_TRUE(WaitFor([&] { return quorvex->state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(quorvex->exitCode(), 0);
    const std::string err = Stderr();
    EXPECT_NE(err.find("No Presentation running..."), std::string::npos);
    EXPECT_NE(err.find("Communication program stopped"), std::string::npos);
}

}  // namespace
}  // namespace e2e
