#include "log.h"

#include <cstdio>

namespace qx {

namespace {

LogSink& Sink() {
    static LogSink sink;
    return sink;
}

}  // namespace

void Log(const std::string& text, int level) {
    if (Sink()) {
        Sink()(text, level);
        return;
    }
    if (text.empty()) return;
    std::fprintf(stderr, "[%d] %s\n", level, text.c_str());
}

LogSink SetLogSink(LogSink sink) {
    LogSink old = std::move(Sink());
    Sink() = std::move(sink);
    return old;
}

}  // namespace qx
