// A main window with its BBS module, a board simulator as the modem, and the presentation's
// presence lock: the call runs for real, the test watches the log and the replies.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bbs/bbs_module.h"
#include "child_process.h"
#include "platform/event_loop.h"
#include "platform/ipc_objects.h"
#include "pump_until.h"
#include "shell/main_window.h"
#include "support/log.h"

namespace bbstest {

namespace fs = std::filesystem;

inline void EnsureApp() {
    static int argc = 1;
    static char arg0[] = "bbs_test";
    static char* argv[] = {arg0, nullptr};
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Kept to the end of the process: destroying it after Qt's own globals would crash.
    if (QCoreApplication::instance() == nullptr) new QApplication(argc, argv);
}

using qxtest::PumpFor;
using qxtest::PumpUntil;

// The window with the end of the call recorded instead of processed, and no dialogs.
class TestForm : public qx::TfrmVudaDUD {
  public:
    TestForm() : TfrmVudaDUD(false) {}
    void CommandBBSStop() override { ++EndOfCalls; }
    void OpslaanClick() override { ++SaveDialogs; }
    int EndOfCalls = 0;
    int SaveDialogs = 0;
};

class CallFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        EnsureApp();
        static int counter = 0;
        ns = "bbsut" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
        dir = fs::temp_directory_path() / ns;
        fs::create_directories(dir / "locks");
        fs::create_directories(dir / "tmp");
        link = (dir / "modem").string();
    }
    // Starts the simulator with the given options, then the window and its module.
    void Start(const std::vector<std::string>& simOptions) {
        std::vector<std::string> args = {std::string(QX_BIN_DIR) + "/bbs-sim",
                                         "--link",
                                         link,
                                         "--prompt-delay",
                                         "100",
                                         "--hangup-delay",
                                         "100",
                                         "--log",
                                         (dir / "sim.log").string()};
        args.insert(args.end(), simOptions.begin(), simOptions.end());
        sim = std::make_unique<Child>(args);
        ASSERT_TRUE(PumpUntil([&] { return fs::exists(link); }, 10000));
        ::setenv("QUORVEX_IPC_NAMESPACE", ns.c_str(), 1);
        ::setenv("QUORVEX_LINES", link.c_str(), 1);
        ::setenv("QUORVEX_LOCK_DIR", (dir / "locks").c_str(), 1);
        ASSERT_EQ(presence.Acquire("Ostrel_Skelvane"), 0);
        form = std::make_unique<TestForm>();
        form->ExeName = "bbs_test_nofile";
        form->HeartbeatMs = 0;
        ASSERT_TRUE(form->FormCreate());
        form->Timer.stop();  // the test drives the call itself
        form->DebugLevel =
            std::getenv("BBS_TEST_DEBUG") ? std::atoi(std::getenv("BBS_TEST_DEBUG")) : 0;
        qx::SetLogSink([this](const std::string& text, int level) {
            log.push_back({text, level});
            if (form) form->Log(text, level);
            // The call's waits run the event loop nested inside the test's own pump, so
            // reactions to a line are run from the loop, not from the test's body.
            auto it = when.find(text);
            if (it != when.end()) {
                auto action = std::move(it->second);
                when.erase(it);
                qx::PostToMain(std::move(action));
            }
        });
        bbs = form->BBSmodule.get();
        bbs->SelectTapiDevice(link);
        bbs->PhoneNumber = "123";
        bbs->UserName = "user";
        bbs->Password = "secret";
        bbs->TempDir = (dir / "tmp").string();
    }
    void TearDown() override {
        qx::SetLogSink(nullptr);
        if (form) {
            form->Closing = true;
            form.reset();
        }
        presence.Release();
        sim.reset();
        ::unsetenv("QUORVEX_LINES");
        std::error_code ec;
        if (!dir.empty()) fs::remove_all(dir, ec);
    }

    // Runs action (once) when text is logged.
    void When(const std::string& text, std::function<void()> action) {
        when[text] = std::move(action);
    }
    // Queues a command as the presentation program would.
    void Queue(const std::string& command) { form->FromPresentation->Post(command); }
    std::vector<std::string> QueueItems() const { return form->QueueLines.Items(); }
    // Starts the call as BBS GET does.
    void StartCall() {
        bbs->UserAbort = false;
        bbs->DialRetryCnt = 0;
        bbs->DialTimer.start();
    }
    // The replies (level-0 lines) in order.
    std::vector<std::string> Replies() const {
        std::vector<std::string> out;
        for (const auto& [text, level] : log) {
            if (level == 0) out.push_back(text);
        }
        return out;
    }
    int Count(const std::string& text) const {
        return static_cast<int>(
            std::count_if(log.begin(), log.end(), [&](const auto& l) { return l.first == text; }));
    }
    bool Logged(const std::string& text) const { return Count(text) > 0; }
    bool LoggedPrefix(const std::string& prefix) const {
        return std::any_of(log.begin(), log.end(),
                           [&](const auto& l) { return l.first.rfind(prefix, 0) == 0; });
    }
    bool WaitLogged(const std::string& text, int timeoutMs = 30000) {
        return PumpUntil([&] { return Logged(text); }, timeoutMs);
    }
    bool WaitEnd(int timeoutMs = 30000) {
        return PumpUntil([&] { return form->EndOfCalls > 0; }, timeoutMs);
    }

    std::string ns;
    fs::path dir;
    std::string link;
    std::unique_ptr<Child> sim;
    qx::ipc::PresenceLock presence;
    std::unique_ptr<TestForm> form;
    qx::TBBSmodule* bbs = nullptr;
    std::vector<std::pair<std::string, int>> log;
    std::map<std::string, std::function<void()>> when;
};

}  // namespace bbstest
