// The exception family of the communications components.
//
// Engines and the dispatcher return integer result codes; the component layer turns a negative
// code into one of these with RaiseCxError. The message is ErrorMsg(code).
#pragma once

#include <stdexcept>
#include <string>

namespace qx {

class ECxException : public std::runtime_error {
  public:
    explicit ECxException(int code);
    ECxException(int code, const std::string& message);
    int ErrorCode;
};

#define QX_CX_EXCEPTION(Name)             \
    class Name : public ECxException {    \
      public:                             \
        using ECxException::ECxException; \
    }

QX_CX_EXCEPTION(EBadArgument);           // -1002
QX_CX_EXCEPTION(EPortNotAssigned);       // -1005
QX_CX_EXCEPTION(EBadId);                 // -2001
QX_CX_EXCEPTION(ECommNotOpen);           // -2007
QX_CX_EXCEPTION(EAlreadyOpen);           // -2008
QX_CX_EXCEPTION(ENoPortSelected);        // -2011
QX_CX_EXCEPTION(ENotOpenedByTapi);       // -2012
QX_CX_EXCEPTION(ENullApi);               // -3001
QX_CX_EXCEPTION(EOutputBufferTooSmall);  // -3006
QX_CX_EXCEPTION(EBufferIsEmpty);         // -3007
QX_CX_EXCEPTION(ETriggerTooLong);        // -5002
QX_CX_EXCEPTION(EBadTriggerHandle);      // -5003
QX_CX_EXCEPTION(EInOutError);            // -2 to -162

#undef QX_CX_EXCEPTION

// Result codes of this layer.
enum : int {
    ecOK = 0,
    ecBadArgument = -1002,
    ecPortNotAssigned = -1005,
    ecBadId = -2001,
    ecNotOpen = -2007,
    ecAlreadyOpen = -2008,
    ecNoPortSelected = -2011,
    ecNotOpenedByTapi = -2012,
    ecNullApi = -3001,
    ecOutputBufferTooSmall = -3006,
    ecBufferIsEmpty = -3007,
    ecNoMoreTriggers = -5001,
    ecTriggerTooLong = -5002,
    ecBadTriggerHandle = -5003,
};

// Throws the exception of the family that belongs to a negative code; returns code otherwise.
int RaiseCxError(int code);

}  // namespace qx
