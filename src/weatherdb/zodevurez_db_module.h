// The weather database module: the connection to the database directory, its twelve tables,
// the product directories below the data path, and the operations that record products.
//
// Created by the BBS OPEN command with (databaseName, dataPath); connected by the end-of-call
// step before the processing pipeline runs and disconnected after it. Each product operation
// opens its own table, works through its own query and closes both before it returns, so no
// table stays open between products and the presentation program always reads settled files.
//
// Main thread only. Product operations let pending messages run after every change.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/sql_database.h"
#include "platform/sql_query.h"
#include "weatherdb/db_table.h"

namespace qx {

struct TProductCatalogueEntry {
    std::string Code;       // "Rn", "Ni", ... (empty for the info files)
    std::string Extension;  // of the data file the info record names: "Shw", "Jpg", ...
    std::string Directory;  // product directory (DataPath + relative), empty when in tables
    int TypeNumber;         // -1 for the info files
};

class TZodevurezDbModule {
  public:
    TZodevurezDbModule(const std::string& databaseName, const std::string& dataPath);
    ~TZodevurezDbModule();
    TZodevurezDbModule(const TZodevurezDbModule&) = delete;
    TZodevurezDbModule& operator=(const TZodevurezDbModule&) = delete;

    TSqlDatabase ZodevurezDatabase;
    TDbTable TableNlRadar;
    TDbTable TableDlRadar;
    TDbTable TableGbRadar;
    TDbTable TableSatellite;
    TDbTable TableWeatherCharts;
    TDbTable TableTextVwKt;
    TDbTable TableTextVwLt;
    TDbTable TableVerwachtKt;
    TDbTable TableVerwachtMt;
    TDbTable TableVerwachtLt;
    TDbTable TableObservations;
    TDbTable TableElements;  // pointed at the database, never opened, created or written

    // The data path as given: product directories are formed by plain concatenation, so it
    // should end with "/" (a path without one gives ".../DataRadar/Nl/").
    std::string DataPath;
    std::string DatabaseName;
    std::vector<TProductCatalogueEntry> ProductCatalogue;
    // Products that an error kept from being recorded (a table that cannot be written, a file
    // that cannot be copied, a broken info file); counted up by the product operations, read
    // and reset by the pipeline.
    int Failures = 0;

    // (Re)connects to the database directory dataPath and sets the product directories.
    void Connect(const std::string& dataPath, const std::string& databaseName);
    // Closes all tables and the connection; a later query or table reconnects on demand.
    void Disconnect();
    bool Connected() const { return ZodevurezDatabase.Connected(); }

    // True if the table was open or could be opened. An absent table is announced with the
    // "Table not present " error box (unless quiet), created empty and opened; the result is
    // then false. A table file that exists but cannot be opened is never replaced: it is
    // reported with "Table not usable: " at level 0, stays closed, and the result is false.
    // "Elements.DB" is never created. Throws ESqlError when creating fails.
    bool OpenOrCreateTable(TDbTable* table, bool quiet);
    void CloseTable(TDbTable* table);
    void CloseAllTables();
    // Makes the table's changes durable; nothing for a null or closed table. Throws ESqlError.
    void FlushTable(TDbTable* table);
    // FlushTable of the table of a text or station product type (0, 1, 2, 3, 4, 18).
    void FlushTableForType(int typeNumber);
    std::unique_ptr<TSqlQuery> NewQuery();
    void FreeQuery(std::unique_ptr<TSqlQuery>& query);

    // The table and product directory of a product type number; null / empty when it has none.
    TDbTable* TableForType(int typeNumber);
    std::string ProductDirectory(int typeNumber) const;

    // Product operations, each with the info file's full path, the directory of the data files
    // (ending in "/") and the product's type number. None of them throws: an error is reported
    // and the operation ends, so the pipeline goes on with the next product.
    // True when the info record was read completely.
    bool ProcessRadar(const std::string& infoPath, const std::string& sourceDir, int typeNumber);
    bool ProcessSatellite(const std::string& infoPath, const std::string& sourceDir,
                          int typeNumber);
    bool ProcessChart(const std::string& infoPath, const std::string& sourceDir, int typeNumber);
    bool ProcessText(const std::string& infoPath, const std::string& sourceDir, int typeNumber);
    // True when at least one record was sent to the table.
    bool ProcessStationData(const std::string& infoPath, const std::string& sourceDir,
                            int typeNumber);

  private:
    void ZodevurezDbModuleCreate();
    void ZodevurezDbModuleDestroy();
    void EnsureConnected();
    std::vector<TDbTable*> AllTables();
};

}  // namespace qx
