#include "telnet_codec.h"

#include <cstring>

namespace qx {

namespace {

void Append3(std::string& out, uint8_t a, uint8_t b, uint8_t c) {
    const char bytes[3] = {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)};
    out.append(bytes, 3);
}

}  // namespace

std::string TTelnetCodec::Start() {
    std::string out;
    for (uint8_t option : {kOptBinary, kOptSga}) {
        us_[option] = Q::kWantYes;
        him_[option] = Q::kWantYes;
        Append3(out, kIac, kWill, option);
        Append3(out, kIac, kDo, option);
    }
    return out;
}

// Answers so that neither side ever repeats itself (no negotiation loops): a request for the
// state an option is already in gets no answer, the answer to our own request none either.
void TTelnetCodec::Negotiate(uint8_t command, uint8_t option, std::string& reply) {
    const bool toUs = command == kDo || command == kDont;
    Q& q = toUs ? us_[option] : him_[option];
    const bool wantOn = command == kDo || command == kWill;
    const uint8_t yes = toUs ? kWill : kDo;
    const uint8_t no = toUs ? kWont : kDont;
    if (wantOn) {
        if (q == Q::kYes) return;
        if (q == Q::kWantYes) {
            q = Q::kYes;
        } else if (Supported(option)) {
            q = Q::kYes;
            Append3(reply, kIac, yes, option);
        } else {
            Append3(reply, kIac, no, option);
        }
    } else {
        if (q == Q::kNo) return;
        const bool answer = q == Q::kYes;  // a refusal of our request needs no answer
        q = Q::kNo;
        if (answer) Append3(reply, kIac, no, option);
    }
}

void TTelnetCodec::Decode(const uint8_t* in, size_t len, std::string& data, std::string& reply) {
    const uint8_t* p = in;
    const uint8_t* end = in + len;
    while (p < end) {
        switch (state_) {
            case State::kData: {
                // The common case: a run of plain bytes, copied in one piece.
                const uint8_t* stop =
                    static_cast<const uint8_t*>(std::memchr(p, kIac, static_cast<size_t>(end - p)));
                if (!BinaryIn()) {
                    const uint8_t* cr = static_cast<const uint8_t*>(
                        std::memchr(p, '\r', static_cast<size_t>((stop ? stop : end) - p)));
                    if (cr != nullptr) {
                        data.append(reinterpret_cast<const char*>(p),
                                    static_cast<size_t>(cr - p) + 1);
                        p = cr + 1;
                        state_ = State::kCr;
                        break;
                    }
                }
                const uint8_t* runEnd = stop ? stop : end;
                data.append(reinterpret_cast<const char*>(p), static_cast<size_t>(runEnd - p));
                p = runEnd;
                if (stop != nullptr) {
                    state_ = State::kIac;
                    ++p;
                }
                break;
            }
            case State::kCr:
                state_ = State::kData;
                if (*p == 0) ++p;  // CR NUL: a bare CR
                break;
            case State::kIac: {
                const uint8_t c = *p++;
                if (c == kIac) {
                    data.push_back(static_cast<char>(kIac));
                    state_ = State::kData;
                } else if (c >= kWill && c <= kDont) {
                    command_ = c;
                    state_ = State::kOption;
                } else if (c == kSb) {
                    state_ = State::kSub;
                } else {
                    state_ = State::kData;  // NOP, GA, DM, AYT, ...: nothing to do
                }
                break;
            }
            case State::kOption:
                Negotiate(command_, *p++, reply);
                state_ = State::kData;
                break;
            case State::kSub:
                // Subnegotiation of an option we refused: skipped up to IAC SE.
                if (*p++ == kIac) state_ = State::kSubIac;
                break;
            case State::kSubIac:
                state_ = *p++ == kSe ? State::kData : State::kSub;
                break;
        }
    }
}

void TTelnetCodec::Encode(const uint8_t* in, size_t len, std::string& out) const {
    const bool binary = BinaryOut();
    const uint8_t* p = in;
    const uint8_t* end = in + len;
    while (p < end) {
        const uint8_t* stop =
            static_cast<const uint8_t*>(std::memchr(p, kIac, static_cast<size_t>(end - p)));
        if (!binary) {
            const uint8_t* cr = static_cast<const uint8_t*>(
                std::memchr(p, '\r', static_cast<size_t>((stop ? stop : end) - p)));
            if (cr != nullptr) {
                out.append(reinterpret_cast<const char*>(p), static_cast<size_t>(cr - p) + 1);
                out.push_back('\0');
                p = cr + 1;
                continue;
            }
        }
        const uint8_t* runEnd = stop ? stop + 1 : end;
        out.append(reinterpret_cast<const char*>(p), static_cast<size_t>(runEnd - p));
        if (stop != nullptr) out.push_back(static_cast<char>(kIac));
        p = runEnd;
    }
}

}  // namespace qx
