// The file side of the ZMODEM receiver: reading the ZFILE subpacket, making a safe local name,
// and the three file hooks (prepare writing, write block, finish writing) with the 8192-byte
// write buffer and the file-management rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "protocol/protocol_data.h"

namespace qx::zm {

// Size of the write buffer: a disk write about every 64 subpackets of 1024 bytes. On a fast
// line the writes cost more than the receiving at 8 KB each.
constexpr size_t kWriteBufferSize = 65536;

struct TFileInfo {
    std::string Name;      // as sent, up to the first NUL (at most 254 characters)
    int64_t Size = 0;      // 0 when missing or not a number
    std::time_t Date = 0;  // seconds since 1970
    bool HasDate = false;
};

// ZFILE subpacket: name NUL, then "size mtime ..." (decimal size, octal seconds since 1970).
TFileInfo ParseFileInfo(const uint8_t* data, size_t len);

// The local name for a sent name: the bare name (or, with honourDirectory, the relative path
// with "/" separators), upper-cased when asked. Empty when the name is not safe to write: empty,
// "." or "..", a control character, or (with honourDirectory) an absolute path or a ".."
// component.
std::string LocalFileName(const std::string& sent, bool upcase, bool honourDirectory);

// Opening the file (status 4700 before): applies the management option and the resume rule.
// Returns 0 (the status may then be 4706 or 4707: the file is skipped) or a negative I/O code.
int PrepareWriting(TProtocolData& p);
// Writes one subpacket at the current file offset through the write buffer.
int WriteBlock(TProtocolData& p, const uint8_t* data, size_t len);
// Writes what is buffered and closes the file; a complete file gets the sender's time.
int FinishWriting(TProtocolData& p, bool complete);

}  // namespace qx::zm
