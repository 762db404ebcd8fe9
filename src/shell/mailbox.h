// One direction of the command channel with the presentation program: a 300-byte shared
// region (layout in platform/ipc_mailbox_region.h) guarded by a named mutex, and a local list.
//
// A reader copies each message it finds into Lines (up to Limit lines; beyond that the message
// is taken and lost). A writer sends the lines of Lines oldest first, one per exchange step,
// and removes a line only when the peer has taken it. Either side that finds the close marker
// drops its view of the region; the mailbox then exchanges nothing until the program restarts.
//
// Threads: all region and list work runs on the main thread. The heartbeat thread only sleeps
// and hands Poll to the main thread synchronously (with a bound; a hand-over that is not
// taken in time is dropped, the next beat tries again).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "mutex.h"
#include "platform/ipc_mailbox_region.h"
#include "shared_mem.h"
#include "support/string_list.h"

namespace qx {

class TMailbox {
  public:
    static constexpr int kHeartbeatMs = 500;

    // Opens the region name and the mutex name + "Semaphore" (raising ESharedMemError or
    // EAbort), then starts the heartbeat (none when heartbeatMs is 0; tests poll by hand).
    // mode containing "Read" makes a reader. lines is not owned and must outlive the mailbox.
    TMailbox(const std::string& name, int32_t limit, TStringList* lines, const std::string& mode,
             int heartbeatMs = kHeartbeatMs);
    // Stops the heartbeat, waits for it, frees the region (removing it when this was its last
    // user).
    ~TMailbox();
    TMailbox(const TMailbox&) = delete;
    TMailbox& operator=(const TMailbox&) = delete;

    void Post(const std::string& text);      // appended when fewer than Limit lines
    bool Get(int index, std::string& text);  // false and "" beyond the last line
    void Delete(int index);
    void Clear();
    void Poll();       // one exchange step
    void Close();      // writer shutdown: close marker, then up to 2 s per pending message
    void Terminate();  // asks the heartbeat to stop (after its current sleep at the latest)
    bool Dead() const { return Mem == nullptr; }

    std::unique_ptr<TSharedMem> Mem;  // null once the peer has closed
    std::unique_ptr<TMutex> Mutex;
    bool IsReader = false;
    bool InFlight = false;  // writer: a message is in the region, not yet seen taken
    int32_t SentCount = 0;  // writer: messages the peer has taken
    int32_t Limit = 10;     // at least 10
    TStringList* Lines = nullptr;
    uint8_t Scratch[ipc::kRegionSize] = {};

  private:
    void Heartbeat(int intervalMs);
    // Under the mutex: lets go of the region; the last user removes it and its mutex's name.
    void FreeRegion();

    std::string name_;
    std::mutex stopMutex_;
    std::condition_variable stopChanged_;
    bool stop_ = false;  // guarded by stopMutex_
    std::thread thread_;
};

}  // namespace qx
