#include "line_trace.h"

#include <cstdio>
#include <fstream>

#include "support/log.h"

namespace qx {

namespace {

constexpr size_t kWrapColumn = 78;
constexpr size_t kLogDataColumns = 48;

template <typename T>
void PutInRing(std::vector<T>& ring, size_t capacity, size_t& next, bool& wrapped, T value) {
    if (capacity == 0) return;
    if (ring.size() < capacity) {
        ring.push_back(std::move(value));
        return;
    }
    ring[next] = std::move(value);
    next = (next + 1) % capacity;
    wrapped = true;
}

template <typename T, typename Fn>
void ForEachInOrder(const std::vector<T>& ring, size_t next, bool wrapped, Fn fn) {
    const size_t start = wrapped ? next : 0;
    for (size_t i = 0; i < ring.size(); ++i) fn(ring[(start + i) % ring.size()]);
}

std::string Shown(const std::string& bytes, bool hex, bool allHex) {
    std::string out;
    for (const char c : bytes) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (allHex || (hex && (u < 0x20 || u >= 0x7F))) {
            char h[5];
            std::snprintf(h, sizeof h, "[%02X]", u);
            out += h;
        } else {
            out += c;
        }
    }
    return out;
}

// One run: its heading, then the text wrapped at the column limit under the heading's width.
void AppendRun(std::string& out, char direction, const std::string& bytes, bool hex, bool allHex) {
    const std::string head = direction == 'T' ? "Transmit: " : "Receive: ";
    const std::string text = Shown(MaskSecrets(bytes), hex, allHex);
    const size_t width = kWrapColumn - head.size();
    for (size_t at = 0; at < text.size() || at == 0; at += width) {
        out += at == 0 ? head : std::string(head.size(), ' ');
        out += text.substr(at, width);
        out += '\n';
        if (text.empty()) break;
    }
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
    return static_cast<bool>(f);
}

}  // namespace

TLineTrace::TLineTrace(size_t traceEntries, size_t logEntries)
    : traceCapacity_(traceEntries), logCapacity_(logEntries) {}

void TLineTrace::Add(char direction, const uint8_t* data, size_t length) {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < length; ++i) {
        PutInRing(trace_, traceCapacity_, traceNext_, traceWrapped_,
                  std::pair<char, uint8_t>(direction, data[i]));
    }
}

void TLineTrace::LogEntry(const char* type, const char* subType, const uint8_t* data,
                          size_t length) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - opened_).count();
    Entry e{seconds, type, subType, std::string(reinterpret_cast<const char*>(data), length)};
    std::lock_guard lock(mutex_);
    PutInRing(log_, logCapacity_, logNext_, logWrapped_, std::move(e));
}

std::string TLineTrace::TraceText(bool hex, bool allHex) const {
    std::lock_guard lock(mutex_);
    std::string out;
    std::string run;
    char direction = 0;
    ForEachInOrder(trace_, traceNext_, traceWrapped_, [&](const std::pair<char, uint8_t>& e) {
        if (e.first != direction && !run.empty()) {
            AppendRun(out, direction, run, hex, allHex);
            run.clear();
        }
        direction = e.first;
        run += static_cast<char>(e.second);
    });
    if (!run.empty()) AppendRun(out, direction, run, hex, allHex);
    return out;
}

std::string TLineTrace::LogText() const {
    std::lock_guard lock(mutex_);
    std::string out = "Time      Type      SubType       Data      OtherData\n";
    ForEachInOrder(log_, logNext_, logWrapped_, [&](const Entry& e) {
        char line[96];
        std::snprintf(line, sizeof line, "%9.3f %-9s %-13s %08zu  ", e.seconds, e.type, e.subType,
                      e.data.size());
        out += line;
        out += EscapeControls(MaskSecrets(e.data)).substr(0, kLogDataColumns);
        out += '\n';
    });
    return out;
}

bool TLineTrace::WriteTrace(const std::string& path, bool hex, bool allHex) const {
    return WriteFile(path, TraceText(hex, allHex));
}

bool TLineTrace::WriteLog(const std::string& path) const {
    return WriteFile(path, LogText());
}

}  // namespace qx
