// The program as a user runs it: no display, driven by quorvexctl, stopped by EXIT or a
// signal, refused when a copy already runs, and started again after a crash.
#include <gtest/gtest.h>
#include <signal.h>

#include <QProcess>
#include <QProcessEnvironment>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "program_fixture.h"

namespace qx {
namespace {

using test::Finished;
using test::WaitFor;

TEST_F(ProgramTest, SessionGetsTheStartReplyAndExitClosesTheMailbox) {
    std::ofstream(dir_ / "quorvex.dbg") << "DEBUG=30\n";
    QProcess& quorvex = Run("quorvex", {});
    int rc = -1;
    const std::vector<std::string> replies = Session("MINI\nEXIT\n", rc);
    EXPECT_EQ(rc, 0);
    const std::vector<std::string> expected = {"Communication program started (Modem) ",
                                               "Command not implemented: MINI",
                                               "Communication program stopped"};
    EXPECT_EQ(replies, expected);
    ASSERT_TRUE(Finished(quorvex, 30000));
    EXPECT_EQ(quorvex.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(quorvex.exitCode(), 0);
    const std::string err = quorvex.readAllStandardError().toStdString();
    EXPECT_NE(err.find(" 1 Debug: 30"), std::string::npos) << err;
    EXPECT_NE(err.find(" 30 All threats terminated"), std::string::npos) << err;
    EXPECT_FALSE(InstanceRuns());
}

TEST_F(ProgramTest, SecondCopyIsRefusedAndACrashedCopyDoesNotBlockTheNext) {
    QProcess& first = Run("quorvex", {});
    ASSERT_TRUE(WaitFor([&] { return InstanceRuns(); }, 30000));
    QProcess& second = Run("quorvex", {});
    ASSERT_TRUE(Finished(second, 30000));
    EXPECT_NE(second.exitCode(), 0);
    EXPECT_NE(second.readAllStandardError().toStdString().find("Process Quorvex already running"),
              std::string::npos);
    EXPECT_EQ(first.state(), QProcess::Running);

    ::kill(static_cast<pid_t>(first.processId()), SIGKILL);
    ASSERT_TRUE(Finished(first, 30000));
    QProcess& third = Run("quorvex", {});
    ASSERT_TRUE(WaitFor([&] { return InstanceRuns(); }, 30000));
    int rc = -1;
    const std::vector<std::string> replies = Session("EXIT\n", rc);
    EXPECT_EQ(rc, 0);
    const std::vector<std::string> expected = {"Communication program started (Modem) ",
                                               "Communication program stopped"};
    EXPECT_EQ(replies, expected);  // nothing left over from the crashed copy
    ASSERT_TRUE(Finished(third, 30000));
    EXPECT_EQ(third.exitCode(), 0);
}

TEST_F(ProgramTest, TerminationSignalEndsInOrderWithRepliesFlushed) {
    QProcess& quorvex = Run("quorvex", {});
    QProcess& listen = Run("quorvexctl", {"listen", "--wait-start", "30", "--timeout", "60"});
    ASSERT_TRUE(WaitFor(
        [&] {
            listen.waitForReadyRead(50);
            return listen.canReadLine();
        },
        30000))
        << listen.readAllStandardError().toStdString() << "|" << listen.state() << "|"
        << quorvex.readAllStandardError().toStdString();
    ::kill(static_cast<pid_t>(quorvex.processId()), SIGTERM);
    ASSERT_TRUE(Finished(listen, 30000));
    EXPECT_EQ(listen.exitCode(), 0);
    const std::vector<std::string> expected = {"Communication program started (Modem) ",
                                               "Communication program stopped"};
    EXPECT_EQ(Lines(listen.readAllStandardOutput()), expected);
    ASSERT_TRUE(Finished(quorvex, 30000));
    EXPECT_EQ(quorvex.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(quorvex.exitCode(), 0);
}

TEST_F(ProgramTest, SharedMemoryFailureEndsTheProgramWithoutTakingCommands) {
    const fs::path blocker = "/dev/shm/" + ns_.Name + "Mailbox-PresToComm";
    fs::create_directory(blocker);
    QProcess& quorvex = Run("quorvex", {});
    ASSERT_TRUE(Finished(quorvex, 30000));
    fs::remove(blocker);
    EXPECT_NE(quorvex.exitCode(), 0);
    const std::string err = quorvex.readAllStandardError().toStdString();
    EXPECT_NE(err.find("Error creating shared memory Mailbox-PresToComm ("), std::string::npos)
        << err;
    EXPECT_EQ(err.find("Communication program started"), std::string::npos);
    EXPECT_FALSE(InstanceRuns());
}

TEST_F(ProgramTest, QuorvexctlArgumentsAndTimeouts) {
    for (const QStringList& args :
         {QStringList{}, QStringList{"bogus"}, QStringList{"send"},
          QStringList{"listen", "--timeout"}, QStringList{"session", "--timeout", "-1"},
          QStringList{"listen", "extra"}, QStringList{"session", "--fast"}}) {
        QProcess& p = Run("quorvexctl", args);
        ASSERT_TRUE(Finished(p, 10000));
        EXPECT_EQ(p.exitCode(), 2) << args.join(' ').toStdString();
        EXPECT_NE(p.readAllStandardError().indexOf("Usage: quorvexctl"), -1);
    }
    // Nobody on the other side: each says so at once.
    for (const QStringList& args :
         {QStringList{"send", "--timeout", "0.3", "MINI"}, QStringList{"listen", "--timeout=0.3"},
          QStringList{"session", "--timeout", "0.3"}}) {
        QProcess& p = Run("quorvexctl", args);
        p.closeWriteChannel();
        ASSERT_TRUE(Finished(p, 10000));
        EXPECT_EQ(p.exitCode(), 4) << args.join(' ').toStdString();
    }
    QProcess& help = Run("quorvexctl", {"--help"});
    ASSERT_TRUE(Finished(help, 10000));
    EXPECT_EQ(help.exitCode(), 0);
    const QByteArray text = help.readAllStandardOutput();
    for (const char* word : {"session", "send", "listen", "--timeout", "QUORVEX_IPC_NAMESPACE"}) {
        EXPECT_NE(text.indexOf(word), -1) << word;
    }
}

}  // namespace
}  // namespace qx
