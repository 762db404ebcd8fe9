// The prompt of an interactive session: libedit's line editing and history, driven one
// character at a time from quorvexctl's own loop, so that replies can be printed above the
// line being typed without a second thread touching the terminal.
#pragma once

#include <deque>
#include <string>

namespace qx::ctl {

class LineEditor {
  public:
    // Installs the prompt on standard input and output (a terminal).
    explicit LineEditor(const char* prompt);
    ~LineEditor();
    LineEditor(const LineEditor&) = delete;
    LineEditor& operator=(const LineEditor&) = delete;

    // Reads what the terminal has for us; call when standard input is readable.
    void ReadAvailable();
    // Prints one line above the prompt and redraws the prompt with what was typed so far.
    void PrintAbove(const std::string& text);

    std::deque<std::string> Lines;  // entered lines, oldest first; empty ones are dropped
    bool Eof = false;               // Ctrl-D on an empty line
};

}  // namespace qx::ctl
