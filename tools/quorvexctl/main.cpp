// quorvexctl: drives Quorvex through its mailboxes as the presentation program would.
//
// Commands go into "Mailbox-PresToComm" (one line per message, each when the slot is free);
// replies are read from "Mailbox-CommToPres" and printed one per line as they arrive. While it
// runs it holds the "Ostrel_Skelvane" presence lock, so Quorvex sees a presentation program.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "peer_mailbox.h"
#include "platform/ipc_objects.h"

namespace {

using qx::ctl::PeerMailbox;
using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitTimeout = 1;
constexpr int kExitUsage = 2;
constexpr int kExitIpc = 3;
constexpr auto kStep = std::chrono::milliseconds(20);

const char kSynopsis[] =
    "Usage: quorvexctl session [--timeout S]\n"
    "       quorvexctl send [--timeout S] COMMAND...\n"
    "       quorvexctl listen [--timeout S]\n"
    "       quorvexctl --help\n";

const char kDescription[] =
    "\n"
    "The presentation side of Quorvex's mailboxes: posts commands into \"Mailbox-PresToComm\"\n"
    "and prints the replies read from \"Mailbox-CommToPres\". While it runs it holds the\n"
    "\"Ostrel_Skelvane\" presence lock, so Quorvex sees a presentation program.\n"
    "\n"
    "  session   Posts every line read from standard input as one command (in order, each\n"
    "            when the mailbox slot is free; empty lines are skipped) and prints every\n"
    "            reply as one line on standard output as it arrives, both at the same time.\n"
    "            Exits 0 when Quorvex closes its reply mailbox (its close marker), or 1\n"
    "            after S seconds without it.\n"
    "  send      Posts each COMMAND argument as one command and exits 0 when Quorvex has\n"
    "            taken them all, or 1 after S seconds.\n"
    "  listen    Prints replies until Quorvex closes its reply mailbox (exit 0), or exits 1\n"
    "            after S seconds.\n"
    "\n"
    "Options:\n"
    "  --timeout S   seconds to wait (default 60; decimals allowed)\n"
    "  --help        this text\n"
    "\n"
    "Environment:\n"
    "  QUORVEX_IPC_NAMESPACE   prefix of every shared-memory name; set it to the same value\n"
    "                          as for quorvex to talk to that instance (empty by default)\n"
    "\n"
    "Exit status: 0 done, 1 time-out, 2 bad arguments (also a COMMAND beginning with byte\n"
    "0xFF, which would read as the close marker), 3 shared memory unusable.\n"
    "\n"
    "Example:\n"
    "  printf 'MINI\\nEXIT\\n' | quorvexctl session --timeout 30\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "quorvexctl: %s\n%s", problem.c_str(), kSynopsis);
    return kExitUsage;
}

// Prints one reply as one line (line breaks inside it become spaces).
void PrintReply(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
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

// Lines of standard input, read by their own thread.
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
            eof_ = true;
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
    std::atomic<bool> eof_{false};
};

// Runs the reply side (and, with input, the command side) until the close marker or the
// deadline.
int Exchange(double timeoutSeconds, InputLines* input) {
    PeerMailbox replies;
    PeerMailbox commands;
    if (int rc = OpenMailbox(replies, "Mailbox-CommToPres"); rc != kExitOk) return rc;
    if (input != nullptr) {
        if (int rc = OpenMailbox(commands, "Mailbox-PresToComm"); rc != kExitOk) return rc;
        input->Start();
    }
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeoutSeconds));
    for (;;) {
        std::string line;
        if (input != nullptr && input->Front(line) &&
            (RefusedCommand(line) || commands.TryPlace(line))) {
            input->Pop();
        }
        std::string reply;
        for (;;) {
            const PeerMailbox::Took took = replies.TryTake(reply);
            if (took == PeerMailbox::Took::kClosed) return kExitOk;
            if (took == PeerMailbox::Took::kNothing) break;
            PrintReply(reply);
        }
        if (Clock::now() >= deadline) {
            std::fprintf(stderr, "quorvexctl: Quorvex did not close its mailbox within %g s\n",
                         timeoutSeconds);
            return kExitTimeout;
        }
        std::this_thread::sleep_for(kStep);
    }
}

int Send(double timeoutSeconds, const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        if (RefusedCommand(line)) return kExitUsage;
    }
    PeerMailbox commands;
    if (int rc = OpenMailbox(commands, "Mailbox-PresToComm"); rc != kExitOk) return rc;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeoutSeconds));
    size_t next = 0;
    for (;;) {
        if (next < lines.size()) {
            if (commands.TryPlace(lines[next])) ++next;
        } else if (commands.SlotFree()) {
            return kExitOk;
        }
        if (Clock::now() >= deadline) {
            std::fprintf(stderr, "quorvexctl: Quorvex did not take the commands within %g s\n",
                         timeoutSeconds);
            return kExitTimeout;
        }
        std::this_thread::sleep_for(kStep);
    }
}

bool ParseSeconds(const std::string& text, double& out) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0' || errno != 0 || !(v > 0) || v > 1e7) {
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
    }
    const std::string command = args[0];
    if (command != "session" && command != "send" && command != "listen") {
        return Usage("unknown command '" + command + "'");
    }
    double timeout = 60;
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
        } else if (!optionsDone && a.rfind("--", 0) == 0) {
            return Usage("unknown option '" + a + "'");
        } else {
            rest.push_back(a);
        }
    }
    if (command != "send" && !rest.empty()) return Usage("unexpected argument '" + rest[0] + "'");
    if (command == "send" && rest.empty()) return Usage("send needs at least one COMMAND");

    qx::ipc::PresenceLock presence;
    if (int err = presence.Acquire("Ostrel_Skelvane"); err != 0) {
        std::fprintf(stderr, "quorvexctl: cannot take the presence lock: %s\n", std::strerror(err));
        return kExitIpc;
    }
    // The presence object goes with its last holder; _exit would skip that.
    if (command == "send") {
        const int rc = Send(timeout, rest);
        presence.Release();
        Finish(rc);
    }
    InputLines input;
    const int rc = Exchange(timeout, command == "session" ? &input : nullptr);
    presence.Release();
    Finish(rc);
}
