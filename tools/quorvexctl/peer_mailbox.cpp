#include "peer_mailbox.h"

namespace qx::ctl {

// Holds the mailbox mutex for a scope (no time-out: a dead holder's lock goes with it).
class PeerMailbox::Hold {
  public:
    explicit Hold(PeerMailbox& box)
        : box_(box),
          held_(ipc::LockNamed(box.name_ + "Semaphore", box.mutex_, ipc::LockMode::kExclusive)) {}
    ~Hold() {
        if (held_) ipc::Unlock(box_.mutex_.get());
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    bool held() const { return held_; }

  private:
    PeerMailbox& box_;
    bool held_;
};

int PeerMailbox::Open(const std::string& name) {
    name_ = name;
    if (int err = ipc::OpenObject(name + "Semaphore", 0, mutex_); err != 0) return err;
    Hold hold(*this);
    if (!hold.held()) return errno;
    return ipc::OpenSection(name, ipc::kRegionSize, section_, map_);
}

void PeerMailbox::Release() {
    if (!section_) return;
    Hold hold(*this);
    if (ipc::LeaveSection(name_, section_, map_)) ipc::Unlink(name_ + "Semaphore");
}

bool PeerMailbox::TryPlace(const std::string& text) {
    if (!IsOpen()) return false;
    Hold hold(*this);
    if (ipc::StateOf(map_.Data()) != ipc::RegionState::kEmpty) return false;
    ipc::PlaceMessage(map_.Data(), text);
    return true;
}

bool PeerMailbox::SlotFree() {
    if (!IsOpen()) return false;
    Hold hold(*this);
    return ipc::StateOf(map_.Data()) == ipc::RegionState::kEmpty;
}

PeerMailbox::Took PeerMailbox::TryTake(std::string& text) {
    if (!IsOpen()) return Took::kClosed;
    Took took = Took::kNothing;
    {
        Hold hold(*this);
        switch (ipc::StateOf(map_.Data())) {
            case ipc::RegionState::kEmpty:
                break;
            case ipc::RegionState::kClosed:
                took = Took::kClosed;
                break;
            case ipc::RegionState::kMessage:
                text = ipc::TakeMessage(map_.Data());
                took = Took::kMessage;
                break;
        }
    }
    if (took == Took::kClosed) Release();
    return took;
}

}  // namespace qx::ctl
