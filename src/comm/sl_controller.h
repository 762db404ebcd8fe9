// TCxSLController: drives the modem status lights from the port's status and timer triggers.
//
// Main thread only. While monitoring it replaces the port's avail, status and timer events
// with its own and calls the saved ones after each of its own, so the program's handlers still
// see every event (the controller's own timer events included). Lights are not owned: a light
// destroyed while referenced clears its slot.
#pragma once

#include <QPointer>

#include <cstdint>

#include "comm/com_port.h"
#include "comm/status_light.h"

namespace qx {

struct TLightSet {
    QPointer<TCxStatusLight> CTSLight, DSRLight, DCDLight, RINGLight, TXDLight, RXDLight,
        ERRORLight, BREAKLight;
};

class TCxSLController {
  public:
    explicit TCxSLController(TCxComPort* port = nullptr);
    ~TCxSLController();
    TCxSLController(const TCxSLController&) = delete;
    TCxSLController& operator=(const TCxSLController&) = delete;

    TCxComPort* ComPort() const { return port_; }
    void SetComPort(TCxComPort* port);

    TLightSet Lights;
    int32_t ErrorOffTimeout = 36;
    int32_t BreakOffTimeout = 36;
    int32_t RXDOffTimeout = 1;
    int32_t TXDOffTimeout = 1;
    int32_t RingOffTimeout = 8;

    bool Monitoring() const { return monitoring_; }
    // Raises EPortNotAssigned without a port. Before the port is open the wish is remembered
    // and carried out when it opens.
    void SetMonitoring(bool on);

  private:
    void StartMonitoring();
    void StopMonitoring();
    void AllUnlit();
    void UpdateLineLights();
    void OnAvail(TCxComPort& port, unsigned count);
    void OnStatus(TCxComPort& port, unsigned handle);
    void OnTimer(TCxComPort& port, unsigned handle);
    static void SetLight(TCxStatusLight* light, bool lit);

    TCxComPort* port_ = nullptr;
    int callbackId_ = 0;
    bool monitoring_ = false;  // the property: wanted, carried out whenever the port is open
    bool active_ = false;      // handlers and triggers installed on the open port

    TCxComPort::AvailEvent savedAvail_;
    TCxComPort::HandleEvent savedStatus_;
    TCxComPort::HandleEvent savedTimer_;

    uint16_t modemTrigger_ = 0, modemMask_ = 0;
    uint16_t errorTrigger_ = 0, errorTimer_ = 0;
    uint16_t breakTrigger_ = 0, breakTimer_ = 0;
    uint16_t rxdTimer_ = 0;
    uint16_t txdTrigger_ = 0, txdTimer_ = 0;
    uint16_t ringTimer_ = 0;
};

}  // namespace qx
