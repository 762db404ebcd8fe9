// The main window's controls on a real QMainWindow under the offscreen platform: names and
// captions, what the view toggles show and how they resize the window, the lists' binding,
// Clear / Save as, the buttons' enabled state, the close query and the window-state file.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QListView>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "comm/status_light.h"
#include "support/string_list.h"
#include "ui/main_form.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

QApplication& App() {
    static int argc = 1;
    static char arg0[] = "ui_main_form_test";
    static char* argv[] = {arg0, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(argc, argv);
    return app;
}

class MainForm : public ::testing::Test {
  protected:
    void SetUp() override {
        App();
        window_ = std::make_unique<QMainWindow>();
        form_ = new TMainForm(window_.get());
        window_->show();
        QApplication::processEvents();
        form_->BindLogList({[this] { return static_cast<int>(log_.size()); },
                            [this](int i) { return log_[i]; }, [this] { log_.clear(); }});
        form_->BindQueueList({[this] { return static_cast<int>(queue_.size()); },
                              [this](int i) { return queue_[i]; }, nullptr});
    }

    template <typename T>
    T* Find(const char* name) {
        return window_->findChild<T*>(name);
    }
    bool Shown(QWidget* w) { return w->isVisibleTo(window_.get()); }

    std::vector<std::string> log_;
    std::vector<std::string> queue_;
    std::unique_ptr<QMainWindow> window_;
    TMainForm* form_ = nullptr;  // a child of window_
};

TEST_F(MainForm, ControlsCarryTheirComponentNamesAndEnglishCaptions) {
    EXPECT_EQ(window_->windowTitle(), "Quorvex");
    const Qt::WindowFlags flags = window_->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    // Resizable like any window: the layout follows the size, long log lines scroll.
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(form_->ListBoxBBS->uniformItemSizes());

    const std::vector<std::pair<const char*, const char*>> menus = {{"Bestand", "&File"},
                                                                    {"Venster", "&Window"}};
    for (auto [name, text] : menus) {
        auto* m = Find<QMenu>(name);
        ASSERT_NE(m, nullptr) << name;
        EXPECT_EQ(m->title(), text);
    }
    const std::vector<std::pair<const char*, const char*>> actions = {
        {"Wissen", "&Clear"},      {"Opslaan", "&Save as..."}, {"Afsluiten", "&Close"},
        {"Dialoog", "Dialog"},     {"Wachtrij", "Queue"},      {"Modem", "Modem"},
        {"Voortgang", "Progress"}, {"Knoppen", "Buttons"}};
    for (auto [name, text] : actions) {
        auto* a = Find<QAction>(name);
        ASSERT_NE(a, nullptr) << name;
        EXPECT_EQ(a->text(), text) << name;
    }
    ASSERT_NE(Find<QPushButton>("Disconnect"), nullptr);
    EXPECT_EQ(Find<QPushButton>("Disconnect")->text(), "Hang up");
    const std::vector<std::pair<const char*, const char*>> labels = {
        {"LabelVoortgang", "Progress:"},
        {"lblBestand", "File:        "},
        {"LabelBestand", ""},
        {"LabelBRK", "BRK"},
        {"LabelCTS", "CTS"},
        {"LabelDCD", "DCD"},
        {"LabelDSR", "DSR"},
        {"LabelERR", "ERR"},
        {"LabelTXD", "TXD"},
        {"LabelRXD", "RXD"}};
    for (auto [name, text] : labels) {
        auto* l = Find<QLabel>(name);
        ASSERT_NE(l, nullptr) << name;
        EXPECT_EQ(l->text(), text) << name;
    }
    for (const char* name : {"ListBoxBBS", "ListBoxQue"}) EXPECT_NE(Find<QListView>(name), nullptr);
    for (const char* name : {"PanelStatusBar", "PanelButtons", "pnlBut", "PanelListBoxModem",
                             "PanelLightsProgress", "PanelLights", "PanelProgress"}) {
        EXPECT_NE(Find<QWidget>(name), nullptr) << name;
    }
    for (const char* name :
         {"BRKLight", "CTSLight", "DCDLight", "DSRLight", "ERRLight", "TXDLight", "RXDLight"}) {
        EXPECT_NE(Find<TCxStatusLight>(name), nullptr) << name;
    }
    auto* bar = Find<QProgressBar>("ProgressBar");
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 100);
    EXPECT_EQ(Find<QStatusBar>("StatusBar"), window_->statusBar());
}

TEST_F(MainForm, StartsAtDefaultGeometryWithButtonsHidden) {
    EXPECT_EQ(window_->size(), QSize(600, 400));
    EXPECT_EQ(form_->Ticks(), TViewTicks{});
    EXPECT_TRUE(Shown(form_->ListBoxBBS));
    EXPECT_TRUE(Shown(form_->ListBoxQue));
    EXPECT_TRUE(Shown(form_->PanelLights));
    EXPECT_TRUE(Shown(form_->PanelProgress));
    EXPECT_TRUE(Shown(form_->ProgressBar));
    EXPECT_FALSE(Shown(form_->PanelButtons));
    // At 600 wide the light cells are 42 pixels: labels shown.
    EXPECT_TRUE(Shown(form_->LightLabels[0]));
    // Close allowed, hang-up not, until a call starts.
    EXPECT_TRUE(form_->Afsluiten->isEnabled());
    EXPECT_FALSE(form_->Disconnect->isEnabled());
    // The lists fill the central area down to the lights panel.
    EXPECT_EQ(form_->ListBoxBBS->geometry().bottom() + 1, form_->PanelLightsProgress->y());
}

TEST_F(MainForm, DialogAndQueueTogglesResizeOnlyWhenBothListsGo) {
    const int h0 = window_->height();
    const int listHeight = form_->ListBoxBBS->height();
    ASSERT_GT(listHeight, 0);

    form_->DialoogClick();  // Queue still ticked
    EXPECT_FALSE(form_->Dialoog->isChecked());
    EXPECT_EQ(window_->height(), h0);
    EXPECT_FALSE(Shown(form_->ListBoxBBS));
    EXPECT_TRUE(Shown(form_->ListBoxQue));
    EXPECT_GT(form_->ListBoxQue->width(), window_->width() / 2);  // fills the area alone

    form_->WachtrijClick();  // both gone
    EXPECT_EQ(window_->height(), h0 - listHeight);
    EXPECT_FALSE(Shown(form_->ListBoxQue));

    form_->DialoogClick();  // the log list comes back at its old height
    EXPECT_EQ(window_->height(), h0);
    EXPECT_TRUE(Shown(form_->ListBoxBBS));
    EXPECT_EQ(form_->ListBoxBBS->height(), listHeight);
}

TEST_F(MainForm, ModemProgressAndButtonsTogglesShowTheirPanels) {
    const int h0 = window_->height();
    form_->ModemClick();
    EXPECT_EQ(window_->height(), h0);
    EXPECT_FALSE(Shown(form_->PanelLights));
    EXPECT_TRUE(Shown(form_->PanelProgress));
    EXPECT_EQ(form_->PanelProgress->x(), 0);

    form_->VoortgangClick();
    EXPECT_EQ(window_->height(), h0 - form_metrics::LightsProgressHeight);
    EXPECT_FALSE(Shown(form_->PanelLightsProgress));

    form_->ModemClick();
    EXPECT_EQ(window_->height(), h0);
    EXPECT_TRUE(Shown(form_->PanelLights));
    EXPECT_FALSE(Shown(form_->PanelProgress));

    form_->KnoppenClick();
    EXPECT_EQ(window_->height(), h0 + form_metrics::ButtonPanelHeight);
    EXPECT_TRUE(Shown(form_->PanelButtons));
    EXPECT_TRUE(Shown(form_->Disconnect));
    form_->KnoppenClick();
    EXPECT_EQ(window_->height(), h0);
    EXPECT_FALSE(Shown(form_->PanelButtons));
}

TEST_F(MainForm, NarrowWindowHidesLightLabelsAndProgressBar) {
    window_->resize(346, 400);  // lights panel 168: cells of 24
    QApplication::processEvents();
    EXPECT_EQ(form_->PanelLights->width(), 168);
    EXPECT_FALSE(Shown(form_->LightLabels[3]));
    EXPECT_EQ(form_->Light(6)->x(), 6 + 6 * 24);

    form_->ModemClick();  // progress alone, panel = width - 9
    window_->resize(121, 400);
    QApplication::processEvents();
    EXPECT_EQ(form_->PanelProgress->width(), 112);
    EXPECT_FALSE(Shown(form_->ProgressBar));
    window_->resize(300, 400);
    QApplication::processEvents();
    EXPECT_TRUE(Shown(form_->ProgressBar));
}

TEST_F(MainForm, ListsMirrorTheirSourcesAndLogKeepsLastLineInView) {
    for (int i = 0; i < 200; ++i) log_.push_back("12:" + std::to_string(i) + " line");
    form_->LogListChanged();
    QAbstractItemModel* model = form_->ListBoxBBS->model();
    ASSERT_EQ(model->rowCount(), 200);
    EXPECT_EQ(model->index(199, 0).data().toString(), "12:199 line");
    EXPECT_EQ(form_->ListBoxBBS->currentIndex().row(), 199);
    const QRect last = form_->ListBoxBBS->visualRect(model->index(199, 0));
    EXPECT_TRUE(form_->ListBoxBBS->viewport()->rect().contains(last.center()));

    queue_ = {"BBS GET a.zip", "BBS LAST x 1 0 3"};
    form_->QueueListChanged();
    EXPECT_EQ(form_->ListBoxQue->model()->rowCount(), 2);
    queue_.erase(queue_.begin());
    form_->QueueListChanged();
    ASSERT_EQ(form_->ListBoxQue->model()->rowCount(), 1);
    EXPECT_EQ(form_->ListBoxQue->model()->index(0, 0).data().toString(), "BBS LAST x 1 0 3");

    form_->Wissen->trigger();
    EXPECT_TRUE(log_.empty());
    EXPECT_EQ(model->rowCount(), 0);
}

TEST_F(MainForm, TStringListBindingFollowsAddDeleteAndClear) {
    TStringList lines;
    form_->BindLogList(ListSourceOf(lines));
    lines.OnChange = [this](TListChange, int) { form_->LogListChanged(); };
    QAbstractItemModel* model = form_->ListBoxBBS->model();
    lines.Add("00:01 a");
    lines.Add("00:02 b");
    lines.Add("00:03 c");
    ASSERT_EQ(model->rowCount(), 3);
    EXPECT_EQ(form_->ListBoxBBS->currentIndex().row(), 2);
    lines.Delete(0);  // the oldest line goes when the log is full
    ASSERT_EQ(model->rowCount(), 2);
    EXPECT_EQ(model->index(0, 0).data().toString(), "00:02 b");
    form_->WissenClick();
    EXPECT_TRUE(lines.Empty());
    EXPECT_EQ(model->rowCount(), 0);
    form_->LogListChanged();  // an empty list has no last line to select
    EXPECT_FALSE(form_->ListBoxBBS->currentIndex().isValid());
}

TEST(MainFormHidden, HiddenWindowIsLaidOutAndTogglesStillResizeIt) {
    // The program starts hidden behind its tray icon; the layout must not wait for a show.
    App();
    QMainWindow window;
    auto* form = new TMainForm(&window);
    ASSERT_FALSE(window.isVisible());
    const int listHeight = form->ListBoxBBS->height();
    EXPECT_GT(listHeight, form_metrics::DesignListHeight);  // 400 high leaves more than design
    EXPECT_EQ(form->ListBoxBBS->geometry().bottom() + 1, form->PanelLightsProgress->y());
    form->DialoogClick();
    form->WachtrijClick();
    EXPECT_EQ(window.height(), 400 - listHeight);
    form->WachtrijClick();
    EXPECT_EQ(window.height(), 400);
    window.show();
    QApplication::processEvents();
    EXPECT_EQ(form->ListBoxQue->height(), listHeight);
    EXPECT_TRUE(form->ListBoxQue->isVisible());
    EXPECT_FALSE(form->ListBoxBBS->isVisible());
}

class MainFormFiles : public MainForm {
  protected:
    void SetUp() override {
        MainForm::SetUp();
        dir_ =
            fs::temp_directory_path() / ("qx_mainform_" + std::to_string(std::random_device{}()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Slurp(const fs::path& p) {
        std::ifstream in(p);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    fs::path dir_;
};

TEST_F(MainFormFiles, SaveAsWritesEveryLineOldestFirstReplacingTheFile) {
    log_ = {"00:01 first", "00:02 second"};
    form_->LogListChanged();
    const fs::path target = dir_ / "comm.txt";
    {
        std::ofstream old(target);
        old << "old content that is longer than the new one\n";
    }
    int asked = 0;
    form_->AskSaveFileName = [&] {
        ++asked;
        return target.string();
    };
    form_->Opslaan->trigger();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(Slurp(target), "00:01 first\n00:02 second\n");

    // Cancelled dialog: nothing written. Unopenable target: no file, no complaint.
    form_->AskSaveFileName = [] { return std::string(); };
    form_->OpslaanClick();
    EXPECT_FALSE(form_->SaveLog((dir_ / "no" / "such" / "dir.txt").string()));
    EXPECT_FALSE(fs::exists(dir_ / "no"));
}

TEST_F(MainFormFiles, WindowStateFileRoundTripsAndBadFileGivesDefaults) {
    const std::string ini = (dir_ / "quorvex.ini").string();
    std::vector<std::string> boxes;
    auto box = [&](const std::string& m, const std::string&) { boxes.push_back(m); };

    form_->KnoppenClick();
    form_->DialoogClick();
    window_->resize(640, window_->height());
    QApplication::processEvents();
    const TWindowState saved = form_->CurrentWindowState();
    form_->SaveWindowState(ini, box);

    form_->ApplyWindowState(TWindowState{});
    EXPECT_EQ(form_->Ticks(), TViewTicks{});
    form_->LoadWindowState(ini, box);
    EXPECT_EQ(form_->Ticks(), (TViewTicks{false, true, true, true, true}));
    EXPECT_EQ(window_->width(), 640);
    EXPECT_EQ(window_->height(), saved.Height);
    EXPECT_TRUE(Shown(form_->PanelButtons));
    EXPECT_FALSE(Shown(form_->ListBoxBBS));

    // A 20-byte file: deleted, and the window opens at 100,100 with 600 by 400.
    {
        std::ofstream out(ini, std::ios::binary | std::ios::trunc);
        out << std::string(20, '\x01');
    }
    form_->LoadWindowState(ini, box);
    EXPECT_FALSE(fs::exists(ini));
    EXPECT_EQ(window_->size(), QSize(600, 400));
    EXPECT_EQ(form_->CurrentWindowState().Width, 600);
    EXPECT_EQ(form_->Ticks(), TViewTicks{});
    EXPECT_TRUE(boxes.empty());
}

TEST_F(MainForm, ButtonsStateProgressAndHooks) {
    int closes = 0, hangups = 0;
    form_->OnAfsluitenClick = [&] { ++closes; };
    form_->OnDisconnectClick = [&] { ++hangups; };

    form_->EnableButtons(false, true);  // a call runs
    EXPECT_FALSE(form_->Afsluiten->isEnabled());
    EXPECT_TRUE(form_->Disconnect->isEnabled());
    form_->Afsluiten->trigger();  // disabled: no effect
    EXPECT_EQ(closes, 0);
    form_->KnoppenClick();
    form_->Disconnect->click();
    EXPECT_EQ(hangups, 1);

    form_->EnableButtons(true, false);  // the call ended
    form_->Disconnect->click();
    EXPECT_EQ(hangups, 1);
    form_->Afsluiten->trigger();
    EXPECT_EQ(closes, 1);

    form_->SetProgress(45);
    EXPECT_EQ(form_->Progress(), 45);
    form_->SetProgress(250);
    EXPECT_EQ(form_->Progress(), 100);
    form_->SetProgress(-3);
    EXPECT_EQ(form_->Progress(), 0);
    form_->SetFileLabel("rn0810.zip");
    EXPECT_EQ(form_->LabelBestand->text(), "rn0810.zip");
    form_->SetStatusText("Connected to OstrelCentre at 12:00");
    EXPECT_EQ(form_->StatusText(), "Connected to OstrelCentre at 12:00");
}

TEST_F(MainForm, CloseBoxAsksTheOwnerAndCanBeRefused) {
    bool accept = false;
    int asked = 0;
    form_->OnCloseQuery = [&] {
        ++asked;
        if (!accept) window_->hide();  // what the program does: keep running, hidden
        return accept;
    };
    EXPECT_FALSE(window_->close());
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(window_->isVisible());
    window_->show();
    accept = true;
    EXPECT_TRUE(window_->close());
    EXPECT_EQ(asked, 2);
}

TEST_F(MainForm, SevenLightsStartUnlitWithTheLampGlyph) {
    for (int k = 0; k < 7; ++k) {
        TCxStatusLight* light = form_->Light(k);
        ASSERT_NE(light, nullptr);
        EXPECT_EQ(light->parentWidget(), form_->PanelLights);
        EXPECT_FALSE(light->Lit()) << k;
        EXPECT_EQ(light->size(), QSize(12, 12)) << k;
        EXPECT_EQ(light->Glyph().size(), QSize(24, 12)) << k;
    }
    EXPECT_EQ(form_->Light(0), form_->BRKLight);
    EXPECT_EQ(form_->Light(2), form_->DCDLight);
    EXPECT_EQ(form_->Light(6), form_->RXDLight);
}

}  // namespace
}  // namespace qx
