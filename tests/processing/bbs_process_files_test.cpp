// The end-of-call pipeline on real archives (made by Info-ZIP zip) and a real database directory.
#include "processing/bbs_process_files.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "processing/zip/zx_unzipper.h"
#include "support/log.h"
#include "weatherdb/zodevurez_db_module.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

struct LogLine {
    std::string Text;
    int Level;
};

// Writes the 80-byte info record: version, date, time, region, reserved, reserved double,
// data-file name (16), info text (36).
void WriteInfo(const fs::path& path, int32_t version, int32_t date, int32_t time,
               const std::string& dataFile, const std::string& info) {
    char rec[80] = {};
    std::memcpy(rec + 0, &version, 4);
    std::memcpy(rec + 4, &date, 4);
    std::memcpy(rec + 8, &time, 4);
    std::memcpy(rec + 28, dataFile.data(), std::min<size_t>(dataFile.size(), 15));
    std::memcpy(rec + 44, info.data(), std::min<size_t>(info.size(), 35));
    std::ofstream(path, std::ios::binary).write(rec, sizeof rec);
}

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

class PipelineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("qx-pipeline-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        temp_ = root_ / "temp";
        data_ = root_ / "data";
        stage_ = root_ / "stage";
        for (const fs::path& p : {temp_, data_, stage_, data_ / "Radar/Nl", data_ / "Charts"}) {
            fs::create_directories(p);
        }
        oldSink_ = SetLogSink([this](const std::string& t, int l) { lines_.push_back({t, l}); });
    }
    void TearDown() override {
        SetLogSink(oldSink_);
        fs::remove_all(root_);
    }

    // Packs the named files of the staging directory into TEMPDIR/archive with Info-ZIP zip.
    void Zip(const std::string& archive, const std::vector<std::string>& files) {
        std::string cmd =
            "cd '" + stage_.string() + "' && zip -q -X '" + (temp_ / archive).string() + "'";
        for (const std::string& f : files) cmd += " '" + f + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }

    bool Run(TZodevurezDbModule* db, const std::vector<std::string>& received,
             const std::string& destDir = "") {
        for (const std::string& r : received) receivedFiles_.Add(r);
        TProcessingInputs in;
        in.ReceivedFiles = &receivedFiles_;
        in.TempDir = temp_.string();
        in.DestDir = destDir;
        in.ZxUnZipper = &unzipper_;
        in.DbModule = db;
        return BBSProcessFiles(in);
    }

    // The level-0 lines, without the error box that announces a table created on first use.
    std::vector<std::string> Replies() const {
        std::vector<std::string> out;
        for (const LogLine& l : lines_) {
            if (l.Level == 0 && l.Text.find("Table not present") == std::string::npos) {
                out.push_back(l.Text);
            }
        }
        return out;
    }

    fs::path root_, temp_, data_, stage_;
    std::vector<LogLine> lines_;
    LogSink oldSink_;
    TStringList receivedFiles_;
    TZxUnZipper unzipper_;
};

TEST(OrderInfoFiles, RunThatWrapsAroundMidnightIsProcessedLateNamesFirst) {
    struct Case {
        std::vector<std::string> In, Out;
    } cases[] = {
        {{"RN2340.INF", "RN0810.INF", "RN2330.INF", "RN0820.INF"},
         {"RN2330.INF", "RN2340.INF", "RN0810.INF", "RN0820.INF"}},
        // "1" is not greater than "1": no wrap-around.
        {{"RN1200.INF", "RN0810.INF", "RN0820.INF"}, {"RN0810.INF", "RN0820.INF", "RN1200.INF"}},
        // Each run on its own; runs keep their sorted order.
        {{"RN2330.INF", "EI0810.INF", "RN0810.INF", "EI2300.INF"},
         {"EI2300.INF", "EI0810.INF", "RN2330.INF", "RN0810.INF"}},
        // Case-insensitive sort, but runs are told apart case-sensitively.
        {{"rn0810.inf", "RN0700.INF"}, {"RN0700.INF", "rn0810.inf"}},
        {{}, {}},
        {{"R"}, {"R"}},
    };
    for (Case& c : cases) {
        OrderInfoFiles(c.In);
        EXPECT_EQ(c.In, c.Out);
    }
}

TEST_F(PipelineTest, NothingReceivedAndNoInfoFilesReportsNothing) {
    EXPECT_FALSE(Run(nullptr, {}));
    EXPECT_TRUE(Replies().empty());
}

TEST_F(PipelineTest, LowerCaseArchiveIsUnpackedAndItsProductRecorded) {
    WriteInfo(stage_ / "rn0810.inf", 1, 20240315, 81000, "rn0810.shw", "radar");
    WriteText(stage_ / "rn0810.shw", "radar picture");
    Zip("rn0810.zip", {"rn0810.inf", "rn0810.shw"});
    WriteText(temp_ / "notes.log", "not an archive");

    TZodevurezDbModule db("Weather", data_.string() + "/");
    EXPECT_TRUE(Run(&db, {"rn0810.zip", "notes.log"}));

    EXPECT_EQ(receivedFiles_.Count(), 0);
    const std::vector<std::string> replies = Replies();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0], "Unzipping files...");
    EXPECT_EQ(replies[1], "Processing radar image (rn0810)");
    EXPECT_TRUE(fs::exists(data_ / "Radar/Nl/rn0810.shw"));
    EXPECT_TRUE(fs::exists(temp_ / "rn0810.zip")) << "the archive stays for the later sweep";
}

TEST_F(PipelineTest, CorruptArchiveIsReportedDeletedAndTheOthersStillProcessed) {
    WriteText(temp_ / "BAD.ZIP", "this is not a zip archive at all");
    WriteInfo(stage_ / "PP0812.INF", 20240315, 20240315, 120000, "PP0812.JPG", "pressure");
    WriteText(stage_ / "PP0812.JPG", "jpeg");
    Zip("PP0812.ZIP", {"PP0812.INF", "PP0812.JPG"});

    TZodevurezDbModule db("Weather", data_.string() + "/");
    EXPECT_TRUE(Run(&db, {"BAD.ZIP", "PP0812.ZIP"}));

    const std::vector<std::string> replies = Replies();
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[1], "Invalid file - not a PKZip file");
    EXPECT_EQ(replies[2], "Processing pressure map (PP0812)");
    EXPECT_FALSE(fs::exists(temp_ / "BAD.ZIP"));
    EXPECT_TRUE(fs::exists(data_ / "Charts/PP0812.JPG"));
}

TEST_F(PipelineTest, NameWithSeveralDotsUsesTheTextBeforeTheFirstDot) {
    WriteInfo(stage_ / "RN08.10.INF", 1, 20240315, 81000, "RN0810.SHW", "radar");
    WriteText(stage_ / "RN0810.SHW", "radar picture");
    Zip("RN0810.ZIP", {"RN08.10.INF", "RN0810.SHW"});
    TZodevurezDbModule db("Weather", data_.string() + "/");
    EXPECT_TRUE(Run(&db, {"RN0810.ZIP"}));
    const std::vector<std::string> replies = Replies();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[1], "Processing radar image (RN08)");
    EXPECT_TRUE(fs::is_empty(data_ / "Radar/Nl"));
}

TEST_F(PipelineTest, UnknownCodesAndMissingDatabaseAreReportedAsNotProcessed) {
    WriteInfo(stage_ / "NI0810.INF", 1, 20240315, 81000, "NI0810.JPG", "holland");
    WriteInfo(stage_ / "XX0810.INF", 1, 20240315, 81000, "XX0810.JPG", "unknown");
    WriteInfo(stage_ / "rn0810.inf", 1, 20240315, 81000, "rn0810.shw", "radar");
    WriteText(stage_ / "RN0000.INF", "");  // empty: not listed
    Zip("MIX.ZIP", {"NI0810.INF", "XX0810.INF", "rn0810.inf", "RN0000.INF"});
    EXPECT_TRUE(Run(nullptr, {"MIX.ZIP"}));
    const std::vector<std::string> replies = Replies();
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_EQ(replies[1], "No processing required for these files: NI0810");
    EXPECT_EQ(replies[2], "No processing required for these files: rn0810");
    EXPECT_EQ(replies[3], "No processing required for these files: XX0810");
}

TEST_F(PipelineTest, ArchiveIsCopiedToDestDirWhereWeekOldArchivesAreSwept) {
    const fs::path dest = root_ / "dest";
    fs::create_directories(dest);
    WriteText(dest / "OLD.ZIP", "old");
    WriteText(dest / "RECENT.ZIP", "recent");
    const std::time_t now = std::time(nullptr);
    ASSERT_TRUE(SetModifyTime((dest / "OLD.ZIP").string(), now - 8 * 86400));
    ASSERT_TRUE(SetModifyTime((dest / "RECENT.ZIP").string(), now - 6 * 86400));
    WriteInfo(stage_ / "WK0810.INF", 1, 20240315, 81000, "WK0810.TXT", "text");
    WriteText(stage_ / "WK0810.TXT", "forecast");
    Zip("WK0810.ZIP", {"WK0810.INF", "WK0810.TXT"});

    EXPECT_TRUE(Run(nullptr, {"WK0810.ZIP"}, dest.string()));
    EXPECT_TRUE(fs::exists(dest / "WK0810.ZIP"));
    EXPECT_FALSE(fs::exists(dest / "OLD.ZIP"));
    EXPECT_TRUE(fs::exists(dest / "RECENT.ZIP"));
}

TEST_F(PipelineTest, OldDataFilesAreClearedBeforeUnpacking) {
    WriteText(temp_ / "stale.jpg", "x");
    WriteText(temp_ / "STALE.BIN", "x");
    WriteText(temp_ / "keep.dat", "x");
    const std::time_t past = std::time(nullptr) - 10;
    for (const char* n : {"stale.jpg", "STALE.BIN", "keep.dat"}) {
        ASSERT_TRUE(SetModifyTime((temp_ / n).string(), past));
    }
    EXPECT_FALSE(Run(nullptr, {}));
    EXPECT_FALSE(fs::exists(temp_ / "stale.jpg"));
    EXPECT_FALSE(fs::exists(temp_ / "STALE.BIN"));
    EXPECT_TRUE(fs::exists(temp_ / "keep.dat"));
}

}  // namespace
}  // namespace qx
