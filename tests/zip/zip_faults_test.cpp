// Archives as Info-ZIP writes them when it cannot seek back or must use Zip64, and names in
// the IBM PC character set: every entry extracts whole under its UTF-8 name.
#include <gtest/gtest.h>

#include "processing/zip/zx_unzipper.h"
#include "zip_test_util.h"

using namespace zxtest;

namespace {

// Extracts every entry of archive into out; returns the failures as "name: reason".
std::vector<std::string> ExtractAll(const std::string& archive, const std::string& out) {
    std::vector<std::string> failed;
    qx::TZxUnZipper z;
    z.OnEntryFailed = [&](const std::string& n, const std::string& r) {
        failed.push_back(n + ": " + r);
    };
    z.SetFileName(archive);
    z.SetBaseDirectory(out);
    z.ExtractFiles("*.*");
    z.CloseArchive();
    return failed;
}

TEST(ZipFaults, InfoZipStreamedAndZip64ArchivesExtractWhole) {
    struct Case {
        const char* What;
        const char* Command;  // run in src, writes out.zip; "-" is the entry of standard input
        const char* Entry;
        const char* Source;  // file in src with the entry's content
    };
    const Case cases[] = {
        {"standard input to a pipe: descriptor, Zip64 local sizes",
         "zip -q - - < text.txt | cat > out.zip", "-", "text.txt"},
        {"standard input to a file: Zip64 local sizes and end records",
         "zip -q - - < text.txt > out.zip", "-", "text.txt"},
        {"file to a pipe: descriptor, local sizes partly zero", "zip -q - text.txt | cat > out.zip",
         "text.txt", "text.txt"},
        {"stored to a pipe", "zip -q -0 - - < bytes.bin | cat > out.zip", "-", "bytes.bin"},
        {"forced Zip64", "zip -q -fz out.zip text.txt bytes.bin", "bytes.bin", "bytes.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        ScratchDir dir;
        const std::string src = dir / "src", out = dir / "out";
        fs::create_directories(src);
        fs::create_directories(out);
        WriteFile(src + "/text.txt", TextLike(200000, 1));
        WriteFile(src + "/bytes.bin", RandomBytes(70000, 2));
        ASSERT_EQ(0, RunIn(src, std::string("sh -c '") + c.Command + "'"));
        ASSERT_EQ(0, RunIn(src, "unzip -tq out.zip > /dev/null"));  // a sound archive
        EXPECT_EQ(ExtractAll(src + "/out.zip", out), std::vector<std::string>{});
        EXPECT_TRUE(ReadFile(out + "/" + c.Entry) == ReadFile(src + "/" + c.Source));
    }
}

TEST(ZipFaults, IbmPcNamesBecomeUtf8UnlessMarkedUtf8) {
    ScratchDir dir;
    const std::string src = dir / "src", out = dir / "out";
    fs::create_directories(src);
    fs::create_directories(out);
    // 0x82 is e-acute and 0xE1 sharp s in the IBM PC set.
    WriteFile(src + "/caf\x82 \xe1.txt", "pc");
    ASSERT_EQ(0, RunIn(src, "zip -q pc.zip *.txt"));
    EXPECT_TRUE(ExtractAll(src + "/pc.zip", out).empty());
    EXPECT_EQ(FileNames(out), std::vector<std::string>{"caf\xc3\xa9 \xc3\x9f.txt"});

    // The same archive with flag bit 11 (name in UTF-8) keeps the name's bytes.
    std::string zip = ReadFile(src + "/pc.zip");
    for (const char* sig : {"PK\x03\x04", "PK\x01\x02"}) {
        const size_t at = zip.find(sig);
        const size_t flags = at + (sig[2] == 3 ? 6 : 8);
        zip[flags + 1] = static_cast<char>(zip[flags + 1] | 0x08);
    }
    WriteFile(src + "/utf8.zip", zip);
    fs::remove_all(out);
    fs::create_directories(out);
    EXPECT_TRUE(ExtractAll(src + "/utf8.zip", out).empty());
    EXPECT_EQ(FileNames(out), std::vector<std::string>{"caf\x82 \xe1.txt"});
}

}  // namespace
