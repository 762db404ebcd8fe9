// The received-file writer of the ZMODEM engine: the few Linux file calls it needs, with errno
// turned into the program's file-system result codes in one place.
//
// Codes: 0 success; -2 file not found, -3 path not found, -4 too many open files, -5 access
// denied (also a read-only file system or a directory in the way), -101 disk full (also any
// failed or short write).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace qx {

// Size and modification time of an existing file, opened read-only; -2 when there is none.
int ZFileStat(const std::string& path, int64_t& size, std::time_t& modifyTime);

// One file being written. Not copyable; closes the file when destroyed.
class ZFileWriter {
  public:
    ZFileWriter() = default;
    ~ZFileWriter();
    ZFileWriter(const ZFileWriter&) = delete;
    ZFileWriter& operator=(const ZFileWriter&) = delete;

    // Opens path for writing. With startOffset 0 a new file is created in path's directory
    // without a name (or, where the file system cannot, exclusively under a temporary name, so
    // nothing there is followed) and takes the name of path at Close, replacing whatever file
    // or link had it. Otherwise path is continued as it is, when
    // it is a plain file of this user with no other name (-5 for a link or anything else).
    int Open(const std::string& path, int64_t startOffset);
    // Writes all of data at file position pos.
    int WriteAt(int64_t pos, const uint8_t* data, size_t len);
    // Closes the file and, for a new file, renames it to its path.
    int Close();
    bool IsOpen() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
    std::string path_;
    bool unnamed_ = false;   // a new file without a name yet (O_TMPFILE)
    std::string temporary_;  // the new file's name until Close; empty when continuing a file
};

}  // namespace qx
