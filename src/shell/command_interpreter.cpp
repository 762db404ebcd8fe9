#include "command_interpreter.h"

#include <algorithm>
#include <cctype>
#include <exception>

#include "main_window.h"
#include "platform/files.h"
#include "platform/modem_line_provider.h"
#include "processing/bbs_process_files.h"
#include "processing/delrel.h"
#include "support/get_param.h"
#include "support/log.h"
#include "support/utilities.h"
#include "weatherdb/zodevurez_db_module.h"

namespace qx {

namespace {

// Sets a flag for the lifetime of the scope.
class FlagScope {
  public:
    explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~FlagScope() { flag_ = false; }
    FlagScope(const FlagScope&) = delete;
    FlagScope& operator=(const FlagScope&) = delete;

  private:
    bool& flag_;
};

}  // namespace

TDateTime LastReferenceTime(TDateTime now, int hours, int minutes) {
    const DateTimeParts p = DecodeDateTime(now);
    const int h = hours != 0 ? p.Hour % hours : 0;
    const int m = minutes != 0 ? p.Minute % minutes : p.Minute;
    return now - TimeInterval(h, m, p.Second, p.Millisecond);
}

void TCommandInterpreter::Reply(const std::string& text) {
    form_.Log(text, 0);
}

void TCommandInterpreter::Command() {
    if (form_.CloseRequested || form_.Closing || busy_) return;
    TMailbox* queue = form_.FromPresentation.get();
    if (queue == nullptr) return;
    FlagScope busy(busy_);
    std::string entry;
    if (queue->Get(0, entry)) AbortCheck();
    if (!queue->Get(0, entry)) return;
    form_.Log("Command: " + entry, 5);
    const std::string keyword = UpperCase(GetParam(entry, 1));
    if (keyword == "BBS") {
        CommandBBS(*queue, entry);
    } else if (keyword == "MINI" || keyword == "MEET") {
        Reply("Command not implemented: " + entry);
        queue->Delete(0);
    } else if (keyword == "ABORT") {
        queue->Delete(0);
    } else if (keyword == "EXIT") {
        queue->Delete(0);
        form_.Log("Command: " + entry + "...", 20);
        form_.AfsluitenClick();
        return;
    } else {
        Reply("Unknown command received from Skelvane: " + entry);
        queue->Delete(0);
    }
    form_.Log("Command: " + entry + "...", 20);
}

void TCommandInterpreter::CommandBBS(TMailbox& queue, const std::string& entry) {
    const std::string sub = UpperCase(GetParam(entry, 2));
    if (sub == "SET") {
        CommandBBSSet(queue, entry);
    } else if (sub == "GET") {
        CommandBBSGet(queue, entry);
    } else if (sub == "LAST") {
        CommandBBSLast(queue, entry);
    } else if (sub == "OPEN") {
        CommandBBSOpen(entry);
        queue.Delete(0);
    } else {
        Reply("Command not implemented: " + entry);
        queue.Delete(0);
    }
}

void TCommandInterpreter::CommandBBSSet(TMailbox& queue, const std::string& entry) {
    form_.Timer.stop();
    TBBSmodule& bbs = *form_.BBSmodule;
    const std::string what = UpperCase(GetParam(entry, 3));
    const std::string value = GetParam(entry, 4);
    if (what == "TAPI") {
        queue.Delete(0);
        if (!CommandBBSSetTapi(value)) return;  // unknown device: the program is closing
        form_.Timer.start();
        form_.EnableButtons(true, false);
        return;
    }
    if (what == "INITSTRING") {
        // accepted, no effect
    } else if (what == "PHONE") {
        bbs.PhoneNumber = value;
        bbs.UserName = GetParam(entry, 5);
        bbs.Password = GetParam(entry, 6);
        SetLogSecret(bbs.Password);
        form_.Log("Phone : " + bbs.PhoneNumber, 30);
    } else if (what == "TEMPDIR") {
        bbs.TempDir = value;
        if (!DirectoryWritable(value)) Reply(TempDirProblem(value));
    } else if (what == "SOURCEDIR") {
        bbs.SourceDir = value;
    } else if (what == "DESTDIR") {
        form_.DestDir = value;
        // Archives must never be copied onto themselves.
        if (UpperCase(form_.DestDir) == UpperCase(bbs.TempDir)) form_.DestDir.clear();
    } else {
        Reply("Command not implemented: " + entry);
    }
    queue.Delete(0);
    form_.Timer.start();
}

bool TCommandInterpreter::CommandBBSSetTapi(const std::string& name) {
    TBBSmodule& bbs = *form_.BBSmodule;
    std::string trace;
    if (name == form_.TapiDeviceName) {
        trace = "TapiPort already Selected: " + name;
    } else {
        const std::vector<std::string> devices = bbs.TapiDevices();
        if (std::find(devices.begin(), devices.end(), name) == devices.end() &&
            !IsNetworkLineName(name)) {
            Reply("Modem unknown: " + name);
            form_.OpslaanClick();
            form_.AfsluitenClick();
            return false;
        }
        bbs.SelectTapiDevice(name);
        form_.TapiDeviceName = name;
        trace = "TapiPort Selected: " + name;
    }
    form_.Log(trace + "...", 20);
    return true;
}

bool TCommandInterpreter::StartCall(TMailbox& queue, const std::string& entry,
                                    const std::string& trace) {
    TBBSmodule& bbs = *form_.BBSmodule;
    // Without a configured directory there is nowhere to receive, and the old-archive sweep
    // must not run anywhere else.
    if (bbs.TempDir.empty()) {
        Reply("No temporary directory set: " + entry);
        queue.Delete(0);
        return false;
    }
    // A call that cannot receive, or whose products could not be recorded, is not placed.
    std::string problem;
    if (!DirectoryWritable(bbs.TempDir)) {
        problem = TempDirProblem(bbs.TempDir);
    } else if (form_.DbModule == nullptr) {
        problem = "No database opened (BBS OPEN)";
    }
    if (!problem.empty()) {
        Reply(problem + ": " + entry);
        queue.Delete(0);
        return false;
    }
    form_.Log(trace + entry, 5);
    form_.Timer.stop();
    form_.EnableButtons(false, true);
    Delrel(bbs.TempDir, "*.zip", 24);
    return true;
}

void TCommandInterpreter::CommandBBSGet(TMailbox& queue, const std::string& entry) {
    if (!form_.Timer.isActive()) return;
    // Without a name the call would find nothing to ask for and the entry would stay first in
    // the queue, dialling again at every tick.
    if (GetParam(entry, 3).empty()) {
        Reply("Invalid command: " + entry);
        queue.Delete(0);
        return;
    }
    if (!StartCall(queue, entry, "CommandBBSGet: ")) return;
    TBBSmodule& bbs = *form_.BBSmodule;
    bbs.UserAbort = false;
    bbs.DialRetryCnt = 0;
    bbs.DialTimer.setInterval(1000);
    bbs.DialTimer.start();
    form_.Log("CommandBBSGet: " + entry + "...", 20);
}

void TCommandInterpreter::CommandBBSLast(TMailbox& queue, const std::string& entry) {
    if (!form_.Timer.isActive()) return;
    int hours = 0, minutes = 0, tries = 0;
    if (GetParam(entry, 3).empty() || !ParseCount(GetParam(entry, 4), hours) ||
        !ParseCount(GetParam(entry, 5), minutes) || !ParseCount(GetParam(entry, 6), tries) ||
        hours >= 24 || minutes >= 60) {
        Reply("Invalid command: " + entry);
        queue.Delete(0);
        return;
    }
    if (!StartCall(queue, entry, "CommandBBSLast: ")) return;
    TBBSmodule& bbs = *form_.BBSmodule;
    bbs.RequestName = GetParam(entry, 3);
    bbs.LastInterval = TimeInterval(hours, minutes);
    bbs.LastTime = LastReferenceTime(NowLocal(), hours, minutes);
    bbs.LastTriesLeft = tries;
    bbs.UserAbort = false;
    bbs.DialRetryCnt = 0;
    bbs.DialTimer.setInterval(1000);
    bbs.DialTimer.start();
    form_.Log("CommandBBSLast: " + entry + "...", 20);
}

void TCommandInterpreter::CommandBBSOpen(const std::string& entry) {
    form_.DbModule.reset();
    // Tables are created on first use: a missing path must never put them in the working
    // directory, and a directory we cannot write would fail every product.
    const std::string dataPath = GetParam(entry, 5);
    if (!DirectoryWritable(dataPath)) {
        Reply((dataPath.empty() ? std::string("No data directory given")
                                : (DirectoryExists(dataPath) ? "Data directory not writable: "
                                                             : "Data directory not found: ") +
                                      dataPath) +
              " (" + entry + ")");
        return;
    }
    try {
        form_.DbModule =
            std::make_unique<TZodevurezDbModule>(GetParam(entry, 4), GetParam(entry, 5));
        form_.DbModule->Disconnect();
    } catch (const std::exception& e) {
        form_.DbModule.reset();
        Reply(e.what());
    }
}

bool TCommandInterpreter::AbortCheck() {
    form_.Log("AbortCheck:", 40);
    TMailbox* queue = form_.FromPresentation.get();
    bool abort = false, exit = false;
    std::string entry;
    for (int i = 0; queue != nullptr && queue->Get(i, entry); ++i) {
        const std::string keyword = UpperCase(GetParam(entry, 1));
        abort = abort || keyword == "ABORT";
        exit = exit || keyword == "EXIT";
    }
    if (abort) {
        queue->Clear();
        if (exit) queue->Post("Exit");
    }
    form_.Log("AbortCheck: ...", 40);
    return abort;
}

void TCommandInterpreter::CommandBBSStop() {
    if (form_.StopInProgress || form_.Closing) return;
    {
        FlagScope stop(form_.StopInProgress);
        RunEndOfCall();
    }
    // A close that came while the processing ran is carried out now that nothing uses the
    // database module any more.
    if (form_.CloseAfterStop) {
        form_.CloseAfterStop = false;
        form_.FormClose();
    }
}

void TCommandInterpreter::RunEndOfCall() {
    form_.Log("CommandBBSStop", 5);
    form_.SetProgress(0);
    form_.SetFileLabel("");
    Reply("Data collection completed " + TimeText(NowLocal()));

    TProcessingInputs inputs;
    inputs.ReceivedFiles = &form_.ReceivedFiles;
    inputs.TempDir = form_.BBSmodule->TempDir;
    inputs.DestDir = form_.DestDir;
    inputs.ZxUnZipper = &form_.ZxUnZipper;
    inputs.DbModule = form_.DbModule.get();
    inputs.Stop = &form_.Closing;
    bool processed = false;
    try {
        if (inputs.DbModule != nullptr && !inputs.DbModule->Connected()) {
            inputs.DbModule->Connect(inputs.DbModule->DataPath, inputs.DbModule->DatabaseName);
        }
        processed = BBSProcessFiles(inputs);
    } catch (const std::exception& e) {
        Reply(e.what());
        inputs.NotRecorded += 1;
    }
    try {
        if (inputs.DbModule != nullptr) inputs.DbModule->Disconnect();
    } catch (const std::exception& e) {
        form_.Log(e.what(), 1);
    }

    if (!form_.Closing) {
        form_.Timer.start();
        form_.EnableButtons(true, false);
        AbortCheck();
    }
    form_.Log("CommandBBSStop...", 20);
    // The final reply says what really happened; what was not recorded stays for the next call.
    if (inputs.Stopped || inputs.NotRecorded > 0) {
        Reply("Data collection completed, processing incomplete (" +
              std::to_string(inputs.NotRecorded) + " not recorded" +
              (inputs.Stopped ? ", interrupted" : "") + "), kept for the next call " +
              TimeText(NowLocal()));
    } else if (processed) {
        Reply("Data collection and processing completed " + TimeText(NowLocal()));
    } else {
        Reply("No data collected (" + TimeText(NowLocal()) + ") ");
    }
}

std::string TempDirProblem(const std::string& dir) {
    return (DirectoryExists(dir) ? "Temporary directory not writable: "
                                 : "Temporary directory not found: ") +
           dir;
}

}  // namespace qx
