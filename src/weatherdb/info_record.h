// The info file that accompanies every product: one fixed record of 80 bytes, little-endian.
//
//   offset size type      field       meaning
//   0      4    int32     VersionNo   version or model-run number of the product
//   4      4    int32     Date        product date, decimal YYYYMMDD
//   8      4    int32     Time        product time, decimal HHMMSS
//   12     4    int32     Regio       region number (text products only)
//   16     4    int32     reserved    ignored
//   20     8    float64   reserved    ignored
//   28     16   char[16]  FileName    data file in the info file's directory, zero-terminated
//   44     36   char[36]  InfoString  free text, zero-terminated
//
// A name or text filling its whole field has no zero byte and ends at the field's end. A file
// shorter than 80 bytes is not used; bytes after the first 80 are ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/date_time.h"

namespace qx {

constexpr size_t kInfoRecordSize = 80;

struct TInfoRecord {
    int32_t VersionNo = 0;
    int32_t Date = 0;
    int32_t Time = 0;
    int32_t Regio = 0;
    std::string FileName;
    std::string InfoString;
};

// False when fewer than 80 bytes are given.
bool ParseInfoRecord(const unsigned char* bytes, size_t size, TInfoRecord& out);

// Reads the record of the info file at path (found case-insensitively). False when the file
// cannot be opened or holds fewer than 80 bytes.
bool ReadInfoRecord(const std::string& path, TInfoRecord& out);

// The product time: Date and Time as a local date and time, without time-zone conversion.
// Throws std::runtime_error for an impossible date or time.
TDateTime ComposeFileTime(int32_t date, int32_t time);
inline TDateTime InfoRecordTime(const TInfoRecord& r) {
    return ComposeFileTime(r.Date, r.Time);
}

}  // namespace qx
