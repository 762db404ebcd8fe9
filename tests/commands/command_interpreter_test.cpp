// The command language on a running main window (no display): replies, settings, the start of a
// call, bad input, and the re-entry rules that keep a command from running twice.
#include "shell/command_interpreter.h"

#include <gtest/gtest.h>

#include <QTimer>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "../shell/ipc_test_env.h"
#include "offscreen_app.h"
#include "shell/main_window.h"
#include "weatherdb/zodevurez_db_module.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

TEST(LastReferenceTime, FallsBackToTheLastMultipleOfTheInterval) {
    TDateTime now;
    ASSERT_TRUE(TryEncodeDateTime({2026, 3, 9, 14, 47, 12, 345}, now));
    struct Case {
        int H, M, Hour, Minute;
    } cases[] = {{0, 30, 14, 30}, {0, 15, 14, 45}, {3, 0, 12, 0},
                 {0, 0, 14, 0},   {1, 0, 14, 0},   {5, 20, 10, 40}};
    for (const Case& c : cases) {
        const DateTimeParts p = DecodeDateTime(LastReferenceTime(now, c.H, c.M));
        EXPECT_EQ(p.Day, 9);
        EXPECT_EQ(p.Hour, c.Hour) << c.H << " " << c.M;
        EXPECT_EQ(p.Minute, c.Minute) << c.H << " " << c.M;
        EXPECT_EQ(p.Second, 0);
        EXPECT_EQ(p.Millisecond, 0);
    }
}

class CommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("qx_cmd_" + ns_.Name);
        fs::create_directories(dir_ / "temp dir");
        oldDir_ = fs::current_path();
        fs::current_path(dir_);
        form_ = std::make_unique<TfrmVudaDUD>(false, false);
        form_->ExeName = "qxtest";
        form_->HeartbeatMs = 50;
        testing::internal::CaptureStderr();
        ASSERT_TRUE(form_->FormCreate());
        form_->DebugLevel = 40;
        form_->Timer.stop();  // ticks are driven by the test
    }
    void TearDown() override {
        testing::internal::GetCapturedStderr();
        form_.reset();
        fs::current_path(oldDir_);
        fs::remove_all(dir_);
    }
    void Queue(const std::string& line) { form_->FromPresentation->Post(line); }
    // A usable temporary directory and an opened database: a GET may dial.
    void Ready() {
        form_->BBSmodule->TempDir = (dir_ / "temp dir").string();
        fs::create_directories(dir_ / "data");
        form_->DbModule =
            std::make_unique<TZodevurezDbModule>("Weather", (dir_ / "data").string() + "/");
    }
    // One tick with the command timer running, as the timer would deliver it.
    void Tick() {
        form_->Timer.start();
        form_->Command();
    }
    std::vector<std::string> Replies() const { return form_->Outbox.Items(); }
    bool Replied(const std::string& text) const {
        for (const std::string& r : Replies()) {
            if (r == text) return true;
        }
        return false;
    }
    int Logged(const std::string& prefix) const {
        int n = 0;
        for (const std::string& l : form_->LogLines.Items()) {
            if (l.compare(6, prefix.size(), prefix) == 0) ++n;
        }
        return n;
    }
    int QueueCount() const { return form_->QueueLines.Count(); }

    test::IpcNamespace ns_;
    fs::path dir_, oldDir_;
    std::unique_ptr<TfrmVudaDUD> form_;
};

TEST_F(CommandTest, UnknownAndUnimplementedCommandsAreAnsweredAndRemoved) {
    for (const char* c : {"HELLO there", "MINI", "meet", "BBS FOO", "BBS SET COLOUR red"}) Queue(c);
    for (int i = 0; i < 5; ++i) Tick();
    EXPECT_TRUE(Replied("Unknown command received from Skelvane: HELLO there"));
    EXPECT_TRUE(Replied("Command not implemented: MINI"));
    EXPECT_TRUE(Replied("Command not implemented: meet"));
    EXPECT_TRUE(Replied("Command not implemented: BBS FOO"));
    EXPECT_TRUE(Replied("Command not implemented: BBS SET COLOUR red"));
    EXPECT_EQ(QueueCount(), 0);
    EXPECT_TRUE(form_->Timer.isActive());
}

TEST_F(CommandTest, SettingsAreStoredAsWrittenAndDestDirEqualToTempDirIsDropped) {
    const std::string temp = (dir_ / "temp dir").string();
    Queue("bbs set phone 0301234567 User Secret");
    Queue("BBS SET TEMPDIR  \"" + temp + "\"");
    Queue("BBS SET INITSTRING ATZ");
    Queue("BBS SET SOURCEDIR /src");
    for (int i = 0; i < 4; ++i) Tick();
    EXPECT_EQ(form_->BBSmodule->PhoneNumber, "0301234567");
    EXPECT_EQ(form_->BBSmodule->UserName, "User");
    EXPECT_EQ(form_->BBSmodule->Password, "Secret");
    EXPECT_EQ(form_->BBSmodule->TempDir, temp);
    EXPECT_EQ(form_->BBSmodule->SourceDir, "/src");

    std::string upper = temp;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    Queue("BBS SET DESTDIR \"" + upper + "\"");
    Tick();
    EXPECT_EQ(form_->DestDir, "");
    Queue("BBS SET DESTDIR /archive");
    Tick();
    EXPECT_EQ(form_->DestDir, "/archive");
    EXPECT_TRUE(Replies().size() == 1) << "only the start-up reply";
    EXPECT_EQ(QueueCount(), 0);
}

TEST_F(CommandTest, GetBeforeTempDirIsRefusedAndNothingIsDialled) {
    Queue("BBS GET RN0914");
    Tick();
    EXPECT_TRUE(Replied("No temporary directory set: BBS GET RN0914"));
    EXPECT_EQ(QueueCount(), 0);
    EXPECT_FALSE(form_->BBSmodule->DialTimer.isActive());
    EXPECT_TRUE(form_->Timer.isActive());
}

TEST_F(CommandTest, LowerCaseGetStartsACallAndStaysQueued) {
    Ready();
    Queue("bbs get MixedCase.Zip");
    Tick();
    EXPECT_EQ(QueueCount(), 1);
    EXPECT_TRUE(form_->BBSmodule->DialTimer.isActive());
    EXPECT_FALSE(form_->Timer.isActive());
    EXPECT_FALSE(form_->CloseEnabled);
    EXPECT_TRUE(form_->HangUpEnabled);
    form_->BBSmodule->DialTimer.stop();
}

TEST_F(CommandTest, TickArrivingWhileACommandIsHandledNeverRunsItTwice) {
    Ready();
    Queue("BBS GET RN0914");
    // Log pumps the event loop: this tick is delivered while the first one is still busy.
    QTimer::singleShot(0, [this] { form_->Command(); });
    Tick();
    form_->Command();  // a late tick after the call started: the timer is off, nothing happens
    EXPECT_EQ(Logged("CommandBBSGet: BBS GET RN0914..."), 1);
    EXPECT_EQ(QueueCount(), 1);
    form_->BBSmodule->DialTimer.stop();
}

TEST_F(CommandTest, LastStoresTheSeriesAndItsReferenceTime) {
    Ready();
    Queue("BBS LAST RNdduu 1 0 4");
    const TDateTime before = NowLocal();
    Tick();
    TBBSmodule& bbs = *form_->BBSmodule;
    EXPECT_EQ(bbs.RequestName, "RNdduu");
    EXPECT_EQ(bbs.LastTriesLeft, 4);
    EXPECT_NEAR(bbs.LastInterval.Value, 1.0 / 24, 1e-9);
    const DateTimeParts p = DecodeDateTime(bbs.LastTime);
    EXPECT_EQ(p.Minute, 0);
    EXPECT_EQ(p.Second, 0);
    EXPECT_LE(bbs.LastTime.Value, before.Value);
    EXPECT_TRUE(bbs.DialTimer.isActive());
    EXPECT_EQ(QueueCount(), 1);
    bbs.DialTimer.stop();
}

TEST_F(CommandTest, LastWithBadNumbersIsInvalidAndTheQueueGoesOn) {
    Ready();
    const char* bad[] = {"BBS LAST RNdduu x 0 4", "BBS LAST RNdduu 24 0 4",
                         "BBS LAST RNdduu 1 60 4", "BBS LAST RNdduu 1 0", "BBS LAST RNdduu -1 0 4"};
    for (const char* c : bad) Queue(c);
    Queue("MINI");
    for (int i = 0; i < 6; ++i) Tick();
    for (const char* c : bad) EXPECT_TRUE(Replied(std::string("Invalid command: ") + c)) << c;
    EXPECT_TRUE(Replied("Command not implemented: MINI"));
    EXPECT_FALSE(form_->BBSmodule->DialTimer.isActive());
    EXPECT_TRUE(form_->Timer.isActive());
}

TEST_F(CommandTest, AbortBehindAGetClearsTheQueueBeforeTheGetIsLookedAt) {
    Ready();
    Queue("BBS GET RN0914");
    Queue("ABORT");
    Tick();
    EXPECT_EQ(QueueCount(), 0);
    EXPECT_FALSE(form_->BBSmodule->DialTimer.isActive());
}

TEST_F(CommandTest, AbortAndExitLeaveOnlyExitWhichEndsTheProgram) {
    bool closed = false;
    form_->OnClosed = [&] { closed = true; };
    Queue("BBS GET RN0914");
    Queue("ABORT");
    Queue("EXIT");
    form_->AbortCheck();
    ASSERT_EQ(QueueCount(), 1);
    EXPECT_EQ(form_->QueueLines[0], "Exit");
    Tick();
    EXPECT_TRUE(closed);
    EXPECT_TRUE(Replied("Communication program stopped"));
}

TEST_F(CommandTest, OpenCreatesTheDatabaseModuleDisconnected) {
    const std::string data = (dir_ / "data").string() + "/";
    fs::create_directories(data);
    Queue("BBS OPEN DATABASE Weather " + data);
    Tick();
    ASSERT_NE(form_->DbModule, nullptr);
    EXPECT_EQ(form_->DbModule->DatabaseName, "Weather");
    EXPECT_EQ(form_->DbModule->DataPath, data);
    EXPECT_FALSE(form_->DbModule->Connected());
}

TEST_F(CommandTest, EndOfCallWithNothingReceivedSaysNoDataCollected) {
    form_->BBSmodule->TempDir = (dir_ / "temp dir").string();
    form_->CommandBBSStop();
    const std::vector<std::string> r = Replies();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[1].rfind("Data collection completed ", 0), 0u);
    EXPECT_EQ(r[1].size(), std::string("Data collection completed 14:05:31").size());
    EXPECT_EQ(r[2].rfind("No data collected (", 0), 0u);
    EXPECT_EQ(r[2].substr(r[2].size() - 2), ") ");
    EXPECT_TRUE(form_->Timer.isActive());
    EXPECT_TRUE(form_->CloseEnabled);
}

TEST_F(CommandTest, UnknownTapiDeviceIsReportedAndEndsTheProgram) {
    bool closed = false;
    form_->OnClosed = [&] { closed = true; };
    Queue("BBS SET TAPI /dev/no-such-modem");
    Tick();
    EXPECT_TRUE(Replied("Modem unknown: /dev/no-such-modem"));
    EXPECT_TRUE(closed);
}

}  // namespace
}  // namespace qx
