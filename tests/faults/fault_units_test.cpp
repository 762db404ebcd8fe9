// The mends behind the fault suite, in process: the error box never blocks, a call is never
// placed without somewhere to receive and record, and a close during the processing waits for
// the product in hand, sends the final replies and keeps the rest for the next call.
#include <gtest/gtest.h>

#include <QMessageBox>
#include <QProcess>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "../shell/ipc_test_env.h"
#include "offscreen_app.h"
#include "processing/pending_archives.h"
#include "shell/main_window.h"
#include "support/error_box.h"
#include "weatherdb/zodevurez_db_module.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

TEST(ErrorBoxWindow, ShowsWithoutWaitingAndCollectsLaterTextsInTheSameBox) {
    QMessageBox* box = ShowErrorWindow(" Table not present : (Sat.DB) ");
    ASSERT_NE(box, nullptr);  // returned: nobody had to click
    EXPECT_TRUE(box->isVisible());
    EXPECT_FALSE(box->isModal());
    EXPECT_EQ(box->windowModality(), Qt::NonModal);
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(ShowErrorWindow(" General read error: (" + std::to_string(i) + ") "), box);
    }
    const QStringList lines = box->text().split(QLatin1Char('\n'));
    EXPECT_EQ(lines.size(), 20);
    EXPECT_EQ(lines.last().toStdString(), " General read error: (29) ");
    box->close();
}

class FormTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("qx_faults_" + ns_.Name);
        fs::create_directories(dir_ / "temp");
        fs::create_directories(dir_ / "data");
        oldDir_ = fs::current_path();
        fs::current_path(dir_);
        form_ = std::make_unique<TfrmVudaDUD>(false, false);
        form_->ExeName = "qxtest";
        form_->HeartbeatMs = 50;
        testing::internal::CaptureStderr();
        ASSERT_TRUE(form_->FormCreate());
        form_->Timer.stop();
    }
    void TearDown() override {
        testing::internal::GetCapturedStderr();
        form_.reset();
        fs::current_path(oldDir_);
        fs::permissions(dir_ / "locked", fs::perms::owner_all, fs::perm_options::replace, ec_);
        fs::remove_all(dir_);
    }
    void Run(const std::string& line) {
        form_->FromPresentation->Post(line);
        form_->Timer.start();
        form_->Command();
    }
    bool Replied(const std::string& text) const {
        for (const std::string& r : form_->Outbox.Items()) {
            if (r == text) return true;
        }
        return false;
    }

    test::IpcNamespace ns_;
    fs::path dir_, oldDir_;
    std::error_code ec_;
    std::unique_ptr<TfrmVudaDUD> form_;
};

// Nothing is dialled without a place to receive and a database to record in, and each refusal
// names what is missing.
TEST_F(FormTest, CallsWithoutUsableDirectoriesOrDatabaseAreRefusedWithoutDialling) {
    const std::string temp = (dir_ / "temp").string(), missing = (dir_ / "nothere").string();
    fs::create_directories(dir_ / "locked");
    fs::permissions(dir_ / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    const bool root = ::geteuid() == 0;  // root may write anywhere: no unwritable case then
    struct Case {
        std::string TempDir;
        bool Open;
        std::string Command, Reply;
    } cases[] = {
        {temp, false, "BBS GET RN0914", "No database opened (BBS OPEN): BBS GET RN0914"},
        {temp, false, "BBS LAST RNdduu 1 0 4",
         "No database opened (BBS OPEN): BBS LAST RNdduu 1 0 4"},
        {missing, true, "BBS GET RN0914",
         "Temporary directory not found: " + missing + ": BBS GET RN0914"},
        {root ? missing : (dir_ / "locked").string(), true, "BBS GET RN0914",
         (root ? "Temporary directory not found: " + missing
               : "Temporary directory not writable: " + (dir_ / "locked").string()) +
             ": BBS GET RN0914"},
    };
    for (const Case& c : cases) {
        form_->BBSmodule->TempDir = c.TempDir;
        if (c.Open) {
            form_->DbModule = std::make_unique<TZodevurezDbModule>("W", temp + "/");
        } else {
            form_->DbModule.reset();
        }
        Run(c.Command);
        EXPECT_TRUE(Replied(c.Reply)) << c.Reply;
        EXPECT_FALSE(form_->BBSmodule->DialTimer.isActive()) << c.Command;
        EXPECT_EQ(form_->QueueLines.Count(), 0);
    }
    // SET TEMPDIR names a directory it cannot use; OPEN refuses one and never falls back to
    // the working directory.
    Run("BBS SET TEMPDIR " + missing);
    EXPECT_TRUE(Replied("Temporary directory not found: " + missing));
    for (const std::string& path : {missing, std::string()}) {
        Run("BBS OPEN DATABASE Weather " + path);
        EXPECT_EQ(form_->DbModule, nullptr) << path;
    }
    EXPECT_TRUE(Replied("Data directory not found: " + missing + " (BBS OPEN DATABASE Weather " +
                        missing + ")"));
    EXPECT_TRUE(Replied("No data directory given (BBS OPEN DATABASE Weather )"));
    EXPECT_FALSE(fs::exists(dir_ / "Sat.DB"));
}

// A close that arrives while a product is being recorded: that product is finished, the final
// replies are sent, the program closes, and the archives not processed stay for the next call.
TEST_F(FormTest, CloseDuringProcessingFinishesTheProductInHandAndKeepsTheRest) {
    QProcess gen;
    gen.start(QX_BIN_DIR "/make-sample-board", {QString::fromStdString((dir_ / "board").string())});
    ASSERT_TRUE(gen.waitForFinished(60000));
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_ / "board")) {
        const std::string n = e.path().filename();
        if (n.rfind("WK", 0) == 0 || n.rfind("OB", 0) == 0 || n.rfind("EV", 0) == 0) {
            fs::copy_file(e.path(), dir_ / "temp" / n);
            names.push_back(n);
        }
    }
    ASSERT_EQ(names.size(), 3u);
    for (const char* d : {"Sat/Europe", "Text/Forecast/Short"}) {
        fs::create_directories(dir_ / "data" / d);
    }
    form_->BBSmodule->TempDir = (dir_ / "temp").string();
    form_->DbModule =
        std::make_unique<TZodevurezDbModule>("Weather", (dir_ / "data").string() + "/");
    for (const std::string& n : names) form_->ReceivedFiles.Add(n);
    bool closed = false;
    form_->OnClosed = [&] { closed = true; };
    // The close arrives while the first product is under way (its log line pumps the loop).
    bool asked = false;
    form_->LogLines.OnChange = [&](TListChange, int) {
        if (!asked && form_->LogLines.Count() > 0 &&
            form_->LogLines[form_->LogLines.Count() - 1].find("Processing ") != std::string::npos) {
            asked = true;
            QTimer::singleShot(0, [&] { form_->AfsluitenClick(); });
        }
    };
    form_->CommandBBSStop();
    form_->LogLines.OnChange = nullptr;
    ASSERT_TRUE(asked);
    EXPECT_TRUE(closed);
    const std::vector<std::string> replies = form_->Outbox.Items();
    size_t final = replies.size(), stopped = replies.size(), processing = 0;
    for (size_t i = 0; i < replies.size(); ++i) {
        if (replies[i].rfind("Processing ", 0) == 0) ++processing;
        if (replies[i].rfind("Data collection completed, processing incomplete", 0) == 0) final = i;
        if (replies[i] == "Communication program stopped") stopped = i;
    }
    EXPECT_EQ(processing, 1u) << ::testing::PrintToString(replies);
    EXPECT_LT(final, stopped) << ::testing::PrintToString(replies);
    EXPECT_LT(stopped, replies.size());
    // Every archive is still listed: the next run takes them all up again.
    EXPECT_EQ(ReadPendingArchives((dir_ / "temp").string()).size(), 3u);
    EXPECT_EQ(form_->DbModule, nullptr);
}

}  // namespace
}  // namespace qx
