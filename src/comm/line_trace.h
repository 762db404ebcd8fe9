// TLineTrace: the port's trace (every byte that crossed the line, both directions) and its
// dispatch log (each read from and write to the line), kept while the port is open and written
// to files when it closes. Off unless the port's Tracing or Logging is switched on (quorvex
// --line-trace), for diagnosing a real board.
//
// Filled from any thread (the dispatch thread's reads, the main thread's writes); guarded by
// its own mutex, which is taken last, after any lock of the dispatcher.
//
// Trace file: runs of one direction, headed "Transmit: " or "Receive: ", wrapped at 78 columns;
// with hex, bytes outside the printable ASCII range appear as [0D]; with allHex every byte does.
// Dispatch log: a heading line, then one line per entry: seconds since the port opened, type,
// subtype, the byte count and the bytes (escaped, cut at 48 characters).
// In both the board password is masked, as in every log line.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace qx {

class TLineTrace {
  public:
    TLineTrace(size_t traceEntries, size_t logEntries);

    // Bytes taken by GetChar/GetBlock ('R') or queued by PutBlock ('T').
    void Add(char direction, const uint8_t* data, size_t length);
    // One dispatch-log entry.
    void LogEntry(const char* type, const char* subType, const uint8_t* data, size_t length);

    // Write the files; false when one cannot be written.
    bool WriteTrace(const std::string& path, bool hex, bool allHex) const;
    bool WriteLog(const std::string& path) const;

    // The texts the files get (tests read them directly).
    std::string TraceText(bool hex, bool allHex) const;
    std::string LogText() const;

  private:
    struct Entry {
        double seconds;
        const char* type;
        const char* subType;
        std::string data;
    };

    mutable std::mutex mutex_;
    const std::chrono::steady_clock::time_point opened_ = std::chrono::steady_clock::now();
    // The trace ring: direction and byte per entry, the oldest overwritten.
    std::vector<std::pair<char, uint8_t>> trace_;  // guarded by mutex_
    size_t traceNext_ = 0;                         // guarded by mutex_
    bool traceWrapped_ = false;                    // guarded by mutex_
    size_t traceCapacity_;
    std::vector<Entry> log_;   // guarded by mutex_; ring like the trace
    size_t logNext_ = 0;       // guarded by mutex_
    bool logWrapped_ = false;  // guarded by mutex_
    size_t logCapacity_;
};

}  // namespace qx
