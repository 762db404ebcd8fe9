// The real program as the presentation program drives it: quorvex, a quorvexctl session that
// posts commands and reads the replies, and bbs-sim as modem and board. Every test has its own
// shared-memory namespace, lock directory, working directory and line path, so tests can run
// side by side.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "pump_until.h"

namespace e2e {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

inline void EnsureApp() {
    static int argc = 1;
    static char arg0[] = "e2e_call";
    static char* argv[] = {arg0, nullptr};
    if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
}

inline std::string Bin(const std::string& name) {
    return std::string(QX_BIN_DIR) + "/" + name;
}

class CallTest : public ::testing::Test {
  protected:
    void SetUp() override {
        EnsureApp();
        static int counter = 0;
        ns_ = "qxe2e" + std::to_string(::getpid()) + "_" + std::to_string(++counter) + "_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ns_ = ns_.substr(0, 60);
        std::replace(ns_.begin(), ns_.end(), '/', '_');  // parameterised names hold a '/'

        dir = fs::temp_directory_path() / ns_;
        fs::remove_all(dir);
        fs::create_directories(dir / "locks");
        fs::create_directories(dir / "tmp");
        fs::create_directories(dir / "dest");
        fs::create_directories(dir / "db");
        // The program never creates the product directories: the database owner does.
        for (const char* d : {"Radar/Nl", "Radar/Dl", "Radar/Gb", "Sat/Holland", "Sat/Europe",
                              "Charts", "Text/Forecast/Short", "Text/Forecast/Long"}) {
            fs::create_directories(dir / "db" / d);
        }
        link = (dir / "modem").string();
        std::ofstream(dir / "quorvex.dbg") << "DEBUG=20\n";
    }
    void TearDown() override {
        for (auto& p : procs_) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
        }
        if (HasFailure()) {
            // CI keeps only the output: the ends of the program's log and the board's transcript
            // say why a call went wrong; the whole of both stay in dir.
            if (quorvex != nullptr) std::ofstream(dir / "quorvex.err") << Stderr();
            std::printf("--- %s\n", dir.c_str());
            PrintTail("program", quorvex != nullptr ? err_ : std::string(), 80);
            PrintTail("board", SimLog(), 60);
        }
        procs_.clear();
        if (!HasFailure()) fs::remove_all(dir);
    }
    static void PrintTail(const char* what, const std::string& text, int lines) {
        size_t from = text.size();
        for (int n = 0; n <= lines && from != std::string::npos && from > 0; ++n) {
            from = text.rfind('\n', from - 1);
        }
        std::printf("--- last %d lines of the %s log\n%s\n", lines, what,
                    text.substr(from == std::string::npos ? 0 : from + 1).c_str());
    }

    QProcess& Run(const std::string& program, const QStringList& args) {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.remove("QT_QPA_PLATFORM");
        env.insert("QUORVEX_IPC_NAMESPACE", QString::fromStdString(ns_));
        env.insert("QUORVEX_LINES", QString::fromStdString(link));
        env.insert("QUORVEX_LOCK_DIR", QString::fromStdString((dir / "locks").string()));
        p->setProcessEnvironment(env);
        p->setWorkingDirectory(QString::fromStdString(dir.string()));
        p->start(QString::fromStdString(Bin(program)), args);
        EXPECT_TRUE(p->waitForStarted(10000)) << program;
        procs_.push_back(std::move(p));
        return *procs_.back();
    }

    // The simulator (options after the fixed ones), then quorvex, then the session.
    void Start(const QStringList& simOptions) {
        QStringList args = {"--link",         QString::fromStdString(link),
                            "--prompt-delay", "100",
                            "--hangup-delay", "200",
                            "--log",          QString::fromStdString((dir / "sim.log").string())};
        args += simOptions;
        sim = &Run("bbs-sim", args);
        ASSERT_TRUE(WaitFor([&] { return fs::exists(link); }, 10000));
        BeforeProgram();
        StartProgram();
    }
    // Runs once the line exists, before the program starts.
    virtual void BeforeProgram() {}
    // Quorvex and the session on the line at link, set up for calls.
    void StartProgram() {
        quorvex = &Run("quorvex", {});
        session = &Run("quorvexctl", {"session", "--wait-start", "30", "--timeout", "170"});
        ASSERT_TRUE(WaitReply("Communication program started (Modem) ", 30000));
        Send("BBS SET TAPI " + link);
        Send("BBS SET PHONE 123 user secret");
        Send("BBS SET TEMPDIR " + (dir / "tmp").string());
        Send("BBS SET DESTDIR " + (dir / "dest").string());
        Send("BBS OPEN DATABASE Weather " + (dir / "db").string() + "/");
    }

    void Send(const std::string& command) {
        session->write((command + "\n").c_str());
        session->waitForBytesWritten(1000);
    }

    static bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
        return qxtest::PumpUntil(done, timeoutMs);
    }

    // Reads what the session printed so far into replies.
    void ReadReplies() {
        if (session == nullptr) return;
        session->waitForReadyRead(10);
        pending_ += session->readAllStandardOutput().toStdString();
        size_t nl;
        while ((nl = pending_.find('\n')) != std::string::npos) {
            replies.push_back(pending_.substr(0, nl));
            pending_.erase(0, nl + 1);
        }
    }
    int CountPrefix(const std::string& prefix) const {
        return static_cast<int>(std::count_if(replies.begin(), replies.end(),
                                              [&](auto& r) { return r.rfind(prefix, 0) == 0; }));
    }
    // Waits until the count-th reply starting with prefix has arrived.
    bool WaitReply(const std::string& prefix, int timeoutMs, int count = 1) {
        return WaitFor(
            [&] {
                ReadReplies();
                return CountPrefix(prefix) >= count;
            },
            timeoutMs);
    }
    // Ends the program and waits for it and the session.
    void Exit(int timeoutMs = 30000) {
        Send("EXIT");
        EXPECT_TRUE(WaitFor([&] { return quorvex->state() == QProcess::NotRunning; }, timeoutMs));
        WaitFor([&] { return session->state() == QProcess::NotRunning; }, 10000);
        ReadReplies();
    }
    std::string Stderr() {
        err_ += quorvex->readAllStandardError().toStdString();
        return err_;
    }
    std::string SimLog() const {
        std::ifstream in(dir / "sim.log");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // The replies with the clock times at the end of the timed ones cut off.
    Lines Untimed() const {
        Lines out;
        for (std::string r : replies) {
            for (const char* p : {"Connected to OstrelCentre at ", "Data collection completed ",
                                  "Data collection and processing completed "}) {
                if (r.rfind(p, 0) == 0) r = p;
            }
            if (r.rfind("No data collected (", 0) == 0) r = "No data collected";
            out.push_back(r);
        }
        return out;
    }
    // Replies from the first one equal to from (untimed) onwards.
    Lines From(const std::string& from) const {
        Lines all = Untimed();
        auto it = std::find(all.begin(), all.end(), from);
        return Lines(it, all.end());
    }

    fs::path dir;
    std::string link;
    QProcess* sim = nullptr;
    QProcess* quorvex = nullptr;
    QProcess* session = nullptr;
    Lines replies;

  private:
    std::string ns_;
    std::string pending_;
    std::string err_;
    std::vector<std::unique_ptr<QProcess>> procs_;
};

}  // namespace e2e
