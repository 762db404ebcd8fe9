// The program's date-time: a local date and time as a day count with a fraction of a day,
// counted from 30 December 1899 (so 1.5 is 31 December 1899, 12:00). Product times are composed
// from their parts without any time-zone conversion; ages are plain differences of these values.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace qx {

struct TDateTime {
    double Value = 0.0;

    friend TDateTime operator+(TDateTime a, double days) { return {a.Value + days}; }
    friend TDateTime operator-(TDateTime a, double days) { return {a.Value - days}; }
    friend TDateTime operator+(TDateTime a, TDateTime interval) {
        return {a.Value + interval.Value};
    }
    friend TDateTime operator-(TDateTime a, TDateTime interval) {
        return {a.Value - interval.Value};
    }
    friend auto operator<=>(TDateTime a, TDateTime b) = default;
};

struct DateTimeParts {
    int Year = 1899, Month = 12, Day = 30;
    int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

constexpr double kMillisecondsPerDay = 86400000.0;

// False for an impossible date or time (month 13, 31 April, hour 24, ...).
bool TryEncodeDateTime(const DateTimeParts& parts, TDateTime& out);
// Rounds to the nearest millisecond, so encode then decode gives the same parts back.
DateTimeParts DecodeDateTime(TDateTime t);

// A time of day (or interval) of h hours, m minutes, s seconds, ms milliseconds.
TDateTime TimeInterval(int hours, int minutes, int seconds = 0, int milliseconds = 0);

// The local wall-clock time now, to the millisecond.
TDateTime NowLocal();

// Conversions to and from calendar time (seconds since 1970 UTC), through the local zone.
TDateTime FromUnixTime(std::time_t t);
std::time_t ToUnixTime(TDateTime t);

// "YYYY-MM-DD HH:MM:SS.SSS": how date-times are stored in the database; sorts as it compares.
std::string DateTimeToIso(TDateTime t);
bool IsoToDateTime(const std::string& text, TDateTime& out);

// "HH:MM:SS", the time format of replies such as "Data collection completed 14:05:31".
std::string TimeText(TDateTime t);

}  // namespace qx
