// A connection to a database directory, on SQLite.
//
// The database is a directory of table files. Each file ("NlRadar.DB", "Sat.DB", ...) is its own
// SQLite database holding exactly one table, whose SQL name ("NlRadar", "Sat", ...) is also the
// schema name under which the file is attached. SQL texts can therefore name tables without a
// schema: SQLite resolves an unqualified name across all attached databases.
//
// Every table file is in WAL mode with synchronous=FULL, so another process (the presentation
// program) can read while we write, and a committed statement is on disk when it returns. A busy
// timeout covers the short moments in which a reader holds a lock we need.
//
// Main thread only. Queries share the connection handle, so a query freed after Disconnect is
// still safe (its handle is closed when the last user lets go).
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/sql_error.h"
#include "platform/sql_query.h"

struct sqlite3;

namespace qx {

struct SqlColumn {
    std::string Name;
    std::string Type;  // declared type, e.g. "DateTime", "String(20)"
};

enum class TSqlAttachResult {
    Attached,  // the file is attached and holds the table
    Absent,    // there is no such file
    Unusable,  // the file exists but cannot be used (locked, damaged, not a database, no table)
};

class TSqlDatabase {
  public:
    TSqlDatabase() = default;
    ~TSqlDatabase();
    TSqlDatabase(const TSqlDatabase&) = delete;
    TSqlDatabase& operator=(const TSqlDatabase&) = delete;

    // Opens a connection whose table files live in directory; throws ESqlError on failure.
    void Connect(const std::string& directory);
    // Detaches every table and closes the connection; nothing when not connected.
    void Disconnect();
    bool Connected() const { return db_ != nullptr; }
    const std::string& Directory() const { return directory_; }

    // The path of a table file in the directory; an existing file whose name differs only in
    // case is found.
    std::string TablePath(const std::string& fileName) const;

    // Attaches fileName as schema sqlName and checks that it holds the table sqlName. An absent
    // file is never created here. On Unusable, whyNot (when given) receives the engine's reason.
    TSqlAttachResult AttachTable(const std::string& fileName, const std::string& sqlName,
                                 std::string* whyNot = nullptr);
    // Creates fileName holding an empty table sqlName with these columns. The file is built under
    // a temporary name and linked into place, so a crash never leaves a half-made table file; an
    // existing file of that name is never replaced. Throws ESqlError on failure.
    void CreateTableFile(const std::string& fileName, const std::string& sqlName,
                         const std::vector<SqlColumn>& columns);
    // Adds an index on the columns of an attached table unless one of that name exists. Indexes
    // change no row and no column, only how fast rows are found.
    void EnsureIndex(const std::string& sqlName, const std::string& indexName,
                     const std::vector<std::string>& columns);
    // Rebuilds an attached table whose columns match these but were declared with older types
    // (text columns once declared "String(n)"), so it stores values as the columns now say.
    // Returns true when it rebuilt the table. Throws ESqlError when the rebuild fails.
    bool UpgradeDeclaredTypes(const std::string& sqlName, const std::vector<SqlColumn>& columns);
    void DetachTable(const std::string& sqlName);
    bool IsAttached(const std::string& sqlName) const;

    // Makes sure the table's changes are on disk. Outside a transaction every statement is
    // already committed durably; inside one, the commit will make them durable together.
    // Throws ESqlError when the table is not attached to a working connection.
    void Flush(const std::string& sqlName);

    // One write transaction over the connection (all changes become visible and durable at
    // Commit, or not at all).
    void BeginTransaction();
    void Commit();
    void Rollback();
    bool InTransaction() const;

    // A new query on this connection; throws ESqlError when not connected.
    std::unique_ptr<TSqlQuery> NewQuery();

    // Runs SQL without parameters and without result rows.
    void Execute(const std::string& sql);

  private:
    std::shared_ptr<sqlite3> db_;
    std::string directory_;
    std::set<std::string> attached_;  // lower-cased schema names
};

// The type SQLite is told for a logical type: "String(n)" becomes "VARCHAR(n)" (text affinity).
std::string SqliteDeclaredType(const std::string& type);
// "CREATE TABLE "name" ("col" Type, ...)" for the given columns.
std::string CreateTableSql(const std::string& sqlName, const std::vector<SqlColumn>& columns);

}  // namespace qx
