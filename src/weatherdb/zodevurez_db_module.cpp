#include "zodevurez_db_module.h"

#include "support/error_box.h"
#include "support/log.h"

namespace qx {

namespace {

// Product directories relative to the data path, by type number (null: stored in tables).
const char* RelativeDirectory(int typeNumber) {
    switch (typeNumber) {
        case 24:
            return "Radar/Nl/";
        case 25:
            return "Radar/Dl/";
        case 26:
            return "Radar/Gb/";
        case 8:
        case 9:
            return "Sat/Holland/";
        case 10:
        case 11:
            return "Sat/Europe/";
        case 12:
        case 13:
        case 15:
        case 16:
        case 17:
            return "Charts/";
        case 0:
            return "Text/Forecast/Short/";
        case 1:
            return "Text/Forecast/Long/";
        default:
            return nullptr;
    }
}

// Every station statement looks rows up by delivery, station and time; without an index each
// record of a delivery would scan the whole table.
std::vector<std::string> StationKey() {
    return {"FileTime", "Station", "Dtg"};
}

// The lookup index is only an aid: a file we may not change is still used without it. A file
// with the old declared types is upgraded first (the rebuild drops its index).
void EnsureIndexQuietly(TDbTable& table) {
    try {
        if (table.UpgradeDeclaredTypes()) Log(table.TableName() + ": text columns upgraded", 1);
        table.EnsureIndex();
    } catch (const std::exception& e) {
        Log(table.TableName() + ": " + e.what(), 1);
    }
}

}  // namespace

TZodevurezDbModule::TZodevurezDbModule(const std::string& databaseName, const std::string& dataPath)
    : TableNlRadar(ZodevurezDatabase, "NlRadar.DB", "NlRadar", RadarFields()),
      TableDlRadar(ZodevurezDatabase, "DlRadar.DB", "DlRadar", RadarFields()),
      TableGbRadar(ZodevurezDatabase, "GbRadar.DB", "GbRadar", RadarFields()),
      TableSatellite(ZodevurezDatabase, "Sat.DB", "Sat", TypedImageFields()),
      TableWeatherCharts(ZodevurezDatabase, "Charts.DB", "Charts", TypedImageFields()),
      TableTextVwKt(ZodevurezDatabase, "TextSrt.DB", "TextSrt", TextFields()),
      TableTextVwLt(ZodevurezDatabase, "TextLng.DB", "TextLng", TextFields()),
      TableVerwachtKt(ZodevurezDatabase, "FcstSrt.DB", "FcstSrt", StationFields(), StationKey()),
      TableVerwachtMt(ZodevurezDatabase, "FcstMid.DB", "FcstMid", StationFields(), StationKey()),
      TableVerwachtLt(ZodevurezDatabase, "FcstLng.DB", "FcstLng", StationFields(), StationKey()),
      TableObservations(ZodevurezDatabase, "Obs.DB", "Obs", StationFields(), StationKey()),
      TableElements(ZodevurezDatabase, "Elements.DB", "Elements", ElementFields()),
      DataPath(dataPath),
      DatabaseName(databaseName) {
    ZodevurezDbModuleCreate();
}

TZodevurezDbModule::~TZodevurezDbModule() {
    // A destructor must not throw: a table that cannot be detached goes with the connection.
    try {
        ZodevurezDbModuleDestroy();
    } catch (const std::exception& e) {
        Log(e.what(), 1);
    }
}

void TZodevurezDbModule::ZodevurezDbModuleCreate() {
    // Directories are filled in by Connect.
    ProductCatalogue = {
        {"", "Inf", "", -1},   {"Rn", "Shw", "", 24}, {"Rd", "Shw", "", 25}, {"Rg", "Shw", "", 26},
        {"Ni", "Jpg", "", 8},  {"Nv", "Jpg", "", 9},  {"Ei", "Jpg", "", 10}, {"Ev", "Jpg", "", 11},
        {"Pp", "Jpg", "", 12}, {"Rr", "Jpg", "", 13}, {"Pr", "Jpg", "", 17}, {"Tn", "Jpg", "", 15},
        {"Tx", "Jpg", "", 16}, {"Wk", "Txt", "", 0},  {"Wl", "Txt", "", 1},  {"Tk", "Bin", "", 2},
        {"Tm", "Bin", "", 3},  {"Tl", "Bin", "", 4},  {"Ob", "Bin", "", 18},
    };
    Connect(DataPath, DatabaseName);
}

void TZodevurezDbModule::ZodevurezDbModuleDestroy() {
    CloseAllTables();
    ZodevurezDatabase.Disconnect();
}

std::vector<TDbTable*> TZodevurezDbModule::AllTables() {
    // The order in which CloseAllTables closes them.
    return {&TableElements,   &TableNlRadar,      &TableDlRadar,    &TableGbRadar,
            &TableTextVwKt,   &TableTextVwLt,     &TableVerwachtKt, &TableVerwachtMt,
            &TableVerwachtLt, &TableObservations, &TableSatellite,  &TableWeatherCharts};
}

void TZodevurezDbModule::Connect(const std::string& dataPath, const std::string& databaseName) {
    ZodevurezDatabase.Disconnect();
    DataPath = dataPath;
    DatabaseName = databaseName;
    for (TDbTable* table : AllTables()) table->DatabaseName = databaseName;
    // Plain concatenation, as the presentation program forms the same directories.
    for (TProductCatalogueEntry& entry : ProductCatalogue) {
        const char* relative = RelativeDirectory(entry.TypeNumber);
        entry.Directory = relative != nullptr ? dataPath + relative : std::string();
    }
    // The connection itself takes the data path unchanged.
    ZodevurezDatabase.Connect(dataPath);
}

void TZodevurezDbModule::Disconnect() {
    CloseAllTables();
    ZodevurezDatabase.Disconnect();
}

void TZodevurezDbModule::EnsureConnected() {
    if (!ZodevurezDatabase.Connected()) ZodevurezDatabase.Connect(DataPath);
}

bool TZodevurezDbModule::OpenOrCreateTable(TDbTable* table, bool quiet) {
    if (table == nullptr) return false;
    if (table->Active()) return true;
    EnsureConnected();
    std::string whyNot;
    switch (table->Open(&whyNot)) {
        case TSqlAttachResult::Attached:
            EnsureIndexQuietly(*table);
            return true;
        case TSqlAttachResult::Unusable:
            // Its rows may still be readable by other means: never replace it by an empty one.
            Log("Table not usable: " + table->TableName(), 0);
            Log(table->TableName() + ": " + whyNot, 1);
            return false;
        case TSqlAttachResult::Absent:
            break;
    }
    // The element descriptions belong to the presentation program.
    if (table == &TableElements) return false;
    if (!quiet) ErrorBox("Table not present ", table->TableName());
    table->CreateTable();
    if (table->Open(&whyNot) != TSqlAttachResult::Attached) {
        throw ESqlError("Cannot open " + table->TableName() + " after creating it: " + whyNot);
    }
    EnsureIndexQuietly(*table);
    return false;
}

void TZodevurezDbModule::CloseTable(TDbTable* table) {
    if (table != nullptr && table->Active()) table->Close();
}

void TZodevurezDbModule::CloseAllTables() {
    for (TDbTable* table : AllTables()) CloseTable(table);
}

void TZodevurezDbModule::FlushTable(TDbTable* table) {
    if (table == nullptr || !table->Active()) return;
    ZodevurezDatabase.Flush(table->SqlName());
}

void TZodevurezDbModule::FlushTableForType(int typeNumber) {
    switch (typeNumber) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4:
        case 18:
            FlushTable(TableForType(typeNumber));
            break;
        default:
            break;
    }
}

std::unique_ptr<TSqlQuery> TZodevurezDbModule::NewQuery() {
    EnsureConnected();
    return ZodevurezDatabase.NewQuery();
}

void TZodevurezDbModule::FreeQuery(std::unique_ptr<TSqlQuery>& query) {
    if (!query) return;
    query->Close();
    query.reset();
}

TDbTable* TZodevurezDbModule::TableForType(int typeNumber) {
    switch (typeNumber) {
        case 0:
            return &TableTextVwKt;
        case 1:
            return &TableTextVwLt;
        case 2:
            return &TableVerwachtKt;
        case 3:
            return &TableVerwachtMt;
        case 4:
            return &TableVerwachtLt;
        case 18:
            return &TableObservations;
        case 8:
        case 9:
        case 10:
        case 11:
            return &TableSatellite;
        case 12:
        case 13:
        case 15:
        case 16:
        case 17:
            return &TableWeatherCharts;
        case 24:
            return &TableNlRadar;
        case 25:
            return &TableDlRadar;
        case 26:
            return &TableGbRadar;
        default:
            return nullptr;
    }
}

std::string TZodevurezDbModule::ProductDirectory(int typeNumber) const {
    for (const TProductCatalogueEntry& entry : ProductCatalogue) {
        if (entry.TypeNumber == typeNumber) return entry.Directory;
    }
    return {};
}

}  // namespace qx
