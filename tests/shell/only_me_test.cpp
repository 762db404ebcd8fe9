// The single-instance guard and the failure paths of the named objects.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <QProcess>

#include "ipc_test_env.h"
#include "shell/mutex.h"
#include "shell/only_me.h"
#include "shell/shared_mem.h"
#include "support/abort_error.h"

namespace qx {
namespace {

TEST(SingleInstance, SecondGuardIsRefusedUntilTheFirstIsGone) {
    test::IpcNamespace ns;
    auto first = std::make_unique<TOnlyMe>("Quorvex");
    EXPECT_FALSE(first->AlreadyRunning);
    EXPECT_EQ(first->Mem->Size, 8);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(first->Mem->Buffer)), "Quorvex");

    testing::internal::CaptureStderr();
    TOnlyMe second("Quorvex");
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(second.AlreadyRunning);
    EXPECT_NE(said.find("Process Quorvex already running"), std::string::npos);

    first.reset();  // as when the first instance ends, however it ends
    TOnlyMe third("Quorvex");
    EXPECT_FALSE(third.AlreadyRunning);
}

TEST(SingleInstance, UnusableNamesRaiseTheDocumentedErrors) {
    test::IpcNamespace ns;
    const std::filesystem::path blocker = "/dev/shm/" + ns.Name + "Blocked";
    std::filesystem::create_directory(blocker);
    testing::internal::CaptureStderr();
    try {
        TSharedMem mem("Blocked", 300);
        ADD_FAILURE() << "a section on a directory must fail";
    } catch (const ESharedMemError& e) {
        int code = 0;
        EXPECT_EQ(std::sscanf(e.what(), "Error creating shared memory Blocked (%d)", &code), 1)
            << e.what();
        EXPECT_GT(code, 0);
    }
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("Error creating shared memory Blocked ("), std::string::npos);
    EXPECT_THROW(TMutex("Blocked"), EAbort);
    std::filesystem::remove(blocker);
}

// The presentation check: true only while a program holds the presence lock.
TEST(PresenceLock, SeenWhileTheHolderRunsAndGoneWithIt) {
    test::IpcNamespace ns;
    EXPECT_FALSE(ipc::IsPresent("Ostrel_Skelvane"));  // no object at all
    QProcess ctl;
    test::Start(ctl, "quorvexctl", {"listen", "--no-check", "--timeout", "60"});
    ASSERT_TRUE(ctl.waitForStarted());
    ASSERT_TRUE(test::WaitFor([] { return ipc::IsPresent("Ostrel_Skelvane"); }, 20000));
    EXPECT_TRUE(ipc::IsPresent("Ostrel_Skelvane"));  // looking does not disturb the holder
    ctl.kill();
    ASSERT_TRUE(test::Finished(ctl, 10000));
    EXPECT_FALSE(ipc::IsPresent("Ostrel_Skelvane"));  // the object stays, the lock went
    ipc::PresenceLock own;
    ASSERT_EQ(own.Acquire("Ostrel_Skelvane"), 0);
    EXPECT_TRUE(own.IsHeld());
}

}  // namespace
}  // namespace qx
