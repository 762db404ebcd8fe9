// Real archives made by old PKZIP versions and other encoders (Shrink, Reduce, Implode):
// every entry must come out with its stored size and CRC-32, byte-identical to what Info-ZIP
// unzip extracts wherever that unzip supports the method.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "processing/zip/zx_crc32.h"
#include "processing/zip/zx_unzipper.h"
#include "zip_test_util.h"

using namespace zxtest;

namespace {

const std::string kData = std::string(QX_TESTDATA_DIR) + "/legacy-zip";

uint32_t CrcOf(const std::string& s) {
    return qx::ZxCrc32(0, reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

std::vector<std::string> Archives() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(kData))
        if (e.path().extension() == ".zip") names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class LegacyArchive : public ::testing::TestWithParam<std::string> {};

TEST_P(LegacyArchive, EveryEntryHasItsSizeAndCrcAndMatchesUnzip) {
    ScratchDir dir;
    const std::string out = dir / "out", ref = dir / "ref";
    fs::create_directories(out);
    fs::create_directories(ref);
    const std::string archive = kData + "/" + GetParam();

    qx::TZxUnZipper z;
    std::vector<std::string> failed;
    z.OnEntryFailed = [&](const std::string& n, const std::string& r) {
        failed.push_back(n + ": " + r);
    };
    z.SetFileName(archive);
    z.SetBaseDirectory(out);
    z.ExtractFiles("*.*");
    // The later of two entries with one bare name is the one on disk.
    std::map<std::string, qx::TZxZipItem> last;
    size_t directories = 0;
    for (const auto& item : z.Items()) {
        const std::string bare = item.FileName.substr(item.FileName.rfind('\\') + 1);
        if (bare.empty())
            ++directories;
        else
            last[bare] = item;
    }
    EXPECT_EQ(directories, failed.size()) << (failed.empty() ? "" : failed[0]);
    for (const auto& [bare, item] : last) {
        const std::string data = ReadFile(out + "/" + bare);
        EXPECT_EQ(item.UncompressedSize, data.size()) << bare;
        EXPECT_EQ(item.Crc32, CrcOf(data)) << bare;
    }

    // Info-ZIP unzip as the reference for every method it supports.
    RunIn(ref, "unzip -o -q -j '" + archive + "'");
    for (const auto& name : FileNames(ref)) {
        const std::string expected = ReadFile(ref + "/" + name);
        if (fs::exists(out + "/" + name)) {
            EXPECT_TRUE(expected == ReadFile(out + "/" + name)) << name;
            continue;
        }
        // Named differently (unzip prefers a Unicode-path extra field): compare by content.
        bool found = false;
        for (const auto& ours : FileNames(out)) found |= ReadFile(out + "/" + ours) == expected;
        EXPECT_TRUE(found) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Archives, LegacyArchive, ::testing::ValuesIn(Archives()),
                         [](const auto& info) {
                             std::string n = info.param;
                             for (auto& c : n)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });

TEST(LegacyArchives, CoverEveryLegacyMethodAndImplodeVariant) {
    std::set<std::string> kinds;
    for (const auto& name : Archives()) {
        qx::TZxUnZipper z;
        z.SetFileName(kData + "/" + name);
        for (const auto& item : z.Items()) {
            std::string k = std::to_string(item.Method);
            if (item.Method == 6)
                k += (item.Flags & 2 ? "/8k" : "/4k") + std::string(item.Flags & 4 ? "3" : "2");
            kinds.insert(k);
        }
    }
    for (const char* k : {"1", "2", "3", "4", "5", "6/4k2", "6/8k3"})
        EXPECT_TRUE(kinds.count(k)) << "no entry of kind " << k;
}

}  // namespace
