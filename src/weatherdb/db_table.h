// One table of the weather database: its file name in the database directory, its SQL name and
// its field definitions (order and declared types bind every reader of the database). Whether it
// is open is the state of its file on the module's connection.
#pragma once

#include <string>
#include <vector>

#include "platform/sql_database.h"

namespace qx {

class TDbTable {
  public:
    TDbTable(TSqlDatabase& database, std::string tableName, std::string sqlName,
             std::vector<SqlColumn> fieldDefs, std::vector<std::string> indexColumns = {});
    TDbTable(const TDbTable&) = delete;
    TDbTable& operator=(const TDbTable&) = delete;

    const std::string& TableName() const { return tableName_; }  // file name, "NlRadar.DB"
    const std::string& SqlName() const { return sqlName_; }      // "NlRadar"
    const std::vector<SqlColumn>& FieldDefs() const { return fieldDefs_; }
    // Columns of the lookup index the station tables get (empty: none).
    const std::vector<std::string>& IndexColumns() const { return indexColumns_; }
    std::string DatabaseName;

    bool Active() const { return database_.IsAttached(sqlName_); }
    TSqlAttachResult Open(std::string* whyNot) {
        return database_.AttachTable(tableName_, sqlName_, whyNot);
    }
    void CreateTable() { database_.CreateTableFile(tableName_, sqlName_, fieldDefs_); }
    void Close() { database_.DetachTable(sqlName_); }
    // A file made before text columns had text affinity is rebuilt with today's declared types.
    bool UpgradeDeclaredTypes() { return database_.UpgradeDeclaredTypes(sqlName_, fieldDefs_); }
    void EnsureIndex() {
        if (!indexColumns_.empty())
            database_.EnsureIndex(sqlName_, sqlName_ + "Key", indexColumns_);
    }

  private:
    TSqlDatabase& database_;
    std::string tableName_;
    std::string sqlName_;
    std::vector<SqlColumn> fieldDefs_;
    std::vector<std::string> indexColumns_;
};

// Field definitions of the table families.
std::vector<SqlColumn> RadarFields();       // NlRadar, DlRadar, GbRadar
std::vector<SqlColumn> TypedImageFields();  // Sat, Charts
std::vector<SqlColumn> TextFields();        // TextSrt, TextLng
std::vector<SqlColumn> StationFields();     // FcstSrt, FcstMid, FcstLng, Obs
std::vector<SqlColumn> ElementFields();     // Elements

}  // namespace qx
