#include "db_table.h"

#include "weatherdb/station_record.h"

namespace qx {

TDbTable::TDbTable(TSqlDatabase& database, std::string tableName, std::string sqlName,
                   std::vector<SqlColumn> fieldDefs, std::vector<std::string> indexColumns)
    : database_(database),
      tableName_(std::move(tableName)),
      sqlName_(std::move(sqlName)),
      fieldDefs_(std::move(fieldDefs)),
      indexColumns_(std::move(indexColumns)) {}

std::vector<SqlColumn> RadarFields() {
    return {{"InsertTime", "DateTime"},
            {"FileTime", "DateTime"},
            {"VersionNo", "Integer"},
            {"FileName", "String(20)"},
            {"InfoString", "String(40)"}};
}

std::vector<SqlColumn> TypedImageFields() {
    std::vector<SqlColumn> fields = RadarFields();
    fields.push_back({"Type", "Integer"});
    return fields;
}

std::vector<SqlColumn> TextFields() {
    return {{"InsertTime", "DateTime"}, {"FileTime", "DateTime"},   {"Regio", "Integer"},
            {"VersionNo", "Integer"},   {"FileName", "String(20)"}, {"InfoString", "String(40)"}};
}

std::vector<SqlColumn> StationFields() {
    std::vector<SqlColumn> fields = {
        {"FileTime", "DateTime"}, {"Station", "Integer"}, {"Dtg", "DateTime"}};
    for (const TStationElement& e : kStationElements) {
        fields.push_back({e.Name, e.Kind == TElementKind::Smallint ? "Smallint" : "Float"});
    }
    return fields;
}

std::vector<SqlColumn> ElementFields() {
    return {{"Element", "Smallint"}, {"Name", "String(50)"}, {"ShortName", "String(50)"},
            {"Unit", "String(12)"},  {"MinValue", "Float"},  {"MaxValue", "Float"},
            {"Margin", "Float"},     {"Steps", "Float"},     {"MinOnAx", "Boolean"},
            {"MaxOnAx", "Boolean"}};
}

}  // namespace qx
