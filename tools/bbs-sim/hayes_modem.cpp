#include "hayes_modem.h"

#include <cctype>
#include <cstdio>

namespace bbssim {
namespace {

constexpr std::size_t kMaxLine = 80;

char Upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

// Reads the decimal number at s[i] (0 when there is none) and moves i past it.
int TakeNumber(const std::string& s, std::size_t& i) {
    int n = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])) && n < 100000) {
        n = n * 10 + (s[i] - '0');
        ++i;
    }
    return n;
}

}  // namespace

void HayesModem::Reset() {
    echo_ = true;
    verbose_ = true;
    quiet_ = false;
    s12_ = defaultS12_;
    line_.clear();
}

char HayesModem::EchoByte(char c) {
    // Upper-cased and without '>' and '%': no echo can contain a board prompt or "rz".
    if (c == '>' || c == '%') return 0;
    return Upper(c);
}

HayesModem::Reply HayesModem::Feed(char c) {
    Reply reply;
    if (echo_) {
        if (const char e = EchoByte(c); e != 0) reply.bytes += e;
    }
    if (c == '\r') {
        std::string line;
        line.swap(line_);
        if (line.size() >= 2 && Upper(line[0]) == 'A' && line[1] == '/') {
            line = lastCommand_;
        }
        if (line.size() >= 2 && Upper(line[0]) == 'A' && Upper(line[1]) == 'T') {
            lastCommand_ = line;
            Reply run = RunLine(line);
            run.bytes.insert(0, reply.bytes);
            return run;
        }
        return reply;  // not a command: ignored, as modems do
    }
    if (c == '\n') return reply;
    if (c == '\b' || c == 0x7f) {
        if (!line_.empty()) line_.pop_back();
        return reply;
    }
    // A modem hunts for "AT" (or "A/"): what comes before it, such as a "+++" typed while no
    // call is up, is dropped.
    if (line_.empty() && Upper(c) != 'A') return reply;
    if (line_.size() == 1 && Upper(c) != 'T' && c != '/') {
        line_.clear();
        if (Upper(c) == 'A') line_ += c;
        return reply;
    }
    if (line_.size() < kMaxLine) line_ += c;
    // "A/" runs at once, without a CR.
    if (line_.size() == 2 && Upper(line_[0]) == 'A' && line_[1] == '/') {
        const std::string last = lastCommand_;
        line_.clear();
        if (!last.empty()) {
            Reply run = RunLine(last);
            run.bytes.insert(0, reply.bytes);
            return run;
        }
    }
    return reply;
}

HayesModem::Reply HayesModem::RunLine(const std::string& line) {
    Reply reply;
    bool ok = true;
    std::string info;
    std::size_t i = 2;
    while (i < line.size() && ok) {
        const char c = Upper(line[i++]);
        switch (c) {
            case ' ':
                break;
            case 'D': {
                reply.action = Action::Dial;
                reply.dialString = line.substr(i);
                i = line.size();
                break;
            }
            case 'E':
                echo_ = TakeNumber(line, i) != 0;
                break;
            case 'V':
                verbose_ = TakeNumber(line, i) != 0;
                break;
            case 'Q':
                quiet_ = TakeNumber(line, i) != 0;
                break;
            case 'Z':
                TakeNumber(line, i);
                Reset();
                break;
            case 'H':
                TakeNumber(line, i);
                reply.action = Action::HangUp;
                break;
            case 'O':
                TakeNumber(line, i);
                reply.action = Action::Online;
                break;
            case 'I':
                TakeNumber(line, i);
                info += "\r\nbbs-sim Hayes modem";
                break;
            case '&': {
                if (i >= line.size() || !std::isalpha(static_cast<unsigned char>(line[i]))) {
                    ok = false;
                    break;
                }
                const char sub = Upper(line[i++]);
                TakeNumber(line, i);
                if (sub == 'F') Reset();
                break;
            }
            case 'S': {
                const int reg = TakeNumber(line, i);
                if (i < line.size() && line[i] == '=') {
                    ++i;
                    const int value = TakeNumber(line, i);
                    if (value > 255) {
                        ok = false;
                    } else if (reg == 12) {
                        s12_ = value;
                    }
                } else if (i < line.size() && line[i] == '?') {
                    ++i;
                    char text[16];
                    std::snprintf(text, sizeof text, "\r\n%03d", reg == 12 ? s12_ : 0);
                    info += text;
                }
                break;
            }
            case '\\':
            case '%':
                if (i < line.size()) ++i;
                TakeNumber(line, i);
                break;
            case '+':
                i = line.size();  // extended commands: accepted
                break;
            default:
                if (std::isalpha(static_cast<unsigned char>(c))) {
                    TakeNumber(line, i);
                } else {
                    ok = false;
                }
        }
    }
    if (!ok) {
        reply.action = Action::None;
        reply.bytes = Format(Result::Error);
        return reply;
    }
    if (!info.empty() && !quiet_) reply.bytes += info + "\r\n";
    // Dial, hang-up and online results come from the simulator once the line has acted.
    if (reply.action == Action::None || reply.action == Action::HangUp) {
        reply.bytes += Format(Result::Ok);
    }
    return reply;
}

std::string HayesModem::Format(Result result, int speed) const {
    if (quiet_) return "";
    if (!verbose_) {
        static const int codes[] = {0, 1, 2, 3, 4, 6, 7, 8};
        return std::to_string(codes[static_cast<int>(result)]) + "\r";
    }
    std::string text;
    switch (result) {
        case Result::Ok:
            text = "OK";
            break;
        case Result::Connect:
            text = speed > 0 ? "CONNECT " + std::to_string(speed) : "CONNECT";
            break;
        case Result::Ring:
            text = "RING";
            break;
        case Result::NoCarrier:
            text = "NO CARRIER";
            break;
        case Result::Error:
            text = "ERROR";
            break;
        case Result::NoDialtone:
            text = "NO DIALTONE";
            break;
        case Result::Busy:
            text = "BUSY";
            break;
        case Result::NoAnswer:
            text = "NO ANSWER";
            break;
    }
    return "\r\n" + text + "\r\n";
}

}  // namespace bbssim
