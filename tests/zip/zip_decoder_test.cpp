// The decoders on hand-made streams: the format details they must honour and the malformed
// input they must refuse without reading or writing out of bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "processing/zip/zx_crc32.h"
#include "processing/zip/zx_explode.h"
#include "processing/zip/zx_inflate.h"
#include "processing/zip/zx_pkware_header.h"
#include "processing/zip/zx_unreduce.h"
#include "processing/zip/zx_unshrink.h"
#include "zip_test_util.h"

namespace {

// Packs bits LSB-first, as all the ZIP methods read them.
class BitWriter {
  public:
    void Put(uint32_t value, int bits) {
        for (int i = 0; i < bits; ++i) Bit((value >> i) & 1);
    }
    // A prefix code, most significant bit first.
    void Code(uint32_t code, int length) {
        for (int i = length - 1; i >= 0; --i) Bit((code >> i) & 1);
    }
    void Byte(uint8_t b) { Put(b, 8); }
    std::vector<uint8_t> Bytes() const { return bytes_; }

  private:
    void Bit(uint32_t b) {
        if (n_ % 8 == 0) bytes_.push_back(0);
        bytes_.back() |= static_cast<uint8_t>(b << (n_ % 8));
        ++n_;
    }
    std::vector<uint8_t> bytes_;
    int n_ = 0;
};

class StringSink : public qx::TZxSink {
  public:
    bool Write(const uint8_t* d, size_t n) override {
        Data.append(reinterpret_cast<const char*>(d), n);
        LargestWrite = std::max(LargestWrite, n);
        return true;
    }
    std::string Data;
    size_t LargestWrite = 0;
};

struct Decoded {
    int Result;
    std::string Data;
    bool Complete;
    size_t LargestWrite;
};

template <typename F>
Decoded Run(const std::vector<uint8_t>& stream, uint64_t declared, F decoder) {
    qx::TZxInput in(stream.data(), stream.size());
    StringSink sink;
    qx::TZxOutput out(&sink, declared);
    int r = decoder(in, out);
    const bool complete = out.Complete();
    if (r == qx::kZxOk) r = out.Flush();
    return {r, sink.Data, complete, sink.LargestWrite};
}

Decoded Inflate(const std::vector<uint8_t>& s, uint64_t declared) {
    return Run(s, declared,
               [](qx::TZxInput& in, qx::TZxOutput& out) { return qx::ZxInflate(in, out); });
}

// Fixed-code helpers: literal/length symbols and 5-bit distance codes.
void FixedSymbol(BitWriter& w, int sym) {
    if (sym < 144)
        w.Code(0x30 + sym, 8);
    else if (sym < 256)
        w.Code(0x190 + sym - 144, 9);
    else if (sym < 280)
        w.Code(sym - 256, 7);
    else
        w.Code(0xC0 + sym - 280, 8);
}

TEST(Crc32, KnownValueAndAnySplitGiveTheSameResult) {
    const std::string check = "123456789";
    auto crc = [](const std::string& s, uint32_t c = 0) {
        return qx::ZxCrc32(c, reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    EXPECT_EQ(0xCBF43926u, crc(check));
    const std::string data = zxtest::RandomBytes(1000, 5);
    // Bitwise reference, independent of the table layout.
    uint32_t ref = 0xFFFFFFFFu;
    for (unsigned char ch : data) {
        ref ^= ch;
        for (int k = 0; k < 8; ++k) ref = (ref & 1) ? (ref >> 1) ^ 0xEDB88320u : ref >> 1;
    }
    ref = ~ref;
    EXPECT_EQ(ref, crc(data));
    for (size_t cut : {1, 7, 8, 9, 500, 999})
        EXPECT_EQ(ref, crc(data.substr(cut), crc(data.substr(0, cut))));
}

TEST(Inflate, DistanceBeforeTheStartOfOutputIsAnError) {
    for (int dist : {1, 2}) {
        BitWriter w;
        w.Put(1, 1);  // final
        w.Put(1, 2);  // fixed codes
        FixedSymbol(w, 'a');
        FixedSymbol(w, 257);  // length 3
        w.Code(dist - 1, 5);  // distance codes 0, 1 are distances 1, 2
        FixedSymbol(w, 256);
        const Decoded d = Inflate(w.Bytes(), 4);
        if (dist == 1) {
            EXPECT_EQ(qx::kZxOk, d.Result);
            EXPECT_EQ("aaaa", d.Data);
        } else {
            EXPECT_EQ(qx::kZxErrData, d.Result);
        }
    }
}

TEST(Inflate, OutputLongerThanDeclaredIsRefused) {
    BitWriter w;
    w.Put(1, 1);
    w.Put(1, 2);
    FixedSymbol(w, 'a');
    FixedSymbol(w, 285);  // length 258
    w.Code(0, 5);
    FixedSymbol(w, 256);
    EXPECT_EQ(qx::kZxErrSize, Inflate(w.Bytes(), 100).Result);
    const Decoded exact = Inflate(w.Bytes(), 259);
    EXPECT_EQ(qx::kZxOk, exact.Result);
    EXPECT_EQ(std::string(259, 'a'), exact.Data);
    EXPECT_FALSE(Inflate(w.Bytes(), 300).Complete);
}

TEST(Inflate, LongOutputIsWrittenInChunksOfAtMost32K) {
    // Stored blocks of 60000 bytes each, 300000 bytes in all, then a long run of matches.
    const std::string text = zxtest::TextLike(300000, 11);
    std::vector<uint8_t> s;
    for (size_t at = 0; at < text.size(); at += 60000) {
        s.push_back(0);  // not final, stored
        s.insert(s.end(), {0x60, 0xEA, 0x9F, 0x15});
        s.insert(s.end(), text.begin() + at, text.begin() + at + 60000);
    }
    BitWriter w;
    w.Put(1, 1);
    w.Put(1, 2);
    for (int i = 0; i < 1000; ++i) {
        FixedSymbol(w, 285);  // 258 bytes from 32768 back
        w.Code(29, 5);
        w.Put(32768 - 24577, 13);
    }
    FixedSymbol(w, 256);
    const auto tail = w.Bytes();
    s.insert(s.end(), tail.begin(), tail.end());
    const Decoded d = Inflate(s, 300000 + 258000);
    ASSERT_EQ(qx::kZxOk, d.Result);
    EXPECT_LE(d.LargestWrite, 32768u);
    ASSERT_EQ(558000u, d.Data.size());
    EXPECT_EQ(text, d.Data.substr(0, 300000));
    EXPECT_EQ(d.Data.substr(300000 - 32768, 258), d.Data.substr(300000, 258));
    EXPECT_EQ(d.Data.substr(d.Data.size() - 32768 - 258, 258), d.Data.substr(d.Data.size() - 258));
}

TEST(Inflate, MalformedBlocksAreRefused) {
    {  // reserved block type
        BitWriter w;
        w.Put(1, 1);
        w.Put(3, 2);
        EXPECT_EQ(qx::kZxErrData, Inflate(w.Bytes(), 1).Result);
    }
    {  // stored block whose length check does not match, and one cut short
        std::vector<uint8_t> bad = {1, 5, 0, 0xFA, 0xFE, 'h', 'e', 'l', 'l', 'o'};
        EXPECT_EQ(qx::kZxErrData, Inflate(bad, 5).Result);
        std::vector<uint8_t> good = {1, 5, 0, 0xFA, 0xFF, 'h', 'e', 'l', 'l', 'o'};
        EXPECT_EQ("hello", Inflate(good, 5).Data);
        good.resize(8);
        EXPECT_EQ(qx::kZxErrTruncated, Inflate(good, 5).Result);
    }
    {  // over-subscribed code-length code: all nineteen lengths 1
        BitWriter w;
        w.Put(1, 1);
        w.Put(2, 2);
        w.Put(0, 5);
        w.Put(0, 5);
        w.Put(15, 4);
        for (int i = 0; i < 19; ++i) w.Put(1, 3);
        EXPECT_EQ(qx::kZxErrData, Inflate(w.Bytes(), 10).Result);
    }
    {  // dynamic block without an end-of-block code, and a repeat with nothing before it
        for (bool repeatFirst : {false, true}) {
            BitWriter w;
            w.Put(1, 1);
            w.Put(2, 2);
            w.Put(0, 5);   // 257 literal/length lengths
            w.Put(0, 5);   // 1 distance length
            w.Put(14, 4);  // 18 code-length lengths: 16 17 18 0 8 7 9 6 10 5 11 4 12 3 13 2 14 1
            // Code-length code: symbols 16, 18, 1 and 8 get length 2.
            const int lens[18] = {2, 0, 2, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
            for (int l : lens) w.Put(l, 3);
            // Canonical codes: 1 -> 00, 8 -> 01, 16 -> 10, 18 -> 11.
            if (repeatFirst) w.Code(2, 2), w.Put(0, 2);
            w.Code(1, 2);                                             // length 8 for symbol 0
            for (int i = 0; i < 2; ++i) w.Code(3, 2), w.Put(127, 7);  // 2 x 138 zeros
            EXPECT_EQ(qx::kZxErrData, Inflate(w.Bytes(), 10).Result) << repeatFirst;
        }
    }
    EXPECT_EQ(qx::kZxErrTruncated, Inflate({}, 1).Result);
}

Decoded Unreduce(const std::vector<uint8_t>& s, uint64_t declared, int factor) {
    return Run(s, declared, [factor](qx::TZxInput& in, qx::TZxOutput& out) {
        return qx::ZxUnreduce(in, out, factor);
    });
}

// Follower sets: sizes are sent for 255 down to 0; `sets` gives the non-empty ones.
void PutSets(BitWriter& w, const std::map<int, std::string>& sets) {
    for (int j = 255; j >= 0; --j) {
        auto it = sets.find(j);
        if (it == sets.end()) {
            w.Put(0, 6);
            continue;
        }
        w.Put(static_cast<uint32_t>(it->second.size()), 6);
        for (char c : it->second) w.Byte(static_cast<uint8_t>(c));
    }
}

TEST(Unreduce, OneMemberFollowerSetTakesOneIndexBit) {
    BitWriter w;
    PutSets(w, {{0, "A"}});
    w.Put(0, 1);  // from the set of byte 0 (the initial last byte)
    w.Put(0, 1);  // index 0, one bit
    w.Byte('B');  // 'A' has no followers: a plain byte
    const Decoded d = Unreduce(w.Bytes(), 2, 4);
    EXPECT_EQ(qx::kZxOk, d.Result);
    EXPECT_EQ("AB", d.Data);
}

TEST(Unreduce, DleRunsAndCopiesBeforeTheStartReadZeros) {
    BitWriter w;
    PutSets(w, {});
    for (uint8_t b :
         {uint8_t{'x'}, uint8_t{144}, uint8_t{0}, uint8_t{144}, uint8_t{0x12}, uint8_t{4}})
        w.Byte(b);
    // factor 4: V = 0x12 -> length 2 + 3, distance (1 << 8) + 4 + 1 = 261, before the start.
    const Decoded d = Unreduce(w.Bytes(), 7, 4);
    EXPECT_EQ(qx::kZxOk, d.Result);
    EXPECT_EQ(std::string("x\x90") + std::string(5, '\0'), d.Data);
}

TEST(Unreduce, OversizedSetAndIndexOutsideTheSetAreRefused) {
    {
        BitWriter w;
        w.Put(33, 6);
        EXPECT_EQ(qx::kZxErrData, Unreduce(w.Bytes(), 1, 1).Result);
    }
    {
        BitWriter w;
        PutSets(w, {{0, "abc"}});
        w.Put(0, 1);
        w.Put(3, 2);  // index 3 of a three-member set
        EXPECT_EQ(qx::kZxErrData, Unreduce(w.Bytes(), 1, 2).Result);
    }
    EXPECT_EQ(qx::kZxErrTruncated, Unreduce({0, 0, 0}, 1, 3).Result);
}

Decoded Explode(const std::vector<uint8_t>& s, uint64_t declared) {
    return Run(s, declared, [](qx::TZxInput& in, qx::TZxOutput& out) {
        return qx::ZxExplode(in, out, false, false);
    });
}

// Two trees (length, distance) in which all 64 values take 6 bits: 4 bytes of 16 x length 6.
void FlatTrees(BitWriter& w) {
    for (int t = 0; t < 2; ++t) {
        w.Byte(3);
        for (int i = 0; i < 4; ++i) w.Byte(0xF5);
    }
}

TEST(Explode, ShannonFanoCodesFollowTheLengthOrderAndEarlyCopiesReadZeros) {
    BitWriter w;
    FlatTrees(w);
    // With equal lengths, value v has the code 63 - v (the last value gets all zeros).
    w.Put(1, 1);
    w.Byte('q');        // literal
    w.Put(0, 1);        // copy:
    w.Put(0, 6);        //   low distance bits 0
    w.Code(63 - 0, 6);  //   high distance 0 -> distance 1
    w.Code(63 - 3, 6);  //   length 3 + 2
    w.Put(0, 1);        // copy from before the start:
    w.Put(63, 6);       //   distance (1 << 6 | 63) + 1 = 128
    w.Code(63 - 1, 6);
    w.Code(63 - 0, 6);  //   length 2
    const Decoded d = Explode(w.Bytes(), 8);
    EXPECT_EQ(qx::kZxOk, d.Result);
    EXPECT_EQ(std::string("qqqqqq") + std::string(2, '\0'), d.Data);
}

TEST(Explode, TreesThatDoNotDescribeEveryValueAreRefused) {
    {
        BitWriter w;
        w.Byte(2);  // 3 x 16 values: 48, not 64
        for (int i = 0; i < 3; ++i) w.Byte(0xF5);
        EXPECT_EQ(qx::kZxErrData, Explode(w.Bytes(), 1).Result);
    }
    {
        BitWriter w;  // 64 values of length 1: far more codes than one bit can tell apart
        w.Byte(3);
        for (int i = 0; i < 4; ++i) w.Byte(0xF0);
        EXPECT_EQ(qx::kZxErrData, Explode(w.Bytes(), 1).Result);
    }
}

Decoded Unshrink(const std::vector<uint8_t>& s, uint64_t declared) {
    return Run(s, declared,
               [](qx::TZxInput& in, qx::TZxOutput& out) { return qx::ZxUnshrink(in, out); });
}

TEST(Unshrink, CodesGrowOnRequestAndTheCodeBeingDefinedDecodes) {
    BitWriter w;
    w.Put('a', 9);
    w.Put(257, 9);  // not yet defined: 'a' + 'a'
    w.Put(256, 9);
    w.Put(1, 9);     // from here on 10 bits
    w.Put(258, 10);  // "aa" + 'a'
    w.Put('b', 10);
    const Decoded d = Unshrink(w.Bytes(), 7);
    EXPECT_EQ(qx::kZxOk, d.Result);
    EXPECT_EQ("aaaaaab", d.Data);
}

TEST(Unshrink, UndefinedCodesAndBadControlCodesAreRefused) {
    for (auto codes : std::vector<std::vector<uint32_t>>{{300}, {'a', 300}, {'a', 256, 3}}) {
        BitWriter w;
        for (uint32_t c : codes) w.Put(c, 9);
        EXPECT_EQ(qx::kZxErrData, Unshrink(w.Bytes(), 10).Result);
    }
}

TEST(Unshrink, PartialClearFreesOnlyLeavesAndReusesTheLowestFirst) {
    BitWriter w;
    for (uint32_t c : {uint32_t{'a'}, uint32_t{'b'}, 257u, 257u}) w.Put(c, 9);
    // 257 = "ab", 258 = "ba", 259 = "aba" (a child of 257); output "ababab".
    w.Put(256, 9);
    w.Put(2, 9);    // 258 and 259 are leaves and go; 257 stays
    w.Put('c', 9);  // 258 = "ab" + "c"
    w.Put(258, 9);  // "abc"; 259 = "c" + "a"
    w.Put(259, 9);  // "ca"
    w.Put(257, 9);  // "ab" still defined
    const Decoded d = Unshrink(w.Bytes(), 14);
    EXPECT_EQ(qx::kZxOk, d.Result);
    EXPECT_EQ("abababcabccaab", d.Data);
}

TEST(PkwareHeader, ChecksTheLastDecryptedByte) {
    // A header encrypted with the password "pw" whose check byte is 0x5A.
    zxtest::ScratchDir dir;
    zxtest::WriteFile(dir / "src/a.txt", "secret data");
    ASSERT_EQ(0, zxtest::RunIn(dir / "src", "zip -q -X -P pw ../p.zip a.txt"));
    const std::string zip = zxtest::ReadFile(dir / "p.zip");
    const size_t data = 30 + 5;  // local header + "a.txt", no extra field with -X
    const uint16_t flags = static_cast<uint8_t>(zip[6]) | static_cast<uint8_t>(zip[7]) << 8;
    const uint8_t check =
        (flags & 8) ? static_cast<uint8_t>(zip[11]) : static_cast<uint8_t>(zip[17]);
    uint8_t header[12];
    std::memcpy(header, zip.data() + data, 12);
    EXPECT_TRUE(qx::ZxPkwareHeaderMatches(header, "pw", check));
    EXPECT_FALSE(qx::ZxPkwareHeaderMatches(header, "px", check) &&
                 qx::ZxPkwareHeaderMatches(header, "", check));
}

}  // namespace
