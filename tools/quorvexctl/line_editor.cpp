#include "line_editor.h"

#include <cstdio>
#include <cstdlib>

// After <cstdio>: libedit's readline.h uses FILE without including stdio.h itself.
#include <editline/readline.h>

namespace qx::ctl {

namespace {

LineEditor* g_editor = nullptr;  // libedit's callback interface has no user pointer

void OnLine(char* line) {
    if (g_editor == nullptr) return;
    if (line == nullptr) {
        g_editor->Eof = true;
        rl_callback_handler_remove();
        return;
    }
    std::string text = line;
    std::free(line);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty()) return;
    add_history(text.c_str());
    g_editor->Lines.push_back(text);
}

}  // namespace

LineEditor::LineEditor(const char* prompt) {
    g_editor = this;
    using_history();
    rl_callback_handler_install(prompt, OnLine);
}

LineEditor::~LineEditor() {
    if (!Eof) rl_callback_handler_remove();
    g_editor = nullptr;
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void LineEditor::ReadAvailable() {
    if (!Eof) rl_callback_read_char();
}

void LineEditor::PrintAbove(const std::string& text) {
    // Carriage return and erase-line: the reply takes the prompt's row, the prompt follows.
    std::fputs("\r\033[K", stdout);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    if (!Eof) rl_forced_update_display();
}

}  // namespace qx::ctl
