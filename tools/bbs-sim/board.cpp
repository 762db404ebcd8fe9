#include "board.h"

#include <algorithm>
#include <cctype>
#include <system_error>

namespace bbssim {
namespace {

constexpr std::size_t kMaxLine = 200;

const char kUserPrompt[] = "\r\nUser name: 1>";
const char kPasswordPrompt[] = "\r\nPassword: 2>";
const char kLoginError[] = "\r\n%E; You seem to have given an unknown name or a wrong password\r\n";
const char kProtocolPrompt[] = "\r\nProtocol (Zmodem) ? 4>";
const char kFileNamePrompt[] = "\r\nFile name ? 5>";
const char kGoodbye[] = "\r\nThank you for calling OstrelCentre. Goodbye.\r\n";

std::string Upper(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::string Board::SafeName(const std::string& name) {
    std::string out;
    for (const char ch : Upper(name)) {
        if (std::isalnum(static_cast<unsigned char>(ch)) || ch == '.' || ch == '_' || ch == '-') {
            out += ch;
        }
    }
    return out;
}

std::optional<std::filesystem::path> Board::FindFile(const std::filesystem::path& dir,
                                                     const std::string& name) {
    if (dir.empty() || name.empty() || name.front() == '.' ||
        name.find_first_of("/\\") != std::string::npos) {
        return std::nullopt;
    }
    const std::string wanted = Upper(name);
    const std::string wantedZip = wanted + ".ZIP";
    std::optional<std::filesystem::path> withZip;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        const std::string entry = Upper(it->path().filename().string());
        if (entry == wanted) return it->path();
        if (entry == wantedZip && !withZip) withZip = it->path();
    }
    return withZip;
}

std::string Board::MainPrompt() const {
    return "\r\nD=Download  B=Bye ? 3>";
}

Board::Step Board::Start() {
    Step step;
    // A wake-up that came before the banner has already been answered with the prompt.
    if (config_.silent || config_.quietStart || state_ != State::User || prompted_) return step;
    prompted_ = true;
    step.text = "\r\nOstrelCentre weather data service\r\n" + std::string(kUserPrompt);
    return step;
}

Board::Step Board::Feed(char c) {
    if (config_.silent || state_ == State::Transfer || state_ == State::Gone) return {};
    if (c == '\r') {
        std::string line;
        line.swap(line_);
        return Line(line);
    }
    if (c == '\n') return {};
    if (c == '\b' || c == 0x7f) {
        if (!line_.empty()) line_.pop_back();
        return {};
    }
    if (line_.size() < kMaxLine) line_ += c;
    return {};
}

Board::Step Board::TransferDone() {
    Step step;
    if (state_ != State::Transfer) return step;
    state_ = State::Main;
    step.text = MainPrompt();
    return step;
}

Board::Step Board::Line(const std::string& raw) {
    Step step;
    const std::string line = Trim(raw);
    switch (state_) {
        case State::User:
            if (line.empty()) {
                prompted_ = true;
                step.text = kUserPrompt;  // the caller's wake-up
                break;
            }
            userName_ = line;
            state_ = State::Password;
            step.text = kPasswordPrompt;
            break;
        case State::Password: {
            const bool userOk = !config_.user || Upper(*config_.user) == Upper(userName_);
            const bool passwordOk = !config_.password || *config_.password == line;
            if (!config_.failLogin && userOk && passwordOk) {
                state_ = State::Main;
                step.text = "\r\nLogin accepted.\r\n" + MainPrompt();
                break;
            }
            state_ = State::User;
            step.text = kLoginError;
            if (++loginFailures_ >= kMaxLoginFailures) {
                state_ = State::Gone;
                step.action = Step::Action::HangUp;
                break;
            }
            step.text += kUserPrompt;
            break;
        }
        case State::Main: {
            const std::string word = Upper(line);
            if (line.empty() || word == "I" || word.rfind("I ", 0) == 0) {
                step.text = MainPrompt();
            } else if (word == "D" || word == "DOWNLOAD") {
                state_ = State::Protocol;
                step.text = kProtocolPrompt;
            } else if (word == "B" || word == "BYE") {
                state_ = State::Gone;
                step.text = kGoodbye;
                step.action = Step::Action::HangUp;
            } else {
                step.text = "\r\n%E; Unknown command\r\n" + MainPrompt();
            }
            break;
        }
        case State::Protocol: {
            const std::string word = Upper(line);
            if (word == "Z" || word == "ZMODEM") {
                state_ = State::FileName;
                step.text = kFileNamePrompt;
            } else {
                state_ = State::Main;
                step.text = "\r\n%E; Unknown protocol\r\n" + MainPrompt();
            }
            break;
        }
        case State::FileName: {
            if (line.empty()) {
                state_ = State::Main;
                step.text = MainPrompt();
                break;
            }
            const auto file = FindFile(config_.filesDir, line);
            if (!file) {
                state_ = State::Main;
                step.text = "\r\n%E; Unable to find " + SafeName(line) + "\r\n" + MainPrompt();
                break;
            }
            state_ = State::Transfer;
            step.text =
                "\r\n%C; Ready to send " + SafeName(file->filename().string()) + " by Zmodem\r\n";
            step.action = Step::Action::Send;
            step.file = *file;
            break;
        }
        case State::Transfer:
        case State::Gone:
            break;
    }
    return step;
}

}  // namespace bbssim
