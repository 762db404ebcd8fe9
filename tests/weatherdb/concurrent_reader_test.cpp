// The presentation program reads the tables while we write them: a second process (the sqlite3
// command) holding a read snapshot of every table never makes a product fail, keeps its
// snapshot while it lasts, and sees the new rows afterwards.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>

#include "db_test_support.h"
#include "weatherdb/zodevurez_db_module.h"

namespace qx {
namespace {

using test::InfoFields;

TEST(ConcurrentReaderTest, ReaderOfEveryTableNeverBlocksTheProducts) {
    int argc = 1;
    char name[] = "concurrent_reader_test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    test::TempTree tree;
    test::LogRecorder log;
    for (const char* dir : {"Data/Radar/Nl", "Data/Radar/Dl", "Data/Radar/Gb", "Data/Sat/Europe",
                            "Data/Charts", "Data/Text/Forecast/Short", "Data/Text/Forecast/Long"}) {
        tree.MakeDir(dir);
    }
    const std::string data = tree.Path("Data") + "/";
    const std::string temp = tree.MakeDir("Temp");
    TZodevurezDbModule module("Zodevurez", data);
    const std::vector<std::pair<TDbTable*, int>> products = {
        {&module.TableNlRadar, 24},       {&module.TableDlRadar, 25},
        {&module.TableGbRadar, 26},       {&module.TableSatellite, 10},
        {&module.TableWeatherCharts, 12}, {&module.TableTextVwKt, 0},
        {&module.TableTextVwLt, 1},       {&module.TableVerwachtKt, 2},
        {&module.TableVerwachtMt, 3},     {&module.TableVerwachtLt, 4},
        {&module.TableObservations, 18}};
    for (const auto& [table, type] : products) {
        module.OpenOrCreateTable(table, true);
        module.CloseTable(table);
    }

    // One reader process: the first table is its main database, the others are attached.
    QProcess reader;
    reader.start("sqlite3", {"-batch", QString::fromStdString(data + "NlRadar.DB")});
    ASSERT_TRUE(reader.waitForStarted(20000));
    std::string script;
    std::string count = "select ";
    for (size_t i = 0; i < products.size(); ++i) {
        const std::string& sqlName = products[i].first->SqlName();
        if (i > 0) {
            script +=
                "attach '" + data + products[i].first->TableName() + "' as " + sqlName + ";\n";
            count += " || ' ' || ";
        }
        count += "(select count(*) from " + sqlName + ")";
    }
    count += ";\n";
    reader.write((script + "begin;\n" + count).c_str());
    ASSERT_TRUE(reader.waitForReadyRead(20000));
    EXPECT_EQ(reader.readAll().trimmed().toStdString(), "0 0 0 0 0 0 0 0 0 0 0");

    // One product of each table while the reader holds its snapshot.
    const auto [date, time] = test::PackedDaysAgo(0);
    std::vector<unsigned char> station(236, 0);
    test::PutInt32(station, 0, 6260);
    test::PutInt32(station, 4, date);
    for (const auto& [table, type] : products) {
        InfoFields f;
        f.Date = date;
        f.Time = time;
        f.VersionNo = 20240101;
        f.FileName = std::string("P").append(std::to_string(type)).append(".DAT");
        test::WriteBytes(temp + "X.INF", test::InfoBytes(f));
        bool ok = false;
        if (type == 2 || type == 3 || type == 4 || type == 18) {
            test::WriteBytes(temp + f.FileName, station);
            ok = module.ProcessStationData(temp + "X.INF", temp, type);
        } else {
            test::WriteText(temp + f.FileName, "data");
            switch (type) {
                case 24:
                case 25:
                case 26:
                    ok = module.ProcessRadar(temp + "X.INF", temp, type);
                    break;
                case 10:
                    ok = module.ProcessSatellite(temp + "X.INF", temp, type);
                    break;
                case 12:
                    ok = module.ProcessChart(temp + "X.INF", temp, type);
                    break;
                default:
                    ok = module.ProcessText(temp + "X.INF", temp, type);
                    break;
            }
        }
        EXPECT_TRUE(ok) << table->TableName();
    }
    for (const auto& [text, level] : log.Lines()) EXPECT_GT(level, 0) << text;

    reader.write((count + "commit;\n" + count + ".quit\n").c_str());
    reader.closeWriteChannel();
    ASSERT_TRUE(reader.waitForFinished(20000));
    EXPECT_EQ(reader.readAll().toStdString(), "0 0 0 0 0 0 0 0 0 0 0\n1 1 1 1 1 1 1 1 1 1 1\n");
}

}  // namespace
}  // namespace qx
