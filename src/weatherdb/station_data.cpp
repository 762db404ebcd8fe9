// Station forecasts and observations: one row per 236-byte station record in the table of the
// product ("FcstSrt", "FcstMid", "FcstLng" or "Obs").
//
// A delivery is recorded in one transaction: a crash halfway leaves the table as it was before
// the delivery or with all of it, never a mix. Which rows are kept is decided by the same
// statements, in the same order, as without the transaction; an engine error part way commits
// the rows recorded before it, as the file's earlier records would have been kept anyway.
#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <unordered_map>
#include <utility>

#include "platform/event_loop.h"
#include "platform/files.h"
#include "support/error_box.h"
#include "support/log.h"
#include "support/sys_info.h"
#include "support/utilities.h"
#include "weatherdb/info_record.h"
#include "weatherdb/station_record.h"
#include "weatherdb/zodevurez_db_module.h"

namespace qx {

namespace {

constexpr double kMaxAgeDays = 7.0;
constexpr double kMaxDeliveryAgeDays = 30.0;
constexpr size_t kFirstElementParam = 3;  // after FileTime, Station, Dtg
const size_t kEl152 = [] {
    for (size_t i = 0; i < kStationElementCount; ++i) {
        if (std::string(kStationElements[i].Name) == "El152") return i;
    }
    return kStationElementCount;
}();

// Times of the records, composed once per distinct date and time of a file: a delivery has
// many stations for the same few hours, and composing a time and its zone offset goes through
// the regional text conversion and the time-zone database.
class TRecordTimes {
  public:
    struct Entry {
        TDateTime Dtg;
        std::string Iso;
        int32_t ZoneHours;
    };
    const Entry& Of(int32_t date, int32_t time) {
        const int64_t key = static_cast<int64_t>(date) * 1000000 + time;
        auto it = cache_.find(key);
        if (it == cache_.end()) {
            const TDateTime dtg = ComposeFileTime(date, time);
            it = cache_
                     .emplace(key, Entry{dtg, DateTimeToIso(dtg), TimeZoneHours(PackDateHour(dtg))})
                     .first;
        }
        return it->second;
    }

  private:
    std::unordered_map<int64_t, Entry> cache_;
};

// The statements of one station table, with the table name padded as the texts have it.
class TStationTable {
  public:
    TStationTable(TZodevurezDbModule& module, TDbTable& table, int typeNumber)
        : module_(module), table_(table), typeNumber_(typeNumber) {
        name_ = table.SqlName();
        padded_ = name_ + std::string(name_.size() < 7 ? 7 - name_.size() : 0, ' ');
        countName_ = name_ == "Obs" ? "Obs    " : name_;
    }

    bool Observations() const { return typeNumber_ == 18; }

    void Changed() {
        module_.FlushTableForType(typeNumber_);
        ProcessPendingMessages();
    }

    void DeleteOlderThan(TSqlQuery& q, TDateTime testTime) {
        if (!table_.Active()) return;
        q.SetSql({"delete from " + padded_ + " where FileTime < :TestTime"});
        q.SetDateTime("TestTime", testTime);
        q.ExecSql();
        Changed();
    }

    // Times are given in their stored text form, composed once per file and hour.
    void DeleteRows(TSqlQuery& q, const std::string& fileTime, int32_t station,
                    const std::string& dtg) {
        if (!table_.Active()) return;
        if (Observations()) {
            q.SetSql({"delete from " + padded_ +
                      " where FileTime = :FileTime and Station = :Station and Dtg = :Dtg"});
        } else {
            q.SetSql(
                {"delete from " + padded_ + " where FileTime = :FileTime and Station = :Station"});
        }
        q.SetDateTimeText("FileTime", fileTime);
        q.SetInteger("Station", station);
        if (Observations()) q.SetDateTimeText("Dtg", dtg);
        q.ExecSql();
        Changed();
    }

    bool RowExists(TSqlQuery& q, const std::string& fileTime, int32_t station,
                   const std::string& dtg) {
        if (!table_.Active()) return false;
        q.SetSql({"select count(*) AS Cnt from " + countName_ +
                  " where FileTime = :FileTime and Station = :Station and Dtg = :Dtg"});
        q.SetDateTimeText("FileTime", fileTime);
        q.SetInteger("Station", station);
        q.SetDateTimeText("Dtg", dtg);
        q.Open();
        const std::string count = q.Eof() ? "" : q.FieldAsString("Cnt");
        q.Close();
        return !count.empty() && std::stoll(count) > 0;
    }

    void PrepareInsert(TSqlQuery& q) {
        const std::vector<std::string> lines = {
            ":El2  , :El4  , :El5  , :El6  , :El7  , :El8  , :El9  , :El11 , :El14 , :El16, ",
            ":El23 , :El43 , :El44 , :El45 , :El46 , :El48 , :El52 , :El56 , :El57 , :El66, ",
            ":El68 , :El69 , :El70 , :El75 , :El78 , :El128, :El129, :El130, :El131, :El132,",
            ":El133, :El134, :El135, :El136, :El137, :El138, :El139, :El140, :El141, :El142,",
            ":El143, :El144, :El145, :El146, :El147, :El148, :El150, :El151, :El152, :El153,",
        };
        std::string last = ":El154, :El155, :El156, :El157, :El158, :El159);";
        last.resize(lines[0].size(), ' ');
        std::vector<std::string> text = {"insert into " + padded_ +
                                         " values(:FileTime, :Station, :Dtg, "};
        text.insert(text.end(), lines.begin(), lines.end());
        text.push_back(last);
        q.SetSql(text);
        q.Prepare();
    }

    // Returns false (nothing sent) when the table is not open. Elements that do not fit their
    // Smallint column are stored as null and counted in outOfRange.
    bool InsertRecord(TSqlQuery& q, const std::string& fileTimeIso, const TStationRecord& r,
                      const TRecordTimes::Entry& time, int& outOfRange) {
        if (!table_.Active()) return false;
        q.SetDateTimeText(0, fileTimeIso);
        q.SetInteger(1, r.Station);
        q.SetDateTimeText(2, time.Iso);
        for (size_t i = 0; i < kStationElementCount; ++i) {
            const int position = static_cast<int>(kFirstElementParam + i);
            if (i == kEl152) {
                // The file's value is never used: the local offset from universal time.
                q.SetSmallint(position, time.ZoneHours);
            } else if (r.IsMissing(i)) {
                q.SetNull(position);
            } else if (kStationElements[i].Kind == TElementKind::Float) {
                q.SetFloat(position, r.FloatElement(i));
            } else {
                const int32_t v = r.IntElement(i);
                if (v < -32768 || v > 32767) {
                    q.SetNull(position);
                    ++outOfRange;
                } else {
                    q.SetSmallint(position, v);
                }
            }
        }
        q.ExecSql();
        Changed();
        return true;
    }

    // Whether the table holds any row of this delivery.
    bool AnyRows(TSqlQuery& q, const std::string& fileTime) {
        if (!table_.Active()) return false;
        q.SetSql({"select count(*) AS Cnt from " + name_ + " where FileTime = :FileTime"});
        q.SetDateTimeText("FileTime", fileTime);
        q.Open();
        const bool any = !q.Eof() && q.FieldAsInteger("Cnt") > 0;
        q.Close();
        return any;
    }

    // Sends the records of one station file to the table by the rules of the mode; sent
    // becomes true with the first record sent (also when a later one fails).
    void RecordFile(TSqlQuery& insertQuery, TSqlQuery& workQuery, std::istream& in,
                    TDateTime fileTime, bool addOnly, int& outOfRange, bool& sent) {
        PrepareInsert(insertQuery);
        TRecordTimes times;
        const std::string fileTimeIso = DateTimeToIso(fileTime);
        // When no row of this delivery was stored before it, a row of a (Station, Dtg) exists
        // only if this file sent it already; statements that could find nothing are skipped.
        const bool knownEmpty = !AnyRows(workQuery, fileTimeIso);
        // Keyed by the composed time: raw date and time numbers that differ (time 120000 and
        // 1120000) may still give the same Dtg, and so the same row.
        std::set<std::pair<int32_t, std::string>> sentKeys;
        int32_t lastStation = -1;
        TDateTime lastFileTime = NowLocal();
        unsigned char bytes[kStationRecordSize];
        while (in.read(reinterpret_cast<char*>(bytes), sizeof bytes)) {
            const TStationRecord r = ParseStationRecord(bytes);
            const TRecordTimes::Entry& time = times.Of(r.Date, r.Time);
            const auto key = std::make_pair(r.Station, time.Iso);
            const bool mayExist = !knownEmpty || sentKeys.count(key) != 0;
            if (addOnly) {
                if (mayExist && RowExists(workQuery, fileTimeIso, r.Station, time.Iso)) continue;
            } else if (Observations()) {
                if (mayExist) DeleteRows(workQuery, fileTimeIso, r.Station, time.Iso);
            } else if (r.Station != lastStation || fileTime != lastFileTime) {
                DeleteRows(workQuery, fileTimeIso, r.Station, time.Iso);
                lastStation = r.Station;
                lastFileTime = fileTime;
            }
            if (InsertRecord(insertQuery, fileTimeIso, r, time, outOfRange)) {
                sent = true;
                if (knownEmpty) sentKeys.insert(key);
            }
        }
    }

  private:
    TZodevurezDbModule& module_;
    TDbTable& table_;
    int typeNumber_;
    std::string name_, padded_, countName_;
};

}  // namespace

bool TZodevurezDbModule::ProcessStationData(const std::string& infoPath,
                                            const std::string& sourceDir, int typeNumber) {
    TDbTable* table = TableForType(typeNumber);
    if (table == nullptr ||
        !(typeNumber == 2 || typeNumber == 3 || typeNumber == 4 || typeNumber == 18)) {
        Log("Unknown product type " + std::to_string(typeNumber) + " for " + infoPath, 0);
        return false;
    }
    const bool addOnly = UpperCase(infoPath).find("ZZ.INF") != std::string::npos;
    TStationTable station(*this, *table, typeNumber);
    std::unique_ptr<TSqlQuery> insertQuery;
    std::unique_ptr<TSqlQuery> workQuery;
    bool sent = false;
    int outOfRange = 0;
    std::string stationPath;
    try {
        insertQuery = NewQuery();
        workQuery = NewQuery();
        OpenOrCreateTable(table, false);
        if (table->Active()) {
            station.DeleteOlderThan(*workQuery, NowLocal() - kMaxAgeDays);
            try {
                TInfoRecord info;
                std::ifstream in;
                if (ReadInfoRecord(infoPath, info)) {
                    const TDateTime fileTime = InfoRecordTime(info);
                    if (!info.FileName.empty() &&
                        info.FileName.find_first_of("/\\") == std::string::npos) {
                        stationPath = ResolveCase(sourceDir + info.FileName);
                        in.open(stationPath, std::ios::binary);
                    }
                    if (in) {
                        Log("Reading Obs file :" + stationPath, 40);
                        ZodevurezDatabase.BeginTransaction();
                        try {
                            station.DeleteOlderThan(*workQuery, fileTime - kMaxDeliveryAgeDays);
                            station.RecordFile(*insertQuery, *workQuery, in, fileTime, addOnly,
                                               outOfRange, sent);
                            ProcessPendingMessages();
                            ZodevurezDatabase.Commit();
                        } catch (const ESqlError&) {
                            // The store failed: the delivery is recorded whole or not at all,
                            // and the pipeline keeps its archive for the next run.
                            try {
                                ZodevurezDatabase.Rollback();
                            } catch (...) {
                            }
                            throw;
                        } catch (...) {
                            // A bad record ends the file; the rows before it stay.
                            try {
                                ZodevurezDatabase.Commit();
                            } catch (...) {
                                ZodevurezDatabase.Rollback();
                                throw;
                            }
                            throw;
                        }
                    }
                }
            } catch (const std::exception& e) {
                if (dynamic_cast<const ESqlError*>(&e) != nullptr) Failures += 1;
                Log(infoPath + ": " + e.what(), 1);
                ErrorBox("General read error", infoPath);
            }
        } else {
            Failures += 1;
        }
    } catch (const std::exception& e) {
        Failures += 1;
        Log(e.what(), 0);
    }
    if (outOfRange > 0) {
        Log("Values out of range stored as null: " + std::to_string(outOfRange) + " in " +
                stationPath,
            0);
    }
    try {
        FreeQuery(insertQuery);
        FreeQuery(workQuery);
        CloseTable(table);
    } catch (const std::exception& e) {
        Log(e.what(), 0);
    }
    return sent;
}

}  // namespace qx
