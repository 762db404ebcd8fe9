#include "sim_options.h"

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <string_view>

namespace bbssim {
namespace {

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

template <typename T>
bool ParseInt(const std::string& text, T& out) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && !text.empty();
}

bool ParseDouble(const std::string& text, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && out >= 0.0;
}

}  // namespace

std::optional<DialResult> ParseDialResult(const std::string& text) {
    const std::string t = Lower(text);
    DialResult r;
    if (t == "connect") return r;
    if (t.rfind("connect:", 0) == 0) {
        if (!ParseInt(t.substr(8), r.speed) || r.speed <= 0) return std::nullopt;
        return r;
    }
    static const std::map<std::string, DialResult::Kind> kinds = {
        {"busy", DialResult::Kind::Busy},          {"no-carrier", DialResult::Kind::NoCarrier},
        {"no-answer", DialResult::Kind::NoAnswer}, {"no-dialtone", DialResult::Kind::NoDialtone},
        {"error", DialResult::Kind::Error},        {"silent", DialResult::Kind::Silent},
    };
    const auto it = kinds.find(t);
    if (it == kinds.end()) return std::nullopt;
    r.kind = it->second;
    return r;
}

std::string NormaliseNumber(const std::string& dialString) {
    std::string out;
    for (const char c : dialString) {
        if (std::isdigit(static_cast<unsigned char>(c)) || c == '*' || c == '#' || c == '+') {
            out += c;
        }
    }
    return out;
}

std::optional<SimOptions> ParseOptions(int argc, char** argv, std::string& error) {
    SimOptions o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasInlineValue = false;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasInlineValue = true;
        }
        // Fetches the option's value from "--opt=value" or the next argument.
        auto take = [&](std::string& out) -> bool {
            if (hasInlineValue) {
                out = value;
                return true;
            }
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto flag = [&](bool& out) -> bool {
            if (hasInlineValue) {
                error = arg + " takes no value";
                return false;
            }
            out = true;
            return true;
        };
        std::string v;
        if (const int t = ParseTimingOption(arg, take, flag, o.timing, error); t != 0) {
            if (t < 0) return std::nullopt;
        } else if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--version") {
            o.version = true;
        } else if (arg == "--link") {
            if (!take(o.link)) return std::nullopt;
        } else if (arg == "--number") {
            if (!take(v)) return std::nullopt;
            const auto eq = v.find('=');
            std::optional<DialResult> r;
            if (eq != std::string::npos) r = ParseDialResult(v.substr(eq + 1));
            const std::string number =
                eq == std::string::npos ? std::string() : NormaliseNumber(v.substr(0, eq));
            if (!r || number.empty()) {
                error = "bad --number " + v + " (want NUMBER=RESULT)";
                return std::nullopt;
            }
            o.numbers[number] = *r;
        } else if (arg == "--default") {
            if (!take(v)) return std::nullopt;
            const auto r = ParseDialResult(v);
            if (!r) {
                error = "bad --default " + v;
                return std::nullopt;
            }
            o.defaultResult = *r;
        } else if (arg == "--dial-delay") {
            if (!take(v) || !ParseDouble(v, o.dialDelaySeconds)) {
                if (error.empty()) error = "bad --dial-delay " + v;
                return std::nullopt;
            }
        } else if (arg == "--prompt-delay" || arg == "--sender-delay" || arg == "--hangup-delay" ||
                   arg == "--guard-ms") {
            int& target = arg == "--prompt-delay"   ? o.promptDelayMs
                          : arg == "--sender-delay" ? o.senderDelayMs
                          : arg == "--hangup-delay" ? o.hangupDelayMs
                                                    : o.guardMs;
            if (!take(v) || !ParseInt(v, target) || target < 0) {
                if (error.empty()) error = "bad " + arg + " " + v;
                return std::nullopt;
            }
        } else if (arg == "--user") {
            if (!take(v)) return std::nullopt;
            o.user = v;
        } else if (arg == "--password") {
            if (!take(v)) return std::nullopt;
            o.password = v;
        } else if (arg == "--files") {
            if (!take(o.filesDir)) return std::nullopt;
        } else if (arg == "--silent") {
            if (!flag(o.silent)) return std::nullopt;
        } else if (arg == "--quiet-start") {
            if (!flag(o.quietStart)) return std::nullopt;
        } else if (arg == "--fail-login") {
            if (!flag(o.failLogin)) return std::nullopt;
        } else if (arg == "--once") {
            if (!flag(o.once)) return std::nullopt;
        } else if (arg == "--drop-after-bytes") {
            if (!take(v) || !ParseInt(v, o.dropAfterBytes) || o.dropAfterBytes < 0) {
                if (error.empty()) error = "bad --drop-after-bytes " + v;
                return std::nullopt;
            }
        } else if (arg == "--drop-calls") {
            if (!take(v) || !ParseInt(v, o.dropCalls) || o.dropCalls < 0) {
                if (error.empty()) error = "bad --drop-calls " + v;
                return std::nullopt;
            }
        } else if (arg == "--noise") {
            if (!take(v) || !ParseDouble(v, o.noiseRate) || o.noiseRate > 1.0) {
                if (error.empty()) error = "bad --noise " + v + " (a rate from 0 to 1)";
                return std::nullopt;
            }
        } else if (arg == "--seed") {
            if (!take(v) || !ParseInt(v, o.seed)) {
                if (error.empty()) error = "bad --seed " + v;
                return std::nullopt;
            }
        } else if (arg == "--log") {
            if (!take(o.logPath)) return std::nullopt;
        } else if (arg == "--listen") {
            if (!take(o.listen)) return std::nullopt;
        } else if (arg == "--telnet") {
            if (!flag(o.telnet)) return std::nullopt;
        } else if (arg == "--sz") {
            if (!take(o.szPath)) return std::nullopt;
        } else {
            error = "unknown option " + arg + " (see --help)";
            return std::nullopt;
        }
    }
    if (o.telnet && o.listen.empty()) {
        error = "--telnet needs --listen";
        return std::nullopt;
    }
    return o;
}

const char* HelpText() {
    return R"(Usage: bbs-sim [options]

A Hayes modem with the OstrelCentre weather board behind it, on a pseudo-terminal.
The slave device path is printed on stdout (one line per line device; a fresh
pseudo-terminal follows every hang-up) and, with --link, kept behind a symbolic link
that is re-pointed atomically, so the next dial through the link always works.

Modem (command mode, CR LF framed word results, E1 V1 Q0 after ATZ):
  AT...            OK (E, V, Q, Z, &F, S12 and H are honoured, others accepted)
  ATDT<number>     result chosen by --number / --default; any byte typed while
                   the modem waits for the result aborts the dial (NO CARRIER)
  +++              with the guard time on both sides: back to command mode (OK);
                   then ATH0 hangs up and ATO returns to the call
  closing the device counts as a DTR drop: the call ends, the modem resets.
  Echoed bytes are upper-cased and never include '>' or '%', so no echo can
  look like a board prompt.

Board (after CONNECT; the board echoes nothing):
  ": 1>" user name, ": 2>" password, "%E; You seem..." on a wrong login,
  "? 3>" main prompt; "I ..." (version) -> "? 3>"; "Download" -> "? 4>";
  "Zmodem" -> "? 5>"; a file name -> "%E; Unable..." and "? 3>" when the board
  has no such file (looked up case-insensitively, also with ".zip" added), or
  "%C; Ready" and the file sent by sz, then "? 3>"; "B" -> goodbye, hang-up.
  A lone CR before the login answers with ": 1>" again (the caller's wake-up).

Options:
  --link PATH              keep a symbolic link to the current slave at PATH
  --number N=RESULT        result for number N (repeatable); RESULT is one of
                           connect[:SPEED], busy, no-carrier, no-answer,
                           no-dialtone, error, silent
  --default RESULT         result for other numbers (default connect:33600)
  --dial-delay SECONDS     wait before the result of a dial (default 0)
  --prompt-delay MS        board banner delay after CONNECT, and the pause
                           between a transfer's end and the next prompt
                           (default 500)
  --sender-delay MS        pause between "%C; Ready" and the start of sz
                           (default 300)
  --hangup-delay MS        time the caller gets to read the last text before
                           the board drops the line (default 500)
  --guard-ms MS            escape guard time for "+++" (default 1000)
  --user NAME              accepted user name (any name when absent)
  --password WORD          accepted password (any password when absent)
  --files DIR              the board's files (none when absent)
  --silent                 the board never prompts
  --quiet-start            the board prompts only after the caller's first CR
  --fail-login             every login is rejected
  --no-delay               no pauses at all: the banner in the same write as
                           CONNECT, the sender at once, the next prompt the
                           moment a transfer ends (as fast real boards do)
  --split-writes MS        every board text in three writes, MS apart, cut
                           inside its prompt
  --echo                   the board echoes what the caller types
  --no-dcd                 a modem without DCD: the board's hang-up is only
                           "NO CARRIER"; the line stays open
  --stall-after-bytes N    the sender stops after N bytes of a transfer and
                           never goes on (calls chosen by --drop-calls)
  --linger                 the board stays on the line after its goodbye
  --drop-after-bytes N     drop the line after N bytes of a transfer
  --drop-calls K           calls subject to --drop-after-bytes (default 1,
                           0 = every call)
  --noise RATE             corrupt each transferred byte towards the caller
                           with this probability (0..1)
  --seed N                 seed of the noise (default 1)
  --log FILE               write a transcript of both sides to FILE
  --once                   exit when the first call ends
  --sz PATH                the ZMODEM sender (default: sz from PATH)
  --listen [HOST:]PORT     serve the board over TCP instead (HOST 127.0.0.1 by
                           default, PORT 0: any free port), one caller at a
                           time, without a modem; "HOST:PORT" is printed on
                           stdout
  --telnet                 with --listen: callers speak telnet
  --help                   this text
  --version                the version
)";
}

}  // namespace bbssim
