#include "payloads.h"

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace sampleboard {
namespace {

void PutInt32(Bytes& out, std::size_t at, std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(u >> (8 * i));
}

void PutFloat32(Bytes& out, std::size_t at, float v) {
    std::uint32_t u = 0;
    std::memcpy(&u, &v, sizeof u);
    PutInt32(out, at, static_cast<std::int32_t>(u));
}

void PutText(Bytes& out, std::size_t at, std::size_t width, const std::string& text) {
    const std::size_t n = std::min(text.size(), width - 1);  // always zero-ended
    std::memcpy(out.data() + at, text.data(), n);
}

// A smooth field in [0, 1): sum of a few cosine waves with random phases, so pictures look
// like weather rather than static.
struct SmoothField {
    std::array<double, 12> phase{};
    std::array<double, 12> freq{};
    explicit SmoothField(std::mt19937& rng) {
        std::uniform_real_distribution<double> p(0.0, 6.283);
        std::uniform_real_distribution<double> f(1.0, 6.0);
        for (auto& v : phase) v = p(rng);
        for (auto& v : freq) v = f(rng);
    }
    double At(double x, double y) const {  // x, y in [0, 1]
        double s = 0.0;
        for (std::size_t i = 0; i < 6; ++i) {
            s += std::cos(freq[i] * x * 3.1 + phase[i]) *
                 std::cos(freq[i + 6] * y * 3.1 + phase[i + 6]);
        }
        return std::clamp(0.5 + s / 6.0, 0.0, 0.999);
    }
};

// A rough coast: land east of a wavy line, as on the board's Europe maps.
bool IsLand(double x, double y) {
    return x > 0.45 + 0.08 * std::sin(y * 9.0) - 0.2 * y;
}

// One station element: its offset in the record and whether it is a float32.
struct Element {
    int number;
    bool isFloat;
};

// Station record layout (little-endian, 236 bytes, every field 4 bytes):
//   0 int32 Station   4 int32 Date (YYYYMMDD)   8 int32 Time (HHMMSS)
//  12.. the 56 elements below, in this order, int32 or float32 as marked.
constexpr std::array<Element, 56> kElements = {{
    {2, true},    {4, false},   {5, false},   {6, false},   {7, true},    {8, true},
    {9, false},   {11, true},   {14, true},   {16, false},  {23, false},  {43, false},
    {44, false},  {45, true},   {46, true},   {48, true},   {52, true},   {56, false},
    {57, false},  {66, true},   {68, false},  {69, false},  {70, true},   {75, false},
    {78, false},  {128, false}, {129, false}, {130, false}, {131, false}, {132, false},
    {133, false}, {134, true},  {135, false}, {136, false}, {137, true},  {138, true},
    {139, false}, {140, false}, {141, true},  {142, true},  {143, true},  {144, false},
    {145, true},  {146, false}, {147, false}, {148, false}, {150, false}, {151, false},
    {152, false}, {153, false}, {154, false}, {155, true},  {156, true},  {157, true},
    {158, false}, {159, true},
}};
static_assert(12 + kElements.size() * 4 == kStationRecordSize);

}  // namespace

ProductTime ProductTime::AddHours(int hours) const {
    using namespace std::chrono;
    const year_month_day ymd{year{date / 10000}, month{static_cast<unsigned>(date / 100 % 100)},
                             day{static_cast<unsigned>(date % 100)}};
    const auto when = sys_days{ymd} + std::chrono::hours{hour + hours};
    const auto dayStart = floor<days>(when);
    const year_month_day out{dayStart};
    ProductTime t;
    t.date = static_cast<int>(out.year()) * 10000 + static_cast<int>(unsigned(out.month())) * 100 +
             static_cast<int>(unsigned(out.day()));
    t.hour = static_cast<int>(duration_cast<std::chrono::hours>(when - dayStart).count());
    return t;
}

Bytes EncodeInfoRecord(const InfoRecord& r) {
    Bytes out(80, 0);
    PutInt32(out, 0, r.versionNo);
    PutInt32(out, 4, r.date);
    PutInt32(out, 8, r.time);
    PutInt32(out, 12, r.regio);
    PutText(out, 28, 16, r.fileName);
    PutText(out, 44, 36, r.infoString);
    return out;
}

Bytes MakeRadarPicture(const ProductTime& t, int area, std::mt19937& rng) {
    constexpr int kSize = 256;
    Bytes out(16 + kSize * kSize, 0);
    const char magic[4] = {'S', 'H', 'W', 0x1A};
    std::memcpy(out.data(), magic, 4);
    out[4] = kSize & 0xFF;
    out[5] = kSize >> 8;
    out[6] = kSize & 0xFF;
    out[7] = kSize >> 8;
    PutInt32(out, 8, t.date);
    PutInt32(out, 12, t.hour * 10000);
    // Rain cells from the date and area, drifting east by the hour: a time series moves.
    std::mt19937 cells(static_cast<std::uint32_t>(t.date * 7 + area));
    std::uniform_real_distribution<double> pos(0.0, kSize);
    std::uniform_real_distribution<double> radius(12.0, 40.0);
    struct Cell {
        double x, y, r;
    };
    std::vector<Cell> list;
    for (int i = 0; i < 5; ++i) list.push_back({pos(cells), pos(cells), radius(cells)});
    std::uniform_int_distribution<int> speckle(0, 99);
    for (int y = 0; y < kSize; ++y) {
        for (int x = 0; x < kSize; ++x) {
            double v = 0.0;
            for (const auto& c : list) {
                const double cx = std::fmod(c.x + t.hour * 6.0, kSize);
                const double d2 = (x - cx) * (x - cx) + (y - c.y) * (y - c.y);
                v += std::exp(-d2 / (2.0 * c.r * c.r));
            }
            int cls = static_cast<int>(v * 16.0) - 3;
            if (cls > 0 && speckle(rng) < 5) cls += 1;  // radar speckle
            out[16 + y * kSize + x] = static_cast<std::uint8_t>(std::clamp(cls, 0, 15));
        }
    }
    return out;
}

Bytes MakeJpeg(PictureKind kind, const ProductTime& t, std::mt19937& rng) {
    const bool satellite = kind == PictureKind::SatInfrared || kind == PictureKind::SatVisible;
    const int w = satellite ? 360 : 400;
    const int h = satellite ? 288 : 300;
    QImage image(w, h, QImage::Format_RGB32);
    const SmoothField field(rng);
    const SmoothField detail(rng);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double fx = double(x) / w;
            const double fy = double(y) / h;
            const double v = field.At(fx, fy);
            const bool land = IsLand(fx, fy);
            QColor c;
            switch (kind) {
                case PictureKind::SatInfrared: {
                    const double cloud =
                        std::clamp((v - 0.45) * 2.5 + detail.At(fx * 3, fy * 3) * 0.3, 0.0, 1.0);
                    const int base = land ? 70 : 40;
                    const int g = static_cast<int>(base + cloud * (255 - base));
                    c = QColor(g, g, g);
                    break;
                }
                case PictureKind::SatVisible: {
                    const double cloud = std::clamp((v - 0.5) * 3.0, 0.0, 1.0);
                    const QColor ground = land ? QColor(60, 90, 50) : QColor(20, 30, 60);
                    c = QColor(static_cast<int>(ground.red() + cloud * (240 - ground.red())),
                               static_cast<int>(ground.green() + cloud * (240 - ground.green())),
                               static_cast<int>(ground.blue() + cloud * (240 - ground.blue())));
                    break;
                }
                case PictureKind::Pressure: {
                    const double hpa = 990.0 + v * 45.0;
                    const double off = std::fmod(hpa, 4.0);
                    const bool isobar = off < 0.25 || off > 3.75;
                    c = isobar ? QColor(20, 20, 20)
                               : (land ? QColor(235, 230, 205) : QColor(215, 230, 245));
                    break;
                }
                case PictureKind::Precipitation: {
                    const double rain = std::clamp((v - 0.55) * 4.0, 0.0, 1.0);
                    const QColor ground = land ? QColor(240, 238, 225) : QColor(220, 232, 245);
                    c = rain > 0.0 ? QColor(static_cast<int>(120 - 100 * rain),
                                            static_cast<int>(200 - 80 * rain), 255)
                                   : ground;
                    break;
                }
                case PictureKind::TempMin:
                case PictureKind::TempMax: {
                    const double shift = kind == PictureKind::TempMax ? 0.25 : 0.0;
                    const double temp = std::clamp(v * 0.75 + shift, 0.0, 1.0);
                    c = QColor::fromHsvF(static_cast<float>(0.66 * (1.0 - temp)), 0.6f,
                                         land ? 0.95f : 0.8f);
                    break;
                }
            }
            image.setPixelColor(x, y, c);
        }
    }
    // A time stamp bar in the corner (no fonts needed), as the board's pictures carry one.
    for (int y = h - 6; y < h - 2; ++y) {
        for (int x = 4; x < 4 + t.hour * 4 + 4; ++x) image.setPixelColor(x, y, Qt::yellow);
    }
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "JPG", 80)) return {};
    return Bytes(data.begin(), data.end());
}

std::string MakeForecastText(bool shortRange, int regio, const ProductTime& t) {
    char head[160];
    std::snprintf(head, sizeof head,
                  "OSTRELCENTRE WEATHER SERVICE\r\n%s forecast for region %d\r\n"
                  "Issued %02d-%02d-%04d %02d:00 local time\r\n\r\n",
                  shortRange ? "Short-range" : "Medium-range", regio, t.date % 100,
                  t.date / 100 % 100, t.date / 10000, t.hour);
    std::string text = head;
    if (shortRange) {
        text +=
            "Today: cloudy with a few showers, mainly near the coast. Later in the\r\n"
            "afternoon some bright spells inland. Maximum temperature 6 to 9 degrees.\r\n"
            "Wind southwest 4, along the coast 5 to 6 Beaufort.\r\n\r\n"
            "Tonight: showers dying out, clear spells. Minimum temperature around\r\n"
            "2 degrees, locally slippery roads in the northeast.\r\n\r\n"
            "Tomorrow: a dry start, rain spreading from the west in the afternoon.\r\n";
    } else {
        text +=
            "Day 2: changeable, showers at times, 7 degrees.\r\n"
            "Day 3: rain at first, then brighter, 8 degrees, wind west 5.\r\n"
            "Day 4: high pressure building, dry with some fog in the morning, 5 degrees.\r\n"
            "Day 5: mostly dry and cold, night frost, 3 degrees.\r\n"
            "Day 6: clouding over, chance of rain 60 percent, 6 degrees.\r\n\r\n"
            "Confidence: moderate.\r\n";
    }
    return text;
}

Bytes MakeStationFile(const std::vector<int>& stations, const ProductTime& first, int stepHours,
                      int count, std::mt19937& rng) {
    Bytes out;
    out.reserve(stations.size() * static_cast<std::size_t>(count) * kStationRecordSize);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::uniform_int_distribution<int> small(0, 100);
    int recordIndex = 0;
    for (std::size_t s = 0; s < stations.size(); ++s) {
        const double stationBias = noise(rng) * 1.5;
        for (int k = 0; k < count; ++k, ++recordIndex) {
            const ProductTime t = first.AddHours(k * stepHours);
            Bytes rec(kStationRecordSize, 0);
            PutInt32(rec, 0, stations[s]);
            PutInt32(rec, 4, t.date);
            PutInt32(rec, 8, t.hour * 10000);
            const double diurnal = -std::cos((t.hour - 3) * 3.14159 / 12.0);
            for (std::size_t e = 0; e < kElements.size(); ++e) {
                const std::size_t at = 12 + e * 4;
                const Element& el = kElements[e];
                double fv = 0.0;
                std::int32_t iv = 0;
                switch (el.number) {
                    case 2:  // temperature, degrees C
                        fv = 6.0 + 4.0 * diurnal + stationBias + noise(rng) * 0.5;
                        break;
                    case 4:  // wind direction, degrees
                        iv = (220 + static_cast<int>(noise(rng) * 30.0) + 360) % 360;
                        break;
                    case 5:  // wind force, Beaufort
                        iv = std::clamp(3 + static_cast<int>(noise(rng) * 1.5), 0, 9);
                        break;
                    case 7:  // dew point
                        fv = 3.0 + stationBias + noise(rng) * 0.5;
                        break;
                    case 8:  // air pressure, hPa
                        fv = 1008.0 + k * 0.2 + noise(rng) * 0.6;
                        break;
                    case 9:  // cloud cover, octas
                        iv = std::clamp(5 + static_cast<int>(noise(rng) * 2.0), 0, 8);
                        break;
                    case 152:  // offset from universal time: the reader fills it in
                        iv = 0;
                        break;
                    default:
                        if (el.isFloat) {
                            fv = std::round((20.0 + noise(rng) * 8.0) * 10.0) / 10.0;
                        } else {
                            iv = small(rng);
                        }
                }
                // Missing marks where real deliveries have them: visibility now and then,
                // one element of the third station throughout, the last element of the last.
                if ((el.number == 14 && recordIndex % 5 == 4) || (el.number == 23 && s == 2) ||
                    (el.number == 159 && s + 1 == stations.size())) {
                    fv = kMissing;
                    iv = kMissing;
                }
                if (el.isFloat) {
                    PutFloat32(rec, at, static_cast<float>(fv));
                } else {
                    PutInt32(rec, at, iv);
                }
            }
            out.insert(out.end(), rec.begin(), rec.end());
        }
    }
    return out;
}

}  // namespace sampleboard
