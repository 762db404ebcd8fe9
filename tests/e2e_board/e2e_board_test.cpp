// Calls against a board as fast as real ones (no pauses, prompts the moment a transfer ends),
// boards that hang up in their own ways, and the requests and lines that used to make a call
// loop for ever.
#include <sys/stat.h>

#include <QElapsedTimer>

#include <cstdio>
#include <regex>

#include "e2e_support.h"

namespace e2e {
namespace {

class BoardTest : public CallTest {
  protected:
    // A sample board; returns the names of its files.
    Lines MakeBoard() {
        QProcess gen;
        gen.start(QString::fromStdString(Bin("make-sample-board")),
                  {QString::fromStdString((dir / "board").string())});
        EXPECT_TRUE(gen.waitForFinished(60000));
        Lines names;
        for (const auto& e : fs::directory_iterator(dir / "board")) {
            names.push_back(e.path().filename());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    QStringList Files() const {
        return {"--files", QString::fromStdString((dir / "board").string())};
    }
    // Seconds from each transcript line matching from to the next one matching to.
    std::vector<double> Gaps(const std::string& from, const std::string& to) const {
        std::vector<double> gaps;
        std::istringstream in(SimLog());
        std::string line;
        double since = -1;
        while (std::getline(in, line)) {
            const double at = std::atof(line.c_str());
            if (line.find(from) != std::string::npos) {
                since = at;
            } else if (since >= 0 && line.find(to) != std::string::npos) {
                gaps.push_back(at - since);
                since = -1;
            }
        }
        return gaps;
    }
    int Count(const std::string& text, const std::string& in) const {
        int n = 0;
        for (size_t p = in.find(text); p != std::string::npos; p = in.find(text, p + 1)) ++n;
        return n;
    }
    static std::string Print(const Lines& l) { return ::testing::PrintToString(l); }
};

// Two calls of three files each against a board that never pauses: nothing it sends is lost,
// so the login needs no wake-up and every prompt is answered at once.
TEST_F(BoardTest, TwoCallsAgainstABoardWithoutPausesLoseNothing) {
    const Lines board = MakeBoard();
    ASSERT_GE(board.size(), 6u);
    Start(Files() + QStringList{"--no-delay"});
    for (int call = 0; call < 2; ++call) {
        for (int i = 0; i < 3; ++i) Send("BBS GET " + board[static_cast<size_t>(call * 3 + i)]);
        ASSERT_TRUE(WaitReply("Data collection and processing completed ", 120000, call + 1))
            << Print(replies);
    }
    Exit();
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(CountPrefix("File collected: " + board[i]), 1);
    EXPECT_EQ(CountPrefix("Dialling"), 2);
    EXPECT_EQ(Stderr().find(" usercode"), std::string::npos) << "a wake-up CR was sent";

    const std::vector<double> login = Gaps("modem> \\r\\nCONNECT", "board< ");
    const std::vector<double> next = Gaps("transfer sender ended", "board< ");
    std::printf("CONNECT to the first command (s):");
    for (double g : login) std::printf(" %.3f", g);
    std::printf("\nend of transfer to the next command (s):");
    for (double g : next) std::printf(" %.3f", g);
    std::printf("\n");
    EXPECT_EQ(login.size(), 2u);
    EXPECT_EQ(next.size(), 6u);
    // The aim is under 3 s; a lost prompt costs the 20 s watchdog, which these bounds catch.
    for (double g : login) EXPECT_LT(g, 10.0);
    for (double g : next) EXPECT_LT(g, 10.0);
}

struct HangUpCase {
    const char* name;
    const char* option;
    bool boardLingers;  // the caller has to hang up itself
    friend void PrintTo(const HangUpCase& c, std::ostream* os) { *os << c.name; }
};

class BoardHangUpTest : public BoardTest, public ::testing::WithParamInterface<HangUpCase> {};

// A modem without DCD says "NO CARRIER" and leaves the line open; a board may not hang up at
// all. Either way the call ends within seconds with the end-of-call step.
TEST_P(BoardHangUpTest, CallEndsWithinSeconds) {
    const Lines board = MakeBoard();
    Start(Files() + QStringList{GetParam().option});
    Send("BBS GET " + board[0]);
    ASSERT_TRUE(WaitReply("File collected: " + board[0], 60000)) << Print(replies);
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(WaitReply("Data collection and processing completed ", 60000)) << Print(replies);
    std::printf("file collected to the end of the call: %.3f s\n", clock.elapsed() / 1000.0);
    EXPECT_LT(clock.elapsed(), 20000);
    Exit();
    EXPECT_EQ(CountPrefix("Dialling"), 1);
    EXPECT_EQ(Stderr().find("stays on the line after the goodbye") != std::string::npos,
              GetParam().boardLingers)
        << Stderr();
}

INSTANTIATE_TEST_SUITE_P(Boards, BoardHangUpTest,
                         ::testing::Values(HangUpCase{"NoCarrierOnly", "--no-dcd", false},
                                           HangUpCase{"Lingering", "--linger", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The lock of a live program in the 4-byte ASCII form ("  1\n") is neither swept nor taken
// over: selecting the line and dialling it say it is in use, and the dial is retried until
// the program lets go.
class LockedLineTest : public BoardTest {
  protected:
    void BeforeProgram() override {
        const std::string pts = fs::canonical(link).string();  // "/dev/pts/N"
        lock = dir / "locks" / ("LCK.." + std::regex_replace(pts.substr(5), std::regex("/"), "_"));
        std::ofstream(lock) << "  1\n";
    }
    fs::path lock;
};

TEST_F(LockedLineTest, LiveAsciiLockIsRespected) {
    const Lines board = MakeBoard();
    Start(Files());
    ASSERT_TRUE(WaitReply(link + " is in use by another program (process 1)", 30000))
        << Print(replies);
    Send("BBS GET " + board[0]);
    ASSERT_TRUE(WaitReply("Next try in 10 seconds", 60000)) << Print(replies);
    std::ifstream in(lock);
    std::string held((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(held, "  1\n");
    fs::remove(lock);
    ASSERT_TRUE(WaitReply("Data collection and processing completed ", 90000)) << Print(replies);
    Exit();
    EXPECT_EQ(CountPrefix("File collected: " + board[0]), 1);
    EXPECT_GE(std::count_if(replies.begin(), replies.end(),
                            [](auto& r) {
                                return r.find("is in use by another program") != std::string::npos;
                            }),
              2);
}

struct UnusableCase {
    const char* name;
    std::function<void(const std::string& path)> make;  // null: the path does not exist
    friend void PrintTo(const UnusableCase& c, std::ostream* os) { *os << c.name; }
};

class UnusableLineTest : public BoardTest, public ::testing::WithParamInterface<UnusableCase> {};

// A line that cannot be opened for a reason that will not pass: one reply naming it, no
// "No carrier", no retries, and the program goes on to what is queued next.
TEST_P(UnusableLineTest, OneReplyAndNoRetries) {
    if (std::string(GetParam().name) == "Forbidden" && ::geteuid() == 0) {
        GTEST_SKIP() << "root opens any file";
    }
    link = (dir / "ttyQX").string();
    if (GetParam().make) GetParam().make(link);
    StartProgram();
    Send("BBS GET WK0816.ZIP");
    ASSERT_TRUE(WaitReply("No data collected", 60000)) << Print(replies);
    Exit();
    EXPECT_EQ(std::count_if(replies.begin(), replies.end(),
                            [&](auto& r) { return r.find(link) != std::string::npos; }),
              1)
        << Print(replies);
    EXPECT_EQ(CountPrefix("No carrier"), 0) << Print(replies);
    EXPECT_EQ(CountPrefix("Next try in"), 0) << Print(replies);
    EXPECT_EQ(CountPrefix("Dialling"), 0) << Print(replies);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, UnusableLineTest,
    ::testing::Values(
        UnusableCase{"Missing", nullptr},
        UnusableCase{"Directory", [](const std::string& p) { fs::create_directory(p); }},
        UnusableCase{"NotASerialDevice", [](const std::string& p) { std::ofstream(p) << "x"; }},
        UnusableCase{"Forbidden",
                     [](const std::string& p) {
                         std::ofstream(p) << "x";
                         ::chmod(p.c_str(), 0);
                     }}),
    [](const auto& info) { return std::string(info.param.name); });

// Requests that name nothing are refused at once; nothing dials.
TEST_F(BoardTest, NamelessRequestsAreInvalid) {
    Start({"--no-delay"});
    Send("BBS GET");
    Send("BBS LAST");
    ASSERT_TRUE(WaitReply("Invalid command: BBS LAST", 30000)) << Print(replies);
    Exit();
    EXPECT_EQ(CountPrefix("Invalid command: BBS GET"), 1);
    EXPECT_EQ(CountPrefix("Dialling"), 0);
}

// A transfer that fails in every connection is given up after ten, with a reply naming the
// file; the EXIT queued behind it then runs.
TEST_F(BoardTest, TransferFailingInEveryConnectionIsGivenUp) {
    const Lines board = MakeBoard();
    std::string name = board[0];
    for (const std::string& n : board) {
        if (fs::file_size(dir / "board" / n) > fs::file_size(dir / "board" / name)) name = n;
    }
    Start(Files() + QStringList{"--drop-after-bytes", "600", "--drop-calls", "0"});
    Send("BBS GET " + name);
    Send("EXIT");
    EXPECT_TRUE(WaitFor([&] { return quorvex->state() == QProcess::NotRunning; }, 240000));
    ReadReplies();
    EXPECT_EQ(CountPrefix("Transfer failed in 10 connections, request dropped: " + name), 1)
        << Print(replies);
    EXPECT_EQ(CountPrefix("Dialling"), 10);
    EXPECT_EQ(CountPrefix("File collected: "), 0);
}

}  // namespace
}  // namespace e2e
