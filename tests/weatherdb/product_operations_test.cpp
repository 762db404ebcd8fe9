// Image and text products on real SQLite files: each family's purge and replacement rules, and
// the product files following the rows.
#include <gtest/gtest.h>

#include "db_test_support.h"
#include "platform/files.h"
#include "weatherdb/zodevurez_db_module.h"

namespace qx {
namespace {

using test::InfoFields;
using test::Sqlite3;

class ProductTest : public ::testing::Test {
  protected:
    ProductTest() {
        for (const char* dir : {"Data/Radar/Nl", "Data/Radar/Dl", "Data/Radar/Gb",
                                "Data/Sat/Europe", "Data/Sat/Holland", "Data/Charts",
                                "Data/Text/Forecast/Short", "Data/Text/Forecast/Long"}) {
            tree.MakeDir(dir);
        }
        data = tree.Path("Data") + "/";
        temp = tree.MakeDir("Temp");
        module = std::make_unique<TZodevurezDbModule>("Zodevurez", data);
    }

    // Writes an info file and its data file into the temporary directory.
    std::string Deliver(const std::string& infoName, InfoFields f, const std::string& content) {
        WriteInfo(infoName, f);
        test::WriteText(temp + f.FileName, content);
        return temp + infoName;
    }
    void WriteInfo(const std::string& infoName, const InfoFields& f) {
        test::WriteBytes(temp + infoName, test::InfoBytes(f));
    }
    InfoFields Fields(const std::string& name, int32_t version, double daysAgo = 0.0) {
        InfoFields f;
        f.VersionNo = version;
        std::tie(f.Date, f.Time) = test::PackedDaysAgo(daysAgo);
        f.FileName = name;
        f.InfoString = "about " + name;
        return f;
    }
    std::string Rows(const std::string& file, const std::string& sql) {
        return Sqlite3(data + file, sql);
    }
    bool Stored(const std::string& relative) { return FileExists(data + relative); }

    test::TempTree tree;
    test::LogRecorder log;
    std::string data, temp;
    std::unique_ptr<TZodevurezDbModule> module;
};

TEST_F(ProductTest, RadarVersion101IsKeptUntilAnImageOfAnotherVersionArrives) {
    EXPECT_TRUE(module->ProcessRadar(Deliver("RN0800.INF", Fields("a.shw", 5), "a"), temp, 24));
    EXPECT_TRUE(module->ProcessRadar(Deliver("RN0810.INF", Fields("b.shw", 101), "b"), temp, 24));
    EXPECT_TRUE(module->ProcessRadar(Deliver("RN0815.INF", Fields("d.shw", 101), "d"), temp, 24));
    EXPECT_EQ(Rows("NlRadar.DB", "select FileName from NlRadar order by FileName;"),
              "a.shw\nb.shw\nd.shw");
    EXPECT_TRUE(module->ProcessRadar(Deliver("RN0820.INF", Fields("c.shw", 6), "c"), temp, 24));
    EXPECT_EQ(Rows("NlRadar.DB", "select FileName, VersionNo from NlRadar order by FileName;"),
              "a.shw|5\nc.shw|6");
    EXPECT_FALSE(Stored("Radar/Nl/b.shw"));
    EXPECT_FALSE(Stored("Radar/Nl/d.shw"));
    EXPECT_EQ(test::ReadText(data + "Radar/Nl/c.shw"), "c");
    // Radar rows carry the product time as their insert time.
    EXPECT_EQ(Rows("NlRadar.DB",
                   "select count(*) from NlRadar where InsertTime = FileTime "
                   "and InfoString = 'about ' || FileName;"),
              "2");
}

TEST_F(ProductTest, SameFileNameReplacesRowAndFileOnlyInItsOwnTable) {
    module->ProcessRadar(Deliver("RD0800.INF", Fields("x.shw", 1), "first"), temp, 25);
    module->ProcessRadar(Deliver("RG0800.INF", Fields("x.shw", 1), "other"), temp, 26);
    module->ProcessRadar(Deliver("RD0810.INF", Fields("x.shw", 2), "second"), temp, 25);
    EXPECT_EQ(Rows("DlRadar.DB", "select FileName, VersionNo from DlRadar;"), "x.shw|2");
    EXPECT_EQ(test::ReadText(data + "Radar/Dl/x.shw"), "second");
    EXPECT_EQ(Rows("GbRadar.DB", "select FileName, VersionNo from GbRadar;"), "x.shw|1");
    EXPECT_EQ(test::ReadText(data + "Radar/Gb/x.shw"), "other");
}

TEST_F(ProductTest, RowsOlderThanSevenDaysAgeOutPerFamilyAndSatelliteType) {
    module->ProcessRadar(Deliver("RN1.INF", Fields("old.shw", 1, 8), "o"), temp, 24);
    module->ProcessRadar(Deliver("RD1.INF", Fields("old.shw", 1, 8), "o"), temp, 25);
    module->ProcessSatellite(Deliver("EI1.INF", Fields("old10.jpg", 1, 8), "o"), temp, 10);
    module->ProcessSatellite(Deliver("EV1.INF", Fields("old11.jpg", 1, 8), "o"), temp, 11);
    module->ProcessChart(Deliver("PP1.INF", Fields("oldpp.jpg", 20000101, 30), "o"), temp, 12);
    module->ProcessText(Deliver("WK1.INF", Fields("old.txt", 1, 8), "o"), temp, 0);
    module->ProcessRadar(Deliver("RN2.INF", Fields("new.shw", 1, 6.9), "n"), temp, 24);
    module->ProcessSatellite(Deliver("EV2.INF", Fields("new11.jpg", 1), "n"), temp, 11);
    module->ProcessChart(Deliver("PP2.INF", Fields("newpp.jpg", 20000101), "n"), temp, 12);
    module->ProcessText(Deliver("WK2.INF", Fields("new.txt", 1), "n"), temp, 0);

    EXPECT_EQ(Rows("NlRadar.DB", "select FileName from NlRadar;"), "new.shw");
    EXPECT_FALSE(Stored("Radar/Nl/old.shw"));
    EXPECT_EQ(Rows("DlRadar.DB", "select FileName from DlRadar;"), "old.shw");
    EXPECT_TRUE(Stored("Radar/Dl/old.shw"));
    EXPECT_EQ(Rows("Sat.DB", "select FileName, Type from Sat order by FileName;"),
              "new11.jpg|11\nold10.jpg|10");
    EXPECT_TRUE(Stored("Sat/Europe/old10.jpg"));
    EXPECT_FALSE(Stored("Sat/Europe/old11.jpg"));
    EXPECT_EQ(Rows("Charts.DB", "select count(*) from Charts;"), "2");
    EXPECT_EQ(Rows("TextSrt.DB", "select FileName from TextSrt;"), "new.txt");
    EXPECT_FALSE(Stored("Text/Forecast/Short/old.txt"));
}

TEST_F(ProductTest, ChartsKeepOnlyTheNewestRunOfTheirType) {
    module->ProcessChart(Deliver("PP1.INF", Fields("pp1.jpg", 20011207), "1"), temp, 12);
    module->ProcessChart(Deliver("PP2.INF", Fields("pp2.jpg", 20011207), "2"), temp, 12);
    module->ProcessChart(Deliver("RR1.INF", Fields("rr1.jpg", 20011201), "r"), temp, 13);
    // An older run is ignored, though the record was read.
    EXPECT_TRUE(
        module->ProcessChart(Deliver("PP3.INF", Fields("pp3.jpg", 20011206), "3"), temp, 12));
    EXPECT_FALSE(Stored("Charts/pp3.jpg"));
    // The same run replaces only the row of its own file name.
    module->ProcessChart(Deliver("PP4.INF", Fields("pp1.jpg", 20011207), "1b"), temp, 12);
    EXPECT_EQ(Rows("Charts.DB", "select FileName from Charts where Type = 12 order by 1;"),
              "pp1.jpg\npp2.jpg");
    EXPECT_EQ(test::ReadText(data + "Charts/pp1.jpg"), "1b");
    // A newer run removes the rows and files of every other run of that type only.
    module->ProcessChart(Deliver("PP5.INF", Fields("pp5.jpg", 20011208), "5"), temp, 12);
    EXPECT_EQ(Rows("Charts.DB", "select FileName, VersionNo, Type from Charts order by 1;"),
              "pp5.jpg|20011208|12\nrr1.jpg|20011201|13");
    EXPECT_FALSE(Stored("Charts/pp1.jpg"));
    EXPECT_FALSE(Stored("Charts/pp2.jpg"));
    EXPECT_TRUE(Stored("Charts/rr1.jpg"));
    // The first chart of a type must be of a run from 1998 on.
    EXPECT_TRUE(
        module->ProcessChart(Deliver("TN1.INF", Fields("tn1.jpg", 19971231), "t"), temp, 15));
    module->ProcessChart(Deliver("TX1.INF", Fields("tx1.jpg", 19980101), "t"), temp, 16);
    EXPECT_EQ(Rows("Charts.DB", "select Type from Charts where Type in (15, 16);"), "16");
}

TEST_F(ProductTest, PurgesNeverCrossTypesAndInsertTimesFollowTheFamily) {
    InfoFields f = Fields("same.jpg", 3, 2);
    module->ProcessSatellite(Deliver("EI1.INF", f, "ten"), temp, 10);
    module->ProcessSatellite(Deliver("EV1.INF", f, "eleven"), temp, 11);
    EXPECT_EQ(Rows("Sat.DB", "select Type from Sat order by Type;"), "10\n11");
    // Satellite and chart rows are stamped with the time of recording, not the product time.
    const std::string today = DateTimeToIso(NowLocal()).substr(0, 10);
    EXPECT_EQ(Rows("Sat.DB", "select count(*) from Sat where substr(InsertTime, 1, 10) = '" +
                                 today + "' and FileTime < InsertTime;"),
              "2");
    // Text rows carry the product time.
    InfoFields t = Fields("t.txt", 1, 2);
    t.Regio = 4;
    module->ProcessText(Deliver("WL1.INF", t, "text"), temp, 1);
    EXPECT_EQ(
        Rows("TextLng.DB", "select Regio, InsertTime = FileTime, substr(FileTime, 1, 10) < '" +
                               today + "' from TextLng;"),
        "4|1|1");
}

TEST_F(ProductTest, TextsOfDifferentRegionsWithTheSameNameKeepOnlyTheLater) {
    InfoFields f = Fields("w.txt", 1);
    f.Regio = 1;
    module->ProcessText(Deliver("WK1.INF", f, "region 1"), temp, 0);
    f.Regio = 2;
    module->ProcessText(Deliver("WK2.INF", f, "region 2"), temp, 0);
    EXPECT_EQ(Rows("TextSrt.DB", "select Regio, FileName from TextSrt;"), "2|w.txt");
    EXPECT_EQ(test::ReadText(data + "Text/Forecast/Short/w.txt"), "region 2");
    EXPECT_FALSE(FileExists(data + "TextLng.DB"));
}

TEST_F(ProductTest, NothingIsRecordedWithoutItsFileOrRecord) {
    // Missing product directory: the copy fails, so no row.
    std::filesystem::remove_all(data + "Radar/Gb");
    EXPECT_TRUE(module->ProcessRadar(Deliver("RG1.INF", Fields("g.shw", 1), "g"), temp, 26));
    EXPECT_EQ(Rows("GbRadar.DB", "select count(*) from GbRadar;"), "0");
    // Missing data file.
    WriteInfo("RN1.INF", Fields("absent.shw", 1));
    EXPECT_TRUE(module->ProcessRadar(temp + "RN1.INF", temp, 24));
    // Missing or short info file.
    EXPECT_FALSE(module->ProcessRadar(temp + "RN9.INF", temp, 24));
    std::vector<unsigned char> shortInfo = test::InfoBytes(Fields("s.shw", 1));
    shortInfo.resize(79);
    test::WriteBytes(temp + "RN2.INF", shortInfo);
    test::WriteText(temp + "s.shw", "s");
    EXPECT_FALSE(module->ProcessRadar(temp + "RN2.INF", temp, 24));
    EXPECT_EQ(Rows("NlRadar.DB", "select count(*) from NlRadar;"), "0");
    EXPECT_EQ(log.CountContaining("General read error", -1), 0);
}

TEST_F(ProductTest, NamesAreFoundWhateverTheirCase) {
    Deliver("rn0810.inf", Fields("RN0810.SHW", 1), "");
    std::filesystem::rename(temp + "RN0810.SHW", temp + "rn0810.shw");
    test::WriteText(temp + "rn0810.shw", "radar");
    EXPECT_TRUE(module->ProcessRadar(temp + "rn0810.INF", temp, 24));
    EXPECT_EQ(Rows("NlRadar.DB", "select FileName from NlRadar;"), "RN0810.SHW");
    EXPECT_EQ(test::ReadText(data + "Radar/Nl/RN0810.SHW"), "radar");
}

TEST_F(ProductTest, DataPathWithoutFinalSeparatorPutsFilesBesideIt) {
    module.reset();
    const std::string bare = tree.Path("Data");
    tree.MakeDir("DataRadar/Nl");
    TZodevurezDbModule bareModule("Zodevurez", bare);
    EXPECT_TRUE(bareModule.ProcessRadar(Deliver("RN1.INF", Fields("r.shw", 1), "r"), temp, 24));
    EXPECT_TRUE(FileExists(tree.Path("DataRadar/Nl/r.shw")));
    EXPECT_FALSE(FileExists(data + "Radar/Nl/r.shw"));
    EXPECT_EQ(Rows("NlRadar.DB", "select FileName from NlRadar;"), "r.shw");
}

TEST_F(ProductTest, BadRecordsAndBadTablesEndTheProductWithoutHarm) {
    // A data-file name that leaves the directory is refused.
    tree.MakeDir("Data/Radar/escaped");
    test::WriteText(data + "Radar/escaped.shw", "keep");
    EXPECT_TRUE(
        module->ProcessRadar(Deliver("RN1.INF", Fields("../escaped.shw", 1), "x"), temp, 24));
    EXPECT_TRUE(log.Has(" General read error: (" + temp + "RN1.INF) ", -1));
    EXPECT_EQ(test::ReadText(data + "Radar/escaped.shw"), "keep");
    EXPECT_EQ(Rows("NlRadar.DB", "select count(*) from NlRadar;"), "0");
    // An impossible product date.
    InfoFields f = Fields("bad.shw", 1);
    f.Date = 20241301;
    EXPECT_TRUE(module->ProcessRadar(Deliver("RN2.INF", f, "x"), temp, 24));
    EXPECT_TRUE(log.Has(" General read error: (" + temp + "RN2.INF) ", -1));
    EXPECT_FALSE(Stored("Radar/Nl/bad.shw"));
    // A table file that cannot be opened is reported and kept; the product is skipped.
    test::WriteText(data + "Sat.DB", "damaged");
    EXPECT_FALSE(module->ProcessSatellite(Deliver("EI1.INF", Fields("e.jpg", 1), "e"), temp, 10));
    EXPECT_TRUE(log.Has("Table not usable: Sat.DB", 0));
    EXPECT_EQ(test::ReadText(data + "Sat.DB"), "damaged");
    EXPECT_FALSE(Stored("Sat/Europe/e.jpg"));
    // A missing table is announced and created.
    EXPECT_TRUE(log.Has(" Table not present : (NlRadar.DB) ", -1));
    EXPECT_FALSE(module->TableNlRadar.Active());
}

TEST_F(ProductTest, AnErrorOutsideTheRecordGuardIsReportedAndContained) {
    // The database directory is gone: creating the table fails.
    module.reset();
    TZodevurezDbModule lost("Zodevurez", tree.Path("Nowhere") + "/");
    bool result = true;
    EXPECT_NO_THROW(result =
                        lost.ProcessRadar(Deliver("RN1.INF", Fields("r.shw", 1), "r"), temp, 24));
    EXPECT_FALSE(result);
    EXPECT_EQ(log.CountContaining("Cannot create", 0), 1);
    EXPECT_NO_THROW(result = lost.ProcessStationData(temp + "RN1.INF", temp, 18));
    EXPECT_FALSE(result);
    EXPECT_EQ(log.CountContaining("Cannot create", 0), 2);
}

}  // namespace
}  // namespace qx
