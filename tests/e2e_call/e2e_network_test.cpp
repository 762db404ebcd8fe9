// Whole calls over network lines: quorvex dials `telnet:` and `tcp:` lines served by
// `bbs-sim --listen`, with archives holding every byte value (runs of 0xFF included, which
// telnet must escape), and the faults of a network line: a refused connection, a host that
// cannot be found, and a board that closes the connection in the middle of a file.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "e2e_support.h"

namespace e2e {
namespace {

class NetworkCallTest : public CallTest {
  protected:
    // A sample board whose archives also carry a stored member with every byte value.
    Lines MakeBoard() {
        const fs::path board = dir / "board";
        QProcess gen;
        gen.start(QString::fromStdString(Bin("make-sample-board")),
                  {QString::fromStdString(board.string())});
        EXPECT_TRUE(gen.waitForFinished(60000));
        std::string bytes;
        for (int round = 0; round < 4; ++round) {
            for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
            bytes += std::string(300, '\xFF');
            bytes += "\r\n\r\0\r\x18\x11\x13\xFF\xFF" + std::string(1, '\0');
        }
        std::ofstream(dir / "ALLBYTES.BIN", std::ios::binary) << bytes;
        Lines names;
        for (const auto& e : fs::directory_iterator(board)) {
            names.push_back(e.path().filename());
            QProcess zip;
            zip.start("zip", {"-q", "-0", "-j", QString::fromStdString(e.path().string()),
                              QString::fromStdString((dir / "ALLBYTES.BIN").string())});
            EXPECT_TRUE(zip.waitForFinished(20000) && zip.exitCode() == 0);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    static std::string Named(const Lines& names, const std::string& prefix) {
        for (const std::string& n : names) {
            if (n.rfind(prefix, 0) == 0) return n;
        }
        return prefix + "-missing";
    }
    static std::string Slurp(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    int Rows(const std::string& file, const std::string& table) {
        QProcess q;
        q.start("sqlite3", {QString::fromStdString((dir / "db" / file).string()),
                            QString::fromStdString("select count(*) from " + table)});
        if (!q.waitForFinished(20000) || q.exitCode() != 0) return -1;
        return q.readAllStandardOutput().trimmed().toInt();
    }

    // bbs-sim listening on a free loopback port; returns "127.0.0.1:PORT".
    std::string Listen(const QStringList& simOptions) {
        QStringList args = {"--listen",       "127.0.0.1:0",
                            "--prompt-delay", "100",
                            "--hangup-delay", "200",
                            "--log",          QString::fromStdString((dir / "sim.log").string())};
        sim = &Run("bbs-sim", args + simOptions);
        std::string address;
        EXPECT_TRUE(WaitFor(
            [&] {
                if (!sim->canReadLine()) sim->waitForReadyRead(10);
                if (!sim->canReadLine()) return false;
                address = sim->readLine().trimmed().toStdString();
                return true;
            },
            10000));
        return address;
    }
    // quorvex and the session, with line selected.
    void StartOn(const std::string& line) {
        quorvex = &Run("quorvex", {});
        session = &Run("quorvexctl", {"session", "--wait-start", "30", "--timeout", "170"});
        ASSERT_TRUE(WaitReply("Communication program started (Modem) ", 30000));
        Send("BBS SET TAPI " + line);
        Send("BBS SET PHONE 123 user secret");
        Send("BBS SET TEMPDIR " + (dir / "tmp").string());
        Send("BBS SET DESTDIR " + (dir / "dest").string());
        Send("BBS OPEN DATABASE Weather " + (dir / "db").string() + "/");
    }
};

class WholeNetworkCallTest : public NetworkCallTest,
                             public ::testing::WithParamInterface<const char*> {};

TEST_P(WholeNetworkCallTest, ArchivesWithEveryByteValueArriveIntactAndAreProcessed) {
    const bool telnet = std::string(GetParam()) == "telnet";
    const Lines board = MakeBoard();
    const std::string ev = Named(board, "EV"), ob = Named(board, "OB");
    QStringList options = {"--files", QString::fromStdString((dir / "board").string())};
    if (telnet) options << "--telnet";
    const std::string address = Listen(options);
    StartOn(std::string(GetParam()) + ":" + address);
    Send("BBS GET " + ev);
    Send("BBS GET " + ob);
    ASSERT_TRUE(WaitReply("Data collection and processing completed ", 120000));
    Exit();
    const Lines got = From("Dialling");
    const Lines head = {"Dialling", "Connected to OstrelCentre at ",
                        "Collect satellite picture visible (" + ev.substr(0, ev.find('.')) + ")",
                        "File collected: " + ev};
    ASSERT_GE(got.size(), head.size()) << ::testing::PrintToString(got);
    EXPECT_EQ(Lines(got.begin(), got.begin() + head.size()), head) << ::testing::PrintToString(got);
    for (const std::string& n : {ev, ob}) {
        EXPECT_EQ(Slurp(dir / "dest" / n), Slurp(dir / "board" / n)) << n;
    }
    EXPECT_EQ(Rows("Sat.DB", "Sat"), 1);
    EXPECT_GT(Rows("Obs.DB", "Obs"), 0);
    if (telnet) {
        // Binary mode and suppress-go-ahead taken; terminal type and remote echo refused.
        const std::string log = SimLog();
        for (const char* answer : {"DO 0", "WILL 0", "DO 3", "WILL 3", "WONT 24", "DONT 1"}) {
            EXPECT_NE(log.find(answer), std::string::npos) << answer << "\n" << log;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, WholeNetworkCallTest, ::testing::Values("telnet", "tcp"));

TEST_F(NetworkCallTest, RefusedConnectionIsAnEngagedLineAndIsDialledAgain) {
    // A bound socket that does not listen: connecting to it is refused at once.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    StartOn("tcp:127.0.0.1:" + std::to_string(ntohs(addr.sin_port)));
    Send("BBS GET EV");
    ASSERT_TRUE(WaitReply("Dialling", 60000, 2));
    Send("ABORT");
    ASSERT_TRUE(WaitReply("No data collected", 60000));
    ::close(fd);
    Exit();
    const Lines got = From("Dialling");
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(Lines(got.begin(), got.begin() + 2), Lines({"Dialling", "Engaged"}));
    EXPECT_EQ(CountPrefix("Engaged"), 2) << ::testing::PrintToString(got);
    EXPECT_EQ(CountPrefix("No carrier"), 0);
    EXPECT_EQ(CountPrefix("Connected to OstrelCentre"), 0);
}

TEST_F(NetworkCallTest, UnknownHostGivesOneReplyAndNoRetry) {
    // No host name can hold '_' or '!': refused without asking any name server.
    StartOn("telnet:no_such!host");
    Send("BBS GET EV");
    ASSERT_TRUE(WaitReply("Invalid address: Cannot find host no_such!host", 30000));
    // The request is over: the next command is taken and answered.
    Send("BBS SET TAPI telnet:no_such!host");
    Send("BBS GET EV");
    ASSERT_TRUE(WaitReply("Invalid address: Cannot find host no_such!host", 30000, 2));
    Exit();
    EXPECT_EQ(CountPrefix("Dialling"), 0) << ::testing::PrintToString(replies);
    EXPECT_EQ(CountPrefix("Next try in"), 0) << ::testing::PrintToString(replies);
    EXPECT_EQ(CountPrefix("No carrier"), 0) << ::testing::PrintToString(replies);
}

TEST_F(NetworkCallTest, BoardClosingMidFileKeepsTheRequestForTheNextCall) {
    const Lines board = MakeBoard();
    const std::string rn = Named(board, "RN");
    const std::string address =
        Listen({"--files", QString::fromStdString((dir / "board").string()), "--telnet",
                "--drop-after-bytes", "1200", "--drop-calls", "1"});
    StartOn("telnet:" + address);
    Send("BBS GET " + rn);
    ASSERT_TRUE(WaitReply("Data collection and processing completed ", 120000));
    Exit();
    const Lines got = From("Dialling");
    EXPECT_EQ(CountPrefix("Dialling"), 2) << ::testing::PrintToString(got);
    EXPECT_EQ(CountPrefix("Error while collecting file: " + rn), 1)
        << ::testing::PrintToString(got);
    EXPECT_EQ(CountPrefix("File collected: " + rn), 1) << ::testing::PrintToString(got);
    EXPECT_EQ(Slurp(dir / "dest" / rn), Slurp(dir / "board" / rn));
}

}  // namespace
}  // namespace e2e
