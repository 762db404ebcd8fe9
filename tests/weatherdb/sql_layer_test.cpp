// The SQL layer on real SQLite files: attached table files, parameters, result fields, and the
// rule that an existing file is never replaced.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>

#include "db_test_support.h"
#include "platform/files.h"
#include "platform/sql_database.h"

namespace qx {
namespace {

using test::Sqlite3;
using test::TempTree;

const std::vector<SqlColumn> kItemColumns = {{"Stamp", "DateTime"},
                                             {"Count", "Integer"},
                                             {"Small", "Smallint"},
                                             {"Value", "Float"},
                                             {"Name", "String(20)"}};

class SqlLayerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        db.Connect(tree.Path());
        db.CreateTableFile("Items.DB", "Items", kItemColumns);
        ASSERT_EQ(db.AttachTable("Items.DB", "Items"), TSqlAttachResult::Attached);
    }
    TempTree tree;
    TSqlDatabase db;
};

TEST_F(SqlLayerTest, MultiLineTextWithNamedParametersRunsOnUnqualifiedTables) {
    db.CreateTableFile("Other.DB", "Other", {{"Name", "String(20)"}});
    ASSERT_EQ(db.AttachTable("Other.DB", "Other"), TSqlAttachResult::Attached);
    auto q = db.NewQuery();
    q->SetSql({"insert into Items( Stamp,  Count, Small, Value, Name)",
               "values(:Stamp, :Count, :Small, :Value, :Name);"});
    TDateTime t;
    ASSERT_TRUE(TryEncodeDateTime({2001, 12, 7, 6, 5, 4, 0}, t));
    // By position, in order of first appearance.
    q->SetDateTime(0, t);
    q->SetInteger(1, 2000000000);
    q->SetSmallint(2, -32768);
    q->SetFloat(3, 2.5);
    q->SetString(4, "RN0810.SHW");
    EXPECT_EQ(q->ExecSql(), 1);
    // By name, with a repeated parameter and a null.
    q->SetSql({"insert into Other values(:Name);"});
    q->SetNull("Name");
    q->ExecSql();
    q->SetSql({"select * from Items", "where Name = :Name or Name = :Name;"});
    q->SetString("Name", "RN0810.SHW");
    q->Open();
    ASSERT_FALSE(q->Eof());
    EXPECT_EQ(q->FieldAsString("stamp"), "2001-12-07 06:05:04.000");
    EXPECT_EQ(q->FieldAsInteger("Count"), 2000000000);
    EXPECT_EQ(q->FieldAsString("Small"), "-32768");
    EXPECT_EQ(q->FieldAsString("Value"), "2.5");
    q->Next();
    EXPECT_TRUE(q->Eof());
    q->Close();
    // The same text again starts without parameter values.
    q->SetSql({"insert into Other values(:Name);"});
    q->SetString("Name", "set");
    q->SetSql({"insert into Other values(:Name);"});
    q->ExecSql();
    EXPECT_EQ(Sqlite3(tree.Path("Other.DB"), "select count(*), count(Name) from Other;"), "2|0");
    q->SetSql({"Select MAX(Name) AS M from Other"});
    q->Open();
    EXPECT_EQ(q->FieldAsString("M"), "");  // null reads as empty text
    EXPECT_EQ(q->FieldAsInteger("M"), 0);
    // Another process sees the stored types.
    EXPECT_EQ(Sqlite3(tree.Path("Items.DB"),
                      "select typeof(Stamp), typeof(Count), typeof(Small), typeof(Value), "
                      "typeof(Name) from Items;"),
              "text|integer|integer|real|text");
}

TEST_F(SqlLayerTest, BadUseRaisesInsteadOfStoringSomethingElse) {
    auto q = db.NewQuery();
    q->SetSql({"insert into Items(Small) values(:Small)"});
    EXPECT_THROW(q->SetSmallint("Small", 32768), ESqlError);
    EXPECT_THROW(q->SetSmallint(0, -32769), ESqlError);
    EXPECT_THROW(q->SetInteger("Nope", 1), ESqlError);
    EXPECT_THROW(q->SetInteger(1, 1), ESqlError);
    q->SetSql({"insert into Missing values(1)"});
    EXPECT_THROW(q->ExecSql(), ESqlError);
    q->SetSql({"delete from Items; drop table Items"});
    EXPECT_THROW(q->ExecSql(), ESqlError);
    EXPECT_EQ(Sqlite3(tree.Path("Items.DB"), "select count(*) from sqlite_master;"), "1");
}

TEST_F(SqlLayerTest, ExistingFilesAreNeverReplacedOrCreatedByAttach) {
    // Absent: reported, not created.
    EXPECT_EQ(db.AttachTable("Absent.DB", "Absent"), TSqlAttachResult::Absent);
    EXPECT_FALSE(FileExists(tree.Path("Absent.DB")));
    // Not a database: unusable, bytes untouched.
    const std::string junk(4096, 'x');
    test::WriteText(tree.Path("Junk.DB"), junk);
    std::string why;
    EXPECT_EQ(db.AttachTable("Junk.DB", "Junk", &why), TSqlAttachResult::Unusable);
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(test::ReadText(tree.Path("Junk.DB")), junk);
    // A database without the expected table: unusable, not altered.
    Sqlite3(tree.Path("Wrong.DB"), "create table Something(a);");
    EXPECT_EQ(db.AttachTable("Wrong.DB", "Wrong"), TSqlAttachResult::Unusable);
    EXPECT_EQ(Sqlite3(tree.Path("Wrong.DB"), "select name from sqlite_master;"), "Something");
    // Creating over an existing file keeps the existing one.
    Sqlite3(tree.Path("Kept.DB"), "create table Kept(a); insert into Kept values(42);");
    db.CreateTableFile("Kept.DB", "Kept", {{"b", "Integer"}});
    EXPECT_EQ(Sqlite3(tree.Path("Kept.DB"), "select * from Kept;"), "42");
    // No temporary files are left behind by creation.
    for (const DirEntry& e : ListDirectory(tree.Path(), "*")) {
        EXPECT_NE(e.Name[0], '.') << e.Name;
    }
    // Names are found whatever their case; a detached table is no longer reachable.
    Sqlite3(tree.Path("lower.db"), "create table Lower(a);");
    EXPECT_EQ(db.AttachTable("LOWER.DB", "Lower"), TSqlAttachResult::Attached);
    db.DetachTable("Lower");
    EXPECT_FALSE(db.IsAttached("Lower"));
}

TEST_F(SqlLayerTest, TableFilesAreInWalModeAndDurableAfterEachStatement) {
    auto q = db.NewQuery();
    q->SetSql({"insert into Items(Count) values(:Count)"});
    q->SetInteger("Count", 7);
    q->ExecSql();
    db.Flush("Items");
    // Another process reads the committed row at once, while we keep the file attached.
    EXPECT_EQ(Sqlite3(tree.Path("Items.DB"), "pragma journal_mode; select Count from Items;"),
              "wal\n7");
    // Inside a transaction nothing is visible until the commit, then all of it.
    db.BeginTransaction();
    q->SetInteger("Count", 8);
    q->ExecSql();
    q->SetInteger("Count", 9);
    q->ExecSql();
    EXPECT_EQ(Sqlite3(tree.Path("Items.DB"), "select count(*) from Items;"), "1");
    db.Commit();
    EXPECT_EQ(Sqlite3(tree.Path("Items.DB"), "select count(*) from Items;"), "3");
    db.BeginTransaction();
    q->ExecSql();
    db.Rollback();
    EXPECT_EQ(Sqlite3(tree.Path("Items.DB"), "select count(*) from Items;"), "3");
}

TEST_F(SqlLayerTest, AReaderHoldingASnapshotNeverMakesTheWriterFail) {
    int argc = 1;
    char name[] = "sql_layer_test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    QProcess reader;
    reader.start("sqlite3", {"-batch", QString::fromStdString(tree.Path("Items.DB"))});
    ASSERT_TRUE(reader.waitForStarted(20000));
    reader.write("begin; select count(*) from Items;\n");
    ASSERT_TRUE(reader.waitForReadyRead(20000));
    EXPECT_EQ(reader.readAll().trimmed().toStdString(), "0");
    auto q = db.NewQuery();
    q->SetSql({"insert into Items(Count) values(:Count)"});
    for (int i = 0; i < 200; ++i) {
        q->SetInteger("Count", i);
        ASSERT_NO_THROW(q->ExecSql());
    }
    // The reader still sees its snapshot, then the new rows after it ends its transaction.
    reader.write("select count(*) from Items; commit; select count(*) from Items; .quit\n");
    reader.closeWriteChannel();
    ASSERT_TRUE(reader.waitForFinished(20000));
    EXPECT_EQ(reader.readAll().simplified().toStdString(), "0 200");
}

}  // namespace
}  // namespace qx
