#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "payloads.h"

namespace sampleboard {

// One archive as written: its name, what it holds and the member sizes.
struct WrittenArchive {
    std::string name;
    std::string description;
    std::vector<std::pair<std::string, std::uintmax_t>> members;
};

// Writes one archive per product into dir for the product time t: every product kind the
// program handles, each an info file and its data file, the RN radar also as a time series of
// the hours before t. Returns false and a reason on the first failure.
bool WriteBoard(const std::filesystem::path& dir, const ProductTime& t,
                std::vector<WrittenArchive>& written, std::string& error);

// How many hours back the RN series goes (t, t-1 h, ...).
constexpr int kRadarSeriesLength = 6;

}  // namespace sampleboard
