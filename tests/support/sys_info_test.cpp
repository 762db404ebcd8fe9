// Regional date-time conversion, packed dates, day numbers and the time-zone rule.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <string>

#include "platform/regional_settings.h"
#include "support/sys_info.h"

namespace qx {
namespace {

struct LocaleCase {
    const char* dateFormat;
    const char* timeFormat;
    int order;
    const char* dateSep;
    const char* timeSep;
};

// Formats as real locales give them (de_DE, en_US, sv_SE/ISO, nl_NL, C, ja-like text).
const LocaleCase kLocales[] = {
    {"%d.%m.%Y", "%T", 1, ".", ":"},
    {"%m/%d/%Y", "%r", 0, "/", ":"},
    {"%Y-%m-%d", "%H:%M:%S", 2, "-", ":"},
    {"%d-%m-%y", "%H.%M.%S", 1, "-", "."},
    {"%D", "%T", 0, "/", ":"},
    {"%F", "%R", 2, "-", ":"},
    {"%Y年%m月%d日", "%H時%M分%S秒", 2, "-", ":"},
};

TEST(RegionalSettings, LocaleFormatsGiveOrderAndSeparators) {
    for (const LocaleCase& c : kLocales) {
        const RegionalSettings s = ParseRegionalFormats(c.dateFormat, c.timeFormat);
        EXPECT_EQ(s.DateOrder, c.order) << c.dateFormat;
        EXPECT_EQ(s.DateSeparator, c.dateSep) << c.dateFormat;
        EXPECT_EQ(s.TimeSeparator, c.timeSep) << c.timeFormat;
    }
    // The process's own locale must give usable one-character separators.
    const RegionalSettings here = ReadRegionalSettings();
    EXPECT_EQ(here.DateSeparator.size(), 1u);
    EXPECT_EQ(here.TimeSeparator.size(), 1u);
}

TEST(DateTimeFromParts, ReadsBackWhatItWritesInEveryRegionalOrder) {
    const int samples[][6] = {{2024, 2, 29, 23, 59, 59},
                              {1999, 12, 31, 0, 0, 0},
                              {2025, 1, 2, 3, 4, 5},
                              {2026, 10, 25, 1, 0, 0},
                              {1900, 3, 1, 12, 30, 0}};
    for (const LocaleCase& c : kLocales) {
        const TSysInfo info(ParseRegionalFormats(c.dateFormat, c.timeFormat));
        for (const auto& s : samples) {
            const TDateTime t = info.DateTimeFromParts(s[0], s[1], s[2], s[3], s[4], s[5]);
            const DateTimeParts p = DecodeDateTime(t);
            EXPECT_EQ(p.Year, s[0]) << c.dateFormat;
            EXPECT_EQ(p.Month, s[1]) << c.dateFormat;
            EXPECT_EQ(p.Day, s[2]) << c.dateFormat;
            EXPECT_EQ(p.Hour, s[3]);
            EXPECT_EQ(p.Minute, s[4]);
            EXPECT_EQ(p.Second, s[5]);
            EXPECT_EQ(p.Millisecond, 0);
        }
    }
}

TEST(DateTimeFromParts, WritesTheTextInTheUsersOrder) {
    EXPECT_EQ(TSysInfo({".", ":", 1}).FormatParts(2024, 3, 7, 9, 5, 1), "07.03.2024 09:05:01");
    EXPECT_EQ(TSysInfo({"/", ":", 0}).FormatParts(2024, 3, 7, 9, 5, 1), "03/07/2024 09:05:01");
    EXPECT_EQ(TSysInfo({"-", ".", 2}).FormatParts(2024, 3, 7, 9, 5, 1), "2024-03-07 09.05.01");
}

TEST(DateTimeFromParts, ImpossibleDateRaisesConversionError) {
    const TSysInfo info({"-", ":", 1});
    EXPECT_THROW(info.DateTimeFromParts(2023, 2, 29, 0, 0, 0), std::runtime_error);
    EXPECT_THROW(info.DateTimeFromParts(2024, 13, 1, 0, 0, 0), std::runtime_error);
    EXPECT_THROW(info.DateTimeFromParts(2024, 1, 1, 24, 0, 0), std::runtime_error);
    EXPECT_THROW(info.DateTimeFromPacked(20240431, 120000), std::runtime_error);
    // A separator that also occurs as a sign must not let negative parts through.
    EXPECT_THROW(info.DateTimeFromParts(2024, -1, 1, 0, 0, 0), std::runtime_error);
}

TEST(DateTimeFromPacked, SplitsDateAndTimeNumbers) {
    const TSysInfo info({".", ":", 1});
    const DateTimeParts p = DecodeDateTime(info.DateTimeFromPacked(20240307, 91502));
    EXPECT_EQ(p.Year, 2024);
    EXPECT_EQ(p.Month, 3);
    EXPECT_EQ(p.Day, 7);
    EXPECT_EQ(p.Hour, 9);
    EXPECT_EQ(p.Minute, 15);
    EXPECT_EQ(p.Second, 2);
}

TEST(LocalNow, IsTheCurrentTimeToTheWholeSecond) {
    const TDateTime before = NowLocal();
    const TDateTime now = SysInfo().LocalNow();
    EXPECT_EQ(DecodeDateTime(now).Millisecond, 0);
    EXPECT_LE(std::abs(now.Value - before.Value) * 86400.0, 2.0);
}

TEST(PackedDates, PackDayNumberAndBackAgree) {
    TDateTime t;
    ASSERT_TRUE(TryEncodeDateTime({2024, 7, 1, 12, 59, 59, 0}, t));
    EXPECT_EQ(PackDateHour(t), 2024070112);
    // Known Julian day numbers: 1 Jan 2000 is 2451545 (a Saturday: 2451545 mod 7 = 5).
    EXPECT_EQ(DayNumber(2000010100), 2451545);
    EXPECT_EQ(DayNumber(2000010123), 2451545);  // the hour is ignored
    EXPECT_EQ(DayNumber(1858111700), 2400001);
    EXPECT_EQ(DateFromDayNumber(2451545), 2000010100);
    // Round trip over leap days, month ends and century years.
    for (int32_t day = DayNumber(1899123000); day <= DayNumber(2101010100); day += 7) {
        EXPECT_EQ(DayNumber(DateFromDayNumber(day)), day);
    }
    EXPECT_EQ(DateFromDayNumber(DayNumber(2024022900)), 2024022900);
    EXPECT_EQ(DateFromDayNumber(DayNumber(2100022800) + 1), 2100030100);
}

class TimeZoneRule : public ::testing::Test {
  protected:
    void SetZone(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }
    void TearDown() override {
        if (saved_.empty()) {
            unsetenv("TZ");
        } else {
            setenv("TZ", saved_.c_str(), 1);
        }
        tzset();
    }
    std::string saved_ = std::getenv("TZ") != nullptr ? std::getenv("TZ") : "";
};

TEST_F(TimeZoneRule, CentralEuropeSummerAndWinter) {
    SetZone("Europe/Amsterdam");
    EXPECT_EQ(TimeZoneHours(2024070112), -2);
    EXPECT_EQ(TimeZoneHours(2024120112), -1);
    // 2024: last Sunday of March is the 31st, of October the 27th; both ends are open.
    EXPECT_EQ(TimeZoneHours(2024033101), -1);
    EXPECT_EQ(TimeZoneHours(2024033102), -2);
    EXPECT_EQ(TimeZoneHours(2024102700), -2);
    EXPECT_EQ(TimeZoneHours(2024102701), -1);
    // 2025: 30 March and 26 October.
    EXPECT_EQ(TimeZoneHours(2025033023), -2);
    EXPECT_EQ(TimeZoneHours(2025032923), -1);
    EXPECT_EQ(TimeZoneHours(2025102600), -2);
    // Year 0 has no summer window.
    EXPECT_EQ(TimeZoneHours(701), -1);
}

TEST_F(TimeZoneRule, FixedWindowWhateverTheZonesOwnDates) {
    SetZone("UTC");
    EXPECT_EQ(TimeZoneHours(2024070112), 0);
    SetZone("Asia/Tokyo");  // no summer time: the window adds nothing
    EXPECT_EQ(TimeZoneHours(2024070112), -9);
    SetZone("Australia/Sydney");  // southern summer, yet the March-October rule applies
    EXPECT_EQ(TimeZoneHours(2024120112), -10);
    EXPECT_EQ(TimeZoneHours(2024070112), -11);
}

TEST_F(TimeZoneRule, HalfHourZonesTruncateTowardZero) {
    SetZone("Asia/Kolkata");  // bias -330 minutes
    EXPECT_EQ(TimeZoneHours(2024010112), -5);
    SetZone("America/St_Johns");  // bias 210, daylight -60
    EXPECT_EQ(TimeZoneHours(2024010112), 3);
    EXPECT_EQ(TimeZoneHours(2024070112), 2);
}

}  // namespace
}  // namespace qx
