#pragma once

#include <chrono>
#include <fstream>
#include <string>
#include <string_view>

namespace bbssim {

// The --log transcript: one line per event, with the seconds since start and control bytes
// spelled out, so a failed test can be read back byte for byte. Without a file it does nothing.
class Transcript {
  public:
    Transcript() = default;
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

    bool Open(const std::string& path);
    void Line(std::string_view tag, std::string_view text);
    // Logs text with its control bytes escaped (\r, \n, \xNN).
    void Bytes(std::string_view tag, std::string_view bytes);

    static std::string Escape(std::string_view bytes);

  private:
    std::ofstream file_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace bbssim
