#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace sampleboard {

// A product time: a calendar date and a whole hour.
struct ProductTime {
    int date = 0;  // YYYYMMDD
    int hour = 0;  // 0..23

    int Day() const { return date % 100; }
    // The same product time shifted by whole hours (across days, months and years).
    ProductTime AddHours(int hours) const;
};

using Bytes = std::vector<std::uint8_t>;

// Byte layout of the info record (little-endian, 80 bytes):
//   0 int32  VersionNo    4 int32 Date (YYYYMMDD)   8 int32 Time (HHMMSS)   12 int32 Regio
//  16 int32  reserved    20 float64 reserved
//  28 char[16] FileName (zero-ended)   44 char[36] InfoString (zero-ended)
struct InfoRecord {
    std::int32_t versionNo = 0;
    std::int32_t date = 0;
    std::int32_t time = 0;
    std::int32_t regio = 0;
    std::string fileName;    // at most 15 characters
    std::string infoString;  // at most 35 characters
};
Bytes EncodeInfoRecord(const InfoRecord& record);

// Radar picture (.SHW), our board's own raster format: a 16-byte header
//   0 char[4] "SHW" 0x1A   4 uint16 width   6 uint16 height   8 int32 Date   12 int32 Time
// then width*height bytes, one rain class (0 dry .. 15 heaviest) per pixel, rows top down.
Bytes MakeRadarPicture(const ProductTime& t, int area, std::mt19937& rng);

// JPEG pictures: kind selects what is drawn (satellite infrared/visible, pressure,
// precipitation, temperature). Empty on failure.
enum class PictureKind { SatInfrared, SatVisible, Pressure, Precipitation, TempMin, TempMax };
Bytes MakeJpeg(PictureKind kind, const ProductTime& t, std::mt19937& rng);

// Forecast text (.TXT), CR LF lines as the board's text products are written.
std::string MakeForecastText(bool shortRange, int regio, const ProductTime& t);

// Station records (.BIN): 236 bytes each, no header (layout in payloads.cpp).
// stepHours is the spacing of the records of one station; count how many per station.
Bytes MakeStationFile(const std::vector<int>& stations, const ProductTime& first, int stepHours,
                      int count, std::mt19937& rng);
constexpr std::size_t kStationRecordSize = 236;
constexpr std::int32_t kMissing = 32766;

}  // namespace sampleboard
