// Shared-memory objects as users and a second account see them: made with the umask's mode,
// gone with their last user, a stale one of another user named in the error, and a command
// beginning with byte 0xFF (the close marker) refused by quorvexctl and traced by quorvex.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QProcess>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "ipc_test_env.h"
#include "platform/ipc_mailbox_region.h"
#include "shell/mailbox.h"
#include "shell/only_me.h"
#include "support/log.h"

namespace qx {
namespace {

using test::IpcNamespace;

std::string ShmPath(const std::string& name) {
    return "/dev/shm" + ipc::ObjectName(name);
}

bool Exists(const std::string& name) {
    struct stat st;
    return ::stat(ShmPath(name).c_str(), &st) == 0;
}

TEST(IpcFaults, ObjectsHaveTheUmasksModeAndGoWithTheirLastUser) {
    for (const mode_t mask : {mode_t{022}, mode_t{002}, mode_t{077}}) {
        SCOPED_TRACE(mask);
        IpcNamespace ns;
        const mode_t old = ::umask(mask);
        TStringList out, in;
        auto writer = std::make_unique<TMailbox>("Mailbox-CommToPres", 10, &out, "Write", 0);
        auto reader = std::make_unique<TMailbox>("Mailbox-CommToPres", 10, &in, "Read", 0);
        auto guard = std::make_unique<TOnlyMe>("Quorvex");
        ::umask(old);
        for (const char* name : {"Mailbox-CommToPres", "Mailbox-CommToPresSemaphore", "Quorvex"}) {
            struct stat st;
            ASSERT_EQ(::stat(ShmPath(name).c_str(), &st), 0) << name;
            EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << name;
        }
        // One side gone: the other still uses both.
        writer.reset();
        EXPECT_TRUE(Exists("Mailbox-CommToPres"));
        EXPECT_TRUE(Exists("Mailbox-CommToPresSemaphore"));
        reader.reset();
        EXPECT_FALSE(Exists("Mailbox-CommToPres"));
        EXPECT_FALSE(Exists("Mailbox-CommToPresSemaphore"));
        guard.reset();
        EXPECT_FALSE(Exists("Quorvex"));
        // A new pair starts afresh under the same names.
        TMailbox again("Mailbox-CommToPres", 10, &out, "Write", 0);
        EXPECT_TRUE(Exists("Mailbox-CommToPres"));
    }
}

TEST(IpcFaults, ObjectsAreGoneAfterQuorvexAndQuorvexctlBothClose) {
    IpcNamespace ns;
    TStringList commands;
    auto reader = std::make_unique<TMailbox>("Mailbox-PresToComm", 10, &commands, "Read", 0);
    QProcess ctl;
    test::Start(ctl, "quorvexctl", {"send", "--timeout", "60", "MINI"});
    ASSERT_TRUE(test::WaitFor(
        [&] {
            reader->Poll();
            return !commands.Empty();
        },
        20000));
    reader.reset();  // either side may be the last to let go
    ASSERT_TRUE(test::Finished(ctl, 20000));
    EXPECT_EQ(ctl.exitCode(), 0);
    for (const char* name :
         {"Mailbox-PresToComm", "Mailbox-PresToCommSemaphore", "Ostrel_Skelvane"}) {
        EXPECT_FALSE(Exists(name)) << name;
    }
}

TEST(IpcFaults, AStaleObjectOfAnotherUserIsNamedInTheError) {
    IpcNamespace ns;
    const std::string full = ipc::ObjectName("Quorvex");
    const int fd = ::shm_open(full.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::fchmod(fd, 0), 0);  // closed to everyone but root: as another user's 0600 is
    ::close(fd);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        if (::geteuid() == 0 && ::setuid(65534) != 0) _exit(2);
        UniqueFd f;
        const int err = ipc::OpenObject("Quorvex", 8, f);
        const std::string text = ipc::OpenFailureText("Quorvex", err);
        if (::write(pipeFds[1], text.data(), text.size()) < 0) _exit(3);
        _exit(err == EACCES ? 0 : 1);
    }
    ::close(pipeFds[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;) text.append(buf, n);
    ::close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(text.find(ShmPath("Quorvex")), std::string::npos) << text;
    EXPECT_NE(text.find("mode 0000"), std::string::npos) << text;
}

TEST(IpcFaults, ALineBeginningWithTheCloseMarkerIsRefusedAndTraced) {
    IpcNamespace ns;
    TStringList commands;
    TMailbox reader("Mailbox-PresToComm", 10, &commands, "Read", 0);
    // Through the shell: a QProcess argument cannot carry the byte 0xFF.
    const std::string command = std::string(QX_BIN_DIR) +
                                "/quorvexctl send --timeout 20 MINI \"$(printf '\\377EXIT')\" 2>&1";
    std::string output;
    FILE* p = ::popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[512];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) output.append(buf, n);
    const int status = ::pclose(p);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    EXPECT_NE(output.find("0xFF"), std::string::npos) << output;
    reader.Poll();
    EXPECT_TRUE(commands.Empty());  // not even the line before it
    EXPECT_FALSE(reader.Dead());

    // Written by another peer all the same, it ends the channel, and the log shows what it was.
    std::vector<std::string> logged;
    const LogSink old = SetLogSink([&](const std::string& t, int) { logged.push_back(t); });
    ipc::PlaceMessage(reader.Mem->Buffer,
                      "\xff"
                      "EXIT");
    reader.Poll();
    SetLogSink(old);
    EXPECT_TRUE(reader.Dead());
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("\\xFFEXIT"), std::string::npos) << logged[0];
}

}  // namespace
}  // namespace qx
