// A scripted Hayes modem on the master side of a pseudo-terminal, for the line tests.
//
// It answers "AT..." with OK, "ATDT<number>" with the result scripted for that number (or
// silence), switches to data mode on CONNECT, leaves it on "+++" after a pause, and hangs up
// (closes the master, which the line sees as POLLHUP/EIO) on "ATH0" in data mode or when told.
// Every command line it received is recorded.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeModem {
  public:
    FakeModem() {
        int master = -1, slave = -1;
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            master_ = master;
            ::close(slave);  // the line opens it by name
            path_ = name;
            ::fcntl(master_, F_SETFL, O_NONBLOCK);
            thread_ = std::thread([this] { Run(); });
        }
    }
    ~FakeModem() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        CloseMaster();
    }

    const std::string& Path() const { return path_; }
    // The result line for a dialled number; a number not scripted gets no answer.
    void Script(const std::string& number, const std::string& result) {
        std::lock_guard lock(mutex_);
        results_[number] = result;
    }
    // "ATZ" stays unanswered this many times.
    void IgnoreResets(int n) { ignoreResets_ = n; }
    // Sends bytes to the line (data of the connected call).
    void Send(const std::string& s) {
        std::lock_guard lock(mutex_);
        if (master_ >= 0) [[maybe_unused]]
            auto n = ::write(master_, s.data(), s.size());
    }
    // The remote side hangs up: the device goes away.
    void HangUp() { hangUpRequested_ = true; }
    // The carrier goes but the device stays: the modem says so and is back in command mode.
    void LoseCarrier() {
        dataMode_ = false;
        Reply("NO CARRIER");
    }
    std::vector<std::string> Commands() {
        std::lock_guard lock(mutex_);
        return commands_;
    }
    bool Connected() const { return dataMode_; }
    bool Closed() const { return closed_; }
    std::string DataReceived() {
        std::lock_guard lock(mutex_);
        return data_;
    }

  private:
    void CloseMaster() {
        std::lock_guard lock(mutex_);
        if (master_ >= 0) ::close(master_);
        master_ = -1;
        closed_ = true;
    }
    void Reply(const std::string& text) { Send("\r\n" + text + "\r\n"); }

    void Run() {
        std::string line;
        auto lastData = std::chrono::steady_clock::now();
        while (!stop_) {
            if (hangUpRequested_) {
                dataMode_ = false;
                CloseMaster();
                return;
            }
            struct pollfd p = {master_, POLLIN, 0};
            int n = ::poll(&p, 1, 20);
            if (n <= 0) continue;
            char buf[256];
            ssize_t got = ::read(master_, buf, sizeof buf);
            if (got <= 0) {
                // EIO while nobody has the slave open: wait for the line to open it.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            for (ssize_t i = 0; i < got; ++i) {
                char c = buf[i];
                if (dataMode_) {
                    {
                        std::lock_guard lock(mutex_);
                        data_ += c;
                    }
                    // "+++" after a quiet moment returns to command mode.
                    escape_ = (c == '+') ? escape_ + 1 : 0;
                    if (escape_ == 3) {
                        dataMode_ = false;
                        escapeCommand_ = true;
                        Reply("OK");
                    }
                    lastData = std::chrono::steady_clock::now();
                    continue;
                }
                if (dialling_) {
                    dialling_ = false;  // any character aborts the dial
                    Reply("NO CARRIER");
                    continue;
                }
                if (c == '\r' || c == '\n') {
                    if (!line.empty()) Command(line);
                    line.clear();
                } else {
                    line += c;
                }
            }
        }
    }

    void Command(const std::string& cmd) {
        {
            std::lock_guard lock(mutex_);
            commands_.push_back(cmd);
        }
        if (cmd == "ATZ" && ignoreResets_ > 0) {
            --ignoreResets_;
            return;
        }
        if (cmd.rfind("ATDT", 0) == 0) {
            std::string result;
            {
                std::lock_guard lock(mutex_);
                auto it = results_.find(cmd.substr(4));
                if (it != results_.end()) result = it->second;
            }
            if (result.empty()) {
                dialling_ = true;
                return;
            }
            Reply(result);
            if (result.rfind("CONNECT", 0) == 0) dataMode_ = true;
            return;
        }
        if (cmd == "ATH0" && escapeCommand_) {
            Reply("OK");
            hangUpRequested_ = true;
            return;
        }
        Reply("OK");
    }

    int master_ = -1;
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> hangUpRequested_{false};
    std::atomic<bool> dataMode_{false};
    std::atomic<bool> closed_{false};
    std::atomic<int> ignoreResets_{0};
    bool dialling_ = false;
    bool escapeCommand_ = false;
    int escape_ = 0;
    std::mutex mutex_;
    std::map<std::string, std::string> results_;
    std::vector<std::string> commands_;
    std::string data_;
};
