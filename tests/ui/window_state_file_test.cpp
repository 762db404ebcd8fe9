// The window-state file on real files: exact record bytes, damaged files, implausible values
// and the error boxes of failed reads and writes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "ui/window_state_file.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

class WindowStateFile : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("qx_winstate_" + std::to_string(std::random_device{}()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "quorvex.ini").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    void WriteBytes(const std::vector<uint8_t>& bytes) {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<uint8_t> ReadBytes() {
        std::ifstream in(path_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    TErrorReporter Recorder() {
        return [this](const std::string& m, const std::string& d) { boxes_.emplace_back(m, d); };
    }

    fs::path dir_;
    std::string path_;
    std::vector<std::pair<std::string, std::string>> boxes_;
};

std::array<uint8_t, 24> Record(int32_t top, int32_t left, int32_t width, int32_t height,
                               std::array<uint8_t, 5> ticks = {1, 1, 1, 1, 0}) {
    TWindowState s;
    s.Top = top;
    s.Left = left;
    s.Width = width;
    s.Height = height;
    auto r = EncodeWindowState(s);
    for (int i = 0; i < 5; ++i) r[16 + i] = ticks[i];
    return r;
}

TEST_F(WindowStateFile, RecordBytesAreLittleEndianAtTheirOffsets) {
    TWindowState s;
    s.Top = 0x01020304;
    s.Left = -2;
    s.Width = 640;
    s.Height = 480;
    s.Ticks = {true, false, true, false, true};
    WriteWindowStateFile(path_, s, Recorder());
    const std::vector<uint8_t> expected = {4,    3, 2, 1, 0xFE, 0xFF, 0xFF, 0xFF, 0x80, 2, 0, 0,
                                           0xE0, 1, 0, 0, 1,    0,    1,    0,    1,    0, 0, 0};
    EXPECT_EQ(ReadBytes(), expected);
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(WindowStateFile, WrittenStateReadsBackUnchanged) {
    TWindowState s;
    s.Top = 40;
    s.Left = 70;
    s.Width = 720;
    s.Height = 355;
    s.Ticks = {false, true, false, true, true};
    WriteWindowStateFile(path_, s, Recorder());
    EXPECT_EQ(ReadWindowStateFile(path_, {{0, 0, 1024, 768}}, Recorder()), s);
    // Writing replaces the old record rather than appending to it.
    s.Width = 650;
    WriteWindowStateFile(path_, s, Recorder());
    EXPECT_EQ(ReadBytes().size(), 24u);
    EXPECT_EQ(ReadWindowStateFile(path_, {}, Recorder()).Width, 650);
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(WindowStateFile, MissingFileGivesDefaultsQuietly) {
    const TWindowState s = ReadWindowStateFile(path_, {}, Recorder());
    EXPECT_EQ(s, TWindowState{});
    EXPECT_EQ(s.Top, 100);
    EXPECT_EQ(s.Left, 100);
    EXPECT_EQ(s.Width, 600);
    EXPECT_EQ(s.Height, 400);
    EXPECT_EQ(s.Ticks, (TViewTicks{true, true, true, true, false}));
    EXPECT_FALSE(fs::exists(path_));
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(WindowStateFile, WrongLengthFileIsDeletedAndDefaultsKept) {
    for (std::size_t size : {0u, 20u, 23u, 25u, 48u}) {
        std::vector<uint8_t> bytes(size, 0);
        // Make the leading fields look valid, so only the length can cause the reset.
        const auto good = Record(10, 10, 700, 500);
        std::copy_n(good.begin(), std::min<std::size_t>(size, 24), bytes.begin());
        WriteBytes(bytes);
        EXPECT_EQ(ReadWindowStateFile(path_, {}, Recorder()), TWindowState{}) << size;
        EXPECT_FALSE(fs::exists(path_)) << size;
    }
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(WindowStateFile, ImplausibleSizesFallBackToDefaultGeometry) {
    const std::vector<TRect> screen = {{0, 0, 1920, 1080}};
    const std::pair<int32_t, int32_t> bad[] = {{-600, 400},      {600, -400},     {0, 0},
                                               {5, 5},           {199, 400},      {600, 119},
                                               {INT32_MAX, 400}, {600, INT32_MIN}};
    for (auto [w, h] : bad) {
        const auto r = Record(50, 60, w, h, {0, 1, 0, 1, 1});
        const TWindowState s = DecodeWindowState(r, screen);
        EXPECT_EQ(s.Top, 100) << w << "x" << h;
        EXPECT_EQ(s.Left, 100);
        EXPECT_EQ(s.Width, 600);
        EXPECT_EQ(s.Height, 400);
        // The view ticks are independent of the geometry and survive.
        EXPECT_EQ(s.Ticks, (TViewTicks{false, true, false, true, true}));
    }
    const TWindowState ok = DecodeWindowState(Record(50, 60, 200, 120), screen);
    EXPECT_EQ(ok.Width, 200);
    EXPECT_EQ(ok.Height, 120);
}

TEST_F(WindowStateFile, PositionOffEveryScreenFallsBackButSizeStays) {
    const std::vector<TRect> screens = {{0, 0, 1280, 1024}, {1280, 0, 1920, 1080}};
    // Far away, and only a sliver on screen: both reset the position.
    for (auto [top, left] : {std::pair{-30000, 100},
                             {100, 90000},
                             {INT32_MIN, INT32_MIN},
                             {1010, 100} /* 14 pixels of height on screen */}) {
        const TWindowState s = DecodeWindowState(Record(top, left, 640, 480), screens);
        EXPECT_EQ(s.Top, 100) << top << "," << left;
        EXPECT_EQ(s.Left, 100) << top << "," << left;
        EXPECT_EQ(s.Width, 640);
        EXPECT_EQ(s.Height, 480);
    }
    // On the second screen, or partly off the first: kept.
    EXPECT_EQ(DecodeWindowState(Record(20, 2000, 640, 480), screens).Left, 2000);
    EXPECT_EQ(DecodeWindowState(Record(-10, -300, 640, 480), screens).Left, -300);
    // Without screen information nothing can be judged; the position is kept.
    EXPECT_EQ(DecodeWindowState(Record(-30000, 100, 640, 480), {}).Top, -30000);
}

TEST_F(WindowStateFile, TickBytesOtherThanZeroOrOneMeanTheDefault) {
    const TWindowState s = DecodeWindowState(Record(50, 60, 640, 480, {0, 7, 255, 0, 2}), {});
    EXPECT_EQ(s.Ticks, (TViewTicks{false, true, true, false, false}));
}

TEST_F(WindowStateFile, UnreadableFileShowsReadErrorAndIsNotDeleted) {
    // A directory under the file's name opens but cannot be read.
    fs::create_directory(path_);
    EXPECT_EQ(ReadWindowStateFile(path_, {}, Recorder()), TWindowState{});
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].first, "General read error");
    EXPECT_EQ(boxes_[0].second, path_);
    EXPECT_TRUE(fs::is_directory(path_));
}

TEST_F(WindowStateFile, FileThatCannotBeCreatedIsSkippedSilently) {
    const std::string nowhere = (dir_ / "missing" / "quorvex.ini").string();
    WriteWindowStateFile(nowhere, TWindowState{}, Recorder());
    EXPECT_FALSE(fs::exists(nowhere));
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(WindowStateFile, FailedWriteShowsAnErrorBox) {
    // /dev/full accepts the open and fails every write with "no space".
    WriteWindowStateFile("/dev/full", TWindowState{}, Recorder());
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].second, "/dev/full");
    EXPECT_TRUE(boxes_[0].first == "General read error" ||
                boxes_[0].first == "Wrong file length  ");
}

TEST(WindowStateFileName, EndsInIniAfterTheFirstDot) {
    EXPECT_EQ(WindowStateFileName("quorvex"), "quorvex.ini");
    EXPECT_EQ(WindowStateFileName("/usr/local/bin/quorvex"), "quorvex.ini");
    EXPECT_EQ(WindowStateFileName("Quorvex.exe"), "Quorvex.ini");
    EXPECT_EQ(WindowStateFileName("quorvex.test.bin"), "quorvex.ini");
}

}  // namespace
}  // namespace qx
