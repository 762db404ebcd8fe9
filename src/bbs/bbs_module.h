// The BBS module: the components and the state of one call to the weather-data board.
//
// Created once by the main window, which owns it; reachable program-wide as BBSmodule. It holds
// the five components of a call (port, line device, protocol, light controller, dial timer) and
// runs the call: the dial timer places and repeats dials (bbs_module.cpp), the board's prompts
// drive the login and download dialogue (bbs_script.cpp), and the protocol's events collect
// the received files (bbs_received_files.cpp).
//
// Main thread only. Log and the one-second waits pump the event loop, so every handler may be
// entered while another one runs; each checks the window's Closing flag and the module's own
// flags (LineFinished, Receiving) before it acts. No handler lets an exception escape.
#pragma once

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "comm/com_port.h"
#include "comm/sl_controller.h"
#include "comm/tapi_device.h"
#include "protocol/cx_protocol.h"
#include "support/date_time.h"

namespace qx {

class TMailbox;
class TCxStatusLight;

class TBBSmodule : public QObject {
  public:
    static constexpr int kDialRetryLimit = 12;      // StopRedial's value: no further dial
    static constexpr int kMaxDials = 10;            // dials per request
    static constexpr int kMaxLogins = 10;           // connections without reaching the main prompt
    static constexpr int kMaxFailedTransfers = 10;  // connections in a row failing one request
    static constexpr int kTicksPerSecond = 18;

    explicit TBBSmodule(QObject* owner = nullptr);
    ~TBBSmodule() override;
    TBBSmodule(const TBBSmodule&) = delete;
    TBBSmodule& operator=(const TBBSmodule&) = delete;

    void BBSmoduleCreate();
    void BBSmoduleDestroy();  // cancels the call; run by the owner before it frees the module

    // The window's seven modem lights, for the light controller (the ring light stays unbound).
    void BindLights(TCxStatusLight* brk, TCxStatusLight* cts, TCxStatusLight* dcd,
                    TCxStatusLight* dsr, TCxStatusLight* err, TCxStatusLight* txd,
                    TCxStatusLight* rxd);

    // --- Line selection (BBS SET TAPI) ---
    std::vector<std::string> TapiDevices();
    // Closes the port, puts it in TAPI mode and selects the line.
    void SelectTapiDevice(const std::string& name);

    // --- Call controller ---
    void DialTimerTimer();
    // Prepares and places one dial; true when the call is under way or was aborted, false when
    // the line did not become idle.
    bool ReDial();
    // Ends a dial whose line could not be opened as a failed dial (retries follow).
    bool DialFailed(const std::exception& e);
    // Counts down, announcing each second when announce; true when aborted.
    bool TryAgain(int32_t seconds, bool announce);
    // Waits up to four seconds for the line to be idle; true when it is.
    virtual bool Idle();
    bool PresentationRunning();
    // Blocks every further dial of the current request.
    void StopRedial();
    // Drains the port until it stays silent for one full second.
    void ModemFlush();
    void LogTapiState();
    // Cancels the line device's call (the hang-up message of the main window lands here).
    virtual void CancelCall();
    // The hang-up button: queue "Abort", flag the user abort, stop the transfer and the call.
    void DisconnectClick();

    void TapiDeviceTapiLog(TTapiLogCode code);
    void TapiDeviceTapiPortOpen();
    void TapiDeviceTapiPortClose();
    void TapiDeviceTapiFail();

    // --- Login and download script ---
    void ArmTrigger(uint16_t& handle, const std::string& pattern);
    void DisarmTrigger(uint16_t& handle);
    void SetWatchdog(int32_t seconds, bool on);
    void ArmLoginSet();
    void DisarmLoginSet();
    void ArmReceiveSet();
    void DisarmReceiveSet();
    void ConnectionStart();
    void ComPortTriggerData(unsigned handle);
    void ComPortTriggerTimer(unsigned handle);
    void ComPortTriggerAvail(unsigned count);

    // --- Received files ---
    void ProtocolProtocolAccept(bool& accept, std::string& fileName);
    void ProtocolProtocolLog(int logCode);
    void ProtocolProtocolStatus(unsigned options);
    void ProtocolProtocolError(int errorCode);
    void ProtocolProtocolFinish(int errorCode);

    // The announcement of an offered file: "Collect <description> (<name>)".
    static std::string CollectText(const std::string& offeredName);
    // Percentage of a file received; 0 for an unknown or empty length.
    static int ProgressPercent(int64_t transferred, int64_t length);

    // One-line forwarders to the main window.
    void Log(const std::string& text, int level);
    void EchoChar(char c);

    // --- Components, in creation order ---
    TCxComPort ComPort;
    TCxTapiDevice TapiDevice;
    TCxProtocol Protocol;
    TCxSLController LightController;
    QTimer DialTimer;  // 1000 ms, disabled until a call starts

    // --- State of the call ---
    bool AwaitUserPrompt = false;
    int32_t RequestIndex = 0;
    int32_t LoginPromptCnt = 0;
    int32_t LoginRetryCnt = 0;
    bool LineFinished = false;
    int32_t CallOutcome = 0;
    std::string VersionText;
    bool SendVersion = false;
    uint16_t UserPromptTrigger = 0;
    uint16_t PasswordPromptTrigger = 0;
    uint16_t LoginErrorTrigger = 0;
    uint16_t LoginMainPromptTrigger = 0;
    uint16_t MainPromptTrigger = 0;
    uint16_t ProtocolPromptTrigger = 0;
    uint16_t FileNamePromptTrigger = 0;
    uint16_t UnableTrigger = 0;
    uint16_t ZmodemStartTrigger = 0;
    uint16_t WatchdogTrigger = 0;
    uint16_t ReadyTrigger = 0;
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
    bool Closing() const;
    bool Connected() const;
    TMailbox* Queue() const;
    bool QueueEntry(int index, std::string& entry) const;
    void QueueDelete(int index);
    void QueuePost(const std::string& text);
    void PostToWindow(int msg);
    void Send(const std::string& text);  // text + CR, while the port is open
    void MainPrompt(bool afterLogin);
    bool FindRequest();
    void Goodbye();
    void MissHandling();
    void StartZmodem();
    // At the end of a connection: counts it against the request it was serving, and drops that
    // request from the queue when it has failed in kMaxFailedTransfers connections in a row.
    void CountFailedRequest();
    // The line could not be opened for a reason that will not pass: the call ends at once.
    void EndCallUnopenable(const std::string& reason);

    bool destroyed_ = false;
    bool dialBusy_ = false;     // a dial step runs (its waits pump the loop)
    bool busySeen_ = false;     // the line device reported busy during this attempt
    std::string servingEntry_;  // queue entry asked for on this connection and not yet served
    std::string servingName_;   // the file name asked for
    std::string failedEntry_;   // the entry of the last connection that failed
    int failedConnections_ = 0;
    int connectionSerial_ = 0;  // counts connections and call ends, for an old call's timers
};

// The program-wide module (null when none exists).
extern TBBSmodule* BBSmodule;

}  // namespace qx
