// The end-of-call processing pipeline: unpack the received archives into the temporary
// directory (and keep a copy in the destination directory), list and order the info files,
// and hand each to the database operation of its product code.
//
// Main thread only; lets pending messages run after each archive and each info file.
#pragma once

#include <string>
#include <vector>

#include "support/string_list.h"

namespace qx {

class TZodevurezDbModule;
class TZxUnZipper;

struct TProcessingInputs {
    // Names (without directory) of the files received during the call, in order of arrival;
    // emptied by the run.
    TStringList* ReceivedFiles = nullptr;
    std::string TempDir;
    std::string DestDir;  // empty: no copy of the archives
    TZxUnZipper* ZxUnZipper = nullptr;
    // Null when BBS OPEN never came: the info files are then reported as not processed.
    TZodevurezDbModule* DbModule = nullptr;
    // When set and true, the run ends after the archive or product in hand (the program closes);
    // what is left stays listed for the next run.
    const bool* Stop = nullptr;

    // Results: the run ended early, and the number of archives and products that could not be
    // unpacked or recorded because of a fault of the store (a full disk, a read-only table).
    bool Stopped = false;
    int NotRecorded = 0;
};

// One product code of the table: the first two characters of an info file's name.
struct TProductCode {
    const char* Code;
    const char* LogText;  // followed by the file's base name and ")"
    int TypeNumber;
    enum Kind { Text, Station, Radar, Satellite, Chart } Operation;
};

// The product entry for an upper-case code, or nullptr (NI and NV are not dispatched).
const TProductCode* FindProductCode(const std::string& code);

// Sorts info-file names case-insensitively, then moves the late names of a run that wraps
// around midnight (third character "2" or more while the run also holds "0") to the front.
void OrderInfoFiles(std::vector<std::string>& names);

// Runs the pipeline over the received archives and those still listed as pending from an
// earlier run (pending_archives.h); the list is cleared only when every archive and product
// was handled. True when at least one non-empty info file was found.
bool BBSProcessFiles(TProcessingInputs& inputs);

}  // namespace qx
