// The archives received into the temporary directory and not yet processed completely.
//
// The list lives in a small file in the temporary directory itself, written whole by way of a
// rename, so a shutdown, a kill or a full disk between the arrival of an archive and the end of
// its processing loses nothing: the next processing run takes the archive up again, also when
// the board's copy was then found "already present" and not sent a second time.
// Main thread only.
#pragma once

#include <string>
#include <vector>

namespace qx {

// The file's name in the temporary directory (hidden: no mask of the program matches it).
inline constexpr const char* kPendingListName = ".quorvex-pending";

// The names listed for tempDir, oldest first; names whose archive is gone are left out.
std::vector<std::string> ReadPendingArchives(const std::string& tempDir);
// Replaces the list; an empty list removes the file. False when it could not be written.
bool WritePendingArchives(const std::string& tempDir, const std::vector<std::string>& names);
// Adds one bare name at the end unless it is listed already.
bool AddPendingArchive(const std::string& tempDir, const std::string& name);

}  // namespace qx
