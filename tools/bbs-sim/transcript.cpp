#include "transcript.h"

#include <cstdio>

namespace bbssim {

bool Transcript::Open(const std::string& path) {
    file_.open(path, std::ios::out | std::ios::app);
    return file_.is_open();
}

void Transcript::Line(std::string_view tag, std::string_view text) {
    if (!file_.is_open()) return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start_)
                        .count();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%8.3f ", static_cast<double>(ms) / 1000.0);
    file_ << stamp << tag << ' ' << text << '\n';
    file_.flush();
}

void Transcript::Bytes(std::string_view tag, std::string_view bytes) {
    if (!file_.is_open()) return;
    Line(tag, Escape(bytes));
}

std::string Transcript::Escape(std::string_view bytes) {
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += ch;
        }
    }
    return out;
}

}  // namespace bbssim
