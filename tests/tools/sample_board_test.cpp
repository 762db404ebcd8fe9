// The sample board as the program receives it: one ZIP per product that Info-ZIP unzip
// unpacks into an info file and the data file it names, with well-formed records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "sim_peer.h"

using namespace simpeer;

namespace {

using Bytes = std::string;

Bytes ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::int32_t Int32At(const Bytes& b, std::size_t at) {
    std::uint32_t u = 0;
    for (int i = 3; i >= 0; --i) u = (u << 8) | static_cast<std::uint8_t>(b[at + i]);
    return static_cast<std::int32_t>(u);
}

float FloatAt(const Bytes& b, std::size_t at) {
    const std::uint32_t u = static_cast<std::uint32_t>(Int32At(b, at));
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

// A zero-ended text field; nullopt when the field has no zero byte.
std::optional<std::string> TextAt(const Bytes& b, std::size_t at, std::size_t width) {
    const auto field = b.substr(at, width);
    const auto zero = field.find('\0');
    if (zero == std::string::npos) return std::nullopt;
    return field.substr(0, zero);
}

bool ValidDate(std::int32_t date) {
    const int y = date / 10000, m = date / 100 % 100, d = date % 100;
    return y >= 2000 && y <= 2100 && m >= 1 && m <= 12 && d >= 1 && d <= 31;
}

// Offsets of the float32 elements of a station record; all others are int32.
const std::set<std::size_t> kFloatOffsets = {12,  28,  32,  40,  44,  64,  68,  72,  76,  88,  100,
                                             136, 148, 152, 164, 168, 172, 180, 216, 220, 224, 232};

class SampleBoard : public ::testing::Test {
  protected:
    // Runs the generator into board/ and unpacks every archive with unzip into unpacked/.
    void Generate(const std::string& date, const std::string& hour) {
        board = dir.path() / "board";
        unpacked = dir.path() / "unpacked";
        std::filesystem::create_directories(unpacked);
        ASSERT_EQ(RunProgram({QX_BIN_DIR "/make-sample-board", board.string(), "--date", date,
                              "--hour", hour},
                             &summary),
                  0)
            << summary;
        for (const auto& entry : std::filesystem::directory_iterator(board)) {
            archives.insert(entry.path().filename().string());
            std::string listing;
            ASSERT_EQ(RunProgram({"unzip", "-Z1", entry.path().string()}, &listing), 0)
                << entry.path();
            members[entry.path().filename().string()] = listing;
            ASSERT_EQ(RunProgram({"unzip", "-qo", entry.path().string(), "-d", unpacked.string()}),
                      0)
                << entry.path();
        }
    }

    TempDir dir;
    std::filesystem::path board;
    std::filesystem::path unpacked;
    std::string summary;
    std::set<std::string> archives;
    std::map<std::string, std::string> members;  // archive -> "unzip -Z1" listing
};

TEST_F(SampleBoard, EveryProductKindIsOneArchiveOfInfoAndDataFile) {
    Generate("20261209", "14");
    const std::set<std::string> expected = {
        "RN0914.ZIP", "RN0913.ZIP", "RN0912.ZIP", "RN0911.ZIP", "RN0910.ZIP", "RN0909.ZIP",
        "RD0914.ZIP", "RG0914.ZIP", "EI0914.ZIP", "EV0914.ZIP", "PP0914.ZIP", "RR0914.ZIP",
        "PR0914.ZIP", "TN0914.ZIP", "TX0914.ZIP", "WK0914.ZIP", "WL0914.ZIP", "TK0914.ZIP",
        "TM0914.ZIP", "TL0914.ZIP", "OB0914.ZIP"};
    EXPECT_EQ(archives, expected) << "only archives belong on the board";
    const std::map<std::string, std::string> dataExtension = {
        {"RN", "SHW"}, {"RD", "SHW"}, {"RG", "SHW"}, {"EI", "JPG"}, {"EV", "JPG"}, {"PP", "JPG"},
        {"RR", "JPG"}, {"PR", "JPG"}, {"TN", "JPG"}, {"TX", "JPG"}, {"WK", "TXT"}, {"WL", "TXT"},
        {"TK", "BIN"}, {"TM", "BIN"}, {"TL", "BIN"}, {"OB", "BIN"}};
    for (const auto& [archive, listing] : members) {
        const std::string base = archive.substr(0, 6);
        EXPECT_EQ(listing,
                  base + ".INF\n" + base + "." + dataExtension.at(base.substr(0, 2)) + "\n")
            << archive;
    }
    EXPECT_NE(summary.find("21 archives"), std::string::npos) << summary;
}

TEST_F(SampleBoard, InfoRecordsAreWellFormedAndNameTheirDataFiles) {
    Generate("20261209", "14");
    for (const auto& archive : archives) {
        const std::string base = archive.substr(0, 6);
        const Bytes info = ReadAll(unpacked / (base + ".INF"));
        ASSERT_EQ(info.size(), 80u) << base;
        const std::int32_t version = Int32At(info, 0);
        const std::int32_t date = Int32At(info, 4);
        const std::int32_t time = Int32At(info, 8);
        const std::int32_t hour = std::stoi(base.substr(4, 2));
        EXPECT_EQ(date, 20261209) << base;
        EXPECT_EQ(time, hour * 10000) << base;
        const auto fileName = TextAt(info, 28, 16);
        const auto infoString = TextAt(info, 44, 36);
        ASSERT_TRUE(fileName && infoString) << base << ": text fields must be zero-ended";
        EXPECT_EQ(fileName->substr(0, 7), base + ".") << base;
        EXPECT_TRUE(std::filesystem::is_regular_file(unpacked / *fileName)) << *fileName;
        EXPECT_FALSE(infoString->empty()) << base;
        const std::string code = base.substr(0, 2);
        if (code == "PP" || code == "RR" || code == "PR" || code == "TN" || code == "TX") {
            EXPECT_GE(version, 19980101) << base << ": a chart's version is its model run";
        } else {
            EXPECT_NE(version, 101) << base << ": 101 marks a special radar image";
        }
        if (code == "WK" || code == "WL") {
            EXPECT_GT(Int32At(info, 12), 0) << base;
        }
    }
}

TEST_F(SampleBoard, DataFilesHaveTheirFormats) {
    Generate("20261209", "14");
    const Bytes jpg = ReadAll(unpacked / "PP0914.JPG");
    ASSERT_GT(jpg.size(), 4u);
    EXPECT_EQ(jpg.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(jpg.substr(jpg.size() - 2), "\xFF\xD9");
    const Bytes shw = ReadAll(unpacked / "RN0914.SHW");
    ASSERT_EQ(shw.size(), 16u + 256 * 256);
    EXPECT_EQ(shw.substr(0, 4), "SHW\x1A");
    EXPECT_EQ(Int32At(shw, 8), 20261209);
    EXPECT_NE(ReadAll(unpacked / "RN0913.SHW"), shw) << "a time series must change with time";
    const Bytes text = ReadAll(unpacked / "WK0914.TXT");
    EXPECT_NE(text.find("\r\n"), std::string::npos);
    EXPECT_NE(text.find("region 1"), std::string::npos);
}

TEST_F(SampleBoard, StationFilesHoldWholeRecordsWithMissingMarks) {
    Generate("20261209", "14");
    for (const char* name : {"TK0914.BIN", "TM0914.BIN", "TL0914.BIN", "OB0914.BIN"}) {
        const Bytes data = ReadAll(unpacked / name);
        ASSERT_FALSE(data.empty()) << name;
        ASSERT_EQ(data.size() % 236, 0u) << name;
        int missingInts = 0, missingFloats = 0;
        std::map<std::int32_t, std::int64_t> lastDtg;
        for (std::size_t at = 0; at < data.size(); at += 236) {
            const std::int32_t station = Int32At(data, at);
            const std::int32_t date = Int32At(data, at + 4);
            const std::int32_t time = Int32At(data, at + 8);
            EXPECT_TRUE(station >= 6000 && station < 7000) << name << " station " << station;
            EXPECT_TRUE(ValidDate(date)) << name << " date " << date;
            EXPECT_TRUE(time >= 0 && time < 240000 && time % 10000 == 0) << name << " " << time;
            const std::int64_t dtg = std::int64_t{date} * 100 + time / 10000;
            EXPECT_GT(dtg, lastDtg[station]) << name << ": times of a station must rise";
            lastDtg[station] = dtg;
            for (std::size_t off = 12; off < 236; off += 4) {
                if (kFloatOffsets.count(off)) {
                    const float f = FloatAt(data, at + off);
                    EXPECT_TRUE(std::isfinite(f)) << name << " +" << off;
                    missingFloats += f == 32766.0f;
                } else {
                    const std::int32_t v = Int32At(data, at + off);
                    EXPECT_TRUE(v >= -32768 && v <= 32767) << name << " +" << off << " " << v;
                    missingInts += v == 32766;
                }
            }
        }
        EXPECT_GT(missingInts, 0) << name;
        EXPECT_GT(missingFloats, 0) << name;
    }
}

TEST_F(SampleBoard, RadarSeriesRunsBackAcrossMidnightAndMonthEnd) {
    Generate("20260301", "02");
    for (const char* a :
         {"RN0102.ZIP", "RN0101.ZIP", "RN0100.ZIP", "RN2823.ZIP", "RN2822.ZIP", "RN2821.ZIP"}) {
        EXPECT_TRUE(archives.count(a)) << a;
    }
    const Bytes info = ReadAll(unpacked / "RN2823.INF");
    ASSERT_EQ(info.size(), 80u);
    EXPECT_EQ(Int32At(info, 4), 20260228);
    EXPECT_EQ(Int32At(info, 8), 230000);
}

TEST_F(SampleBoard, ImpossibleDatesAndHoursAreRefused) {
    for (const auto& [date, hour] : std::vector<std::pair<std::string, std::string>>{
             {"20260230", "10"}, {"20261301", "10"}, {"2026121", "10"}, {"20261209", "24"}}) {
        const auto out = dir.path() / ("bad-" + date + hour);
        EXPECT_NE(RunProgram({QX_BIN_DIR "/make-sample-board", out.string(), "--date", date,
                              "--hour", hour}),
                  0)
            << date << " " << hour;
        EXPECT_FALSE(std::filesystem::exists(out)) << "nothing is written for a bad argument";
    }
}

}  // namespace
