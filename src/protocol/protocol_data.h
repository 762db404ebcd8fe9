// The protocol-state record: everything one ZMODEM receive keeps between the dispatcher's calls.
//
// Threads: the engine works on the record in the port's dispatch thread, and in the main thread
// for a local cancel; Lock (taken for a whole engine call) keeps the two apart. The progress
// values that the protocol component reads on the main thread at any moment are atomics, and
// the path of the file in progress is guarded by InfoLock, so reading them never waits for an
// engine call (which may itself be waiting for the main thread).
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "platform/zfile_writer.h"
#include "protocol/zmodem_defs.h"

namespace qx {

class TCxDispatcher;
struct TProtocolData;

// Where the engine's messages go. Status, log, accept and error are messages to the main thread
// that wait at most 1000 ms for it; finish is posted and never lost. Called with the record's
// Lock held, in the dispatch thread (or the main thread for a local cancel).
class TProtocolEvents {
  public:
    virtual ~TProtocolEvents() = default;
    virtual void ProtocolStatus(TProtocolData& p, unsigned options) = 0;
    virtual void ProtocolLog(TProtocolData& p, int logCode) = 0;
    // True accepts the file; path then holds the path to write to (the handler may change it).
    // No answer in time counts as a refusal.
    virtual bool ProtocolAccept(TProtocolData& p, std::string& path) = 0;
    virtual void ProtocolError(TProtocolData& p, int errorCode) = 0;
    virtual void ProtocolFinish(TProtocolData& p, int errorCode) = 0;
};

// Header collection: where the collector stands in the frame it is reading.
enum class THeaderState {
    hsNone,        // looking for the lead-in '*'
    hsGotZPad,     // '*' seen
    hsGotZDle,     // '*' ZDLE seen, the format letter follows
    hsCollectBin,  // binary header bytes through ZDLE decoding
    hsCollectHex,  // fourteen hex digits
};

// Subpacket collection.
enum class TBlockState {
    bsData,  // data bytes until a frame-end code
    bsCrc,   // the check bytes after the frame end
};

struct TProtocolData {
    TProtocolData() = default;
    TProtocolData(const TProtocolData&) = delete;
    TProtocolData& operator=(const TProtocolData&) = delete;

    std::mutex Lock;

    // --- port and owner -----------------------------------------------------------------
    TCxDispatcher* Port = nullptr;
    int ProtocolTimer = 0;  // time-outs
    int StatusTimer = 0;    // progress reports
    int OutBuffFreeTrigger = 0;
    int OutBuffUsedTrigger = 0;
    int CarrierTrigger = 0;
    unsigned Flags = 0;  // apHonorDirectory, apAbortNoCarrier, apZmodem8K
    TProtocolEvents* Events = nullptr;
    bool ZmodemReady = false;          // set up for Zmodem (buffers allocated, defaults in place)
    std::atomic<bool> Running{false};  // between the start and the finish
    bool PortClosing = false;          // cancel because the port goes away: do not wait for output

    // --- settings -----------------------------------------------------------------------
    std::string DestDirectory;
    bool UpcaseFileNames = true;
    int32_t HandshakeWait = 1092;  // ticks
    int32_t HandshakeRetry = 10;
    int32_t TransmitTimeout = 1092;
    int32_t FinishWait = 364;
    int32_t StatusInterval = 10;
    size_t BlockLen = 1024;

    // --- state --------------------------------------------------------------------------
    TZmodemState State = rzDone;
    std::atomic<int> ProtocolStatus{psOK};
    std::atomic<int> ProtocolError{0};
    std::atomic<int> BlockErrors{0};  // the retry count
    std::atomic<int> TotalErrors{0};
    bool ForceStatus = false;
    bool FirstStatusSent = false;

    // --- the file in progress -----------------------------------------------------------
    mutable std::mutex InfoLock;
    std::string PathName;  // guarded by InfoLock
    std::atomic<int64_t> SrcFileLen{0};
    std::atomic<int64_t> SrcFileDate{0};  // seconds since 1970
    std::atomic<int64_t> FileOfs{0};
    std::atomic<int64_t> BytesTransferred{0};
    std::atomic<int64_t> BytesRemaining{0};
    std::atomic<int64_t> InitFilePos{0};
    std::atomic<int64_t> TransferStartMs{0};
    bool FileOpen = false;
    ZFileWriter Writer;
    std::vector<uint8_t> WriteBuf;  // 8192 bytes while a file is open
    size_t WriteBufLen = 0;
    int64_t WriteBufPos = 0;  // file position of WriteBuf[0]
    int64_t SyncOfs = -1;     // offset of the last ZRPOS round
    int SyncRounds = 0;       // consecutive ZRPOS rounds at SyncOfs

    // --- Zmodem -------------------------------------------------------------------------
    std::vector<uint8_t> DataBlock;  // one data subpacket
    std::vector<uint8_t> WorkBlock;  // bytes taken from the port, not yet consumed
    size_t WorkPos = 0;
    size_t WorkLen = 0;
    size_t DataLen = 0;
    uint8_t RcvHeader[4] = {};  // ZP0..ZP3 / ZF3..ZF0 of the header just received
    uint8_t RcvFrame = 0;       // its type
    int LastFrame = -1;         // type of the last header sent or received
    int64_t LastFileOfs = 0;    // the sender's last position
    uint8_t TransHeader[4] = {};
    uint8_t HeaderType = zm::ZRINIT;  // the header rzDelay sends
    THeaderState HeaderState = THeaderState::hsNone;
    uint8_t HeaderBuf[14] = {};  // raw header bytes (binary) or hex digits
    int HeaderIndex = 0;
    int HeaderNeed = 0;
    bool HexHeader = false;
    bool Crc32Header = false;  // the last binary header used CRC-32
    bool UseCrc32 = false;     // check width of the data subpackets
    bool ZdlePending = false;  // a ZDLE ended the bytes of the last call
    int CanCount = 0;
    bool CancelSeen = false;  // five CANs in a row
    TBlockState BlockState = TBlockState::bsData;
    uint8_t BlockEnd = 0;  // frame-end code of the subpacket in progress
    uint8_t CrcBytes[4] = {};
    int CrcIndex = 0;
    bool BlockTooLong = false;
    int DiscardCount = 0;  // bytes still to drop after a hex header (rzSendBlockPrep)
    uint8_t AttentionStr[32] = {};
    bool EscapeAll = false;
    uint8_t FileMgmtOpts = zfoWriteNewer;
    uint8_t ConvertOpts = 0;
    uint8_t TransportOpts = 0;
    bool FileMgmtOverride = false;
    bool ReceiverRecover = false;
    bool SkipNoFile = false;
    int FinishRetry = 3;
    int OCount = 0;
    bool FinishInHeader = false;  // rzCollectFinish: inside a header the sender repeats
    // Silence of the sender in the data phase: bytes taken from the port so far, their count
    // when the protocol timer was last armed, and protocol waits in a row that got nothing.
    uint64_t RxCount = 0;
    uint64_t RxAtArm = 0;
    int SilentWaits = 0;
};

}  // namespace qx
