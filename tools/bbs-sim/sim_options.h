#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "board_timing.h"

namespace bbssim {

// What the modem answers to one dialled number.
struct DialResult {
    enum class Kind { Connect, Busy, NoCarrier, NoAnswer, NoDialtone, Error, Silent };
    Kind kind = Kind::Connect;
    int speed = 33600;  // only for Connect
};

// Parses "connect", "connect:14400", "busy", "no-carrier", "no-answer", "no-dialtone", "error",
// "silent". Returns nothing for anything else.
std::optional<DialResult> ParseDialResult(const std::string& text);

// Keeps the characters of a dial string that select a number: digits, '*', '#' and '+'.
// Separators and dial modifiers (blanks, '-', '(', ')', ',', 'W', '@', '!', ';') are dropped.
std::string NormaliseNumber(const std::string& dialString);

struct SimOptions {
    std::string link;                           // --link: symbolic link to the current slave
    std::map<std::string, DialResult> numbers;  // --number N=RESULT, keys normalised
    DialResult defaultResult;                   // --default RESULT
    double dialDelaySeconds = 0.0;              // --dial-delay
    int promptDelayMs = 500;                    // --prompt-delay: banner after CONNECT
    int senderDelayMs = 300;                    // --sender-delay: "%C; Ready" to sz start
    int hangupDelayMs = 500;                    // --hangup-delay: drain time before a drop
    int guardMs = 1000;                         // --guard-ms: "+++" escape guard time
    std::optional<std::string> user;            // --user (any name when absent)
    std::optional<std::string> password;        // --password (any password when absent)
    std::string filesDir;                       // --files
    bool silent = false;                        // --silent: the board never prompts
    bool quietStart = false;                    // --quiet-start: first prompt only after CR
    bool failLogin = false;                     // --fail-login
    std::int64_t dropAfterBytes = -1;           // --drop-after-bytes (-1: never)
    int dropCalls = 1;                          // --drop-calls (0: every call)
    double noiseRate = 0.0;                     // --noise
    std::uint32_t seed = 1;                     // --seed
    std::string logPath;                        // --log
    bool once = false;                          // --once
    std::string szPath = "sz";                  // --sz
    std::string listen;                         // --listen [HOST:]PORT: callers over TCP
    bool telnet = false;                        // --telnet: callers speak telnet
    bool help = false;                          // --help
    bool version = false;                       // --version
    BoardTiming timing;                         // real-board timings (board_timing.h)
};

// Parses argv. On a bad argument returns nothing and puts the reason into error.
std::optional<SimOptions> ParseOptions(int argc, char** argv, std::string& error);

const char* HelpText();

}  // namespace bbssim
