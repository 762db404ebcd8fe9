// The login and download dialogue with the board, driven by data triggers on its prompts and
// watched by one timer trigger.
//
// The dialogue has no state variable: which triggers are armed is its state. The login set is
// armed from the connection to the first main prompt, the receive set from then on, except
// between "%C; Ready" and the end of the transfer, when only the "rz" trigger and the watchdog
// are. Triggers are only touched while the line is connected.
#include <QTimer>

#include <cctype>
#include <exception>

#include "bbs_module.h"
#include "shell/command_interpreter.h"
#include "shell/main_window.h"
#include "support/get_param.h"
#include "support/utilities.h"

namespace qx {

namespace {

constexpr int kResultLoginRejected = 8;

// Watchdog deadlines, seconds.
constexpr int kWatchLogin = 20;
constexpr int kWatchDownload = 300;
constexpr int kWatchSender = 60;
constexpr int kWatchGoodbye = 5;  // the board's own hang-up after "B"

}  // namespace

void TBBSmodule::Send(const std::string& text) {
    try {
        if (ComPort.Open()) ComPort.PutString(text + '\r');
    } catch (const std::exception& e) {
        Log(e.what(), 1);  // the line dropped; the port-close event ends the call
    }
}

// --- Triggers --------------------------------------------------------------------------------

void TBBSmodule::ArmTrigger(uint16_t& handle, const std::string& pattern) {
    if (!Connected()) return;
    Log("Trying to set trig. on : " + pattern, 35);
    if (handle != 0) {
        Log("Trigger already set: " + std::to_string(handle) + " " + pattern, 35);
        return;
    }
    uint16_t h = 0;
    try {
        h = ComPort.AddDataTrigger(pattern.substr(0, 255), false);
    } catch (const std::exception& e) {
        Log(e.what(), 30);
        h = 0;
    }
    if (h == 0) {
        Log("BAD TRIGGER HANDLE: " + pattern, 30);
        return;
    }
    handle = h;
    Log("Trigger set: " + std::to_string(handle) + " " + pattern, 35);
}

void TBBSmodule::DisarmTrigger(uint16_t& handle) {
    if (!Connected()) return;
    if (handle != 0) {
        Log("Trigger removed " + std::to_string(handle), 35);
        try {
            ComPort.RemoveTrigger(handle);
        } catch (const std::exception& e) {
            Log(e.what(), 30);
        }
        handle = 0;
    } else {
        Log("Trigger already removed 0", 35);
    }
}

void TBBSmodule::SetWatchdog(int32_t seconds, bool on) {
    if (!Connected()) return;
    Log(std::string("Setting the comport trigger timer :") + (on ? "1" : "0"), 1);
    try {
        if (WatchdogTrigger != 0) {
            const uint16_t old = WatchdogTrigger;
            WatchdogTrigger = 0;
            ComPort.RemoveTrigger(old);
        }
        if (on) {
            const uint16_t h = ComPort.AddTimerTrigger();
            if (h == 0) return;
            WatchdogTrigger = h;
            ComPort.SetTimerTrigger(h, seconds * kTicksPerSecond, true);
        }
    } catch (const std::exception& e) {
        Log(e.what(), 30);
    }
}

void TBBSmodule::ArmLoginSet() {
    ArmTrigger(UserPromptTrigger, ": 1>");
    ArmTrigger(PasswordPromptTrigger, ": 2>");
    ArmTrigger(LoginErrorTrigger, "%E; You seem");
    ArmTrigger(LoginMainPromptTrigger, "? 3>");
    Log("Triggers set login ", 1);
}

void TBBSmodule::DisarmLoginSet() {
    DisarmTrigger(UserPromptTrigger);
    DisarmTrigger(PasswordPromptTrigger);
    DisarmTrigger(LoginErrorTrigger);
    DisarmTrigger(LoginMainPromptTrigger);
}

void TBBSmodule::ArmReceiveSet() {
    ArmTrigger(MainPromptTrigger, "? 3>");
    ArmTrigger(ProtocolPromptTrigger, "? 4>");
    ArmTrigger(FileNamePromptTrigger, "? 5>");
    ArmTrigger(UnableTrigger, "%E; Unable");
    ArmTrigger(ReadyTrigger, "%C; Ready");
    Log("Triggers set receive ", 1);
}

void TBBSmodule::DisarmReceiveSet() {
    DisarmTrigger(MainPromptTrigger);
    DisarmTrigger(ProtocolPromptTrigger);
    DisarmTrigger(FileNamePromptTrigger);
    DisarmTrigger(UnableTrigger);
    DisarmTrigger(ReadyTrigger);
}

void TBBSmodule::ConnectionStart() {
    SendVersion = true;
    // Triggers left over from a dropped connection come back with the port's reopen; they go
    // before anything is armed on this one.
    DisarmTrigger(ZmodemStartTrigger);
    DisarmLoginSet();
    DisarmReceiveSet();
    ArmLoginSet();
    SetWatchdog(kWatchLogin, true);
}

// --- Trigger events --------------------------------------------------------------------------

void TBBSmodule::ComPortTriggerData(unsigned handle) {
    if (Closing() || LineFinished) return;
    if (!Connected()) {
        Log("Trying to handle DataTrigger " + std::to_string(handle), 10);
        return;
    }
    Log("DataTrigger " + std::to_string(handle), 10);
    if (handle == 0) {
        Log("Trigger handle NULL", 1);
        return;
    }
    if (handle == UserPromptTrigger) {
        LoginPromptCnt += 1;
        AwaitUserPrompt = false;
        Send(UserName);
    } else if (handle == PasswordPromptTrigger) {
        Send(Password);
    } else if (handle == LoginErrorTrigger) {
        Log(ResultText(kResultLoginRejected), 0);
        if (LoginPromptCnt >= 5) PostToWindow(MsgHangUp);
        LoginPromptCnt += 1;
    } else if (handle == LoginMainPromptTrigger) {
        MainPrompt(true);
    } else if (handle == MainPromptTrigger) {
        MainPrompt(false);
    } else if (handle == ProtocolPromptTrigger) {
        Send("Zmodem");
    } else if (handle == FileNamePromptTrigger) {
        Send(RequestName);
    } else if (handle == UnableTrigger) {
        MissHandling();
    } else if (handle == ReadyTrigger) {
        DisarmReceiveSet();
        ArmTrigger(ZmodemStartTrigger, "rz\r");
    } else if (handle == ZmodemStartTrigger) {
        StartZmodem();
    } else {
        Log("DataTrigger " + std::to_string(handle) + "...", 20);
    }
}

void TBBSmodule::MainPrompt(bool afterLogin) {
    Log("Connected resetting/setting triggers", 30);
    if (afterLogin) {
        DisarmLoginSet();
        LoginRetryCnt = 0;
    }
    ArmReceiveSet();
    Log("Connected resetting/setting triggers...", 30);
    if (frmVudaDUD != nullptr) frmVudaDUD->AbortCheck();
    if (SendVersion) {
        SendVersion = false;
        Send("I " + VersionText);
        return;
    }
    if (!FindRequest()) {
        Goodbye();
        return;
    }
    QueueEntry(RequestIndex, servingEntry_);
    servingName_ = RequestName;
    SetWatchdog(kWatchDownload, true);
    Send("Download");
}

// Finds the first BBS GET or BBS LAST entry of the queue and sets RequestIndex and
// RequestName; other entries (commands that arrived during the call) stay for later.
bool TBBSmodule::FindRequest() {
    RequestIndex = 0;
    RequestName.clear();
    std::string entry;
    while (RequestName.empty() && QueueEntry(RequestIndex, entry)) {
        if (UpperCase(GetParam(entry, 1)) == "BBS") {
            const std::string what = UpperCase(GetParam(entry, 2));
            if (what == "GET") {
                RequestName = GetParam(entry, 3);
            } else if (what == "LAST") {
                RequestName = GetParam(entry, 3);
                if (LastTriesLeft < 1 && !RequestName.empty()) {
                    int hours = 0, minutes = 0, tries = 0;
                    if (!ParseCount(GetParam(entry, 4), hours) ||
                        !ParseCount(GetParam(entry, 5), minutes) ||
                        !ParseCount(GetParam(entry, 6), tries) || hours >= 24 || minutes >= 60) {
                        // No name can be built from it: answered and dropped, as the command
                        // itself is when it arrives with such numbers.
                        Log("Invalid command: " + entry, 0);
                        QueueDelete(RequestIndex);
                        RequestName.clear();
                        continue;
                    }
                    LastTriesLeft = tries;
                    LastInterval = TimeInterval(hours, minutes);
                    LastTime = LastReferenceTime(NowLocal(), hours, minutes);
                }
                if (!RequestName.empty()) RequestName = ExpandRequestName(RequestName, LastTime);
            }
        }
        if (RequestName.empty()) RequestIndex += 1;
    }
    return !RequestName.empty();
}

void TBBSmodule::Goodbye() {
    DisarmReceiveSet();
    DisarmLoginSet();
    SetWatchdog(0, false);
    try {
        if (ComPort.Open()) ComPort.RemoveAllTriggers();
    } catch (const std::exception& e) {
        Log(e.what(), 30);
    }
    if (Connected()) {
        ModemFlush();
        Send("B");
        WaitSeconds(1);
        // A board that stays on the line after its goodbye would hold the call for ever. Timed
        // rather than waited for here, so that this port event ends and the port goes on
        // reading (the board's hang-up may be only a "NO CARRIER" in the data).
        const int call = connectionSerial_;
        QTimer::singleShot(kWatchGoodbye * 1000, this, [this, call] {
            if (call != connectionSerial_ || !Connected() || Closing()) return;
            Log("The board stays on the line after the goodbye", 5);
            PostToWindow(MsgHangUp);
        });
    }
}

void TBBSmodule::MissHandling() {
    servingEntry_.clear();  // the board answered: no failed transfer
    std::string entry;
    QueueEntry(RequestIndex, entry);
    if (UpperCase(GetParam(entry, 2)) == "LAST") {
        LastTriesLeft -= 1;
        LastTime = LastTime - LastInterval;
    } else {
        LastTriesLeft = 0;
    }
    if (LastTriesLeft < 1) {
        Log("File not present: " + RequestName, 0);
        QueueDelete(RequestIndex);
    }
}

void TBBSmodule::StartZmodem() {
    // Set first: from here on the received bytes belong to the receiver, not to the echo.
    Receiving = true;
    DisarmTrigger(ZmodemStartTrigger);
    SetWatchdog(kWatchSender, true);
    Log("Zmodem", 5);
    try {
        Protocol.SetAbortNoCarrier(false);
        Protocol.SetZmodemFileOption(zfoWriteDifferent);
        Protocol.SetZmodemOptionOverride(true);
        Protocol.SetZmodemRecover(false);
        Protocol.SetDestinationDirectory(TempDir);
        Protocol.StartReceive();
    } catch (const std::exception& e) {
        Receiving = false;
        Log("Protocol error: " + std::string(e.what()), 0);
        PostToWindow(MsgHangUp);
    }
}

void TBBSmodule::ComPortTriggerTimer(unsigned handle) {
    if (Closing()) return;
    if (handle == 0) {
        Log("TimerTrigger 0", 10);
        Log("Trigger handle NULL", 1);
        Log("TimerTrigger 0...", 20);
        return;
    }
    if (handle != WatchdogTrigger) return;
    const std::string h = std::to_string(handle);
    if (AwaitUserPrompt) {
        Log("TimerTrigger " + h + " usercode", 10);
        AwaitUserPrompt = false;
        Send("");
        SetWatchdog(kWatchLogin, true);
        Log("TimerTrigger " + h + " usercode...", 20);
    } else {
        Log("TimerTrigger " + h, 10);
        Log("No response ... ", 0);
        SetWatchdog(0, false);
        PostToWindow(MsgHangUp);
        Log("TimerTrigger " + h + "...", 20);
    }
}

void TBBSmodule::ComPortTriggerAvail(unsigned count) {
    if (Closing() || Receiving) return;
    try {
        for (unsigned i = 0; i < count; ++i) EchoChar(static_cast<char>(ComPort.GetChar()));
    } catch (const std::exception& e) {
        Log(e.what(), 1);
    }
}

}  // namespace qx
