// The BBS module: the components and the state of one call to the weather-data board.
//
// Created once by the main window, which owns it; reachable program-wide as BBSmodule. This is
// the module's frame: its state fields, the dial timer and the operations the program shell
// calls (StopRedial, Idle, CancelCall). The call controller, the login script and the
// received-file handling fill in the behaviour. Main thread only.
#pragma once

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <string>

#include "support/date_time.h"

namespace qx {

class TBBSmodule : public QObject {
  public:
    static constexpr int kDialRetryLimit = 12;  // StopRedial's value: no further dial

    explicit TBBSmodule(QObject* owner = nullptr);
    ~TBBSmodule() override;
    TBBSmodule(const TBBSmodule&) = delete;
    TBBSmodule& operator=(const TBBSmodule&) = delete;

    void BBSmoduleCreate();
    void BBSmoduleDestroy();  // cancels the call; run by the owner before it frees the module

    // Blocks every further dial of the current request.
    void StopRedial();
    // Waits up to four seconds for the line to be idle; true when it is.
    virtual bool Idle();
    // Cancels the line device's call (the hang-up message of the main window lands here).
    virtual void CancelCall();

    // One-line forwarders to the main window.
    void Log(const std::string& text, int level);
    void EchoChar(char c);

    QTimer DialTimer;  // 1000 ms, disabled until a call starts

    // State of the call, in declaration order of the call controller.
    bool AwaitUserPrompt = false;
    int32_t RequestIndex = 0;
    int32_t LoginPromptCnt = 0;
    int32_t LoginRetryCnt = 0;
    bool LineFinished = false;
    int32_t CallOutcome = 0;
    std::string VersionText;
    bool SendVersion = false;
    std::string PhoneNumber;
    std::string UserName;
    std::string Password;
    std::string RequestName;
    TDateTime LastTime;
    TDateTime LastInterval;
    int32_t LastTriesLeft = 0;
    std::string TempDir;
    std::string SourceDir;
    int32_t DialRetryCnt = 0;
    bool UserAbort = false;
    bool Receiving = false;

  private:
    bool destroyed_ = false;
};

// The program-wide module (null when none exists).
extern TBBSmodule* BBSmodule;

}  // namespace qx
