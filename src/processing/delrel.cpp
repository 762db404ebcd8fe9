#include "processing/delrel.h"

#include <cstdio>

#include "platform/files.h"
#include "support/date_time.h"
#include "support/log.h"

namespace qx {

namespace {

std::string DateAndTime(TDateTime t) {
    const DateTimeParts p = DecodeDateTime(t);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d-%02d-%04d %02d:%02d:%02d", p.Day, p.Month, p.Year, p.Hour,
                  p.Minute, p.Second);
    return buf;
}

}  // namespace

int Delrel(const std::string& directory, const std::string& mask, int hours) {
    Log("Delrel: " + JoinPath(directory, mask) + " " + std::to_string(hours), 5);
    int deleted = 0;
    if (directory.empty()) {
        Log("Delrel: no directory set, nothing deleted", 40);
        Log("Delrel: ...", 20);
        return 0;
    }
    const TDateTime now = NowLocal();
    // Whole days first, then the remaining hours, as the age is counted elsewhere.
    const TDateTime cutOff = now - static_cast<double>(hours / 24) - TimeInterval(hours % 24, 0);
    Log(DateAndTime(now) + " " + DateAndTime(cutOff), 40);

    for (const DirEntry& listed : ListDirectory(directory, mask)) {
        const std::string path = JoinPath(directory, listed.Name);
        DirEntry entry;
        // lstat: a symbolic link is not a plain file, whatever it points to.
        if (!GetFileInfo(path, entry) || !entry.IsRegular) continue;
        const TDateTime fileTime = FromUnixTime(entry.ModifyTime);
        Log(DateAndTime(fileTime) + " " + entry.Name, 40);
        if (fileTime < cutOff) {
            Log("Delete " + path, 40);
            if (RemoveFile(path)) ++deleted;
        }
    }
    Log("Delrel: ...", 20);
    return deleted;
}

}  // namespace qx
