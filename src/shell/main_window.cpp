#include "main_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QMetaObject>

#include <climits>
#include <cstdio>
#include <fstream>

#include "command_interpreter.h"
#include "platform/clock.h"
#include "platform/display.h"
#include "platform/event_loop.h"
#include "platform/files.h"
#include "platform/process_signals.h"
#include "processing/pending_archives.h"
#include "support/error_box.h"
#include "support/log.h"
#include "support/sys_info.h"
#include "support/utilities.h"
#include "ui/main_form.h"
#include "weatherdb/zodevurez_db_module.h"

namespace qx {

TfrmVudaDUD* frmVudaDUD = nullptr;

namespace {

constexpr size_t kDebugLineLimit = 80;

// Reads one line keeping at most limit characters (the rest of a long line is skipped, so a
// garbage file cannot make us hold it all). False at the end of the file.
bool ReadLimitedLine(std::istream& in, std::string& line, size_t limit) {
    line.clear();
    int c = in.get();
    if (c == EOF) return false;
    while (c != EOF && c != '\n') {
        if (line.size() < limit) line += static_cast<char>(c);
        c = in.get();
    }
    return true;
}

}  // namespace

TfrmVudaDUD::TfrmVudaDUD(bool withTray, bool withControls) {
    frmVudaDUD = this;
    if (withControls) {
        Form = new TMainForm(this);  // sets the caption "Quorvex" among the controls
        Form->BindLogList(ListSourceOf(LogLines));
        Form->BindQueueList(ListSourceOf(QueueLines));
        LogLines.OnChange = [this](TListChange, int) { Form->LogListChanged(); };
        QueueLines.OnChange = [this](TListChange, int) { Form->QueueListChanged(); };
        Form->OnAfsluitenClick = [this] { AfsluitenClick(); };
        Form->OnDisconnectClick = [this] { DisconnectClick(); };
        // Without a display nobody could answer the save dialog: the log is not saved then.
        if (!DisplayConfigured()) Form->AskSaveFileName = [] { return std::string(); };
    }
    setWindowTitle(QStringLiteral("Quorvex"));
    ExeName = QFileInfo(QCoreApplication::applicationFilePath()).fileName().toStdString();
    if (ExeName.empty()) ExeName = "quorvex";
    interpreter_ = std::make_unique<TCommandInterpreter>(*this);
    SetLogSink([this](const std::string& text, int level) { Log(text, level); });
    BBSmodule = std::make_unique<TBBSmodule>();
    if (Form) {
        BBSmodule->BindLights(Form->BRKLight, Form->CTSLight, Form->DCDLight, Form->DSRLight,
                              Form->ERRLight, Form->TXDLight, Form->RXDLight);
    }
    if (withTray) TrayIcon = std::make_unique<TTrayIcon>(this);
    if (TrayIcon) {
        TrayIcon->OnOpen = [this] { ShowFromTray(); };
        TrayIcon->OnHide = [this] { Close(); };  // the close of the visible window: to the tray
        TrayIcon->OnHangUp = [this] { DisconnectClick(); };
        TrayIcon->OnQuit = [this] { AfsluitenClick(); };
        TrayIcon->HangUpAllowed = [this] { return HangUpEnabled; };
    }
    CreateSysInfo();
    EchoCount = 0;
    EchoBusy = false;
    Timer.setInterval(1000);
    QObject::connect(&Timer, &QTimer::timeout, [this] { Command(); });
    InstallTerminationSignals();
}

TfrmVudaDUD::~TfrmVudaDUD() {
    Timer.stop();
    signalNotifier_.reset();
    // Both heartbeats are asked to stop before either is waited for.
    if (FromPresentation) FromPresentation->Terminate();
    if (ToPresentation) ToPresentation->Terminate();
    FromPresentation.reset();
    ToPresentation.reset();
    BBSmodule.reset();
    TrayIcon.reset();
    OnlyMe.reset();
    SetLogSink(nullptr);
    if (frmVudaDUD == this) frmVudaDUD = nullptr;
}

bool TfrmVudaDUD::FormCreate() {
    OnlyMe = std::make_unique<TOnlyMe>(kGuardName);
    if (OnlyMe->AlreadyRunning) return false;  // nothing else: the other instance serves
    InitView();
    CloseRequested = Closing = StopInProgress = false;
    TapiDeviceName.clear();
    DestDir.clear();
    EnableButtons(true, false);
    Outbox.Clear();
    FromPresentation =
        std::make_unique<TMailbox>(kCommandMailbox, 1000, &QueueLines, "Read", HeartbeatMs);
    ToPresentation = std::make_unique<TMailbox>(kReplyMailbox, 100, &Outbox, "Write", HeartbeatMs);
    ReceivedFiles.Clear();
    if (TrayIcon) {
        TrayIcon->ShowIcon(" ");
        hide();
    } else {
        show();
    }
    if (LineTrace && BBSmodule) {
        // Large enough for a whole call, from the modem's greeting to the hang-up.
        BBSmodule->ComPort.Tracing = tlOn;
        BBSmodule->ComPort.Logging = tlOn;
        BBSmodule->ComPort.SetTraceSize(4000000);
        BBSmodule->ComPort.SetLogSize(1000000);
    }
    DebugLevel = 0;
    if (ReadDebugFile()) Log("Debug: " + std::to_string(DebugLevel), 1);
    if (DebugFromCommandLine >= 0) {
        DebugLevel = DebugFromCommandLine;
        Log("Debug: " + std::to_string(DebugLevel), 1);
    }
    Log("Communication program started (Modem) ", 0);
    Timer.start();
    StartSignalWatch();
    return true;
}

void TfrmVudaDUD::StartSignalWatch() {
    const int fd = InstallTerminationSignals();
    if (fd < 0) return;
    signalNotifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(signalNotifier_.get(), &QSocketNotifier::activated, [this, fd] {
        const int sig = TakeTerminationSignal(fd);
        if (sig == 0 || Closing || closeHandlerDetached_) return;
        Log("Signal " + std::to_string(sig) + " received", 30);
        AfsluitenClick();
    });
}

void TfrmVudaDUD::ShowFromTray() {
    if (TrayIcon == nullptr || !TrayIcon->Shown) return;
    TrayIcon->HideIcon();
    show();
}

void TfrmVudaDUD::Log(const std::string& text, int level) {
    if (!IsMainThread()) {
        // Logging belongs to the main thread; a stray call from a worker is handed over.
        PostToMain([text, level] {
            if (frmVudaDUD != nullptr) frmVudaDUD->Log(text, level);
        });
        return;
    }
    if (text.empty()) return;
    if (DebugLevel >= level) {
        const LocalClockReading now = ReadLocalClock();
        char prefix[8];
        std::snprintf(prefix, sizeof prefix, "%02d:%02d ", now.Minute, now.Second);
        const std::string shown = EscapeControls(MaskSecrets(text));
        LogLines.Add(prefix + shown);
        while (LogLines.Count() > kMaxLogLines) LogLines.Delete(0);
        if (level >= 0) ShowStatusText(shown);
        WriteLogLine(text, level);
    }
    // Replies go to the presentation program as they are: they are the protocol, and the
    // password they could mask is the presentation program's own.
    if (level == 0) {
        if (ToPresentation) ToPresentation->Post(text);
        if (TrayIcon) TrayIcon->SetTip(text);
    }
    ProcessPendingMessages();
}

void TfrmVudaDUD::EchoChar(char c) {
    if (EchoBusy) return;
    EchoBusy = true;
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '\r') {
        const std::string line(EchoLine, static_cast<size_t>(EchoCount));
        EchoCount = 0;
        std::fill(std::begin(EchoLine), std::end(EchoLine), '\0');
        Log(line, -1);
    } else if (u >= 0x80 || c == '\n') {
        // dropped
    } else if (EchoCount < kEchoMax) {
        EchoLine[EchoCount++] = c == '\t' ? ' ' : c;
    }
    EchoBusy = false;
}

std::string TfrmVudaDUD::FileNameAfterExe(const std::string& ext) const {
    const size_t dot = ExeName.find('.');
    if (dot == std::string::npos) return ExeName + "." + ext;
    return ExeName.substr(0, dot + 1) + ext;
}

bool TfrmVudaDUD::ReadDebugFile() {
    std::ifstream in(FileNameAfterExe("dbg"), std::ios::binary);
    if (!in) return false;
    std::string line;
    while (ReadLimitedLine(in, line, kDebugLineLimit)) {
        line = UpperCase(line);
        if (line.find("DEBUG=") == std::string::npos) continue;
        int64_t level = 0;
        for (size_t i = line.find('=') + 1; i < line.size() && line[i] >= '0' && line[i] <= '9';
             ++i) {
            level = level * 10 + (line[i] - '0');
            if (level > INT32_MAX) level = INT32_MAX;
        }
        DebugLevel = static_cast<int32_t>(level);
    }
    return true;
}

void TfrmVudaDUD::PostMsg(int msg) {
    QMetaObject::invokeMethod(
        this, [this, msg] { DispatchMsg(msg); }, Qt::QueuedConnection);
}

bool TfrmVudaDUD::DispatchMsg(int msg) {
    switch (msg) {
        case MsgEndOfCall:
            CommandBBSStop();
            return true;
        case MsgHangUp:
            CancelCurrentCall();
            return true;
        default:
            return false;
    }
}

void TfrmVudaDUD::Command() {
    interpreter_->Command();
}

bool TfrmVudaDUD::AbortCheck() {
    return interpreter_->AbortCheck();
}

void TfrmVudaDUD::CommandBBSStop() {
    interpreter_->CommandBBSStop();
}

void TfrmVudaDUD::CancelCurrentCall() {
    if (BBSmodule) BBSmodule->CancelCall();
}

void TfrmVudaDUD::AfsluitenClick() {
    CloseRequested = true;
    Close();
}

void TfrmVudaDUD::Close() {
    if (closeHandlerDetached_ || closeQueryBusy_) return;
    closeQueryBusy_ = true;
    const bool accepted = FormCloseQuery();
    closeQueryBusy_ = false;
    if (!accepted || closeHandlerDetached_) return;
    // The processing below us on the stack still uses the database module and the mailboxes.
    if (StopInProgress) {
        CloseAfterStop = true;
        return;
    }
    FormClose();
}

void TfrmVudaDUD::closeEvent(QCloseEvent* event) {
    if (closeHandlerDetached_) {
        event->accept();
        return;
    }
    event->ignore();
    Close();
}

bool TfrmVudaDUD::FormCloseQuery() {
    Log("FormCloseQuery:", 20);
    if (CloseRequested || TrayIcon == nullptr || TrayIcon->Shown) {
        Closing = true;
        Timer.stop();
        if (BBSmodule) {
            BBSmodule->DialTimer.stop();
            BBSmodule->StopRedial();
            Log("Tapi->CancelCall", 30);
            BBSmodule->CancelCall();
            for (int i = 0; i < 6 && !BBSmodule->Idle(); ++i) {
            }
        }
        return true;
    }
    // The user closed the visible window: back to the background.
    TrayIcon->ShowIcon(TrayIcon->Tip);
    hide();
    return false;
}

void TfrmVudaDUD::FormClose() {
    Log("FormClose:", 20);
    closeHandlerDetached_ = true;
    Log("Communication program stopped", 0);
    // Files received but not processed stay in the temporary directory, listed for the
    // processing at the end of the next call.
    while (!ReceivedFiles.Empty()) {
        const std::string name = ReceivedFiles[0];
        if (BBSmodule && !BBSmodule->TempDir.empty()) {
            AddPendingArchive(BBSmodule->TempDir, BareName(name));
        }
        Log("Non processed file: " + name, 0);
        ReceivedFiles.Delete(0);
    }
    Log("FromPresentation->Close", 30);
    if (FromPresentation) FromPresentation->Close();
    Log("ToPresentation->Close", 30);
    if (ToPresentation) ToPresentation->Close();
    // The module's destroy event runs now; the object itself goes with the window, as code of
    // the module may still be on the stack below this shutdown.
    if (BBSmodule) BBSmodule->BBSmoduleDestroy();
    WaitSeconds(1);
    Log("FromPresentation->Terminate", 30);
    if (FromPresentation) FromPresentation->Terminate();
    Log("ToPresentation->Terminate", 30);
    if (ToPresentation) ToPresentation->Terminate();
    WaitSeconds(1);
    Log("All threats terminated", 30);
    SaveView();
    Log("Onlyme", 30);
    OnlyMe.reset();
    DbModule.reset();
    FreeSysInfo();
    if (TrayIcon) {
        TrayIcon->HideIcon();
        TrayIcon.reset();
    }
    signalNotifier_.reset();
    if (OnClosed) OnClosed();
    QCoreApplication::quit();
}

void TfrmVudaDUD::InitView() {
    setGeometry(100, 100, 600, 400);
    if (Form) Form->LoadWindowState(FileNameAfterExe("ini"), ErrorBox);
}

void TfrmVudaDUD::SaveView() {
    if (Form) Form->SaveWindowState(FileNameAfterExe("ini"), ErrorBox);
}

void TfrmVudaDUD::EnableButtons(bool closeAllowed, bool hangUpAllowed) {
    CloseEnabled = closeAllowed;
    HangUpEnabled = hangUpAllowed;
    if (Form) Form->EnableButtons(closeAllowed, hangUpAllowed);
}

void TfrmVudaDUD::ShowStatusText(const std::string& text) {
    StatusText = text;
    if (Form) Form->SetStatusText(text);
}

void TfrmVudaDUD::SetProgress(int percent) {
    Progress = percent;
    if (Form) Form->SetProgress(percent);
}

void TfrmVudaDUD::SetFileLabel(const std::string& name) {
    FileLabel = name;
    if (Form) Form->SetFileLabel(name);
}

void TfrmVudaDUD::DisconnectClick() {
    if (BBSmodule) BBSmodule->DisconnectClick();
}

void TfrmVudaDUD::OpslaanClick() {
    if (Form) Form->OpslaanClick();
}

}  // namespace qx
