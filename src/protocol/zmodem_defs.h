// Names and numbers shared by the ZMODEM receive engine and the protocol component: frame
// types and escape codes of the protocol, the engine's state and option enumerations, the
// protocol status and result codes, and the private message numbers of the protocol window.
#pragma once

#include <cstdint>

namespace qx {

// --- ZMODEM framing -------------------------------------------------------------------------
namespace zm {
constexpr uint8_t ZPAD = '*';
constexpr uint8_t ZDLE = 0x18;  // also CAN
constexpr uint8_t ZDLEE = ZDLE ^ 0x40;
constexpr uint8_t ZBIN = 'A';
constexpr uint8_t ZHEX = 'B';
constexpr uint8_t ZBIN32 = 'C';
constexpr uint8_t ZCRCE = 'h';
constexpr uint8_t ZCRCG = 'i';
constexpr uint8_t ZCRCQ = 'j';
constexpr uint8_t ZCRCW = 'k';
constexpr uint8_t ZRUB0 = 'l';
constexpr uint8_t ZRUB1 = 'm';
constexpr uint8_t CAN = 0x18;
constexpr uint8_t XON = 0x11;
constexpr uint8_t XOFF = 0x13;

enum Frame : uint8_t {
    ZRQINIT = 0,
    ZRINIT = 1,
    ZSINIT = 2,
    ZACK = 3,
    ZFILE = 4,
    ZSKIP = 5,
    ZNAK = 6,
    ZABORT = 7,
    ZFIN = 8,
    ZRPOS = 9,
    ZDATA = 10,
    ZEOF = 11,
    ZFERR = 12,
    ZCRC = 13,
    ZCHALLENGE = 14,
    ZCOMPL = 15,
    ZCAN = 16,
    ZFREECNT = 17,
    ZCOMMAND = 18,
    ZSTDERR = 19,
};

// ZRINIT ZF0 capabilities.
constexpr uint8_t CANFDX = 0x01, CANOVIO = 0x02, CANBRK = 0x04, CANFC32 = 0x20;
// ZSINIT ZF0 flag: the sender wants every control character escaped.
constexpr uint8_t TESCCTL = 0x40;
// ZFILE ZF1 management: "skip if no local file" bit and the option mask.
constexpr uint8_t ZMSKNOLOC = 0x80;
constexpr uint8_t ZMMASK = 0x1F;

// Header byte positions: position bytes ZP0..ZP3 (least significant first), or flags
// ZF3 ZF2 ZF1 ZF0 in the same four places.
constexpr int ZP0 = 0, ZP1 = 1, ZP2 = 2, ZP3 = 3;
constexpr int ZF3 = 0, ZF2 = 1, ZF1 = 2, ZF0 = 3;
}  // namespace zm

// --- Engine states (the sending side's states come first and are never entered here) -------
enum TZmodemState {
    tzInitial,
    tzHandshake,
    tzGetFile,
    tzSendFile,
    tzCheckFile,
    tzStartData,
    tzEscapeData,
    tzSendData,
    tzWaitAck,
    tzSendEof,
    tzDrainEof,
    tzCheckEof,
    tzSendFinish,
    tzCheckFinish,
    tzError,
    tzCleanup,
    tzDone,
    rzRqstFile,
    rzDelay,
    rzWaitFile,
    rzCollectFile,
    rzSendInit,
    rzSendBlockPrep,
    rzSendBlock,
    rzSync,
    rzStartFile,
    rzStartData,
    rzCollectData,
    rzGotData,
    rzWaitEof,
    rzEndOfFile,
    rzSendFinish,
    rzCollectFinish,
    rzError,
    rzWaitCancel,
    rzCleanup,
    rzDone,
};

// File-management options; the values are the ZFILE header's management codes.
enum TZmodemFileOptions {
    zfoNoOption = 0,
    zfoWriteNewerLonger = 1,
    zfoWriteCrc = 2,
    zfoWriteAppend = 3,
    zfoWriteClobber = 4,
    zfoWriteNewer = 5,
    zfoWriteDifferent = 6,
    zfoWriteProtect = 7,
};

// --- Protocol status codes ------------------------------------------------------------------
enum : int {
    psOK = 4700,
    psFileRejected = 4703,
    psSkipFile = 4705,
    psNoSuchFile = 4706,
    psCantWriteFile = 4707,
    psTimeout = 4708,
    psBlockCheckError = 4709,
    psLongPacket = 4710,
    psUnrecoverable = 4712,
    psCancelRequested = 4713,
    psEndFile = 4714,
    psTooManyErrors = 4716,
    psAbortNoCarrier = 4717,
    psGotCrcE = 4718,
    psGotCrcG = 4719,
    psGotCrcW = 4720,
    psGotCrcQ = 4721,
    psNoHeader = 4725,   // internal: no complete header yet
    psGotHeader = 4726,  // internal: a complete header was received
    psAbort = 4730,
};

// --- Result codes of the transfer (0 success, negative failure) ----------------------------
namespace pe {
enum : int {
    AccessDenied = -5,
    OutOfMemory = -8,
    DiskFull = -101,
    FileNotOpen = -103,
    PortNotAssigned = -1005,
    Internal = -1006,
    NoMoreTriggers = -5001,
    CancelRequested = -6005,
    FatalTimeout = -6006,
    Unrecoverable = -6007,
    TooManyErrors = -6008,
    SequenceError = -6009,
    FileRejected = -6011,
    CantWriteFile = -6012,
    AbortNoCarrier = -6014,
    ProtocolNotSupported = -6015,
    ProtocolAbort = -6016,
};
}  // namespace pe

// --- Protocol window messages ---------------------------------------------------------------
enum : unsigned {
    MsgProtocolCancel = 0x7E14,
    MsgProtocolStatus = 0x7E15,
    MsgProtocolLog = 0x7E16,
    MsgProtocolAccept = 0x7E18,
    MsgProtocolFinish = 0x7E19,
    MsgProtocolError = 0x7E1B,
};

// Log codes passed with MsgProtocolLog.
enum : int {
    lfReceiveStart = 0,
    lfReceiveOk = 1,
    lfReceiveFail = 2,
    lfReceiveSkip = 3,
};

// Status report options (wParam of MsgProtocolStatus).
constexpr unsigned csFirstReport = 1;
constexpr unsigned csLastReport = 2;

// Option bits of the protocol-state record.
constexpr unsigned apHonorDirectory = 2;
constexpr unsigned apAbortNoCarrier = 8;
constexpr unsigned apZmodem8K = 64;

}  // namespace qx
