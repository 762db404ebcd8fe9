// The telnet layer of a network line: separates the board's own bytes from telnet commands,
// answers the option negotiation, and escapes what we send.
//
// We want binary mode both ways (so ZMODEM data with every byte value passes) and
// suppress-go-ahead both ways; every other option is refused. Until the board agrees to send
// in binary mode it sends text as a network virtual terminal: CR NUL stands for a bare CR (the
// NUL is dropped), CR LF passes as it is. Until it agrees to receive in binary mode our CRs go
// out as CR NUL. 0xFF is doubled on the way out and undone on the way in. Commands and CR pairs
// may be split anywhere across reads.
//
// Not thread-safe: one connection's relay owns one codec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qx {

class TTelnetCodec {
  public:
    enum : uint8_t {
        kIac = 255,
        kDont = 254,
        kDo = 253,
        kWont = 252,
        kWill = 251,
        kSb = 250,
        kSe = 240,
        kOptBinary = 0,
        kOptSga = 3,
    };

    // Our opening requests: WILL and DO for binary mode and suppress-go-ahead.
    std::string Start();
    // Takes bytes from the board: appends its own bytes to data and our answers to reply.
    void Decode(const uint8_t* in, size_t len, std::string& data, std::string& reply);
    // Appends our bytes, escaped for the board, to out.
    void Encode(const uint8_t* in, size_t len, std::string& out) const;

    // The board sends, resp. takes, binary data.
    bool BinaryIn() const { return him_[kOptBinary] == Q::kYes; }
    bool BinaryOut() const { return us_[kOptBinary] == Q::kYes; }

  private:
    // One side of one option: off, asked for and not yet answered, on.
    enum class Q : uint8_t { kNo, kWantYes, kYes };
    enum class State : uint8_t { kData, kCr, kIac, kOption, kSub, kSubIac };

    static bool Supported(uint8_t option) { return option == kOptBinary || option == kOptSga; }
    void Negotiate(uint8_t command, uint8_t option, std::string& reply);

    State state_ = State::kData;
    uint8_t command_ = 0;  // the WILL/WONT/DO/DONT whose option byte comes next
    Q us_[256] = {};       // what we do (the board's DO/DONT)
    Q him_[256] = {};      // what the board does (its WILL/WONT)
};

}  // namespace qx
