// System information and the date-time helpers built on it.
//
// TSysInfo reads the regional settings once; the main window creates the process-wide instance
// at start-up and frees it at shutdown (tools and tests get one on first use of SysInfo()).
// The free functions below are what other layers use.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "date_time.h"
#include "platform/regional_settings.h"

namespace qx {

class TSysInfo {
  public:
    TSysInfo();  // reads date/time separators and date order from the C library's locale
    explicit TSysInfo(const RegionalSettings& settings);

    std::string DateSeparator;  // one character
    std::string TimeSeparator;  // one character
    int32_t DateOrder = 1;      // 0 month-day-year, 1 day-month-year, 2 year-month-day

    // Writes the parts as text in the regional order and reads the text back; throws
    // std::runtime_error when the text cannot be read (an impossible date).
    TDateTime DateTimeFromParts(int year, int month, int day, int hour, int minute,
                                int second) const;
    // date as YYYYMMDD, time as HHMMSS.
    TDateTime DateTimeFromPacked(int32_t date, int32_t time) const;
    TDateTime LocalNow() const;  // whole seconds

    // The date-time text DateTimeFromParts writes, and its reader (false when unreadable).
    std::string FormatParts(int year, int month, int day, int hour, int minute, int second) const;
    bool TryParse(const std::string& text, TDateTime& out) const;
};

// The process-wide instance (created by the main window, or on first use by tools and tests).
TSysInfo& SysInfo();
// Creates the process-wide instance afresh (reading the current locale) and frees it.
void CreateSysInfo();
void FreeSysInfo();

int32_t PackDateHour(TDateTime t);             // YYYYMMDDHH
int32_t DayNumber(int32_t packed);             // Julian day number of the date part
int32_t DateFromDayNumber(int32_t dayNumber);  // packed YYYYMMDD00
// Local offset from universal time in whole hours for a packed YYYYMMDDHH (see the time-zone
// rule: fixed last-Sunday-of-March to last-Sunday-of-October window, biases from the system).
int32_t TimeZoneHours(int32_t packedDateHour);

}  // namespace qx
