#include "log.h"

#include <cstdio>

#include "platform/journal_stream.h"

namespace qx {

namespace {

constexpr const char* kMask = "********";

LogSink& Sink() {
    static LogSink sink;
    return sink;
}

std::string& Secret() {
    static std::string secret;
    return secret;
}

// Standard error does not change where it points while the program runs.
bool JournalOnStderr() {
    static const bool journal = StderrIsJournal();
    return journal;
}

// Masks the sixth blank-separated word of a line holding "SET PHONE" (the command is
// "BBS SET PHONE number user password"): the word after the user name.
void MaskPhoneCommand(std::string& text) {
    const size_t at = text.find("SET PHONE");
    if (at == std::string::npos) return;
    size_t pos = at + 9;
    for (int word = 0; word < 3; ++word) {
        while (pos < text.size() && text[pos] == ' ') ++pos;
        if (pos >= text.size()) return;
        const size_t end = text.find(' ', pos);
        if (word == 2) {
            text.replace(pos, (end == std::string::npos ? text.size() : end) - pos, kMask);
            return;
        }
        if (end == std::string::npos) return;
        pos = end;
    }
}

}  // namespace

void Log(const std::string& text, int level) {
    if (Sink()) {
        Sink()(text, level);
        return;
    }
    if (text.empty()) return;
    WriteLogLine(text, level);
}

LogSink SetLogSink(LogSink sink) {
    LogSink old = std::move(Sink());
    Sink() = std::move(sink);
    return old;
}

void SetLogSecret(const std::string& secret) {
    Secret() = secret;
}

std::string MaskSecrets(std::string text) {
    const std::string& secret = Secret();
    if (!secret.empty()) {
        for (size_t at = text.find(secret); at != std::string::npos;
             at = text.find(secret, at + std::char_traits<char>::length(kMask))) {
            text.replace(at, secret.size(), kMask);
        }
    }
    MaskPhoneCommand(text);
    return text;
}

std::string EscapeControls(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) {
            out += c;
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            static const char hex[] = "0123456789ABCDEF";
            out += "\\x";
            out += hex[u >> 4];
            out += hex[u & 0xF];
        }
    }
    return out;
}

int SyslogPriority(int level) {
    if (level == kLevelError) return 3;
    if (level == kLevelWarning) return 4;
    if (level == 0) return 5;
    if (level == 1) return 6;
    return 7;
}

std::string FormatLogLine(const std::string& text, int level, const LocalClockReading& now,
                          bool journal) {
    char prefix[48];
    if (journal) {
        std::snprintf(prefix, sizeof prefix, "<%d>%d ", SyslogPriority(level), level);
    } else {
        std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02d %02d:%02d:%02d %d ", now.Year,
                      now.Month, now.Day, now.Hour, now.Minute, now.Second, level);
    }
    return prefix + EscapeControls(MaskSecrets(text));
}

void WriteLogLine(const std::string& text, int level) {
    const std::string line = FormatLogLine(text, level, ReadLocalClock(), JournalOnStderr()) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace qx
