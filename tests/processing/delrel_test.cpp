// Delrel must only ever delete old plain files inside the directory it is given.
#include "processing/delrel.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>

#include "platform/files.h"
#include "support/log.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

class DelrelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("qx-delrel-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "sub");
        oldSink_ = SetLogSink([](const std::string&, int) {});
    }
    void TearDown() override {
        SetLogSink(oldSink_);
        fs::remove_all(dir_);
    }
    fs::path Make(const fs::path& p, std::time_t ageSeconds) {
        std::ofstream(p) << "x";
        SetModifyTime(p.string(), std::time(nullptr) - ageSeconds);
        return p;
    }
    fs::path dir_;
    LogSink oldSink_;
};

TEST_F(DelrelTest, DeletesOnlyMatchingPlainFilesOlderThanTheAge) {
    Make(dir_ / "A.ZIP", 25 * 3600);
    Make(dir_ / "b.zip", 23 * 3600);
    Make(dir_ / "c.txt", 30 * 3600);
    Make(dir_ / "sub" / "D.ZIP", 30 * 3600);
    const fs::path outside = Make(
        dir_.parent_path() / ("qx-delrel-out-" + std::to_string(::getpid()) + ".zip"), 30 * 3600);
    fs::create_symlink(outside, dir_ / "LINK.ZIP");

    EXPECT_EQ(Delrel(dir_.string(), "*.zip", 24), 1);
    EXPECT_FALSE(fs::exists(dir_ / "A.ZIP"));
    EXPECT_TRUE(fs::exists(dir_ / "b.zip"));
    EXPECT_TRUE(fs::exists(dir_ / "c.txt"));
    EXPECT_TRUE(fs::exists(dir_ / "sub" / "D.ZIP")) << "never into subdirectories";
    EXPECT_TRUE(fs::is_symlink(dir_ / "LINK.ZIP")) << "links are not plain files";
    EXPECT_TRUE(fs::exists(outside));
    fs::remove(outside);
}

TEST_F(DelrelTest, EmptyDirectoryDeletesNothing) {
    // "" must not turn into the current directory or the root.
    const fs::path cwd = fs::current_path();
    fs::current_path(dir_);
    Make(dir_ / "old.zip", 48 * 3600);
    EXPECT_EQ(Delrel("", "*.zip", 24), 0);
    EXPECT_TRUE(fs::exists(dir_ / "old.zip"));
    fs::current_path(cwd);
}

TEST_F(DelrelTest, ZeroHoursDeletesEveryMatchingFileOlderThanNow) {
    Make(dir_ / "x.inf", 5);
    EXPECT_EQ(Delrel(dir_.string(), "*.INF", 0), 1);
}

}  // namespace
}  // namespace qx
