#include "utilities.h"

#include <chrono>
#include <ctime>
#include <thread>

#include "platform/event_loop.h"
#include "platform/files.h"

namespace qx {

void SplitFileVersion(const std::string& text, std::string& version, std::string& build) {
    const size_t cut = text.find_last_of(".\\:");
    if (cut == std::string::npos) {
        version = text;
        build.clear();
        return;
    }
    version = text.substr(0, cut);
    build = text.substr(cut + 1);
}

bool ReadFileVersion(std::string& version, std::string& build) {
#ifdef QX_VERSION
    const std::string text = QX_VERSION;
#else
    const std::string text;
#endif
    if (text.empty()) {
        version.clear();
        build.clear();
        return false;
    }
    SplitFileVersion(text, version, build);
    return true;
}

bool ShellCopy(const std::string& source, const std::string& destination, bool /*silent*/,
               std::string* errorText) {
    return CopyFileReplacing(source, destination, errorText);
}

void WaitSeconds(int seconds) {
    const std::time_t start = std::time(nullptr);
    while (std::time(nullptr) - start < seconds) {
        ProcessPendingMessages();
        ProcessPendingMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

std::string ResultText(int code) {
    static const char* const kTexts[] = {
        "Ok",
        "Error",
        "Modem does not respond",
        "No dialling tone",
        "Engaged",
        "No carrier",
        "Request to input username missing",
        "Request to input password missing",
        "Username or password incorrect",
        "BBS not answering",
        "Request to input protocol missing",
        "Request to input file name missing",
        "File not present",
        "Request to input request missing",
        "Connection aborted by user",
        "No response after collecting data",
    };
    if (code < 0 || code >= static_cast<int>(sizeof kTexts / sizeof kTexts[0])) return {};
    return kTexts[code];
}

namespace {

void ReplaceFirst(std::string& s, const char* placeholder, int value) {
    const size_t at = s.find(placeholder);
    if (at == std::string::npos) return;
    s[at] = static_cast<char>('0' + value / 10 % 10);
    s[at + 1] = static_cast<char>('0' + value % 10);
}

}  // namespace

std::string ExpandRequestName(const std::string& nameTemplate, TDateTime t) {
    const DateTimeParts p = DecodeDateTime(t);
    std::string name = nameTemplate;
    ReplaceFirst(name, "dd", p.Day);
    ReplaceFirst(name, "uu", p.Hour);
    ReplaceFirst(name, "mm", p.Month);
    return name;
}

std::string UpperCase(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

bool ParseCount(const std::string& text, int& out) {
    if (text.empty() || text.size() > 9) return false;
    out = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        out = out * 10 + (c - '0');
    }
    return true;
}

}  // namespace qx
