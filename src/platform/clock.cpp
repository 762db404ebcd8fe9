#include "clock.h"

#include <time.h>

namespace qx {

namespace {

LocalClockReading FromTm(const struct tm& tm, int ms) {
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms};
}

// Seconds east of UTC at noon of the given day of the given year.
long OffsetOn(int year, int month) {
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = 15;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    std::time_t t = mktime(&tm);
    struct tm local = {};
    localtime_r(&t, &local);
    return local.tm_gmtoff;
}

}  // namespace

LocalClockReading ReadLocalClock() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm = {};
    localtime_r(&ts.tv_sec, &tm);
    return FromTm(tm, static_cast<int>(ts.tv_nsec / 1000000));
}

LocalClockReading LocalTimeOf(std::time_t t) {
    struct tm tm = {};
    localtime_r(&t, &tm);
    return FromTm(tm, 0);
}

std::time_t UnixTimeOfLocal(const LocalClockReading& r) {
    tzset();
    struct tm tm = {};
    tm.tm_year = r.Year - 1900;
    tm.tm_mon = r.Month - 1;
    tm.tm_mday = r.Day;
    tm.tm_hour = r.Hour;
    tm.tm_min = r.Minute;
    tm.tm_sec = r.Second;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

ZoneBiases LocalZoneBiases(int year) {
    tzset();
    if (year < 1971) year = 1971;
    const long january = OffsetOn(year, 1);
    const long july = OffsetOn(year, 7);
    // The southern hemisphere has its summer in January: standard time is the smaller offset.
    const long standard = january < july ? january : july;
    const long summer = january < july ? july : january;
    return {static_cast<int>(-standard / 60), static_cast<int>(-(summer - standard) / 60)};
}

int64_t MonotonicMilliseconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace qx
