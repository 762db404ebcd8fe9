// The communications time base: ticks of 55 ms (18.2 per second).
//
// The tick clock is the monotonic millisecond clock divided by 55, kept as a 32-bit count that
// wraps; an EventTimer compares ticks by their signed difference, so a timer started just before
// the wrap still expires at the right moment. Durations are capped at kMaxTimerTicks so that
// the difference never overflows.
#pragma once

#include <cstdint>

namespace qx {

constexpr int32_t kTickMs = 55;
constexpr int32_t kMaxTimerTicks = 39045157;

uint32_t TickCount();

inline int32_t SecsToTicks(int32_t secs) {
    return static_cast<int32_t>(int64_t{secs} * 1675 / 92);
}
inline int32_t TicksToSecs(int32_t ticks) {
    return static_cast<int32_t>((int64_t{ticks} + 9) * 92 / 1675);
}
inline int32_t MSecsToTicks(int32_t ms) {
    return static_cast<int32_t>(int64_t{ms} * 1675 / 92000);
}

struct EventTimer {
    uint32_t StartTicks = 0;
    uint32_t ExpireTicks = 0;
};

// A timer of the given length starting at now (negative lengths count as 0).
EventTimer NewTimer(int32_t ticks, uint32_t now);
// True once now is past the expiry tick.
bool TimerExpired(const EventTimer& t, uint32_t now);
// Ticks until expiry, 0 once expired.
int32_t TimerRemaining(const EventTimer& t, uint32_t now);
// Moves the expiry by ticks (the total length stays within kMaxTimerTicks).
void ExtendTimer(EventTimer& t, int32_t ticks);

}  // namespace qx
