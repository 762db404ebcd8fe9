// The program under the faults of months of unattended running, driven as the presentation
// program drives it: killed or terminated at every stage of a call, a full disk, damaged,
// read-only and locked tables, and many calls in a row. After each fault the next start must
// work and the next call must leave every product recorded once, each row with its file.
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <set>

#include "../e2e_call/e2e_support.h"

namespace e2e {
namespace {

// Image and text tables with the product directories their files live in.
const std::map<std::string, Lines> kFileTables = {{"NlRadar", {"Radar/Nl"}},
                                                  {"DlRadar", {"Radar/Dl"}},
                                                  {"GbRadar", {"Radar/Gb"}},
                                                  {"Sat", {"Sat/Holland", "Sat/Europe"}},
                                                  {"Charts", {"Charts"}},
                                                  {"TextSrt", {"Text/Forecast/Short"}},
                                                  {"TextLng", {"Text/Forecast/Long"}}};

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

class FaultTest : public CallTest {
  protected:
    void SetUp() override {
        CallTest::SetUp();
        QProcess gen;
        gen.start(QString::fromStdString(Bin("make-sample-board")),
                  {QString::fromStdString((dir / "board").string())});
        ASSERT_TRUE(gen.waitForFinished(60000));
        for (const auto& e : fs::directory_iterator(dir / "board")) {
            board_.push_back(e.path().filename());
        }
        std::sort(board_.begin(), board_.end());
        // One product of each kind; the newest radar image.
        for (const char* code : {"WK", "EV", "OB"}) products_.push_back(Named(code));
    }
    void TearDown() override {
        for (const std::string& m : mounts_) ::umount2(m.c_str(), MNT_DETACH);
        CallTest::TearDown();
    }

    std::string Named(const std::string& prefix) const {
        std::string found;
        for (const std::string& n : board_) {
            if (n.rfind(prefix, 0) == 0) found = n;
        }
        return found;
    }

    // A fresh simulator (the previous one, if any, is ended first).
    void Sim(const QStringList& extra = {}) {
        if (sim != nullptr) {
            sim->kill();
            sim->waitForFinished(5000);
        }
        fs::remove(link);
        QStringList args = {"--link",         QString::fromStdString(link),
                            "--prompt-delay", "100",
                            "--hangup-delay", "200",
                            "--files",        QString::fromStdString((dir / "board").string())};
        sim = &Run("bbs-sim", args + extra);
        ASSERT_TRUE(WaitFor([&] { return fs::exists(link); }, 10000));
    }
    // quorvex and a session, configured as the presentation program does at its start.
    void Program() {
        replies.clear();
        quorvex = &Run("quorvex", {});
        session = &Run("quorvexctl", {"session", "--wait-start", "30", "--timeout", "900"});
        ASSERT_TRUE(WaitReply("Communication program started (Modem) ", 30000));
        Send("BBS SET TAPI " + link);
        Send("BBS SET PHONE 123 user secret");
        Send("BBS SET TEMPDIR " + (dir / "tmp").string());
        Send("BBS OPEN DATABASE Weather " + (dir / "db").string() + "/");
    }
    void Get(const Lines& names) {
        for (const std::string& n : names) Send("BBS GET " + n);
    }
    // Waits for the final reply of the count-th call since Program; returns it (untimed).
    std::string CallEnd(int count = 1, int timeoutMs = 120000) {
        const bool done = WaitFor(
            [&] {
                ReadReplies();
                int n = 0;
                for (const std::string& r : replies) n += IsFinal(r) ? 1 : 0;
                return n >= count;
            },
            timeoutMs);
        if (!done) return "no final reply: " + ::testing::PrintToString(Untimed());
        for (auto it = replies.rbegin(); it != replies.rend(); ++it) {
            if (IsFinal(*it)) return *it;
        }
        return {};
    }
    static bool IsFinal(const std::string& r) {
        return r.rfind("Data collection and processing completed ", 0) == 0 ||
               r.rfind("No data collected (", 0) == 0 ||
               r.rfind("Data collection completed, processing incomplete", 0) == 0;
    }
    bool Has(const std::string& prefix) {
        ReadReplies();
        return CountPrefix(prefix) > 0;
    }
    void KillProgram(int signal) {
        ::kill(static_cast<pid_t>(quorvex->processId()), signal);
        ASSERT_TRUE(WaitFor([&] { return quorvex->state() == QProcess::NotRunning; }, 60000));
        if (signal == SIGKILL) session->kill();
        WaitFor([&] { return session->state() == QProcess::NotRunning; }, 20000);
        ReadReplies();
    }

    std::string Sql(const std::string& file, const std::string& sql) {
        QProcess q;
        q.start("sqlite3", {QString::fromStdString((dir / "db" / file).string()),
                            QString::fromStdString(sql)});
        if (!q.waitForFinished(20000) || q.exitCode() != 0) return "error";
        return q.readAllStandardOutput().trimmed().toStdString();
    }
    // Every table intact; every row of an image or text table has its file and every file its
    // row, once.
    void ExpectSoundStore(const std::set<std::string>& skip = {}) {
        for (const auto& e : fs::directory_iterator(dir / "db")) {
            const std::string name = e.path().filename();
            if (e.path().extension() != ".DB" || skip.count(e.path().stem()) != 0) continue;
            EXPECT_EQ(Sql(name, "pragma integrity_check"), "ok") << name;
        }
        for (const auto& [table, dirs] : kFileTables) {
            if (skip.count(table) != 0 || !fs::exists(dir / "db" / (table + ".DB"))) continue;
            std::multiset<std::string> rows, files;
            std::stringstream list(Sql(table + ".DB", "select FileName from " + table));
            for (std::string l; std::getline(list, l);) rows.insert(Lower(l));
            for (const std::string& d : dirs) {
                for (const auto& f : fs::directory_iterator(dir / "db" / d)) {
                    files.insert(Lower(f.path().filename()));
                }
            }
            EXPECT_EQ(rows, files) << table;
        }
    }
    // Every product of names has its row (station products: some rows).
    void ExpectRecorded(const Lines& names) {
        for (const std::string& n : names) {
            const std::string stem = n.substr(0, n.find('.'));
            const std::string code = stem.substr(0, 2);
            std::string file, where = "";
            if (code == "WK") file = "TextSrt";
            if (code == "EV" || code == "EI") file = "Sat";
            if (code == "PP") file = "Charts";
            if (code == "RN") file = "NlRadar";
            if (code == "OB") file = "Obs";
            if (code == "TK") file = "FcstSrt";
            if (file.empty()) continue;
            if (code != "OB" && code != "TK")
                where = " where upper(FileName) like '" + stem + ".%'";
            EXPECT_NE(Sql(file + ".DB", "select count(*) from " + file + where), "0") << n;
        }
    }
    // A normal call for names after a fault: the program starts, serves it, records all. The
    // program stays up for the next step.
    void RecoveryCall(const Lines& names) {
        Sim();
        Program();
        Get(names);
        const std::string end = CallEnd();
        EXPECT_TRUE(end.rfind("Data collection and processing completed", 0) == 0 ||
                    end.rfind("No data collected", 0) == 0)
            << end << ::testing::PrintToString(Untimed());
        ExpectRecorded(names);
        ExpectSoundStore();
    }
    // A small file system at path when running as root; false (test skipped) otherwise.
    bool MountSmall(const fs::path& path, const std::string& size) {
        if (::geteuid() != 0) return false;
        const std::string opts = "size=" + size;
        if (::mount("tmpfs", path.c_str(), "tmpfs", 0, opts.c_str()) != 0) return false;
        mounts_.push_back(path);
        return true;
    }
    bool Resize(const fs::path& path, const std::string& size) {
        const std::string opts = "size=" + size;
        return ::mount("tmpfs", path.c_str(), "tmpfs", MS_REMOUNT, opts.c_str()) == 0;
    }

    Lines board_, products_;
    Lines mounts_;
};

// Stages of a call, each with what the simulator must do to make it last, and when it has come.
struct Stage {
    const char* Name;
    QStringList SimOptions;
    bool BigFile;  // a large archive last, so that the kill comes in its transfer
    std::function<bool()> Reached;
};

class StageTest : public FaultTest {
  protected:
    // Runs one stage of a call on the running program, ends the program there with signal, and
    // makes the normal call after it.
    void EndAt(const Stage& stage, int signal) {
        // Each stage starts from nothing received and nothing recorded.
        std::vector<fs::path> old;
        for (const char* d : {"tmp", "db"}) {
            for (const auto& e : fs::recursive_directory_iterator(dir / d)) {
                if (e.is_regular_file()) old.push_back(e.path());
            }
        }
        for (const fs::path& p : old) fs::remove(p);
        Lines names = products_;
        if (stage.BigFile && !fs::exists(dir / "board" / "NI0000.ZIP")) {
            // Incompressible, stored: its transfer takes a while even on a pseudo-terminal.
            const fs::path big = dir / "NI0000.BIN";
            {
                std::ofstream out(big, std::ios::binary);
                std::srand(7);
                std::string block(1 << 16, '\0');
                for (int i = 0; i < 256; ++i) {
                    for (char& c : block) c = static_cast<char>(std::rand());
                    out << block;
                }
            }
            QProcess zip;
            zip.start("zip", {"-0", "-j", "-q",
                              QString::fromStdString((dir / "board" / "NI0000.ZIP").string()),
                              QString::fromStdString(big.string())});
            ASSERT_TRUE(zip.waitForFinished(60000));
        }
        if (stage.BigFile) names.push_back("NI0000.ZIP");
        replies.clear();
        if (!stage.SimOptions.isEmpty()) Sim(stage.SimOptions);
        if (std::string(stage.Name) == "idle") {
            Send("MINI");
        } else {
            Get(names);
        }
        ASSERT_TRUE(WaitFor([&] { return stage.Reached(); }, 120000))
            << stage.Name << ::testing::PrintToString(Untimed());
        KillProgram(signal);
        if (signal == SIGTERM) {
            // Orderly: a normal exit, the final replies, the close marker to the session.
            EXPECT_EQ(quorvex->exitStatus(), QProcess::NormalExit) << stage.Name;
            EXPECT_EQ(quorvex->exitCode(), 0) << stage.Name << Stderr();
            EXPECT_TRUE(Has("Communication program stopped")) << stage.Name;
            EXPECT_EQ(session->exitCode(), 0) << stage.Name;
            if (Has("Processing ")) {
                EXPECT_TRUE(Has("Data collection and processing completed ") ||
                            Has("Data collection completed, processing incomplete"))
                    << ::testing::PrintToString(Untimed());
            }
        }
        RecoveryCall(products_);
    }

    std::vector<Stage> Stages() {
        return {
            {"idle", {}, false, [this] { return Has("Command not implemented: MINI"); }},
            {"dialling", {"--dial-delay", "5"}, false, [this] { return Has("Dialling"); }},
            // The sender stalls in mid-file, so the end comes inside the transfer (a file
            // being received is not visible in TEMPDIR before it is complete).
            {"transfer",
             {"--stall-after-bytes", "2000000"},
             true,
             [this] { return Has("Collect  (NI0000)"); }},
            {"processing", {}, false, [this] { return Has("Processing "); }},
        };
    }
};

TEST_F(StageTest, KilledAtAnyStageTheNextStartServesAndRecordsEverything) {
    Sim();
    Program();
    for (const Stage& s : Stages()) {
        SCOPED_TRACE(s.Name);
        const auto t0 = std::chrono::steady_clock::now();
        EndAt(s, SIGKILL);
        std::printf("%s: %lld ms\n", s.Name,
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - t0)
                                               .count()));
        if (HasFatalFailure()) return;
    }
}

TEST_F(StageTest, TerminatedAtAnyStageTheProgramEndsInOrderAndLosesNothing) {
    Sim();
    Program();
    for (const Stage& s : Stages()) {
        SCOPED_TRACE(s.Name);
        const auto t0 = std::chrono::steady_clock::now();
        EndAt(s, SIGTERM);
        std::printf("%s: %lld ms\n", s.Name,
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - t0)
                                               .count()));
        if (HasFatalFailure()) return;
    }
}

// A table file that cannot be used or changed: the product is not recorded and not reported as
// recorded, no file loses its row or its row its file, and once the table is mended the next
// call records what was kept.
TEST_F(FaultTest, DamagedReadOnlyAndLockedTablesLoseNothing) {
    const std::string ev = Named("EV"), wk = Named("WK");
    const fs::path sat = dir / "db" / "Sat.DB";
    struct Case {
        const char* Name;
        std::function<bool()> Break;  // false: cannot be made here (skipped)
        std::function<void()> Mend;
    };
    std::unique_ptr<QProcess> locker;
    const Case cases[] = {
        {"corrupt",
         [&] {
             std::ofstream(sat, std::ios::binary | std::ios::trunc) << std::string(4096, 'x');
             return true;
         },
         [&] { fs::remove(sat); }},
        {"read-only",
         [&] {
             fs::permissions(sat, fs::perms::owner_read | fs::perms::group_read);
             // root writes whatever the mode: the immutable attribute stands in.
             return ::geteuid() != 0 ||
                    std::system(("chattr +i '" + sat.string() + "' 2>/dev/null").c_str()) == 0;
         },
         [&] {
             if (::geteuid() == 0) std::system(("chattr -i '" + sat.string() + "'").c_str());
             fs::permissions(sat, fs::perms::owner_read | fs::perms::owner_write);
         }},
        {"locked",
         [&] {
             locker = std::make_unique<QProcess>();
             locker->start("sqlite3", {QString::fromStdString(sat.string())});
             locker->write("BEGIN EXCLUSIVE; select 'locked';\n");
             return locker->waitForReadyRead(20000);
         },
         [&] {
             locker->closeWriteChannel();
             locker->waitForFinished(10000);
             locker.reset();
         }},
    };
    Sim();
    Program();
    int calls = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        // The picture recorded, then received once more into a table that refuses it.
        fs::remove(dir / "tmp" / ev);
        Get({ev});
        ASSERT_TRUE(CallEnd(++calls).rfind("Data collection and processing completed", 0) == 0);
        fs::remove(dir / "tmp" / ev);
        if (!c.Break()) {
            std::printf("skipped: the %s table cannot be made here\n", c.Name);
            continue;
        }
        const std::string before = fs::exists(sat) ? std::to_string(fs::file_size(sat)) : "";
        Get({ev, wk});
        const std::string end = CallEnd(++calls);
        EXPECT_EQ(end.rfind("Data collection and processing completed", 0), std::string::npos)
            << end;
        EXPECT_TRUE(Has("Data collection completed, processing incomplete"));
        ExpectRecorded({wk});
        ExpectSoundStore({"Sat"});
        if (std::string(c.Name) == "corrupt") {
            EXPECT_EQ(std::to_string(fs::file_size(sat)), before) << "never replaced";
        }
        c.Mend();
        // The archive is still there ("already present"), and is processed now.
        Get({ev});
        EXPECT_EQ(CallEnd(++calls).rfind("Data collection and processing completed", 0), 0u)
            << ::testing::PrintToString(Untimed());
        ExpectRecorded({ev});
        ExpectSoundStore();
    }
    Exit();
}

// A full disk under the temporary directory or the database: a clear error, nothing half
// recorded, and once there is room the next call records everything.
TEST_F(FaultTest, AFullDiskLosesNothingAndTheNextCallRecordsEverything) {
    if (!MountSmall(dir / "db", "64k")) {
        GTEST_SKIP() << "needs root to mount a small file system";
    }
    for (const char* d : {"Radar/Nl", "Radar/Dl", "Radar/Gb", "Sat/Holland", "Sat/Europe", "Charts",
                          "Text/Forecast/Short", "Text/Forecast/Long"}) {
        fs::create_directories(dir / "db" / d);
    }
    Sim();
    Program();
    Get(products_);
    const std::string end = CallEnd();
    EXPECT_EQ(end.rfind("Data collection completed, processing incomplete", 0), 0u)
        << ::testing::PrintToString(Untimed());
    ExpectSoundStore();
    ASSERT_TRUE(Resize(dir / "db", "16m"));
    Exit();

    // The temporary directory full: nothing can be received, nothing is claimed.
    ASSERT_TRUE(MountSmall(dir / "tmp", "16k"));
    Sim();
    Program();
    Get({Named("PP")});
    EXPECT_TRUE(WaitReply("Error while collecting file: ", 120000))
        << ::testing::PrintToString(Untimed());
    ASSERT_TRUE(Resize(dir / "tmp", "16m"));
    KillProgram(SIGTERM);
    // The archives of the first call were kept with the database and are taken up now.
    ::umount2((dir / "tmp").c_str(), MNT_DETACH);
    mounts_.pop_back();
    RecoveryCall(products_);
    Exit();
}

// Many calls in a row: no growth of memory, descriptors or files. Each call costs some seconds
// of the program's own one-second timers, so this is the suite's longest test.
TEST_F(FaultTest, FiftyCallsInARowLeaveNoGrowth) {
#if defined(__SANITIZE_ADDRESS__)
    constexpr int kCalls = 15;  // the sanitizers' own growth would hide ours anyway
#else
    constexpr int kCalls = 50;
#endif
    const std::string wk = Named("WK");
    Sim({"--no-delay"});
    Program();
    const std::string proc = "/proc/" + std::to_string(quorvex->processId());
    auto rssKb = [&] {
        std::ifstream in(proc + "/status");
        for (std::string l; std::getline(in, l);) {
            if (l.rfind("VmRSS:", 0) == 0) return std::atol(l.c_str() + 6);
        }
        return 0L;
    };
    auto fds = [&] {
        return std::distance(fs::directory_iterator(proc + "/fd"), fs::directory_iterator());
    };
    auto files = [&] {
        std::uintmax_t n = 0;
        for (const auto& e : fs::recursive_directory_iterator(dir))
            n += e.is_regular_file() ? 1 : 0;
        return n;
    };
    [[maybe_unused]] long rss0 = 0;  // not checked under the sanitizers
    std::ptrdiff_t fd0 = 0;
    std::uintmax_t files0 = 0;
    for (int call = 1; call <= kCalls; ++call) {
        fs::remove(dir / "tmp" / wk);  // received anew each time
        Get({wk});
        const std::string end = CallEnd(call);
        ASSERT_EQ(end.rfind("Data collection and processing completed", 0), 0u) << call << end;
        if (call == kCalls / 5) {
            rss0 = rssKb();
            fd0 = fds();
            files0 = files();
        }
    }
    EXPECT_EQ(fds(), fd0);
    EXPECT_EQ(files(), files0);
#if !defined(__SANITIZE_ADDRESS__)
    // The later calls may not add more than a little allocator slack.
    EXPECT_LT(rssKb() - rss0, 2048) << rss0;
#endif
    Exit();
    ExpectSoundStore();
}

}  // namespace
}  // namespace e2e
