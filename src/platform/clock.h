// Wall clock and local-time conversion (the C library's tz database, so TZ is honoured).
#pragma once

#include <cstdint>
#include <ctime>

namespace qx {

struct LocalClockReading {
    int Year, Month, Day, Hour, Minute, Second, Millisecond;
};

LocalClockReading ReadLocalClock();
LocalClockReading LocalTimeOf(std::time_t t);
// mktime for a local wall-clock time; -1 when it cannot be represented.
std::time_t UnixTimeOfLocal(const LocalClockReading& r);

// Offsets of the local zone from universal time in minutes, with the sign convention
// UTC = local + bias: January's offset is the standard bias, July's minus January's the
// daylight bias (0 for zones without summer time). For Europe/Amsterdam: -60 and -60.
struct ZoneBiases {
    int Bias;
    int DaylightBias;
};
ZoneBiases LocalZoneBiases(int year);

// Monotonic milliseconds, for ticks and time-outs.
int64_t MonotonicMilliseconds();

}  // namespace qx
