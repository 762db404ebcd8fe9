// The board simulator as the program meets it: a modem on a pseudo-terminal that answers AT
// commands per its options, a board that runs the login and download dialogue, real ZMODEM
// transfers by sz received by rz, and hang-ups that leave a fresh line behind the link.

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "board.h"
#include "hayes_modem.h"
#include "sim_options.h"
#include "sim_peer.h"

using namespace simpeer;
using bbssim::Board;
using bbssim::HayesModem;

namespace {

std::string FeedAll(HayesModem& modem, const std::string& text, HayesModem::Reply* last = nullptr) {
    std::string out;
    for (const char c : text) {
        const auto reply = modem.Feed(c);
        out += reply.bytes;
        if (last && reply.action != HayesModem::Action::None) *last = reply;
    }
    return out;
}

std::string FeedBoard(Board& board, const std::string& text, Board::Step* last = nullptr) {
    std::string out;
    for (const char c : text) {
        const auto step = board.Feed(c);
        out += step.text;
        if (last && (step.action != Board::Step::Action::None || c == '\r')) *last = step;
    }
    return out;
}

// Every pattern the program waits for on the line.
const char* const kPrompts[] = {": 1>", ": 2>",       "%E; You seem", "? 3>", "? 4>",
                                "? 5>", "%E; Unable", "%C; Ready",    "rz\r"};

bool HoldsPrompt(const std::string& text) {
    for (const char* p : kPrompts) {
        if (text.find(p) != std::string::npos) return true;
    }
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Modem command mode, without a line.

TEST(ModemCommands, EchoOfAnythingTypedCannotFormABoardPrompt) {
    HayesModem modem;
    std::string echoed;
    for (const char* typed :
         {": 1>\r", "? 3>\r", "%E; You seem\r", "%C; Ready\r", "rz\r", "at: 2>rz\r"}) {
        echoed += FeedAll(modem, typed);
    }
    EXPECT_FALSE(HoldsPrompt(echoed)) << echoed;
    EXPECT_NE(echoed.find("AT: 2"), std::string::npos) << "echo must still show the command";
}

TEST(ModemCommands, ResultFormFollowsVerboseQuietAndReset) {
    HayesModem modem;
    EXPECT_EQ(FeedAll(modem, "ATE0\r"), "ATE0\r\r\nOK\r\n");  // echoed before E0 takes effect
    EXPECT_EQ(FeedAll(modem, "AT\r"), "\r\nOK\r\n");
    EXPECT_EQ(FeedAll(modem, "ATV0\r"), "0\r");
    EXPECT_EQ(modem.Format(HayesModem::Result::Busy), "7\r");
    EXPECT_EQ(FeedAll(modem, "ATQ1\r"), "");
    EXPECT_EQ(FeedAll(modem, "ATZ\r"), "\r\nOK\r\n");  // factory words and results
    EXPECT_EQ(FeedAll(modem, "AT\r"), "AT\r\r\nOK\r\n") << "and factory echo";
    EXPECT_EQ(modem.Format(HayesModem::Result::Connect, 33600), "\r\nCONNECT 33600\r\n");
    EXPECT_EQ(FeedAll(modem, "ATE0S12=10\r"), "ATE0S12=10\r\r\nOK\r\n");
    EXPECT_EQ(modem.guardMs(), 200);
}

TEST(ModemCommands, DialHangUpAndBadCommandsAreTold) {
    HayesModem modem;
    FeedAll(modem, "ATE0\r");
    HayesModem::Reply last;
    EXPECT_EQ(FeedAll(modem, "ATE0V1Q0X4&C1&D2\r"), "\r\nOK\r\n");
    EXPECT_EQ(FeedAll(modem, "ATDT 555-1234\r", &last), "");  // result comes from the line
    EXPECT_EQ(last.action, HayesModem::Action::Dial);
    EXPECT_EQ(bbssim::NormaliseNumber(last.dialString), "5551234");
    EXPECT_EQ(FeedAll(modem, "ATH0\r", &last), "\r\nOK\r\n");
    EXPECT_EQ(last.action, HayesModem::Action::HangUp);
    EXPECT_EQ(FeedAll(modem, "AT$\r"), "\r\nERROR\r\n");
    EXPECT_EQ(FeedAll(modem, "hello\r"), "");  // not a command: ignored
}

// ---------------------------------------------------------------------------------------------
// Board dialogue, without a line.

class BoardFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        std::ofstream(dir.path() / "RN0914.ZIP") << "zip";
        std::ofstream(dir.path() / "readme.txt") << "text";
        std::filesystem::create_directory(dir.path() / "sub");
        std::ofstream(dir.path() / "sub" / "X.ZIP") << "zip";
    }
    TempDir dir;
};

TEST_F(BoardFiles, LookupIgnoresCaseAndAddsZip) {
    EXPECT_EQ(Board::FindFile(dir.path(), "rn0914")->filename(), "RN0914.ZIP");
    EXPECT_EQ(Board::FindFile(dir.path(), "Rn0914.zip")->filename(), "RN0914.ZIP");
    EXPECT_EQ(Board::FindFile(dir.path(), "README.TXT")->filename(), "readme.txt");
    EXPECT_FALSE(Board::FindFile(dir.path(), "RN0913"));
    EXPECT_FALSE(Board::FindFile(dir.path(), "sub"));  // a directory is no file
}

TEST_F(BoardFiles, NamesOutsideTheBoardAreRefused) {
    for (const char* name : {"sub/X.ZIP", "../RN0914.ZIP", "/etc/passwd", ".", "..", ""}) {
        EXPECT_FALSE(Board::FindFile(dir.path(), name)) << name;
    }
}

TEST_F(BoardFiles, DialogueRunsLoginMissAndTransferSteps) {
    Board board({"guest", "secret", dir.path(), false, false, false});
    EXPECT_NE(board.Start().text.find(": 1>"), std::string::npos);
    EXPECT_NE(FeedBoard(board, "\r").find(": 1>"), std::string::npos) << "wake-up CR";
    std::string text = FeedBoard(board, "GUEST\rwrong\r");
    EXPECT_NE(text.find(": 2>"), std::string::npos);
    EXPECT_NE(text.find("%E; You seem"), std::string::npos);
    EXPECT_NE(text.find(": 1>"), std::string::npos);
    EXPECT_EQ(text.find("? 3>"), std::string::npos);
    text = FeedBoard(board, "guest\rsecret\r");
    EXPECT_NE(text.find("? 3>"), std::string::npos);
    EXPECT_NE(FeedBoard(board, "I Version: 1.0.0.5\r").find("? 3>"), std::string::npos);
    EXPECT_NE(FeedBoard(board, "Download\r").find("? 4>"), std::string::npos);
    EXPECT_NE(FeedBoard(board, "Zmodem\r").find("? 5>"), std::string::npos);
    // A missing name repeated to the caller must not become a prompt or a sender start.
    text = FeedBoard(board, "rz\r");
    EXPECT_NE(text.find("%E; Unable"), std::string::npos);
    EXPECT_EQ(text.find("rz\r"), std::string::npos);
    EXPECT_EQ(text.rfind("? 3>"), text.size() - 4);
    FeedBoard(board, "Download\rZmodem\r");
    Board::Step step;
    text = FeedBoard(board, "rn0914\r", &step);
    EXPECT_NE(text.find("%C; Ready"), std::string::npos);
    ASSERT_EQ(step.action, Board::Step::Action::Send);
    EXPECT_EQ(step.file.filename(), "RN0914.ZIP");
    EXPECT_EQ(FeedBoard(board, "B\r"), "") << "the board is deaf while it sends";
    EXPECT_NE(board.TransferDone().text.find("? 3>"), std::string::npos);
    FeedBoard(board, "B\r", &step);
    EXPECT_EQ(step.action, Board::Step::Action::HangUp);
}

TEST_F(BoardFiles, WakeUpBeforeTheBannerGetsOnePromptOnly) {
    Board board({std::nullopt, std::nullopt, dir.path(), false, false, false});
    std::string text = FeedBoard(board, "\r");
    text += board.Start().text;
    EXPECT_EQ(text.find(": 1>"), text.rfind(": 1>")) << "two prompts would take two names";
}

TEST_F(BoardFiles, FailLoginRejectsEvenTheRightPassword) {
    Board board({"guest", "secret", dir.path(), false, false, true});
    board.Start();
    const std::string text = FeedBoard(board, "guest\rsecret\r");
    EXPECT_NE(text.find("%E; You seem"), std::string::npos);
    EXPECT_EQ(text.find("? 3>"), std::string::npos);
}

TEST(SimOptionsTest, NumbersResultsAndBadValues) {
    std::string error;
    const char* argv[] = {"bbs-sim",   "--number",  "555-1234=busy", "--number=77=connect:9600",
                          "--default", "no-answer", "--noise",       "0.01"};
    const auto o = bbssim::ParseOptions(8, const_cast<char**>(argv), error);
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(o->numbers.at("5551234").kind, bbssim::DialResult::Kind::Busy);
    EXPECT_EQ(o->numbers.at("77").speed, 9600);
    EXPECT_EQ(o->defaultResult.kind, bbssim::DialResult::Kind::NoAnswer);
    for (const char* bad : {"--number=1=ringing", "--noise=2", "--dial-delay=-1", "--bogus",
                            "--drop-after-bytes=x", "--silent=1"}) {
        const char* args[] = {"bbs-sim", bad};
        EXPECT_FALSE(bbssim::ParseOptions(2, const_cast<char**>(args), error)) << bad;
    }
}

// ---------------------------------------------------------------------------------------------
// The simulator process on a real pseudo-terminal.

class SimLine : public ::testing::Test {
  protected:
    // Starts bbs-sim with the test's options; returns false if no line appeared.
    bool StartSim(std::vector<std::string> extra) {
        link = (dir.path() / "modem").string();
        logPath = (dir.path() / "sim.log").string();
        std::filesystem::create_directories(files());
        std::vector<std::string> argv = {
            QX_BIN_DIR "/bbs-sim", "--link",         link,  "--log",          logPath, "--files",
            files().string(),      "--prompt-delay", "300", "--hangup-delay", "200"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (!sim.Start(argv)) return false;
        firstLine = sim.ReadLine(20s);
        return !firstLine.empty() && ReadLinkTarget(link) == firstLine;
    }

    std::filesystem::path files() const { return dir.path() / "board"; }

    void WriteBoardFile(const std::string& name, std::size_t size) {
        std::filesystem::create_directories(files());
        std::ofstream out(files() / name, std::ios::binary);
        std::uint32_t x = 12345;
        for (std::size_t i = 0; i < size; ++i) {
            x = x * 1103515245u + 12345u;
            out.put(static_cast<char>(x >> 16));  // every byte value, control bytes included
        }
    }

    // Dials through the link as the program does and waits for the CONNECT.
    bool Dial(Caller& caller, const std::string& number = "5551234") {
        if (!caller.Open(link)) return false;
        caller.Send("ATZ\r");
        if (!caller.ReadUntil("OK\r\n")) return false;
        caller.Send("ATE0V1Q0X4&C1&D2\r");
        if (!caller.ReadUntil("OK\r\n")) return false;
        caller.Send("ATDT" + number + "\r");
        return caller.ReadUntil("CONNECT");
    }

    bool Login(Caller& caller) {
        if (!caller.ReadUntil(": 1>")) return false;
        caller.Send("guest\r");
        if (!caller.ReadUntil(": 2>")) return false;
        caller.Send("secret\r");
        return caller.ReadUntil("? 3>");
    }

    // Asks for a file and, once sz announces itself, receives it with rz into rxDir.
    int Receive(Caller& caller, const std::string& name, const std::filesystem::path& rxDir) {
        caller.Send("Download\r");
        if (!caller.ReadUntil("? 4>")) return -10;
        caller.Send("Zmodem\r");
        if (!caller.ReadUntil("? 5>")) return -11;
        caller.Send(name + "\r");
        if (!caller.ReadUntil("%C; Ready") || !caller.ReadUntil("rz\r")) return -12;
        std::filesystem::create_directories(rxDir);
        caller.SetBlocking(true);
        Child rz;
        if (!rz.Start({"rz", "-q"}, rxDir, caller.fd(), caller.fd())) return -13;
        const int status = rz.Wait(120s);
        caller.SetBlocking(false);
        return status;
    }

    bool SameContent(const std::filesystem::path& a, const std::filesystem::path& b) {
        std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
        std::stringstream sa, sb;
        sa << fa.rdbuf();
        sb << fb.rdbuf();
        return fa && fb && sa.str() == sb.str() && !sa.str().empty();
    }

    void TearDown() override {
        if (HasFailure()) {
            std::ifstream log(logPath);
            std::cerr << "--- simulator transcript ---\n" << log.rdbuf() << "\n";
        }
    }

    TempDir dir;
    Child sim;
    std::string link;
    std::string logPath;
    std::string firstLine;
};

TEST_F(SimLine, DialResultsFollowTheNumberOptions) {
    ASSERT_TRUE(StartSim({"--number", "1=busy", "--number", "2=no-carrier", "--number",
                          "3=no-answer", "--number", "4=no-dialtone", "--number", "5=error",
                          "--default", "connect:14400"}));
    EXPECT_EQ(firstLine.rfind("/dev/pts/", 0), 0u) << firstLine;
    Caller caller;
    ASSERT_TRUE(caller.Open(link));
    caller.Send("ATE0V1Q0X4&C1&D2\r");
    ASSERT_TRUE(caller.ReadUntil("OK\r\n"));
    const std::pair<const char*, const char*> cases[] = {
        {"1", "\r\nBUSY\r\n"},        {"2", "\r\nNO CARRIER\r\n"}, {"3", "\r\nNO ANSWER\r\n"},
        {"4", "\r\nNO DIALTONE\r\n"}, {"5", "\r\nERROR\r\n"},      {"9", "\r\nCONNECT 14400\r\n"}};
    for (const auto& [number, result] : cases) {
        caller.Clear();
        caller.Send(std::string("ATDT") + number + "\r");
        EXPECT_TRUE(caller.ReadUntil(result, 10s)) << number << ": " << caller.received();
        EXPECT_EQ(caller.received(), result) << "no echo after ATE0";
    }
}

TEST_F(SimLine, DelayedAndSilentDialsWaitAndAKeyAbandonsThem) {
    ASSERT_TRUE(StartSim({"--number", "7=silent", "--dial-delay", "1.5"}));
    Caller caller;
    ASSERT_TRUE(caller.Open(link));
    caller.Send("ATE0\r");
    ASSERT_TRUE(caller.ReadUntil("OK\r\n"));
    const auto start = std::chrono::steady_clock::now();
    caller.Send("ATDT5551234\r");
    ASSERT_TRUE(caller.ReadUntil("CONNECT 33600"));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1400ms) << "the dial delay was skipped";
    caller.Close();  // hang up; the next dial goes through the fresh line
    ASSERT_TRUE(WaitUntil([&] { return ReadLinkTarget(link) != firstLine; }, 10s));

    ASSERT_TRUE(caller.Open(link));
    caller.Send("ATE0\r");
    ASSERT_TRUE(caller.ReadUntil("OK\r\n"));
    caller.Send("ATDT7\r");
    EXPECT_EQ(caller.ReadFor(2500ms), "") << "a silent number answers nothing";
    caller.Send("\r");
    EXPECT_TRUE(caller.ReadUntil("NO CARRIER", 10s));
    caller.Send("AT\r");
    EXPECT_TRUE(caller.ReadUntil("OK\r\n", 10s)) << "back in command mode";
}

TEST_F(SimLine, LoginDialogueWithWakeUpWrongPasswordAndMissingFile) {
    ASSERT_TRUE(StartSim({"--user", "guest", "--password", "secret", "--quiet-start"}));
    Caller caller;
    ASSERT_TRUE(Dial(caller));
    EXPECT_EQ(caller.ReadFor(800ms).find(": 1>"), std::string::npos)
        << "--quiet-start must wait for the wake-up";
    caller.Send("\r");
    ASSERT_TRUE(caller.ReadUntil(": 1>"));
    caller.Send("guest\r");
    ASSERT_TRUE(caller.ReadUntil(": 2>"));
    caller.Send("wrong\r");
    ASSERT_TRUE(caller.ReadUntil("%E; You seem"));
    ASSERT_TRUE(caller.ReadUntil(": 1>"));
    caller.Send("guest\r");
    ASSERT_TRUE(caller.ReadUntil(": 2>"));
    caller.Send("secret\r");
    ASSERT_TRUE(caller.ReadUntil("? 3>"));
    caller.Send("I Version: 1.0.0.5\r");
    ASSERT_TRUE(caller.ReadUntil("? 3>"));
    caller.Send("Download\r");
    ASSERT_TRUE(caller.ReadUntil("? 4>"));
    caller.Send("Zmodem\r");
    ASSERT_TRUE(caller.ReadUntil("? 5>"));
    caller.Send("RN0101\r");
    ASSERT_TRUE(caller.ReadUntil("%E; Unable"));
    ASSERT_TRUE(caller.ReadUntil("? 3>"));
}

TEST_F(SimLine, SilentBoardNeverPromptsEvenAfterWakeUp) {
    ASSERT_TRUE(StartSim({"--silent"}));
    Caller caller;
    ASSERT_TRUE(Dial(caller));
    caller.Send("\r");
    const std::string heard = caller.ReadFor(1500ms);
    EXPECT_FALSE(HoldsPrompt(heard)) << heard;
}

TEST_F(SimLine, SzTransferArrivesIntactThenGoodbyeDropsTheLine) {
    WriteBoardFile("RN0914.ZIP", 150000);
    WriteBoardFile("TK0914.ZIP", 3000);
    ASSERT_TRUE(StartSim({}));
    Caller caller;
    ASSERT_TRUE(Dial(caller));
    ASSERT_TRUE(Login(caller));
    const auto rx = dir.path() / "rx";
    // Case-insensitive, ".zip" added, two transfers in one call.
    ASSERT_EQ(Receive(caller, "rn0914", rx), 0);
    caller.Clear();
    ASSERT_TRUE(caller.ReadUntil("? 3>")) << "the main prompt follows the transfer";
    EXPECT_TRUE(SameContent(files() / "RN0914.ZIP", rx / "RN0914.ZIP"));
    ASSERT_EQ(Receive(caller, "TK0914.zip", rx), 0);
    ASSERT_TRUE(caller.ReadUntil("? 3>"));
    EXPECT_TRUE(SameContent(files() / "TK0914.ZIP", rx / "TK0914.ZIP"));

    caller.Clear();
    caller.Send("B\r");
    EXPECT_TRUE(caller.ReadUntil("Goodbye"));
    EXPECT_TRUE(caller.WaitHangup()) << "the board must drop the line after B";
    EXPECT_EQ(caller.received().find("? 3>"), std::string::npos);
    // A fresh line stands behind the link, ready for the next call.
    ASSERT_TRUE(WaitUntil([&] { return ReadLinkTarget(link) != firstLine; }, 10s));
    const std::string second = sim.ReadLine(10s);
    EXPECT_EQ(second, ReadLinkTarget(link)) << "each fresh line is printed";
    Caller again;
    ASSERT_TRUE(Dial(again));
    EXPECT_TRUE(again.ReadUntil(": 1>"));
}

TEST_F(SimLine, ClosingTheSlaveIsAHangUpAndOnceEndsTheSimulator) {
    ASSERT_TRUE(StartSim({"--once"}));
    {
        Caller probe;  // opening and closing without a dial is no call
        ASSERT_TRUE(probe.Open(link));
        probe.Send("AT\r");
        ASSERT_TRUE(probe.ReadUntil("OK"));
    }
    ASSERT_TRUE(WaitUntil([&] { return ReadLinkTarget(link) != firstLine; }, 10s));
    EXPECT_FALSE(sim.Exited());
    Caller caller;
    ASSERT_TRUE(Dial(caller));
    ASSERT_TRUE(caller.ReadUntil(": 1>"));
    caller.Close();
    EXPECT_EQ(sim.Wait(20s), 0) << "--once must exit when the first call ends";
    std::error_code ec;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link, ec)))
        << "the link to a line that is gone must go too";
}

TEST_F(SimLine, EscapeWithGuardTimeThenAth0EndsTheCall) {
    ASSERT_TRUE(StartSim({"--guard-ms", "300"}));
    Caller caller;
    ASSERT_TRUE(Dial(caller));
    ASSERT_TRUE(caller.ReadUntil(": 1>"));
    // Without the guard time before it, "+++" is data for the board.
    caller.Send("ab+++");
    EXPECT_EQ(caller.ReadFor(900ms).find("OK"), std::string::npos);
    caller.Send("\r");  // ends the board's line: a user name "ab+++"
    ASSERT_TRUE(caller.ReadUntil(": 2>"));
    caller.ReadFor(600ms);
    caller.Send("+++");
    ASSERT_TRUE(caller.ReadUntil("OK\r\n", 10s));
    caller.Send("ATH0\r");
    ASSERT_TRUE(caller.ReadUntil("OK\r\n", 10s));
    caller.Clear();
    caller.Send("ATDT5551234\r");
    ASSERT_TRUE(caller.ReadUntil("CONNECT")) << "the same line dials again after ATH0";
    EXPECT_TRUE(caller.ReadUntil(": 1>")) << "a new board session starts";
}

TEST_F(SimLine, DroppedTransferFailsOnlyTheFirstCall) {
    WriteBoardFile("OB0914.ZIP", 60000);
    ASSERT_TRUE(StartSim({"--drop-after-bytes", "5000"}));
    Caller caller;
    ASSERT_TRUE(Dial(caller));
    ASSERT_TRUE(Login(caller));
    const auto rx = dir.path() / "rx";
    EXPECT_NE(Receive(caller, "OB0914", rx), 0) << "rz must not finish a cut transfer";
    EXPECT_TRUE(caller.WaitHangup());
    ASSERT_TRUE(WaitUntil([&] { return ReadLinkTarget(link) != firstLine; }, 10s));
    std::filesystem::remove_all(rx);

    Caller again;
    ASSERT_TRUE(Dial(again));
    ASSERT_TRUE(Login(again));
    ASSERT_EQ(Receive(again, "OB0914", rx), 0);
    EXPECT_TRUE(SameContent(files() / "OB0914.ZIP", rx / "OB0914.ZIP"));
}

TEST_F(SimLine, NoiseCorruptsTheTransferStreamButNotTheDialogue) {
    WriteBoardFile("EI0914.ZIP", 20000);
    ASSERT_TRUE(StartSim({"--noise", "1", "--seed", "3"}));
    Caller caller;
    ASSERT_TRUE(Dial(caller));
    ASSERT_TRUE(Login(caller));
    caller.Send("Download\r");
    ASSERT_TRUE(caller.ReadUntil("? 4>"));
    caller.Send("Zmodem\r");
    ASSERT_TRUE(caller.ReadUntil("? 5>"));
    caller.Send("EI0914\r");
    ASSERT_TRUE(caller.ReadUntil("by Zmodem\r\n"));
    caller.ReadFor(1500ms);
    const std::string all = caller.received();
    const std::string stream = all.substr(all.find("by Zmodem\r\n") + 11);
    EXPECT_FALSE(stream.empty()) << "the sender must still be heard";
    EXPECT_EQ(stream.find("rz\r"), std::string::npos)
        << "with every byte hit, the sender's start cannot arrive clean";
}

TEST_F(SimLine, GeneratedBoardServesArchivesThatUnzipAfterTheCall) {
    ASSERT_EQ(RunProgram({QX_BIN_DIR "/make-sample-board", files().string(), "--date", "20261209",
                          "--hour", "14"}),
              0);
    ASSERT_TRUE(StartSim({}));
    Caller caller;
    ASSERT_TRUE(Dial(caller));
    ASSERT_TRUE(Login(caller));
    const auto rx = dir.path() / "rx";
    for (const char* name : {"RN0914", "tk0914", "PP0914.zip"}) {
        ASSERT_EQ(Receive(caller, name, rx), 0) << name;
        ASSERT_TRUE(caller.ReadUntil("? 3>")) << name;
    }
    for (const char* archive : {"RN0914.ZIP", "TK0914.ZIP", "PP0914.ZIP"}) {
        EXPECT_EQ(RunProgram({"unzip", "-tq", (rx / archive).string()}), 0) << archive;
    }
    caller.Send("B\r");
    EXPECT_TRUE(caller.WaitHangup());
}
