// The window-state file: where the main window was and which of its areas were shown.
//
// Record layout (24 bytes, little-endian), the whole file:
//   offset size field
//        0    4 top (int32, pixels)
//        4    4 left (int32)
//        8    4 width (int32)
//       12    4 height (int32)
//       16    1 Dialog ticked (0 or 1)
//       17    1 Queue ticked
//       18    1 Modem ticked
//       19    1 Progress ticked
//       20    1 Buttons ticked
//       21    1 zero
//       22    2 reserved (zero)
//
// The file is named after the executable ("quorvex.ini") and lives in the current directory.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ui/form_layout.h"

namespace qx {

struct TWindowState {
    int32_t Top = 100;
    int32_t Left = 100;
    int32_t Width = 600;
    int32_t Height = 400;
    TViewTicks Ticks;
    bool operator==(const TWindowState&) const = default;
};

constexpr std::size_t WindowStateRecordSize = 24;

// Sizes outside these bounds are not a window anybody sized by hand; they mean a damaged file.
constexpr int32_t MinWindowWidth = 200;
constexpr int32_t MinWindowHeight = 120;
constexpr int32_t MaxWindowExtent = 16384;
// At least this much of the window must lie on one screen for its saved position to be used.
constexpr int32_t MinVisibleWidth = 50;
constexpr int32_t MinVisibleHeight = 30;

// The error box (message, detail); qx::ErrorBox in the program, a recorder in tests.
using TErrorReporter = std::function<void(const std::string&, const std::string&)>;

// "quorvex" -> "quorvex.ini", "Quorvex.exe" -> "Quorvex.ini": the executable's file name up to
// and including its first ".", then "ini" (a "." is supplied when the name has none).
std::string WindowStateFileName(const std::string& executableName);

std::array<uint8_t, WindowStateRecordSize> EncodeWindowState(const TWindowState& state);

// Decodes a record, replacing what is not plausible by the defaults: a size out of bounds
// resets the whole geometry; a position with too little of the window on any of the screens
// (when screens are given) resets the position; a tick byte other than 0 or 1 resets that tick.
TWindowState DecodeWindowState(const std::array<uint8_t, WindowStateRecordSize>& record,
                               const std::vector<TRect>& screens);

// Reads the file. Missing file: defaults. A file that is not exactly one record long is deleted
// and the defaults stay. A read error shows "General read error" with the file name.
TWindowState ReadWindowStateFile(const std::string& path, const std::vector<TRect>& screens,
                                 const TErrorReporter& errorBox);

// Writes the file anew. A file that cannot be created is silently not written; a write that
// comes out short shows "Wrong file length  " and any other write error "General read error",
// both with the file name.
void WriteWindowStateFile(const std::string& path, const TWindowState& state,
                          const TErrorReporter& errorBox);

}  // namespace qx
