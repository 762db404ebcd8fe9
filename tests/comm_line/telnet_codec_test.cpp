// The telnet layer of network lines: negotiation answers that never loop, 0xFF and CR NUL
// both ways, and commands split anywhere across reads.
#include "platform/telnet_codec.h"

#include <gtest/gtest.h>

#include <string>

namespace qx {
namespace {

constexpr char kIac = '\xFF';

std::string Cmd(uint8_t command, uint8_t option) {
    return {kIac, static_cast<char>(command), static_cast<char>(option)};
}

struct Decoded {
    std::string data, reply;
};

// Feeds input in pieces of at most chunk bytes.
Decoded Feed(TTelnetCodec& codec, const std::string& input, size_t chunk = 1 << 20) {
    Decoded d;
    for (size_t i = 0; i < input.size(); i += chunk) {
        const std::string piece = input.substr(i, chunk);
        codec.Decode(reinterpret_cast<const uint8_t*>(piece.data()), piece.size(), d.data, d.reply);
    }
    return d;
}

std::string Encode(const TTelnetCodec& codec, const std::string& in) {
    std::string out;
    codec.Encode(reinterpret_cast<const uint8_t*>(in.data()), in.size(), out);
    return out;
}

// A codec whose binary and suppress-go-ahead offers the board has accepted.
TTelnetCodec Negotiated() {
    TTelnetCodec codec;
    codec.Start();
    using T = TTelnetCodec;
    Feed(codec, Cmd(T::kDo, T::kOptBinary) + Cmd(T::kWill, T::kOptBinary) +
                    Cmd(T::kDo, T::kOptSga) + Cmd(T::kWill, T::kOptSga));
    return codec;
}

TEST(TelnetCodec, NegotiationAnswers) {
    using T = TTelnetCodec;
    struct Case {
        const char* what;
        std::string in, reply;
    };
    const Case cases[] = {
        {"accepted offers are not answered again", Cmd(T::kDo, 0) + Cmd(T::kWill, 0), ""},
        {"refused offers are not answered", Cmd(T::kDont, 0) + Cmd(T::kWont, 3), ""},
        {"unknown options are refused", Cmd(T::kDo, 24) + Cmd(T::kWill, 1) + Cmd(T::kDo, 31),
         Cmd(T::kWont, 24) + Cmd(T::kDont, 1) + Cmd(T::kWont, 31)},
        {"switching an unknown option off needs no answer", Cmd(T::kDont, 24) + Cmd(T::kWont, 1),
         ""},
        {"sub-negotiation and other commands are skipped",
         std::string{kIac, '\xFA', 24, 1, kIac, '\xF0', kIac, '\xF1', kIac, '\xF9'}, ""},
    };
    for (const Case& c : cases) {
        TTelnetCodec codec;
        const std::string start = codec.Start();
        EXPECT_EQ(start, Cmd(T::kWill, 0) + Cmd(T::kDo, 0) + Cmd(T::kWill, 3) + Cmd(T::kDo, 3));
        const Decoded d = Feed(codec, c.in);
        EXPECT_EQ(d.reply, c.reply) << c.what;
        EXPECT_EQ(d.data, "") << c.what;
    }
    // Asked by the board first, an option we support is accepted once; switched off later,
    // it is acknowledged once.
    TTelnetCodec codec = Negotiated();
    EXPECT_TRUE(codec.BinaryIn() && codec.BinaryOut());
    EXPECT_EQ(Feed(codec, Cmd(T::kDo, 0)).reply, "");
    EXPECT_EQ(Feed(codec, Cmd(T::kDont, 0)).reply, Cmd(T::kWont, 0));
    EXPECT_FALSE(codec.BinaryOut());
    EXPECT_EQ(Feed(codec, Cmd(T::kDo, 0)).reply, Cmd(T::kWill, 0));
}

TEST(TelnetCodec, EveryByteValuePassesBothWaysWithCommandsSplitAcrossReads) {
    std::string plain;
    for (int round = 0; round < 3; ++round) {
        for (int b = 0; b < 256; ++b) plain += static_cast<char>(b);
        plain += std::string(17, kIac) + "\r\n\r" + std::string(1, '\0');
    }
    TTelnetCodec sender = Negotiated();
    const std::string wire = Encode(sender, plain);
    EXPECT_EQ(wire.size(), plain.size() + 3 * (1 + 17));  // each 0xFF doubled, nothing else
    // A negotiation in the middle of the stream is answered and taken out of the data.
    const std::string mixed = wire.substr(0, 300) + Cmd(TTelnetCodec::kDo, 24) + wire.substr(300);
    for (size_t chunk : {size_t{1}, size_t{2}, size_t{3}, size_t{255}, size_t{1} << 20}) {
        TTelnetCodec receiver = Negotiated();
        const Decoded d = Feed(receiver, mixed, chunk);
        EXPECT_EQ(d.data, plain) << "chunk " << chunk;
        EXPECT_EQ(d.reply, Cmd(TTelnetCodec::kWont, 24)) << "chunk " << chunk;
    }
}

TEST(TelnetCodec, TextModeTurnsCrNulIntoCrAndSendsCrAsCrNul) {
    TTelnetCodec codec;  // the board never agreed to binary mode
    codec.Start();
    const std::string in = std::string("? 3>\r\0", 6) + "\r\nA\r" + std::string(1, '\0') + "B";
    for (size_t chunk : {size_t{1}, size_t{5}, size_t{64}}) {
        TTelnetCodec c;
        c.Start();
        EXPECT_EQ(Feed(c, in, chunk).data, "? 3>\r\r\nA\rB") << "chunk " << chunk;
    }
    EXPECT_EQ(Encode(codec, "user\r"), std::string("user\r\0", 6));
    EXPECT_EQ(Encode(codec, "\xFF\r\n"), std::string("\xFF\xFF\r\0\n", 5));
    // In binary mode CR NUL is data like any other.
    TTelnetCodec binary = Negotiated();
    EXPECT_EQ(Feed(binary, std::string("\r\0", 2)).data, std::string("\r\0", 2));
    EXPECT_EQ(Encode(binary, "\r"), "\r");
}

}  // namespace
}  // namespace qx
