// TZxUnZipper: extracts the entries of a single-volume ZIP archive into one flat directory.
//
// Archive-level failures (not a ZIP file, no archive open, missing base directory) are raised
// as EZxException with the user-visible text. A failing entry is skipped: it leaves no file,
// raises nothing, and extraction goes on with the next entry; OnEntryFailed, when set, hears
// about it. Archive and entries are streamed: memory use does not grow with their size.
// Lives on the thread that uses it; not copyable.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "processing/zip/zx_zip_item.h"

namespace qx {

class TZxUnZipper {
  public:
    TZxUnZipper();
    ~TZxUnZipper();
    TZxUnZipper(const TZxUnZipper&) = delete;
    TZxUnZipper& operator=(const TZxUnZipper&) = delete;

    // Closes any open archive; a non-empty name of an existing file opens it and loads its
    // directory ("Invalid file - not a PKZip file" when that fails). A name that does not
    // exist leaves no archive open.
    void SetFileName(const std::string& name);
    const std::string& FileName() const { return fileName_; }

    // One trailing separator is removed; a non-empty directory that does not exist raises
    // "Directory does not exist".
    void SetBaseDirectory(const std::string& dir);
    const std::string& BaseDirectory() const { return baseDirectory_; }

    // Extracts, in directory order, every entry whose stored name matches mask (letter case
    // ignored; a directory part in the mask must match the entry's directory). Each entry is
    // written under its bare file name in BaseDirectory, replacing an existing file or link.
    // Returns the number of entries written.
    int ExtractFiles(const std::string& mask);

    void CloseArchive() { SetFileName(""); }

    bool IsOpen() const { return file_ != nullptr; }
    const std::vector<TZxZipItem>& Items() const { return items_; }

    // Told the stored name and the reason of every entry that is skipped.
    std::function<void(const std::string& name, const std::string& reason)> OnEntryFailed;

  private:
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };

    void LoadDirectory();
    // Empty on success, else the reason the entry was skipped.
    std::string ExtractItem(const TZxZipItem& item);
    std::string Decode(const TZxZipItem& item, std::FILE* target, uint32_t& crc);

    std::string fileName_;
    std::string baseDirectory_;
    std::unique_ptr<std::FILE, FileCloser> file_;
    uint64_t fileSize_ = 0;
    std::vector<TZxZipItem> items_;
    // The decoders' input buffer and output window, reused by every entry.
    std::unique_ptr<uint8_t[]> inputBuffer_;
    std::unique_ptr<uint8_t[]> window_;
};

}  // namespace qx
