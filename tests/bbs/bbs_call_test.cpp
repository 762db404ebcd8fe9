// The call controller against the board simulator: what a busy line, a dead line, the hang-up
// button, a missing presentation program and the retry limit make the call report and do.
#include "bbs_fixture.h"

namespace bbstest {
namespace {

using Lines = std::vector<std::string>;

class CallControllerTest : public CallFixture {};

// The line device reports a busy line before "call finished"; the user must still hear
// "Engaged", and the next dial follows a ten-second countdown.
TEST_F(CallControllerTest, BusyLineIsEngagedThenCountsDownAndDialsAgain) {
    Start({"--number", "555=busy"});
    bbs->PhoneNumber = "555";
    Queue("BBS GET WK0816.ZIP");
    StartCall();
    ASSERT_TRUE(PumpUntil([&] { return Count("Dialling") >= 2; }, 40000));
    bbs->StopRedial();
    Lines expected = {"Dialling", "Engaged"};
    for (int s = 10; s >= 1; --s)
        expected.push_back("Next try in " + std::to_string(s) + " seconds");
    expected.push_back("Dialling");
    Lines replies = Replies();
    replies.resize(std::min(replies.size(), expected.size()));
    EXPECT_EQ(replies, expected);
    EXPECT_FALSE(Logged("No carrier"));
    EXPECT_EQ(bbs->DialRetryCnt, qx::TBBSmodule::kDialRetryLimit);
    EXPECT_EQ(QueueItems(), Lines{"BBS GET WK0816.ZIP"});  // the request waits for its call
}

TEST_F(CallControllerTest, NoCarrierThenAbortDuringTheCountdownEndsTheCall) {
    Start({"--number", "666=no-carrier"});
    bbs->PhoneNumber = "666";
    Queue("BBS GET WK0816.ZIP");
    When("Next try in 9 seconds", [&] { Queue("Abort"); });
    StartCall();
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(form->EndOfCalls, 1);
    EXPECT_TRUE(Logged("Is Aborted .."));
    EXPECT_EQ(Count("Dialling"), 1);
    EXPECT_TRUE(Logged("No carrier"));
    EXPECT_FALSE(Logged("Engaged"));
    EXPECT_TRUE(QueueItems().empty());  // the countdown's abort check cleared the queue
    PumpFor(1500);
    EXPECT_EQ(Count("Dialling"), 1);
}

TEST_F(CallControllerTest, TenthFailedDialGivesUpWithoutDiallingAgain) {
    Start({"--number", "666=no-carrier"});
    bbs->PhoneNumber = "666";
    Queue("BBS GET WK0816.ZIP");
    bbs->DialRetryCnt = 9;  // nine dials of this request have failed already
    bbs->DialTimer.start();
    ASSERT_TRUE(WaitEnd(40000));
    EXPECT_EQ(Count("Dialling"), 1);
    EXPECT_EQ(bbs->DialRetryCnt, 10);
    EXPECT_EQ(QueueItems(), (Lines{"BBS GET WK0816.ZIP", "Abort"}));
    EXPECT_FALSE(bbs->DialTimer.isActive());
    PumpFor(1500);
    EXPECT_EQ(Count("Dialling"), 1);
}

TEST_F(CallControllerTest, HangUpWhileDiallingIsAbortedByUserAndNotRedialled) {
    Start({"--number", "777=silent"});
    bbs->PhoneNumber = "777";
    Queue("BBS GET WK0816.ZIP");
    StartCall();
    ASSERT_TRUE(WaitLogged("Dialling"));
    ASSERT_TRUE(PumpUntil([&] { return bbs->TapiDevice.TapiState() == qx::tsDialing; }, 20000));
    bbs->DisconnectClick();
    ASSERT_TRUE(WaitEnd());
    EXPECT_TRUE(Logged("Connection aborted by user"));
    EXPECT_FALSE(bbs->UserAbort);
    PumpFor(2500);
    EXPECT_EQ(Count("Dialling"), 1);
    EXPECT_FALSE(bbs->DialTimer.isActive());
    EXPECT_EQ(QueueItems(), (Lines{"BBS GET WK0816.ZIP", "Abort"}));
}

TEST_F(CallControllerTest, MissingPresentationQueuesAbortAndExitWithoutDialling) {
    Start({});
    Queue("BBS GET WK0816.ZIP");
    presence.Release();
    StartCall();
    ASSERT_TRUE(WaitEnd());
    EXPECT_TRUE(Logged("No Presentation running..."));
    EXPECT_FALSE(Logged("Dialling"));
    EXPECT_EQ(QueueItems(), (Lines{"BBS GET WK0816.ZIP", "Abort", "Exit"}));
}

// A line held by another program: the dial fails cleanly, is reported, and is retried.
TEST_F(CallControllerTest, LockedLineIsAFailedDialNotAStuckCall) {
    Start({"--number", "777=silent"});
    qx::TCxComPort otherPort;
    otherPort.TapiMode = qx::tmOn;
    otherPort.AutoOpen = false;
    qx::TCxTapiDevice other(&otherPort);
    other.SelectedDevice = link;
    other.MaxAttempts = 0;
    other.OnTapiFail = [] {};
    other.Dial("777");
    ASSERT_TRUE(PumpUntil([&] { return other.TapiState() == qx::tsDialing; }, 20000));
    Queue("BBS GET WK0816.ZIP");
    When("Next try in 10 seconds", [&] {
        bbs->StopRedial();
        Queue("Abort");
    });
    StartCall();
    ASSERT_TRUE(WaitEnd());
    EXPECT_TRUE(Logged("No carrier"));
    EXPECT_FALSE(Logged("Dialling"));
    EXPECT_TRUE(LoggedPrefix("Next try in 10 seconds"));
    other.CancelCall();
}

// The outcome rule alone, with the line device's order of events for a failed dial.
TEST_F(CallControllerTest, OutcomeOfAFailedDialFollowsWhatTheLineReported) {
    Start({});
    struct Case {
        std::vector<qx::TTapiLogCode> codes;
        const char* reply;
    } cases[] = {
        {{qx::ltapiDial, qx::ltapiBusy, qx::ltapiDrop, qx::ltapiCallFinish, qx::ltapiDialFail},
         "Engaged"},
        {{qx::ltapiDial, qx::ltapiDrop, qx::ltapiCallFinish, qx::ltapiDialFail}, "No carrier"},
        {{qx::ltapiDial, qx::ltapiDrop, qx::ltapiCallFinish, qx::ltapiBusy, qx::ltapiDialFail},
         "Engaged"},
    };
    bbs->DialRetryCnt = qx::TBBSmodule::kDialRetryLimit;  // no redial after the report
    for (const Case& c : cases) {
        log.clear();
        bbs->CallOutcome = 0;
        for (qx::TTapiLogCode code : c.codes) bbs->TapiDeviceTapiLog(code);
        bbs->TapiDeviceTapiFail();
        EXPECT_EQ(Replies(), (Lines{"Dialling", c.reply})) << c.reply;
    }
    EXPECT_FALSE(bbs->DialTimer.isActive());
}

}  // namespace
}  // namespace bbstest
