// The program as a Linux user meets it: the command line of every executable, the log lines
// on standard error, SIGHUP, and quorvexctl without a Quorvex or with a slow one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>

#include "../e2e/program_fixture.h"
#include "comm/line_trace.h"
#include "shell/mailbox.h"
#include "support/log.h"

namespace qx {
namespace {

using test::WaitFor;

struct CommandLineCase {
    const char* program;
    QStringList args;
    int status;
    const char* output;  // expected in standard output (status 0) or standard error
};

TEST_F(ProgramTest, EveryExecutableAnswersHelpVersionAndRejectsBadOptions) {
    const std::string version = QX_VERSION;
    const std::vector<CommandLineCase> cases = {
        {"quorvex", {"--help"}, 0, "--line-trace"},
        {"quorvex", {"--version"}, 0, "quorvex "},
        {"quorvex", {"--bogus"}, 2, "unknown option '--bogus'"},
        {"quorvex", {"--debug"}, 2, "--debug needs a level"},
        {"quorvex", {"--debug", "x5"}, 2, "bad --debug level 'x5'"},
        {"quorvex", {"extra"}, 2, "unexpected argument 'extra'"},
        {"quorvexctl", {"--help"}, 0, "--wait-start"},
        {"quorvexctl", {"--version"}, 0, "quorvexctl "},
        {"quorvexctl", {"listen", "--bogus"}, 2, "unknown option '--bogus'"},
        {"quorvexctl", {"listen", "--wait-start", "-1"}, 2, "bad --wait-start"},
        {"bbs-sim", {"--help"}, 0, "--number"},
        {"bbs-sim", {"--version"}, 0, "bbs-sim "},
        {"bbs-sim", {"--bogus"}, 2, "unknown option --bogus"},
        {"qx-rz", {"--help"}, 0, "ZMODEM"},
        {"qx-rz", {"--version"}, 0, "qx-rz "},
        {"qx-rz", {"--bogus"}, 2, "usage: qx-rz"},
        {"qx-unzip", {"--help"}, 0, "ARCHIVE DIR"},
        {"qx-unzip", {"--version"}, 0, "qx-unzip "},
        {"qx-unzip", {"--bogus"}, 2, "usage: qx-unzip"},
        {"make-sample-board", {"--help"}, 0, "--date"},
        {"make-sample-board", {"--version"}, 0, "make-sample-board "},
        {"make-sample-board", {"--bogus"}, 2, "bad argument --bogus"},
    };
    for (const CommandLineCase& c : cases) {
        const std::string what = std::string(c.program) + " " + c.args.join(' ').toStdString();
        QProcess& p = Run(c.program, c.args);
        ASSERT_TRUE(test::Finished(p, 20000)) << what;
        EXPECT_EQ(p.exitCode(), c.status) << what;
        const std::string out =
            (c.status == 0 ? p.readAllStandardOutput() : p.readAllStandardError()).toStdString();
        EXPECT_NE(out.find(c.output), std::string::npos) << what << ": " << out;
        if (c.args == QStringList{"--version"}) {
            EXPECT_NE(out.find(version), std::string::npos);
        }
        EXPECT_FALSE(InstanceRuns()) << what;  // nothing started the program
    }
}

TEST(LogLine, DatedForPeopleAndPrefixedForTheJournal) {
    const LocalClockReading t{2026, 3, 7, 9, 5, 2, 0};
    EXPECT_EQ(FormatLogLine("Dialing 123", 5, t, false), "2026-03-07 09:05:02 5 Dialing 123");
    const std::pair<int, const char*> journal[] = {{kLevelError, "<3>-2 x"},
                                                   {kLevelWarning, "<4>-3 x"},
                                                   {0, "<5>0 x"},
                                                   {1, "<6>1 x"},
                                                   {-1, "<7>-1 x"},
                                                   {40, "<7>40 x"}};
    for (const auto& [level, line] : journal) EXPECT_EQ(FormatLogLine("x", level, t, true), line);
    // Raw board bytes (a ZMODEM hex header, a bell) cannot reach the terminal as codes.
    EXPECT_EQ(EscapeControls(std::string("**\x18"
                                         "B01\r\n\x11\x07\t\x7f\\ok")),
              "**\\x18B01\\r\\n\\x11\\x07\\t\\x7F\\ok");
}

TEST(LogLine, PasswordIsMaskedBeforeAndAfterItIsSet) {
    SetLogSecret("");
    const std::pair<const char*, const char*> cases[] = {
        {"BBS SET PHONE 0201 weather secret", "BBS SET PHONE 0201 weather ********"},
        {"CommandBBSSet: BBS SET PHONE  0201  weather  pw2 ...",
         "CommandBBSSet: BBS SET PHONE  0201  weather  ******** ..."},
        {"BBS SET PHONE 0201 weather", "BBS SET PHONE 0201 weather"},
        {"BBS SET TEMPDIR /tmp", "BBS SET TEMPDIR /tmp"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(MaskSecrets(in), out) << in;
    SetLogSecret("hunter22");
    EXPECT_EQ(MaskSecrets("sent hunter22\r and hunter22"), "sent ********\r and ********");
    EXPECT_EQ(FormatLogLine("hunter22", 7, {}, true), "<7>7 ********");
    SetLogSecret("");
}

TEST(LineTrace, RunsWrapAt78ColumnsAndTheRingsKeepTheNewest) {
    TLineTrace trace(100, 2);
    const std::string atz = "ATZ\r", board(200, 'a');
    trace.Add('T', reinterpret_cast<const uint8_t*>(atz.data()), atz.size());
    trace.Add('R', reinterpret_cast<const uint8_t*>(board.data()), board.size());
    // The 100 newest bytes: the command is gone, the board's run wraps under its heading.
    EXPECT_EQ(trace.TraceText(true, false), "Receive: " + std::string(69, 'a') + "\n" +
                                                std::string(9, ' ') + std::string(31, 'a') + "\n");
    TLineTrace small(10, 2);
    small.Add('T', reinterpret_cast<const uint8_t*>(atz.data()), atz.size());
    EXPECT_EQ(small.TraceText(true, true), "Transmit: [41][54][5A][0D]\n");
    for (const char* sub : {"ReadCom", "WriteCom", "ReadCom"}) {
        small.LogEntry("Dispatch", sub, reinterpret_cast<const uint8_t*>(atz.data()), 4);
    }
    const std::string log = small.LogText();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3);  // heading and the newest two
    EXPECT_NE(log.find("Dispatch  WriteCom      00000004  ATZ\\r\n"), std::string::npos) << log;
}

// The whole run at the highest debug level: the password in no line of standard error, the
// date in every line, and SIGHUP ending the program in order.
TEST_F(ProgramTest, DebugOptionSighupAndNoPasswordInTheLog) {
    QProcess& quorvex = Run("quorvex", {"--debug", "40"});
    QProcess& session = Run("quorvexctl", {"session", "--wait-start", "30", "--timeout", "60"});
    session.write("BBS SET PHONE 0201 weather pw-Zq81x\nBBS SET TEMPDIR /tmp\nMINI\n");
    ASSERT_TRUE(WaitFor(
        [&] {
            session.waitForReadyRead(50);
            return session.peek(1 << 16).contains("Command not implemented: MINI");
        },
        30000));
    ::kill(static_cast<pid_t>(quorvex.processId()), SIGHUP);
    ASSERT_TRUE(test::Finished(session, 30000));
    EXPECT_EQ(session.exitCode(), 0);
    EXPECT_TRUE(session.readAllStandardOutput().contains("Communication program stopped"));
    ASSERT_TRUE(test::Finished(quorvex, 30000));
    EXPECT_EQ(quorvex.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(quorvex.exitCode(), 0);
    const std::string err = quorvex.readAllStandardError().toStdString();
    EXPECT_EQ(err.find("pw-Zq81x"), std::string::npos) << err;
    EXPECT_NE(err.find("weather ********"), std::string::npos) << err;
    EXPECT_NE(err.find(" 1 Debug: 40"), std::string::npos) << err;
    EXPECT_NE(err.find(" 30 Signal 1 received"), std::string::npos) << err;
    const std::regex dated(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d -?\d+ .*)");
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(std::regex_match(line, dated)) << line;
    }
}

// When systemd hands standard error to the journal, JOURNAL_STREAM names that very stream.
TEST_F(ProgramTest, JournalStreamGetsPrioritiesInsteadOfDates) {
    const fs::path errFile = dir_ / "journal.txt";
    std::ofstream(errFile).close();
    struct stat st = {};
    ASSERT_EQ(::stat(errFile.c_str(), &st), 0);
    auto* quorvex = new QProcess;
    started_.push_back(quorvex);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.insert("QUORVEX_IPC_NAMESPACE", QString::fromStdString(ns_.Name));
    env.insert("JOURNAL_STREAM", QString("%1:%2").arg(st.st_dev).arg(st.st_ino));
    quorvex->setProcessEnvironment(env);
    quorvex->setWorkingDirectory(QString::fromStdString(dir_.string()));
    quorvex->setStandardErrorFile(QString::fromStdString(errFile.string()), QIODevice::Append);
    quorvex->start(test::BinPath("quorvex"), {"--debug", "1"});
    ASSERT_TRUE(quorvex->waitForStarted(10000));
    int rc = -1;
    Session("EXIT\n", rc);
    EXPECT_EQ(rc, 0);
    ASSERT_TRUE(test::Finished(*quorvex, 30000));
    std::ifstream in(errFile);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("<6>1 Debug: 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("<5>0 Communication program started (Modem) \n"), std::string::npos)
        << text;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) EXPECT_EQ(line[0], '<') << line;
}

TEST_F(ProgramTest, QuorvexctlSaysAtOnceThatNoQuorvexRuns) {
    for (const QStringList& args : {QStringList{"session"}, QStringList{"send", "MINI"}}) {
        const auto start = std::chrono::steady_clock::now();
        QProcess& p = Run("quorvexctl", args);
        p.closeWriteChannel();
        ASSERT_TRUE(test::Finished(p, 20000));
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(p.exitCode(), 4) << args.join(' ').toStdString();
        EXPECT_TRUE(p.readAllStandardError().contains("Quorvex is not running"));
        // Half a second of grace; the rest is process start-up on a loaded machine.
        EXPECT_LT(took, std::chrono::seconds(5));
    }
}

TEST_F(ProgramTest, QuorvexctlNoticesAQuorvexThatDiedWithoutClosing) {
    QProcess& quorvex = Run("quorvex", {});
    QProcess& listen = Run("quorvexctl", {"listen", "--wait-start", "30", "--timeout", "600"});
    ASSERT_TRUE(WaitFor(
        [&] {
            listen.waitForReadyRead(50);
            return listen.canReadLine();
        },
        30000));
    quorvex.kill();
    ASSERT_TRUE(test::Finished(listen, 30000));
    EXPECT_EQ(listen.exitCode(), 4);
    EXPECT_TRUE(listen.readAllStandardError().contains("stopped without closing"));
}

// A reply every second keeps a two-second time-out from firing for as long as they come.
TEST_F(ProgramTest, QuorvexctlTimeoutCountsFromTheLastReply) {
    TStringList out;
    TMailbox writer("Mailbox-CommToPres", 100, &out, "Write", 0);
    QProcess& listen = Run("quorvexctl", {"listen", "--timeout", "2"});
    const auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= 4; ++i) {
        writer.Post("reply " + std::to_string(i));
        ASSERT_TRUE(WaitFor(
            [&] {
                writer.Poll();
                listen.waitForReadyRead(20);
                return listen.peek(1 << 16).count('\n') == i;
            },
            20000));
        const auto next = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        WaitFor([&] { return std::chrono::steady_clock::now() >= next; }, 5000);
        ASSERT_EQ(listen.state(), QProcess::Running) << "cut off after reply " << i;
    }
    EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    ASSERT_TRUE(test::Finished(listen, 30000));  // quiet now: the time-out ends it
    EXPECT_EQ(listen.exitCode(), 1);
}

}  // namespace
}  // namespace qx
