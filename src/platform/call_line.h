// What the line device needs of one open line, whatever carries the call: a modem on a serial
// device (modem_line.h) or a connection to a board over the network (net_line.h).
//
// A line reports to the main thread, through PostToMain and in the order things happened, as a
// line provider reports to its client: call states (with a disconnect mode) and the replies to
// asynchronous requests. Reports still queued when the line is closed are dropped.
//
// Thread use: all members on the main thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace qx {

// Call states and disconnect modes, numbered as line providers number them.
enum : uint32_t {
    kLineCallIdle = 0x1,
    kLineCallDialTone = 0x8,
    kLineCallDialing = 0x10,
    kLineCallProceeding = 0x200,
    kLineCallConnected = 0x100,
    kLineCallDisconnected = 0x4000,
};
enum : uint32_t {
    kLineDisconnectNormal = 0x1,
    kLineDisconnectUnknown = 0x2,
    kLineDisconnectBusy = 0x20,
    kLineDisconnectNoAnswer = 0x40,
    kLineDisconnectBadAddress = 0x80,
    kLineDisconnectUnavail = 0x800,
    kLineDisconnectNoDialTone = 0x1000,
};

// Time limits of the dialogue, in milliseconds; tests shorten them. A network line uses only
// DialMs (the wait for the board to accept the connection).
struct ModemTimings {
    int CommandMs = 5000;     // reply to "ATZ" and the init string
    int DialMs = 60000;       // result of "ATDT"
    int DtrDropMs = 1200;     // DTR held down to hang up (modems want at least a second)
    int GuardMs = 1100;       // silence around "+++"
    int CarrierPollMs = 250;  // carrier checks of a connected call
};

struct ModemLineEvents {
    std::function<void(uint32_t state, uint32_t mode)> CallState;
    std::function<void(int request, int result)> Reply;
};

class TCallLine {
  public:
    // Result codes of the requests (negative; the line device maps them to its errors).
    enum : int { kErrCallExists = -1, kErrNoCall = -2, kErrInvalid = -3 };

    virtual ~TCallLine() = default;

    // Starts a call; returns the request id (> 0), kErrCallExists, or kErrInvalid when the
    // number cannot be dialled on this line.
    virtual int MakeCall(const std::string& number) = 0;
    // Hangs the call up; returns the request id (> 0) or kErrNoCall.
    virtual int Drop() = 0;
    // The far end's hang-up came as "NO CARRIER" in the data: the modem is back in command
    // mode, so the next Drop needs no escape to reach it.
    virtual void NoteCommandMode() {}
    // Forgets an idle call (after Drop was answered).
    virtual void Deallocate() = 0;
    virtual bool HasCall() const = 0;
    // The call state as last reported to the main thread (0 before the first report).
    virtual uint32_t CallState() const = 0;
    // What connected the call ("CONNECT 33600/ARQ").
    virtual std::string ConnectText() const = 0;
    // Takes what the far end sent together with the connection, for the port to read first.
    virtual std::string TakeConnectData() { return {}; }
    // The line's name.
    virtual const std::string& Path() const = 0;
    // The descriptor the port reads and writes once the call is connected. The line keeps
    // owning it.
    virtual int Descriptor() const = 0;
};

// What every line with a worker thread shares: the requests queued for the worker, the serials
// that tell one call from the next, and the reports posted back to the main thread.
class TWorkerCallLine : public TCallLine {
  public:
    int Drop() override;
    void Deallocate() override;
    bool HasCall() const override { return hasCall_; }
    uint32_t CallState() const override;
    std::string ConnectText() const override;
    std::string TakeConnectData() override;

  protected:
    struct Command {
        enum Kind { kMakeCall, kDrop, kStop } kind;
        int request = 0;
        int call = 0;  // serial of the call the command is about
        std::string number;
    };
    // What the main thread sees; shared with the posted reports so that reports arriving
    // after the line closed find it dead and do nothing.
    struct Shared {
        bool alive = true;
        int call = 0;  // serial of the current call; reports of older calls are dropped
        uint32_t callState = 0;
        std::string connectText;
        std::string connectData;  // read with the connection, not yet taken
        ModemLineEvents events;
    };

    TWorkerCallLine() : shared_(std::make_shared<Shared>()) {}
    // Starts the worker running run (after the line is set up).
    void StartWorker(ModemLineEvents events, std::function<void()> run);
    // Ends the worker: the destructor of the derived line calls it first, while what the
    // worker uses still exists.
    void StopWorker();
    // Queues a call to number (checked by the caller); returns the request id.
    int QueueCall(const std::string& number);
    // Worker: takes the next command when there is one (consuming the wake-up).
    bool NextCommand(Command& cmd);
    // Worker: reports of the call being worked on (call_).
    void PostState(uint32_t state, uint32_t mode, const std::string& connectText = {},
                   std::string connectData = {});
    void PostReply(int request, int result);
    // Wakes the worker from whatever it waits for; TakeWake consumes the wake-up.
    virtual void Wake() = 0;
    virtual void TakeWake() = 0;

    mutable std::mutex mutex_;  // guards commands_, and what derived lines name
    int call_ = 0;              // worker: serial of the call being worked on

  private:
    void Queue(Command cmd);

    std::shared_ptr<Shared> shared_;
    std::deque<Command> commands_;
    bool hasCall_ = false;  // main thread
    int nextRequest_ = 1;   // main thread
    int nextCall_ = 1;      // main thread
    std::thread worker_;
};

}  // namespace qx
