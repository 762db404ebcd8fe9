// Test peers for the ZMODEM receiver: a real lrzsz sender on a pseudo-terminal, and the event
// record of a TCxProtocol run on the main thread.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comm/com_port.h"
#include "protocol/cx_protocol.h"
#include "protocol/protocol_port.h"

namespace qx::test {

// A child process whose standard input and output are the slave side of a pseudo-terminal
// in raw mode, or one end of a TCP connection over the loopback (as a network line has it);
// MasterFd() is our side.
class PtyChild {
  public:
    enum Line { kPty, kTcp };
    // Starts argv[0] (searched in PATH) in dir.
    PtyChild(const std::vector<std::string>& argv, const std::string& dir, Line line = kPty);
    ~PtyChild();
    PtyChild(const PtyChild&) = delete;
    PtyChild& operator=(const PtyChild&) = delete;
    int MasterFd() const { return master_; }
    pid_t Pid() const { return pid_; }
    void Kill(int sig);
    // Waits for the child to end (bounded); its exit status, or -1.
    int Wait(int timeoutMs);

  private:
    int master_ = -1;
    int slave_ = -1;
    pid_t pid_ = -1;
    int status_ = -1;
};

// A pair of descriptors between two programs with a relay in the middle that passes bytes
// from the sender to us and may damage them on the way.
class Relay {
  public:
    // damage(offset, byte) -> -1 to drop the byte, else the byte to pass on.
    using Damage = std::function<int(int64_t offset, uint8_t byte)>;
    // our side: OurFd(). Without passEof our side stays open when the sender ends, as a modem
    // line does when the program on the far side dies.
    Relay(int senderFd, Damage damage, bool passEof = true);
    ~Relay();
    int OurFd() const { return ours_; }

  private:
    struct Impl;
    Impl* impl_;
    int ours_ = -1;
};

// The program's serial port, opened on fd (a pseudo-terminal master or a socket).
std::unique_ptr<TCxComPort> OpenPort(int fd);

// Everything a TCxProtocol told the program, in order.
struct EventRecord {
    struct Event {
        char Kind;  // 'S' status, 'L' log, 'A' accept, 'E' error, 'F' finish
        int Code;
        std::string Name;
    };
    std::vector<Event> Events;
    bool Finished = false;
    int FinishCode = 0;
    std::vector<std::string> Received;              // paths of files logged 1
    std::function<bool(std::string& name)> Accept;  // optional: decides accept, may rename

    void Attach(TCxProtocol& p);
    int Count(char kind, int code) const;
};

// Runs the event loop until pred holds or timeoutMs passes; returns pred().
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs);

// Makes sure a QCoreApplication exists for the events.
void EnsureApplication();

std::string MakeTempDir(const std::string& tag);
void WriteFile(const std::string& path, const std::string& data);
std::string ReadFile(const std::string& path);
std::string RandomBytes(size_t n, unsigned seed);

// The program's settings for a receive (plus the test's own handshake wait when non-zero).
void ConfigureLikeProgram(TCxProtocol& p, const std::string& dir);

}  // namespace qx::test
