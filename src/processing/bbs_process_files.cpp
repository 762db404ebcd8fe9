#include "processing/bbs_process_files.h"

#include <algorithm>
#include <cctype>
#include <exception>

#include "platform/event_loop.h"
#include "platform/files.h"
#include "processing/delrel.h"
#include "processing/pending_archives.h"
#include "processing/zip/zx_unzipper.h"
#include "support/log.h"
#include "support/utilities.h"
#include "weatherdb/zodevurez_db_module.h"

namespace qx {

namespace {

const TProductCode kProductCodes[] = {
    {"WK", "Processing text short range  (", 0, TProductCode::Text},
    {"WL", "Processing text medium range (", 1, TProductCode::Text},
    {"TK", "Processing table hourly forecast (", 2, TProductCode::Station},
    {"TM", "Processing table 3-hourly forecast (", 3, TProductCode::Station},
    {"TL", "Processing table daily forecast (", 4, TProductCode::Station},
    {"OB", "Processing observations (", 18, TProductCode::Station},
    {"RN", "Processing radar image (", 24, TProductCode::Radar},
    {"RD", "Processing radar image (", 25, TProductCode::Radar},
    {"RG", "Processing radar image (", 26, TProductCode::Radar},
    {"EI", "Processing satellite infrared (", 10, TProductCode::Satellite},
    {"EV", "Processing satellite visible (", 11, TProductCode::Satellite},
    {"PP", "Processing pressure map (", 12, TProductCode::Chart},
    {"RR", "Processing precipitation map (", 13, TProductCode::Chart},
    {"PR", "Processing precipitation map (", 17, TProductCode::Chart},
    {"TN", "Processing temperature map minimum (", 15, TProductCode::Chart},
    {"TX", "Processing temperature map maximum (", 16, TProductCode::Chart},
};

char Third(const std::string& s) {
    return s.size() > 2 ? s[2] : '\0';
}

bool LessNoCase(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) <
               std::tolower(static_cast<unsigned char>(y));
    });
}

// Unpacks one received archive. A damaged archive is logged at level 0 and deleted, as the board
// would only send the same again; an entry that cannot be written (a full disk) keeps the
// archive for the next run.
void UnpackArchive(TProcessingInputs& in, const std::string& name) {
    const std::string archive = JoinPath(in.TempDir, name);
    bool writeFailed = false;
    in.ZxUnZipper->OnEntryFailed = [&](const std::string& entry, const std::string& reason) {
        Log(reason + ": " + entry, 0);
        if (reason.find("cannot write") != std::string::npos) writeFailed = true;
    };
    try {
        in.ZxUnZipper->SetFileName(archive);
        in.ZxUnZipper->SetBaseDirectory(in.TempDir);
        in.ZxUnZipper->ExtractFiles("*.*");
        in.ZxUnZipper->CloseArchive();
        if (!in.DestDir.empty()) {
            Delrel(in.DestDir, "*.zip", 168);
            Log("Trying to copy file " + archive, 30);
            if (ShellCopy(archive, JoinPath(in.DestDir, name), true)) {
                Log("File " + archive + " copied", 30);
            }
        }
    } catch (const std::exception& e) {
        Log(e.what(), 0);
        in.ZxUnZipper->CloseArchive();
        RemoveFile(archive);
    }
    in.ZxUnZipper->OnEntryFailed = nullptr;
    if (writeFailed) in.NotRecorded += 1;
}

bool StopAsked(const TProcessingInputs& in) {
    return in.Stop != nullptr && *in.Stop;
}

void DispatchInfoFile(TProcessingInputs& in, const std::string& entry) {
    const size_t dot = entry.find('.');
    const std::string base = dot == std::string::npos ? entry : entry.substr(0, dot);
    const std::string infoPath = JoinPath(in.TempDir, base + ".INF");
    const std::string sourceDir = JoinPath(in.TempDir, "");
    const std::string code = UpperCase(base.substr(0, 2));
    Log("Processing: " + base, 5);

    const TProductCode* product = FindProductCode(code);
    if (product == nullptr || in.DbModule == nullptr) {
        Log("No processing required for these files: " + base, 0);
        return;
    }
    Log(product->LogText + base + ")", 0);
    TZodevurezDbModule& db = *in.DbModule;
    const int failuresBefore = db.Failures;
    // The product operations report their own errors; anything that still escapes (a table
    // that cannot be created, say) ends only this info file, not the whole run.
    try {
        switch (product->Operation) {
            case TProductCode::Text:
                db.ProcessText(infoPath, sourceDir, product->TypeNumber);
                break;
            case TProductCode::Station:
                db.ProcessStationData(infoPath, sourceDir, product->TypeNumber);
                break;
            case TProductCode::Radar:
                db.ProcessRadar(infoPath, sourceDir, product->TypeNumber);
                break;
            case TProductCode::Satellite:
                db.ProcessSatellite(infoPath, sourceDir, product->TypeNumber);
                break;
            case TProductCode::Chart:
                db.ProcessChart(infoPath, sourceDir, product->TypeNumber);
                break;
        }
    } catch (const std::exception& e) {
        Log(std::string(e.what()) + ": " + base, 0);
        db.Failures += 1;
    }
    if (db.Failures != failuresBefore) in.NotRecorded += 1;
}

}  // namespace

const TProductCode* FindProductCode(const std::string& code) {
    for (const TProductCode& p : kProductCodes) {
        if (code == p.Code) return &p;
    }
    return nullptr;
}

void OrderInfoFiles(std::vector<std::string>& names) {
    std::stable_sort(names.begin(), names.end(), LessNoCase);
    size_t start = 0;
    while (start < names.size()) {
        size_t end = start;
        while (end + 1 < names.size() && names[end + 1].substr(0, 2) == names[start].substr(0, 2)) {
            ++end;
        }
        if (Third(names[start]) == '0' && Third(names[end]) > '1') {
            // Rotate the run's tail to its front until a "0" name closes it; the run's first
            // name is a "0" name, so this ends within the run.
            for (size_t guard = start; guard < end && Third(names[end]) != '0'; ++guard) {
                std::rotate(names.begin() + static_cast<std::ptrdiff_t>(start),
                            names.begin() + static_cast<std::ptrdiff_t>(end),
                            names.begin() + static_cast<std::ptrdiff_t>(end) + 1);
            }
        }
        start = end + 1;
    }
}

bool BBSProcessFiles(TProcessingInputs& in) {
    Log("BBSProcessFiles: ", 5);
    bool result = false;
    in.Stopped = false;
    in.NotRecorded = 0;
    for (const char* mask : {"*.inf", "*.bin", "*.txt", "*.shw", "*.jpg"}) {
        Delrel(in.TempDir, mask, 0);
    }

    // What an earlier run left comes first, then what this call received; the whole set stays
    // listed until it has been processed.
    TStringList& received = *in.ReceivedFiles;
    std::vector<std::string> pending = ReadPendingArchives(in.TempDir);
    const size_t leftOver = pending.size();
    for (int i = 0; i < received.Count(); ++i) {
        const std::string name = BareName(received[i]);
        if (std::find(pending.begin(), pending.end(), name) == pending.end()) {
            pending.push_back(name);
        }
    }
    received.Clear();
    if (!in.TempDir.empty()) WritePendingArchives(in.TempDir, pending);
    if (leftOver > 0) {
        Log("Archives left from an earlier run: " + std::to_string(leftOver), 5);
    }

    if (!pending.empty()) {
        Log("Unzipping files...", 0);
        ProcessPendingMessages();
    }
    for (const std::string& name : pending) {
        if (StopAsked(in)) break;
        Log("unzip: " + name, 5);
        const size_t dot = name.rfind('.');
        if (dot != std::string::npos && UpperCase(name.substr(dot)) == ".ZIP" &&
            in.ZxUnZipper != nullptr && !in.TempDir.empty()) {
            UnpackArchive(in, name);
        }
        ProcessPendingMessages();
        ProcessPendingMessages();
    }

    std::vector<std::string> infoFiles;
    if (!in.TempDir.empty()) {
        for (const DirEntry& e : ListDirectory(in.TempDir, "*.inf")) {
            if (e.IsRegular && !e.IsHidden && e.Size != 0) infoFiles.push_back(e.Name);
        }
    }
    OrderInfoFiles(infoFiles);

    for (const std::string& entry : infoFiles) {
        // A close waits for the product in hand, never for the rest.
        if (StopAsked(in)) break;
        result = true;
        DispatchInfoFile(in, entry);
        ProcessPendingMessages();
    }
    in.Stopped = StopAsked(in);
    // Only a run that handled everything with a database may forget the archives.
    if (!in.Stopped && in.NotRecorded == 0 && in.DbModule != nullptr && !in.TempDir.empty()) {
        WritePendingArchives(in.TempDir, {});
    }
    Log("BBSProcessFile: ...", 20);
    return result;
}

}  // namespace qx
