#include "protocol/zmodem_receiver.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <new>

#include "comm/dispatcher.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "protocol/zmodem_file.h"
#include "protocol/zmodem_frames.h"

namespace qx {

using namespace zm;

namespace {

// Records by port number, so the plain trigger procedure finds its record. Shared ownership
// lets a notification already on its way finish safely while the owner lets go of a record.
std::mutex gRecordsLock;
std::map<int, std::shared_ptr<TProtocolData>> gRecords;  // guarded by gRecordsLock

enum class TTrigger {
    tNone,
    tProtocolTimer,
    tStatusTimer,
    tOtherTimer,
    tOutUsed,
    tCarrier,
    tCancel
};

void ArmTimer(TProtocolData& p) {
    p.Port->SetTimerTrigger(p.ProtocolTimer, p.HandshakeWait, true);
    p.RxAtArm = p.RxCount;
}

void Report(TProtocolData& p, unsigned options) {
    if (p.Events != nullptr) p.Events->ProtocolStatus(p, options);
}

void LogFile(TProtocolData& p, int code) {
    if (p.Events != nullptr) p.Events->ProtocolLog(p, code);
}

// Records the first error of the transfer and reports it.
void RecordError(TProtocolData& p, int code) {
    if (p.ProtocolError == 0) p.ProtocolError = code;
    if (p.Events != nullptr) p.Events->ProtocolError(p, code);
}

void CountError(TProtocolData& p) {
    ++p.BlockErrors;
    ++p.TotalErrors;
}

// Retry (a, b) of the state table.
void Retry(TProtocolData& p, TZmodemState again, TZmodemState giveUp) {
    CountError(p);
    if (p.BlockErrors <= p.HandshakeRetry) {
        p.State = again;
        return;
    }
    SendCancel(p);
    RecordError(p, pe::TooManyErrors);
    p.State = giveUp;
}

// A subpacket phase (ZFILE, ZSINIT) or the data phase gives up: the sender is cancelled and
// the transfer fails, rather than ending as if it had succeeded.
void GiveUp(TProtocolData& p) {
    SendCancel(p);
    RecordError(p, pe::TooManyErrors);
    p.State = rzError;
}

// The subpacket of a ZFILE or ZSINIT header. A time-out is answered with ZNAK (then state
// afterNak) until the handshake retry count runs out; a good subpacket moves on to next, a bad
// one asks for the file again.
void CollectHandshakeSubpacket(TProtocolData& p, bool timedOut, TZmodemState next,
                               TZmodemState afterNak) {
    if (timedOut) {
        CountError(p);
        if (p.BlockErrors < p.HandshakeRetry) {
            SendHexPosHeader(p, ZNAK, 0);
            ArmTimer(p);
            p.State = afterNak;
        } else {
            GiveUp(p);
        }
        return;
    }
    switch (CollectBlock(p)) {
        case TBlockResult::brGood:
            p.State = next;
            break;
        case TBlockResult::brBadCrc:
        case TBlockResult::brTooLong:
            p.State = rzRqstFile;
            break;
        case TBlockResult::brCancel:
            p.State = rzError;
            break;
        case TBlockResult::brNone:
            break;
    }
}

// Ends the file after its ZEOF: writes the rest, sets the time, logs 1 (or 2).
void EndFile(TProtocolData& p) {
    const int r = FinishWriting(p, true);
    if (r < 0) {
        RecordError(p, r);
        LogFile(p, lfReceiveFail);
        SendCancel(p);
        p.State = rzError;
        return;
    }
    LogFile(p, p.ProtocolError == 0 ? lfReceiveOk : lfReceiveFail);
    p.State = rzRqstFile;
}

// The finish code: the recorded error, else the one the status stands for (0: success).
int FinishCode(const TProtocolData& p) {
    int code = p.ProtocolError;
    if (code == 0) {
        switch (p.ProtocolStatus) {
            case psFileRejected:
                code = pe::FileRejected;
                break;
            case psCantWriteFile:
                code = pe::CantWriteFile;
                break;
            case psTimeout:
                code = pe::FatalTimeout;
                break;
            case psUnrecoverable:
                code = pe::Unrecoverable;
                break;
            case psCancelRequested:
                code = pe::CancelRequested;
                break;
            case psTooManyErrors:
                code = pe::SequenceError;
                break;
            case psAbortNoCarrier:
                code = pe::AbortNoCarrier;
                break;
            case psAbort:
                code = pe::ProtocolAbort;
                break;
            default:
                break;
        }
    }
    return code;
}

void Finish(TProtocolData& p) {
    TCxDispatcher* port = p.Port;
    if (port != nullptr) {
        for (int* h : {&p.ProtocolTimer, &p.StatusTimer, &p.OutBuffFreeTrigger,
                       &p.OutBuffUsedTrigger, &p.CarrierTrigger}) {
            if (*h > 0) port->RemoveTrigger(*h);
            *h = 0;
        }
        port->DeregisterProcTriggerHandler(zpReceive);
        port->SetDataPointer(nullptr, 1);
        std::lock_guard lock(gRecordsLock);
        auto it = gRecords.find(port->PortNumber());
        if (it != gRecords.end() && it->second.get() == &p) gRecords.erase(it);
    }
    const int code = FinishCode(p);
    p.ProtocolError = code;
    p.State = rzDone;
    p.Running = false;
    if (p.Events != nullptr) p.Events->ProtocolFinish(p, code);
}

// Announces and opens the file described by the ZFILE subpacket.
void StartFile(TProtocolData& p) {
    const TFileInfo info = ParseFileInfo(p.DataBlock.data(), p.DataLen);
    const std::string local =
        LocalFileName(info.Name, p.UpcaseFileNames, (p.Flags & apHonorDirectory) != 0);
    std::string path = local.empty() ? std::string() : JoinPath(p.DestDirectory, local);
    if (path.size() > 255) path.resize(255);
    {
        std::lock_guard lock(p.InfoLock);
        p.PathName = path.empty() ? info.Name : path;
    }
    p.SrcFileLen = info.Size;
    p.SrcFileDate = info.Date;
    p.BytesRemaining = info.Size;
    p.BytesTransferred = 0;
    p.FileOfs = 0;
    p.InitFilePos = 0;
    p.TransferStartMs = zpNowMs();
    p.ProtocolStatus = psOK;
    p.ForceStatus = true;
    LogFile(p, lfReceiveStart);

    // A name that cannot be written safely is refused without asking.
    bool accepted = !path.empty() && p.Events != nullptr && p.Events->ProtocolAccept(p, path);
    if (accepted) {
        if (path.size() > 255) path.resize(255);
        {
            std::lock_guard lock(p.InfoLock);
            p.PathName = path;
        }
        const int r = PrepareWriting(p);
        if (r < 0) {
            RecordError(p, r);
            LogFile(p, lfReceiveFail);
            SendCancel(p);
            p.State = rzError;
            return;
        }
        const int st = p.ProtocolStatus;
        accepted = st != psNoSuchFile && st != psCantWriteFile;
    }
    if (!accepted) {
        p.HeaderType = ZSKIP;
        p.ProtocolStatus = psSkipFile;
        LogFile(p, lfReceiveSkip);
        p.State = rzRqstFile;
        return;
    }
    p.TransferStartMs = zpNowMs();
    p.SyncOfs = -1;
    p.SyncRounds = 0;
    p.State = rzSync;
}

// A time-out of the data phase. The sender is taken for gone when a second wait in a row has
// brought nothing at all (not a byte since the timer was armed): the transfer fails after two
// handshake waits of silence, instead of resending ZRPOS for each of the retry rounds.
bool SenderGone(TProtocolData& p) {
    p.SilentWaits = p.RxCount == p.RxAtArm ? p.SilentWaits + 1 : 0;
    if (p.SilentWaits < 2) return false;
    SendCancel(p);
    p.ProtocolStatus = psTimeout;
    RecordError(p, pe::FatalTimeout);
    p.State = rzError;
    return true;
}

// A byte after our ZFIN: the sender's "OO" ends the transfer; a header the sender repeats
// (and line ends, flow control) is passed over; anything else is the board talking, the "OO"
// was lost, and the transfer is over without waiting out the finish wait. Returns true when
// the byte belongs to the transfer (consume it).
bool FinishByte(TProtocolData& p, uint8_t c) {
    const uint8_t b = c & 0x7F;
    if (p.OCount == 0 && b == ZPAD) p.FinishInHeader = true;
    if (p.FinishInHeader) {
        if (b == '\n') p.FinishInHeader = false;
        return true;
    }
    if (c == 'O') {
        if (++p.OCount >= 2) p.State = rzCleanup;
        return true;
    }
    const bool noise = b == '\r' || b == '\n' || b == XON || b == XOFF;
    if (noise && p.OCount == 0) return true;
    p.State = rzCleanup;
    return false;
}

// ZRPOS at the current offset. Rounds that make no progress are bounded by the handshake
// retry count, so a sender that never gets a subpacket through cannot keep us forever.
void Sync(TProtocolData& p) {
    if (p.FileOfs == p.SyncOfs) {
        if (++p.SyncRounds > p.HandshakeRetry) {
            GiveUp(p);
            return;
        }
    } else {
        p.SyncOfs = p.FileOfs;
        p.SyncRounds = 0;
    }
    // Read, not flushed: a sender that gave up and sent its cancel meanwhile must be heard.
    if (DiscardInput(p)) {
        p.State = rzError;
        return;
    }
    SendHexPosHeader(p, ZRPOS, p.FileOfs);
    p.BytesRemaining = std::max<int64_t>(0, p.SrcFileLen - p.FileOfs);
    p.BytesTransferred = p.FileOfs.load();
    p.BlockErrors = 0;
    ArmTimer(p);
    p.State = rzStartData;
}

void ResyncWithAttention(TProtocolData& p) {
    CountError(p);
    SendAttention(p);
    p.State = rzSync;
}

void WaitFileHeader(TProtocolData& p) {
    switch (p.RcvFrame) {
        case ZRQINIT:
            p.State = rzRqstFile;
            break;
        case ZSINIT:
            p.BlockErrors = 0;
            StartBlock(p);
            if (p.HexHeader) {
                p.DiscardCount = 2;
                p.State = rzSendBlockPrep;
            } else {
                p.State = rzSendBlock;
            }
            break;
        case ZFILE:
            p.ConvertOpts = p.RcvHeader[ZF0];
            p.TransportOpts = p.RcvHeader[ZF2];
            if (!p.FileMgmtOverride) p.FileMgmtOpts = p.RcvHeader[ZF1];
            if ((p.FileMgmtOpts & ZMMASK) == 0)
                p.FileMgmtOpts = static_cast<uint8_t>((p.FileMgmtOpts & ~ZMMASK) | zfoWriteProtect);
            p.BlockErrors = 0;
            p.TotalErrors = 0;
            StartBlock(p);
            p.State = rzCollectFile;
            break;
        case ZFIN:
        case ZCOMPL:
            p.BlockErrors = 0;
            p.State = rzSendFinish;
            break;
        case ZFREECNT: {
            const int64_t free = FreeDiskSpace(p.DestDirectory.empty() ? "." : p.DestDirectory);
            const int64_t v = free < 0 || free > 0xFFFFFFFFLL ? 0xFFFFFFFFLL : free;
            SendHexPosHeader(p, ZACK, v);
            break;
        }
        case ZCOMMAND:
            SendHexPosHeader(p, ZNAK, 0);  // commands from the sender are never run
            break;
        default:
            break;
    }
    if (p.State != rzSendFinish) ArmTimer(p);
}

// One state step. timedOut: the protocol timer fired in this call; header: the header
// collection result of this pass (for the states that collect headers).
void Step(TProtocolData& p, TTrigger trig, THeaderResult header) {
    const bool timedOut = trig == TTrigger::tProtocolTimer;
    switch (p.State) {
        case rzRqstFile:
            p.CanCount = 0;
            p.TransHeader[ZF3] = 0;
            p.TransHeader[ZF2] = 0;
            p.TransHeader[ZF1] = 0;
            p.TransHeader[ZF0] = CANFDX | CANOVIO | CANBRK | CANFC32;
            p.Port->SetTimerTrigger(p.ProtocolTimer, 9, true);
            p.State = rzDelay;
            break;

        case rzDelay:
            if (timedOut || ByteWaiting(p)) {
                SendHexHeader(p, p.HeaderType, p.TransHeader);
                // A ZSKIP answers one file only; later requests are ZRINIT again.
                p.HeaderType = ZRINIT;
                ArmTimer(p);
                p.State = rzWaitFile;
            }
            break;

        case rzWaitFile:
            if (timedOut || header == THeaderResult::hrBadCrc)
                Retry(p, rzRqstFile, rzCleanup);
            else if (header == THeaderResult::hrGot)
                WaitFileHeader(p);
            break;

        case rzCollectFile:
            CollectHandshakeSubpacket(p, timedOut, rzStartFile, rzCollectFile);
            break;

        case rzSendBlockPrep:
            if (timedOut) {
                CountError(p);
                if (p.BlockErrors < p.HandshakeRetry)
                    p.State = rzRqstFile;
                else
                    GiveUp(p);
                break;
            }
            {
                uint8_t c;
                while (p.DiscardCount > 0 && NextByte(p, c)) --p.DiscardCount;
            }
            if (p.DiscardCount == 0) {
                StartBlock(p);
                p.State = rzSendBlock;
            }
            break;

        case rzSendBlock:
            CollectHandshakeSubpacket(p, timedOut, rzSendInit, rzWaitFile);
            break;

        case rzSendInit:
            std::memset(p.AttentionStr, 0, sizeof p.AttentionStr);
            std::memcpy(p.AttentionStr, p.DataBlock.data(),
                        std::min(p.DataLen, sizeof p.AttentionStr));
            p.AttentionStr[sizeof p.AttentionStr - 1] = 0;
            p.EscapeAll = (p.RcvHeader[ZF0] & TESCCTL) != 0;
            SendHexPosHeader(p, ZACK, 0);
            ArmTimer(p);
            p.State = rzWaitFile;
            break;

        case rzStartFile:
            StartFile(p);
            break;

        case rzSync:
            Sync(p);
            break;

        case rzStartData:
            if (timedOut && SenderGone(p)) break;
            if (timedOut || header == THeaderResult::hrBadCrc) {
                Retry(p, rzSync, rzError);
            } else if (header == THeaderResult::hrGot) {
                switch (p.RcvFrame) {
                    case ZDATA:
                        if (p.LastFileOfs == p.FileOfs) {
                            ArmTimer(p);
                            StartBlock(p);
                            p.State = rzCollectData;
                        } else {
                            ResyncWithAttention(p);
                        }
                        break;
                    case ZNAK:
                        CountError(p);
                        p.State = rzSync;
                        break;
                    case ZEOF:
                        p.ProtocolStatus = psEndFile;
                        p.State = rzEndOfFile;
                        break;
                    case ZFILE:
                        p.State = rzSync;
                        break;
                    default:
                        ResyncWithAttention(p);
                        break;
                }
            }
            break;

        case rzCollectData: {
            if (timedOut) {
                if (SenderGone(p)) break;
                ResyncWithAttention(p);
                break;
            }
            if (!ByteWaiting(p)) break;
            ArmTimer(p);
            const TBlockResult r = CollectBlock(p);
            if (r == TBlockResult::brNone) break;
            if (r == TBlockResult::brCancel) {
                p.State = rzError;
                break;
            }
            if (r != TBlockResult::brGood) {
                if (r == TBlockResult::brBadCrc) CountError(p);
                SendAttention(p);
                p.State = rzSync;
                break;
            }
            const int w = WriteBlock(p, p.DataBlock.data(), p.DataLen);
            if (w < 0) {
                RecordError(p, w);
                SendCancel(p);
                p.State = rzError;
                break;
            }
            switch (p.BlockEnd) {
                case ZCRCE:
                    p.State = rzWaitEof;
                    break;
                case ZCRCW:
                    SendHexPosHeader(p, ZACK, p.FileOfs);
                    p.State = rzStartData;
                    break;
                case ZCRCQ:
                    SendHexPosHeader(p, ZACK, p.FileOfs);
                    StartBlock(p);
                    break;
                default:
                    StartBlock(p);
                    break;
            }
            break;
        }

        case rzWaitEof:
            if (timedOut && SenderGone(p)) break;
            if (timedOut || header == THeaderResult::hrBadCrc) {
                Retry(p, rzSync, rzError);
            } else if (header == THeaderResult::hrGot) {
                if (p.RcvFrame != ZEOF) {
                    ResyncWithAttention(p);
                } else if (p.LastFileOfs != p.FileOfs) {
                    // The sender's end is not ours: data is missing, never report it received.
                    p.State = rzSync;
                } else {
                    p.ProtocolStatus = psEndFile;
                    p.ForceStatus = true;
                    EndFile(p);
                }
            }
            break;

        case rzEndOfFile:
            if (p.FileOfs == p.LastFileOfs) {
                p.ForceStatus = true;
                EndFile(p);
            } else {
                p.State = rzSync;
            }
            break;

        case rzSendFinish:
            SendHexPosHeader(p, ZFIN, p.FileOfs);
            p.Port->SetTimerTrigger(p.ProtocolTimer, p.FinishWait, true);
            p.OCount = 0;
            p.FinishInHeader = false;
            p.State = rzCollectFinish;
            break;

        case rzCollectFinish:
            if (timedOut) {
                CountError(p);
                p.State = p.BlockErrors < p.FinishRetry ? rzSendFinish : rzCleanup;
                break;
            }
            {
                // Bytes are looked at before they are taken: what follows the transfer stays
                // in the port for the program.
                while (p.State == rzCollectFinish && p.WorkPos < p.WorkLen)
                    FinishByte(p, p.WorkBlock[p.WorkPos++]);
                uint8_t c;
                while (p.State == rzCollectFinish && p.Port->PeekChar(c, 1) >= 0) {
                    if (FinishByte(p, c)) NextByte(p, c, false);
                }
            }
            break;

        case rzError:
            if (p.FileOpen) {
                FinishWriting(p, false);
                LogFile(p, lfReceiveFail);
            }
            if (p.PortClosing || p.Port->OutBuffUsed() == 0) {
                p.State = rzCleanup;
            } else {
                p.Port->SetTimerTrigger(p.ProtocolTimer, p.TransmitTimeout, true);
                p.Port->SetStatusTrigger(p.OutBuffUsedTrigger, 0, true);
                p.State = rzWaitCancel;
            }
            break;

        case rzWaitCancel:
            p.State = rzCleanup;
            break;

        case rzCleanup:
            Report(p, csLastReport);
            // After a failure the line may still carry the sender's data; after a good end
            // whatever follows is the board's and is kept.
            if (FinishCode(p) != 0) FlushInput(p);
            // The bytes left unread wait for the program's triggers (released by the driver
            // once the finish has been handled).
            p.Port->HoldDataScan();
            Finish(p);
            break;

        default:
            break;
    }
}

bool CancelRecorded(const TProtocolData& p) {
    return p.CancelSeen || p.State == rzError || p.State == rzWaitCancel || p.State == rzCleanup ||
           p.State == rzDone;
}

}  // namespace

int64_t zpNowMs() {
    return MonotonicMilliseconds();
}

int zpReinit(TProtocolData& p) {
    const bool big = (p.Flags & apZmodem8K) != 0;
    p.BlockLen = big ? 8192 : 1024;
    try {
        p.DataBlock.assign(p.BlockLen, 0);
        p.WorkBlock.assign(p.BlockLen * 2, 0);
    } catch (const std::bad_alloc&) {
        p.DataBlock.clear();
        p.WorkBlock.clear();
        p.ZmodemReady = false;
        return pe::OutOfMemory;
    }
    p.WorkPos = p.WorkLen = 0;
    p.HandshakeWait = 1092;
    p.TransmitTimeout = 1092;
    p.FinishWait = 364;
    p.HandshakeRetry = 10;
    p.StatusInterval = 10;
    p.FileMgmtOpts = zfoWriteNewer;
    p.FileMgmtOverride = false;
    p.ReceiverRecover = false;
    p.SkipNoFile = false;
    p.FinishRetry = 3;
    p.ZmodemReady = true;
    return 0;
}

void zpDone(TProtocolData& p) {
    p.DataBlock.clear();
    p.DataBlock.shrink_to_fit();
    p.WorkBlock.clear();
    p.WorkBlock.shrink_to_fit();
    p.ZmodemReady = false;
}

int zpSetFileMgmtOptions(TProtocolData& p, bool override, bool skipNoFile, uint8_t option) {
    if (!p.ZmodemReady) return pe::ProtocolNotSupported;
    p.FileMgmtOverride = override;
    p.SkipNoFile = skipNoFile;
    p.FileMgmtOpts = static_cast<uint8_t>((option & ZMMASK) | (skipNoFile ? ZMSKNOLOC : 0));
    return 0;
}

int zpSetRecoverOption(TProtocolData& p, bool on) {
    if (!p.ZmodemReady) return pe::ProtocolNotSupported;
    p.ReceiverRecover = on;
    return 0;
}

int zpSetBigSubpacketOption(TProtocolData& p, bool on) {
    if (!p.ZmodemReady) return pe::ProtocolNotSupported;
    if (on)
        p.Flags |= apZmodem8K;
    else
        p.Flags &= ~apZmodem8K;
    const size_t len = on ? 8192 : 1024;
    try {
        p.DataBlock.assign(len, 0);
        p.WorkBlock.assign(len * 2, 0);
    } catch (const std::bad_alloc&) {
        return pe::OutOfMemory;
    }
    p.BlockLen = len;
    p.WorkPos = p.WorkLen = 0;
    return 0;
}

int zpSetZmodemFinishWait(TProtocolData& p, int32_t ticks, int retries) {
    if (!p.ZmodemReady) return pe::ProtocolNotSupported;
    if (ticks != 0) p.FinishWait = ticks;
    p.FinishRetry = retries;
    return 0;
}

int zpPrepareReceive(TProtocolData& p) {
    p.BytesTransferred = 0;
    p.BytesRemaining = 0;
    p.SrcFileLen = 0;
    p.FileOfs = 0;
    p.InitFilePos = 0;
    p.BlockErrors = 0;
    p.TotalErrors = 0;
    p.ProtocolStatus = psOK;
    p.ProtocolError = 0;
    p.ForceStatus = false;
    p.CancelSeen = false;
    p.CanCount = 0;
    p.LastFrame = -1;
    p.LastFileOfs = 0;
    p.OCount = 0;
    p.SilentWaits = 0;
    std::memset(p.AttentionStr, 0, sizeof p.AttentionStr);
    Report(p, csFirstReport);
    p.TransferStartMs = zpNowMs();
    FlushInput(p);
    p.HeaderType = ZRINIT;
    p.State = rzRqstFile;
    return p.ProtocolError;
}

void zpReceiveOn(TProtocolData& p, unsigned msg, unsigned wParam) {
    if (p.State == rzDone || !p.Running || p.Port == nullptr) return;
    TTrigger trig = TTrigger::tNone;
    if (msg == MsgTriggerTimer) {
        if (static_cast<int>(wParam) == p.ProtocolTimer)
            trig = TTrigger::tProtocolTimer;
        else if (static_cast<int>(wParam) == p.StatusTimer)
            trig = TTrigger::tStatusTimer;
        else
            trig = TTrigger::tOtherTimer;
    } else if (msg == MsgTriggerStatus) {
        if (static_cast<int>(wParam) == p.CarrierTrigger)
            trig = TTrigger::tCarrier;
        else if (static_cast<int>(wParam) == p.OutBuffUsedTrigger)
            trig = TTrigger::tOutUsed;
    } else if (msg == MsgProtocolCancel) {
        trig = TTrigger::tCancel;
    }

    for (;;) {
        if (!CancelRecorded(p)) {
            if (trig == TTrigger::tCarrier) {
                p.ProtocolStatus = psAbortNoCarrier;
                p.ForceStatus = true;
                p.State = rzError;
            } else if (trig == TTrigger::tCancel) {
                SendCancel(p);
                p.State = rzError;
            }
        }

        if (p.ForceStatus || trig == TTrigger::tStatusTimer) {
            int32_t left = 0;
            if (p.Port->TimerTicksRemaining(p.StatusTimer, left) < 0 || left <= 0) {
                Report(p, 0);
                p.Port->SetTimerTrigger(p.StatusTimer, p.StatusInterval, true);
                p.ForceStatus = false;
            }
        }
        if (trig == TTrigger::tStatusTimer) return;

        THeaderResult header = THeaderResult::hrNone;
        if (p.State == rzWaitFile || p.State == rzStartData || p.State == rzWaitEof) {
            if (trig == TTrigger::tProtocolTimer) {
                p.ProtocolStatus = psTimeout;
            } else {
                p.ProtocolStatus = psNoHeader;
                if (trig != TTrigger::tOtherTimer) header = CollectHeader(p);
                if (header == THeaderResult::hrCancel || p.CancelSeen) p.State = rzError;
            }
        }

        Step(p, trig, header);

        const int st = p.ProtocolStatus;
        if (st == psNoHeader || st == psGotHeader) p.ProtocolStatus = psOK;

        switch (p.State) {
            case rzDelay:
            case rzWaitCancel:
            case rzDone:
                return;
            case rzWaitFile:
            case rzCollectFile:
            case rzSendBlockPrep:
            case rzSendBlock:
            case rzStartData:
            case rzCollectData:
            case rzWaitEof:
            case rzCollectFinish:
                if (!ByteWaiting(p)) return;
                break;
            default:
                break;
        }
        trig = TTrigger::tNone;
    }
}

void zpReceive(unsigned msg, unsigned wParam, int32_t lParam) {
    std::shared_ptr<TProtocolData> rec;
    {
        std::lock_guard lock(gRecordsLock);
        auto it = gRecords.find(static_cast<int>(static_cast<uint32_t>(lParam) >> 16));
        if (it == gRecords.end()) return;
        rec = it->second;
    }
    std::lock_guard lock(rec->Lock);
    zpReceiveOn(*rec, msg, wParam);
}

void zpStartReceive(const std::shared_ptr<TProtocolData>& rec) {
    TProtocolData& p = *rec;
    std::lock_guard lock(p.Lock);
    p.Running = true;
    p.PortClosing = false;
    p.ProtocolError = 0;
    p.ProtocolStatus = psOK;
    p.ProtocolTimer = p.StatusTimer = p.OutBuffFreeTrigger = p.OutBuffUsedTrigger =
        p.CarrierTrigger = 0;
    auto fail = [&](int code) {
        p.ProtocolError = code;
        Finish(p);
    };
    if (p.Port == nullptr) return fail(pe::FileNotOpen);
    TCxDispatcher& port = *p.Port;
    port.ChangeLengthTrigger(1);
    p.ProtocolTimer = port.AddTimerTrigger();
    p.StatusTimer = port.AddTimerTrigger();
    p.OutBuffFreeTrigger = port.AddStatusTrigger(3);
    p.OutBuffUsedTrigger = port.AddStatusTrigger(4);
    p.CarrierTrigger = port.AddStatusTrigger(1);
    for (int* h : {&p.ProtocolTimer, &p.StatusTimer, &p.OutBuffFreeTrigger, &p.OutBuffUsedTrigger,
                   &p.CarrierTrigger}) {
        if (*h <= 0) {
            *h = 0;
            return fail(pe::NoMoreTriggers);
        }
    }
    port.SetDataPointer(&p, 1);
    {
        std::lock_guard rl(gRecordsLock);
        gRecords[port.PortNumber()] = rec;
    }
    if (zpPrepareReceive(p) < 0) return Finish(p);
    zpReceiveOn(p, 0, 0);
    if (p.State == rzDone) return;
    port.SetTimerTrigger(p.StatusTimer, p.StatusInterval, true);
    if (p.Flags & apAbortNoCarrier) {
        if (!port.CheckDCD()) return fail(pe::AbortNoCarrier);
        port.SetStatusTrigger(p.CarrierTrigger, 0x80, true);
    }
    port.RegisterProcTriggerHandler(zpReceive);
}

}  // namespace qx
