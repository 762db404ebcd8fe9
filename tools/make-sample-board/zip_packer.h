#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace sampleboard {

// Packs files into a new archive with Info-ZIP zip (deflated, names without directories),
// as the board's archives are made. Returns false and a reason on failure.
bool PackZip(const std::filesystem::path& archive, const std::vector<std::filesystem::path>& files,
             std::string& error);

}  // namespace sampleboard
