// TCxProtocol: the protocol component through which the program runs a file transfer.
//
// It holds the transfer settings as properties, owns the engine's protocol-state record, starts
// a ZMODEM receive on its port, turns the engine's messages into events on the main thread,
// exposes the progress of the transfer and cancels it on request or when the port closes.
//
// Threads: every method and every event runs on the main thread. The engine works in the
// port's dispatch thread and reaches the events through bounded sends (status, log, accept,
// error: 1000 ms; an unanswered accept refuses the file) and a posted finish. Properties must
// not be changed while a transfer is in progress.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "protocol/protocol_data.h"
#include "protocol/protocol_port.h"
#include "protocol/zmodem_defs.h"

namespace qx {

enum TProtocolType {
    ptNoProtocol,
    ptXmodem,
    ptXmodemCRC,
    ptXmodem1K,
    ptXmodem1KG,
    ptYmodem,
    ptYmodemG,
    ptZmodem,
    ptKermit,
    ptAscii,
    ptBPlus,
};

enum TBlockCheckMethod { bcmNone, bcmChecksum, bcmChecksum2, bcmCrc16, bcmCrc32, bcmCrcK };

enum TWriteFailAction { wfWriteNone, wfWriteFail, wfWriteRename, wfWriteAnyway, wfWriteResume };

class TCxComPort;

class TCxProtocol {
  public:
    using AcceptEvent =
        std::function<void(TCxProtocol& sender, bool& accept, std::string& fileName)>;
    using CodeEvent = std::function<void(TCxProtocol& sender, int code)>;
    using StatusEvent = std::function<void(TCxProtocol& sender, unsigned options)>;

    TCxProtocol();
    ~TCxProtocol();  // cancels a transfer in progress
    TCxProtocol(const TCxProtocol&) = delete;
    TCxProtocol& operator=(const TCxProtocol&) = delete;

    // --- properties -------------------------------------------------------------------------
    TProtocolPort* ComPort() const { return port_; }
    void SetComPort(TProtocolPort* port);
    void SetComPort(TCxComPort* port);  // the program's serial port
    TProtocolType ProtocolType() const { return protocolType_; }
    void SetProtocolType(TProtocolType type);
    const std::string& DestinationDirectory() const { return destinationDirectory_; }
    void SetDestinationDirectory(const std::string& dir);
    std::string FileMask = "*.*";  // sending only
    TBlockCheckMethod BlockCheckMethod() const { return blockCheckMethod_; }
    void SetBlockCheckMethod(TBlockCheckMethod m);
    int32_t HandshakeRetry() const { return handshakeRetry_; }
    void SetHandshakeRetry(int32_t v);
    int32_t HandshakeWait() const { return handshakeWait_; }
    void SetHandshakeWait(int32_t ticks);
    int32_t TransmitTimeout() const { return transmitTimeout_; }
    void SetTransmitTimeout(int32_t ticks);
    int32_t FinishWait() const { return finishWait_; }
    void SetFinishWait(int32_t ticks);
    int32_t Overhead = 0;
    TWriteFailAction WriteFailAction = wfWriteRename;  // not consulted by the Zmodem receiver
    bool HonorDirectory() const { return honorDirectory_; }
    void SetHonorDirectory(bool on);
    bool AbortNoCarrier() const { return abortNoCarrier_; }
    void SetAbortNoCarrier(bool on);
    int32_t StatusInterval() const { return statusInterval_; }
    void SetStatusInterval(int32_t ticks);
    bool ZmodemOptionOverride() const { return zmodemOptionOverride_; }
    void SetZmodemOptionOverride(bool on);
    bool ZmodemSkipNoFile() const { return zmodemSkipNoFile_; }
    void SetZmodemSkipNoFile(bool on);
    TZmodemFileOptions ZmodemFileOption() const { return zmodemFileOption_; }
    void SetZmodemFileOption(TZmodemFileOptions option);
    bool ZmodemRecover() const { return zmodemRecover_; }
    void SetZmodemRecover(bool on);
    bool Zmodem8K() const { return zmodem8K_; }
    void SetZmodem8K(bool on);
    int32_t ZmodemFinishRetry() const { return zmodemFinishRetry_; }
    void SetZmodemFinishRetry(int32_t v);
    bool UpcaseFileNames() const { return upcaseFileNames_; }
    void SetUpcaseFileNames(bool on);

    AcceptEvent OnProtocolAccept;
    CodeEvent OnProtocolError;
    CodeEvent OnProtocolFinish;
    CodeEvent OnProtocolLog;
    StatusEvent OnProtocolStatus;

    // --- operations ---------------------------------------------------------------------------
    // Starts a receive and returns at once. Nothing with ptNoProtocol; EPortNotAssigned
    // (-1005) without a port. A closed port finishes at once with -103.
    void StartReceive();
    // Cancels a transfer in progress: it then ends with log 2 for an open file and -6005.
    void CancelProtocol();

    // --- read-only progress -------------------------------------------------------------------
    std::string FileName() const;
    int64_t FileLength() const { return data_->SrcFileLen; }
    int64_t FileDate() const { return data_->SrcFileDate; }  // seconds since 1970
    int64_t BytesTransferred() const;
    int64_t BytesRemaining() const;
    int64_t InitialPosition() const { return data_->InitFilePos; }
    int32_t ElapsedTicks() const;
    int ProtocolStatus() const { return data_->ProtocolStatus; }
    int ProtocolError() const { return data_->ProtocolError; }
    int BlockErrors() const { return data_->BlockErrors; }
    int TotalErrors() const { return data_->TotalErrors; }
    bool InProgress() const { return inProgress_; }
    int32_t ActualBPS() const { return actualCps_ * 10; }
    int32_t EstimateTransferSecs(int64_t size) const;

  private:
    class Messages;
    void ApplyZmodemOptions();
    void PortChanged(bool opening);
    // Takes the record's lock on the main thread while letting the event loop serve the
    // dispatch thread, which may be waiting for the main thread with the lock held.
    std::unique_lock<std::mutex> LockRecord();
    void CancelLocked(bool portClosing);

    std::shared_ptr<TProtocolData> data_;
    std::unique_ptr<Messages> messages_;
    std::shared_ptr<bool> alive_;  // lets queued calls see that the component is gone
    TProtocolPort* port_ = nullptr;
    std::unique_ptr<TProtocolPort> ownedLink_;  // when bound to a TCxComPort
    int portUserId_ = -1;
    std::atomic<bool> inProgress_{false};
    int32_t actualCps_ = 0;

    TProtocolType protocolType_ = ptZmodem;
    std::string destinationDirectory_;
    TBlockCheckMethod blockCheckMethod_ = bcmCrc32;
    int32_t handshakeRetry_ = 10;
    int32_t handshakeWait_ = 182;
    int32_t transmitTimeout_ = 1092;
    int32_t finishWait_ = 364;
    bool honorDirectory_ = false;
    bool abortNoCarrier_ = false;
    int32_t statusInterval_ = 18;
    bool zmodemOptionOverride_ = false;
    bool zmodemSkipNoFile_ = false;
    TZmodemFileOptions zmodemFileOption_ = zfoWriteNewer;
    bool zmodemRecover_ = false;
    bool zmodem8K_ = false;
    int32_t zmodemFinishRetry_ = 0;
    bool upcaseFileNames_ = true;
};

}  // namespace qx
