#include "sql_database.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/files.h"
#include "platform/posix_io.h"

namespace qx {

namespace {

// Long enough for any reader's snapshot or a checkpoint of the presentation program to pass.
constexpr int kBusyTimeoutMs = 5000;

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string Quoted(const std::string& identifier) {
    std::string out = "\"";
    for (char c : identifier) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

void ExecOn(sqlite3* db, const std::string& sql) {
    char* error = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
        std::string message = error != nullptr ? error : sqlite3_errstr(rc);
        sqlite3_free(error);
        throw ESqlError(message + " [" + sql + "]");
    }
}

// Runs a statement whose single result is an integer (or text); returns it as text.
bool QueryOne(sqlite3* db, const std::string& sql, const std::string& arg, std::string& out,
              std::string& error) {
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
    if (rc == SQLITE_OK && !arg.empty()) {
        rc = sqlite3_bind_text(stmt, 1, arg.c_str(), -1, SQLITE_TRANSIENT);
    }
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(stmt, 0);
            out = text != nullptr ? reinterpret_cast<const char*>(text) : "";
            rc = SQLITE_OK;
        } else if (rc == SQLITE_DONE) {
            out.clear();
            rc = SQLITE_OK;
        }
    }
    if (rc != SQLITE_OK) error = sqlite3_errmsg(db);
    sqlite3_finalize(stmt);
    return rc == SQLITE_OK;
}

void SyncDirectory(const std::string& dir) {
    UniqueFd fd(RetryOnEintr([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY); }));
    if (fd) ::fsync(fd.get());
}

}  // namespace

std::string SqliteDeclaredType(const std::string& type) {
    // SQLite gives "String(n)" numeric affinity, which turns "0822.001" into 822.001; a type
    // containing CHAR keeps text as written, and readers still see the length.
    if (Lower(type).starts_with("string(")) return "VARCHAR" + type.substr(6);
    return type;
}

std::string CreateTableSql(const std::string& sqlName, const std::vector<SqlColumn>& columns) {
    std::string sql = "CREATE TABLE " + Quoted(sqlName) + " (";
    for (size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) sql += ", ";
        sql += Quoted(columns[i].Name) + " " + SqliteDeclaredType(columns[i].Type);
    }
    return sql + ")";
}

TSqlDatabase::~TSqlDatabase() {
    Disconnect();
}

void TSqlDatabase::Connect(const std::string& directory) {
    Disconnect();
    sqlite3* raw = nullptr;
    // The main database is a private in-memory one: every real table is an attached file.
    const int rc =
        sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    std::shared_ptr<sqlite3> db(raw, [](sqlite3* p) { sqlite3_close_v2(p); });
    if (rc != SQLITE_OK) {
        throw ESqlError(std::string("Cannot open the database connection: ") + sqlite3_errstr(rc));
    }
    sqlite3_busy_timeout(raw, kBusyTimeoutMs);
    sqlite3_extended_result_codes(raw, 1);
    db_ = std::move(db);
    directory_ = directory;
}

void TSqlDatabase::Disconnect() {
    attached_.clear();
    db_.reset();
}

std::string TSqlDatabase::TablePath(const std::string& fileName) const {
    return ResolveCase(JoinPath(directory_, fileName));
}

bool TSqlDatabase::IsAttached(const std::string& sqlName) const {
    return db_ && attached_.count(Lower(sqlName)) != 0;
}

TSqlAttachResult TSqlDatabase::AttachTable(const std::string& fileName, const std::string& sqlName,
                                           std::string* whyNot) {
    if (!db_) throw ESqlError("Not connected");
    if (IsAttached(sqlName)) return TSqlAttachResult::Attached;
    const std::string path = TablePath(fileName);
    DirEntry info;
    if (!GetFileInfo(path, info)) return TSqlAttachResult::Absent;

    sqlite3* db = db_.get();
    std::string out, error;
    const std::string schema = Quoted(sqlName);
    bool attached = false;
    bool ok = QueryOne(db, "ATTACH DATABASE ?1 AS " + schema, path, out, error);
    attached = ok;
    if (ok) {
        ok = QueryOne(db,
                      "SELECT count(*) FROM " + schema +
                          ".sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE",
                      sqlName, out, error);
        if (ok && out != "1") {
            ok = false;
            error = "no table " + sqlName + " in the file";
        }
    }
    if (ok) ok = QueryOne(db, "PRAGMA " + schema + ".journal_mode = WAL", "", out, error);
    if (ok && Lower(out) != "wal") {
        ok = false;
        error = "cannot switch to WAL mode (" + out + ")";
    }
    if (ok) ok = QueryOne(db, "PRAGMA " + schema + ".synchronous = FULL", "", out, error);
    // Room for a whole delivery's changes, so a transaction does not spill pages early.
    if (ok) ok = QueryOne(db, "PRAGMA " + schema + ".cache_size = -32768", "", out, error);
    if (!ok) {
        if (attached) {
            std::string ignored;
            QueryOne(db, "DETACH DATABASE " + schema, "", out, ignored);
        }
        if (whyNot != nullptr) *whyNot = error;
        return TSqlAttachResult::Unusable;
    }
    attached_.insert(Lower(sqlName));
    return TSqlAttachResult::Attached;
}

void TSqlDatabase::CreateTableFile(const std::string& fileName, const std::string& sqlName,
                                   const std::vector<SqlColumn>& columns) {
    const std::string finalPath = TablePath(fileName);
    const std::string tempPath =
        JoinPath(directory_, "." + fileName + ".new" + std::to_string(::getpid()));
    auto removeTemp = [&] {
        ::unlink(tempPath.c_str());
        ::unlink((tempPath + "-wal").c_str());
        ::unlink((tempPath + "-shm").c_str());
        ::unlink((tempPath + "-journal").c_str());
    };
    removeTemp();

    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(tempPath.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                             nullptr);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    if (rc != SQLITE_OK) {
        std::string message = raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
        db.reset();
        removeTemp();
        throw ESqlError("Cannot create " + finalPath + ": " + message);
    }
    try {
        // The table is written straight into the file (a full disk fails this statement), and
        // only then is the file switched to WAL, so no checkpoint is left to fail at close.
        ExecOn(raw, CreateTableSql(sqlName, columns));
        ExecOn(raw, "PRAGMA journal_mode = WAL");
    } catch (const ESqlError& e) {
        db.reset();
        removeTemp();
        throw ESqlError("Cannot create " + finalPath + ": " + e.what());
    }
    rc = sqlite3_close(db.release());
    if (rc != SQLITE_OK) {
        removeTemp();
        throw ESqlError("Cannot create " + finalPath + ": " + sqlite3_errstr(rc));
    }
    // Only a file that really holds the table is put in place.
    raw = nullptr;
    rc = sqlite3_open_v2(tempPath.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    db.reset(raw);
    try {
        if (rc != SQLITE_OK) throw ESqlError(sqlite3_errstr(rc));
        ExecOn(raw, "SELECT count(*) FROM " + Quoted(sqlName));
    } catch (const ESqlError& e) {
        db.reset();
        removeTemp();
        throw ESqlError("Cannot create " + finalPath + ": " + e.what());
    }
    db.reset();
    // link() never replaces: if the file appeared meanwhile, that one is kept and used.
    if (::link(tempPath.c_str(), finalPath.c_str()) != 0 && errno != EEXIST) {
        const int err = errno;
        removeTemp();
        throw ESqlError("Cannot create " + finalPath + ": " + std::strerror(err));
    }
    removeTemp();
    SyncDirectory(directory_.empty() ? "." : directory_);
}

void TSqlDatabase::EnsureIndex(const std::string& sqlName, const std::string& indexName,
                               const std::vector<std::string>& columns) {
    if (!IsAttached(sqlName)) throw ESqlError("Table " + sqlName + " is not open");
    std::string sql = "CREATE INDEX IF NOT EXISTS " + Quoted(sqlName) + "." + Quoted(indexName) +
                      " ON " + Quoted(sqlName) + " (";
    for (size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) sql += ", ";
        sql += Quoted(columns[i]);
    }
    ExecOn(db_.get(), sql + ")");
}

bool TSqlDatabase::UpgradeDeclaredTypes(const std::string& sqlName,
                                        const std::vector<SqlColumn>& columns) {
    if (!IsAttached(sqlName)) throw ESqlError("Table " + sqlName + " is not open");
    sqlite3* db = db_.get();
    const std::string schema = Quoted(sqlName);
    // The table's own spelling of its name, and whether any declared type differs from ours.
    sqlite3_stmt* stmt = nullptr;
    const std::string info = "SELECT name, type FROM pragma_table_info(?1, ?1)";
    if (sqlite3_prepare_v2(db, info.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        throw ESqlError(std::string(sqlite3_errmsg(db)) + " [" + info + "]");
    }
    sqlite3_bind_text(stmt, 1, sqlName.c_str(), -1, SQLITE_TRANSIENT);
    std::vector<SqlColumn> found;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        auto text = [&](int i) {
            const unsigned char* t = sqlite3_column_text(stmt, i);
            return std::string(t != nullptr ? reinterpret_cast<const char*>(t) : "");
        };
        found.push_back({text(0), text(1)});
    }
    sqlite3_finalize(stmt);
    // Only a table of the same columns, some declared with the old types, is rebuilt; any other
    // layout is someone else's and is left alone.
    if (found.size() != columns.size()) return false;
    bool upToDate = true;
    for (size_t i = 0; i < found.size(); ++i) {
        const std::string type = Lower(found[i].Type);
        const bool current = type == Lower(SqliteDeclaredType(columns[i].Type));
        if (Lower(found[i].Name) != Lower(columns[i].Name)) return false;
        if (!current && type != Lower(columns[i].Type)) return false;
        upToDate = upToDate && current;
    }
    if (upToDate) return false;
    // Values already stored as numbers keep their digits, as text; leading zeros lost before
    // cannot be recovered. One transaction: a reader sees the old table or the new one.
    // Inside the caller's transaction the rebuild is a savepoint of it, undone whole on failure.
    const bool own = !InTransaction();
    const std::string table = schema + "." + Quoted(sqlName);
    const std::string fresh = Quoted(sqlName + "_upgrade");
    try {
        ExecOn(db, own ? "BEGIN IMMEDIATE" : "SAVEPOINT qx_upgrade");
        std::string create = CreateTableSql(sqlName + "_upgrade", columns);
        create.replace(0, std::string("CREATE TABLE ").size(), "CREATE TABLE " + schema + ".");
        ExecOn(db, create);
        ExecOn(db, "INSERT INTO " + schema + "." + fresh + " SELECT * FROM " + table);
        ExecOn(db, "DROP TABLE " + table);
        ExecOn(db, "ALTER TABLE " + schema + "." + fresh + " RENAME TO " + Quoted(sqlName));
        ExecOn(db, own ? "COMMIT" : "RELEASE qx_upgrade");
    } catch (const ESqlError&) {
        try {
            if (own && InTransaction()) ExecOn(db, "ROLLBACK");
            if (!own) ExecOn(db, "ROLLBACK TO qx_upgrade; RELEASE qx_upgrade");
        } catch (const ESqlError&) {
            // The first error says more; the caller's own rollback undoes the rest.
        }
        throw;
    }
    return true;
}

void TSqlDatabase::DetachTable(const std::string& sqlName) {
    if (!IsAttached(sqlName)) return;
    attached_.erase(Lower(sqlName));
    ExecOn(db_.get(), "DETACH DATABASE " + Quoted(sqlName));
}

void TSqlDatabase::Flush(const std::string& sqlName) {
    if (!IsAttached(sqlName)) throw ESqlError("Table " + sqlName + " is not open");
    // With synchronous=FULL a commit returns only once it is on disk; a pending transaction
    // makes its statements durable together when it commits.
}

void TSqlDatabase::BeginTransaction() {
    if (!db_) throw ESqlError("Not connected");
    ExecOn(db_.get(), "BEGIN IMMEDIATE");
}

void TSqlDatabase::Commit() {
    if (db_ && InTransaction()) ExecOn(db_.get(), "COMMIT");
}

void TSqlDatabase::Rollback() {
    if (db_ && InTransaction()) ExecOn(db_.get(), "ROLLBACK");
}

bool TSqlDatabase::InTransaction() const {
    return db_ && sqlite3_get_autocommit(db_.get()) == 0;
}

std::unique_ptr<TSqlQuery> TSqlDatabase::NewQuery() {
    if (!db_) throw ESqlError("Not connected");
    return std::make_unique<TSqlQuery>(db_);
}

void TSqlDatabase::Execute(const std::string& sql) {
    if (!db_) throw ESqlError("Not connected");
    ExecOn(db_.get(), sql);
}

}  // namespace qx
