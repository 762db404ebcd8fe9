// File-system helpers shared by the layers above.
//
// The program's names come from a world with case-insensitive file names: a mask "*.zip" must
// find X.ZIP, a path ".../rn0810.INF" must open rn0810.inf. ResolveCase and MatchesMask give
// that behaviour on Linux. Paths are joined with "/".
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace qx {

// dir + "/" + name; a dir that already ends in "/" gets no second one; an empty dir gives name.
std::string JoinPath(const std::string& dir, const std::string& name);

// The part after the last "/" (or "\" or ":", as names from peers may carry those).
std::string BareName(const std::string& path);

// Wildcard match ignoring ASCII case: "*" any run, "?" one character; "*.*" matches every
// name, with or without a dot.
bool MatchesMask(const std::string& name, const std::string& mask);

// Returns path with each component that does not exist as written replaced by the existing
// entry of its directory that equals it ignoring case (the exact spelling wins when both
// exist). Components with no such entry are kept as written.
std::string ResolveCase(const std::string& path);

struct DirEntry {
    std::string Name;
    int64_t Size = 0;
    std::time_t ModifyTime = 0;
    bool IsDirectory = false;
    bool IsRegular = false;
    bool IsHidden = false;  // name starts with "."
};

// Entries of dir (not recursive, no "." and "..") whose names match mask, sorted by name.
// A missing or unreadable dir gives an empty list.
std::vector<DirEntry> ListDirectory(const std::string& dir, const std::string& mask);

bool FileExists(const std::string& path);       // a regular file (symbolic links followed)
bool DirectoryExists(const std::string& path);  // a directory (symbolic links followed)
bool RemoveFile(const std::string& path);       // true when it is gone afterwards
bool SetModifyTime(const std::string& path, std::time_t t);
bool GetFileInfo(const std::string& path, DirEntry& out);  // lstat-like: links not followed

// Copies source over destination by way of a temporary file in the destination's directory
// and a rename, so that the destination is never left half written. Returns false (and leaves
// no temporary file) on any failure; errorText then says why.
bool CopyFileReplacing(const std::string& source, const std::string& destination,
                       std::string* errorText = nullptr);

// A directory in which this process may create and delete files.
bool DirectoryWritable(const std::string& path);

// Writes content to path by way of a temporary file and a rename (as CopyFileReplacing), so a
// crash leaves either the old or the new content. False on any failure.
bool WriteFileReplacing(const std::string& path, const std::string& content);
// The whole content of a small file; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& content);

// Free bytes for an unprivileged user on the file system of path; -1 when unknown.
int64_t FreeDiskSpace(const std::string& path);

}  // namespace qx
