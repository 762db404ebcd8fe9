// The database module: product directories from the data path, creation of absent tables with
// their exact columns, and the files it must never replace or create.
#include <gtest/gtest.h>

#include "db_test_support.h"
#include "platform/files.h"
#include "weatherdb/zodevurez_db_module.h"

namespace qx {
namespace {

using test::Sqlite3;
using test::TempTree;

TEST(ZodevurezDbModuleTest, ProductDirectoriesAreThePlainConcatenationOfTheDataPath) {
    TempTree tree;
    const std::string withSep = tree.MakeDir("Data");
    TZodevurezDbModule module("Zodevurez", withSep);
    EXPECT_EQ(module.ProductDirectory(24), withSep + "Radar/Nl/");
    EXPECT_EQ(module.ProductDirectory(25), withSep + "Radar/Dl/");
    EXPECT_EQ(module.ProductDirectory(26), withSep + "Radar/Gb/");
    EXPECT_EQ(module.ProductDirectory(8), withSep + "Sat/Holland/");
    EXPECT_EQ(module.ProductDirectory(9), withSep + "Sat/Holland/");
    EXPECT_EQ(module.ProductDirectory(10), withSep + "Sat/Europe/");
    EXPECT_EQ(module.ProductDirectory(11), withSep + "Sat/Europe/");
    for (int chart : {12, 13, 15, 16, 17}) {
        EXPECT_EQ(module.ProductDirectory(chart), withSep + "Charts/");
    }
    EXPECT_EQ(module.ProductDirectory(0), withSep + "Text/Forecast/Short/");
    EXPECT_EQ(module.ProductDirectory(1), withSep + "Text/Forecast/Long/");
    EXPECT_EQ(module.ProductDirectory(18), "");

    // Without the final separator the directories run on from the name, while the tables stay
    // in the directory itself.
    const std::string noSep = tree.Path("Data");
    module.Connect(noSep, "Other");
    EXPECT_EQ(module.ProductDirectory(24), noSep + "Radar/Nl/");
    EXPECT_EQ(module.ProductDirectory(1), noSep + "Text/Forecast/Long/");
    EXPECT_EQ(module.TableObservations.DatabaseName, "Other");
    test::LogRecorder log;
    EXPECT_FALSE(module.OpenOrCreateTable(&module.TableNlRadar, false));
    EXPECT_TRUE(FileExists(withSep + "NlRadar.DB"));
}

TEST(ZodevurezDbModuleTest, AbsentTablesAreAnnouncedAndCreatedWithTheExactColumns) {
    TempTree tree;
    TZodevurezDbModule module("Zodevurez", tree.Path());
    test::LogRecorder log;
    TDbTable* tables[] = {
        &module.TableNlRadar,    &module.TableDlRadar,       &module.TableGbRadar,
        &module.TableSatellite,  &module.TableWeatherCharts, &module.TableTextVwKt,
        &module.TableTextVwLt,   &module.TableVerwachtKt,    &module.TableVerwachtMt,
        &module.TableVerwachtLt, &module.TableObservations};
    for (TDbTable* table : tables) {
        EXPECT_FALSE(module.OpenOrCreateTable(table, false)) << table->TableName();
        EXPECT_TRUE(log.Has(" Table not present : (" + table->TableName() + ") ", -1));
        EXPECT_TRUE(module.OpenOrCreateTable(table, false)) << "already open";
        module.CloseTable(table);
        EXPECT_FALSE(table->Active());
        EXPECT_TRUE(module.OpenOrCreateTable(table, false)) << "reopened";
        module.CloseTable(table);
    }
    module.CloseAllTables();
    const std::string image =
        "InsertTime|DateTime\nFileTime|DateTime\nVersionNo|INTEGER\n"
        "FileName|VARCHAR(20)\nInfoString|VARCHAR(40)";
    // SQLite reports the declared type "Integer" in its canonical spelling INTEGER.
    const std::string columns = "select name || '|' || type from pragma_table_info('%s');";
    auto layout = [&](const std::string& file, const std::string& sqlName) {
        std::string sql = columns;
        sql.replace(sql.find("%s"), 2, sqlName);
        return Sqlite3(tree.Path(file), sql);
    };
    EXPECT_EQ(layout("NlRadar.DB", "NlRadar"), image);
    EXPECT_EQ(layout("GbRadar.DB", "GbRadar"), image);
    EXPECT_EQ(layout("Sat.DB", "Sat"), image + "\nType|INTEGER");
    EXPECT_EQ(layout("Charts.DB", "Charts"), image + "\nType|INTEGER");
    EXPECT_EQ(layout("TextLng.DB", "TextLng"),
              "InsertTime|DateTime\nFileTime|DateTime\nRegio|INTEGER\nVersionNo|INTEGER\n"
              "FileName|VARCHAR(20)\nInfoString|VARCHAR(40)");
    const std::string station = layout("Obs.DB", "Obs");
    EXPECT_EQ(station, layout("FcstSrt.DB", "FcstSrt"));
    EXPECT_TRUE(
        station.starts_with("FileTime|DateTime\nStation|INTEGER\nDtg|DateTime\nEl2|Float\nEl4|"
                            "Smallint\nEl5|Smallint\n"))
        << station;
    EXPECT_NE(station.find("El150|Smallint\nEl151|Smallint\nEl152|Smallint"), std::string::npos);
    EXPECT_NE(station.find("El158|Smallint\nEl159|Float"), std::string::npos);
    EXPECT_EQ(std::count(station.begin(), station.end(), '\n'), 58);
    EXPECT_TRUE(
        Sqlite3(tree.Path("Obs.DB"), "select sql from sqlite_master where type = 'table';")
            .starts_with("CREATE TABLE \"Obs\" (\"FileTime\" DateTime, \"Station\" Integer, "
                         "\"Dtg\" DateTime, \"El2\" Float, \"El4\" Smallint"));
    // Every column may be null; no key.
    EXPECT_EQ(Sqlite3(tree.Path("Obs.DB"),
                      "select count(*) from pragma_table_info('Obs') "
                      "where \"notnull\" or pk;"),
              "0");
}

TEST(ZodevurezDbModuleTest, ElementsTableIsNeverCreatedAndUnusableTablesAreKept) {
    TempTree tree;
    test::LogRecorder log;
    {
        TZodevurezDbModule module("Zodevurez", tree.Path());
        EXPECT_FALSE(module.OpenOrCreateTable(&module.TableElements, false));
        EXPECT_FALSE(module.TableElements.Active());
        const std::string damaged = "not a table at all";
        test::WriteText(tree.Path("Charts.DB"), damaged);
        EXPECT_FALSE(module.OpenOrCreateTable(&module.TableWeatherCharts, false));
        EXPECT_FALSE(module.TableWeatherCharts.Active());
        EXPECT_TRUE(log.Has("Table not usable: Charts.DB", 0));
        EXPECT_FALSE(log.Has(" Table not present : (Charts.DB) ", -1));
        EXPECT_EQ(test::ReadText(tree.Path("Charts.DB")), damaged);
        module.FlushTable(&module.TableWeatherCharts);  // closed: nothing
        module.FlushTable(nullptr);
        module.Disconnect();
        // A query reconnects on demand.
        auto q = module.NewQuery();
        EXPECT_TRUE(module.Connected());
        module.FreeQuery(q);
        EXPECT_FALSE(q);
    }
    EXPECT_FALSE(FileExists(tree.Path("Elements.DB")));
}

}  // namespace
}  // namespace qx
