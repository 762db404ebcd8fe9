#include "only_me.h"

#include <cstring>

#include "message_box.h"

namespace qx {

TOnlyMe::TOnlyMe(const std::string& name)
    : Mem(std::make_unique<TSharedMem>(name, static_cast<int32_t>(name.size() + 1))), name_(name) {
    for (;;) {
        if (!ipc::TryLock(Mem->Handle.get(), ipc::LockMode::kExclusive)) {
            AlreadyRunning = true;
            ShowMessage("Process " + name + " already running");
            return;
        }
        // An instance that ended meanwhile removed the name: guard the new object instead.
        if (ipc::StillNamed(name, Mem->Handle.get())) break;
        Mem = std::make_unique<TSharedMem>(name, static_cast<int32_t>(name.size() + 1));
    }
    // Held: the name in the region says so to anyone who looks.
    std::memcpy(Mem->Buffer, name.c_str(), name.size() + 1);
}

TOnlyMe::~TOnlyMe() {
    // Still held exclusively, so nobody else uses it.
    if (!AlreadyRunning && Mem != nullptr) ipc::Unlink(name_);
}

}  // namespace qx
