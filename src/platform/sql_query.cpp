#include "sql_query.h"

#include <sqlite3.h>
#include <strings.h>

#include <cctype>

namespace qx {

TSqlQuery::TSqlQuery(std::shared_ptr<sqlite3> db) : db_(std::move(db)) {}

TSqlQuery::~TSqlQuery() {
    if (stmt_ != nullptr) sqlite3_finalize(stmt_);
}

void TSqlQuery::SetSql(const std::vector<std::string>& lines) {
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) text += '\n';
        text += lines[i];
    }
    if (stmt_ != nullptr && text == text_) {
        // The same text again: keep the compiled statement, start without parameter values.
        EnsureIdle();
        sqlite3_clear_bindings(stmt_);
        return;
    }
    if (stmt_ != nullptr) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
    active_ = false;
    eof_ = true;
    text_ = std::move(text);
}

void TSqlQuery::Check(int rc, const char* what) const {
    if (rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE) return;
    std::string message = what;
    message += ": ";
    message += db_ ? sqlite3_errmsg(db_.get()) : sqlite3_errstr(rc);
    message += " [" + text_ + "]";
    throw ESqlError(message);
}

void TSqlQuery::Prepare() {
    EnsurePrepared();
}

void TSqlQuery::EnsurePrepared() {
    if (stmt_ != nullptr) return;
    if (!db_) throw ESqlError("Query without a database connection");
    const char* tail = nullptr;
    Check(sqlite3_prepare_v2(db_.get(), text_.c_str(), static_cast<int>(text_.size()) + 1, &stmt_,
                             &tail),
          "Prepare");
    if (stmt_ == nullptr) throw ESqlError("Empty statement [" + text_ + "]");
    // One statement per query: anything but blanks after it would be silently ignored otherwise.
    for (; tail != nullptr && *tail != '\0'; ++tail) {
        if (!std::isspace(static_cast<unsigned char>(*tail)) && *tail != ';') {
            sqlite3_finalize(stmt_);
            stmt_ = nullptr;
            throw ESqlError("More than one statement [" + text_ + "]");
        }
    }
}

// Parameters may only be bound while the statement is not running.
void TSqlQuery::EnsureIdle() {
    EnsurePrepared();
    if (active_) {
        sqlite3_reset(stmt_);
        active_ = false;
        eof_ = true;
    }
}

int TSqlQuery::ParamCount() {
    EnsurePrepared();
    return sqlite3_bind_parameter_count(stmt_);
}

int TSqlQuery::IndexAt(int position) {
    EnsureIdle();
    if (position < 0 || position >= sqlite3_bind_parameter_count(stmt_)) {
        throw ESqlError("Parameter position " + std::to_string(position) + " out of range [" +
                        text_ + "]");
    }
    return position + 1;
}

int TSqlQuery::IndexOf(const std::string& name) {
    EnsureIdle();
    const int index = sqlite3_bind_parameter_index(stmt_, (":" + name).c_str());
    if (index == 0) throw ESqlError("Parameter '" + name + "' not found [" + text_ + "]");
    return index;
}

void TSqlQuery::SetDateTimeText(int position, const std::string& isoText) {
    const int i = IndexAt(position);
    Check(sqlite3_bind_text(stmt_, i, isoText.c_str(), -1, SQLITE_TRANSIENT), "Bind");
}
void TSqlQuery::SetInteger(int position, int32_t value) {
    Check(sqlite3_bind_int(stmt_, IndexAt(position), value), "Bind");
}
void TSqlQuery::SetSmallint(int position, int32_t value) {
    if (value < -32768 || value > 32767) {
        throw ESqlError("Value " + std::to_string(value) + " does not fit a Smallint");
    }
    Check(sqlite3_bind_int(stmt_, IndexAt(position), value), "Bind");
}
void TSqlQuery::SetFloat(int position, double value) {
    Check(sqlite3_bind_double(stmt_, IndexAt(position), value), "Bind");
}
void TSqlQuery::SetString(int position, const std::string& value) {
    const int i = IndexAt(position);
    Check(sqlite3_bind_text(stmt_, i, value.c_str(), static_cast<int>(value.size()),
                            SQLITE_TRANSIENT),
          "Bind");
}
void TSqlQuery::SetNull(int position) {
    Check(sqlite3_bind_null(stmt_, IndexAt(position)), "Bind");
}

void TSqlQuery::SetDateTimeText(const std::string& name, const std::string& isoText) {
    const int i = IndexOf(name);
    Check(sqlite3_bind_text(stmt_, i, isoText.c_str(), -1, SQLITE_TRANSIENT), "Bind");
}
void TSqlQuery::SetInteger(const std::string& name, int32_t value) {
    Check(sqlite3_bind_int(stmt_, IndexOf(name), value), "Bind");
}
void TSqlQuery::SetSmallint(const std::string& name, int32_t value) {
    if (value < -32768 || value > 32767) {
        throw ESqlError("Value " + std::to_string(value) + " does not fit a Smallint");
    }
    Check(sqlite3_bind_int(stmt_, IndexOf(name), value), "Bind");
}
void TSqlQuery::SetFloat(const std::string& name, double value) {
    Check(sqlite3_bind_double(stmt_, IndexOf(name), value), "Bind");
}
void TSqlQuery::SetString(const std::string& name, const std::string& value) {
    const int i = IndexOf(name);
    Check(sqlite3_bind_text(stmt_, i, value.c_str(), static_cast<int>(value.size()),
                            SQLITE_TRANSIENT),
          "Bind");
}
void TSqlQuery::SetNull(const std::string& name) {
    Check(sqlite3_bind_null(stmt_, IndexOf(name)), "Bind");
}

void TSqlQuery::Step() {
    const int rc = sqlite3_step(stmt_);
    active_ = true;
    if (rc == SQLITE_ROW) {
        eof_ = false;
        return;
    }
    eof_ = true;
    if (rc != SQLITE_DONE) {
        // Report the step's own error; reset returns the same code and frees the statement.
        std::string message = std::string("Execute: ") + sqlite3_errmsg(db_.get());
        sqlite3_reset(stmt_);
        active_ = false;
        throw ESqlError(message + " [" + text_ + "]");
    }
}

void TSqlQuery::Open() {
    EnsureIdle();
    Step();
}

void TSqlQuery::Next() {
    if (eof_ || !active_) return;
    Step();
}

int TSqlQuery::ExecSql() {
    EnsureIdle();
    Step();
    sqlite3_reset(stmt_);
    active_ = false;
    eof_ = true;
    return sqlite3_changes(db_.get());
}

void TSqlQuery::Close() {
    if (stmt_ != nullptr && active_) sqlite3_reset(stmt_);
    active_ = false;
    eof_ = true;
}

int TSqlQuery::ColumnOf(const std::string& name) const {
    if (stmt_ == nullptr || eof_) throw ESqlError("No current row for field '" + name + "'");
    const int n = sqlite3_column_count(stmt_);
    for (int i = 0; i < n; ++i) {
        const char* col = sqlite3_column_name(stmt_, i);
        if (col != nullptr && strcasecmp(col, name.c_str()) == 0) return i;
    }
    throw ESqlError("Field '" + name + "' not found [" + text_ + "]");
}

std::string TSqlQuery::FieldAsString(const std::string& name) const {
    const int i = ColumnOf(name);
    const unsigned char* text = sqlite3_column_text(stmt_, i);
    if (text == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(stmt_, i)));
}

int64_t TSqlQuery::FieldAsInteger(const std::string& name) const {
    return sqlite3_column_int64(stmt_, ColumnOf(name));
}

}  // namespace qx
