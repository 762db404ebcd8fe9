// The fixture of the end-to-end tests: the real programs of the build, each run in the test's
// own directory with a private IPC namespace and no display.
#pragma once

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "../shell/ipc_test_env.h"

namespace qx {

namespace fs = std::filesystem;

class ProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("qx_e2e_" + ns_.Name);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        for (QProcess* p : started_) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
            delete p;
        }
        fs::remove_all(dir_);
    }
    // Runs a program of the build in the test's directory, without a display.
    QProcess& Run(const char* name, const QStringList& args) {
        auto* p = new QProcess;
        started_.push_back(p);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.remove("QT_QPA_PLATFORM");
        env.insert("QUORVEX_IPC_NAMESPACE", QString::fromStdString(ns_.Name));
        for (const auto& [key, value] : extraEnv_) env.insert(key, value);
        p->setProcessEnvironment(env);
        p->setWorkingDirectory(QString::fromStdString(dir_.string()));
        p->start(test::BinPath(name), args);
        EXPECT_TRUE(p->waitForStarted(10000));
        return *p;
    }
    // The guard of a running instance is held.
    bool InstanceRuns() const {
        UniqueFd fd;
        if (ipc::OpenExisting("Quorvex", fd) != 0) return false;
        return !ipc::TryLock(fd.get(), ipc::LockMode::kExclusive);
    }
    static std::vector<std::string> Lines(const QByteArray& text) {
        std::vector<std::string> out;
        for (const QByteArray& l : text.split('\n')) {
            if (!l.isEmpty()) out.push_back(l.toStdString());
        }
        return out;
    }
    // Feeds the lines to a session and returns its replies (exit code in rc).
    std::vector<std::string> Session(const std::string& input, int& rc, int timeoutSeconds = 60) {
        QProcess& s = Run("quorvexctl", {"session", "--wait-start", "30", "--timeout",
                                         QString::number(timeoutSeconds)});
        s.write(input.c_str());
        s.closeWriteChannel();
        EXPECT_TRUE(test::Finished(s, (timeoutSeconds + 30) * 1000));
        rc = s.exitCode();
        return Lines(s.readAllStandardOutput());
    }

    test::IpcNamespace ns_;
    fs::path dir_;
    std::vector<QProcess*> started_;
    std::vector<std::pair<QString, QString>> extraEnv_;  // more variables for the programs
};

}  // namespace qx
