#include "ui/window_state_file.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace qx {

namespace {

void PutInt32(uint8_t* p, int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}

int32_t GetInt32(const uint8_t* p) {
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(p[i]) << (8 * i);
    return static_cast<int32_t>(u);
}

bool TickFromByte(uint8_t b, bool fallback) {
    if (b > 1) return fallback;
    return b == 1;
}

// Overlap of two rectangles, computed in 64 bits so that any stored int32 is safe.
bool OverlapsEnough(const TWindowState& s, const TRect& screen) {
    const int64_t left = std::max<int64_t>(s.Left, screen.Left);
    const int64_t right =
        std::min<int64_t>(int64_t{s.Left} + s.Width, int64_t{screen.Left} + screen.Width);
    const int64_t top = std::max<int64_t>(s.Top, screen.Top);
    const int64_t bottom =
        std::min<int64_t>(int64_t{s.Top} + s.Height, int64_t{screen.Top} + screen.Height);
    return right - left >= MinVisibleWidth && bottom - top >= MinVisibleHeight;
}

}  // namespace

std::string WindowStateFileName(const std::string& executableName) {
    std::string name = executableName;
    const auto slash = name.find_last_of('/');
    if (slash != std::string::npos) name.erase(0, slash + 1);
    const auto dot = name.find('.');
    if (dot == std::string::npos) {
        name += '.';
    } else {
        name.erase(dot + 1);
    }
    return name + "ini";
}

std::array<uint8_t, WindowStateRecordSize> EncodeWindowState(const TWindowState& state) {
    std::array<uint8_t, WindowStateRecordSize> r{};
    PutInt32(&r[0], state.Top);
    PutInt32(&r[4], state.Left);
    PutInt32(&r[8], state.Width);
    PutInt32(&r[12], state.Height);
    r[16] = state.Ticks.Dialog ? 1 : 0;
    r[17] = state.Ticks.Queue ? 1 : 0;
    r[18] = state.Ticks.Modem ? 1 : 0;
    r[19] = state.Ticks.Progress ? 1 : 0;
    r[20] = state.Ticks.Buttons ? 1 : 0;
    return r;
}

TWindowState DecodeWindowState(const std::array<uint8_t, WindowStateRecordSize>& record,
                               const std::vector<TRect>& screens) {
    const TWindowState defaults;
    TWindowState s;
    s.Top = GetInt32(&record[0]);
    s.Left = GetInt32(&record[4]);
    s.Width = GetInt32(&record[8]);
    s.Height = GetInt32(&record[12]);

    const bool sizeOk = s.Width >= MinWindowWidth && s.Width <= MaxWindowExtent &&
                        s.Height >= MinWindowHeight && s.Height <= MaxWindowExtent;
    if (!sizeOk) {
        s.Top = defaults.Top;
        s.Left = defaults.Left;
        s.Width = defaults.Width;
        s.Height = defaults.Height;
    } else if (!screens.empty() &&
               std::none_of(screens.begin(), screens.end(),
                            [&](const TRect& r) { return OverlapsEnough(s, r); })) {
        s.Top = defaults.Top;
        s.Left = defaults.Left;
    }

    s.Ticks.Dialog = TickFromByte(record[16], defaults.Ticks.Dialog);
    s.Ticks.Queue = TickFromByte(record[17], defaults.Ticks.Queue);
    s.Ticks.Modem = TickFromByte(record[18], defaults.Ticks.Modem);
    s.Ticks.Progress = TickFromByte(record[19], defaults.Ticks.Progress);
    s.Ticks.Buttons = TickFromByte(record[20], defaults.Ticks.Buttons);
    return s;
}

TWindowState ReadWindowStateFile(const std::string& path, const std::vector<TRect>& screens,
                                 const TErrorReporter& errorBox) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return {};

    // One byte more than a record, so that an over-long file is seen as well.
    std::array<char, WindowStateRecordSize + 1> buf{};
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    if (in.bad()) {
        if (errorBox) errorBox("General read error", path);
        return {};
    }
    const auto got = static_cast<std::size_t>(in.gcount());
    in.close();
    if (got != WindowStateRecordSize) {
        // Only a plain file is ever removed; a directory or device by this name is left alone.
        std::error_code ec;
        if (std::filesystem::is_regular_file(path, ec)) std::filesystem::remove(path, ec);
        return {};
    }
    std::array<uint8_t, WindowStateRecordSize> record{};
    std::copy_n(buf.begin(), WindowStateRecordSize, reinterpret_cast<char*>(record.data()));
    return DecodeWindowState(record, screens);
}

void WriteWindowStateFile(const std::string& path, const TWindowState& state,
                          const TErrorReporter& errorBox) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) return;
    const auto record = EncodeWindowState(state);
    out.write(reinterpret_cast<const char*>(record.data()),
              static_cast<std::streamsize>(record.size()));
    out.close();
    if (!out.fail()) return;

    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    const bool shortFile = !ec && size < WindowStateRecordSize;
    if (errorBox) errorBox(shortFile ? "Wrong file length  " : "General read error", path);
}

}  // namespace qx
