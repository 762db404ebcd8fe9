#include "mailbox.h"

#include <chrono>
#include <cstring>

#include "platform/event_loop.h"
#include "support/log.h"

namespace qx {

namespace {

// How long the heartbeat waits for the main thread to take a Poll.
constexpr int kHandOverMs = 1000;
// How long freeing the region waits for the mutex at the end.
constexpr int kReleaseWaitMs = 2000;

// Holds a TMutex for a scope; the wait has no time-out (a dead holder's lock is released by
// the kernel, so it cannot last forever).
class MutexHold {
  public:
    explicit MutexHold(TMutex& m) : m_(m), held_(m.Wait(TMutex::kInfinite)) {}
    ~MutexHold() {
        if (held_) m_.Release();
    }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;

  private:
    TMutex& m_;
    bool held_;
};

}  // namespace

TMailbox::TMailbox(const std::string& name, int32_t limit, TStringList* lines,
                   const std::string& mode, int heartbeatMs)
    : IsReader(mode.find("Read") != std::string::npos),
      Limit(limit < 10 ? 10 : limit),
      Lines(lines),
      name_(name) {
    // The mutex first: the section is opened under it so that the fresh-section check cannot
    // race with the peer's own opening.
    Mutex = std::make_unique<TMutex>(name + "Semaphore");
    {
        MutexHold hold(*Mutex);
        Mem = std::make_unique<TSharedMem>(name, static_cast<int32_t>(ipc::kRegionSize),
                                           TSharedMem::OpenRule::kMailbox);
    }
    if (heartbeatMs > 0) thread_ = std::thread([this, heartbeatMs] { Heartbeat(heartbeatMs); });
}

TMailbox::~TMailbox() {
    Terminate();
    if (thread_.joinable()) thread_.join();
    // Bounded: a peer that keeps the mutex only costs the removal of the names.
    if (Mem != nullptr && Mutex != nullptr && Mutex->Wait(kReleaseWaitMs)) {
        FreeRegion();
        Mutex->Release();
    }
    Mem.reset();
}

void TMailbox::FreeRegion() {
    if (Mem == nullptr) return;
    const bool last = Mem->Leave();
    Mem.reset();
    // The mutex is still held: whoever waits for it finds its name gone and opens a new one.
    if (last) ipc::Unlink(name_ + "Semaphore");
}

void TMailbox::Terminate() {
    {
        std::lock_guard lock(stopMutex_);
        stop_ = true;
    }
    stopChanged_.notify_all();
}

void TMailbox::Heartbeat(int intervalMs) {
    std::unique_lock lock(stopMutex_);
    while (!stop_) {
        lock.unlock();
        SendToMain([this] { Poll(); }, kHandOverMs);
        lock.lock();
        stopChanged_.wait_for(lock, std::chrono::milliseconds(intervalMs),
                              [this] { return stop_; });
    }
}

void TMailbox::Post(const std::string& text) {
    MutexHold hold(*Mutex);
    if (Lines != nullptr && Lines->Count() < Limit) Lines->Add(text);
}

bool TMailbox::Get(int index, std::string& text) {
    MutexHold hold(*Mutex);
    if (Lines != nullptr && index >= 0 && index < Lines->Count()) {
        text = (*Lines)[index];
        return true;
    }
    text.clear();
    return false;
}

void TMailbox::Delete(int index) {
    MutexHold hold(*Mutex);
    if (Lines != nullptr) Lines->Delete(index);
}

void TMailbox::Clear() {
    MutexHold hold(*Mutex);
    if (Lines != nullptr) Lines->Clear();
}

void TMailbox::Poll() {
    if (Mem == nullptr) return;
    MutexHold hold(*Mutex);
    uint8_t* region = Mem->Buffer;
    if (ipc::StateOf(region) == ipc::RegionState::kClosed) {
        // A command line that began with 0xFF reads the same as the peer's close: say what
        // was there, so a dead command channel can be told from a closed one.
        if (IsReader) Log("Close marker in " + name_ + ": " + ipc::DescribeRegion(region), 1);
        FreeRegion();  // the peer has closed: dead from now on
        return;
    }
    if (Lines == nullptr) return;
    if (IsReader) {
        if (ipc::StateOf(region) == ipc::RegionState::kEmpty) return;
        std::memcpy(Scratch, region, sizeof Scratch);
        const std::string text = ipc::TakeMessage(region);
        if (Lines->Count() < Limit) Lines->Add(text);
        return;
    }
    if (ipc::StateOf(region) != ipc::RegionState::kEmpty) return;
    if (InFlight) {
        ++SentCount;
        InFlight = false;
        Lines->Delete(0);
    }
    if (!Lines->Empty()) {
        std::memset(Scratch, 0, sizeof Scratch);
        const std::string& first = (*Lines)[0];
        const size_t n = ipc::PlaceMessage(region, first);
        std::memcpy(Scratch, first.data(), n);
        InFlight = true;
    }
}

void TMailbox::Close() {
    if (IsReader || Lines == nullptr) return;
    // Count what the peer took since the last heartbeat: a reply read just before shutdown
    // means a reading peer, which must get the close marker.
    Poll();
    if (SentCount <= 0) return;
    Post(std::string(1, static_cast<char>(ipc::kCloseMarker)));
    while (!Lines->Empty()) {
        const int before = Lines->Count();
        for (int i = 0; i < 20 && Lines->Count() == before; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            Poll();
            if (Mem == nullptr) return;
        }
        if (Lines->Count() == before) return;  // the peer is not reading any more
    }
}

}  // namespace qx
