// Trigger records of the port and the data-trigger matcher.
//
// All records are guarded by the dispatcher lock of their dispatcher; the matcher itself is a
// pure function of a record and one byte, so it is tested without a port.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "comm/ticks.h"

namespace qx {

enum TTriggerType { ttNone, ttAvail, ttTimer, ttData, ttStatus };

constexpr int kMaxTriggerLen = 21;
constexpr int kAvailTriggerHandle = 1;

// Status kinds; the low three bits of a status trigger's handle.
enum : int {
    stModem = 1,
    stLine = 2,
    stOutFree = 3,
    stOutUsed = 4,
    stOutSent = 5,
};

struct TDataTrigger {
    int32_t Handle = 0;
    int Length = 0;                                    // 0 never fires
    std::array<uint32_t, kMaxTriggerLen + 1> Slots{};  // partial-match positions
    bool Matched = false;
    bool IgnoreCase = false;
    std::array<uint8_t, kMaxTriggerLen> Pattern{};  // upper-cased when IgnoreCase
    uint32_t Busy = 0;  // bit s set while Slots[s] holds a partial match (a fast path for idle)

    // Sets the pattern; false when it is longer than kMaxTriggerLen.
    bool SetPattern(const std::string& pattern, bool ignoreCase);
    // Advances the partial matches by one received byte; true on a full match (Matched set).
    bool Advance(uint8_t byte);
    void ClearMatches() {
        Slots.fill(0);
        Busy = 0;
    }
};

struct TTimerTrigger {
    int32_t Handle = 0;
    EventTimer Timer;
    int32_t Ticks = 0;  // the tick count last given
    bool Active = false;
};

struct TStatusTrigger {
    int32_t Handle = 0;  // multiple of 8 plus Kind
    int Kind = 0;
    uint16_t Value = 0;  // mask, error set, or threshold
    uint8_t Stored = 0;  // modem-status bits at arming (kind 1)
    bool Active = false;
    bool Hit = false;
};

// Everything a close saves and the next open restores.
struct TSavedTriggers {
    bool Valid = false;
    int AvailThreshold = 0;
    std::vector<TTimerTrigger> Timers;
    std::vector<TDataTrigger> Data;
    std::vector<TStatusTrigger> Status;
};

}  // namespace qx
