#include "ui/main_form.h"

#include <QAction>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QListView>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>

#include <algorithm>
#include <fstream>

#include "comm/status_light.h"
#include "ui/app_icon.h"

namespace qx {

const std::array<const char*, 7> LightNames = {"BRK", "CTS", "DCD", "DSR", "ERR", "TXD", "RXD"};

namespace {

void Place(QWidget* w, const TRect& r) {
    w->setGeometry(r.Left, r.Top, r.Width, r.Height);
}

QFrame* NewPanel(QWidget* parent, const char* name, QFrame::Shape shape = QFrame::NoFrame) {
    auto* p = new QFrame(parent);
    p->setObjectName(name);
    p->setFrameShape(shape);
    if (shape != QFrame::NoFrame) p->setFrameShadow(QFrame::Raised);
    return p;
}

QLabel* NewLabel(QWidget* parent, const char* name, const QString& text, Qt::Alignment align) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    l->setAlignment(align | Qt::AlignVCenter);
    return l;
}

QAction* NewAction(QMenu* menu, const char* name, const QString& text, bool checkable) {
    QAction* a = menu->addAction(text);
    a->setObjectName(name);
    a->setCheckable(checkable);
    return a;
}

}  // namespace

TMainForm::TMainForm(QMainWindow* window) : QObject(window), window_(window) {
    setObjectName("MainForm");
    window_->setWindowTitle("Quorvex");
    // An ordinary resizable window; the layout follows its size (FormResize).
    window_->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                            Qt::WindowCloseButtonHint);
    window_->setWindowIcon(AppIcon());
    BuildMenus();
    BuildPanels();
    AskSaveFileName = [this] { return DefaultAskSaveFileName(); };
    window_->installEventFilter(this);
    central_->installEventFilter(this);

    const TWindowState defaults;
    ApplyWindowState(defaults);
    EnableButtons(true, false);
}

void TMainForm::BuildMenus() {
    QMenuBar* bar = window_->menuBar();
    Bestand = bar->addMenu("&File");
    Bestand->setObjectName("Bestand");
    Wissen = NewAction(Bestand, "Wissen", "&Clear", false);
    Opslaan = NewAction(Bestand, "Opslaan", "&Save as...", false);
    Afsluiten = NewAction(Bestand, "Afsluiten", "&Close", false);
    Venster = bar->addMenu("&Window");
    Venster->setObjectName("Venster");
    Dialoog = NewAction(Venster, "Dialoog", "Dialog", true);
    Wachtrij = NewAction(Venster, "Wachtrij", "Queue", true);
    Modem = NewAction(Venster, "Modem", "Modem", true);
    Voortgang = NewAction(Venster, "Voortgang", "Progress", true);
    Knoppen = NewAction(Venster, "Knoppen", "Buttons", true);

    connect(Wissen, &QAction::triggered, this, [this] { WissenClick(); });
    connect(Opslaan, &QAction::triggered, this, [this] { OpslaanClick(); });
    connect(Afsluiten, &QAction::triggered, this, [this] { AfsluitenClick(); });
    // The check mark has already flipped when triggered arrives.
    connect(Dialoog, &QAction::triggered, this, [this] { DialogToggled(); });
    connect(Wachtrij, &QAction::triggered, this, [this] { QueueToggled(); });
    connect(Modem, &QAction::triggered, this, [this] { LightsProgressToggled(); });
    connect(Voortgang, &QAction::triggered, this, [this] { LightsProgressToggled(); });
    connect(Knoppen, &QAction::triggered, this, [this] { ButtonsToggled(); });
}

void TMainForm::BuildPanels() {
    namespace m = form_metrics;
    central_ = new QWidget(window_);
    central_->setObjectName("ClientArea");
    window_->setCentralWidget(central_);

    PanelStatusBar = NewPanel(central_, "PanelStatusBar");
    PanelButtons = NewPanel(PanelStatusBar, "PanelButtons");
    pnlBut = NewPanel(PanelButtons, "pnlBut");
    pnlBut->setGeometry(0, 0, m::ButtonBoxWidth, m::ButtonPanelHeight);
    Disconnect = new QPushButton("Hang up", pnlBut);
    Disconnect->setObjectName("Disconnect");
    Place(Disconnect, m::DisconnectRect);
    connect(Disconnect, &QPushButton::clicked, this, [this] { DisconnectClick(); });

    PanelListBoxModem = NewPanel(PanelStatusBar, "PanelListBoxModem");
    logModel_ = new TListMirrorModel(this);
    queueModel_ = new TListMirrorModel(this);
    ListBoxBBS = new QListView(PanelListBoxModem);
    ListBoxBBS->setObjectName("ListBoxBBS");
    ListBoxBBS->setModel(logModel_);
    ListBoxQue = new QListView(PanelListBoxModem);
    ListBoxQue->setObjectName("ListBoxQue");
    ListBoxQue->setModel(queueModel_);
    for (QListView* list : {ListBoxBBS, ListBoxQue}) {
        // Each row keeps its own width, so a long line widens the list's scroll range instead
        // of being cut at the width of the first row.
        list->setUniformItemSizes(false);
        list->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        list->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
        list->setTextElideMode(Qt::ElideNone);
        list->setEditTriggers(QAbstractItemView::NoEditTriggers);
        list->setSelectionMode(QAbstractItemView::SingleSelection);
        list->resize(list->width(), m::DesignListHeight);
    }

    PanelLightsProgress = NewPanel(PanelListBoxModem, "PanelLightsProgress");
    PanelLights = NewPanel(PanelLightsProgress, "PanelLights", QFrame::Panel);
    PanelProgress = NewPanel(PanelLightsProgress, "PanelProgress", QFrame::Panel);
    const QPixmap glyph = TCxStatusLight::LampGlyph();
    for (int k = 0; k < 7; ++k) {
        auto* light = new TCxStatusLight(PanelLights);
        light->setObjectName(QString(LightNames[k]) + "Light");
        light->SetGlyph(glyph);
        light->move(0, m::LightTop);
        Lights[k] = light;
        LightLabels[k] = NewLabel(PanelLights, (std::string("Label") + LightNames[k]).c_str(),
                                  LightNames[k], Qt::AlignHCenter);
        LightLabels[k]->setGeometry(0, m::LightLabelTop, m::LightLabelWidth, m::LightLabelHeight);
    }

    LabelVoortgang = NewLabel(PanelProgress, "LabelVoortgang", "Progress:", Qt::AlignRight);
    LabelVoortgang->setGeometry(m::ProgressCaptionLeft, m::ProgressBarTop, m::ProgressCaptionWidth,
                                m::ProgressBarHeight);
    ProgressBar = new QProgressBar(PanelProgress);
    ProgressBar->setObjectName("ProgressBar");
    ProgressBar->setRange(0, 100);
    ProgressBar->setValue(0);
    ProgressBar->setTextVisible(false);
    lblBestand = NewLabel(PanelProgress, "lblBestand", "File:        ", Qt::AlignRight);
    lblBestand->setGeometry(m::ProgressCaptionLeft, m::FileLabelTop, m::ProgressCaptionWidth,
                            m::TextHeight);
    LabelBestand = NewLabel(PanelProgress, "LabelBestand", "", Qt::AlignLeft);

    BRKLight = Lights[0];
    CTSLight = Lights[1];
    DCDLight = Lights[2];
    DSRLight = Lights[3];
    ERRLight = Lights[4];
    TXDLight = Lights[5];
    RXDLight = Lights[6];

    StatusBar = window_->statusBar();
    StatusBar->setObjectName("StatusBar");
    StatusBar->setSizeGripEnabled(false);
    statusText_ = new QLabel(StatusBar);
    statusText_->setObjectName("StatusBarText");
    StatusBar->addWidget(statusText_, 1);
}

void TMainForm::BindLogList(TListSource source) {
    logSource_ = source;
    logModel_->Bind(std::move(source));
    LogListChanged();
}

void TMainForm::LogListChanged() {
    logModel_->Changed();
    const int rows = logModel_->rowCount();
    if (rows == 0) return;
    const QModelIndex last = logModel_->index(rows - 1, 0);
    ListBoxBBS->setCurrentIndex(last);
    ListBoxBBS->scrollTo(last);
}

void TMainForm::BindQueueList(TListSource source) {
    queueModel_->Bind(std::move(source));
}

void TMainForm::QueueListChanged() {
    queueModel_->Changed();
}

void TMainForm::SetStatusText(const std::string& text) {
    statusText_->setText(QString::fromStdString(text));
}

std::string TMainForm::StatusText() const {
    return statusText_->text().toStdString();
}

void TMainForm::EnableButtons(bool closeAllowed, bool hangUpAllowed) {
    Afsluiten->setEnabled(closeAllowed);
    Disconnect->setEnabled(hangUpAllowed);
}

void TMainForm::SetProgress(int percent) {
    ProgressBar->setValue(std::clamp(percent, 0, 100));
}

int TMainForm::Progress() const {
    return ProgressBar->value();
}

void TMainForm::SetFileLabel(const std::string& name) {
    LabelBestand->setText(QString::fromStdString(name));
}

std::string TMainForm::FileLabel() const {
    return LabelBestand->text().toStdString();
}

TViewTicks TMainForm::Ticks() const {
    return {Dialoog->isChecked(), Wachtrij->isChecked(), Modem->isChecked(), Voortgang->isChecked(),
            Knoppen->isChecked()};
}

void TMainForm::ApplyWindowState(const TWindowState& state) {
    window_->move(state.Left, state.Top);
    window_->resize(state.Width, state.Height);
    Dialoog->setChecked(state.Ticks.Dialog);
    Wachtrij->setChecked(state.Ticks.Queue);
    Modem->setChecked(state.Ticks.Modem);
    Voortgang->setChecked(state.Ticks.Progress);
    Knoppen->setChecked(state.Ticks.Buttons);
    FormResize();
}

TWindowState TMainForm::CurrentWindowState() const {
    TWindowState s;
    s.Top = window_->y();
    s.Left = window_->x();
    s.Width = window_->width();
    s.Height = window_->height();
    s.Ticks = Ticks();
    return s;
}

void TMainForm::LoadWindowState(const std::string& path, const TErrorReporter& errorBox) {
    std::vector<TRect> screens;
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect r = screen->availableGeometry();
        screens.push_back({r.left(), r.top(), r.width(), r.height()});
    }
    ApplyWindowState(ReadWindowStateFile(path, screens, errorBox));
}

void TMainForm::SaveWindowState(const std::string& path, const TErrorReporter& errorBox) const {
    WriteWindowStateFile(path, CurrentWindowState(), errorBox);
}

void TMainForm::FormResize() {
    // A hidden window gets no resize events, so its layout is brought up to date by hand
    // before the central area's height is read.
    if (QLayout* l = window_->layout()) {
        l->invalidate();
        l->activate();
    }
    ApplyLayout();
}

void TMainForm::ApplyLayout() {
    if (resizing_) return;
    resizing_ = true;
    layout_ = ComputeFormLayout(window_->width(), central_->height(), Ticks(), Lights[0]->width());
    const TFormLayout& f = layout_;
    Place(PanelStatusBar, f.PanelStatusBar);
    Place(PanelButtons, f.PanelButtons);
    Place(PanelListBoxModem, f.PanelListBoxModem);
    PanelButtons->setVisible(f.ButtonsVisible);
    // Hidden parts keep their last geometry: a list's height is what the window grows by when
    // that list is shown again.
    if (f.LightsProgressVisible) Place(PanelLightsProgress, f.PanelLightsProgress);
    if (f.LightsVisible) {
        Place(PanelLights, f.PanelLights);
        for (int k = 0; k < 7; ++k) {
            Lights[k]->move(f.LightLeft[k], form_metrics::LightTop);
            LightLabels[k]->move(f.LabelLeft[k], form_metrics::LightLabelTop);
            LightLabels[k]->setVisible(f.LabelsVisible);
        }
    }
    if (f.ProgressVisible) {
        Place(PanelProgress, f.PanelProgress);
        Place(LabelBestand, f.LabelBestand);
        if (f.ProgressBarVisible) Place(ProgressBar, f.ProgressBar);
        ProgressBar->setVisible(f.ProgressBarVisible);
    }
    if (f.LogVisible) Place(ListBoxBBS, f.ListBoxBBS);
    if (f.QueueVisible) Place(ListBoxQue, f.ListBoxQue);
    PanelLightsProgress->setVisible(f.LightsProgressVisible);
    PanelLights->setVisible(f.LightsVisible);
    PanelProgress->setVisible(f.ProgressVisible);
    ListBoxBBS->setVisible(f.LogVisible);
    ListBoxQue->setVisible(f.QueueVisible);
    resizing_ = false;
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == central_ && event->type() == QEvent::Resize) {
        ApplyLayout();
    } else if (watched == window_ && event->type() == QEvent::Close) {
        if (OnCloseQuery && !OnCloseQuery()) {
            event->ignore();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

void TMainForm::SetWindowHeight(int height) {
    window_->resize(window_->width(), std::max(height, 0));
}

void TMainForm::DialogToggled() {
    SetWindowHeight(HeightAfterListToggle(window_->height(), Dialoog->isChecked(),
                                          Wachtrij->isChecked(), ListBoxBBS->height()));
    FormResize();
}

void TMainForm::QueueToggled() {
    SetWindowHeight(HeightAfterListToggle(window_->height(), Wachtrij->isChecked(),
                                          Dialoog->isChecked(), ListBoxQue->height()));
    FormResize();
}

void TMainForm::LightsProgressToggled() {
    SetWindowHeight(HeightAfterLightsProgressToggle(
        window_->height(), layout_.LightsProgressVisible, Modem->isChecked(),
        Voortgang->isChecked(), form_metrics::LightsProgressHeight));
    FormResize();
}

void TMainForm::ButtonsToggled() {
    SetWindowHeight(HeightAfterButtonsToggle(window_->height(), Knoppen->isChecked(),
                                             form_metrics::ButtonPanelHeight));
    FormResize();
}

void TMainForm::WissenClick() {
    if (logSource_.Clear) logSource_.Clear();
    LogListChanged();
}

void TMainForm::OpslaanClick() {
    if (!AskSaveFileName) return;
    const std::string path = AskSaveFileName();
    if (!path.empty()) SaveLog(path);
}

void TMainForm::AfsluitenClick() {
    if (OnAfsluitenClick) OnAfsluitenClick();
}

void TMainForm::DialoogClick() {
    Dialoog->trigger();
}
void TMainForm::WachtrijClick() {
    Wachtrij->trigger();
}
void TMainForm::ModemClick() {
    Modem->trigger();
}
void TMainForm::VoortgangClick() {
    Voortgang->trigger();
}
void TMainForm::KnoppenClick() {
    Knoppen->trigger();
}

void TMainForm::DisconnectClick() {
    if (OnDisconnectClick) OnDisconnectClick();
}

bool TMainForm::SaveLog(const std::string& path) const {
    std::ofstream out(path, std::ios::trunc);
    if (!out.is_open()) return false;
    const int n = logSource_.Count ? logSource_.Count() : 0;
    for (int i = 0; i < n; ++i) out << logSource_.Line(i) << '\n';
    return true;
}

std::string TMainForm::DefaultAskSaveFileName() {
    QFileDialog dialog(window_, "Save as log");
    dialog.setObjectName("SaveDialog");
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter("Text file (*.txt)");
    dialog.setDefaultSuffix("txt");
    dialog.selectFile("comm.txt");
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first().toStdString();
}

}  // namespace qx
