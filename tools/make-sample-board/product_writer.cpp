#include "product_writer.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>

#include "zip_packer.h"

namespace sampleboard {
namespace {

enum class Family { Radar, Satellite, Chart, Text, Station };

struct ProductKind {
    const char* code;
    const char* description;
    const char* label;  // start of the info text, short enough for the date behind it
    const char* extension;
    Family family;
};

// The product codes the program dispatches, with the data file each one names.
constexpr ProductKind kProducts[] = {
    {"RN", "radar image, area Nl", "Radar Nl", "SHW", Family::Radar},
    {"RD", "radar image, area Dl", "Radar Dl", "SHW", Family::Radar},
    {"RG", "radar image, area Gb", "Radar Gb", "SHW", Family::Radar},
    {"EI", "satellite picture, infrared", "Meteosat IR", "JPG", Family::Satellite},
    {"EV", "satellite picture, visible", "Meteosat VIS", "JPG", Family::Satellite},
    {"PP", "pressure chart", "Pressure", "JPG", Family::Chart},
    {"RR", "precipitation chart", "Precipitation", "JPG", Family::Chart},
    {"PR", "precipitation chart, second kind", "Precipitation 2", "JPG", Family::Chart},
    {"TN", "minimum temperature chart", "Temperature min", "JPG", Family::Chart},
    {"TX", "maximum temperature chart", "Temperature max", "JPG", Family::Chart},
    {"WK", "short-range forecast text", "Forecast short", "TXT", Family::Text},
    {"WL", "medium-range forecast text", "Forecast long", "TXT", Family::Text},
    {"TK", "hourly station forecast", "Stations 1h", "BIN", Family::Station},
    {"TM", "3-hourly station forecast", "Stations 3h", "BIN", Family::Station},
    {"TL", "daily station forecast", "Stations daily", "BIN", Family::Station},
    {"OB", "station observations", "Observations", "BIN", Family::Station},
};

// De Kooy, Schiphol, Leeuwarden, De Bilt, Eelde, Twenthe, Vlissingen, Rotterdam, Eindhoven,
// Maastricht.
const std::vector<int> kStations = {6235, 6240, 6270, 6260, 6280, 6290, 6310, 6344, 6370, 6380};

std::string BaseName(const char* code, const ProductTime& t) {
    char name[16];
    std::snprintf(name, sizeof name, "%s%02d%02d", code, t.Day(), t.hour);
    return name;
}

bool WriteFile(const std::filesystem::path& path, const void* data, std::size_t size,
               std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) {
        error = "cannot write " + path.string();
        return false;
    }
    return true;
}

Bytes MakeData(const ProductKind& kind, const ProductTime& t, std::mt19937& rng, int& versionNo,
               int& regio) {
    const std::string code = kind.code;
    versionNo = 1;
    regio = 0;
    switch (kind.family) {
        case Family::Radar:
            return MakeRadarPicture(t, code == "RN" ? 0 : code == "RD" ? 1 : 2, rng);
        case Family::Satellite:
            return MakeJpeg(code == "EI" ? PictureKind::SatInfrared : PictureKind::SatVisible, t,
                            rng);
        case Family::Chart: {
            versionNo = t.date;  // the model run the chart belongs to
            const PictureKind pk = code == "PP"   ? PictureKind::Pressure
                                   : code == "TN" ? PictureKind::TempMin
                                   : code == "TX" ? PictureKind::TempMax
                                                  : PictureKind::Precipitation;
            return MakeJpeg(pk, t, rng);
        }
        case Family::Text: {
            regio = code == "WK" ? 1 : 2;
            const std::string text = MakeForecastText(code == "WK", regio, t);
            return Bytes(text.begin(), text.end());
        }
        case Family::Station: {
            const std::vector<int> forecastStations(kStations.begin(), kStations.begin() + 6);
            if (code == "TK") return MakeStationFile(forecastStations, t.AddHours(1), 1, 24, rng);
            if (code == "TM") return MakeStationFile(forecastStations, t.AddHours(3), 3, 16, rng);
            if (code == "TL") {
                const ProductTime noon{t.AddHours(24).date, 12};
                return MakeStationFile(forecastStations, noon, 24, 7, rng);
            }
            return MakeStationFile(kStations, t.AddHours(-2), 1, 3, rng);
        }
    }
    return {};
}

bool WriteProduct(const std::filesystem::path& dir, const std::filesystem::path& staging,
                  const ProductKind& kind, const ProductTime& t, WrittenArchive& archive,
                  std::string& error) {
    std::mt19937 rng(
        static_cast<std::uint32_t>(t.date * 31 + t.hour * 7 + kind.code[0] * 3 + kind.code[1]));
    int versionNo = 0;
    int regio = 0;
    const Bytes data = MakeData(kind, t, rng, versionNo, regio);
    if (data.empty()) {
        error = std::string("cannot make the data of ") + kind.code + " (JPEG support missing?)";
        return false;
    }
    const std::string base = BaseName(kind.code, t);
    const std::string dataName = base + "." + kind.extension;
    const std::string infoName = base + ".INF";

    InfoRecord info;
    info.versionNo = versionNo;
    info.date = t.date;
    info.time = t.hour * 10000;
    info.regio = regio;
    info.fileName = dataName;
    char text[64];
    std::snprintf(text, sizeof text, "%s %02d-%02d-%04d %02d:00", kind.label, t.Day(),
                  t.date / 100 % 100, t.date / 10000, t.hour);
    info.infoString = std::string(text).substr(0, 35);
    const Bytes record = EncodeInfoRecord(info);

    const auto infoPath = staging / infoName;
    const auto dataPath = staging / dataName;
    if (!WriteFile(infoPath, record.data(), record.size(), error) ||
        !WriteFile(dataPath, data.data(), data.size(), error)) {
        return false;
    }
    archive.name = base + ".ZIP";
    archive.description = kind.description;
    archive.members = {{infoName, record.size()}, {dataName, data.size()}};
    const bool packed = PackZip(dir / archive.name, {infoPath, dataPath}, error);
    std::error_code ec;
    std::filesystem::remove(infoPath, ec);
    std::filesystem::remove(dataPath, ec);
    return packed;
}

}  // namespace

bool WriteBoard(const std::filesystem::path& dir, const ProductTime& t,
                std::vector<WrittenArchive>& written, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        error = "cannot create " + dir.string() + ": " + ec.message();
        return false;
    }
    // Loose files are made beside the archives and removed again: the board only holds ZIPs.
    const auto staging = dir / (".staging-" + std::to_string(::getpid()));
    std::filesystem::create_directories(staging, ec);
    if (ec) {
        error = "cannot create " + staging.string() + ": " + ec.message();
        return false;
    }
    bool ok = true;
    for (const auto& kind : kProducts) {
        const int series = std::string(kind.code) == "RN" ? kRadarSeriesLength : 1;
        for (int back = 0; back < series && ok; ++back) {
            WrittenArchive archive;
            ok = WriteProduct(dir, staging, kind, t.AddHours(-back), archive, error);
            if (ok) written.push_back(std::move(archive));
        }
        if (!ok) break;
    }
    std::filesystem::remove_all(staging, ec);
    return ok;
}

}  // namespace sampleboard
