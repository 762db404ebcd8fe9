// The main window TfrmVudaDUD: owner of everything long-lived, start-up and shutdown, and the
// program's single logging operation.
//
// This class holds the program's state; the visible controls (lists, status bar, menus,
// progress area) are bound to it through the virtual view operations below and the change
// notices of LogLines and QueueLines, so that the whole start-up, Log and shutdown run and can
// be tested without a display. Main thread only. Log pumps the event loop, so every handler
// checks Closing (and its own re-entry flag) on entry.
#pragma once

#include <QMainWindow>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "bbs/bbs_module.h"
#include "mailbox.h"
#include "only_me.h"
#include "processing/zip/zx_unzipper.h"
#include "support/string_list.h"
#include "ui/tray_icon.h"

namespace qx {

class TCommandInterpreter;
class TMainForm;
class TZodevurezDbModule;

// Private messages posted to the main window by the BBS module.
enum : int {
    MsgEndOfCall = 1026,  // WM_USER+2: end of call, runs CommandBBSStop
    MsgHangUp = 1027,     // WM_USER+3: cancel the current call
};

class TfrmVudaDUD : public QMainWindow {
  public:
    static constexpr int kMaxLogLines = 500;
    static constexpr int kEchoMax = 200;
    static constexpr const char* kGuardName = "Quorvex";
    static constexpr const char* kCommandMailbox = "Mailbox-PresToComm";
    static constexpr const char* kReplyMailbox = "Mailbox-CommToPres";

    // Construction: creates the BBS module, the tray icon (withTray: by default when the desktop
    // has a notification area) and the system information, installs Log as the program's log
    // sink and the SIGTERM/SIGINT/SIGHUP handlers.
    // withControls builds the window's controls (tests of the core can leave them out).
    explicit TfrmVudaDUD(bool withTray = TTrayIcon::TrayAvailable(), bool withControls = true);
    ~TfrmVudaDUD() override;

    // The creation event. False when the program must end at once without taking part in
    // anything (another instance runs). Raises ESharedMemError or EAbort when a section or a
    // mutex cannot be created; the program then ends without taking commands.
    bool FormCreate();

    // The logging operation (see the log levels in support/log.h).
    void Log(const std::string& text, int level);
    // Feeds one character received from the board into the echo line.
    void EchoChar(char c);

    // Reads the debug file into DebugLevel; false when there is no such file.
    bool ReadDebugFile();
    // The executable's name up to and including its first "." (one is added when it has
    // none), followed by ext: "quorvex" + "dbg" -> "quorvex.dbg".
    std::string FileNameAfterExe(const std::string& ext) const;

    // Posts a private message (MsgEndOfCall, MsgHangUp); it runs later on the main loop.
    void PostMsg(int msg);
    // Runs a private message's handler; false for a number this window does not handle.
    bool DispatchMsg(int msg);

    // The window's close: runs FormCloseQuery and, when accepted, FormClose and the end of the
    // event loop. AfsluitenClick is the menu command Close. A close accepted while the
    // end-of-call step runs lets that step finish the product in hand and send its final
    // replies; the step then runs FormClose.
    void Close();
    void AfsluitenClick();
    bool FormCloseQuery();
    void FormClose();

    // The command timer's handler and the operations of the command language.
    void Command();
    bool AbortCheck();
    virtual void CommandBBSStop();
    // The hang-up message: cancels the BBS module's call.
    virtual void CancelCurrentCall();

    // View operations, bound to the controls by the window layer; the defaults keep the state
    // below so that a program without controls behaves the same.
    virtual void InitView();  // default geometry and view ticks, window-state file, layout
    virtual void SaveView();  // the window-state file at shutdown
    virtual void EnableButtons(bool closeAllowed, bool hangUpAllowed);
    virtual void ShowStatusText(const std::string& text);
    virtual void SetProgress(int percent);
    virtual void SetFileLabel(const std::string& name);
    virtual void OpslaanClick();  // the save-log dialog (offered before a fatal exit)
    // The hang-up button (the BBS module aborts the queue, the transfer and the call).
    void DisconnectClick();

    // --- State ---
    std::unique_ptr<TTrayIcon> TrayIcon;
    std::unique_ptr<TOnlyMe> OnlyMe;
    TStringList Outbox;      // messages waiting for the presentation program
    TStringList LogLines;    // ListBoxBBS items: "MM:SS text", at most 500
    TStringList QueueLines;  // ListBoxQue items: the command queue
    TStringList ReceivedFiles;
    bool CloseRequested = false;
    bool Closing = false;
    bool StopInProgress = false;
    bool CloseAfterStop = false;  // a close accepted during the end-of-call step runs after it
    int32_t DebugLevel = 0;
    int32_t DebugFromCommandLine = -1;  // quorvex --debug N: overrides the debug file
    bool LineTrace = false;             // quorvex --line-trace: the port's trace files
    std::string TapiDeviceName;
    std::string DestDir;
    char EchoLine[kEchoMax] = {};
    int EchoCount = 0;
    bool EchoBusy = false;
    std::unique_ptr<TMailbox> ToPresentation;
    std::unique_ptr<TMailbox> FromPresentation;
    std::unique_ptr<TBBSmodule> BBSmodule;
    std::unique_ptr<TZodevurezDbModule> DbModule;  // created by BBS OPEN
    TZxUnZipper ZxUnZipper;
    TMainForm* Form = nullptr;  // the window's controls (a Qt child of this window); null in
                                // tests that run the program without them
    QTimer Timer;               // the command timer, 1000 ms, on at the end of start-up

    // View state kept by the default view operations.
    std::string StatusText;
    int Progress = 0;
    std::string FileLabel;
    bool CloseEnabled = true;
    bool HangUpEnabled = false;

    // Set before FormCreate to change the defaults (tests use a fast heartbeat and their own
    // executable name).
    std::string ExeName;  // default: the running executable's file name
    int HeartbeatMs = TMailbox::kHeartbeatMs;

    // Called when the shutdown has run (the event loop is then asked to end).
    std::function<void()> OnClosed;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void StartSignalWatch();
    void ShowFromTray();

    std::unique_ptr<TCommandInterpreter> interpreter_;
    std::unique_ptr<QSocketNotifier> signalNotifier_;
    bool closeHandlerDetached_ = false;
    bool closeQueryBusy_ = false;
};

// The program's main window (null before it is created and after it is gone).
extern TfrmVudaDUD* frmVudaDUD;

}  // namespace qx
