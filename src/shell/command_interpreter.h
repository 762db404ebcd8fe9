// The command language of the presentation program: the command timer's work (one command from
// the head of the queue per tick), the settings the commands store, the start of a call by
// BBS GET and BBS LAST, the end-of-call step, the abort check. Main thread only.
//
// Log pumps the event loop, so a tick can arrive while a command is still being handled; the
// busy flag makes such a tick do nothing, and GET/LAST act only while the command timer runs,
// so the command at the head of the queue is never carried out twice.
#pragma once

#include <string>

#include "support/date_time.h"

namespace qx {

class TfrmVudaDUD;
class TMailbox;

// The reference time of BBS LAST: now, truncated to the last multiple of `hours` hours (0:
// the hour stays) and of `minutes` minutes (0: the full hour), with seconds and milliseconds
// cleared. H 0, M 30 at 14:47:12.345 gives 14:30:00.000.
TDateTime LastReferenceTime(TDateTime now, int hours, int minutes);

// The reply for a temporary directory that is missing or not writable; it names the directory.
std::string TempDirProblem(const std::string& dir);

class TCommandInterpreter {
  public:
    explicit TCommandInterpreter(TfrmVudaDUD& form) : form_(form) {}
    TCommandInterpreter(const TCommandInterpreter&) = delete;
    TCommandInterpreter& operator=(const TCommandInterpreter&) = delete;

    // One tick of the command timer.
    void Command();
    // Scans the queue for ABORT and EXIT; an ABORT clears the queue (keeping an "Exit" when
    // there was an EXIT too). True when ABORT was found.
    bool AbortCheck();
    // The end-of-call message: processing of the received files, command timer back on.
    void CommandBBSStop();

  private:
    void Reply(const std::string& text);
    void CommandBBS(TMailbox& queue, const std::string& entry);
    void CommandBBSSet(TMailbox& queue, const std::string& entry);
    // False when the TAPI device is unknown and the program is closing.
    bool CommandBBSSetTapi(const std::string& name);
    void CommandBBSGet(TMailbox& queue, const std::string& entry);
    void CommandBBSLast(TMailbox& queue, const std::string& entry);
    // Shared start of GET and LAST; false (entry answered and removed) without a usable
    // TEMPDIR or before BBS OPEN.
    bool StartCall(TMailbox& queue, const std::string& entry, const std::string& trace);
    void CommandBBSOpen(const std::string& entry);
    void RunEndOfCall();

    TfrmVudaDUD& form_;
    bool busy_ = false;
};

}  // namespace qx
