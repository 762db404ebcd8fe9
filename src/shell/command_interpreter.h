// The command timer's work: takes the command at the head of the queue once per tick and
// carries it out, the abort check, and the end-of-call handler. Main thread only.
#pragma once

#include <string>

namespace qx {

class TfrmVudaDUD;

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
    // The end-of-call message.
    void CommandBBSStop();

  private:
    void Reply(const std::string& text);

    TfrmVudaDUD& form_;
    bool busy_ = false;  // a tick is being handled (Log pumps the loop; never run one twice)
};

}  // namespace qx
