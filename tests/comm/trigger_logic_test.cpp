// Matching, time base and error texts, without a port.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "comm/cx_exception.h"
#include "comm/error_msg.h"
#include "comm/ticks.h"
#include "comm/triggers.h"

namespace qx {
namespace {

// Feeds text through a trigger and returns the 1-based positions of its full matches (the
// dispatcher unmarks a trigger after reporting it; so does this helper).
std::vector<size_t> Matches(const std::string& pattern, const std::string& text,
                            bool ignoreCase = false) {
    TDataTrigger t;
    EXPECT_TRUE(t.SetPattern(pattern, ignoreCase));
    std::vector<size_t> at;
    for (size_t i = 0; i < text.size(); ++i) {
        if (t.Advance(static_cast<uint8_t>(text[i]))) {
            at.push_back(i + 1);
            t.Matched = false;
        }
    }
    return at;
}

TEST(DataTriggerMatching, OverlappingAndRepeatedOccurrencesAreFound) {
    struct Case {
        const char* pattern;
        const char* text;
        std::vector<size_t> ends;
    } cases[] = {
        {"aab", "aaab", {4}},                 // an overlapping candidate must not be lost
        {"abab", "abababab", {4, 8}},         // a full match drops the partial ones
        {"aa", "aaa", {2, 3}},                // the last byte of a match starts the next
        {"Login: ", "xxLogLogin: yy", {12}},  // restart in the middle of a candidate
        {"rz\r", "rz rz\r", {6}},
        {"", "anything", {}},  // empty pattern never fires
        {"a", "aaa", {1, 2, 3}},
        {"ababc", "abababc", {7}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Matches(c.pattern, c.text), c.ends) << c.pattern << " in " << c.text;
}

TEST(DataTriggerMatching, CaseIsRespectedUnlessIgnored) {
    EXPECT_TRUE(Matches("login", "LOGIN").empty());
    EXPECT_EQ(Matches("login", "LOGIN", true), std::vector<size_t>{5});
    EXPECT_EQ(Matches("LoGiN", "xlogin", true), std::vector<size_t>{6});
}

TEST(DataTriggerMatching, PatternLengthIsLimitedTo21Bytes) {
    TDataTrigger t;
    EXPECT_TRUE(t.SetPattern(std::string(21, 'x'), false));
    EXPECT_FALSE(t.SetPattern(std::string(22, 'x'), false));
}

TEST(Ticks, TimersExpireAcrossTheClockWrap) {
    const uint32_t nearWrap = 0xFFFFFFF0u;
    EventTimer t = NewTimer(90, nearWrap);
    EXPECT_FALSE(TimerExpired(t, nearWrap));
    EXPECT_FALSE(TimerExpired(t, nearWrap + 90));  // expiry tick itself: not yet past
    EXPECT_TRUE(TimerExpired(t, nearWrap + 91));
    EXPECT_EQ(TimerRemaining(t, nearWrap + 40), 50);
    EXPECT_EQ(TimerRemaining(t, nearWrap + 200), 0);
    ExtendTimer(t, 10);
    EXPECT_FALSE(TimerExpired(t, nearWrap + 91));
    EXPECT_TRUE(TimerExpired(t, nearWrap + 101));
    EventTimer huge = NewTimer(0x7FFFFFFF, 5);  // capped, so the signed compare holds
    EXPECT_EQ(huge.ExpireTicks - huge.StartTicks, static_cast<uint32_t>(kMaxTimerTicks));
    EXPECT_FALSE(TimerExpired(huge, 5 + 1000000));
}

TEST(Ticks, Conversions) {
    EXPECT_EQ(SecsToTicks(60), 1092);
    EXPECT_EQ(SecsToTicks(1), 18);
    EXPECT_EQ(TicksToSecs(1092), 60);
    EXPECT_EQ(MSecsToTicks(1000), 18);
}

TEST(ErrorTexts, EveryLayerHasItsTextAndUnknownCodesFallBack) {
    EXPECT_EQ(ErrorMsg(0), "OK");
    EXPECT_EQ(ErrorMsg(-2012), "Comport was not opened by Tapi");
    EXPECT_EQ(ErrorMsg(-3006), "Output buffer too small for block");
    EXPECT_EQ(ErrorMsg(-5002), "Data trigger too long");
    EXPECT_EQ(ErrorMsg(-101), "Disk is full");
    EXPECT_EQ(ErrorMsg(-103), "File/device not open");
    EXPECT_EQ(ErrorMsg(-2), "File not found");
    EXPECT_EQ(ErrorMsg(-1005), "ComPort component not assigned");
    EXPECT_EQ(ErrorMsg(4707), "File skipped ");
    EXPECT_EQ(ErrorMsg(-6008), "Too many errors during protocol");
    EXPECT_EQ(ErrorMsg(-13805), "Call unavailable");
    EXPECT_EQ(ErrorMsg(-13929), "TapiMode not set in TCxComPort");
    EXPECT_EQ(ErrorMsg(-28), std::string(std::strerror(28)));
}

TEST(ErrorTexts, NegativeCodesRaiseTheirOwnClass) {
    EXPECT_THROW(RaiseCxError(-3006), EOutputBufferTooSmall);
    EXPECT_THROW(RaiseCxError(-5003), EBadTriggerHandle);
    EXPECT_THROW(RaiseCxError(-2007), ECommNotOpen);
    EXPECT_THROW(RaiseCxError(-5), EInOutError);
    EXPECT_EQ(RaiseCxError(7), 7);
    try {
        RaiseCxError(-6005);
        FAIL();
    } catch (const ECxException& e) {
        EXPECT_EQ(e.ErrorCode, -6005);
        EXPECT_STREQ(e.what(), "Cancel requested");
    }
}

}  // namespace
}  // namespace qx
