#include "command_interpreter.h"

#include <algorithm>
#include <cctype>

#include "main_window.h"
#include "support/get_param.h"
#include "support/sys_info.h"

namespace qx {

namespace {

std::string Upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

// Clears a flag when the scope ends.
class BusyScope {
  public:
    explicit BusyScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~BusyScope() { flag_ = false; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

  private:
    bool& flag_;
};

}  // namespace

void TCommandInterpreter::Reply(const std::string& text) {
    form_.Log(text, 0);
}

void TCommandInterpreter::Command() {
    if (form_.CloseRequested || form_.Closing || busy_) return;
    TMailbox* queue = form_.FromPresentation.get();
    if (queue == nullptr) return;
    BusyScope busy(busy_);
    std::string entry;
    if (queue->Get(0, entry)) AbortCheck();
    if (!queue->Get(0, entry)) return;
    form_.Log("Command: " + entry, 5);
    const std::string keyword = Upper(GetParam(entry, 1));
    if (keyword == "ABORT") {
        queue->Delete(0);
    } else if (keyword == "EXIT") {
        queue->Delete(0);
        form_.Log("Command: " + entry + "...", 20);
        form_.AfsluitenClick();
        return;
    } else if (keyword == "BBS" || keyword == "MINI" || keyword == "MEET") {
        queue->Delete(0);
        Reply("Command not implemented: " + entry);
    } else {
        queue->Delete(0);
        Reply("Unknown command received from Skelvane: " + entry);
    }
    form_.Log("Command: " + entry + "...", 20);
}

bool TCommandInterpreter::AbortCheck() {
    form_.Log("AbortCheck:", 40);
    TMailbox* queue = form_.FromPresentation.get();
    bool abort = false, exit = false;
    std::string entry;
    for (int i = 0; queue != nullptr && queue->Get(i, entry); ++i) {
        const std::string keyword = Upper(GetParam(entry, 1));
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
    BusyScope stop(form_.StopInProgress);
    form_.Log("CommandBBSStop", 5);
    form_.SetProgress(0);
    form_.SetFileLabel("");
    Reply("Data collection completed " + TimeText(NowLocal()));
    form_.Timer.start();
    form_.EnableButtons(true, false);
    AbortCheck();
    form_.Log("CommandBBSStop...", 20);
    Reply("No data collected (" + TimeText(NowLocal()) + ") ");
}

}  // namespace qx
