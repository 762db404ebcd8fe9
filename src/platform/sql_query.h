// An SQL statement on a TSqlDatabase connection, with named parameters and a result cursor.
//
// The text is a list of lines, joined with line breaks, so multi-line SQL runs as written.
// Parameters are written ":Name"; they are numbered from 0 in the order of their first
// appearance and can be set by that position or by name. Values keep their type: DateTime is
// stored as local ISO-8601 text "YYYY-MM-DD HH:MM:SS.SSS", Integer and Smallint as integers,
// Float as a real, String as text. Engine failures raise ESqlError.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/sql_error.h"
#include "support/date_time.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qx {

class TSqlQuery {
  public:
    explicit TSqlQuery(std::shared_ptr<sqlite3> db);
    ~TSqlQuery();
    TSqlQuery(const TSqlQuery&) = delete;
    TSqlQuery& operator=(const TSqlQuery&) = delete;

    // Replaces the text; the statement is prepared again on its next use.
    void SetSql(const std::vector<std::string>& lines);
    std::string SqlText() const { return text_; }

    // Compiles the statement now (otherwise done on first use). Parameters keep no values
    // across a change of text.
    void Prepare();
    int ParamCount();

    // DateTime values are converted where they are set (the conversion lives with the date-time
    // type, above this layer).
    void SetDateTime(int position, TDateTime value) {
        SetDateTimeText(position, DateTimeToIso(value));
    }
    void SetDateTimeText(int position, const std::string& isoText);
    void SetInteger(int position, int32_t value);
    void SetSmallint(int position, int32_t value);  // ESqlError outside -32768..32767
    void SetFloat(int position, double value);
    void SetString(int position, const std::string& value);
    void SetNull(int position);

    void SetDateTime(const std::string& name, TDateTime value) {
        SetDateTimeText(name, DateTimeToIso(value));
    }
    void SetDateTimeText(const std::string& name, const std::string& isoText);
    void SetInteger(const std::string& name, int32_t value);
    void SetSmallint(const std::string& name, int32_t value);
    void SetFloat(const std::string& name, double value);
    void SetString(const std::string& name, const std::string& value);
    void SetNull(const std::string& name);

    // Runs a statement that returns rows and stands on the first one (Eof when none).
    void Open();
    bool Eof() const { return eof_; }
    void Next();
    // A field of the current row by (case-insensitive) name; null reads as "" and 0.
    std::string FieldAsString(const std::string& name) const;
    int64_t FieldAsInteger(const std::string& name) const;

    // Runs a statement that returns no rows; returns the number of rows it changed.
    int ExecSql();

    // Ends the result set; the statement stays prepared with its parameter values.
    void Close();

  private:
    void EnsurePrepared();
    void EnsureIdle();
    int IndexOf(const std::string& name);
    int IndexAt(int position);
    int ColumnOf(const std::string& name) const;
    void Check(int rc, const char* what) const;
    void Step();

    std::shared_ptr<sqlite3> db_;
    std::string text_;
    sqlite3_stmt* stmt_ = nullptr;
    bool active_ = false;  // stepped and not yet reset
    bool eof_ = true;
};

}  // namespace qx
