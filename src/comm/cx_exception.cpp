#include "comm/cx_exception.h"

#include "comm/error_msg.h"

namespace qx {

ECxException::ECxException(int code) : ECxException(code, ErrorMsg(code)) {}

ECxException::ECxException(int code, const std::string& message)
    : std::runtime_error(message), ErrorCode(code) {}

int RaiseCxError(int code) {
    if (code >= 0) return code;
    switch (code) {
        case ecBadArgument:
            throw EBadArgument(code);
        case ecPortNotAssigned:
            throw EPortNotAssigned(code);
        case ecBadId:
            throw EBadId(code);
        case ecNotOpen:
            throw ECommNotOpen(code);
        case ecAlreadyOpen:
            throw EAlreadyOpen(code);
        case ecNoPortSelected:
            throw ENoPortSelected(code);
        case ecNotOpenedByTapi:
            throw ENotOpenedByTapi(code);
        case ecNullApi:
            throw ENullApi(code);
        case ecOutputBufferTooSmall:
            throw EOutputBufferTooSmall(code);
        case ecBufferIsEmpty:
            throw EBufferIsEmpty(code);
        case ecTriggerTooLong:
            throw ETriggerTooLong(code);
        case ecBadTriggerHandle:
            throw EBadTriggerHandle(code);
        default:
            break;
    }
    if (code >= -162 && code <= -2) throw EInOutError(code);
    throw ECxException(code);
}

}  // namespace qx
