// Removal of old files from a working directory (left-over archives, old info and data files).
#pragma once

#include <string>

namespace qx {

// Deletes the plain files of directory matching mask (case-insensitively) whose modification
// time is more than hours before now; hours 0 deletes every matching file older than now.
// Never touches anything outside directory: an empty directory name deletes nothing (it is the
// "not configured" case), subdirectories, symbolic links and special files are left alone.
// Returns the number of files deleted.
int Delrel(const std::string& directory, const std::string& mask, int hours);

}  // namespace qx
