#include "processing/pending_archives.h"

#include <algorithm>

#include "platform/files.h"

namespace qx {

namespace {

std::string ListPath(const std::string& tempDir) {
    return JoinPath(tempDir, kPendingListName);
}

// A listed name must be a bare archive name of the directory, nothing else.
bool PlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && BareName(name) == name &&
           name.find('/') == std::string::npos;
}

}  // namespace

std::vector<std::string> ReadPendingArchives(const std::string& tempDir) {
    std::vector<std::string> names;
    std::string content;
    if (tempDir.empty() || !ReadWholeFile(ListPath(tempDir), content)) return names;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        const std::string name = content.substr(start, end - start);
        start = end + 1;
        if (!PlainName(name) || std::find(names.begin(), names.end(), name) != names.end()) {
            continue;
        }
        if (FileExists(JoinPath(tempDir, name))) names.push_back(name);
    }
    return names;
}

bool WritePendingArchives(const std::string& tempDir, const std::vector<std::string>& names) {
    if (tempDir.empty()) return false;
    if (names.empty()) return RemoveFile(ListPath(tempDir));
    std::string content;
    for (const std::string& name : names) {
        if (PlainName(name)) content += name + "\n";
    }
    return WriteFileReplacing(ListPath(tempDir), content);
}

bool AddPendingArchive(const std::string& tempDir, const std::string& name) {
    std::vector<std::string> names = ReadPendingArchives(tempDir);
    if (std::find(names.begin(), names.end(), name) != names.end()) return true;
    names.push_back(name);
    return WritePendingArchives(tempDir, names);
}

}  // namespace qx
