#include "date_time.h"

#include <cmath>
#include <cstdio>

#include "platform/clock.h"

namespace qx {

namespace {

bool IsLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Days from 0001-01-01 to the given date (proleptic Gregorian), as in civil calendars.
int64_t DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;  // days since 1970-01-01
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

const int64_t kEpochOffset = DaysFromCivil(1899, 12, 30);  // day 0 of TDateTime, from 1970

}  // namespace

bool TryEncodeDateTime(const DateTimeParts& p, TDateTime& out) {
    if (p.Year < 1 || p.Year > 9999 || p.Month < 1 || p.Month > 12 || p.Day < 1 ||
        p.Day > DaysInMonth(p.Year, p.Month) || p.Hour < 0 || p.Hour > 23 || p.Minute < 0 ||
        p.Minute > 59 || p.Second < 0 || p.Second > 59 || p.Millisecond < 0 ||
        p.Millisecond > 999) {
        return false;
    }
    const double days = static_cast<double>(DaysFromCivil(p.Year, p.Month, p.Day) - kEpochOffset);
    out.Value = days + TimeInterval(p.Hour, p.Minute, p.Second, p.Millisecond).Value;
    return true;
}

DateTimeParts DecodeDateTime(TDateTime t) {
    // Work in whole milliseconds so that rounding never yields 60 seconds or 1000 ms.
    const int64_t totalMs = static_cast<int64_t>(std::llround(t.Value * kMillisecondsPerDay));
    int64_t days = totalMs / 86400000;
    int64_t msOfDay = totalMs % 86400000;
    if (msOfDay < 0) {
        msOfDay += 86400000;
        days -= 1;
    }
    DateTimeParts p;
    CivilFromDays(days + kEpochOffset, p.Year, p.Month, p.Day);
    p.Hour = static_cast<int>(msOfDay / 3600000);
    p.Minute = static_cast<int>(msOfDay / 60000 % 60);
    p.Second = static_cast<int>(msOfDay / 1000 % 60);
    p.Millisecond = static_cast<int>(msOfDay % 1000);
    return p;
}

TDateTime TimeInterval(int hours, int minutes, int seconds, int milliseconds) {
    const double ms = ((hours * 60.0 + minutes) * 60.0 + seconds) * 1000.0 + milliseconds;
    return {ms / kMillisecondsPerDay};
}

TDateTime NowLocal() {
    const LocalClockReading r = ReadLocalClock();
    TDateTime t;
    TryEncodeDateTime({r.Year, r.Month, r.Day, r.Hour, r.Minute, r.Second, r.Millisecond}, t);
    return t;
}

TDateTime FromUnixTime(std::time_t t) {
    const LocalClockReading r = LocalTimeOf(t);
    TDateTime out;
    TryEncodeDateTime({r.Year, r.Month, r.Day, r.Hour, r.Minute, r.Second, 0}, out);
    return out;
}

std::time_t ToUnixTime(TDateTime t) {
    const DateTimeParts p = DecodeDateTime(t);
    return UnixTimeOfLocal({p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second, 0});
}

std::string DateTimeToIso(TDateTime t) {
    const DateTimeParts p = DecodeDateTime(t);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.Year, p.Month, p.Day,
                  p.Hour, p.Minute, p.Second, p.Millisecond);
    return buf;
}

bool IsoToDateTime(const std::string& text, TDateTime& out) {
    DateTimeParts p;
    int n = std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d.%d", &p.Year, &p.Month, &p.Day, &p.Hour,
                        &p.Minute, &p.Second, &p.Millisecond);
    if (n < 3) return false;
    if (n < 7) p.Millisecond = 0;
    if (n < 6) p.Second = 0;
    if (n < 5) p.Minute = 0;
    if (n < 4) p.Hour = 0;
    return TryEncodeDateTime(p, out);
}

std::string TimeText(TDateTime t) {
    const DateTimeParts p = DecodeDateTime(t);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", p.Hour, p.Minute, p.Second);
    return buf;
}

}  // namespace qx
