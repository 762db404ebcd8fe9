// Values that must come back exactly as delivered: text columns that look like numbers, the
// purge that follows such a name to its file, table files made with the old declared types, and
// station records whose raw times differ but compose to the same Dtg.
#include <gtest/gtest.h>

#include "db_test_support.h"
#include "platform/files.h"
#include "weatherdb/station_record.h"
#include "weatherdb/zodevurez_db_module.h"

namespace qx {
namespace {

using test::InfoFields;

class StoredTextTest : public ::testing::Test {
  protected:
    StoredTextTest() {
        data = tree.MakeDir("Data");
        tree.MakeDir("Data/Radar/Nl");
        temp = tree.MakeDir("Temp");
        module = std::make_unique<TZodevurezDbModule>("Zodevurez", data);
    }
    std::string Deliver(const std::string& infoName, const InfoFields& f,
                        const std::string& content) {
        test::WriteBytes(temp + infoName, test::InfoBytes(f));
        test::WriteText(temp + f.FileName, content);
        return temp + infoName;
    }
    InfoFields Radar(const std::string& name, const std::string& info, double daysAgo) {
        InfoFields f;
        std::tie(f.Date, f.Time) = test::PackedDaysAgo(daysAgo);
        f.FileName = name;
        f.InfoString = info;
        return f;
    }
    std::string Rows(const std::string& file, const std::string& sql) {
        return test::Sqlite3(data + file, sql);
    }

    test::TempTree tree;
    test::LogRecorder log;
    std::string data, temp;
    std::unique_ptr<TZodevurezDbModule> module;
};

TEST_F(StoredTextTest, NumericLookingNamesRoundTripAndThePurgeRemovesTheirOwnFile) {
    struct Case {
        const char* Name;
        const char* Info;
        const char* Decoy;  // the file the name would be as a number
    };
    const Case cases[] = {
        {"0822.001", "0800", "822.001"}, {"1e3", "00", "1000.0"}, {"012", "07", "12"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        test::WriteText(data + "Radar/Nl/" + c.Decoy, "someone else's");
        ASSERT_TRUE(
            module->ProcessRadar(Deliver("RN1.INF", Radar(c.Name, c.Info, 8), c.Name), temp, 24));
        EXPECT_EQ(Rows("NlRadar.DB",
                       "select FileName || '|' || InfoString || '|' || typeof(FileName) || '|' || "
                       "typeof(InfoString) from NlRadar;"),
                  std::string(c.Name) + "|" + c.Info + "|text|text");
        EXPECT_TRUE(FileExists(data + "Radar/Nl/" + c.Name));
        // A fresh image ages the 8-day-old row out, and its file with it.
        ASSERT_TRUE(
            module->ProcessRadar(Deliver("RN2.INF", Radar("new.shw", "x", 0), "n"), temp, 24));
        EXPECT_EQ(Rows("NlRadar.DB", "select FileName from NlRadar;"), "new.shw");
        EXPECT_FALSE(FileExists(data + "Radar/Nl/" + c.Name));
        EXPECT_TRUE(FileExists(data + "Radar/Nl/" + c.Decoy));
        std::remove((data + "NlRadar.DB").c_str());
    }
}

TEST_F(StoredTextTest, ATableMadeWithTheOldDeclaredTypesIsRebuiltKeepingItsRows) {
    test::Sqlite3(data + "NlRadar.DB",
                  "create table NlRadar (InsertTime DateTime, FileTime DateTime, VersionNo "
                  "Integer, FileName String(20), InfoString String(40));"
                  "insert into NlRadar values ('2099-01-01 00:00:00.000', "
                  "'2099-01-01 00:00:00.000', 3, 'kept.shw', 'old row');");
    ASSERT_TRUE(module->ProcessRadar(Deliver("RN1.INF", Radar("0810", "0800", 0), "n"), temp, 24));
    EXPECT_EQ(Rows("NlRadar.DB", "select name || ' ' || type from pragma_table_info('NlRadar');"),
              "InsertTime DateTime\nFileTime DateTime\nVersionNo INTEGER\n"
              "FileName VARCHAR(20)\nInfoString VARCHAR(40)");
    EXPECT_EQ(Rows("NlRadar.DB", "select FileName, InfoString from NlRadar order by 1;"),
              "0810|0800\nkept.shw|old row");
    EXPECT_EQ(Rows("NlRadar.DB", "pragma integrity_check;"), "ok");
    // A table of some other layout is used as it is, never rebuilt.
    module->CloseAllTables();
    std::remove((data + "NlRadar.DB").c_str());
    test::Sqlite3(data + "NlRadar.DB",
                  "create table NlRadar (InsertTime DateTime, FileTime DateTime, VersionNo "
                  "Integer, FileName String(20), InfoString String(40), Extra Text);");
    module->ProcessRadar(Deliver("RN2.INF", Radar("a.shw", "x", 0), "n"), temp, 24);
    EXPECT_EQ(Rows("NlRadar.DB", "select type from pragma_table_info('NlRadar') where cid = 3;"),
              "String(20)");
}

std::vector<unsigned char> StationRecord(int32_t station, int32_t date, int32_t time) {
    std::vector<unsigned char> b(kStationRecordSize, 0);
    test::PutInt32(b, 0, station);
    test::PutInt32(b, 4, date);
    test::PutInt32(b, 8, time);
    return b;
}

TEST_F(StoredTextTest, RawTimesThatComposeToTheSameDtgGiveOneRow) {
    int32_t today = 0;
    std::tie(today, std::ignore) = test::PackedDaysAgo(0);
    for (const char* infoName : {"OB1.INF", "OBZZ.INF"}) {
        SCOPED_TRACE(infoName);
        std::vector<unsigned char> records = StationRecord(6260, today, 120000);
        const std::vector<unsigned char> same = StationRecord(6260, today, 1120000);
        records.insert(records.end(), same.begin(), same.end());
        InfoFields f;
        f.Date = today;
        f.Time = 120000;
        f.FileName = "OB1.BIN";
        test::WriteBytes(temp + infoName, test::InfoBytes(f));
        test::WriteBytes(temp + f.FileName, records);
        module->ProcessStationData(temp + infoName, temp, 18);
        EXPECT_EQ(Rows("Obs.DB", "select count(*), substr(min(Dtg), 12, 5) from Obs;"), "1|12:00");
        std::remove((data + "Obs.DB").c_str());
    }
}

}  // namespace
}  // namespace qx
