#include "mutex.h"

#include <climits>

#include "message_box.h"
#include "platform/ipc_objects.h"
#include "support/abort_error.h"

namespace qx {

TMutex::TMutex(const std::string& name) : name_(name) {
    if (int err = ipc::OpenObject(name, 0, Handle); err != 0) {
        // Silent, except for a stale object of another user, which nobody could guess.
        if (const std::string why = ipc::OpenFailureText(name, err); !why.empty()) {
            ShowMessage(why);
        }
        throw EAbort();
    }
}

TMutex::~TMutex() {
    if (depth_ > 0 && Handle) ipc::Unlock(Handle.get());
}

bool TMutex::Wait(int64_t milliseconds) {
    if (!Handle) return false;
    if (depth_ > 0 && owner_ == std::this_thread::get_id()) {
        ++depth_;
        return true;
    }
    const int bound = milliseconds < 0         ? -1
                      : milliseconds > INT_MAX ? INT_MAX
                                               : static_cast<int>(milliseconds);
    if (!ipc::LockNamed(name_, Handle, ipc::LockMode::kExclusive, bound)) return false;
    owner_ = std::this_thread::get_id();
    depth_ = 1;
    return true;
}

bool TMutex::Release() {
    if (depth_ == 0 || owner_ != std::this_thread::get_id()) return false;
    if (--depth_ > 0) return true;
    owner_ = std::thread::id();
    return ipc::Unlock(Handle.get());
}

}  // namespace qx
