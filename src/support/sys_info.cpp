#include "sys_info.h"

#include <cstdio>
#include <stdexcept>

#include "platform/clock.h"

namespace qx {

namespace {

std::unique_ptr<TSysInfo>& Instance() {
    static std::unique_ptr<TSysInfo> instance;
    return instance;
}

// Reads an unsigned decimal number of 1 to maxDigits digits at pos.
bool ReadNumber(const std::string& s, size_t& pos, int maxDigits, int& value) {
    int digits = 0;
    value = 0;
    while (pos < s.size() && digits < maxDigits && s[pos] >= '0' && s[pos] <= '9') {
        value = value * 10 + (s[pos] - '0');
        ++pos;
        ++digits;
    }
    return digits > 0;
}

bool Expect(const std::string& s, size_t& pos, const std::string& what) {
    if (what.empty() || s.compare(pos, what.size(), what) != 0) return false;
    pos += what.size();
    return true;
}

// The last Sunday of the given month (31 days long) at hour 01, as a packed date-hour.
int32_t LastSundayAtOne(int year, int month) {
    int32_t day = DayNumber(((year * 100 + month) * 100 + 31) * 100);
    while (day % 7 != 6) --day;
    return DateFromDayNumber(day) + 1;
}

}  // namespace

TSysInfo::TSysInfo() : TSysInfo(ReadRegionalSettings()) {}

TSysInfo::TSysInfo(const RegionalSettings& settings)
    : DateSeparator(settings.DateSeparator),
      TimeSeparator(settings.TimeSeparator),
      DateOrder(settings.DateOrder) {}

std::string TSysInfo::FormatParts(int year, int month, int day, int hour, int minute,
                                  int second) const {
    char buf[96];
    const char* ds = DateSeparator.c_str();
    const char* ts = TimeSeparator.c_str();
    int n;
    if (DateOrder == 2) {
        n = std::snprintf(buf, sizeof buf, "%04d%s%02d%s%02d", year, ds, month, ds, day);
    } else if (DateOrder == 1) {
        n = std::snprintf(buf, sizeof buf, "%02d%s%02d%s%04d", day, ds, month, ds, year);
    } else {
        n = std::snprintf(buf, sizeof buf, "%02d%s%02d%s%04d", month, ds, day, ds, year);
    }
    if (n < 0) n = 0;
    std::string text(buf, static_cast<size_t>(n) < sizeof buf ? n : sizeof buf - 1);
    n = std::snprintf(buf, sizeof buf, " %02d%s%02d%s%02d", hour, ts, minute, ts, second);
    if (n > 0) text.append(buf, static_cast<size_t>(n) < sizeof buf ? n : sizeof buf - 1);
    return text;
}

bool TSysInfo::TryParse(const std::string& text, TDateTime& out) const {
    size_t pos = 0;
    int a = 0, b = 0, c = 0;
    const int firstDigits = DateOrder == 2 ? 4 : 2;
    const int lastDigits = DateOrder == 2 ? 2 : 4;
    if (!ReadNumber(text, pos, firstDigits, a) || !Expect(text, pos, DateSeparator) ||
        !ReadNumber(text, pos, 2, b) || !Expect(text, pos, DateSeparator) ||
        !ReadNumber(text, pos, lastDigits, c)) {
        return false;
    }
    DateTimeParts p;
    if (DateOrder == 2) {
        p.Year = a, p.Month = b, p.Day = c;
    } else if (DateOrder == 1) {
        p.Day = a, p.Month = b, p.Year = c;
    } else {
        p.Month = a, p.Day = b, p.Year = c;
    }
    p.Hour = p.Minute = p.Second = 0;
    if (pos < text.size()) {
        if (text[pos] != ' ') return false;
        while (pos < text.size() && text[pos] == ' ') ++pos;
        if (!ReadNumber(text, pos, 2, p.Hour) || !Expect(text, pos, TimeSeparator) ||
            !ReadNumber(text, pos, 2, p.Minute)) {
            return false;
        }
        if (pos < text.size() &&
            (!Expect(text, pos, TimeSeparator) || !ReadNumber(text, pos, 2, p.Second))) {
            return false;
        }
        if (pos != text.size()) return false;
    }
    return TryEncodeDateTime(p, out);
}

TDateTime TSysInfo::DateTimeFromParts(int year, int month, int day, int hour, int minute,
                                      int second) const {
    const std::string text = FormatParts(year, month, day, hour, minute, second);
    TDateTime t;
    if (!TryParse(text, t)) throw std::runtime_error("'" + text + "' is not a valid date and time");
    return t;
}

TDateTime TSysInfo::DateTimeFromPacked(int32_t date, int32_t time) const {
    return DateTimeFromParts(date / 10000, date / 100 % 100, date % 100, time / 10000 % 100,
                             time / 100 % 100, time % 100);
}

TDateTime TSysInfo::LocalNow() const {
    const LocalClockReading r = ReadLocalClock();
    return DateTimeFromParts(r.Year, r.Month, r.Day, r.Hour, r.Minute, r.Second);
}

TSysInfo& SysInfo() {
    if (!Instance()) Instance() = std::make_unique<TSysInfo>();
    return *Instance();
}

void CreateSysInfo() {
    Instance() = std::make_unique<TSysInfo>();
}

void FreeSysInfo() {
    Instance().reset();
}

int32_t PackDateHour(TDateTime t) {
    const DateTimeParts p = DecodeDateTime(t);
    return ((p.Year * 100 + p.Month) * 100 + p.Day) * 100 + p.Hour;
}

int32_t DayNumber(int32_t packed) {
    // Fliegel and Van Flandern; wide integers so that no valid date can overflow.
    const int64_t y = packed / 1000000;
    const int64_t m = packed / 10000 % 100;
    const int64_t d = packed / 100 % 100;
    const int64_t a = (m - 14) / 12;
    return static_cast<int32_t>(d - 32075 + 1461 * (y + 4800 + a) / 4 +
                                367 * (m - 2 - a * 12) / 12 - 3 * ((y + 4900 + a) / 100) / 4);
}

int32_t DateFromDayNumber(int32_t dayNumber) {
    int64_t l = static_cast<int64_t>(dayNumber) + 68569;
    const int64_t n = 4 * l / 146097;
    l = l - (146097 * n + 3) / 4;
    const int64_t i = 4000 * (l + 1) / 1461001;
    l = l - 1461 * i / 4 + 31;
    const int64_t j = 80 * l / 2447;
    const int64_t d = l - 2447 * j / 80;
    l = j / 11;
    const int64_t m = j + 2 - 12 * l;
    const int64_t y = 100 * (n - 49) + i + l;
    return static_cast<int32_t>(((y * 100 + m) * 100 + d) * 100);
}

int32_t TimeZoneHours(int32_t packedDateHour) {
    // The biases are the zone's current ones, as the system reports them today; only the
    // summer window is the fixed rule.
    const ZoneBiases biases = LocalZoneBiases(ReadLocalClock().Year);
    const int32_t base = biases.Bias;
    const int32_t extra = biases.DaylightBias;
    const int year = packedDateHour / 1000000;
    int32_t start = 0, end = 0;
    if (year != 0) {
        start = LastSundayAtOne(year, 3);
        end = LastSundayAtOne(year, 10);
    }
    if (start < packedDateHour && packedDateHour < end) return (base + extra) / 60;
    return base / 60;
}

}  // namespace qx
