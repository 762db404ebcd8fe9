#include "ipc_mailbox_region.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace qx::ipc {

RegionState StateOf(const uint8_t* region) {
    if (region[0] == 0) return RegionState::kEmpty;
    if (region[0] == kCloseMarker) return RegionState::kClosed;
    return RegionState::kMessage;
}

std::string TakeMessage(uint8_t* region) {
    uint8_t scratch[kRegionSize];
    std::memcpy(scratch, region, kRegionSize);
    region[0] = 0;
    size_t n = 0;
    while (n < kMaxMessage && scratch[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(scratch), n);
}

size_t PlaceMessage(uint8_t* region, const std::string& text) {
    uint8_t scratch[kRegionSize] = {};
    const size_t n = strnlen(text.c_str(), text.size() < kMaxMessage ? text.size() : kMaxMessage);
    std::memcpy(scratch, text.data(), n);
    // Bytes 1..n include the terminating zero; byte 0 goes last and makes the message visible.
    if (n > 0) std::memcpy(region + 1, scratch + 1, n);
    std::atomic_thread_fence(std::memory_order_release);
    region[0] = scratch[0];
    return n;
}

std::string DescribeRegion(const uint8_t* region) {
    std::string out;
    for (size_t i = 0; i < kMaxMessage && (i == 0 || region[i] != 0); ++i) {
        const uint8_t c = region[i];
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

void PlaceCloseMarker(uint8_t* region) {
    region[1] = 0;
    std::atomic_thread_fence(std::memory_order_release);
    region[0] = kCloseMarker;
}

}  // namespace qx::ipc
