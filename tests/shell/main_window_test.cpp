// The main window core without a display: start-up, Log, the echo line, the debug file, the
// private messages and the orderly shutdown with its replies.
#include <gtest/gtest.h>
#include <signal.h>

#include <QProcess>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ipc_test_env.h"
#include "offscreen_app.h"
#include "platform/event_loop.h"
#include "processing/pending_archives.h"
#include "shell/main_window.h"
#include "support/log.h"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::WaitFor;

// A window with counting seams, a private namespace and its own working directory.
class Form : public TfrmVudaDUD {
  public:
    using TfrmVudaDUD::TfrmVudaDUD;
    void CommandBBSStop() override { ++stops; }
    void CancelCurrentCall() override { ++hangUps; }
    int stops = 0;
    int hangUps = 0;
};

class MainWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("qx_mw_" + ns_.Name);
        fs::create_directories(dir_);
        oldDir_ = fs::current_path();
        fs::current_path(dir_);
    }
    void TearDown() override {
        form_.reset();
        fs::current_path(oldDir_);
        fs::remove_all(dir_);
    }
    Form& Make(bool withTray = false) {
        form_ = std::make_unique<Form>(withTray);
        form_->ExeName = "qxtest";
        form_->HeartbeatMs = 50;
        return *form_;
    }
    Form& Started(bool withTray = false) {
        Form& f = Make(withTray);
        testing::internal::CaptureStderr();
        EXPECT_TRUE(f.FormCreate());
        stderr_ = testing::internal::GetCapturedStderr();
        return f;
    }
    void WriteDebugFile(const std::string& text) {
        std::ofstream(dir_ / "qxtest.dbg", std::ios::binary) << text;
    }
    std::vector<std::string> Texts() const {  // log lines without their "MM:SS " prefix
        std::vector<std::string> out;
        for (const std::string& l : form_->LogLines.Items()) out.push_back(l.substr(6));
        return out;
    }
    bool Logged(const std::string& text) const {
        for (const std::string& t : Texts()) {
            if (t == text) return true;
        }
        return false;
    }

    test::IpcNamespace ns_;
    fs::path dir_, oldDir_;
    std::unique_ptr<Form> form_;
    std::string stderr_;
};

TEST_F(MainWindowTest, StartUpSendsTheFirstReplyAndArmsTheTimer) {
    Form& f = Started();
    ASSERT_TRUE(f.FromPresentation && f.ToPresentation);
    EXPECT_TRUE(f.FromPresentation->IsReader);
    EXPECT_EQ(f.FromPresentation->Limit, 1000);
    EXPECT_EQ(f.FromPresentation->Lines, &f.QueueLines);
    EXPECT_FALSE(f.ToPresentation->IsReader);
    EXPECT_EQ(f.ToPresentation->Limit, 100);
    ASSERT_GE(f.Outbox.Count(), 1);
    EXPECT_EQ(f.Outbox[0], "Communication program started (Modem) ");
    EXPECT_TRUE(f.Timer.isActive());
    EXPECT_EQ(f.Timer.interval(), 1000);
    EXPECT_TRUE(f.CloseEnabled);
    EXPECT_FALSE(f.HangUpEnabled);
    EXPECT_TRUE(f.isVisible());  // no tray icon: the window is shown
    EXPECT_FALSE(Logged("Debug: 0"));
    EXPECT_NE(stderr_.find(" 0 Communication program started (Modem) "), std::string::npos);
}

TEST_F(MainWindowTest, WithTrayIconTheWindowStaysHiddenAndLevelZeroBecomesTheTip) {
    Form& f = Started(true);
    ASSERT_TRUE(f.TrayIcon);
    EXPECT_TRUE(f.TrayIcon->Shown);
    EXPECT_FALSE(f.isVisible());
    const std::string eighty(80, 'r');
    f.Log(eighty, 0);
    EXPECT_EQ(f.TrayIcon->Tip, eighty);
    EXPECT_EQ(f.TrayIcon->DisplayedTip(), std::string(63, 'r'));
    f.Log("not a reply", 1);
    EXPECT_EQ(f.TrayIcon->Tip, eighty);
    // The close box of a visible window hides it and keeps the program running.
    f.TrayIcon->OnOpen();
    EXPECT_TRUE(f.isVisible());
    EXPECT_FALSE(f.TrayIcon->Shown);
    f.close();
    EXPECT_FALSE(f.Closing);
    EXPECT_FALSE(f.isVisible());
    EXPECT_TRUE(f.TrayIcon->Shown);
    EXPECT_EQ(f.TrayIcon->DisplayedTip(), std::string(63, 'r'));
}

TEST_F(MainWindowTest, LogLevelsDecideListStatusBarAndReplies) {
    Form& f = Started();
    f.Outbox.Clear();
    const int before = f.LogLines.Count();
    f.Log("phase entry", 5);
    EXPECT_EQ(f.LogLines.Count(), before);  // debug level 0 hides level 5
    f.Log("from the board", -1);
    EXPECT_TRUE(Logged("from the board"));
    EXPECT_NE(f.StatusText, "from the board");  // echo lines never reach the status bar
    f.Log("a reply", 0);
    EXPECT_TRUE(Logged("a reply"));
    EXPECT_EQ(f.StatusText, "a reply");
    f.Log("", 0);  // an empty text does nothing at all
    EXPECT_EQ(f.StatusText, "a reply");
    ASSERT_EQ(f.Outbox.Count(), 1);
    EXPECT_EQ(f.Outbox[0], "a reply");

    // A reply is sent whatever the debug level; a high level shows everything.
    f.DebugLevel = -5;
    f.Log("still sent", 0);
    EXPECT_FALSE(Logged("still sent"));
    EXPECT_EQ(f.Outbox[f.Outbox.Count() - 1], "still sent");
    f.DebugLevel = 40;
    f.Log("detail", 40);
    EXPECT_TRUE(Logged("detail"));
    EXPECT_EQ(f.StatusText, "detail");
    // Lines carry minute and second: "MM:SS text".
    const std::string last = f.LogLines[f.LogLines.Count() - 1];
    ASSERT_EQ(last.size(), 12u);
    EXPECT_TRUE(isdigit(last[0]) && isdigit(last[1]) && last[2] == ':' && last[5] == ' ');
}

TEST_F(MainWindowTest, LogListKeepsTheNewest500Lines) {
    Form& f = Started();
    f.LogLines.Clear();
    testing::internal::CaptureStderr();
    for (int i = 1; i <= 501; ++i) f.Log("line " + std::to_string(i), -1);
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(f.LogLines.Count(), 500);
    EXPECT_EQ(Texts().front(), "line 2");
    EXPECT_EQ(Texts().back(), "line 501");
}

TEST_F(MainWindowTest, LogCallsFromOtherLayersAndThreadsReachTheWindow) {
    Started();
    qx::Log("through the sink", 0);
    EXPECT_TRUE(Logged("through the sink"));
    std::thread([] { qx::Log("from a worker", 0); }).join();
    EXPECT_FALSE(Logged("from a worker"));  // handed to the main thread, not run on the worker
    ProcessPendingMessages();
    EXPECT_TRUE(Logged("from a worker"));
}

TEST_F(MainWindowTest, EchoLineCollectsPrintableCharactersUpTo200) {
    Form& f = Started();
    f.LogLines.Clear();
    for (char c : std::string("Us\ter\x81na\nme:")) f.EchoChar(c);
    EXPECT_EQ(f.LogLines.Count(), 0);  // nothing before the carriage return
    f.EchoChar('\r');
    ASSERT_EQ(f.LogLines.Count(), 1);
    EXPECT_EQ(Texts()[0], "Us ername:");
    f.EchoChar('\r');  // an empty line logs nothing
    EXPECT_EQ(f.LogLines.Count(), 1);
    for (int i = 0; i < 250; ++i) f.EchoChar(static_cast<char>('a' + i % 26));
    f.EchoChar('\r');
    ASSERT_EQ(f.LogLines.Count(), 2);
    EXPECT_EQ(Texts()[1].size(), 200u);
    EXPECT_EQ(f.EchoCount, 0);
    f.EchoBusy = true;  // a character arriving while the echo runs is ignored
    f.EchoChar('z');
    f.EchoBusy = false;
    f.EchoChar('\r');
    EXPECT_EQ(f.LogLines.Count(), 2);
    EXPECT_TRUE(f.Outbox.Count() == 0 || f.Outbox[f.Outbox.Count() - 1] != "Us ername:");
}

TEST_F(MainWindowTest, DebugFileLevelRules) {
    const char garbage[] = "\x01\xff garbage \x00\x02\nDEBUG=9";
    struct Case {
        std::string text;
        int level;
    };
    const Case cases[] = {
        {"DEBUG=12\n", 12},
        {"debug=7x\n", 7},
        {"DEBUG=\n", 0},
        {"DEBUG=5\r\nnoise\nDEBUG=30\n", 30},           // the last one wins; CRLF is fine
        {std::string(garbage, sizeof garbage - 1), 9},  // garbage lines are ignored
        {"X=3 DEBUG=8\n", 3},                           // digits after the first "="
        {"DEBUG=99999999999999\n", 2147483647},         // never wraps around
    };
    for (const Case& c : cases) {
        Form& f = Make();
        WriteDebugFile(c.text);
        EXPECT_TRUE(f.ReadDebugFile());
        EXPECT_EQ(f.DebugLevel, c.level) << c.text;
    }
    // The key must lie within the first 80 characters of its line.
    Form& f = Make();
    WriteDebugFile(std::string(78, ' ') + "DEBUG=20\n");
    EXPECT_TRUE(f.ReadDebugFile());
    EXPECT_EQ(f.DebugLevel, 0);
    fs::remove(dir_ / "qxtest.dbg");
    EXPECT_FALSE(f.ReadDebugFile());
    EXPECT_EQ(f.FileNameAfterExe("dbg"), "qxtest.dbg");
    f.ExeName = "Quorvex.exe";
    EXPECT_EQ(f.FileNameAfterExe("dbg"), "Quorvex.dbg");
}

TEST_F(MainWindowTest, DebugFileShowsItsLevelAtStart) {
    WriteDebugFile("DEBUG=5\n");
    Form& f = Started();
    EXPECT_EQ(f.DebugLevel, 5);
    EXPECT_TRUE(Logged("Debug: 5"));
    f.Log("phase entry", 5);
    EXPECT_TRUE(Logged("phase entry"));
    EXPECT_NE(stderr_.find(" 1 Debug: 5"), std::string::npos);
}

TEST_F(MainWindowTest, SecondWindowInTheSameNamespaceTakesNoPart) {
    Form& first = Started();
    (void)first;
    auto second = std::make_unique<Form>(false);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(second->FormCreate());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Process Quorvex already running"),
              std::string::npos);
    EXPECT_FALSE(second->FromPresentation);
    EXPECT_FALSE(second->ToPresentation);
    EXPECT_FALSE(second->Timer.isActive());
    second.reset();
    EXPECT_EQ(frmVudaDUD, nullptr);  // the global went with the last window created
}

TEST_F(MainWindowTest, PrivateMessagesRunLaterOnTheLoop) {
    Form& f = Started();
    f.PostMsg(MsgEndOfCall);
    f.PostMsg(MsgHangUp);
    f.PostMsg(MsgHangUp);
    EXPECT_EQ(f.stops, 0);
    EXPECT_FALSE(f.DispatchMsg(1025));
    ASSERT_TRUE(WaitFor(
        [&] {
            ProcessPendingMessages();
            return f.stops == 1 && f.hangUps == 2;
        },
        5000));
}

TEST_F(MainWindowTest, CommandTickAnswersAndAborts) {
    Form& f = Started();
    f.Timer.stop();
    f.Outbox.Clear();
    f.FromPresentation->Post("hello there");
    f.Command();
    EXPECT_EQ(f.QueueLines.Count(), 0);
    ASSERT_EQ(f.Outbox.Count(), 1);
    EXPECT_EQ(f.Outbox[0], "Unknown command received from Skelvane: hello there");
    // An ABORT behind a request clears the queue before the request is looked at.
    f.FromPresentation->Post("BBS GET rn0810.zip");
    f.FromPresentation->Post("abort");
    f.Command();
    EXPECT_EQ(f.QueueLines.Count(), 0);
    EXPECT_EQ(f.Outbox.Count(), 1);
    // ABORT and EXIT leave only "Exit".
    f.FromPresentation->Post("ABORT");
    f.FromPresentation->Post("EXIT");
    f.FromPresentation->Post("MINI");
    EXPECT_TRUE(f.AbortCheck());
    ASSERT_EQ(f.QueueLines.Count(), 1);
    EXPECT_EQ(f.QueueLines[0], "Exit");
}

// Shutdown seen from the presentation program: every reply arrives, in order, and then the
// close marker; files collected but not processed are kept for the next call and reported.
TEST_F(MainWindowTest, ExitShutsDownInOrderAndFlushesTheReplies) {
    Form& f = Started();
    const fs::path temp = dir_ / "temp";
    fs::create_directories(temp);
    std::ofstream(temp / "a.zip") << "a";
    f.BBSmodule->TempDir = temp.string();
    f.ReceivedFiles.Add("a.zip");
    f.ReceivedFiles.Add("gone.zip");  // already deleted: ignored
    bool closed = false;
    f.OnClosed = [&] { closed = true; };

    QProcess session;
    test::Start(session, "quorvexctl", {"session", "--timeout", "60"});
    ASSERT_TRUE(session.waitForStarted());
    session.write("MINI\nEXIT\n");
    session.closeWriteChannel();
    testing::internal::CaptureStderr();
    ASSERT_TRUE(WaitFor(
        [&] {
            ProcessPendingMessages();
            return closed;
        },
        30000));
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(test::Finished(session, 30000));
    EXPECT_EQ(session.exitCode(), 0) << session.readAllStandardError().toStdString();
    std::vector<std::string> replies;
    for (const QByteArray& l : session.readAllStandardOutput().split('\n')) {
        if (!l.isEmpty()) replies.push_back(l.toStdString());
    }
    const std::vector<std::string> expected = {
        "Communication program started (Modem) ", "Command not implemented: MINI",
        "Communication program stopped", "Non processed file: a.zip",
        "Non processed file: gone.zip"};
    EXPECT_EQ(replies, expected);
    // Kept, and listed for the processing of the next call.
    EXPECT_TRUE(fs::exists(temp / "a.zip"));
    EXPECT_EQ(ReadPendingArchives(temp.string()), std::vector<std::string>{"a.zip"});
    EXPECT_TRUE(f.Closing);
    EXPECT_TRUE(f.CloseRequested);
    EXPECT_FALSE(f.Timer.isActive());
    EXPECT_EQ(f.BBSmodule->DialRetryCnt, TBBSmodule::kDialRetryLimit);
    EXPECT_FALSE(f.OnlyMe);  // the guard is released: a new instance may start
    EXPECT_EQ(f.ReceivedFiles.Count(), 0);
    // After the reply mailbox is closed the remaining steps are traces only.
    EXPECT_TRUE(f.DebugLevel < 30 || Logged("All threats terminated"));
}

TEST_F(MainWindowTest, TerminationSignalClosesLikeTheMenuCommand) {
    Form& f = Started();
    bool closed = false;
    f.OnClosed = [&] { closed = true; };
    testing::internal::CaptureStderr();
    ::raise(SIGTERM);
    ASSERT_TRUE(WaitFor(
        [&] {
            ProcessPendingMessages();
            return closed;
        },
        30000));
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(f.CloseRequested);
    EXPECT_TRUE(Logged("Communication program stopped"));
}

TEST_F(MainWindowTest, NoFilesAreDeletedWithoutAConfiguredTemporaryDirectory) {
    Form& f = Started();
    std::ofstream(dir_ / "keep.zip") << "k";
    f.ReceivedFiles.Add("keep.zip");
    f.BBSmodule->TempDir.clear();
    testing::internal::CaptureStderr();
    f.AfsluitenClick();
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(fs::exists(dir_ / "keep.zip"));
    EXPECT_TRUE(Logged("Non processed file: keep.zip"));
}

}  // namespace
}  // namespace qx
