// The 300-byte mailbox region both programs read and write, always under the mailbox's mutex.
//
//   offset  size  meaning
//   0       1     state and first character: 0 = empty; 0xFF = the writer has closed the
//                 mailbox; any other value = a message is present and this is its first byte
//   1       299   the rest of the message, 8-bit characters, ended by a zero byte
//
// A message therefore holds at most 299 characters. The writer stores bytes 1.. first and
// byte 0 last, so the reader never sees half a message; the reader copies the message and then
// sets byte 0 to zero, which frees the slot for the next one. A region written by a broken
// peer (no terminating zero) is read as its first 299 characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qx::ipc {

constexpr size_t kRegionSize = 300;
constexpr size_t kMaxMessage = 299;
constexpr uint8_t kCloseMarker = 0xFF;

enum class RegionState { kEmpty, kMessage, kClosed };

RegionState StateOf(const uint8_t* region);

// Reader: the message (up to its first zero byte, at most 299 characters); frees the slot.
std::string TakeMessage(uint8_t* region);

// Writer: stores text cut to 299 characters, byte 0 last. Returns the characters stored.
size_t PlaceMessage(uint8_t* region, const std::string& text);

// The region's message bytes for a trace: printable characters as they are, others as \xHH.
std::string DescribeRegion(const uint8_t* region);

// Writer: marks the mailbox closed.
void PlaceCloseMarker(uint8_t* region);

}  // namespace qx::ipc
