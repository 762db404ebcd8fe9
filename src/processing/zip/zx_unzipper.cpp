#include "processing/zip/zx_unzipper.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include "platform/clock.h"
#include "platform/files.h"
#include "processing/zip/zx_exception.h"
#include "processing/zip/zx_explode.h"
#include "processing/zip/zx_inflate.h"
#include "processing/zip/zx_input.h"
#include "processing/zip/zx_output.h"
#include "processing/zip/zx_pkware_header.h"
#include "processing/zip/zx_stored.h"
#include "processing/zip/zx_unreduce.h"
#include "processing/zip/zx_unshrink.h"

namespace qx {
namespace {

const char* const kNotZip = "Invalid file - not a PKZip file";
const char* const kNoArchive = "Archive does not exist - FileName is blank";
const char* const kNoDirectory = "Directory does not exist";
const char* const kNewerVersion = "Cannot extract file - newer version required";
const char* const kUnsupported = "Cannot extract file - unsupported compression method";
const char* const kPassword = "Cannot extract file - invalid password";
const char* const kBadReduce = "Invalid Reduce Factor";
const char* const kBadInflate = "Cannot inflate block";
const char* const kBadCrc = "Failed CRC Check";
const char* const kBadData = "Cannot extract file - invalid compressed data";
const char* const kBadHeader = "Cannot extract file - invalid local header";
const char* const kBadName = "Cannot extract file - invalid file name";
const char* const kWriteFailed = "Cannot extract file - cannot write the file";

// The end-of-central-directory record must start within this many bytes of the end.
constexpr uint64_t kEndSearch = 2048;

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t Le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool ReadAt(std::FILE* f, uint64_t offset, uint8_t* out, size_t size) {
    return std::fseek(f, static_cast<long>(offset), SEEK_SET) == 0 &&
           std::fread(out, 1, size, f) == size;
}

// The error text for a decoder failure of the given method.
const char* DecodeErrorText(int method, int result) {
    if (result == kZxErrWrite) return kWriteFailed;
    if (method >= 2 && method <= 5) return kBadReduce;
    if (method == 8) return kBadInflate;
    return kBadData;
}

class FileSink : public TZxSink {
  public:
    explicit FileSink(std::FILE* f) : f_(f) {}
    bool Write(const uint8_t* data, size_t size) override {
        return std::fwrite(data, 1, size, f_) == size;
    }

  private:
    std::FILE* f_;
};

std::time_t TimeOfDos(uint16_t date, uint16_t time) {
    LocalClockReading r{};
    r.Year = 1980 + (date >> 9);
    r.Month = (date >> 5) & 15;
    r.Day = date & 31;
    r.Hour = time >> 11;
    r.Minute = (time >> 5) & 63;
    r.Second = (time & 31) * 2;
    return UnixTimeOfLocal(r);
}

// A fresh name in dir for a file that does not exist yet; created exclusively by the caller
// so that nothing present under that name (a link, say) is ever followed.
std::string TemporaryName(const std::string& dir) {
    static std::atomic<uint32_t> counter{std::random_device{}()};
    return JoinPath(dir, ".qxunzip-" + std::to_string(counter++) + ".tmp");
}

}  // namespace

TZxUnZipper::TZxUnZipper() = default;
TZxUnZipper::~TZxUnZipper() = default;

void TZxUnZipper::SetFileName(const std::string& name) {
    file_.reset();
    items_.clear();
    fileSize_ = 0;
    fileName_ = name;
    if (name.empty() || !FileExists(name)) return;
    file_.reset(std::fopen(name.c_str(), "rb"));
    if (!file_) return;
    try {
        LoadDirectory();
    } catch (...) {
        file_.reset();
        items_.clear();
        throw;
    }
}

// End of central directory record (22 bytes + comment):
//   0 signature 50 4B 05 06     4 number of this disk      6 disk of the central directory
//   8 entries on this disk      10 entries in total        12 size of the central directory
//  16 offset of the central directory                      20 comment length, 22 comment
// Central directory header (46 bytes + name + extra + comment):
//   0 signature 50 4B 01 02     4 version made by          6 version needed to extract
//   8 flags                     10 method                  12 MS-DOS time     14 MS-DOS date
//  16 CRC-32                    20 compressed size         24 uncompressed size
//  28 name length               30 extra length            32 comment length
//  34 disk number start         36 internal attributes     38 external attributes
//  42 offset of local header    46 name
void TZxUnZipper::LoadDirectory() {
    std::FILE* f = file_.get();
    if (std::fseek(f, 0, SEEK_END) != 0) throw EZxException(kNotZip);
    const long end = std::ftell(f);
    if (end < 0) throw EZxException(kNotZip);
    fileSize_ = static_cast<uint64_t>(end);
    if (fileSize_ == 0) return;  // an empty archive
    if (fileSize_ < 22) throw EZxException(kNotZip);

    const uint64_t tailSize = std::min(fileSize_, kEndSearch);
    std::vector<uint8_t> tail(tailSize);
    if (!ReadAt(f, fileSize_ - tailSize, tail.data(), tailSize)) throw EZxException(kNotZip);
    int64_t at = static_cast<int64_t>(tailSize) - 22;
    while (at >= 0 && std::memcmp(&tail[at], "PK\x05\x06", 4) != 0) --at;
    if (at < 0) throw EZxException(kNotZip);
    const uint8_t* eocd = &tail[at];
    const uint64_t eocdPos = fileSize_ - tailSize + static_cast<uint64_t>(at);
    if (Le16(eocd + 4) != 0 || Le16(eocd + 6) != 0) throw EZxException(kNotZip);  // spanned
    const uint64_t cdStart = Le32(eocd + 16);
    if (cdStart > eocdPos) throw EZxException(kNotZip);

    if (std::fseek(f, static_cast<long>(cdStart), SEEK_SET) != 0) throw EZxException(kNotZip);
    TZxInput in(f, eocdPos - cdStart);
    uint8_t h[46];
    std::vector<TZxZipItem> items;
    for (uint64_t pos = cdStart; pos < eocdPos;) {
        if (in.Read(h, 46) != 46 || std::memcmp(h, "PK\x01\x02", 4) != 0)
            throw EZxException(kNotZip);
        TZxZipItem item;
        item.VersionNeeded = Le16(h + 6);
        item.Flags = Le16(h + 8);
        item.Method = Le16(h + 10);
        item.DosTime = Le16(h + 12);
        item.DosDate = Le16(h + 14);
        item.Crc32 = Le32(h + 16);
        item.CompressedSize = Le32(h + 20);
        item.UncompressedSize = Le32(h + 24);
        item.LocalHeaderOffset = Le32(h + 42);
        const size_t nameLength = Le16(h + 28);
        const uint64_t skip = uint64_t{Le16(h + 30)} + Le16(h + 32);
        item.FileName.resize(nameLength);
        if (in.Read(reinterpret_cast<uint8_t*>(item.FileName.data()), nameLength) != nameLength)
            throw EZxException(kNotZip);
        std::replace(item.FileName.begin(), item.FileName.end(), '/', '\\');
        for (uint64_t k = 0; k < skip; ++k) {
            uint8_t dummy;
            if (in.Read(&dummy, 1) != 1) throw EZxException(kNotZip);
        }
        pos += 46 + nameLength + skip;
        items.push_back(std::move(item));
    }
    items_ = std::move(items);
}

void TZxUnZipper::SetBaseDirectory(const std::string& dir) {
    std::string d = dir;
    if (d.size() > 1 && (d.back() == '\\' || d.back() == '/')) d.pop_back();
    if (!d.empty() && !DirectoryExists(d)) throw EZxException(kNoDirectory);
    baseDirectory_ = d;
}

namespace {

// Masks and names both use "\" between directories here.
bool ItemMatches(const std::string& storedName, const std::string& mask) {
    std::string m = mask;
    std::replace(m.begin(), m.end(), '/', '\\');
    const size_t maskCut = m.rfind('\\');
    const size_t nameCut = storedName.rfind('\\');
    const std::string bare =
        nameCut == std::string::npos ? storedName : storedName.substr(nameCut + 1);
    if (maskCut == std::string::npos) return MatchesMask(bare, m);
    const std::string dir = nameCut == std::string::npos ? "" : storedName.substr(0, nameCut);
    return MatchesMask(dir, m.substr(0, maskCut)) && MatchesMask(bare, m.substr(maskCut + 1));
}

}  // namespace

int TZxUnZipper::ExtractFiles(const std::string& mask) {
    if (!file_) throw EZxException(kNoArchive);
    if (!baseDirectory_.empty() && !DirectoryExists(baseDirectory_))
        throw EZxException(kNoDirectory);
    int written = 0;
    for (const TZxZipItem& item : items_) {
        if (!ItemMatches(item.FileName, mask)) continue;
        const std::string failure = ExtractItem(item);
        if (failure.empty()) {
            ++written;
        } else if (OnEntryFailed) {
            OnEntryFailed(item.FileName, failure);
        }
    }
    return written;
}

// Local file header (30 bytes + name + extra, then the data):
//   0 signature 50 4B 03 04     4 version needed           6 flags            8 method
//  10 MS-DOS time               12 MS-DOS date             14 CRC-32
//  18 compressed size           22 uncompressed size       26 name length     28 extra length
std::string TZxUnZipper::ExtractItem(const TZxZipItem& item) {
    if ((item.VersionNeeded & 0xFF) > 20) return kNewerVersion;
    const uint16_t m = item.Method;
    if (!(m <= 6 || m == 8)) return kUnsupported;
    const std::string bare = BareName(item.FileName);
    if (bare.empty() || bare == "." || bare == ".." || bare.find('\0') != std::string::npos)
        return kBadName;

    std::FILE* f = file_.get();
    uint8_t h[30];
    if (uint64_t{item.LocalHeaderOffset} + 30 > fileSize_ ||
        !ReadAt(f, item.LocalHeaderOffset, h, 30) || std::memcmp(h, "PK\x03\x04", 4) != 0)
        return kBadHeader;
    const uint32_t localCompressed = Le32(h + 18), localSize = Le32(h + 22);
    const bool sizesLater = (Le16(h + 6) & 8) != 0;
    const bool sizesAgree =
        (localCompressed == item.CompressedSize && localSize == item.UncompressedSize) ||
        (sizesLater && localCompressed == 0 && localSize == 0);
    if (!sizesAgree) return kBadHeader;
    const uint64_t dataStart = uint64_t{item.LocalHeaderOffset} + 30 + Le16(h + 26) + Le16(h + 28);
    if (dataStart + item.CompressedSize > fileSize_) return kBadHeader;

    uint64_t compressed = item.CompressedSize;
    if (std::fseek(f, static_cast<long>(dataStart), SEEK_SET) != 0) return kBadHeader;
    if (item.Flags & 1) {
        // Traditional encryption. No password is ever given, and with the empty one the data
        // cannot be right even when the header happens to pass: the entry is not extracted.
        uint8_t header[12];
        if (compressed < 12 || std::fread(header, 1, 12, f) != 12) return kPassword;
        const uint8_t check = (item.Flags & 8) ? item.DosTime >> 8 : item.Crc32 >> 24;
        (void)ZxPkwareHeaderMatches(header, "", check);
        return kPassword;
    }

    // A new name is created in place; an existing one (file or link) is replaced by renaming
    // a temporary file over it. Both opens are exclusive, so no link is ever followed, and an
    // entry that fails leaves nothing behind (an existing file of that name stays as it was).
    const std::string target = JoinPath(baseDirectory_, bare);
    std::string written = target;
    std::FILE* out = std::fopen(target.c_str(), "wbx");
    for (int tries = 0; tries < 100 && !out; ++tries) {
        written = TemporaryName(baseDirectory_);
        out = std::fopen(written.c_str(), "wbx");
    }
    if (!out) return kWriteFailed;

    uint32_t crc = 0;
    std::string failure = Decode(item, out, crc);
    if (std::fclose(out) != 0 && failure.empty()) failure = kWriteFailed;
    if (failure.empty() && crc != item.Crc32) failure = kBadCrc;
    if (failure.empty()) {
        const std::time_t t = TimeOfDos(item.DosDate, item.DosTime);
        if (t != -1 && !SetModifyTime(written, t)) failure = kWriteFailed;
    }
    if (failure.empty() && written != target) {
        // rename replaces a file or a symbolic link of that name, never what a link points to.
        std::error_code ec;
        std::filesystem::rename(written, target, ec);
        if (ec) failure = kWriteFailed;
    }
    if (!failure.empty()) {
        std::error_code ec;
        std::filesystem::remove(written, ec);
    }
    return failure;
}

std::string TZxUnZipper::Decode(const TZxZipItem& item, std::FILE* target, uint32_t& crc) {
    if (!window_) {
        inputBuffer_.reset(new uint8_t[TZxInput::kBufferSize]);
        window_.reset(new uint8_t[TZxOutput::kBufferSize]);
    }
    TZxInput in(file_.get(), item.CompressedSize, inputBuffer_.get());
    FileSink sink(target);
    TZxOutput out(&sink, item.UncompressedSize, window_.get());
    int r;
    switch (item.Method) {
        case 0:
            r = item.CompressedSize == item.UncompressedSize
                    ? ZxCopyStored(in, out, item.UncompressedSize)
                    : kZxErrSize;
            break;
        case 1:
            r = ZxUnshrink(in, out);
            break;
        case 2:
        case 3:
        case 4:
        case 5:
            r = ZxUnreduce(in, out, item.Method - 1);
            break;
        case 6:
            r = ZxExplode(in, out, (item.Flags & 2) != 0, (item.Flags & 4) != 0);
            break;
        case 8:
            r = ZxInflate(in, out);
            break;
        default:
            return kUnsupported;
    }
    if (r == kZxOk) r = out.Flush();
    if (r == kZxOk && !out.Complete()) r = kZxErrSize;
    if (r == kZxOk && in.ReadFailed()) r = kZxErrTruncated;
    if (r != kZxOk) return DecodeErrorText(item.Method, r);
    crc = out.Crc();
    return {};
}

}  // namespace qx
