#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace bbssim {

// The weather board's text dialogue, one instance per connection. It gets the caller's bytes
// and answers with text and, where the dialogue says so, a transfer to start or a hang-up.
// It echoes nothing the caller types, and every name it repeats is upper-cased and cut to
// [A-Z0-9._-], so no text of the board matches a prompt the caller waits for by accident.
class Board {
  public:
    struct Config {
        std::optional<std::string> user;
        std::optional<std::string> password;
        std::filesystem::path filesDir;  // empty: the board has no files
        bool silent = false;
        bool quietStart = false;
        bool failLogin = false;
    };

    struct Step {
        enum class Action { None, Send, HangUp };
        std::string text;
        Action action = Action::None;
        std::filesystem::path file;  // for Send
    };

    explicit Board(Config config) : config_(std::move(config)) {}

    // The banner and the first user prompt, once the connection has settled.
    Step Start();
    // One byte from the caller (never called while a transfer runs).
    Step Feed(char c);
    // The transfer started by the last Send step has ended.
    Step TransferDone();

    // The file in dir that the board serves for a requested name: case-insensitive, the name as
    // given first, then with ".zip" added. Names with a path or a leading dot are refused.
    static std::optional<std::filesystem::path> FindFile(const std::filesystem::path& dir,
                                                         const std::string& name);
    // Upper-cased, only [A-Z0-9._-]: safe to repeat to the caller.
    static std::string SafeName(const std::string& name);

    static constexpr int kMaxLoginFailures = 10;

  private:
    enum class State { User, Password, Main, Protocol, FileName, Transfer, Gone };

    Step Line(const std::string& line);
    std::string MainPrompt() const;

    Config config_;
    State state_ = State::User;
    std::string line_;
    std::string userName_;
    int loginFailures_ = 0;
    bool prompted_ = false;  // a user prompt has gone out (by Start or a wake-up)
};

}  // namespace bbssim
