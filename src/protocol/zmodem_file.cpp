#include "protocol/zmodem_file.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/files.h"

namespace qx::zm {

TFileInfo ParseFileInfo(const uint8_t* data, size_t len) {
    TFileInfo info;
    size_t i = 0;
    while (i < len && data[i] != 0 && info.Name.size() < 254)
        info.Name += static_cast<char>(data[i++]);
    while (i < len && data[i] != 0) ++i;  // the rest of an over-long name
    ++i;                                  // the NUL
    // Size: decimal digits up to a space or NUL.
    int64_t size = 0;
    bool digits = false;
    while (i < len && data[i] >= '0' && data[i] <= '9') {
        if (size < (int64_t{1} << 50)) size = size * 10 + (data[i] - '0');
        digits = true;
        ++i;
    }
    if (digits && (i >= len || data[i] == ' ' || data[i] == 0)) info.Size = size;
    if (i < len && data[i] == ' ') {
        ++i;
        while (i < len && data[i] == '0') ++i;  // leading zeros
        int64_t t = 0;
        int n = 0;
        while (i < len && data[i] >= '0' && data[i] <= '7' && n < 11) {
            t = t * 8 + (data[i] - '0');
            ++n;
            ++i;
        }
        const bool ended = i >= len || data[i] == ' ' || data[i] == 0;
        if (ended && (n > 0 || (i > 0 && data[i - 1] == '0'))) {
            info.Date = static_cast<std::time_t>(t);
            info.HasDate = true;
        }
    }
    if (!info.HasDate) info.Date = std::time(nullptr);
    return info;
}

namespace {

bool SafeComponent(const std::string& s) {
    if (s.empty() || s == "." || s == "..") return false;
    return std::none_of(s.begin(), s.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F;
    });
}

}  // namespace

std::string LocalFileName(const std::string& sent, bool upcase, bool honourDirectory) {
    std::string name = sent;
    std::replace(name.begin(), name.end(), '\\', '/');
    if (upcase)
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!honourDirectory) {
        name = BareName(name);
        return SafeComponent(name) ? name : std::string();
    }
    if (name.empty() || name[0] == '/' || name.find(':') != std::string::npos) return {};
    size_t pos = 0;
    while (pos <= name.size()) {
        size_t next = name.find('/', pos);
        if (next == std::string::npos) next = name.size();
        if (!SafeComponent(name.substr(pos, next - pos))) return {};
        pos = next + 1;
    }
    return name;
}

int PrepareWriting(TProtocolData& p) {
    p.WriteBuf.assign(kWriteBufferSize, 0);
    p.WriteBufLen = 0;
    if (p.ReceiverRecover) p.ConvertOpts |= 3;
    std::string path;
    {
        std::lock_guard lock(p.InfoLock);
        path = p.PathName;
    }
    int64_t existingSize = 0;
    std::time_t existingDate = 0;
    const int st = ZFileStat(path, existingSize, existingDate);
    if (st < 0 && st != -2) {
        p.WriteBuf.clear();
        return st;
    }
    const bool exists = st == 0;
    const int64_t size = p.SrcFileLen;
    const int64_t date = p.SrcFileDate;
    int64_t start = 0;
    if (exists && existingSize < size && (p.ConvertOpts & 3) == 3) {
        start = existingSize;
    } else {
        const bool skipNoFile = p.SkipNoFile || (p.FileMgmtOpts & ZMSKNOLOC) != 0;
        const bool newer = date > static_cast<int64_t>(existingDate) + 1;
        const bool sameTime = std::llabs(date - static_cast<int64_t>(existingDate)) <= 1;
        bool skip = false;
        if (skipNoFile && !exists) {
            p.ProtocolStatus = psNoSuchFile;
            p.WriteBuf.clear();
            return 0;
        }
        if (exists) {
            switch (p.FileMgmtOpts & ZMMASK) {
                case zfoWriteNewerLonger:
                    skip = !newer && !(size > existingSize);
                    break;
                case zfoWriteCrc:
                case zfoWriteNewer:
                    skip = !newer;
                    break;
                case zfoWriteAppend:
                    start = existingSize;
                    break;
                case zfoWriteDifferent:
                    skip = sameTime && size == existingSize;
                    break;
                case zfoWriteProtect:
                    skip = true;
                    break;
                default:
                    break;  // 0 and 4: overwrite
            }
        }
        if (skip) {
            p.ProtocolStatus = psCantWriteFile;
            p.WriteBuf.clear();
            return 0;
        }
    }
    const int r = p.Writer.Open(path, start);
    if (r < 0) {
        p.WriteBuf.clear();
        return r;
    }
    p.FileOfs = start;
    p.WriteBufPos = start;
    p.InitFilePos = start;
    p.FileOpen = true;
    return 0;
}

namespace {

int FlushWriteBuffer(TProtocolData& p) {
    if (p.WriteBufLen == 0) return 0;
    const int r = p.Writer.WriteAt(p.WriteBufPos, p.WriteBuf.data(), p.WriteBufLen);
    p.WriteBufPos += static_cast<int64_t>(p.WriteBufLen);
    p.WriteBufLen = 0;
    return r;
}

}  // namespace

int WriteBlock(TProtocolData& p, const uint8_t* data, size_t len) {
    if (!p.FileOpen) return -103;
    const int64_t ofs = p.FileOfs;
    if (ofs != p.WriteBufPos + static_cast<int64_t>(p.WriteBufLen)) {
        const int r = FlushWriteBuffer(p);
        if (r < 0) return r;
        p.WriteBufPos = ofs;
    }
    if (p.WriteBufLen + len > p.WriteBuf.size()) {
        const int r = FlushWriteBuffer(p);
        if (r < 0) return r;
    }
    if (len > p.WriteBuf.size()) {
        const int r = p.Writer.WriteAt(ofs, data, len);
        if (r < 0) return r;
        p.WriteBufPos = ofs + static_cast<int64_t>(len);
    } else {
        std::memcpy(p.WriteBuf.data() + p.WriteBufLen, data, len);
        p.WriteBufLen += len;
    }
    p.FileOfs = ofs + static_cast<int64_t>(len);
    p.BytesTransferred += static_cast<int64_t>(len);
    p.BytesRemaining = std::max<int64_t>(0, p.BytesRemaining - static_cast<int64_t>(len));
    return 0;
}

int FinishWriting(TProtocolData& p, bool complete) {
    if (!p.FileOpen) return 0;
    int r = FlushWriteBuffer(p);
    const int c = p.Writer.Close();
    if (r == 0) r = c;
    p.FileOpen = false;
    p.WriteBuf.clear();
    p.WriteBuf.shrink_to_fit();
    if (r == 0 && complete && p.ProtocolError == 0) {
        std::string path;
        {
            std::lock_guard lock(p.InfoLock);
            path = p.PathName;
        }
        SetModifyTime(path, static_cast<std::time_t>(p.SrcFileDate.load()));
    }
    return r;
}

}  // namespace qx::zm
