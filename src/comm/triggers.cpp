#include "comm/triggers.h"

#include <cctype>

namespace qx {

bool TDataTrigger::SetPattern(const std::string& pattern, bool ignoreCase) {
    if (pattern.size() > static_cast<size_t>(kMaxTriggerLen)) return false;
    IgnoreCase = ignoreCase;
    Length = static_cast<int>(pattern.size());
    for (int i = 0; i < Length; ++i) {
        uint8_t c = static_cast<uint8_t>(pattern[static_cast<size_t>(i)]);
        Pattern[static_cast<size_t>(i)] = ignoreCase ? static_cast<uint8_t>(std::toupper(c)) : c;
    }
    ClearMatches();
    Matched = false;
    return true;
}

// Every slot follows one candidate occurrence, so overlapping candidates ("aab" in "aaab") are
// all seen. At most one new candidate starts per byte; a full match drops all candidates, and
// only the matching byte itself may start the next one.
bool TDataTrigger::Advance(uint8_t byte) {
    if (Length == 0 || Matched) return false;
    if (IgnoreCase) byte = static_cast<uint8_t>(std::toupper(byte));
    const uint8_t first = Pattern[0];
    if (Busy == 0 && byte != first) return false;  // nothing under way and nothing starts
    bool begun = false;
    for (int s = 0; s < Length; ++s) {
        uint32_t& p = Slots[static_cast<size_t>(s)];
        if (s != 0 && p == 0 && (begun || byte != first)) continue;
        if (byte == Pattern[p]) {
            if (static_cast<int>(p) + 1 == Length) {
                Matched = true;
                ClearMatches();
                if (byte == first && Length > 1) {
                    Slots[0] = 1;
                    Busy = 1;
                }
                return true;
            }
            ++p;
        } else if (byte == first) {
            p = 1;
        } else {
            p = 0;
        }
        if (p == 1) begun = true;
        if (p != 0)
            Busy |= 1u << s;
        else
            Busy &= ~(1u << s);
    }
    return false;
}

}  // namespace qx
