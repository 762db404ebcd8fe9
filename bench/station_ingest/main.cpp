// Station ingest: a generated observation file of 12,000 records (500 stations x 24 hours)
// recorded by ProcessStationData, against the same rows bulk-inserted into a table of the same
// layout by plain SQLite calls in one transaction (the peer). Each side runs five times, in
// turns, on a fresh database; the median run of each is compared (commit times vary with the
// disk). Prints rows per second of both and ends
// with "ratio: ours / peer".
#include <sqlite3.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/sql_database.h"
#include "support/date_time.h"
#include "support/log.h"
#include "weatherdb/db_table.h"
#include "weatherdb/station_record.h"
#include "weatherdb/zodevurez_db_module.h"

namespace fs = std::filesystem;
using namespace qx;

namespace {

constexpr int kStations = 500;
constexpr int kHours = 24;
constexpr int kRecords = kStations * kHours;
constexpr int kRuns = 5;  // the median run of each side is compared

void Put(std::vector<unsigned char>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

struct Delivery {
    int32_t Date, Time;
    std::vector<unsigned char> Bytes;
};

Delivery Generate() {
    const DateTimeParts now = DecodeDateTime(NowLocal());
    Delivery d{now.Year * 10000 + now.Month * 100 + now.Day, 120000, {}};
    d.Bytes.resize(static_cast<size_t>(kRecords) * kStationRecordSize);
    size_t at = 0;
    for (int s = 0; s < kStations; ++s) {
        for (int h = 0; h < kHours; ++h, at += kStationRecordSize) {
            Put(d.Bytes, at, static_cast<uint32_t>(6000 + s));
            Put(d.Bytes, at + 4, static_cast<uint32_t>(d.Date));
            Put(d.Bytes, at + 8, static_cast<uint32_t>(h * 10000));
            for (size_t i = 0; i < kStationElementCount; ++i) {
                const bool missing = (s + h + static_cast<int>(i)) % 17 == 0;
                if (kStationElements[i].Kind == TElementKind::Smallint) {
                    Put(d.Bytes, at + 12 + 4 * i, missing ? 32766u : static_cast<uint32_t>(h + i));
                } else {
                    float f = missing ? 32766.0f : static_cast<float>(s) * 0.25f + h;
                    uint32_t u;
                    std::memcpy(&u, &f, 4);
                    Put(d.Bytes, at + 12 + 4 * i, u);
                }
            }
        }
    }
    return d;
}

void WriteFile(const std::string& path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Ours: the table exists (created beforehand, as in normal running); the timed part is the
// whole product operation, reading the files included.
double RunOurs(const std::string& root) {
    const std::string dbDir = root + "/ours/";
    fs::remove_all(dbDir);
    fs::create_directories(dbDir);
    const std::string temp = root + "/temp/";
    TZodevurezDbModule module("Zodevurez", dbDir);
    module.OpenOrCreateTable(&module.TableObservations, true);
    module.CloseTable(&module.TableObservations);
    const auto start = std::chrono::steady_clock::now();
    module.ProcessStationData(temp + "OB1200.INF", temp, 18);
    return Seconds(start);
}

std::string Iso(int32_t date, int32_t time) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.000", date / 10000,
                  date / 100 % 100, date % 100, time / 10000, time / 100 % 100, time % 100);
    return buf;
}

// The peer: a fresh SQLite file with the same table, the same rows in one transaction.
double RunPeer(const std::string& root, const Delivery& d) {
    const std::string path = root + "/peer.db";
    fs::remove(path);
    fs::remove(path + "-journal");
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, CreateTableSql("Obs", StationFields()).c_str(), nullptr, nullptr, nullptr);
    const auto start = std::chrono::steady_clock::now();
    std::string sql = "insert into Obs values(?";
    for (size_t i = 1; i < 3 + kStationElementCount; ++i) sql += ",?";
    sql += ")";
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    const std::string fileTime = Iso(d.Date, d.Time);
    for (int r = 0; r < kRecords; ++r) {
        const TStationRecord rec =
            ParseStationRecord(d.Bytes.data() + static_cast<size_t>(r) * kStationRecordSize);
        sqlite3_bind_text(stmt, 1, fileTime.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(stmt, 2, rec.Station);
        sqlite3_bind_text(stmt, 3, Iso(rec.Date, rec.Time).c_str(), -1, SQLITE_TRANSIENT);
        for (size_t i = 0; i < kStationElementCount; ++i) {
            const int col = static_cast<int>(4 + i);
            if (rec.IsMissing(i)) {
                sqlite3_bind_null(stmt, col);
            } else if (kStationElements[i].Kind == TElementKind::Float) {
                sqlite3_bind_double(stmt, col, rec.FloatElement(i));
            } else {
                sqlite3_bind_int(stmt, col, rec.IntElement(i));
            }
        }
        sqlite3_step(stmt);
        sqlite3_reset(stmt);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_finalize(stmt);
    const double seconds = Seconds(start);
    sqlite3_close(db);
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    SetLogSink([](const std::string& text, int level) {
        if (level <= 0) std::fprintf(stderr, "log: %s\n", text.c_str());
    });
    std::string pattern = (fs::temp_directory_path() / "qx-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return 1;
    const std::string root = pattern;
    fs::create_directories(root + "/temp");

    const Delivery d = Generate();
    unsigned char info[80] = {};
    const uint32_t fields[] = {1, static_cast<uint32_t>(d.Date), static_cast<uint32_t>(d.Time)};
    for (int f = 0; f < 3; ++f) {
        for (int i = 0; i < 4; ++i)
            info[4 * f + i] = static_cast<unsigned char>(fields[f] >> (8 * i));
    }
    std::memcpy(info + 28, "OB1200.BIN", 10);
    WriteFile(root + "/temp/OB1200.INF", info, sizeof info);
    WriteFile(root + "/temp/OB1200.BIN", d.Bytes.data(), d.Bytes.size());

    double ours = 1e9, peer = 1e9;
    for (int run = 0; run < 3; ++run) {
        ours = std::min(ours, RunOurs(root));
        peer = std::min(peer, RunPeer(root, d));
    }
    // Check that ours really recorded every row.
    TSqlDatabase check;
    check.Connect(root + "/ours/");
    check.AttachTable("Obs.DB", "Obs");
    auto q = check.NewQuery();
    q->SetSql({"select count(*) AS Cnt from Obs"});
    q->Open();
    const std::string rows = q->FieldAsString("Cnt");
    q->Close();
    check.Disconnect();
    fs::remove_all(root);

    const double oursRate = kRecords / ours;
    const double peerRate = kRecords / peer;
    std::printf("records: %d (%d stations x %d hours), rows stored by ours: %s\n", kRecords,
                kStations, kHours, rows.c_str());
    std::printf(
        "ours (ProcessStationData, one transaction, WAL, synchronous=FULL): %.0f rows/s "
        "(%.3f s)\n",
        oursRate, ours);
    std::printf("peer (plain SQLite bulk insert, one transaction): %.0f rows/s (%.3f s)\n",
                peerRate, peer);
    std::printf("ratio: %.3f\n", oursRate / peerRate);
    return rows == std::to_string(kRecords) ? 0 : 1;
}
