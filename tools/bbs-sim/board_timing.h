#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bbssim {

// How a real board and modem behave in time, beyond the fixed delays: the ways a caller that
// only works against a polite board loses data or hangs.
struct BoardTiming {
    bool noDelay = false;               // --no-delay: banner with CONNECT, prompts at once
    int splitMs = 0;                    // --split-writes: board texts in pieces this far apart
    bool echo = false;                  // --echo: the board echoes what the caller types
    bool noDcd = false;                 // --no-dcd: a hang-up leaves the line open
    std::int64_t stallAfterBytes = -1;  // --stall-after-bytes: the sender stops mid-file
    bool linger = false;                // --linger: the board stays on after the goodbye
};

// One of the options above. take fetches the option's value, flag checks it has none. Returns
// 1 when arg was one of them and was taken, 0 when it is not one, -1 on a bad value (error).
int ParseTimingOption(const std::string& arg, const std::function<bool(std::string&)>& take,
                      const std::function<bool(bool&)>& flag, BoardTiming& timing,
                      std::string& error);

// The pieces a board text goes out in with --split-writes: up to three, none empty.
std::vector<std::string> SplitForWrites(const std::string& text);

}  // namespace bbssim
