// The receive engine driven step by step with hand-made frames: the rules a real sender rarely
// exercises (cancels, oversize and stale frames, refused names, give-up bounds).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "mem_dispatcher.h"
#include "platform/files.h"
#include "protocol/zmodem_crc.h"
#include "protocol/zmodem_file.h"
#include "protocol/zmodem_receiver.h"

namespace qx::test {
namespace {

using namespace zm;

// --- the sender's side of the framing, written from the protocol description ----------------

std::string Esc(uint8_t b) {
    switch (b) {
        case ZDLE:
        case 0x10:
        case 0x90:
        case XON:
        case XON | 0x80:
        case XOFF:
        case XOFF | 0x80:
            return std::string{static_cast<char>(ZDLE), static_cast<char>(b ^ 0x40)};
        default:
            return std::string(1, static_cast<char>(b));
    }
}

std::array<uint8_t, 4> Pos(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

std::string BinHeader32(uint8_t type, std::array<uint8_t, 4> b) {
    uint8_t raw[5] = {type, b[0], b[1], b[2], b[3]};
    const uint32_t crc = ~Crc32(raw, 5);
    std::string s =
        "*\x18"
        "C";
    for (uint8_t c : raw) s += Esc(c);
    for (int i = 0; i < 4; ++i) s += Esc(static_cast<uint8_t>(crc >> (8 * i)));
    return s;
}

std::string HexHeader(uint8_t type, std::array<uint8_t, 4> b) {
    uint8_t raw[5] = {type, b[0], b[1], b[2], b[3]};
    const uint16_t crc = Crc16(raw, 5);
    char buf[32];
    std::snprintf(buf, sizeof buf,
                  "**\x18"
                  "B%02x%02x%02x%02x%02x%04x\r\n",
                  raw[0], raw[1], raw[2], raw[3], raw[4], crc);
    return buf;
}

// A data subpacket; after a hex header the check is CRC-16, after a 'C' header CRC-32.
std::string Subpacket(const std::string& data, uint8_t end, bool crc32 = true) {
    std::string s;
    for (char c : data) s += Esc(static_cast<uint8_t>(c));
    s += static_cast<char>(ZDLE);
    s += static_cast<char>(end);
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    if (crc32) {
        const uint32_t crc = ~Crc32Update(Crc32(bytes, data.size()), end);
        for (int i = 0; i < 4; ++i) s += Esc(static_cast<uint8_t>(crc >> (8 * i)));
    } else {
        const uint16_t crc = Crc16(&end, 1, Crc16(bytes, data.size()));
        s += Esc(static_cast<uint8_t>(crc >> 8));
        s += Esc(static_cast<uint8_t>(crc & 0xFF));
    }
    return s;
}

// Hex headers the receiver sent, as (type, position) pairs.
std::vector<std::pair<int, uint32_t>> SentHeaders(const std::string& out) {
    std::vector<std::pair<int, uint32_t>> h;
    for (size_t at = out.find("**\x18"
                              "B");
         at != std::string::npos; at = out.find("**\x18"
                                                "B",
                                                at + 4)) {
        if (at + 14 > out.size()) break;
        const int type = std::stoi(out.substr(at + 4, 2), nullptr, 16);
        uint32_t pos = 0;
        for (int i = 0; i < 4; ++i)
            pos |= static_cast<uint32_t>(std::stoi(out.substr(at + 6 + 2 * i, 2), nullptr, 16))
                   << (8 * i);
        h.emplace_back(type, pos);
    }
    return h;
}

int CountType(const std::string& out, int type) {
    int n = 0;
    for (auto& h : SentHeaders(out)) n += h.first == type;
    return n;
}

// --- the program's side ---------------------------------------------------------------------

struct Recorder : TProtocolEvents {
    std::vector<std::string> Events;
    std::function<bool(std::string&)> Accept = [](std::string&) { return true; };
    int Finish = 1;
    bool Finished = false;
    void ProtocolStatus(TProtocolData&, unsigned o) override {
        if (o) Events.push_back("S" + std::to_string(o));
    }
    void ProtocolLog(TProtocolData&, int c) override { Events.push_back("L" + std::to_string(c)); }
    bool ProtocolAccept(TProtocolData&, std::string& path) override {
        Events.push_back("A:" + BareName(path));
        return Accept(path);
    }
    void ProtocolError(TProtocolData&, int c) override {
        Events.push_back("E" + std::to_string(c));
    }
    void ProtocolFinish(TProtocolData&, int c) override {
        Events.push_back("F" + std::to_string(c));
        Finish = c;
        Finished = true;
    }
    int Count(const std::string& e) const {
        return static_cast<int>(std::count(Events.begin(), Events.end(), e));
    }
};

class Engine : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qx_zm_engine_XXXXXX";
        dir_ = mkdtemp(tmpl);
        p_ = std::make_shared<TProtocolData>();
        ASSERT_EQ(zpReinit(*p_), 0);
        p_->Port = &port_;
        p_->Events = &rec_;
        p_->DestDirectory = dir_;
        zpSetFileMgmtOptions(*p_, true, false, zfoWriteDifferent);
        zpSetZmodemFinishWait(*p_, 0, 0);
        zpStartReceive(p_);
    }
    void TearDown() override {
        if (p_->Running) {  // leave nothing registered for the next test
            std::lock_guard lock(p_->Lock);
            p_->PortClosing = true;
            zpReceiveOn(*p_, MsgProtocolCancel, 0);
        }
        std::filesystem::remove_all(dir_);
    }

    void Feed(const std::string& bytes) {
        port_.In.insert(port_.In.end(), bytes.begin(), bytes.end());
        std::lock_guard lock(p_->Lock);
        zpReceiveOn(*p_, MsgTriggerAvail, static_cast<unsigned>(bytes.size()));
    }
    void FireProtocolTimer() {
        std::lock_guard lock(p_->Lock);
        zpReceiveOn(*p_, MsgTriggerTimer, static_cast<unsigned>(p_->ProtocolTimer));
    }
    // Up to the ZRPOS that asks for the data of a file with this ZFILE subpacket.
    void OfferFile(const std::string& info) {
        FireProtocolTimer();  // first ZRINIT
        Feed(BinHeader32(ZFILE, {0, 0, 0, 0}) + Subpacket(info, ZCRCW));
    }
    TZmodemState State() {
        std::lock_guard lock(p_->Lock);
        return p_->State;
    }

    std::string dir_;
    MemDispatcher port_;
    Recorder rec_;
    std::shared_ptr<TProtocolData> p_;
};

TEST(ZmodemCrc, KnownCheckValues) {
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc16(digits, 9), 0x31C3);
    EXPECT_EQ(~Crc32(digits, 9), 0xCBF43926u);
    // A frame followed by its own check leaves the fixed residue.
    const uint32_t c = ~Crc32(digits, 9);
    uint8_t tail[4] = {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8),
                       static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 24)};
    EXPECT_EQ(Crc32(tail, 4, Crc32(digits, 9)), kCrc32Residue);
}

TEST_F(Engine, SilentSenderGetsElevenZrinitsThenFailsWith6008) {
    for (int i = 0; i < 30 && !rec_.Finished; ++i) FireProtocolTimer();
    ASSERT_TRUE(rec_.Finished);
    EXPECT_EQ(CountType(port_.Out, ZRINIT), 11);
    EXPECT_EQ(rec_.Finish, -6008);
    EXPECT_EQ(rec_.Count("E-6008"), 1);
    EXPECT_EQ(rec_.Events.back(), "F-6008");
    EXPECT_EQ(rec_.Events[rec_.Events.size() - 2], "S2");
}

TEST_F(Engine, WholeFileThenFinishLeavesDataAndTimeAndCode0) {
    OfferFile(
        std::string("dir/sub/name.zip\0"
                    "11 14524770400\0",
                    33));
    ASSERT_EQ(State(), rzStartData);
    EXPECT_EQ(SentHeaders(port_.Out).back(), std::make_pair(int{ZRPOS}, 0u));
    Feed(BinHeader32(ZDATA, Pos(0)) + Subpacket("hello ", ZCRCG) + Subpacket("world", ZCRCE) +
         BinHeader32(ZEOF, Pos(11)));
    EXPECT_EQ(rec_.Count("L1"), 1);
    EXPECT_EQ(rec_.Count("A:NAME.ZIP"), 1);  // directory dropped, upper-cased
    const std::string path = JoinPath(dir_, "NAME.ZIP");
    std::ifstream f(path);
    std::string got((std::istreambuf_iterator<char>(f)), {});
    EXPECT_EQ(got, "hello world");
    DirEntry e;
    ASSERT_TRUE(GetFileInfo(path, e));
    EXPECT_EQ(e.ModifyTime, 014524770400);
    FireProtocolTimer();  // ZRINIT for the next file
    Feed(HexHeader(ZFIN, {0, 0, 0, 0}));
    EXPECT_EQ(CountType(port_.Out, ZFIN), 1);
    Feed("OO");
    ASSERT_TRUE(rec_.Finished);
    EXPECT_EQ(rec_.Finish, 0);
}

// What the board sends after the transfer is the program's: with or without the sender's "OO",
// it stays unread in the port, and the transfer ends at once, not after the finish wait.
TEST_F(Engine, BoardTextAfterZfinStaysInThePortAndEndsTheTransferAtOnce) {
    for (const std::string oo : {"OO", ""}) {
        SCOPED_TRACE("after ZFIN: \"" + oo + "\"");
        TearDown();
        SetUp();
        FireProtocolTimer();
        Feed(HexHeader(ZFIN, {0, 0, 0, 0}));
        Feed(oo + "Name? 3>");
        ASSERT_TRUE(rec_.Finished);
        EXPECT_EQ(rec_.Finish, 0);
        EXPECT_EQ(std::string(port_.In.begin(), port_.In.end()), "Name? 3>");
    }
}

// The sender gives up on a damaged subpacket and cancels while the receiver resyncs.
TEST_F(Engine, CancelArrivingWithADamagedSubpacketIsHeard) {
    OfferFile(
        std::string("c.bin\0"
                    "100 0\0",
                    12));
    std::string bad = Subpacket("abc", ZCRCG);
    bad[1] ^= 0x01;
    Feed(BinHeader32(ZDATA, Pos(0)) + bad + std::string(8, '\x18') + std::string(8, '\b'));
    ASSERT_TRUE(rec_.Finished);
    EXPECT_EQ(rec_.Finish, -6005);
}

TEST_F(Engine, FiveCansCancelButFourAndAnotherByteDoNot) {
    OfferFile(
        std::string("c.bin\0"
                    "100 0\0",
                    12));
    Feed(BinHeader32(ZDATA, Pos(0)) + std::string(4, '\x18') + "A");
    EXPECT_FALSE(rec_.Finished);
    Feed(std::string(5, '\x18'));
    ASSERT_TRUE(rec_.Finished);
    EXPECT_EQ(rec_.Finish, -6005);
    EXPECT_EQ(rec_.Count("L2"), 1);
    EXPECT_EQ(rec_.Count("L1"), 0);
}

TEST_F(Engine, OversizeSubpacketIsRefusedWithZrposAtTheSameOffset) {
    OfferFile(
        std::string("big.bin\0"
                    "3000 0\0",
                    15));
    Feed(BinHeader32(ZDATA, Pos(0)) + Subpacket(std::string(1000, 'a'), ZCRCG));
    // Plain bytes, bytes that travel escaped, and a mix that ends on an escape.
    for (const std::string& data :
         {std::string(1025, 'b'), std::string(1025, '\x18'), std::string(1024, 'c') + '\x11'}) {
        SCOPED_TRACE(static_cast<int>(static_cast<uint8_t>(data.back())));
        if (p_->ProtocolStatus == psLongPacket) Feed(BinHeader32(ZDATA, Pos(1000)));
        Feed(Subpacket(data, ZCRCG));
        EXPECT_EQ(p_->ProtocolStatus, psLongPacket);
        EXPECT_EQ(SentHeaders(port_.Out).back(), std::make_pair(int{ZRPOS}, 1000u));
        EXPECT_EQ(p_->FileOfs, 1000);
    }
}

TEST_F(Engine, ZeofAtAnotherOffsetAsksAgainInsteadOfClosing) {
    OfferFile(
        std::string("e.bin\0"
                    "10 0\0",
                    11));
    Feed(BinHeader32(ZDATA, Pos(0)) + Subpacket("12345", ZCRCE));
    Feed(BinHeader32(ZEOF, Pos(10)));
    EXPECT_EQ(rec_.Count("L1"), 0);
    EXPECT_TRUE(p_->FileOpen);
    EXPECT_EQ(SentHeaders(port_.Out).back(), std::make_pair(int{ZRPOS}, 5u));
    // A ZEOF crossing our ZRPOS is stale and ignored.
    Feed(BinHeader32(ZEOF, Pos(5)));
    EXPECT_EQ(rec_.Count("L1"), 0);
    Feed(BinHeader32(ZDATA, Pos(5)) + Subpacket("67890", ZCRCE) + BinHeader32(ZEOF, Pos(10)));
    EXPECT_EQ(rec_.Count("L1"), 1);
}

TEST_F(Engine, CommandsAreRefusedAndFreeSpaceIsAnswered) {
    FireProtocolTimer();
    Feed(HexHeader(ZCOMMAND, {0, 0, 0, 0}));
    EXPECT_EQ(SentHeaders(port_.Out).back().first, ZNAK);
    Feed(HexHeader(ZFREECNT, {0, 0, 0, 0}));
    const auto last = SentHeaders(port_.Out).back();
    EXPECT_EQ(last.first, ZACK);
    const int64_t free = FreeDiskSpace(dir_);
    EXPECT_EQ(last.second, free > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<uint32_t>(free));
    EXPECT_FALSE(rec_.Finished);
}

TEST_F(Engine, UnsafeNamesAreSkippedWithoutAskingAndTheNextRequestIsZrinit) {
    for (const std::string name : {"..", ".", "", "bad\x01name", "dir/"}) {
        const size_t before = port_.Out.size();
        OfferFile(name + std::string("\0"
                                     "5 0\0",
                                     5));
        FireProtocolTimer();  // the answer goes out after the short delay
        const auto sent = SentHeaders(port_.Out.substr(before));
        ASSERT_FALSE(sent.empty()) << name;
        EXPECT_EQ(sent.back().first, ZSKIP) << name;
    }
    EXPECT_EQ(rec_.Count("L3"), 5);
    EXPECT_EQ(std::count_if(rec_.Events.begin(), rec_.Events.end(),
                            [](const std::string& e) { return e.rfind("A:", 0) == 0; }),
              0);
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
    // A time-out after the skip asks with ZRINIT again, not with another ZSKIP.
    FireProtocolTimer();
    FireProtocolTimer();
    EXPECT_EQ(SentHeaders(port_.Out).back().first, ZRINIT);
}

TEST_F(Engine, ExistingFileIsProtectedWhenTheSenderSaysNothingAndOverrideIsOff) {
    zpSetFileMgmtOptions(*p_, false, false, zfoWriteDifferent);
    { std::ofstream(JoinPath(dir_, "P.TXT")) << "mine"; }
    OfferFile(
        std::string("p.txt\0"
                    "3 0\0",
                    10));  // ZF1 = 0 in the header
    FireProtocolTimer();
    EXPECT_EQ(rec_.Count("L3"), 1);
    EXPECT_EQ(SentHeaders(port_.Out).back().first, ZSKIP);
    std::ifstream f(JoinPath(dir_, "P.TXT"));
    std::string got((std::istreambuf_iterator<char>(f)), {});
    EXPECT_EQ(got, "mine");
}

TEST_F(Engine, FileInformationThatNeverArrivesFailsWith6008NotSuccess) {
    FireProtocolTimer();
    Feed(BinHeader32(ZFILE, {0, 0, 0, 0}));  // no subpacket follows
    for (int i = 0; i < 30 && !rec_.Finished; ++i) FireProtocolTimer();
    ASSERT_TRUE(rec_.Finished);
    EXPECT_EQ(rec_.Finish, -6008);
    EXPECT_GE(CountType(port_.Out, ZNAK), 1);
}

TEST_F(Engine, DataPhaseWithoutProgressEndsWith6008) {
    OfferFile(
        std::string("stuck.bin\0"
                    "100 0\0",
                    16));
    // Line noise in every wait: the sender is there but gets nothing through.
    for (int i = 0; i < 100 && !rec_.Finished; ++i) {
        Feed("~");
        FireProtocolTimer();
    }
    ASSERT_TRUE(rec_.Finished);
    EXPECT_EQ(rec_.Finish, -6008);
    EXPECT_EQ(rec_.Count("L2"), 1);
    EXPECT_EQ(rec_.Count("L1"), 0);
    // Ten retries after the first request, then the cancel.
    EXPECT_EQ(CountType(port_.Out, ZRPOS), 11);
}

TEST_F(Engine, AttentionStringFromZsinitPrecedesEveryResync) {
    FireProtocolTimer();
    Feed(HexHeader(ZSINIT, {0, 0, 0, TESCCTL}) + "\x11" +
         Subpacket(std::string("AT!\0", 4), ZCRCW, false));
    EXPECT_EQ(SentHeaders(port_.Out).back().first, ZACK);
    EXPECT_TRUE(p_->EscapeAll);
    FireProtocolTimer();
    Feed(BinHeader32(ZFILE, {0, 0, 0, 0}) + Subpacket(std::string("z.bin\0"
                                                                  "9 0\0",
                                                                  11),
                                                      ZCRCW));
    std::string bad = Subpacket("abc", ZCRCG);
    bad[1] ^= 0x01;  // damaged data byte: the check fails
    const size_t before = port_.Out.size();
    Feed(BinHeader32(ZDATA, Pos(0)) + bad);
    const std::string after = port_.Out.substr(before);
    const size_t attn = after.find("AT!");
    ASSERT_NE(attn, std::string::npos);
    EXPECT_LT(attn, after.find("**\x18"
                               "B09"));
}

TEST_F(Engine, LocalCancelClosesTheFileAsFailed) {
    OfferFile(
        std::string("x.bin\0"
                    "100 0\0",
                    12));
    Feed(BinHeader32(ZDATA, Pos(0)) + Subpacket("abc", ZCRCG));
    {
        std::lock_guard lock(p_->Lock);
        zpReceiveOn(*p_, MsgProtocolCancel, 0);
    }
    ASSERT_TRUE(rec_.Finished);
    EXPECT_EQ(rec_.Finish, -6005);
    EXPECT_EQ(rec_.Count("L2"), 1);
    EXPECT_NE(port_.Out.find(std::string(8, '\x18') + std::string(8, '\b')), std::string::npos);
}

TEST(ZmodemFileInfo, FieldsAndTheirAbsence) {
    const std::string full(
        "a.zip\0"
        "1234 14524770400 100644\0",
        30);
    TFileInfo i = ParseFileInfo(reinterpret_cast<const uint8_t*>(full.data()), full.size());
    EXPECT_EQ(i.Name, "a.zip");
    EXPECT_EQ(i.Size, 1234);
    EXPECT_EQ(i.Date, 014524770400);
    const std::string bare("b.zip\0", 6);
    i = ParseFileInfo(reinterpret_cast<const uint8_t*>(bare.data()), bare.size());
    EXPECT_EQ(i.Size, 0);
    EXPECT_FALSE(i.HasDate);
    EXPECT_LE(std::abs(i.Date - std::time(nullptr)), 5);
    const std::string junk(
        "c\0"
        "12x 99\0",
        9);
    i = ParseFileInfo(reinterpret_cast<const uint8_t*>(junk.data()), junk.size());
    EXPECT_EQ(i.Size, 0);
}

TEST(ZmodemFileNames, OnlySafeBareNamesAreWritten) {
    EXPECT_EQ(LocalFileName("dir/sub/name.zip", true, false), "NAME.ZIP");
    EXPECT_EQ(LocalFileName("c:\\temp\\x.zip", true, false), "X.ZIP");
    EXPECT_EQ(LocalFileName("keep.Case", false, false), "keep.Case");
    for (const char* bad : {"", ".", "..", "a/..", "tab\tname", "del\x7f"})
        EXPECT_EQ(LocalFileName(bad, true, false), "") << bad;
    EXPECT_EQ(LocalFileName("sub/ok.zip", true, true), "SUB/OK.ZIP");
    EXPECT_EQ(LocalFileName("/etc/passwd", true, true), "");
    EXPECT_EQ(LocalFileName("a/../../x", true, true), "");
}

}  // namespace
}  // namespace qx::test
