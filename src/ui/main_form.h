// The controls of the main window: menus, the log and queue lists, the seven modem lights, the
// progress panel, the hang-up button and the status bar, with their layout and view toggles.
//
// TMainForm does not own the window: it fills a QMainWindow given to it (the program's
// TfrmVudaDUD) and lives as a child object of it. Everything that belongs to the program rather
// than to the window (closing, hanging up, what a close box means) reaches the owner through the
// On... hooks. Main thread only.
#pragma once

#include <QObject>

#include <array>
#include <functional>
#include <string>

#include "ui/form_layout.h"
#include "ui/list_mirror_model.h"
#include "ui/window_state_file.h"

class QAction;
class QFrame;
class QLabel;
class QListView;
class QMainWindow;
class QMenu;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QWidget;

namespace qx {

class TCxStatusLight;

class TMainForm : public QObject {
  public:
    // Builds every control on window and sets its caption, flags and default geometry.
    explicit TMainForm(QMainWindow* window);
    TMainForm(const TMainForm&) = delete;
    TMainForm& operator=(const TMainForm&) = delete;

    // Owner's hooks. Unset hooks do nothing (a close request is then accepted).
    std::function<void()> OnAfsluitenClick;   // menu Close: request the program's end
    std::function<void()> OnDisconnectClick;  // hang-up button
    std::function<bool()> OnCloseQuery;       // close box: true accepts, false keeps running
    // Asks where to save the log; empty means cancelled. Defaults to the save dialog.
    std::function<std::string()> AskSaveFileName;

    // The lists shown. Call the ...Changed function from the list's change notice.
    void BindLogList(TListSource source);
    void LogListChanged();  // also brings the last line into view
    void BindQueueList(TListSource source);
    void QueueListChanged();

    void SetStatusText(const std::string& text);
    std::string StatusText() const;
    void EnableButtons(bool closeAllowed, bool hangUpAllowed);
    void SetProgress(int percent);  // clamped to 0..100
    int Progress() const;
    void SetFileLabel(const std::string& name);  // LabelBestand
    std::string FileLabel() const;

    // The modem lights in slot order (0 BRK, 1 CTS, 2 DCD, 3 DSR, 4 ERR, 5 TXD, 6 RXD), for the
    // light controller to drive.
    TCxStatusLight* Light(int k) const { return Lights[k]; }

    // Window state: geometry and view ticks.
    TViewTicks Ticks() const;
    void ApplyWindowState(const TWindowState& state);  // also lays the window out
    TWindowState CurrentWindowState() const;
    void LoadWindowState(const std::string& path, const TErrorReporter& errorBox);
    void SaveWindowState(const std::string& path, const TErrorReporter& errorBox) const;

    // Lays the window out for its current size and ticks.
    void FormResize();
    const TFormLayout& Layout() const { return layout_; }

    // Menu and button handlers; also callable by the program (the save dialog before a fatal
    // exit is OpslaanClick).
    void WissenClick();
    void OpslaanClick();
    void AfsluitenClick();
    void DialoogClick();
    void WachtrijClick();
    void ModemClick();
    void VoortgangClick();
    void KnoppenClick();
    void DisconnectClick();

    // Writes every log line and a line end, oldest first, replacing the file. False when the
    // file cannot be opened (nothing is written then).
    bool SaveLog(const std::string& path) const;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildMenus();
    void BuildPanels();
    void ApplyLayout();
    void DialogToggled();
    void QueueToggled();
    void LightsProgressToggled();
    void ButtonsToggled();
    void SetWindowHeight(int height);
    std::string DefaultAskSaveFileName();

    QMainWindow* window_;
    QWidget* central_ = nullptr;
    bool resizing_ = false;
    TFormLayout layout_;
    TListSource logSource_;

  public:
    // The controls, by their component names (parented to the window; Qt frees them).
    QMenu* Bestand = nullptr;
    QAction* Wissen = nullptr;
    QAction* Opslaan = nullptr;
    QAction* Afsluiten = nullptr;
    QMenu* Venster = nullptr;
    QAction* Dialoog = nullptr;
    QAction* Wachtrij = nullptr;
    QAction* Modem = nullptr;
    QAction* Voortgang = nullptr;
    QAction* Knoppen = nullptr;
    QFrame* PanelStatusBar = nullptr;
    QFrame* PanelButtons = nullptr;
    QFrame* pnlBut = nullptr;
    QPushButton* Disconnect = nullptr;
    QFrame* PanelListBoxModem = nullptr;
    QListView* ListBoxBBS = nullptr;
    QListView* ListBoxQue = nullptr;
    QFrame* PanelLightsProgress = nullptr;
    QFrame* PanelLights = nullptr;
    QFrame* PanelProgress = nullptr;
    QLabel* LabelVoortgang = nullptr;
    QProgressBar* ProgressBar = nullptr;
    QLabel* lblBestand = nullptr;
    QLabel* LabelBestand = nullptr;
    QStatusBar* StatusBar = nullptr;
    std::array<TCxStatusLight*, 7> Lights{};  // BRKLight ... RXDLight, 12 by 12, unlit
    TCxStatusLight* BRKLight = nullptr;
    TCxStatusLight* CTSLight = nullptr;
    TCxStatusLight* DCDLight = nullptr;
    TCxStatusLight* DSRLight = nullptr;
    TCxStatusLight* ERRLight = nullptr;
    TCxStatusLight* TXDLight = nullptr;
    TCxStatusLight* RXDLight = nullptr;
    std::array<QLabel*, 7> LightLabels{};  // LabelBRK ... LabelRXD

  private:
    TListMirrorModel* logModel_ = nullptr;
    TListMirrorModel* queueModel_ = nullptr;
    QLabel* statusText_ = nullptr;
};

// The light names in slot order: "BRK", "CTS", "DCD", "DSR", "ERR", "TXD", "RXD".
extern const std::array<const char*, 7> LightNames;

}  // namespace qx
