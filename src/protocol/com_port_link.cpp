#include "protocol/com_port_link.h"

#include "comm/com_port.h"

namespace qx {

bool TCxComPortLink::PortOpen() {
    return port_.Open();
}

TCxDispatcher* TCxComPortLink::PortDispatcher() {
    return port_.Dispatcher();
}

int32_t TCxComPortLink::PortBaud() {
    return port_.Baud;
}

int TCxComPortLink::AddPortUser(std::function<void(bool opening)> cb) {
    return port_.RegisterUserCallback(
        [cb = std::move(cb)](TCxComPort&, bool opening) { cb(opening); });
}

void TCxComPortLink::RemovePortUser(int id) {
    port_.DeregisterUserCallback(id);
}

}  // namespace qx
