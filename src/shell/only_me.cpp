#include "only_me.h"

#include <cstring>

#include "message_box.h"

namespace qx {

TOnlyMe::TOnlyMe(const std::string& name)
    : Mem(std::make_unique<TSharedMem>(name, static_cast<int32_t>(name.size() + 1))) {
    if (!ipc::TryLock(Mem->Handle.get(), ipc::LockMode::kExclusive)) {
        AlreadyRunning = true;
        ShowMessage("Process " + name + " already running");
        return;
    }
    // Held: the name in the region says so to anyone who looks.
    std::memcpy(Mem->Buffer, name.c_str(), name.size() + 1);
}

}  // namespace qx
