// The two fixed-size formats read from delivered files: the 80-byte info record and the
// 236-byte station record.
#include <gtest/gtest.h>

#include "db_test_support.h"
#include "weatherdb/info_record.h"
#include "weatherdb/station_record.h"

namespace qx {
namespace {

TEST(InfoRecordTest, FieldsAreReadAtTheirOffsetsAndTextsEndAtTheirFields) {
    test::InfoFields f;
    f.VersionNo = -2;
    f.Date = 20011207;
    f.Time = 235959;
    f.Regio = 12;
    f.FileName = "ABCDEFGHIJKLMNOP";      // fills all 16 bytes, no zero
    f.InfoString = std::string(36, 'i');  // fills all 36 bytes
    std::vector<unsigned char> bytes = test::InfoBytes(f);
    bytes[16] = 0xff;  // reserved fields are ignored
    bytes[20] = 0xff;
    bytes.push_back('X');  // anything after the record is ignored
    TInfoRecord r;
    ASSERT_TRUE(ParseInfoRecord(bytes.data(), bytes.size(), r));
    EXPECT_EQ(r.VersionNo, -2);
    EXPECT_EQ(r.Date, 20011207);
    EXPECT_EQ(r.Time, 235959);
    EXPECT_EQ(r.Regio, 12);
    EXPECT_EQ(r.FileName, "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(r.InfoString, std::string(36, 'i'));
    EXPECT_FALSE(ParseInfoRecord(bytes.data(), 79, r));

    const DateTimeParts p = DecodeDateTime(InfoRecordTime(r));
    EXPECT_EQ(std::vector<int>({p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second}),
              std::vector<int>({2001, 12, 7, 23, 59, 59}));
    EXPECT_THROW(ComposeFileTime(20010230, 0), std::exception);

    test::TempTree tree;
    test::WriteBytes(tree.Path("rn0810.inf"), bytes);
    TInfoRecord read;
    EXPECT_TRUE(ReadInfoRecord(tree.Path("RN0810.INF"), read));
    EXPECT_EQ(read.FileName, "ABCDEFGHIJKLMNOP");
    bytes.resize(79);
    test::WriteBytes(tree.Path("short.inf"), bytes);
    EXPECT_FALSE(ReadInfoRecord(tree.Path("short.inf"), read));
    EXPECT_FALSE(ReadInfoRecord(tree.Path("absent.inf"), read));
}

TEST(StationRecordTest, ElementsFollowTheRecordLayoutAndMissingMarks) {
    ASSERT_EQ(kStationElements.size(), 56u);
    EXPECT_STREQ(kStationElements[0].Name, "El2");
    EXPECT_STREQ(kStationElements[55].Name, "El159");
    std::vector<unsigned char> b(kStationRecordSize, 0);
    test::PutInt32(b, 0, 6260);
    test::PutInt32(b, 4, 20240115);
    test::PutInt32(b, 8, 120000);
    test::PutFloat(b, 12, 32766.0f);   // El2, a Float element
    test::PutInt32(b, 16, 32766);      // El4, a Smallint element
    test::PutInt32(b, 20, -5);         // El5
    test::PutFloat(b, 136, 32765.0f);  // El134
    test::PutInt32(b, 204, 32767);     // El152
    test::PutFloat(b, 232, -1.25f);    // El159, the last field
    const TStationRecord r = ParseStationRecord(b.data());
    EXPECT_EQ(r.Station, 6260);
    EXPECT_EQ(r.Date, 20240115);
    EXPECT_EQ(r.Time, 120000);
    EXPECT_TRUE(r.IsMissing(0));
    EXPECT_TRUE(r.IsMissing(1));
    EXPECT_EQ(r.IntElement(2), -5);
    EXPECT_STREQ(kStationElements[31].Name, "El134");
    EXPECT_EQ(kStationElements[31].Kind, TElementKind::Float);
    EXPECT_FALSE(r.IsMissing(31));
    EXPECT_STREQ(kStationElements[48].Name, "El152");
    EXPECT_EQ(r.IntElement(48), 32767);
    EXPECT_FALSE(r.IsMissing(48));
    EXPECT_EQ(r.FloatElement(55), -1.25f);
    // An int element holding the bits of 32766.0f is not missing, nor the reverse.
    test::PutFloat(b, 16, 32766.0f);
    test::PutInt32(b, 12, 32766);
    const TStationRecord swapped = ParseStationRecord(b.data());
    EXPECT_FALSE(swapped.IsMissing(0));
    EXPECT_FALSE(swapped.IsMissing(1));
}

}  // namespace
}  // namespace qx
