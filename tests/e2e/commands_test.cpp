// The command language as the presentation program sees it: a script of commands through
// quorvexctl session and the exact replies of the real program.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "program_fixture.h"

namespace qx {
namespace {

TEST_F(ProgramTest, CommandScriptGetsTheExactReplies) {
    fs::create_directories(dir_ / "temp dir");
    const std::string temp = (dir_ / "temp dir").string();
    std::string upperTemp = temp;
    for (char& c : upperTemp) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    Run("quorvex", {});
    const std::string script =
        "BBS GET RN0914\n"  // before TEMPDIR: refused, nothing dialled
        "hello world\n"
        "MINI\n"
        "meet\n"
        "BBS SET INITSTRING ATZ\n"
        "BBS SET PHONE 0301234567 user secret\n"
        "BBS SET TEMPDIR  \"" +
        temp +
        "\"\n"
        "BBS SET DESTDIR \"" +
        upperTemp +
        "\"\n"
        "BBS SET SOURCEDIR /src\n"
        "BBS SET SPEED 9600\n"
        "BBS REBOOT\n"
        "BBS LAST RNdduu 24 0 4\n"
        "BBS LAST RNdduu one 0 4\n"
        "EXIT\n";
    int rc = -1;
    const std::vector<std::string> replies = Session(script, rc, 90);
    EXPECT_EQ(rc, 0);
    const std::vector<std::string> expected = {
        "Communication program started (Modem) ",
        "No temporary directory set: BBS GET RN0914",
        "Unknown command received from Skelvane: hello world",
        "Command not implemented: MINI",
        "Command not implemented: meet",
        "Command not implemented: BBS SET SPEED 9600",
        "Command not implemented: BBS REBOOT",
        "Invalid command: BBS LAST RNdduu 24 0 4",
        "Invalid command: BBS LAST RNdduu one 0 4",
        "Communication program stopped",
    };
    EXPECT_EQ(replies, expected);
}

TEST_F(ProgramTest, AbortWithExitBehindItStillEndsTheProgram) {
    // Whatever is still queued when ABORT arrives is dropped, but the EXIT behind it survives.
    QProcess& quorvex = Run("quorvex", {});
    int rc = -1;
    const std::vector<std::string> replies =
        Session("BBS SET PHONE 1 a b\nBBS SET SOURCEDIR /x\nABORT\nEXIT\n", rc);
    EXPECT_EQ(rc, 0);
    const std::vector<std::string> expected = {"Communication program started (Modem) ",
                                               "Communication program stopped"};
    EXPECT_EQ(replies, expected);
    ASSERT_TRUE(test::Finished(quorvex, 30000));
}

TEST_F(ProgramTest, UnknownModemIsReportedAndEndsTheProgram) {
    QProcess& quorvex = Run("quorvex", {});
    int rc = -1;
    const std::vector<std::string> replies = Session("BBS SET TAPI /dev/no-such-modem\n", rc);
    EXPECT_EQ(rc, 0);
    const std::vector<std::string> expected = {"Communication program started (Modem) ",
                                               "Modem unknown: /dev/no-such-modem",
                                               "Communication program stopped"};
    EXPECT_EQ(replies, expected);
    ASSERT_TRUE(test::Finished(quorvex, 30000));
    EXPECT_EQ(quorvex.exitCode(), 0);
}

}  // namespace
}  // namespace qx
