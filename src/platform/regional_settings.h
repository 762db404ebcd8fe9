// The user's regional date and time settings, as the C library's locale describes them.
//
// Only the short-date order and the two separators are needed: dates are written as text in
// the user's order and read back by the same settings, so a separator the locale does not
// give is replaced by a sensible default rather than guessed further.
#pragma once

#include <string>

namespace qx {

struct RegionalSettings {
    std::string DateSeparator = "/";  // one character
    std::string TimeSeparator = ":";  // one character
    int DateOrder = 0;                // 0 month-day-year, 1 day-month-year, 2 year-month-day
};

// Derives the settings from strftime-style formats (D_FMT and T_FMT of a locale), e.g.
// "%d.%m.%Y" gives day-month-year with ".", "%r" gives ":".
RegionalSettings ParseRegionalFormats(const std::string& dateFormat, const std::string& timeFormat);

// The settings of the process's current LC_TIME locale (the program sets it from the
// environment at start-up).
RegionalSettings ReadRegionalSettings();

}  // namespace qx
