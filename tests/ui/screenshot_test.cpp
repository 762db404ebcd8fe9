// Renders the main window at its default size with a log, a queue, lights, a transfer in
// progress and a status text, and saves it as screenshots/main-window.png in the build tree.
// Runs under whatever Qt platform is set (xvfb-run gives xcb), else the offscreen one.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QMainWindow>
#include <QPixmap>

#include <filesystem>
#include <string>
#include <vector>

#include "comm/status_light.h"
#include "ui/main_form.h"

namespace qx {
namespace {

TEST(MainWindowScreenshot, DefaultSizeWindowWithSampleContentIsSaved) {
    int argc = 1;
    char arg0[] = "ui_screenshot_test";
    char* argv[] = {arg0, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QMainWindow window;
    auto* form = new TMainForm(&window);
    std::vector<std::string> log = {"47:01 Communication program started (Modem) ",
                                    "47:03 Modem selected: /dev/ttyUSB0",
                                    "47:04 Database opened: /srv/weather/db",
                                    "47:05 Dialling 0900-1234567",
                                    "47:19 Connected to OstrelCentre at 14:47:19",
                                    "47:24 Login accepted",
                                    "47:31 Received file: RN0810.ZIP",
                                    "47:36 Receiving SA0810.ZIP"};
    std::vector<std::string> queue = {"BBS GET SA0810.ZIP", "BBS LAST WD{DD}{HH}.ZIP 3 0 2",
                                      "BBS GET TX0810.ZIP"};
    form->BindLogList(
        {[&] { return static_cast<int>(log.size()); }, [&](int i) { return log[i]; }, nullptr});
    form->BindQueueList(
        {[&] { return static_cast<int>(queue.size()); }, [&](int i) { return queue[i]; }, nullptr});
    const bool lit[7] = {false, true, true, true, false, false, true};
    for (int k = 0; k < 7; ++k) form->Light(k)->SetLit(lit[k]);
    form->SetProgress(65);
    form->SetFileLabel("SA0810.ZIP");
    form->SetStatusText("Receiving SA0810.ZIP");
    form->EnableButtons(false, true);
    window.show();
    form->FormResize();
    form->LogListChanged();
    QApplication::processEvents();

    const QImage image = window.grab().toImage();
    ASSERT_EQ(image.size(), QSize(600, 400));
    const std::filesystem::path out = QX_SCREENSHOT_PATH;
    std::filesystem::create_directories(out.parent_path());
    ASSERT_TRUE(image.save(QString::fromStdString(out.string()), "PNG"));
    EXPECT_GT(std::filesystem::file_size(out), 1000u);

    // The rendering really holds the lit lamps: red pixels inside the CTS light.
    const QPoint cts = form->Light(1)->mapTo(&window, QPoint(5, 5));
    const QColor c = image.pixelColor(cts);
    EXPECT_GT(c.red(), 200);
    EXPECT_LT(c.green(), 60);
}

}  // namespace
}  // namespace qx
