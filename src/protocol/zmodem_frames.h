// The line side of the ZMODEM receiver: taking bytes from the port without blocking, collecting
// headers (hex and binary, CRC-16 and CRC-32), ZDLE decoding with the five-CAN rule, collecting
// data subpackets, and sending hex headers, the cancel sequence and the attention string.
//
// Every collector consumes only bytes already received and returns; a header, ZDLE sequence or
// subpacket cut off by the end of the input is kept in the record and completed on a later call.
//
// Frame layouts read here (offsets in bytes after the lead-in "*" ZDLE <format>):
//   hex header  'B': 14 hex digits = type(2) ZP0..ZP3 or ZF3..ZF0 (8) CRC-16 (4, high byte
//                    first) over the five bytes; then CR, LF (often 0x8A) and usually XON.
//   binary 'A':      type, 4 header bytes, CRC-16 (2, high byte first); every byte ZDLE-encoded.
//   binary 'C':      type, 4 header bytes, CRC-32 (4, low byte first, complemented).
//   subpacket:       data bytes (ZDLE-encoded), ZDLE + frame end 'h'/'i'/'j'/'k', then the
//                    check (2 or 4 bytes, ZDLE-encoded) over the data and the frame-end byte.
#pragma once

#include <cstdint>

#include "protocol/protocol_data.h"

namespace qx::zm {

enum class THeaderResult { hrNone, hrGot, hrBadCrc, hrCancel };
enum class TBlockResult { brNone, brGood, brBadCrc, brTooLong, brCancel };

// True when a received byte is waiting (taken from the port or still in the port).
bool ByteWaiting(TProtocolData& p);

// Takes the next received byte. bulk lets it move everything waiting into the record's work
// buffer; without it exactly one byte is taken from the port, so that bytes meant for others
// after the transfer (the board's next prompt) stay in the port.
bool NextByte(TProtocolData& p, uint8_t& c, bool bulk = true);

// Discards unread input and every partial header, ZDLE sequence and subpacket.
void FlushInput(TProtocolData& p);
// The same for the bytes already received, but reading them rather than flushing the line, so
// that a cancel among them is seen (true: five CANs in a row, status 4713).
bool DiscardInput(TProtocolData& p);

// Collects header bytes until one header is complete or the input runs out. A complete header
// is left in RcvFrame/RcvHeader; a stale ZEOF (right after a ZRPOS) is dropped. A bad CRC adds
// to the total error count and sets status 4709.
THeaderResult CollectHeader(TProtocolData& p);

// Starts a new subpacket / collects its bytes (into DataBlock, DataLen) until it is complete or
// the input runs out.
void StartBlock(TProtocolData& p);
TBlockResult CollectBlock(TProtocolData& p);

// Sends a hex header of the given type with the four header bytes.
void SendHexHeader(TProtocolData& p, uint8_t type, const uint8_t bytes[4]);
// The same with a position in the header bytes.
void SendHexPosHeader(TProtocolData& p, uint8_t type, int64_t position);

// Drops queued output and sends eight CAN and eight BS; status 4713, status report forced.
void SendCancel(TProtocolData& p);

// Sends the sender's attention string (0xDD = line break, 0xDE = one-second pause).
void SendAttention(TProtocolData& p);

int64_t HeaderPosition(const uint8_t bytes[4]);

}  // namespace qx::zm
