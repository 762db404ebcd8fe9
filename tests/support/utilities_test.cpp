// Version, copy, wait, result texts, request names, the tokeniser and the error box.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "support/error_box.h"
#include "support/get_param.h"
#include "support/log.h"
#include "support/utilities.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

TEST(FileVersion, SplitsAtTheLastSeparator) {
    std::string version, build;
    ASSERT_TRUE(ReadFileVersion(version, build));
    EXPECT_EQ(version + "." + build, QX_VERSION);
    SplitFileVersion("1.0.0.5", version, build);
    EXPECT_EQ(version, "1.0.0");
    EXPECT_EQ(build, "5");
    SplitFileVersion("6.4:10", version, build);
    EXPECT_EQ(version, "6.4");
    EXPECT_EQ(build, "10");
    SplitFileVersion("2\\7", version, build);
    EXPECT_EQ(version, "2");
    EXPECT_EQ(build, "7");
    SplitFileVersion("12", version, build);
    EXPECT_EQ(version, "12");
    EXPECT_EQ(build, "");
}

class TempDir : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("qx_util_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    static void Write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    fs::path dir_;
};

TEST_F(TempDir, ShellCopyReplacesTargetAndFailsCleanly) {
    const std::string data(100000, 'x');
    Write(Path("src.zip"), data);
    Write(Path("dst.zip"), "old contents");
    EXPECT_TRUE(ShellCopy(Path("src.zip"), Path("dst.zip"), true));
    EXPECT_EQ(Read(Path("dst.zip")), data);

    // A missing source leaves the old target alone and no stray file behind.
    EXPECT_FALSE(ShellCopy(Path("missing.zip"), Path("dst.zip"), true));
    EXPECT_EQ(Read(Path("dst.zip")), data);
    // A missing destination directory fails.
    EXPECT_FALSE(ShellCopy(Path("src.zip"), Path("nodir/dst.zip"), false));
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    EXPECT_EQ(names.size(), 2u);

    // Paths longer than the old 254-character limit work.
    const std::string deep = Path(std::string(200, 'd'));
    fs::create_directories(deep);
    EXPECT_TRUE(ShellCopy(Path("src.zip"), deep + "/" + std::string(100, 'n') + ".zip"));
}

TEST(ResultTexts, TableAndOutOfRange) {
    EXPECT_EQ(ResultText(0), "Ok");
    EXPECT_EQ(ResultText(4), "Engaged");
    EXPECT_EQ(ResultText(5), "No carrier");
    EXPECT_EQ(ResultText(8), "Username or password incorrect");
    EXPECT_EQ(ResultText(14), "Connection aborted by user");
    EXPECT_EQ(ResultText(15), "No response after collecting data");
    EXPECT_EQ(ResultText(16), "");
    EXPECT_EQ(ResultText(-1), "");
}

TEST(RequestNames, ExpandsFirstPlaceholdersOnly) {
    TDateTime t;
    ASSERT_TRUE(TryEncodeDateTime({2024, 3, 7, 9, 45, 0, 0}, t));
    EXPECT_EQ(ExpandRequestName("RNddmmuu", t), "RN070309");
    EXPECT_EQ(ExpandRequestName("RN0810.ZIP", t), "RN0810.ZIP");
    EXPECT_EQ(ExpandRequestName("dddd", t), "07dd");
    EXPECT_EQ(ExpandRequestName("DDmmUU", t), "DD03UU");  // case-sensitive
    EXPECT_EQ(ExpandRequestName("uu", t), "09");
    ASSERT_TRUE(TryEncodeDateTime({2024, 12, 31, 23, 0, 0, 0}, t));
    EXPECT_EQ(ExpandRequestName("SAT_mmdduu.zip", t), "SAT_123123.zip");
}

TEST(Tokeniser, QuotesSpacesAndMissingTokens) {
    const std::string set = "BBS  SET  TEMPDIR  \"C:/temp dir\"";
    EXPECT_EQ(GetParam(set, 1), "BBS");
    EXPECT_EQ(GetParam(set, 3), "TEMPDIR");
    EXPECT_EQ(GetParam(set, 4), "C:/temp dir");
    EXPECT_EQ(GetParam(set, 5), "");
    EXPECT_EQ(GetParam("BBS SET TEMPDIR \"/tmp/no end", 4), "/tmp/no end");
    EXPECT_EQ(GetParam("   leading", 1), "leading");
    EXPECT_EQ(GetParam("a\tb c", 1), "a\tb");  // TAB is part of a token
    EXPECT_EQ(GetParam("a\tb c", 2), "c");
    EXPECT_EQ(GetParam("x \"\" y", 2), "");
    EXPECT_EQ(GetParam("x \"\" y", 3), "y");
    EXPECT_EQ(GetParam("x \"", 2), "");
    EXPECT_EQ(GetParam("", 1), "");
    EXPECT_EQ(GetParam("   ", 1), "");
    EXPECT_EQ(GetParam("one two", 0), "");
    EXPECT_EQ(GetParam("one two ", 3), "");
}

TEST(ErrorBoxes, WithoutDisplayOnlyLogsWithoutReply) {
    std::vector<std::pair<std::string, int>> lines;
    LogSink old = SetLogSink([&](const std::string& t, int l) { lines.emplace_back(t, l); });
    ErrorBox("General read error", "quorvex.ini");
    SetLogSink(std::move(old));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, " General read error: (quorvex.ini) ");
    EXPECT_EQ(lines[0].second, -1);
    EXPECT_FALSE(CanShowDialogs());
}

TEST(Waiting, WaitSecondsPumpsTheLoopAndEndsInTime) {
    int argc = 1;
    char name[] = "utilities_test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    int fired = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++fired; });
    timer.start(50);
    bool posted = false;
    PostToMain([&] { posted = true; });
    const auto start = std::chrono::steady_clock::now();
    // Whole-second resolution: two seconds last between one and about 2.2 seconds.
    WaitSeconds(2);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(posted);
    EXPECT_GE(fired, 1);
    EXPECT_GE(elapsed, 0.9);
    EXPECT_LT(elapsed, 2.2 + 1.0);  // generous for a loaded machine
    WaitSeconds(0);                 // returns at once
}

}  // namespace
}  // namespace qx
