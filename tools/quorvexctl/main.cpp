// quorvexctl: drives Quorvex through its mailboxes as the presentation program would.
//
// Commands go into "Mailbox-PresToComm" (one line per message, each when the slot is free);
// replies are read from "Mailbox-CommToPres" and printed one per line as they arrive. While it
// runs it holds the "Ostrel_Skelvane" presence lock, so Quorvex sees a presentation program.
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "line_editor.h"
#include "peer_mailbox.h"
#include "platform/ipc_objects.h"

namespace {

using qx::ctl::PeerMailbox;
using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitTimeout = 1;
constexpr int kExitUsage = 2;
constexpr int kExitIpc = 3;
constexpr int kExitNotRunning = 4;
constexpr auto kStep = std::chrono::milliseconds(20);

const char kSynopsis[] =
    "Usage: quorvexctl session [OPTIONS]\n"
    "       quorvexctl send [OPTIONS] COMMAND...\n"
    "       quorvexctl listen [OPTIONS]\n"
    "       quorvexctl --help | --version\n";

const char kDescription[] =
    "\n"
    "The presentation side of Quorvex's mailboxes: posts commands into \"Mailbox-PresToComm\"\n"
    "and prints the replies read from \"Mailbox-CommToPres\". While it runs it holds the\n"
    "\"Ostrel_Skelvane\" presence lock, so Quorvex sees a presentation program.\n"
    "\n"
    "  session   Posts every line read from standard input as one command (in order, each\n"
    "            when the mailbox slot is free; empty lines are skipped) and prints every\n"
    "            reply as one line on standard output as it arrives, both at the same time.\n"
    "            Exits 0 when Quorvex closes its reply mailbox (its close marker). On a\n"
    "            terminal it prompts \"quorvex> \" with line editing and history.\n"
    "  send      Posts each COMMAND argument as one command and exits 0 when Quorvex has\n"
    "            taken them all.\n"
    "  listen    Prints replies until Quorvex closes its reply mailbox (exit 0).\n"
    "\n"
    "Options:\n"
    "  --timeout S      give up (exit 1) after S seconds without a reply, a command taken or\n"
    "                   a line typed (default 60; decimals allowed)\n"
    "  --wait-start S   wait up to S seconds for Quorvex to start (default 0.5)\n"
    "  --no-check       do not look for a running Quorvex (whoever reads the mailbox)\n"
    "  --help           this text\n"
    "  --version        the version\n"
    "\n"
    "Environment:\n"
    "  QUORVEX_IPC_NAMESPACE   prefix of every shared-memory name; set it to the same value\n"
    "                          as for quorvex to talk to that instance (empty by default)\n"
    "\n"
    "Exit status: 0 done, 1 time-out, 2 bad arguments (also a COMMAND beginning with byte\n"
    "0xFF, which would read as the close marker), 3 shared memory unusable,\n"
    "4 Quorvex is not running (or stopped without closing its mailbox).\n"
    "\n"
    "Example:\n"
    "  printf 'MINI\\nEXIT\\n' | quorvexctl session --timeout 30\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "quorvexctl: %s\n%s", problem.c_str(), kSynopsis);
    return kExitUsage;
}

// One reply as one line (line breaks inside it become spaces).
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

void PrintReply(const std::string& text, qx::ctl::LineEditor* editor) {
    const std::string line = OneLine(text);
    if (editor != nullptr) {
        editor->PrintAbove(line);
        return;
    }
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Ends the process at once: the stdin reader may be blocked in a read nobody will finish.
[[noreturn]] void Finish(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(code);
}

int OpenMailbox(PeerMailbox& box, const char* name) {
    if (int err = box.Open(name); err != 0) {
        std::fprintf(stderr, "quorvexctl: cannot open mailbox %s: %s\n", name, std::strerror(err));
        for (const std::string& object : {std::string(name) + "Semaphore", std::string(name)}) {
            const std::string why = qx::ipc::OpenFailureText(object, err);
            if (!why.empty()) std::fprintf(stderr, "quorvexctl: %s\n", why.c_str());
        }
        return kExitIpc;
    }
    return kExitOk;
}

// A command whose first byte is 0xFF would read as the close marker and end the command
// channel; Quorvex could not tell it from a real close. Such a line is never sent.
bool RefusedCommand(const std::string& line) {
    if (line.empty() || static_cast<unsigned char>(line[0]) != 0xFF) return false;
    std::fputs(
        "quorvexctl: refused a command that begins with byte 0xFF (it would close the "
        "command mailbox); nothing sent\n",
        stderr);
    return true;
}

// True when someone else holds a lock on the named object.
bool HeldByOthers(const char* name, qx::ipc::LockMode probe) {
    qx::UniqueFd fd;
    if (qx::ipc::OpenExisting(name, fd) != 0) return false;
    return !qx::ipc::TryLock(fd.get(), probe);  // our probe lock goes with the descriptor
}

// Quorvex runs while its single-instance guard is held.
bool GuardHeld() {
    return HeldByOthers("Quorvex", qx::ipc::LockMode::kShared);
}

// Before we open the mailbox: a program that only keeps the mailbox (a test harness playing
// Quorvex's part) counts too. Once we hold it ourselves only the guard can tell.
bool QuorvexRuns(const char* mailbox) {
    return GuardHeld() || HeldByOthers(mailbox, qx::ipc::LockMode::kExclusive);
}

Clock::duration Seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// Waits up to waitSeconds for Quorvex to start.
bool WaitForQuorvex(const char* mailbox, double waitSeconds) {
    const auto until = Clock::now() + Seconds(waitSeconds);
    while (!QuorvexRuns(mailbox)) {
        if (Clock::now() >= until) {
            std::fprintf(stderr, "quorvexctl: Quorvex is not running\n");
            return false;
        }
        std::this_thread::sleep_for(kStep);
    }
    return true;
}

// Lines of standard input, read by their own thread (input that is not a terminal).
class InputLines {
  public:
    void Start() {
        std::thread([this] {
            std::string line;
            while (std::getline(std::cin, line)) {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (line.empty()) continue;
                std::lock_guard lock(mutex_);
                lines_.push_back(line);
            }
        }).detach();
    }
    bool Front(std::string& line) {
        std::lock_guard lock(mutex_);
        if (lines_.empty()) return false;
        line = lines_.front();
        return true;
    }
    void Pop() {
        std::lock_guard lock(mutex_);
        if (!lines_.empty()) lines_.pop_front();
    }

  private:
    std::mutex mutex_;
    std::deque<std::string> lines_;
};

// The time-out counts from the last sign of progress, so a long call that keeps replying is
// never cut off.
class IdleDeadline {
  public:
    explicit IdleDeadline(double seconds) : seconds_(seconds) { Touch(); }
    void Touch() { until_ = Clock::now() + Seconds(seconds_); }
    bool Passed() const { return Clock::now() >= until_; }

  private:
    double seconds_;
    Clock::time_point until_;
};

// Waits one step; with an editor, the step ends early when the terminal has input for it.
void Step(qx::ctl::LineEditor* editor) {
    if (editor == nullptr || editor->Eof) {
        std::this_thread::sleep_for(kStep);
        return;
    }
    pollfd p = {STDIN_FILENO, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(kStep.count())) > 0) editor->ReadAvailable();
}

// Runs the reply side (and, with input, the command side) until the close marker, the idle
// time-out or the end of Quorvex.
int Exchange(double timeoutSeconds, bool withInput, bool watchGuard) {
    PeerMailbox replies;
    PeerMailbox commands;
    if (int rc = OpenMailbox(replies, "Mailbox-CommToPres"); rc != kExitOk) return rc;
    InputLines piped;
    std::unique_ptr<qx::ctl::LineEditor> editor;
    if (withInput) {
        if (int rc = OpenMailbox(commands, "Mailbox-PresToComm"); rc != kExitOk) return rc;
        if (::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO)) {
            editor = std::make_unique<qx::ctl::LineEditor>("quorvex> ");
        } else {
            piped.Start();
        }
    }
    IdleDeadline idle(timeoutSeconds);
    auto lastCheck = Clock::now();
    for (;;) {
        if (editor) {
            if (!editor->Lines.empty()) {
                idle.Touch();
                const std::string& line = editor->Lines.front();
                if (RefusedCommand(line) || commands.TryPlace(line)) editor->Lines.pop_front();
            }
        } else if (std::string line; withInput && piped.Front(line) &&
                                     (RefusedCommand(line) || commands.TryPlace(line))) {
            piped.Pop();
            idle.Touch();
        }
        std::string reply;
        for (;;) {
            const PeerMailbox::Took took = replies.TryTake(reply);
            if (took == PeerMailbox::Took::kClosed) return kExitOk;
            if (took == PeerMailbox::Took::kNothing) break;
            PrintReply(reply, editor.get());
            idle.Touch();
        }
        if (idle.Passed()) {
            std::fprintf(stderr, "quorvexctl: nothing from Quorvex for %g s\n", timeoutSeconds);
            return kExitTimeout;
        }
        // Quorvex writes its close marker before it lets go of its guard, so a guard gone
        // with no marker behind it means Quorvex ended without closing.
        if (watchGuard && Clock::now() - lastCheck >= std::chrono::seconds(1)) {
            lastCheck = Clock::now();
            if (!GuardHeld()) {
                if (replies.TryTake(reply) == PeerMailbox::Took::kClosed) return kExitOk;
                std::fprintf(stderr, "quorvexctl: Quorvex stopped without closing its mailbox\n");
                return kExitNotRunning;
            }
        }
        Step(editor.get());
    }
}

int Send(double timeoutSeconds, const std::vector<std::string>& lines) {
    PeerMailbox commands;
    if (int rc = OpenMailbox(commands, "Mailbox-PresToComm"); rc != kExitOk) return rc;
    IdleDeadline idle(timeoutSeconds);
    size_t next = 0;
    for (;;) {
        if (next < lines.size()) {
            if (commands.TryPlace(lines[next])) {
                ++next;
                idle.Touch();
            }
        } else if (commands.SlotFree()) {
            return kExitOk;
        }
        if (idle.Passed()) {
            std::fprintf(stderr, "quorvexctl: Quorvex took no command for %g s\n", timeoutSeconds);
            return kExitTimeout;
        }
        std::this_thread::sleep_for(kStep);
    }
}

bool ParseSeconds(const std::string& text, double& out, bool zeroAllowed = false) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0' || errno != 0 ||
        !(zeroAllowed ? v >= 0 : v > 0) || v > 1e7) {
        return false;
    }
    out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage("a command is needed");
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            std::fputs(kSynopsis, stdout);
            std::fputs(kDescription, stdout);
            return kExitOk;
        }
        if (a == "--version") {
            std::printf("quorvexctl %s\n", QX_VERSION);
            return kExitOk;
        }
    }
    const std::string command = args[0];
    if (command != "session" && command != "send" && command != "listen") {
        return Usage("unknown command '" + command + "'");
    }
    double timeout = 60;
    double waitStart = 0.5;
    bool check = true;
    std::vector<std::string> rest;
    bool optionsDone = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!optionsDone && a == "--") {
            optionsDone = true;
        } else if (!optionsDone && (a == "--timeout" || a.rfind("--timeout=", 0) == 0)) {
            std::string value;
            if (a == "--timeout") {
                if (i + 1 >= args.size()) return Usage("--timeout needs a number of seconds");
                value = args[++i];
            } else {
                value = a.substr(std::strlen("--timeout="));
            }
            if (!ParseSeconds(value, timeout)) return Usage("bad --timeout value '" + value + "'");
        } else if (!optionsDone && a == "--no-check") {
            check = false;
        } else if (!optionsDone && (a == "--wait-start" || a.rfind("--wait-start=", 0) == 0)) {
            std::string value;
            if (a == "--wait-start") {
                if (i + 1 >= args.size()) return Usage("--wait-start needs a number of seconds");
                value = args[++i];
            } else {
                value = a.substr(std::strlen("--wait-start="));
            }
            if (!ParseSeconds(value, waitStart, true)) {
                return Usage("bad --wait-start value '" + value + "'");
            }
        } else if (!optionsDone && a.rfind("--", 0) == 0) {
            return Usage("unknown option '" + a + "'");
        } else {
            rest.push_back(a);
        }
    }
    if (command != "send" && !rest.empty()) return Usage("unexpected argument '" + rest[0] + "'");
    if (command == "send" && rest.empty()) return Usage("send needs at least one COMMAND");
    for (const std::string& line : rest) {
        if (RefusedCommand(line)) return kExitUsage;
    }

    qx::ipc::PresenceLock presence;
    if (int err = presence.Acquire("Ostrel_Skelvane"); err != 0) {
        std::fprintf(stderr, "quorvexctl: cannot take the presence lock: %s\n", std::strerror(err));
        return kExitIpc;
    }
    const char* mailbox = command == "send" ? "Mailbox-PresToComm" : "Mailbox-CommToPres";
    if (check && !WaitForQuorvex(mailbox, waitStart)) {
        presence.Release();
        Finish(kExitNotRunning);
    }
    // The presence object goes with its last holder; _exit would skip that.
    const int rc = command == "send"
                       ? Send(timeout, rest)
                       : Exchange(timeout, command == "session", check && GuardHeld());
    presence.Release();
    Finish(rc);
}
