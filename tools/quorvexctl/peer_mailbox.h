// One mailbox as the presentation program uses it: the named mutex, the section opened by the
// fresh-section rule and held shared, and exchange steps that each take and release the mutex.
#pragma once

#include <string>

#include "platform/ipc_mailbox_region.h"
#include "platform/ipc_objects.h"

namespace qx::ctl {

class PeerMailbox {
  public:
    // Opens (creating when needed) the mailbox name and its mutex name + "Semaphore".
    // Returns 0 or an errno value.
    int Open(const std::string& name);
    // Drops the view of the section (after the close marker, or at the end), removing the
    // section and its mutex's name when nobody else has it open.
    void Release();
    PeerMailbox() = default;
    ~PeerMailbox() { Release(); }
    PeerMailbox(const PeerMailbox&) = delete;
    PeerMailbox& operator=(const PeerMailbox&) = delete;
    bool IsOpen() const { return map_.IsMapped(); }

    // Writer step: places text when the slot is free. True when placed.
    bool TryPlace(const std::string& text);
    // Writer: true when the slot is free (the last message was taken).
    bool SlotFree();

    enum class Took { kNothing, kMessage, kClosed };
    // Reader step: takes a message, or reports the close marker.
    Took TryTake(std::string& text);

  private:
    class Hold;
    std::string name_;
    UniqueFd mutex_;
    UniqueFd section_;
    ipc::Mapping map_;
};

}  // namespace qx::ctl
