// Whole calls as the user sees them through the presentation program's mailbox: products
// received by ZMODEM from sz and processed, and the faults a call must survive (a wrong
// password, a silent board, a missing file, a line that drops in the middle of a transfer).
#include <cstdio>
#include <ctime>

#include "e2e_support.h"

namespace e2e {
namespace {

// The board's timing: paced (every reply after a pause) or as fast as real boards.
struct BoardTiming {
    const char* name;
    QStringList options;
    friend void PrintTo(const BoardTiming& t, std::ostream* os) { *os << t.name; }
};

class WholeCallTest : public CallTest, public ::testing::WithParamInterface<BoardTiming> {
  protected:
    void Start(const QStringList& simOptions) { CallTest::Start(simOptions + GetParam().options); }
    // A sample board; returns the names of its files (upper case, with ".ZIP").
    Lines MakeBoard() {
        const fs::path board = dir / "board";
        QProcess gen;
        gen.start(QString::fromStdString(Bin("make-sample-board")),
                  {QString::fromStdString(board.string())});
        EXPECT_TRUE(gen.waitForFinished(60000));
        Lines names;
        for (const auto& e : fs::directory_iterator(board)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    static std::string Named(const Lines& names, const std::string& prefix) {
        for (const std::string& n : names) {
            if (n.rfind(prefix, 0) == 0) return n;
        }
        return prefix + "-missing";
    }
    static std::string Stem(const std::string& name) { return name.substr(0, name.find('.')); }
    // Rows of a table in the database directory, read with the sqlite3 shell (-1: unreadable).
    int Rows(const std::string& file, const std::string& table) {
        QProcess q;
        q.start("sqlite3", {QString::fromStdString((dir / "db" / file).string()),
                            QString::fromStdString("select count(*) from " + table)});
        if (!q.waitForFinished(20000) || q.exitCode() != 0) return -1;
        return q.readAllStandardOutput().trimmed().toInt();
    }
};

TEST_P(WholeCallTest, ProductsAreCollectedProcessedAndASetWaitsForTheEndOfTheCall) {
    const Lines board = MakeBoard();
    const std::string wk = Named(board, "WK"), ev = Named(board, "EV"), ob = Named(board, "OB");
    Start({"--files", QString::fromStdString((dir / "board").string())});
    Send("BBS GET " + wk);
    Send("BBS GET " + Stem(ev));
    Send("BBS GET " + ob);
    Send("BBS SET PHONE 123 user secret");
    ASSERT_TRUE(WaitReply("Data collection and processing completed ", 120000));
    Exit();
    const Lines got = From("Dialling");
    const Lines head = {"Dialling",
                        "Connected to OstrelCentre at ",
                        "Collect short range text (" + Stem(wk) + ")",
                        "File collected: " + wk,
                        "Collect satellite picture visible (" + Stem(ev) + ")",
                        "File collected: " + ev,
                        "Collect observations (" + Stem(ob) + ")",
                        "File collected: " + ob,
                        "Data collection completed "};
    ASSERT_GE(got.size(), head.size() + 1) << ::testing::PrintToString(got);
    EXPECT_EQ(Lines(got.begin(), got.begin() + head.size()), head) << ::testing::PrintToString(got);
    const auto done =
        std::find(got.begin(), got.end(), "Data collection and processing completed ");
    ASSERT_NE(done, got.end());
    EXPECT_GE(std::count_if(got.begin() + head.size(), done,
                            [](const std::string& r) { return r.rfind("Processing ", 0) == 0; }),
              3)
        << ::testing::PrintToString(got);
    // Archives copied to the destination; product files and tables in the database directory.
    for (const std::string& n : {wk, ev, ob}) EXPECT_TRUE(fs::exists(dir / "dest" / n)) << n;
    EXPECT_GT(Rows("Obs.DB", "Obs"), 0);
    // A fresh database gets the picture's and the text's tables at their first product, and
    // each row's file lies in its product directory.
    EXPECT_EQ(Rows("Sat.DB", "Sat"), 1);
    EXPECT_EQ(Rows("TextSrt.DB", "TextSrt"), 1);
    EXPECT_TRUE(fs::exists(dir / "db" / "Sat/Europe" / (Stem(ev) + ".JPG")));
    EXPECT_TRUE(fs::exists(dir / "db" / "Text/Forecast/Short" / (Stem(wk) + ".TXT")));
    const std::string err = Stderr();
    // The SET that waited behind the requests ran after the end of the call.
    const size_t stop = err.find(" 5 CommandBBSStop");
    const size_t set = err.rfind(" 5 Command: BBS SET PHONE 123 user ********");  // masked
    ASSERT_NE(stop, std::string::npos);
    ASSERT_NE(set, std::string::npos);
    EXPECT_GT(set, stop);
    EXPECT_EQ(err.find("TAPI already open"), std::string::npos);
    // One connection served all three: a single version line and a single goodbye.
    const std::string sim = SimLog();
    EXPECT_NE(sim.find("board< I Version: "), std::string::npos);
    EXPECT_EQ(sim.find("board< I Version: "), sim.rfind("board< I Version: "));
}

TEST_P(WholeCallTest, MissingFilesLeaveTheQueueAndLastFallsBackToAnEarlierName) {
    const Lines board = MakeBoard();
    const std::string wk = Named(board, "WK");
    Start({"--files", QString::fromStdString((dir / "board").string())});
    // The newest radar image of the series is missing: BBS LAST falls back an hour.
    const std::time_t now = std::time(nullptr);
    std::tm t = *std::localtime(&now);
    char newest[16];
    std::snprintf(newest, sizeof newest, "RN%02d%02d.ZIP", t.tm_mday, t.tm_hour);
    fs::remove(dir / "board" / newest);
    const std::time_t before = now - 3600;
    t = *std::localtime(&before);
    char earlier[16];
    std::snprintf(earlier, sizeof earlier, "RN%02d%02d.ZIP", t.tm_mday, t.tm_hour);
    Send("BBS GET NOSUCH.ZIP");
    Send("BBS GET " + wk);
    Send("BBS LAST RNdduu 1 0 3");
    ASSERT_TRUE(WaitReply("Data collection and processing completed ", 90000));
    Exit();
    const Lines got = From("Dialling");
    const Lines head = {"Dialling",
                        "Connected to OstrelCentre at ",
                        "File not present: NOSUCH.ZIP",
                        "Collect short range text (" + Stem(wk) + ")",
                        "File collected: " + wk,
                        "Collect radar image NL (" + Stem(earlier) + ")",
                        "File collected: " + std::string(earlier)};
    ASSERT_GE(got.size(), head.size());
    EXPECT_EQ(Lines(got.begin(), got.begin() + head.size()), head) << ::testing::PrintToString(got);
    EXPECT_EQ(CountPrefix("Dialling"), 1);
    // The newest name was asked for first.
    EXPECT_NE(SimLog().find("board< " + Stem(newest)), std::string::npos);
}

TEST_P(WholeCallTest, WrongPasswordIsRejectedThriceThenTheLineIsHungUp) {
    Start({"--fail-login"});
    Send("BBS GET WK0816.ZIP");
    // The request would be tried again (ten connections before giving up); an ABORT queued
    // during the call clears the queue at its end.
    ASSERT_TRUE(WaitReply("Connected to OstrelCentre at ", 60000));
    Send("ABORT");
    ASSERT_TRUE(WaitReply("No data collected", 60000));
    const Lines got = From("Dialling");
    const Lines expected = {"Dialling",
                            "Connected to OstrelCentre at ",
                            "Username or password incorrect",
                            "Username or password incorrect",
                            "Username or password incorrect",
                            "Data collection completed ",
                            "No data collected"};
    EXPECT_EQ(got, expected);
    Exit();
}

TEST_P(WholeCallTest, SilentBoardGetsOneWakeUpThenNoResponseAndHangUp) {
    Start({"--silent"});
    Send("BBS GET WK0816.ZIP");
    ASSERT_TRUE(WaitReply("Connected to OstrelCentre at ", 60000));
    Send("ABORT");
    ASSERT_TRUE(WaitReply("No data collected", 90000));
    const Lines got = From("Dialling");
    const Lines expected = {"Dialling", "Connected to OstrelCentre at ", "No response ... ",
                            "Data collection completed ", "No data collected"};
    EXPECT_EQ(got, expected);
    Exit();
    const std::string err = Stderr();
    EXPECT_NE(err.find(" usercode..."), std::string::npos);
    // Exactly one wake-up carriage return reached the board before the hang-up.
    const std::string sim = SimLog();
    size_t wakeups = 0;
    for (size_t p = sim.find("board< \\r"); p != std::string::npos;
         p = sim.find("board< \\r", p + 1)) {
        ++wakeups;
    }
    EXPECT_EQ(wakeups, 1u) << sim;
}

TEST_P(WholeCallTest, DropDuringATransferKeepsTheRequestForTheNextCall) {
    const Lines board = MakeBoard();
    const std::string rn = Named(board, "RN");
    Start({"--files", QString::fromStdString((dir / "board").string()), "--drop-after-bytes",
           "1200", "--drop-calls", "1"});
    Send("BBS GET " + rn);
    ASSERT_TRUE(WaitReply("Data collection and processing completed ", 120000));
    Exit();
    const Lines got = From("Dialling");
    EXPECT_EQ(CountPrefix("Dialling"), 2) << ::testing::PrintToString(got);
    EXPECT_EQ(CountPrefix("Error while collecting file: " + rn), 1)
        << ::testing::PrintToString(got);
    EXPECT_EQ(CountPrefix("File collected: " + rn), 1) << ::testing::PrintToString(got);
    // The first call's end reports nothing collected; the second call delivers the product.
    const auto firstEnd = std::find(got.begin(), got.end(), "No data collected");
    const auto collected = std::find(got.begin(), got.end(), "File collected: " + rn);
    EXPECT_LT(firstEnd, collected) << ::testing::PrintToString(got);
}

INSTANTIATE_TEST_SUITE_P(
    Boards, WholeCallTest,
    ::testing::Values(BoardTiming{"Paced", {}}, BoardTiming{"NoDelay", {"--no-delay"}},
                      BoardTiming{"SplitWithEcho", {"--split-writes", "40", "--echo"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e
