#include "board_timing.h"

#include <charconv>

namespace bbssim {

int ParseTimingOption(const std::string& arg, const std::function<bool(std::string&)>& take,
                      const std::function<bool(bool&)>& flag, BoardTiming& timing,
                      std::string& error) {
    auto number = [&](auto& out) -> int {
        std::string v;
        if (!take(v)) return -1;
        const char* end = v.data() + v.size();
        auto [ptr, ec] = std::from_chars(v.data(), end, out);
        if (v.empty() || ec != std::errc() || ptr != end || out < 0) {
            error = "bad " + arg + " " + v;
            return -1;
        }
        return 1;
    };
    if (arg == "--no-delay") return flag(timing.noDelay) ? 1 : -1;
    if (arg == "--echo") return flag(timing.echo) ? 1 : -1;
    if (arg == "--no-dcd") return flag(timing.noDcd) ? 1 : -1;
    if (arg == "--linger") return flag(timing.linger) ? 1 : -1;
    if (arg == "--split-writes") return number(timing.splitMs);
    if (arg == "--stall-after-bytes") return number(timing.stallAfterBytes);
    return 0;
}

std::vector<std::string> SplitForWrites(const std::string& text) {
    // The cuts fall inside the text's last three bytes, where the prompts a caller waits for
    // end ("? 3>" arrives as "...?", " 3", ">").
    if (text.size() < 4) return {text};
    const std::size_t n = text.size();
    return {text.substr(0, n - 3), text.substr(n - 3, 2), text.substr(n - 1)};
}

}  // namespace bbssim
