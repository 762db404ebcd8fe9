// The ZMODEM receive engine: the state machine that the port's dispatcher drives from its
// dispatch thread, its set-up and option operations, and the engine's start operation.
//
// Every entry takes the record's Lock for the whole call, except zpStartReceive's callers'
// record creation. The engine never blocks on the line: each call consumes the bytes already
// received and returns. Results: 0 or a negative result code.
#pragma once

#include <cstdint>
#include <memory>

#include "protocol/protocol_data.h"

namespace qx {

// Sets the record up for Zmodem: subpacket buffers (1024/2048 bytes, or 8192/16384 with
// apZmodem8K in Flags) and the Zmodem defaults. -8 when memory runs out.
int zpReinit(TProtocolData& p);
// Releases what zpReinit allocated (the record leaves Zmodem).
void zpDone(TProtocolData& p);

// Option setters; -6015 when the record is not set up for Zmodem.
int zpSetFileMgmtOptions(TProtocolData& p, bool override, bool skipNoFile, uint8_t option);
int zpSetRecoverOption(TProtocolData& p, bool on);
int zpSetBigSubpacketOption(TProtocolData& p, bool on);
int zpSetZmodemFinishWait(TProtocolData& p, int32_t ticks, int retries);

// Resets the transfer state, sends the first status report, flushes the input and sets the
// state to rzRqstFile.
int zpPrepareReceive(TProtocolData& p);

// The trigger procedure registered with the dispatcher: finds the record of the port named in
// lParam's high word and runs the state machine for this notification.
void zpReceive(unsigned msg, unsigned wParam, int32_t lParam);

// Runs the state machine for one notification on a known record (MsgProtocolCancel cancels).
void zpReceiveOn(TProtocolData& p, unsigned msg, unsigned wParam);

// The engine's start operation: sets the avail threshold to 1, adds the five triggers, links
// the record to the port, prepares, takes the first step, arms the status timer (and the
// carrier trigger with apAbortNoCarrier) and registers the trigger procedure. A failure signals
// the finish at once (-103 without a port, -5001 when triggers cannot be added, -6014 without
// carrier). Main thread.
void zpStartReceive(const std::shared_ptr<TProtocolData>& p);

// Milliseconds of the engine's clock (monotonic), for the elapsed time of a file.
int64_t zpNowMs();

}  // namespace qx
