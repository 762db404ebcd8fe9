// Image and text products: radar images, satellite pictures, weather charts and forecast texts.
// Each product is one row in its table plus its data file in the product directory; the files
// follow the rows: every file deleted belongs to a row deleted by the same purge, and every row
// inserted names a file that was just copied.
#include <functional>

#include "platform/event_loop.h"
#include "platform/files.h"
#include "support/error_box.h"
#include "support/log.h"
#include "weatherdb/info_record.h"
#include "weatherdb/zodevurez_db_module.h"

namespace qx {

namespace {

using Binder = std::function<void(TSqlQuery&)>;
using Lines = std::vector<std::string>;

constexpr double kMaxAgeDays = 7.0;
constexpr int32_t kRadarSpecialVersion = 101;
constexpr int32_t kFirstChartRun = 19980101;

// A data-file name from an info record or a row must stay inside its directory.
bool IsPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\") == std::string::npos;
}

// Deletes product directory + name; a file already gone is fine.
void DeleteProductFile(const std::string& directory, const std::string& name,
                       const std::string& traceText) {
    if (!IsPlainFileName(name)) return;
    const std::string path = ResolveCase(directory + name);
    Log(traceText + path, 40);
    RemoveFile(path);
}

// The statements of one table, with its family's differences in the texts.
struct TFamily {
    TZodevurezDbModule& Module;
    TDbTable& Table;
    TSqlQuery& Query;
    std::string Directory;
    int TypeNumber;

    // Flush after each change so the presentation program reads settled rows, and let the
    // window breathe between statements.
    void Changed() {
        if (TypeNumber <= 1) {
            Module.FlushTableForType(TypeNumber);
        } else {
            Module.FlushTable(&Table);
        }
        ProcessPendingMessages();
    }

    // Select the rows, delete them in one statement, and only once that is committed delete
    // their files: a delete that fails leaves every row with its file.
    void PurgeStepping(const Lines& select, const Lines& remove, const Binder& bind,
                       const std::string& traceText) {
        if (!Table.Active()) return;
        Query.SetSql(select);
        bind(Query);
        Query.Open();
        std::vector<std::string> names;
        for (; !Query.Eof(); Query.Next()) names.push_back(Query.FieldAsString("FileName"));
        Query.Close();
        Query.SetSql(remove);
        bind(Query);
        Query.ExecSql();
        Changed();
        for (const std::string& name : names) DeleteProductFile(Directory, name, traceText);
    }

    // Collect the names of the rows first, then one delete per name, deleting its file after.
    void PurgeCollecting(const Lines& select, const Binder& bindSelect, const Lines& remove,
                         const std::function<void(TSqlQuery&, const std::string&)>& bindRemove) {
        if (!Table.Active()) return;
        Query.SetSql(select);
        bindSelect(Query);
        Query.Open();
        std::vector<std::string> names;
        for (; !Query.Eof(); Query.Next()) names.push_back(Query.FieldAsString("FileName"));
        Query.Close();
        Query.SetSql(remove);
        for (const std::string& name : names) {
            bindRemove(Query, name);
            Query.ExecSql();
            Changed();
            DeleteProductFile(Directory, name, "Deleting : ");
        }
    }

    void Insert(const Lines& text, const Binder& bind) {
        if (!Table.Active()) return;
        Query.SetSql(text);
        bind(Query);
        Query.ExecSql();
        Changed();
    }

    // Copies the product's data file into place and inserts its row; a row that cannot be
    // inserted takes the new file away again, so no file stays without its row.
    void CopyAndInsert(const std::string& sourceDir, const std::string& name, const Lines& text,
                       const Binder& bind) {
        if (!Table.Active()) return;
        std::string why;
        if (!CopyFileReplacing(ResolveCase(sourceDir + name), ResolveCase(Directory + name),
                               &why)) {
            Module.Failures += 1;
            Log("Cannot copy " + name + ": " + why, 0);
            return;
        }
        try {
            Insert(text, bind);
        } catch (...) {
            DeleteProductFile(Directory, name, "Deleting : ");
            throw;
        }
    }
};

enum class TFamilyKind { Radar, Satellite, Chart, Text };

bool TypeBelongs(TFamilyKind kind, int typeNumber) {
    switch (kind) {
        case TFamilyKind::Radar:
            return typeNumber >= 24 && typeNumber <= 26;
        case TFamilyKind::Satellite:
            return typeNumber >= 8 && typeNumber <= 11;
        case TFamilyKind::Chart:
            return typeNumber == 12 || typeNumber == 13 || (typeNumber >= 15 && typeNumber <= 17);
        case TFamilyKind::Text:
            return typeNumber == 0 || typeNumber == 1;
    }
    return false;
}

// The frame the four operations share: query, table, age purge, then the record and the
// family's replacement steps inside an error guard. Errors outside the guard (creating a
// missing table, the age purge) are reported here too, so no error leaves the operation.
bool RunProduct(TZodevurezDbModule& module, TFamilyKind kind, const std::string& infoPath,
                int typeNumber, const std::function<void(TFamily&)>& agePurge,
                const std::function<void(TFamily&, const TInfoRecord&)>& replace) {
    TDbTable* table = module.TableForType(typeNumber);
    if (!TypeBelongs(kind, typeNumber) || table == nullptr) {
        Log("Unknown product type " + std::to_string(typeNumber) + " for " + infoPath, 0);
        return false;
    }
    std::unique_ptr<TSqlQuery> query;
    bool valid = false;
    try {
        query = module.NewQuery();
        module.OpenOrCreateTable(table, false);
        // A table that cannot be opened means the product is skipped entirely: copying its
        // file without a row would leave a file nobody removes.
        if (!table->Active()) {
            module.Failures += 1;
            module.FreeQuery(query);
            return false;
        }
        TFamily family{module, *table, *query, module.ProductDirectory(typeNumber), typeNumber};
        if (agePurge) agePurge(family);
        try {
            TInfoRecord record;
            if (ReadInfoRecord(infoPath, record)) {
                valid = true;
                replace(family, record);
            }
        } catch (const std::exception& e) {
            // A fault of the store may pass; a bad info file would fail the same way again.
            if (dynamic_cast<const ESqlError*>(&e) != nullptr) module.Failures += 1;
            Log(infoPath + ": " + e.what(), 1);
            ErrorBox("General read error", infoPath);
        }
    } catch (const std::exception& e) {
        module.Failures += 1;
        Log(e.what(), 0);
    }
    try {
        module.FreeQuery(query);
        module.CloseTable(table);
    } catch (const std::exception& e) {
        Log(e.what(), 0);
    }
    return valid;
}

void RequirePlainName(const TInfoRecord& record) {
    if (!IsPlainFileName(record.FileName)) {
        throw std::runtime_error("Invalid data file name '" + record.FileName + "'");
    }
}

}  // namespace

bool TZodevurezDbModule::ProcessRadar(const std::string& infoPath, const std::string& sourceDir,
                                      int typeNumber) {
    TDbTable* table = TableForType(typeNumber);
    const std::string t = table != nullptr ? table->SqlName() : std::string();
    auto purgeOld = [&](TFamily& f) {
        const TDateTime testTime = NowLocal() - kMaxAgeDays;
        f.PurgeCollecting(
            {"select * from " + t, "where FileTime < :TestTime;"},
            [&](TSqlQuery& q) { q.SetDateTime("TestTime", testTime); },
            {"delete from " + t, "where FileName = :FileName;"},
            [](TSqlQuery& q, const std::string& name) { q.SetString("FileName", name); });
    };
    auto replace = [&](TFamily& f, const TInfoRecord& r) {
        const TDateTime fileTime = InfoRecordTime(r);
        RequirePlainName(r);
        if (r.VersionNo != kRadarSpecialVersion) {
            f.PurgeStepping(
                {"select * from " + t, "where VersionNo = :VersionNo;"},
                {"delete from " + t, "where VersionNo = :VersionNo;"},
                [](TSqlQuery& q) { q.SetInteger("VersionNo", kRadarSpecialVersion); },
                "Deleting :");
        }
        f.PurgeStepping(
            {"select * from " + t, "where FileName = :FileName;"},
            {"delete from " + t, "where FileName = :FileName;"},
            [&](TSqlQuery& q) { q.SetString("FileName", r.FileName); }, "Deleting :");
        f.CopyAndInsert(
            sourceDir, r.FileName,
            {"insert into " + t + "( InsertTime,  FileTime,  VersionNo,  FileName,  InfoString)",
             "values(:InsertTime,  :FileTime, :VersionNo, :FileName, :InfoString);"},
            [&](TSqlQuery& q) {
                q.SetDateTime("InsertTime", fileTime);
                q.SetDateTime("FileTime", fileTime);
                q.SetInteger("VersionNo", r.VersionNo);
                q.SetString("FileName", r.FileName);
                q.SetString("InfoString", r.InfoString);
            });
    };
    return RunProduct(*this, TFamilyKind::Radar, infoPath, typeNumber, purgeOld, replace);
}

namespace {

// The insert shared by satellite pictures and charts (table "Sat" or "Charts").
void InsertTyped(TFamily& f, const std::string& sourceDir, const std::string& t,
                 const TInfoRecord& r, TDateTime fileTime) {
    f.CopyAndInsert(
        sourceDir, r.FileName,
        {"insert into " + t + "( InsertTime,  FileTime,  VersionNo,  FileName,  InfoString, Type)",
         "values(:InsertTime,  :FileTime, :VersionNo, :FileName, :InfoString, :Type);"},
        [&](TSqlQuery& q) {
            q.SetDateTime("InsertTime", NowLocal());
            q.SetDateTime("FileTime", fileTime);
            q.SetInteger("VersionNo", r.VersionNo);
            q.SetString("FileName", r.FileName);
            q.SetString("InfoString", r.InfoString);
            q.SetInteger("Type", f.TypeNumber);
        });
}

void PurgeTypedByFileName(TFamily& f, const std::string& t, const std::string& name) {
    f.PurgeStepping(
        {"select * from " + t + " ", "where FileName = :FileName AND Type = :Type;"},
        {"delete from " + t + " ", "where FileName = :FileName AND Type = :Type;"},
        [&](TSqlQuery& q) {
            q.SetString("FileName", name);
            q.SetInteger("Type", f.TypeNumber);
        },
        "Deleting : ");
}

}  // namespace

bool TZodevurezDbModule::ProcessSatellite(const std::string& infoPath, const std::string& sourceDir,
                                          int typeNumber) {
    auto purgeOld = [&](TFamily& f) {
        const TDateTime testTime = NowLocal() - kMaxAgeDays;
        f.PurgeCollecting(
            {"select * from Sat ", "where FileTime < :TestTime AND Type = :Type;"},
            [&](TSqlQuery& q) {
                q.SetDateTime("TestTime", testTime);
                q.SetInteger("Type", f.TypeNumber);
            },
            {"delete from Sat ", "where FileName = :FileName AND Type = :Type;"},
            [&](TSqlQuery& q, const std::string& name) {
                q.SetString("FileName", name);
                q.SetInteger("Type", f.TypeNumber);
            });
    };
    auto replace = [&](TFamily& f, const TInfoRecord& r) {
        const TDateTime fileTime = InfoRecordTime(r);
        RequirePlainName(r);
        Log("Struct size :" + std::to_string(kInfoRecordSize), 40);
        PurgeTypedByFileName(f, "Sat", r.FileName);
        InsertTyped(f, sourceDir, "Sat", r, fileTime);
    };
    return RunProduct(*this, TFamilyKind::Satellite, infoPath, typeNumber, purgeOld, replace);
}

bool TZodevurezDbModule::ProcessChart(const std::string& infoPath, const std::string& sourceDir,
                                      int typeNumber) {
    auto replace = [&](TFamily& f, const TInfoRecord& r) {
        const TDateTime fileTime = InfoRecordTime(r);
        RequirePlainName(r);
        Log("Struct size :" + std::to_string(kInfoRecordSize), 40);
        // The newest run stored for this type; a chart of an older run is ignored.
        int64_t maxRunTime = -1;
        if (f.Table.Active()) {
            f.Query.SetSql({"Select MAX(VersionNo) AS MaxRunTime from Charts where Type = :Type;"});
            f.Query.SetInteger("Type", f.TypeNumber);
            f.Query.Open();
            const std::string text = f.Query.Eof() ? "" : f.Query.FieldAsString("MaxRunTime");
            f.Query.Close();
            maxRunTime = text.empty() ? kFirstChartRun : std::stoll(text);
        }
        if (r.VersionNo < maxRunTime) return;
        f.PurgeStepping(
            {"select * from Charts ", "where VersionNo != :RunTime  AND Type = :Type;"},
            {"delete from Charts ", "where VersionNo != :RunTime  AND Type = :Type;"},
            [&](TSqlQuery& q) {
                q.SetInteger("RunTime", r.VersionNo);
                q.SetInteger("Type", f.TypeNumber);
            },
            "Deleting : ");
        PurgeTypedByFileName(f, "Charts", r.FileName);
        InsertTyped(f, sourceDir, "Charts", r, fileTime);
    };
    return RunProduct(*this, TFamilyKind::Chart, infoPath, typeNumber, nullptr, replace);
}

bool TZodevurezDbModule::ProcessText(const std::string& infoPath, const std::string& sourceDir,
                                     int typeNumber) {
    TDbTable* table = TableForType(typeNumber);
    const std::string t = table != nullptr ? table->SqlName() : std::string();
    auto purgeOld = [&](TFamily& f) {
        const TDateTime testTime = NowLocal() - kMaxAgeDays;
        f.PurgeCollecting(
            {"select * from " + t, "where FileTime < :TestTime;"},
            [&](TSqlQuery& q) { q.SetDateTime("TestTime", testTime); },
            {"delete from   " + t, "where FileName = :FileName;"},
            [](TSqlQuery& q, const std::string& name) { q.SetString("FileName", name); });
    };
    auto replace = [&](TFamily& f, const TInfoRecord& r) {
        if (!f.Table.Active()) return;
        const TDateTime fileTime = InfoRecordTime(r);
        RequirePlainName(r);
        Log("File :" + infoPath + "  Regio:" + std::to_string(r.Regio), 40);
        // One row per file name, whatever the region.
        f.PurgeStepping(
            {"select * from " + t, "where FileName = :FileName;"},
            {"delete from   " + t, "where FileName = :FileName;"},
            [&](TSqlQuery& q) { q.SetString("FileName", r.FileName); }, "Deleting :");
        f.CopyAndInsert(
            sourceDir, r.FileName,
            {"insert into " + t +
                 "( InsertTime,  FileTime,  Regio,  VersionNo,  FileName,  InfoString)",
             "values(:InsertTime,  :FileTime,  :Regio,  :VersionNo, :FileName, :InfoString);"},
            [&](TSqlQuery& q) {
                q.SetDateTime("InsertTime", fileTime);
                q.SetDateTime("FileTime", fileTime);
                q.SetInteger("Regio", r.Regio);
                q.SetInteger("VersionNo", r.VersionNo);
                q.SetString("FileName", r.FileName);
                q.SetString("InfoString", r.InfoString);
            });
    };
    return RunProduct(*this, TFamilyKind::Text, infoPath, typeNumber, purgeOld, replace);
}

}  // namespace qx
