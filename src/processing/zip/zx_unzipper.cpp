#include "processing/zip/zx_unzipper.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <random>
#include <system_error>

#include "platform/clock.h"
#include "platform/files.h"
#include "processing/zip/zx_crc32.h"
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
uint64_t Le64(const uint8_t* p) {
    return Le32(p) | uint64_t{Le32(p + 4)} << 32;
}

constexpr uint32_t kUse64 = 0xFFFFFFFF;  // a 32-bit field whose value is in the Zip64 field
constexpr uint16_t kUtf8Flag = 1 << 11;

// Extra field: a sequence of blocks, each a 16-bit tag, a 16-bit data size and the data.
//   0x0001 Zip64 extended information: 8-byte uncompressed size, 8-byte compressed size,
//          8-byte local header offset, 4-byte disk number; only those whose header field is
//          0xFFFFFFFF (0xFFFF for the disk), in this order.
//   0x7075 Info-ZIP Unicode path: 1-byte version (1), 4-byte CRC-32 of the header's name,
//          then the name in UTF-8.
// Returns the data of the first block with the tag, or false.
bool FindExtra(const std::vector<uint8_t>& extra, uint16_t tag, const uint8_t*& data,
               size_t& size) {
    for (size_t at = 0; at + 4 <= extra.size();) {
        const uint16_t id = Le16(&extra[at]);
        const size_t n = Le16(&extra[at + 2]);
        if (at + 4 + n > extra.size()) return false;
        if (id == tag) {
            data = &extra[at + 4];
            size = n;
            return true;
        }
        at += 4 + n;
    }
    return false;
}

// Replaces each of the fields that hold 0xFFFFFFFF by its Zip64 value. False when a needed
// value is missing.
bool ApplyZip64(const std::vector<uint8_t>& extra, std::initializer_list<uint64_t*> fields) {
    const uint8_t* data = nullptr;
    size_t size = 0;
    const bool present = FindExtra(extra, 0x0001, data, size);
    size_t at = 0;
    for (uint64_t* field : fields) {
        if (*field != kUse64) continue;
        if (!present || at + 8 > size) return false;
        *field = Le64(data + at);
        at += 8;
    }
    return true;
}

// Characters 0x80-0xFF of the IBM PC character set (code page 437).
const char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

std::string Cp437ToUtf8(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        const char16_t u = kCp437High[c - 0x80];
        if (u < 0x800) {
            out += static_cast<char>(0xC0 | u >> 6);
        } else {
            out += static_cast<char>(0xE0 | u >> 12);
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        }
        out += static_cast<char>(0x80 | (u & 0x3F));
    }
    return out;
}

// The entry's name in UTF-8: as stored when flag bit 11 says so, else from a Unicode path
// field that belongs to this name (its CRC matches), else converted from the IBM PC set.
std::string NameInUtf8(const std::string& stored, uint16_t flags,
                       const std::vector<uint8_t>& extra) {
    if (flags & kUtf8Flag) return stored;
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (FindExtra(extra, 0x7075, data, size) && size > 5 && data[0] == 1 &&
        Le32(data + 1) ==
            ZxCrc32(0, reinterpret_cast<const uint8_t*>(stored.data()), stored.size())) {
        return std::string(reinterpret_cast<const char*>(data + 5), size - 5);
    }
    return Cp437ToUtf8(stored);
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
    uint64_t cdStart = Le32(eocd + 16);
    uint64_t cdEnd = eocdPos;
    // Zip64 end of central directory locator (20 bytes, right before the end record):
    //   0 signature 50 4B 06 07     4 disk of the Zip64 end record
    //   8 offset of the Zip64 end record                    16 number of disks
    // Zip64 end of central directory record (56 bytes + extensible data):
    //   0 signature 50 4B 06 06     4 size of the rest of the record (8 bytes)
    //  12 version made by           14 version needed          16 number of this disk
    //  20 disk of the central directory                        24 entries on this disk (8)
    //  32 entries in total (8)      40 size of the central directory (8)
    //  48 offset of the central directory (8)
    uint8_t locator[20];
    if (eocdPos >= 20 && ReadAt(f, eocdPos - 20, locator, 20) &&
        std::memcmp(locator, "PK\x06\x07", 4) == 0) {
        const uint64_t recordPos = Le64(locator + 8);
        uint8_t record[56];
        if (Le32(locator + 4) != 0 || recordPos + 56 > eocdPos - 20 ||
            !ReadAt(f, recordPos, record, 56) || std::memcmp(record, "PK\x06\x06", 4) != 0 ||
            Le32(record + 16) != 0 || Le32(record + 20) != 0) {
            throw EZxException(kNotZip);
        }
        cdStart = Le64(record + 48);
        cdEnd = recordPos;
    }
    if (cdStart > cdEnd) throw EZxException(kNotZip);

    if (std::fseek(f, static_cast<long>(cdStart), SEEK_SET) != 0) throw EZxException(kNotZip);
    TZxInput in(f, cdEnd - cdStart);
    uint8_t h[46];
    std::vector<TZxZipItem> items;
    std::vector<uint8_t> extra;
    for (uint64_t pos = cdStart; pos < cdEnd;) {
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
        const size_t extraLength = Le16(h + 30);
        const uint64_t skip = Le16(h + 32);
        std::string stored(nameLength, '\0');
        extra.resize(extraLength);
        if (in.Read(reinterpret_cast<uint8_t*>(stored.data()), nameLength) != nameLength ||
            in.Read(extra.data(), extraLength) != extraLength) {
            throw EZxException(kNotZip);
        }
        const uint8_t* zip64 = nullptr;
        size_t zip64Size = 0;
        item.Zip64 = FindExtra(extra, 0x0001, zip64, zip64Size);
        // A value that is missing from its Zip64 field makes the entry unreadable; it stays
        // 0xFFFFFFFF and fails as an entry, like any other bad header.
        (void)ApplyZip64(extra,
                         {&item.UncompressedSize, &item.CompressedSize, &item.LocalHeaderOffset});
        item.FileName = NameInUtf8(stored, item.Flags, extra);
        std::replace(item.FileName.begin(), item.FileName.end(), '/', '\\');
        for (uint64_t k = 0; k < skip; ++k) {
            uint8_t dummy;
            if (in.Read(&dummy, 1) != 1) throw EZxException(kNotZip);
        }
        pos += 46 + nameLength + extraLength + skip;
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
    std::FILE* f = file_.get();
    uint8_t h[30];
    const bool headerRead =
        item.LocalHeaderOffset <= fileSize_ && item.LocalHeaderOffset + 30 <= fileSize_ &&
        ReadAt(f, item.LocalHeaderOffset, h, 30) && std::memcmp(h, "PK\x03\x04", 4) == 0;
    std::vector<uint8_t> localExtra;
    if (headerRead) {
        localExtra.resize(Le16(h + 28));
        if (std::fseek(f, static_cast<long>(item.LocalHeaderOffset + 30 + Le16(h + 26)),
                       SEEK_SET) != 0 ||
            std::fread(localExtra.data(), 1, localExtra.size(), f) != localExtra.size()) {
            localExtra.clear();
        }
    }
    // Zip64 entries need version 4.5; what else such a version may stand for is not used here.
    const uint8_t* any = nullptr;
    size_t anySize = 0;
    const bool zip64 = item.Zip64 || FindExtra(localExtra, 0x0001, any, anySize);
    const unsigned needed = item.VersionNeeded & 0xFF;
    if (needed > 20 && !(zip64 && needed <= 45)) return kNewerVersion;
    const uint16_t m = item.Method;
    if (!(m <= 6 || m == 8)) return kUnsupported;
    const std::string bare = BareName(item.FileName);
    if (bare.empty() || bare == "." || bare == ".." || bare.find('\0') != std::string::npos)
        return kBadName;

    if (!headerRead) return kBadHeader;
    // With flag bit 3 the sizes follow the data, and writers put zeros, the real sizes or
    // 0xFFFFFFFF here: the central directory's values rule. Otherwise both must agree.
    if ((Le16(h + 6) & 8) == 0) {
        uint64_t localCompressed = Le32(h + 18), localSize = Le32(h + 22);
        if (!ApplyZip64(localExtra, {&localSize, &localCompressed}) ||
            localCompressed != item.CompressedSize || localSize != item.UncompressedSize) {
            return kBadHeader;
        }
    }
    const uint64_t dataStart = item.LocalHeaderOffset + 30 + Le16(h + 26) + Le16(h + 28);
    if (item.CompressedSize > fileSize_ || dataStart + item.CompressedSize > fileSize_)
        return kBadHeader;

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
