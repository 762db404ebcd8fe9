// A named section of shared memory, mapped writable at offset 0.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "handled_object.h"
#include "platform/ipc_objects.h"

namespace qx {

// "Error creating shared memory <name> (<error code>)".
class ESharedMemError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class TSharedMem : public THandledObject {
  public:
    // How the section is opened: kPlain just maps it; kMailbox follows the mailbox rule (the
    // caller holds the mailbox's mutex): a section nobody else has open is zero-filled, and a
    // shared lock on it says that this process uses it until the object is freed.
    enum class OpenRule { kPlain, kMailbox };

    // Creates or opens the section and maps Size bytes. On failure shows and raises
    // ESharedMemError.
    TSharedMem(const std::string& name, int32_t size, OpenRule rule = OpenRule::kPlain);
    ~TSharedMem() override;  // unmaps, then closes the handle

    // For a mailbox section, under the mailbox's mutex: unmaps and closes it, removing it when
    // nobody else has it open. True when it was removed.
    bool Leave();

    std::string Name;
    int32_t Size = 0;
    uint8_t* Buffer = nullptr;

  private:
    ipc::Mapping mapping_;
};

}  // namespace qx
