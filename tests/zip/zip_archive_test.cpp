// Extraction of archives made by Info-ZIP zip, and the extractor's archive-level behaviour.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <ctime>

#include "processing/zip/zx_exception.h"
#include "processing/zip/zx_unzipper.h"
#include "zip_test_util.h"

using namespace zxtest;

namespace {

struct Failure {
    std::string Name, Reason;
};

// Extracts archive into dir with "*.*" and collects the skipped entries.
std::vector<Failure> Extract(const std::string& archive, const std::string& dir,
                             const std::string& mask = "*.*") {
    std::vector<Failure> failures;
    qx::TZxUnZipper z;
    z.OnEntryFailed = [&](const std::string& n, const std::string& r) {
        failures.push_back({n, r});
    };
    z.SetFileName(archive);
    z.SetBaseDirectory(dir);
    z.ExtractFiles(mask);
    z.CloseArchive();
    return failures;
}

std::string ExpectRaises(const std::function<void()>& f) {
    try {
        f();
    } catch (const qx::EZxException& e) {
        return e.what();
    }
    return "(nothing raised)";
}

uint16_t Get16(const std::string& s, size_t at) {
    return static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8;
}
uint32_t Get32(const std::string& s, size_t at) {
    return Get16(s, at) | static_cast<uint32_t>(Get16(s, at + 2)) << 16;
}
void Put16(std::string& s, size_t at, uint16_t v) {
    s[at] = static_cast<char>(v);
    s[at + 1] = static_cast<char>(v >> 8);
}
void Put32(std::string& s, size_t at, uint32_t v) {
    Put16(s, at, static_cast<uint16_t>(v));
    Put16(s, at + 2, static_cast<uint16_t>(v >> 16));
}

// Offsets of an entry's central header and local header in an archive image.
struct EntryAt {
    size_t Central = 0, Local = 0, Data = 0;
};
EntryAt FindEntry(const std::string& zip, const std::string& name) {
    for (size_t at = zip.find("PK\x01\x02"); at != std::string::npos;
         at = zip.find("PK\x01\x02", at + 4)) {
        const size_t n = Get16(zip, at + 28);
        if (zip.compare(at + 46, n, name) == 0) {
            EntryAt e{at, Get32(zip, at + 42), 0};
            e.Data = e.Local + 30 + Get16(zip, e.Local + 26) + Get16(zip, e.Local + 28);
            return e;
        }
    }
    ADD_FAILURE() << "no entry " << name;
    return {};
}

class ZipArchive : public ::testing::Test {
  protected:
    ScratchDir dir;
    std::string src = dir / "src";
    std::string out = dir / "out";
    void SetUp() override { fs::create_directories(out); }
    // Zips the given files (relative to src) into dir/name with extra zip options.
    std::string Zip(const std::string& name, const std::string& options, const std::string& files) {
        const std::string archive = dir / name;
        EXPECT_EQ(0, RunIn(src, "zip -q -X " + options + " '" + archive + "' " + files));
        return archive;
    }
};

TEST_F(ZipArchive, EveryLevelRoundTripsTextBinaryAndEmptyFiles) {
    WriteFile(src + "/text.txt", TextLike(300000, 1));
    WriteFile(src + "/random.bin", RandomBytes(70000, 2));
    WriteFile(src + "/empty.inf", "");
    WriteFile(src + "/runs.dat", std::string(200000, 'x') + TextLike(1000, 3));
    for (int level = 0; level <= 9; ++level) {
        const std::string digit = std::to_string(level);
        SCOPED_TRACE(std::string("level ").append(digit));
        const std::string archive =
            Zip(std::string("l").append(digit).append(".zip"), std::string("-").append(digit), "*");
        fs::remove_all(out);
        fs::create_directories(out);
        EXPECT_TRUE(Extract(archive, out).empty());
        EXPECT_EQ(FileNames(src), FileNames(out));
        for (const auto& name : FileNames(src))
            EXPECT_TRUE(ReadFile(src + "/" + name) == ReadFile(out + "/" + name)) << name;
    }
}

TEST_F(ZipArchive, FileTimeComesFromTheEntryAsLocalTime) {
    WriteFile(src + "/a.txt", "abc");
    struct tm t {};
    t.tm_year = 2019 - 1900;
    t.tm_mon = 6;
    t.tm_mday = 14;
    t.tm_hour = 13;
    t.tm_min = 45;
    t.tm_sec = 30;
    t.tm_isdst = -1;
    const std::time_t when = std::mktime(&t);
    fs::last_write_time(src + "/a.txt", fs::file_time_type::clock::now() +
                                            (std::chrono::system_clock::from_time_t(when) -
                                             std::chrono::system_clock::now()));
    Extract(Zip("t.zip", "", "a.txt"), out);
    struct stat st {};
    ASSERT_EQ(0, stat((out + "/a.txt").c_str(), &st));
    EXPECT_NEAR(static_cast<double>(when), static_cast<double>(st.st_mtime), 2.0);
}

TEST_F(ZipArchive, ManyFilesAreAllExtracted) {
    for (int i = 0; i < 400; ++i)
        WriteFile(src + "/f" + std::to_string(i) + ".inf", TextLike(50 + i * 7, i));
    const std::string archive = Zip("many.zip", "", "*");
    EXPECT_TRUE(Extract(archive, out).empty());
    ASSERT_EQ(400u, FileNames(out).size());
    for (int i = 0; i < 400; i += 37) {
        const std::string n = "/f" + std::to_string(i) + ".inf";
        EXPECT_EQ(ReadFile(src + n), ReadFile(out + n));
    }
}

TEST_F(ZipArchive, SameNameInTwoDirectoriesLaterEntryWins) {
    WriteFile(src + "/one/x.txt", "first");
    WriteFile(src + "/two/x.txt", "second");
    EXPECT_TRUE(Extract(Zip("dup.zip", "-D", "one/x.txt two/x.txt"), out).empty());
    EXPECT_EQ(std::vector<std::string>{"x.txt"}, FileNames(out));
    EXPECT_EQ("second", ReadFile(out + "/x.txt"));
}

TEST_F(ZipArchive, AlteredDataFailsAndLeavesNoFileWhileOthersExtract) {
    WriteFile(src + "/stored.txt", TextLike(5000, 4));
    WriteFile(src + "/deflated.txt", TextLike(50000, 5));
    WriteFile(src + "/good.txt", "fine");
    const std::string a0 = Zip("s.zip", "-0", "stored.txt good.txt");
    const std::string a9 = Zip("d.zip", "-9", "deflated.txt good.txt");
    for (const auto& [archive, name] :
         {std::pair{a0, std::string("stored.txt")}, std::pair{a9, std::string("deflated.txt")}}) {
        std::string zip = ReadFile(archive);
        zip[FindEntry(zip, name).Data + 1000] ^= 0x55;
        WriteFile(archive, zip);
        fs::remove_all(out);
        fs::create_directories(out);
        const auto failures = Extract(archive, out);
        ASSERT_EQ(1u, failures.size()) << name;
        EXPECT_EQ(name, failures[0].Name);
        if (name == "stored.txt") {
            EXPECT_EQ("Failed CRC Check", failures[0].Reason);
        }
        EXPECT_EQ(std::vector<std::string>{"good.txt"}, FileNames(out)) << "no temporary left";
    }
}

TEST_F(ZipArchive, UnsupportedMethodAndNewerVersionAreSkipped) {
    WriteFile(src + "/a.txt", TextLike(3000, 6));
    WriteFile(src + "/b.txt", TextLike(3000, 7));
    WriteFile(src + "/c.txt", "ccc");
    std::string zip = ReadFile(Zip("m.zip", "", "a.txt b.txt c.txt"));
    const EntryAt a = FindEntry(zip, "a.txt");
    Put16(zip, a.Local + 8, 9);
    Put16(zip, a.Central + 10, 9);
    const EntryAt b = FindEntry(zip, "b.txt");
    Put16(zip, b.Local + 4, 45);
    Put16(zip, b.Central + 6, 45);
    WriteFile(dir / "m.zip", zip);
    const auto failures = Extract(dir / "m.zip", out);
    ASSERT_EQ(2u, failures.size());
    EXPECT_EQ("Cannot extract file - unsupported compression method", failures[0].Reason);
    EXPECT_EQ("Cannot extract file - newer version required", failures[1].Reason);
    EXPECT_EQ(std::vector<std::string>{"c.txt"}, FileNames(out));
}

TEST_F(ZipArchive, EncryptedEntryIsSkippedWithPasswordError) {
    WriteFile(src + "/secret.txt", TextLike(2000, 8));
    const auto failures = Extract(Zip("p.zip", "-P swordfish", "secret.txt"), out);
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ("Cannot extract file - invalid password", failures[0].Reason);
    EXPECT_TRUE(FileNames(out).empty());
}

TEST_F(ZipArchive, ArchiveLevelErrorsCarryTheirTexts) {
    WriteFile(dir / "not.zip", TextLike(5000, 9));
    qx::TZxUnZipper z;
    EXPECT_EQ("Invalid file - not a PKZip file",
              ExpectRaises([&] { z.SetFileName(dir / "not.zip"); }));
    EXPECT_FALSE(z.IsOpen());

    z.SetFileName(dir / "missing.zip");  // raises nothing
    EXPECT_FALSE(z.IsOpen());
    z.SetBaseDirectory(out);
    EXPECT_EQ("Archive does not exist - FileName is blank",
              ExpectRaises([&] { z.ExtractFiles("*.*"); }));

    EXPECT_EQ("Directory does not exist", ExpectRaises([&] { z.SetBaseDirectory(dir / "nope"); }));
    z.SetBaseDirectory(out + "/");
    EXPECT_EQ(out, z.BaseDirectory());
    z.SetBaseDirectory(out + "\\");
    EXPECT_EQ(out, z.BaseDirectory());

    // An archive comment longer than the search window hides the end record.
    WriteFile(src + "/a.txt", "a");
    std::string zip = ReadFile(Zip("c.zip", "", "a.txt"));
    const size_t end = zip.rfind("PK\x05\x06");
    const std::string comment(3000, 'c');
    Put16(zip, end + 20, static_cast<uint16_t>(comment.size()));
    WriteFile(dir / "c.zip", zip + comment);
    EXPECT_EQ("Invalid file - not a PKZip file",
              ExpectRaises([&] { z.SetFileName(dir / "c.zip"); }));
}

TEST_F(ZipArchive, ZeroLengthArchiveExtractsNothing) {
    WriteFile(dir / "empty.zip", "");
    EXPECT_TRUE(Extract(dir / "empty.zip", out).empty());
    EXPECT_TRUE(FileNames(out).empty());
}

TEST_F(ZipArchive, MaskIgnoresCaseAndMatchesDirectories) {
    WriteFile(src + "/RN0810.INF", "i");
    WriteFile(src + "/rn0810.txt", "t");
    WriteFile(src + "/README", "r");
    WriteFile(src + "/sub/deep.inf", "d");
    const std::string archive = Zip("k.zip", "", "RN0810.INF rn0810.txt README sub/deep.inf");
    Extract(archive, out, "*.inf");
    EXPECT_EQ((std::vector<std::string>{"RN0810.INF", "deep.inf"}), FileNames(out));
    fs::remove_all(out);
    fs::create_directories(out);
    Extract(archive, out, "*.*");
    EXPECT_EQ(4u, FileNames(out).size()) << "*.* matches a name without a dot";
    fs::remove_all(out);
    fs::create_directories(out);
    Extract(archive, out, "SUB\\*.INF");
    EXPECT_EQ(std::vector<std::string>{"deep.inf"}, FileNames(out));
}

// Builds a one-entry stored archive by hand, so that names and fields can be anything.
std::string StoredArchive(const std::string& name, const std::string& data, uint32_t crc) {
    std::string local(30, '\0'), central(46, '\0'), end(22, '\0');
    local.replace(0, 4, "PK\x03\x04");
    Put16(local, 4, 10);
    Put32(local, 14, crc);
    Put32(local, 18, static_cast<uint32_t>(data.size()));
    Put32(local, 22, static_cast<uint32_t>(data.size()));
    Put16(local, 26, static_cast<uint16_t>(name.size()));
    central.replace(0, 4, "PK\x01\x02");
    Put16(central, 6, 10);
    Put32(central, 16, crc);
    Put32(central, 20, static_cast<uint32_t>(data.size()));
    Put32(central, 24, static_cast<uint32_t>(data.size()));
    Put16(central, 28, static_cast<uint16_t>(name.size()));
    const std::string body = local + name + data;
    end.replace(0, 4, "PK\x05\x06");
    Put16(end, 8, 1);
    Put16(end, 10, 1);
    Put32(end, 12, static_cast<uint32_t>(central.size() + name.size()));
    Put32(end, 16, static_cast<uint32_t>(body.size()));
    return body + central + name + end;
}

constexpr uint32_t kCrcOfHello = 0x3610A686;  // CRC-32 of "hello"

TEST_F(ZipArchive, EntriesNeverWriteOutsideTheBaseDirectory) {
    WriteFile(dir / "outside.txt", "untouched");
    for (const std::string name :
         {"../outside.txt", "..\\..\\outside.txt", "/tmp/../x/outside.txt"}) {
        WriteFile(dir / "n.zip", StoredArchive(name, "hello", kCrcOfHello));
        EXPECT_TRUE(Extract(dir / "n.zip", out).empty()) << name;
        EXPECT_EQ("hello", ReadFile(out + "/outside.txt")) << name;
        EXPECT_EQ("untouched", ReadFile(dir / "outside.txt")) << name;
    }
    for (const std::string& name :
         std::vector<std::string>{"", ".", "..", "dir/", "a/..", std::string("x\0y", 3)}) {
        WriteFile(dir / "n.zip", StoredArchive(name, "hello", kCrcOfHello));
        const auto failures = Extract(dir / "n.zip", out);
        EXPECT_EQ(1u, failures.size()) << "name [" << name << "]";
    }
    EXPECT_EQ(std::vector<std::string>{"outside.txt"}, FileNames(out));
}

TEST_F(ZipArchive, ExistingSymbolicLinkIsReplacedNotFollowed) {
    WriteFile(dir / "target.txt", "untouched");
    fs::create_symlink(dir / "target.txt", out + "/a.txt");
    WriteFile(dir / "n.zip", StoredArchive("a.txt", "hello", kCrcOfHello));
    EXPECT_TRUE(Extract(dir / "n.zip", out).empty());
    EXPECT_FALSE(fs::is_symlink(out + "/a.txt"));
    EXPECT_EQ("hello", ReadFile(out + "/a.txt"));
    EXPECT_EQ("untouched", ReadFile(dir / "target.txt"));

    // A link to a name that does not exist yet must not create that file either.
    fs::create_symlink(dir / "created-outside.txt", out + "/b.txt");
    WriteFile(dir / "n.zip", StoredArchive("b.txt", "hello", kCrcOfHello));
    EXPECT_TRUE(Extract(dir / "n.zip", out).empty());
    EXPECT_FALSE(fs::is_symlink(out + "/b.txt"));
    EXPECT_EQ("hello", ReadFile(out + "/b.txt"));
    EXPECT_FALSE(fs::exists(dir / "created-outside.txt"));
}

TEST_F(ZipArchive, InconsistentSizesAndTruncatedDataAreEntryErrors) {
    const std::string good = StoredArchive("a.txt", "hello", kCrcOfHello);
    std::string localDisagrees = good;
    Put32(localDisagrees, 22, 4);  // local uncompressed size
    std::string pastEnd = good;
    Put32(pastEnd, 18, 0x7FFFFFF0);  // both compressed sizes run past the end
    Put32(pastEnd, pastEnd.find("PK\x01\x02") + 20, 0x7FFFFFF0);
    std::string badOffset = good;
    Put32(badOffset, badOffset.find("PK\x01\x02") + 42, 0xFFFFFFF0);
    for (const auto& zip : {localDisagrees, pastEnd, badOffset}) {
        WriteFile(dir / "n.zip", zip);
        EXPECT_EQ(1u, Extract(dir / "n.zip", out).size());
        EXPECT_TRUE(FileNames(out).empty());
    }
    // A central directory that runs into the end record is not an archive.
    std::string badDirectory = good;
    Put16(badDirectory, badDirectory.find("PK\x01\x02") + 28, 60000);
    WriteFile(dir / "n.zip", badDirectory);
    EXPECT_EQ("Invalid file - not a PKZip file",
              ExpectRaises([&] { Extract(dir / "n.zip", out); }));
}

TEST_F(ZipArchive, ArchiveCutShortIsRejectedOrSkipped) {
    WriteFile(src + "/big.txt", TextLike(100000, 10));
    const std::string zip = ReadFile(Zip("big.zip", "", "big.txt"));
    for (size_t cut : {zip.size() / 2, zip.size() - 30, size_t{10}}) {
        WriteFile(dir / "cut.zip", zip.substr(0, cut));
        try {
            Extract(dir / "cut.zip", out);
        } catch (const qx::EZxException& e) {
            EXPECT_STREQ("Invalid file - not a PKZip file", e.what());
        }
        EXPECT_TRUE(FileNames(out).empty());
    }
}

}  // namespace
