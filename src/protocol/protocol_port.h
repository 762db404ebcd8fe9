// What the protocol component needs of the port it runs a transfer on: whether it is open, its
// dispatcher, its line speed, and word of the port opening and closing. The serial-port
// component is adapted to this; tests and qx-rz may give a plain dispatcher.
#pragma once

#include <cstdint>
#include <functional>

namespace qx {

class TCxDispatcher;

class TProtocolPort {
  public:
    virtual ~TProtocolPort() = default;
    virtual bool PortOpen() = 0;
    virtual TCxDispatcher* PortDispatcher() = 0;  // nullptr while closed
    virtual int32_t PortBaud() = 0;
    // cb(true) after every open, cb(false) before every close; main thread. Returns an id.
    virtual int AddPortUser(std::function<void(bool opening)> cb) = 0;
    virtual void RemovePortUser(int id) = 0;
};

}  // namespace qx
