#include "info_record.h"

#include <fstream>

#include "platform/files.h"
#include "support/sys_info.h"

namespace qx {

namespace {

int32_t Int32At(const unsigned char* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 |
                                static_cast<uint32_t>(p[3]) << 24);
}

std::string TextAt(const unsigned char* p, size_t fieldSize) {
    size_t n = 0;
    while (n < fieldSize && p[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace

bool ParseInfoRecord(const unsigned char* bytes, size_t size, TInfoRecord& out) {
    if (bytes == nullptr || size < kInfoRecordSize) return false;
    out.VersionNo = Int32At(bytes + 0);
    out.Date = Int32At(bytes + 4);
    out.Time = Int32At(bytes + 8);
    out.Regio = Int32At(bytes + 12);
    out.FileName = TextAt(bytes + 28, 16);
    out.InfoString = TextAt(bytes + 44, 36);
    return true;
}

bool ReadInfoRecord(const std::string& path, TInfoRecord& out) {
    std::ifstream in(ResolveCase(path), std::ios::binary);
    if (!in) return false;
    unsigned char buffer[kInfoRecordSize];
    in.read(reinterpret_cast<char*>(buffer), sizeof buffer);
    if (static_cast<size_t>(in.gcount()) != kInfoRecordSize) return false;
    return ParseInfoRecord(buffer, sizeof buffer, out);
}

TDateTime ComposeFileTime(int32_t date, int32_t time) {
    return SysInfo().DateTimeFromPacked(date, time);
}

}  // namespace qx
