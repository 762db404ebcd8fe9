#include "protocol/zmodem_frames.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <thread>

#include "comm/dispatcher.h"
#include "protocol/zmodem_crc.h"

namespace qx::zm {

namespace {

constexpr uint8_t kBS = 0x08;

// Bytes that need more than a copy inside a subpacket: ZDLE (also CAN) and XON/XOFF with or
// without bit 7 (flow-control noise that the sender never sends unescaped).
constexpr std::array<bool, 256> MakeSpecialTable() {
    std::array<bool, 256> t{};
    t[ZDLE] = true;
    t[XON] = t[XOFF] = t[XON | 0x80] = t[XOFF | 0x80] = true;
    return t;
}
constexpr auto kSpecial = MakeSpecialTable();

bool IsFlowControl(uint8_t c) {
    c &= 0x7F;
    return c == XON || c == XOFF;
}

// Counts CAN bytes in a row; true on the fifth.
bool CountCan(TProtocolData& p, uint8_t c) {
    if (c != CAN) {
        p.CanCount = 0;
        return false;
    }
    if (++p.CanCount >= 5) {
        p.CancelSeen = true;
        p.ProtocolStatus = psCancelRequested;
        p.ForceStatus = true;
        return true;
    }
    return false;
}

enum class TDecode { dNone, dByte, dFrameEnd };

// One step of ZDLE decoding (CAN counting is done by the caller).
TDecode ZdleDecode(TProtocolData& p, uint8_t c, uint8_t& out) {
    if (p.ZdlePending) {
        if (IsFlowControl(c)) return TDecode::dNone;
        p.ZdlePending = false;
        switch (c) {
            case ZCRCE:
            case ZCRCG:
            case ZCRCQ:
            case ZCRCW:
                out = c;
                return TDecode::dFrameEnd;
            case ZRUB0:
                out = 0x7F;
                return TDecode::dByte;
            case ZRUB1:
                out = 0xFF;
                return TDecode::dByte;
            default:
                out = c ^ 0x40;
                return TDecode::dByte;
        }
    }
    if (IsFlowControl(c)) return TDecode::dNone;
    if (c == ZDLE) {
        p.ZdlePending = true;
        return TDecode::dNone;
    }
    out = c;
    return TDecode::dByte;
}

int HexValue(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void ResetCollector(TProtocolData& p) {
    p.HeaderState = THeaderState::hsNone;
    p.HeaderIndex = 0;
    p.ZdlePending = false;
}

// A header whose bytes are all in HeaderBuf: check it and take it.
THeaderResult FinishHeader(TProtocolData& p) {
    uint8_t raw[9];
    bool good;
    if (p.HexHeader) {
        for (int i = 0; i < 7; ++i)
            raw[i] = static_cast<uint8_t>(HexValue(p.HeaderBuf[2 * i]) << 4 |
                                          HexValue(p.HeaderBuf[2 * i + 1]));
        good = Crc16(raw, 7) == 0;
    } else {
        std::memcpy(raw, p.HeaderBuf, static_cast<size_t>(p.HeaderNeed));
        good = p.Crc32Header ? Crc32(raw, 9) == kCrc32Residue : Crc16(raw, 7) == 0;
    }
    ResetCollector(p);
    if (!good) {
        p.ProtocolStatus = psBlockCheckError;
        ++p.TotalErrors;
        return THeaderResult::hrBadCrc;
    }
    const uint8_t type = raw[0];
    // A ZEOF that crossed our ZRPOS on the line belongs to data we asked to have again.
    if (type == ZEOF && p.LastFrame == ZRPOS) return THeaderResult::hrNone;
    p.RcvFrame = type;
    std::memcpy(p.RcvHeader, raw + 1, 4);
    p.UseCrc32 = !p.HexHeader && p.Crc32Header;
    const int last = p.LastFrame;
    if (last == ZACK || last == ZRPOS || last == ZDATA || last == ZEOF || type == ZDATA ||
        type == ZEOF)
        p.LastFileOfs = HeaderPosition(p.RcvHeader);
    p.LastFrame = type;
    p.ProtocolStatus = psGotHeader;
    return THeaderResult::hrGot;
}

void PutBytes(TProtocolData& p, const uint8_t* data, size_t len) {
    if (p.Port != nullptr) p.Port->PutBlock(data, len);
}

}  // namespace

int64_t HeaderPosition(const uint8_t b[4]) {
    return static_cast<int64_t>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                                static_cast<uint32_t>(b[2]) << 16 |
                                static_cast<uint32_t>(b[3]) << 24);
}

bool ByteWaiting(TProtocolData& p) {
    return p.WorkPos < p.WorkLen || (p.Port != nullptr && p.Port->CharReady());
}

bool NextByte(TProtocolData& p, uint8_t& c, bool bulk) {
    if (p.WorkPos < p.WorkLen) {
        c = p.WorkBlock[p.WorkPos++];
        return true;
    }
    if (p.Port == nullptr) return false;
    if (bulk && !p.WorkBlock.empty()) {
        const size_t n = std::min(p.Port->InBuffUsed(), p.WorkBlock.size());
        if (n > 1 && p.Port->GetBlock(p.WorkBlock.data(), n) >= 0) {
            p.RxCount += n;
            p.WorkPos = 1;
            p.WorkLen = n;
            c = p.WorkBlock[0];
            return true;
        }
    }
    if (p.Port->GetChar(c) < 0) return false;
    ++p.RxCount;
    return true;
}

bool DiscardInput(TProtocolData& p) {
    uint8_t c;
    bool cancelled = false;
    while (!cancelled && NextByte(p, c)) cancelled = CountCan(p, c);
    p.WorkPos = p.WorkLen = 0;
    ResetCollector(p);
    p.BlockState = TBlockState::bsData;
    p.DataLen = 0;
    return cancelled;
}

void FlushInput(TProtocolData& p) {
    if (p.Port != nullptr) p.Port->FlushInBuffer();
    p.WorkPos = p.WorkLen = 0;
    ResetCollector(p);
    p.BlockState = TBlockState::bsData;
    p.DataLen = 0;
}

THeaderResult CollectHeader(TProtocolData& p) {
    uint8_t c;
    while (NextByte(p, c)) {
        if (CountCan(p, c)) {
            ResetCollector(p);
            return THeaderResult::hrCancel;
        }
        switch (p.HeaderState) {
            case THeaderState::hsNone:
                if (IsFlowControl(c)) break;
                if ((c & 0x7F) == ZPAD) p.HeaderState = THeaderState::hsGotZPad;
                break;
            case THeaderState::hsGotZPad:
                if ((c & 0x7F) == ZPAD) break;
                p.HeaderState = c == ZDLE ? THeaderState::hsGotZDle : THeaderState::hsNone;
                break;
            case THeaderState::hsGotZDle:
                c &= 0x7F;
                p.HeaderIndex = 0;
                p.ZdlePending = false;
                if (c == ZBIN || c == ZBIN32) {
                    p.HexHeader = false;
                    p.Crc32Header = c == ZBIN32;
                    p.HeaderNeed = c == ZBIN32 ? 9 : 7;
                    p.HeaderState = THeaderState::hsCollectBin;
                } else if (c == ZHEX) {
                    p.HexHeader = true;
                    p.HeaderNeed = 14;
                    p.HeaderState = THeaderState::hsCollectHex;
                } else {
                    p.HeaderState = c == ZPAD ? THeaderState::hsGotZPad : THeaderState::hsNone;
                }
                break;
            case THeaderState::hsCollectHex:
                c &= 0x7F;
                if (HexValue(c) < 0) {
                    ResetCollector(p);
                    if (c == ZPAD) p.HeaderState = THeaderState::hsGotZPad;
                    break;
                }
                p.HeaderBuf[p.HeaderIndex++] = c;
                if (p.HeaderIndex == p.HeaderNeed) {
                    const THeaderResult r = FinishHeader(p);
                    if (r != THeaderResult::hrNone) return r;
                }
                break;
            case THeaderState::hsCollectBin: {
                uint8_t out;
                const TDecode d = ZdleDecode(p, c, out);
                if (d == TDecode::dNone) break;
                if (d == TDecode::dFrameEnd) {  // a frame end has no place in a header
                    ResetCollector(p);
                    p.ProtocolStatus = psBlockCheckError;
                    ++p.TotalErrors;
                    return THeaderResult::hrBadCrc;
                }
                p.HeaderBuf[p.HeaderIndex++] = out;
                if (p.HeaderIndex == p.HeaderNeed) {
                    const THeaderResult r = FinishHeader(p);
                    if (r != THeaderResult::hrNone) return r;
                }
                break;
            }
        }
    }
    return THeaderResult::hrNone;
}

void StartBlock(TProtocolData& p) {
    p.BlockState = TBlockState::bsData;
    p.DataLen = 0;
    p.CrcIndex = 0;
    p.ZdlePending = false;
}

TBlockResult CollectBlock(TProtocolData& p) {
    for (;;) {
        // Fast path: plain runs and ordinary ZDLE escapes straight from the work buffer; frame
        // ends, CAN, flow-control noise and an escape split across buffers take the slow path.
        if (p.BlockState == TBlockState::bsData && !p.ZdlePending) {
            const uint8_t* src = p.WorkBlock.data();
            size_t pos = p.WorkPos;
            const size_t start = pos;
            const size_t end = p.WorkLen;
            size_t len = p.DataLen;
            uint8_t* dst = p.DataBlock.data();
            const size_t limit = p.BlockLen;
            bool tooLong = false;
            while (pos < end) {
                size_t run = pos;
                while (run < end && !kSpecial[src[run]]) ++run;
                if (run - pos > limit - len) {
                    run = pos + (limit - len);
                    tooLong = true;
                }
                std::memcpy(dst + len, src + pos, run - pos);
                len += run - pos;
                pos = run;
                if (tooLong || pos + 1 >= end || src[pos] != ZDLE) break;
                const uint8_t e = src[pos + 1];
                if (e == CAN || IsFlowControl(e) || (e >= ZCRCE && e <= ZCRCW)) break;
                if (len >= limit) {
                    tooLong = true;
                    break;
                }
                dst[len++] = e == ZRUB0 ? 0x7F : e == ZRUB1 ? 0xFF : static_cast<uint8_t>(e ^ 0x40);
                pos += 2;
            }
            if (pos != start) p.CanCount = 0;
            p.WorkPos = pos;
            p.DataLen = len;
            if (tooLong) {
                p.ProtocolStatus = psLongPacket;
                ++p.BlockErrors;
                ++p.TotalErrors;
                return TBlockResult::brTooLong;
            }
        }
        uint8_t c;
        if (!NextByte(p, c)) return TBlockResult::brNone;
        if (CountCan(p, c)) return TBlockResult::brCancel;
        uint8_t out;
        const TDecode d = ZdleDecode(p, c, out);
        if (d == TDecode::dNone) continue;
        if (p.BlockState == TBlockState::bsData) {
            if (d == TDecode::dFrameEnd) {
                p.BlockEnd = out;
                p.BlockState = TBlockState::bsCrc;
                p.CrcIndex = 0;
                continue;
            }
            if (p.DataLen >= p.BlockLen) {
                p.ProtocolStatus = psLongPacket;
                ++p.BlockErrors;
                ++p.TotalErrors;
                return TBlockResult::brTooLong;
            }
            p.DataBlock[p.DataLen++] = out;
            continue;
        }
        // Check bytes.
        if (d == TDecode::dFrameEnd) {
            StartBlock(p);
            p.ProtocolStatus = psBlockCheckError;
            return TBlockResult::brBadCrc;
        }
        p.CrcBytes[p.CrcIndex++] = out;
        const int need = p.UseCrc32 ? 4 : 2;
        if (p.CrcIndex < need) continue;
        bool good;
        if (p.UseCrc32) {
            uint32_t crc = Crc32(p.DataBlock.data(), p.DataLen);
            crc = Crc32Update(crc, p.BlockEnd);
            crc = Crc32(p.CrcBytes, 4, crc);
            good = crc == kCrc32Residue;
        } else {
            uint16_t crc = Crc16(p.DataBlock.data(), p.DataLen);
            crc = Crc16Update(crc, p.BlockEnd);
            crc = Crc16(p.CrcBytes, 2, crc);
            good = crc == 0;
        }
        p.BlockState = TBlockState::bsData;
        p.CrcIndex = 0;
        if (!good) {
            p.ProtocolStatus = psBlockCheckError;
            return TBlockResult::brBadCrc;
        }
        switch (p.BlockEnd) {
            case ZCRCE:
                p.ProtocolStatus = psGotCrcE;
                break;
            case ZCRCG:
                p.ProtocolStatus = psGotCrcG;
                break;
            case ZCRCQ:
                p.ProtocolStatus = psGotCrcQ;
                break;
            default:
                p.ProtocolStatus = psGotCrcW;
                break;
        }
        return TBlockResult::brGood;
    }
}

void SendHexHeader(TProtocolData& p, uint8_t type, const uint8_t bytes[4]) {
    static const char kHex[] = "0123456789abcdef";
    uint8_t raw[5] = {type, bytes[0], bytes[1], bytes[2], bytes[3]};
    const uint16_t crc = Crc16(raw, 5);
    uint8_t out[24];
    size_t n = 0;
    out[n++] = ZPAD;
    out[n++] = ZPAD;
    out[n++] = ZDLE;
    out[n++] = ZHEX;
    auto hex = [&](uint8_t b) {
        out[n++] = static_cast<uint8_t>(kHex[b >> 4]);
        out[n++] = static_cast<uint8_t>(kHex[b & 15]);
    };
    for (uint8_t b : raw) hex(b);
    hex(static_cast<uint8_t>(crc >> 8));
    hex(static_cast<uint8_t>(crc & 0xFF));
    out[n++] = '\r';
    out[n++] = 0x8A;
    if (type != ZFIN && type != ZACK) out[n++] = XON;
    PutBytes(p, out, n);
    p.LastFrame = type;
}

void SendHexPosHeader(TProtocolData& p, uint8_t type, int64_t position) {
    const uint32_t v = static_cast<uint32_t>(position);
    const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                          static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
    SendHexHeader(p, type, b);
}

void SendCancel(TProtocolData& p) {
    if (p.Port != nullptr) {
        p.Port->FlushOutBuffer();
        uint8_t seq[16];
        std::memset(seq, CAN, 8);
        std::memset(seq + 8, kBS, 8);
        PutBytes(p, seq, sizeof seq);
    }
    p.ProtocolStatus = psCancelRequested;
    p.ForceStatus = true;
}

void SendAttention(TProtocolData& p) {
    for (uint8_t c : p.AttentionStr) {
        if (c == 0) break;
        if (c == 0xDD) {
            if (p.Port != nullptr) p.Port->SendBreak(250);
        } else if (c == 0xDE) {
            // 18 ticks; rare (only senders that ask for it in ZSINIT).
            std::this_thread::sleep_for(std::chrono::milliseconds(18 * 55));
        } else {
            PutBytes(p, &c, 1);
        }
    }
}

}  // namespace qx::zm
