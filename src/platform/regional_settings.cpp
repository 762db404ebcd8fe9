#include "regional_settings.h"

#include <langinfo.h>

#include <cctype>

namespace qx {

namespace {

// Expands the composite conversions a locale may use for its short date and time.
std::string ExpandComposites(const std::string& fmt) {
    std::string out;
    for (size_t i = 0; i < fmt.size(); ++i) {
        if (fmt[i] != '%' || i + 1 >= fmt.size()) {
            out += fmt[i];
            continue;
        }
        char c = fmt[i + 1];
        if (c == 'E' || c == 'O') {  // alternative-representation modifiers
            if (i + 2 >= fmt.size()) break;
            ++i;
            c = fmt[i + 1];
        }
        ++i;
        switch (c) {
            case 'D':
                out += "%m/%d/%y";
                break;
            case 'F':
                out += "%Y-%m-%d";
                break;
            case 'x':
                out += "%m/%d/%y";
                break;
            case 'T':
                out += "%H:%M:%S";
                break;
            case 'r':
                out += "%I:%M:%S %p";
                break;
            case 'R':
                out += "%H:%M";
                break;
            case 'X':
                out += "%H:%M:%S";
                break;
            default:
                out += '%';
                out += c;
        }
    }
    return out;
}

bool UsableSeparator(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u > ' ' && u < 0x7F && !std::isalnum(u) && c != '%';
}

// The first usable separator following a conversion of the format, or 0.
char FirstSeparator(const std::string& fmt) {
    for (size_t i = 0; i + 2 < fmt.size(); ++i) {
        if (fmt[i] == '%' && UsableSeparator(fmt[i + 2])) return fmt[i + 2];
    }
    return 0;
}

}  // namespace

RegionalSettings ParseRegionalFormats(const std::string& dateFormat,
                                      const std::string& timeFormat) {
    RegionalSettings s;
    const std::string date = ExpandComposites(dateFormat);
    size_t day = std::string::npos, month = std::string::npos, year = std::string::npos;
    for (size_t i = 0; i + 1 < date.size(); ++i) {
        if (date[i] != '%') continue;
        const char c = date[i + 1];
        if ((c == 'd' || c == 'e') && day == std::string::npos) day = i;
        if ((c == 'm' || c == 'b' || c == 'h' || c == 'B') && month == std::string::npos) month = i;
        if ((c == 'y' || c == 'Y' || c == 'C') && year == std::string::npos) year = i;
        ++i;
    }
    if (day != std::string::npos && month != std::string::npos && year != std::string::npos) {
        if (year < month && year < day) {
            s.DateOrder = 2;
        } else if (day < month) {
            s.DateOrder = 1;
        } else {
            s.DateOrder = 0;
        }
    }
    const char dateSep = FirstSeparator(date);
    if (dateSep != 0) {
        s.DateSeparator = std::string(1, dateSep);
    } else {
        const char fallback = s.DateOrder == 2 ? '-' : s.DateOrder == 1 ? '.' : '/';
        s.DateSeparator = std::string(1, fallback);
    }
    const char timeSep = FirstSeparator(ExpandComposites(timeFormat));
    s.TimeSeparator = timeSep != 0 ? std::string(1, timeSep) : ":";
    return s;
}

RegionalSettings ReadRegionalSettings() {
    const char* d = nl_langinfo(D_FMT);
    const char* t = nl_langinfo(T_FMT);
    return ParseRegionalFormats(d != nullptr ? d : "", t != nullptr ? t : "");
}

}  // namespace qx
