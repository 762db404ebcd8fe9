#include "comm/ticks.h"

#include <algorithm>

#include "platform/clock.h"

namespace qx {

uint32_t TickCount() {
    return static_cast<uint32_t>(MonotonicMilliseconds() / kTickMs);
}

EventTimer NewTimer(int32_t ticks, uint32_t now) {
    ticks = std::clamp(ticks, 0, kMaxTimerTicks);
    return EventTimer{now, now + static_cast<uint32_t>(ticks)};
}

bool TimerExpired(const EventTimer& t, uint32_t now) {
    return static_cast<int32_t>(now - t.ExpireTicks) > 0;
}

int32_t TimerRemaining(const EventTimer& t, uint32_t now) {
    int32_t left = static_cast<int32_t>(t.ExpireTicks - now);
    return left > 0 ? left : 0;
}

void ExtendTimer(EventTimer& t, int32_t ticks) {
    int64_t length =
        static_cast<int64_t>(static_cast<int32_t>(t.ExpireTicks - t.StartTicks)) + ticks;
    length = std::clamp<int64_t>(length, 0, kMaxTimerTicks);
    t.ExpireTicks = t.StartTicks + static_cast<uint32_t>(length);
}

}  // namespace qx
