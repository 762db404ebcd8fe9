// A network line: a board reached over TCP, as raw bytes (`tcp:HOST:PORT`) or through telnet
// in binary mode (`telnet:HOST[:PORT]`, port 23 by default). HOST is a name, an IPv4 address or
// an IPv6 address in brackets.
//
// It behaves as a modem line does towards the line device (call_line.h): MakeCall (the number
// is only logged) is answered at once, the call goes DIALTONE and DIALING and then connects
// (CONNECTED) or ends (DISCONNECTED) with a mode: a refused connection is a busy line, no
// answer within the dial wait is no answer, anything else an unavailable call. The board
// closing the connection is a remote hang-up (DISCONNECTED, normal). Drop closes the
// connection, then the call goes IDLE and the drop is answered.
//
// The host name is resolved when the line is opened, so a host that cannot be found is a line
// that cannot be opened. A name holding characters no host name can hold fails there without
// asking any name server.
//
// On a raw line the port reads and writes the connection itself. On a telnet line the port gets
// one end of a local socket pair and the line's worker relays between it and the connection
// through the telnet codec, so the port only ever sees the board's own bytes.
//
// Thread use: all members on the main thread; the worker owns the connection.
#pragma once

#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/call_line.h"
#include "platform/posix_io.h"

namespace qx {

class TTelnetCodec;

struct NetLineAddress {
    bool telnet = false;
    std::string host;  // without brackets
    std::string port;
};

// True when name has the form of a network line (the host is not checked).
bool ParseNetLineName(const std::string& name, NetLineAddress& address);

class TNetLine : public TWorkerCallLine {
  public:
    ~TNetLine() override;  // closes the connection and ends the worker
    TNetLine(const TNetLine&) = delete;
    TNetLine& operator=(const TNetLine&) = delete;

    // Resolves the line's host. On failure returns nullptr with a negative errno in result
    // (-EADDRNOTAVAIL: the host cannot be found) and a text for the user in error.
    static std::unique_ptr<TNetLine> Open(const std::string& name, ModemLineEvents events,
                                          int& result, std::string& error,
                                          const ModemTimings& timings = ModemTimings());

    int MakeCall(const std::string& number) override;
    const std::string& Path() const override { return name_; }
    int Descriptor() const override;

  private:
    TNetLine(std::string name, NetLineAddress address, ModemTimings timings);
    void Run();
    void Connect();
    // Worker loops of a connected call; each returns when a command is waiting.
    void Relay();
    void Watch();
    void CloseConnection();
    void Wake() override;
    void TakeWake() override;

    const std::string name_;
    const NetLineAddress address_;
    const ModemTimings timings_;
    std::vector<sockaddr_storage> addresses_;
    std::vector<socklen_t> addressSizes_;
    int portFd_ = -1;  // guarded by mutex_  // what the port uses: the connection, or the local end
                       // of the pair

    UniqueFd wakeFd_;
    // Worker thread only.
    UniqueFd socket_;
    UniqueFd relayFd_;  // the line's end of the pair (telnet)
    UniqueFd portEnd_;  // the port's end of the pair (telnet)
    bool connected_ = false;
    bool boardClosed_ = false;     // the board closed its side (or the connection broke)
    bool hangUpReported_ = false;  // the remote hang-up has been posted
    std::unique_ptr<TTelnetCodec> codec_;
    std::string toBoard_;  // encoded, for the connection; sent from toBoardDone_ on
    size_t toBoardDone_ = 0;
    std::string toPort_;  // decoded, for the port; sent from toPortDone_ on
    size_t toPortDone_ = 0;
};

}  // namespace qx
