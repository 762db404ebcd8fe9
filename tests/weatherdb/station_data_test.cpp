// Station forecasts and observations on real SQLite files: which rows each delivery keeps, the
// missing marks, the computed time-zone element, and the atomic recording of a delivery.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <cstdlib>
#include <ctime>

#include "db_test_support.h"
#include "platform/event_loop.h"
#include "platform/files.h"
#include "weatherdb/station_record.h"
#include "weatherdb/zodevurez_db_module.h"

namespace qx {
namespace {

using test::InfoFields;

size_t ElementIndex(const std::string& name) {
    for (size_t i = 0; i < kStationElementCount; ++i) {
        if (name == kStationElements[i].Name) return i;
    }
    throw std::runtime_error("no element " + name);
}

// One 236-byte record: every Smallint element 7, every Float element 1.5 unless set.
struct Rec {
    int32_t Station, Date, Time;
    std::vector<std::pair<std::string, int32_t>> Ints;
    std::vector<std::pair<std::string, float>> Floats;
};

std::vector<unsigned char> RecordBytes(const std::vector<Rec>& recs) {
    std::vector<unsigned char> all;
    for (const Rec& r : recs) {
        std::vector<unsigned char> b(kStationRecordSize, 0);
        test::PutInt32(b, 0, r.Station);
        test::PutInt32(b, 4, r.Date);
        test::PutInt32(b, 8, r.Time);
        for (size_t i = 0; i < kStationElementCount; ++i) {
            if (kStationElements[i].Kind == TElementKind::Smallint) {
                test::PutInt32(b, 12 + 4 * i, 7);
            } else {
                test::PutFloat(b, 12 + 4 * i, 1.5f);
            }
        }
        for (const auto& [name, v] : r.Ints) test::PutInt32(b, 12 + 4 * ElementIndex(name), v);
        for (const auto& [name, v] : r.Floats) test::PutFloat(b, 12 + 4 * ElementIndex(name), v);
        all.insert(all.end(), b.begin(), b.end());
    }
    return all;
}

// 24 hourly records of one station on the given date.
std::vector<Rec> Day(int32_t station, int32_t date, float el2 = 1.5f) {
    std::vector<Rec> recs;
    for (int h = 0; h < 24; ++h) recs.push_back({station, date, h * 10000, {}, {{"El2", el2}}});
    return recs;
}

class StationTest : public ::testing::Test {
  protected:
    StationTest() {
        data = tree.MakeDir("Data");
        temp = tree.MakeDir("Temp");
        module = std::make_unique<TZodevurezDbModule>("Zodevurez", data);
        std::tie(today, std::ignore) = test::PackedDaysAgo(0);
    }

    // Writes an info file naming a station file with these records; returns the info path.
    std::string Deliver(const std::string& infoName, int32_t date, int32_t time,
                        const std::vector<unsigned char>& records) {
        InfoFields f;
        f.Date = date;
        f.Time = time;
        f.FileName = infoName.substr(0, infoName.find('.')) + ".BIN";
        test::WriteBytes(temp + infoName, test::InfoBytes(f));
        test::WriteBytes(temp + f.FileName, records);
        return temp + infoName;
    }
    std::string Rows(const std::string& file, const std::string& sql) {
        return test::Sqlite3(data + file, sql);
    }

    test::TempTree tree;
    test::LogRecorder log;
    std::string data, temp;
    std::unique_ptr<TZodevurezDbModule> module;
    int32_t today = 0;
};

TEST_F(StationTest, AForecastDeliveryReplacesTheForecastOfEachStationItContains) {
    std::vector<Rec> first = Day(100, today);
    for (const Rec& r : Day(200, today)) first.push_back(r);
    for (const Rec& r : Day(300, today)) first.push_back(r);
    const std::string info = Deliver("TK1.INF", today, 60000, RecordBytes(first));
    EXPECT_TRUE(module->ProcessStationData(info, temp, 2));
    // An earlier delivery of another time stays.
    module->ProcessStationData(Deliver("TK0.INF", today, 0, RecordBytes(Day(100, today))), temp, 2);
    // The same delivery again, now with A and B only and new values: no duplicates, C kept.
    std::vector<Rec> second = Day(100, today, 2.5f);
    for (const Rec& r : Day(200, today, 2.5f)) second.push_back(r);
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(module->ProcessStationData(
            Deliver("TK1.INF", today, 60000, RecordBytes(second)), temp, 2));
    }
    EXPECT_EQ(Rows("FcstSrt.DB",
                   "select substr(FileTime, 12, 2), Station, El2, count(*) from FcstSrt "
                   "group by 1, 2, 3 order by 1, 2;"),
              "00|100|1.5|24\n06|100|2.5|24\n06|200|2.5|24\n06|300|1.5|24");
    EXPECT_FALSE(module->TableVerwachtKt.Active());
    EXPECT_FALSE(FileExists(data + "FcstMid.DB"));
}

TEST_F(StationTest, ObservationsAreKeptOncePerDeliveryStationAndTime) {
    std::vector<Rec> recs = Day(6260, today);
    recs.push_back({6260, today, 0, {}, {{"El2", 9.5f}}});  // repeated hour: the last one wins
    const std::string info = Deliver("OB1.INF", today, 120000, RecordBytes(recs));
    module->ProcessStationData(info, temp, 18);
    module->ProcessStationData(info, temp, 18);
    EXPECT_EQ(Rows("Obs.DB", "select count(*), count(distinct Dtg) from Obs;"), "24|24");
    EXPECT_EQ(Rows("Obs.DB", "select El2 from Obs where substr(Dtg, 12, 2) = '00';"), "9.5");
}

TEST_F(StationTest, CumulativeFilesOnlyAddRowsThatAreNotThereYet) {
    std::vector<Rec> recs = Day(6260, today);
    recs.resize(12);
    module->ProcessStationData(Deliver("OB1.INF", today, 120000, RecordBytes(recs)), temp, 18);
    std::vector<Rec> full = Day(6260, today, 8.5f);
    const std::string zz = Deliver("obzz.inf", today, 120000, RecordBytes(full));
    EXPECT_TRUE(module->ProcessStationData(zz, temp, 18));
    // The second time nothing is new, so nothing is sent.
    EXPECT_FALSE(module->ProcessStationData(zz, temp, 18));
    EXPECT_EQ(Rows("Obs.DB", "select El2, count(*) from Obs group by 1 order by 1;"),
              "1.5|12\n8.5|12");
    // Into a delivery with no rows yet, a record repeated within the file is added once: the
    // first one stays.
    std::vector<Rec> twice = {{7, today, 0, {}, {{"El2", 3.5f}}},
                              {7, today, 0, {}, {{"El2", 4.5f}}}};
    module->ProcessStationData(Deliver("OBXZZ.INF", today, 130000, RecordBytes(twice)), temp, 18);
    EXPECT_EQ(Rows("Obs.DB", "select El2 from Obs where Station = 7;"), "3.5");
}

TEST_F(StationTest, MissingMarksBecomeNullsAndNeighbouringValuesStay) {
    std::vector<Rec> recs = {{1,
                              today,
                              0,
                              {{"El4", 32766}, {"El5", 32767}, {"El6", 32765}, {"El152", 32766}},
                              {{"El2", 32766.0f}, {"El7", 32765.0f}, {"El159", 32766.0f}}},
                             {2, today, 10000, {{"El9", 40000}, {"El16", -40000}}, {}}};
    // A partial record at the end is ignored.
    std::vector<unsigned char> bytes = RecordBytes(recs);
    bytes.resize(bytes.size() + 100, 1);
    module->ProcessStationData(Deliver("TL1.INF", today, 0, bytes), temp, 4);
    EXPECT_EQ(Rows("FcstLng.DB",
                   "select quote(El4), El5, El6, quote(El2), El7, quote(El159), "
                   "El152 is not null, El8 from FcstLng where Station = 1;"),
              "NULL|32767|32765|NULL|32765.0|NULL|1|1.5");
    // Values that do not fit a Smallint are stored as null and reported once for the file.
    EXPECT_EQ(Rows("FcstLng.DB",
                   "select quote(El9), quote(El16), El23 from FcstLng "
                   "where Station = 2;"),
              "NULL|NULL|7");
    EXPECT_EQ(log.CountContaining("Values out of range stored as null: 2 in ", 0), 1);
    EXPECT_EQ(Rows("FcstLng.DB", "select count(*) from FcstLng;"), "2");
}

TEST_F(StationTest, TimeZoneElementFollowsTheSummerTimeWindow) {
    const char* old = std::getenv("TZ");
    const std::string saved = old != nullptr ? old : "";
    setenv("TZ", "Europe/Amsterdam", 1);
    tzset();
    // 2021: summer time from Sunday 28 March to Sunday 31 October.
    std::vector<Rec> recs = {{1, 20210115, 120000, {{"El152", 5}}, {}},
                             {2, 20210715, 120000, {{"El152", 5}}, {}},
                             {3, 20210328, 10000, {}, {}},
                             {4, 20210328, 20000, {}, {}},
                             {5, 20211031, 0, {}, {}},
                             {6, 20211031, 10000, {}, {}}};
    module->ProcessStationData(Deliver("TM1.INF", today, 0, RecordBytes(recs)), temp, 3);
    if (old != nullptr) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    EXPECT_EQ(Rows("FcstMid.DB",
                   "select group_concat(El152, ' ') from "
                   "(select El152 from FcstMid order by Station);"),
              "-1 -2 -1 -2 -2 -1");
}

TEST_F(StationTest, OldDeliveriesAreDroppedEvenByAnEmptyFile) {
    const auto [recent, recentTime] = test::PackedDaysAgo(6);
    module->ProcessStationData(Deliver("OB2.INF", recent, recentTime, RecordBytes(Day(2, recent))),
                               temp, 18);
    const auto [oldDate, oldTime] = test::PackedDaysAgo(8);
    module->ProcessStationData(Deliver("OB1.INF", oldDate, oldTime, RecordBytes(Day(1, oldDate))),
                               temp, 18);
    EXPECT_EQ(Rows("Obs.DB", "select count(*) from Obs;"), "48");
    EXPECT_FALSE(module->ProcessStationData(Deliver("OB3.INF", today, 0, {}), temp, 18));
    EXPECT_EQ(Rows("Obs.DB", "select distinct Station from Obs;"), "2");
    // A missing station file or info file adds nothing.
    EXPECT_FALSE(module->ProcessStationData(temp + "OB9.INF", temp, 18));
    EXPECT_EQ(log.CountContaining("General read error", -1), 0);
}

TEST_F(StationTest, AnUnreadableRecordEndsTheFileKeepingTheRowsBeforeIt) {
    std::vector<Rec> recs = Day(1, today);
    recs.resize(3);
    recs[2].Date = 20241301;  // no 13th month
    recs.push_back({2, today, 0, {}, {}});
    const std::string info = Deliver("OB1.INF", today, 0, RecordBytes(recs));
    EXPECT_TRUE(module->ProcessStationData(info, temp, 18));
    EXPECT_TRUE(log.Has(" General read error: (" + info + ") ", -1));
    EXPECT_EQ(Rows("Obs.DB", "select Station, count(*) from Obs group by 1;"), "1|2");
}

// Runs ProcessStationData in a child process that is killed part way through, from inside
// the delivery. The table must then hold the old delivery or the new one, never a mix.
TEST_F(StationTest, ADeliveryCutOffHalfwayLeavesTheTableAsItWas) {
    std::vector<Rec> v1;
    for (int s = 1; s <= 10; ++s) {
        for (const Rec& r : Day(s, today, 1.5f)) v1.push_back(r);
    }
    std::vector<Rec> v2;
    for (int s = 1; s <= 10; ++s) {
        for (const Rec& r : Day(s, today, 2.5f)) v2.push_back(r);
    }
    module->ProcessStationData(Deliver("TK1.INF", today, 0, RecordBytes(v1)), temp, 2);
    const std::string info = Deliver("TK1.INF", today, 0, RecordBytes(v2));
    module.reset();

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int argc = 1;
        char name[] = "station_child";
        char* argv[] = {name, nullptr};
        QCoreApplication app(argc, argv);
        // Each change lets pending messages run: die at the 100th chance.
        auto remaining = std::make_shared<int>(100);
        std::function<void()> tick = [remaining, &tick] {
            if (--*remaining == 0) _exit(3);
            PostToMain(tick);
        };
        PostToMain(tick);
        TZodevurezDbModule childModule("Zodevurez", data);
        childModule.ProcessStationData(info, temp, 2);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3) << "the child should have been cut off";
    EXPECT_EQ(Rows("FcstSrt.DB", "select El2, count(*) from FcstSrt group by 1;"), "1.5|240");
}

}  // namespace
}  // namespace qx
