#include "protocol/cx_protocol.h"

#include <chrono>
#include <thread>

#include "comm/cx_exception.h"
#include "comm/dispatcher.h"
#include "platform/event_loop.h"
#include "protocol/com_port_link.h"
#include "protocol/zmodem_receiver.h"

namespace qx {

namespace {
constexpr int kSendTimeoutMs = 1000;
constexpr int64_t kTickMs = 55;
}  // namespace

// The engine's messages, turned into the component's events on the main thread. Runs in the
// dispatch thread (or on the main thread for a local cancel, where the sends run at once).
class TCxProtocol::Messages : public TProtocolEvents {
  public:
    explicit Messages(TCxProtocol& owner) : owner_(owner), alive_(owner.alive_) {}

    void ProtocolStatus(TProtocolData&, unsigned options) override {
        if (options & csFirstReport) owner_.inProgress_ = true;
        if (options & csLastReport) owner_.inProgress_ = false;
        Send([options](TCxProtocol& c) {
            if (c.OnProtocolStatus) c.OnProtocolStatus(c, options);
        });
    }

    void ProtocolLog(TProtocolData&, int code) override {
        Send([code](TCxProtocol& c) {
            if (c.OnProtocolLog) c.OnProtocolLog(c, code);
        });
    }

    bool ProtocolAccept(TProtocolData&, std::string& path) override {
        bool accept = false;
        std::string name = path;
        const bool answered = Send([&](TCxProtocol& c) {
            accept = true;
            if (c.OnProtocolAccept) c.OnProtocolAccept(c, accept, name);
        });
        if (!answered || !accept) return false;
        path = name.substr(0, 255);
        return true;
    }

    void ProtocolError(TProtocolData&, int code) override {
        Send([code](TCxProtocol& c) {
            if (c.OnProtocolError) c.OnProtocolError(c, code);
        });
    }

    void ProtocolFinish(TProtocolData&, int code) override {
        std::weak_ptr<bool> alive = alive_;
        TCxProtocol* owner = &owner_;
        PostToMain([alive, owner, code] {
            if (alive.expired()) return;
            if (owner->port_ != nullptr && owner->portUserId_ >= 0) {
                owner->port_->RemovePortUser(owner->portUserId_);
                owner->portUserId_ = -1;
            }
            // The engine held the port's data triggers on what follows the transfer; they go
            // on once the program has armed its own for it (in the handler), also when it throws.
            struct Release {
                std::weak_ptr<bool> alive;
                TCxProtocol* owner;
                ~Release() {
                    if (alive.expired() || owner->port_ == nullptr) return;
                    if (TCxDispatcher* d = owner->port_->PortDispatcher()) d->ReleaseDataScan();
                }
            } release{alive, owner};
            if (owner->OnProtocolFinish) owner->OnProtocolFinish(*owner, code);
        });
    }

  private:
    template <typename Fn>
    bool Send(Fn fn) {
        std::weak_ptr<bool> alive = alive_;
        TCxProtocol* owner = &owner_;
        return SendToMain(
            [alive, owner, &fn] {
                if (!alive.expired()) fn(*owner);
            },
            kSendTimeoutMs);
    }

    TCxProtocol& owner_;
    std::weak_ptr<bool> alive_;
};

TCxProtocol::TCxProtocol()
    : data_(std::make_shared<TProtocolData>()), alive_(std::make_shared<bool>(true)) {
    messages_ = std::make_unique<Messages>(*this);
    data_->Events = messages_.get();
    SetProtocolType(ptZmodem);
}

TCxProtocol::~TCxProtocol() {
    // No event reaches the program from a component that is going away.
    alive_.reset();
    if (data_->Running) {
        auto lock = LockRecord();
        CancelLocked(true);
    }
    if (port_ != nullptr && portUserId_ >= 0) port_->RemovePortUser(portUserId_);
    std::lock_guard lock(data_->Lock);
    data_->Events = nullptr;
}

std::unique_lock<std::mutex> TCxProtocol::LockRecord() {
    std::unique_lock lock(data_->Lock, std::defer_lock);
    while (!lock.try_lock()) {
        ProcessPendingMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return lock;
}

void TCxProtocol::CancelLocked(bool portClosing) {
    if (!data_->Running) return;
    if (portClosing) data_->PortClosing = true;
    zpReceiveOn(*data_, MsgProtocolCancel, 0);
}

void TCxProtocol::SetComPort(TProtocolPort* port) {
    if (port == port_) return;
    if (port_ != nullptr && portUserId_ >= 0) port_->RemovePortUser(portUserId_);
    portUserId_ = -1;
    port_ = port;
    if (ownedLink_ && ownedLink_.get() != port) ownedLink_.reset();
}

void TCxProtocol::SetComPort(TCxComPort* port) {
    if (port == nullptr) {
        SetComPort(static_cast<TProtocolPort*>(nullptr));
        return;
    }
    auto link = std::make_unique<TCxComPortLink>(*port);
    SetComPort(link.get());
    ownedLink_ = std::move(link);
}

void TCxProtocol::SetProtocolType(TProtocolType type) {
    std::lock_guard lock(data_->Lock);
    if (type == ptZmodem) {
        data_->Flags = (data_->Flags & ~apZmodem8K) | (zmodem8K_ ? apZmodem8K : 0);
        RaiseCxError(zpReinit(*data_));
        protocolType_ = type;
        ApplyZmodemOptions();
    } else {
        zpDone(*data_);
        protocolType_ = type;
    }
}

void TCxProtocol::ApplyZmodemOptions() {
    TProtocolData& p = *data_;
    p.HandshakeWait = handshakeWait_;
    p.HandshakeRetry = handshakeRetry_;
    p.TransmitTimeout = transmitTimeout_;
    p.FinishWait = finishWait_;
    p.StatusInterval = statusInterval_;
    p.UpcaseFileNames = upcaseFileNames_;
    p.Flags = (p.Flags & ~(apHonorDirectory | apAbortNoCarrier)) |
              (honorDirectory_ ? apHonorDirectory : 0) | (abortNoCarrier_ ? apAbortNoCarrier : 0);
    zpSetFileMgmtOptions(p, zmodemOptionOverride_, zmodemSkipNoFile_,
                         static_cast<uint8_t>(zmodemFileOption_));
    zpSetRecoverOption(p, zmodemRecover_);
    zpSetBigSubpacketOption(p, zmodem8K_);
    zpSetZmodemFinishWait(p, 0, zmodemFinishRetry_);
}

void TCxProtocol::SetDestinationDirectory(const std::string& dir) {
    destinationDirectory_ = dir.substr(0, 255);
    std::lock_guard lock(data_->Lock);
    data_->DestDirectory = destinationDirectory_;
}

void TCxProtocol::SetBlockCheckMethod(TBlockCheckMethod m) {
    if (!inProgress_) blockCheckMethod_ = m;  // the receiver always offers CRC-32
}

void TCxProtocol::SetHandshakeRetry(int32_t v) {
    handshakeRetry_ = v;
    std::lock_guard lock(data_->Lock);
    data_->HandshakeRetry = v;
}

void TCxProtocol::SetHandshakeWait(int32_t ticks) {
    handshakeWait_ = ticks;
    std::lock_guard lock(data_->Lock);
    data_->HandshakeWait = ticks;
}

void TCxProtocol::SetTransmitTimeout(int32_t ticks) {
    transmitTimeout_ = ticks;
    std::lock_guard lock(data_->Lock);
    data_->TransmitTimeout = ticks;
}

void TCxProtocol::SetFinishWait(int32_t ticks) {
    finishWait_ = ticks;
    std::lock_guard lock(data_->Lock);
    data_->FinishWait = ticks;
}

void TCxProtocol::SetHonorDirectory(bool on) {
    honorDirectory_ = on;
    std::lock_guard lock(data_->Lock);
    data_->Flags = on ? data_->Flags | apHonorDirectory : data_->Flags & ~apHonorDirectory;
}

void TCxProtocol::SetAbortNoCarrier(bool on) {
    abortNoCarrier_ = on;
    std::lock_guard lock(data_->Lock);
    data_->Flags = on ? data_->Flags | apAbortNoCarrier : data_->Flags & ~apAbortNoCarrier;
}

void TCxProtocol::SetStatusInterval(int32_t ticks) {
    statusInterval_ = ticks;
    std::lock_guard lock(data_->Lock);
    data_->StatusInterval = ticks;
}

void TCxProtocol::SetZmodemOptionOverride(bool on) {
    std::lock_guard lock(data_->Lock);
    RaiseCxError(zpSetFileMgmtOptions(*data_, on, zmodemSkipNoFile_,
                                      static_cast<uint8_t>(zmodemFileOption_)));
    zmodemOptionOverride_ = on;
}

void TCxProtocol::SetZmodemSkipNoFile(bool on) {
    std::lock_guard lock(data_->Lock);
    RaiseCxError(zpSetFileMgmtOptions(*data_, zmodemOptionOverride_, on,
                                      static_cast<uint8_t>(zmodemFileOption_)));
    zmodemSkipNoFile_ = on;
}

void TCxProtocol::SetZmodemFileOption(TZmodemFileOptions option) {
    std::lock_guard lock(data_->Lock);
    RaiseCxError(zpSetFileMgmtOptions(*data_, zmodemOptionOverride_, zmodemSkipNoFile_,
                                      static_cast<uint8_t>(option)));
    zmodemFileOption_ = option;
}

void TCxProtocol::SetZmodemRecover(bool on) {
    std::lock_guard lock(data_->Lock);
    RaiseCxError(zpSetRecoverOption(*data_, on));
    zmodemRecover_ = on;
}

void TCxProtocol::SetZmodem8K(bool on) {
    std::lock_guard lock(data_->Lock);
    RaiseCxError(zpSetBigSubpacketOption(*data_, on));
    zmodem8K_ = on;
}

void TCxProtocol::SetZmodemFinishRetry(int32_t v) {
    std::lock_guard lock(data_->Lock);
    RaiseCxError(zpSetZmodemFinishWait(*data_, 0, v));
    zmodemFinishRetry_ = v;
}

void TCxProtocol::SetUpcaseFileNames(bool on) {
    upcaseFileNames_ = on;
    std::lock_guard lock(data_->Lock);
    data_->UpcaseFileNames = on;
}

void TCxProtocol::StartReceive() {
    if (protocolType_ == ptNoProtocol) return;
    if (port_ == nullptr) RaiseCxError(pe::PortNotAssigned);
    if (protocolType_ != ptZmodem) RaiseCxError(pe::ProtocolNotSupported);
    if (data_->Running) return;
    if (portUserId_ < 0)
        portUserId_ = port_->AddPortUser([this](bool opening) { PortChanged(opening); });
    if (actualCps_ == 0) actualCps_ = port_->PortBaud() / 10;
    {
        std::lock_guard lock(data_->Lock);
        data_->Port = port_->PortOpen() ? port_->PortDispatcher() : nullptr;
        data_->DestDirectory = destinationDirectory_;
    }
    zpStartReceive(data_);
}

void TCxProtocol::CancelProtocol() {
    if (!data_->Running) return;
    auto lock = LockRecord();
    CancelLocked(false);
}

void TCxProtocol::PortChanged(bool opening) {
    if (opening || !data_->Running) return;
    auto lock = LockRecord();
    CancelLocked(true);
}

std::string TCxProtocol::FileName() const {
    std::lock_guard lock(data_->InfoLock);
    return data_->PathName;
}

int64_t TCxProtocol::BytesTransferred() const {
    int64_t bytes = data_->BytesTransferred;
    TCxDispatcher* port = data_->Running ? data_->Port : nullptr;
    const int64_t block = static_cast<int64_t>(data_->BlockLen);
    if (port != nullptr && block > 0) {
        const int64_t queued = static_cast<int64_t>(port->OutBuffUsed());
        if (queued >= block) bytes += (queued / block) * Overhead - queued;
    }
    return bytes < 0 ? 0 : bytes;
}

int64_t TCxProtocol::BytesRemaining() const {
    const int64_t r = FileLength() - BytesTransferred();
    return r < 0 ? 0 : r;
}

int32_t TCxProtocol::ElapsedTicks() const {
    return static_cast<int32_t>((zpNowMs() - data_->TransferStartMs) / kTickMs);
}

int32_t TCxProtocol::EstimateTransferSecs(int64_t size) const {
    if (actualCps_ <= 0) return 0;
    return static_cast<int32_t>(size / actualCps_);
}

}  // namespace qx
