#include "comm/sl_controller.h"

#include "comm/cx_exception.h"

namespace qx {

namespace {

constexpr uint16_t kCts = 0x10, kDsr = 0x20, kRing = 0x40, kDcd = 0x80;
constexpr uint16_t kErrorSet = 1 | 2 | 4;  // overrun, parity, framing
constexpr uint16_t kBreakSet = 8;

}  // namespace

TCxSLController::TCxSLController(TCxComPort* port) {
    SetComPort(port);
}

TCxSLController::~TCxSLController() {
    if (port_ && active_) StopMonitoring();
    if (port_) port_->DeregisterUserCallback(callbackId_);
}

void TCxSLController::SetComPort(TCxComPort* port) {
    if (port == port_) return;
    if (port_) {
        if (active_) StopMonitoring();
        port_->DeregisterUserCallback(callbackId_);
    }
    port_ = port;
    if (!port_) return;
    // Before the port closes monitoring is switched off (and remembered); after it opens a
    // remembered or wished-for monitoring comes back.
    callbackId_ = port_->RegisterUserCallback([this](TCxComPort&, bool opening) {
        if (!opening && active_) StopMonitoring();
        if (opening && monitoring_ && !active_) StartMonitoring();
    });
}

void TCxSLController::SetMonitoring(bool on) {
    if (on == monitoring_) return;
    if (!port_) RaiseCxError(ecPortNotAssigned);
    monitoring_ = on;
    if (!port_->Open()) return;
    if (!on) {
        StopMonitoring();
        return;
    }
    try {
        StartMonitoring();
    } catch (...) {
        monitoring_ = false;
        throw;
    }
}

void TCxSLController::SetLight(TCxStatusLight* light, bool lit) {
    if (light) light->SetLit(lit);
}

void TCxSLController::AllUnlit() {
    for (TCxStatusLight* l :
         {Lights.CTSLight.data(), Lights.DSRLight.data(), Lights.DCDLight.data(),
          Lights.RINGLight.data(), Lights.TXDLight.data(), Lights.RXDLight.data(),
          Lights.ERRORLight.data(), Lights.BREAKLight.data()})
        SetLight(l, false);
}

void TCxSLController::StartMonitoring() {
    TCxComPort& p = *port_;
    savedAvail_ = p.OnTriggerAvail;
    savedStatus_ = p.OnTriggerStatus;
    savedTimer_ = p.OnTriggerTimer;
    p.OnTriggerAvail = [this](TCxComPort& port, unsigned count) { OnAvail(port, count); };
    p.OnTriggerStatus = [this](TCxComPort& port, unsigned h) { OnStatus(port, h); };
    p.OnTriggerTimer = [this](TCxComPort& port, unsigned h) { OnTimer(port, h); };
    active_ = true;
    try {
        modemMask_ = 0;
        if (Lights.CTSLight) modemMask_ |= kCts;
        if (Lights.DSRLight) modemMask_ |= kDsr;
        if (Lights.DCDLight) modemMask_ |= kDcd;
        if (Lights.RINGLight) modemMask_ |= kRing;
        if (modemMask_) {
            modemTrigger_ = p.AddStatusTrigger(stModem);
            p.SetStatusTrigger(modemTrigger_, modemMask_, true);
        }
        if (Lights.ERRORLight) {
            errorTrigger_ = p.AddStatusTrigger(stLine);
            p.SetStatusTrigger(errorTrigger_, kErrorSet, true);
            errorTimer_ = p.AddTimerTrigger();
        }
        if (Lights.BREAKLight) {
            breakTrigger_ = p.AddStatusTrigger(stLine);
            p.SetStatusTrigger(breakTrigger_, kBreakSet, true);
            breakTimer_ = p.AddTimerTrigger();
        }
        if (Lights.RXDLight) rxdTimer_ = p.AddTimerTrigger();
        if (Lights.TXDLight) {
            txdTrigger_ = p.AddStatusTrigger(stOutSent);
            p.SetStatusTrigger(txdTrigger_, 0, true);
            txdTimer_ = p.AddTimerTrigger();
        }
        if (Lights.RINGLight) ringTimer_ = p.AddTimerTrigger();
    } catch (...) {
        StopMonitoring();
        throw;
    }
    AllUnlit();
    UpdateLineLights();
}

void TCxSLController::StopMonitoring() {
    TCxComPort& p = *port_;
    p.OnTriggerAvail = savedAvail_;
    p.OnTriggerStatus = savedStatus_;
    p.OnTriggerTimer = savedTimer_;
    active_ = false;
    for (uint16_t* h : {&modemTrigger_, &errorTrigger_, &errorTimer_, &breakTrigger_, &breakTimer_,
                        &rxdTimer_, &txdTrigger_, &txdTimer_, &ringTimer_}) {
        // Also while the port closes (this runs in its close callback): triggers left in place
        // would be saved by the close and come back, piling up call after call.
        if (*h != 0 && p.State() != TPortState::Closed) {
            try {
                p.RemoveTrigger(*h);
            } catch (const ECxException&) {
                // already gone (RemoveAllTriggers by the program): nothing to undo
            }
        }
        *h = 0;
    }
    AllUnlit();
}

void TCxSLController::UpdateLineLights() {
    if (!port_->Open()) return;
    SetLight(Lights.CTSLight, port_->CTS());
    SetLight(Lights.DSRLight, port_->DSR());
    SetLight(Lights.DCDLight, port_->DCD());
}

void TCxSLController::OnAvail(TCxComPort& port, unsigned count) {
    if (Lights.RXDLight && !Lights.RXDLight->Lit() && rxdTimer_) {
        Lights.RXDLight->SetLit(true);
        port.SetTimerTrigger(rxdTimer_, RXDOffTimeout, true);
    }
    if (savedAvail_) savedAvail_(port, count);
}

void TCxSLController::OnStatus(TCxComPort& port, unsigned handle) {
    if (handle == modemTrigger_ && handle != 0) {
        UpdateLineLights();
        if (Lights.RINGLight && port.RI() && ringTimer_) {
            Lights.RINGLight->SetLit(true);
            port.SetTimerTrigger(ringTimer_, RingOffTimeout, true);
        }
        port.SetStatusTrigger(modemTrigger_, modemMask_, true);
    } else if (handle == errorTrigger_ && handle != 0) {
        SetLight(Lights.ERRORLight, true);
        port.SetTimerTrigger(errorTimer_, ErrorOffTimeout, true);
        port.LineError();
    } else if (handle == breakTrigger_ && handle != 0) {
        SetLight(Lights.BREAKLight, true);
        port.SetTimerTrigger(breakTimer_, BreakOffTimeout, true);
        port.LineBreak();
    } else if (handle == txdTrigger_ && handle != 0) {
        SetLight(Lights.TXDLight, true);
        port.SetTimerTrigger(txdTimer_, TXDOffTimeout, true);
    }
    if (savedStatus_) savedStatus_(port, handle);
}

void TCxSLController::OnTimer(TCxComPort& port, unsigned handle) {
    if (handle == errorTimer_ && handle != 0) {
        SetLight(Lights.ERRORLight, false);
        port.SetStatusTrigger(errorTrigger_, kErrorSet, true);
    } else if (handle == breakTimer_ && handle != 0) {
        SetLight(Lights.BREAKLight, false);
        port.SetStatusTrigger(breakTrigger_, kBreakSet, true);
    } else if (handle == rxdTimer_ && handle != 0) {
        if (port.InBuffUsed() > 0)
            port.SetTimerTrigger(rxdTimer_, RXDOffTimeout, true);
        else
            SetLight(Lights.RXDLight, false);
    } else if (handle == txdTimer_ && handle != 0) {
        if (port.OutBuffUsed() > 0) {
            port.SetTimerTrigger(txdTimer_, TXDOffTimeout, true);
        } else {
            SetLight(Lights.TXDLight, false);
            port.SetStatusTrigger(txdTrigger_, 0, true);
        }
    } else if (handle == ringTimer_ && handle != 0) {
        SetLight(Lights.RINGLight, false);
    }
    if (savedTimer_) savedTimer_(port, handle);
}

}  // namespace qx
