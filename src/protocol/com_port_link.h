// TCxComPortLink: the serial-port component as the protocol component's port.
#pragma once

#include "protocol/protocol_port.h"

namespace qx {

class TCxComPort;

class TCxComPortLink : public TProtocolPort {
  public:
    explicit TCxComPortLink(TCxComPort& port) : port_(port) {}
    bool PortOpen() override;
    TCxDispatcher* PortDispatcher() override;
    int32_t PortBaud() override;
    int AddPortUser(std::function<void(bool opening)> cb) override;
    void RemovePortUser(int id) override;
    TCxComPort& Port() { return port_; }

  private:
    TCxComPort& port_;
};

}  // namespace qx
