// A whole call of the real program against bbs-sim, with the window on screen (Xvfb when the
// test runs under xvfb-run) and the line trace on: the picture of the window at the end of the
// call is the README's docs/main-window.png, and bbs.cap and bbs.log must show the login
// dialogue and the ZMODEM headers without the password.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "pump_until.h"
#include "shell/main_window.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

std::string Bin(const std::string& name) {
    return std::string(QX_BIN_DIR) + "/" + name;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The runs of one direction in a trace file, continuation lines joined.
std::vector<std::string> Runs(const std::string& cap, const std::string& head) {
    std::vector<std::string> runs;
    std::istringstream in(cap);
    bool inRun = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(head, 0) == 0) {
            runs.push_back(line.substr(head.size()));
            inRun = true;
        } else if (inRun && line.rfind(std::string(head.size(), ' '), 0) == 0) {
            runs.back() += line.substr(head.size());
        } else {
            inRun = false;
        }
    }
    return runs;
}

bool AnyContains(const std::vector<std::string>& runs, const std::string& text) {
    return std::any_of(runs.begin(), runs.end(),
                       [&](const std::string& r) { return r.find(text) != std::string::npos; });
}

TEST(WholeCall, WindowPictureAndLineTrace) {
    int argc = 1;
    char arg0[] = "call_picture_test";
    char* argv[] = {arg0, nullptr};
    if (qEnvironmentVariableIsEmpty("DISPLAY")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    const fs::path dir =
        fs::temp_directory_path() / ("qx_call_picture_" + std::to_string(getpid()));
    fs::remove_all(dir);
    // The program never creates the product directories: the database owner does.
    for (const char* d :
         {"locks", "tmp", "dest", "db/Radar/Nl", "db/Radar/Dl", "db/Radar/Gb", "db/Sat/Holland",
          "db/Sat/Europe", "db/Charts", "db/Text/Forecast/Short", "db/Text/Forecast/Long"}) {
        fs::create_directories(dir / d);
    }
    const std::string ns = "qxpic" + std::to_string(getpid()) + "-";
    setenv("QUORVEX_IPC_NAMESPACE", ns.c_str(), 1);
    const std::string link = (dir / "modem").string();
    setenv("QUORVEX_LINES", link.c_str(), 1);
    setenv("QUORVEX_LOCK_DIR", (dir / "locks").c_str(), 1);
    const fs::path oldCwd = fs::current_path();
    fs::current_path(dir);  // bbs.cap, bbs.log and the window-state file land here

    QProcess board;
    board.start(QString::fromStdString(Bin("make-sample-board")), {"board"});
    ASSERT_TRUE(board.waitForFinished(60000));
    std::string ev, wk;
    for (const auto& e : fs::directory_iterator(dir / "board")) {
        const std::string n = e.path().filename().string();
        if (n.rfind("EV", 0) == 0) ev = n;
        if (n.rfind("WK", 0) == 0) wk = n;
    }
    QProcess sim;
    sim.start(QString::fromStdString(Bin("bbs-sim")),
              {"--link", QString::fromStdString(link), "--files", "board", "--user", "weather",
               "--password", "pw-Trace77", "--number", "0201234567=connect:33600", "--prompt-delay",
               "100", "--hangup-delay", "200"});
    ASSERT_TRUE(qxtest::PumpUntil([&] { return fs::exists(link); }, 20000));

    // A fresh database greets its first product with a "Table not present" box; on a screen
    // it waits for a click, which this stands in for.
    QTimer dismiss;
    QObject::connect(&dismiss, &QTimer::timeout, [] {
        if (QWidget* box = QApplication::activeModalWidget()) box->close();
    });
    dismiss.start(200);

    TfrmVudaDUD form;
    form.ExeName = "qxpicture";
    form.LineTrace = true;
    bool closed = false;
    form.OnClosed = [&] { closed = true; };
    ASSERT_TRUE(form.FormCreate());

    QProcess session;
    session.start(QString::fromStdString(Bin("quorvexctl")),
                  {"session", "--wait-start", "30", "--timeout", "170"});
    ASSERT_TRUE(session.waitForStarted(10000));
    const std::string script = "BBS SET TAPI " + link +
                               "\nBBS SET PHONE 0201234567 weather pw-Trace77\n"
                               "BBS SET TEMPDIR " +
                               (dir / "tmp").string() + "\nBBS SET DESTDIR " +
                               (dir / "dest").string() + "\nBBS OPEN DATABASE Weather " +
                               (dir / "db").string() + "/\nBBS GET " + wk + "\nBBS GET " + ev +
                               "\n";
    session.write(script.c_str());
    std::string replies;
    ASSERT_TRUE(qxtest::PumpUntil(
        [&] {
            session.waitForReadyRead(5);
            replies += session.readAllStandardOutput().toStdString();
            return replies.find("Data collection and processing completed") != std::string::npos;
        },
        150000))
        << replies;

    // The picture: the window as the user sees it at the end of the call.
    form.show();
    form.raise();
    qxtest::PumpFor(300);
    const QImage image = form.grab().toImage();
    EXPECT_GE(image.width(), 400);
    const fs::path picture = QX_PICTURE_PATH;
    fs::create_directories(picture.parent_path());
    EXPECT_TRUE(image.save(QString::fromStdString(picture.string()), "PNG"));

    session.write("EXIT\n");
    session.closeWriteChannel();
    ASSERT_TRUE(qxtest::PumpUntil([&] { return closed; }, 60000));
    session.waitForFinished(20000);
    sim.kill();
    sim.waitForFinished(5000);

    // The trace: the login dialogue in both directions and ZMODEM's hex headers, no password.
    const std::string cap = ReadFile(dir / "bbs.cap");
    const std::string log = ReadFile(dir / "bbs.log");
    const std::vector<std::string> sent = Runs(cap, "Transmit: ");
    const std::vector<std::string> received = Runs(cap, "Receive: ");
    EXPECT_TRUE(AnyContains(received, ": 1>")) << cap.substr(0, 3000);
    EXPECT_TRUE(AnyContains(sent, "weather[0D]")) << cap.substr(0, 3000);
    EXPECT_TRUE(AnyContains(sent, "********[0D]")) << cap.substr(0, 3000);
    EXPECT_TRUE(AnyContains(sent, "**[18]B01"));  // our ZRINIT, a hex header
    EXPECT_TRUE(AnyContains(received, "*[18]"));  // the sender's headers
    EXPECT_EQ(log.rfind("Time      Type      SubType       Data      OtherData\n", 0), 0u);
    EXPECT_NE(log.find("ReadCom"), std::string::npos);
    EXPECT_NE(log.find("WriteCom"), std::string::npos);
    for (const std::string* text : {&cap, &log}) {
        EXPECT_EQ(text->find("pw-Trace77"), std::string::npos);
    }
    fs::current_path(oldCwd);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace qx
