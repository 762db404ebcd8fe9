#include "shared_mem.h"

#include <cstdio>

#include "message_box.h"

namespace qx {

TSharedMem::TSharedMem(const std::string& name, int32_t size, OpenRule rule)
    : Name(name), Size(size) {
    int err = 0;
    if (size < 0) {
        err = EINVAL;
    } else if (rule == OpenRule::kMailbox) {
        err = ipc::OpenSection(name, static_cast<size_t>(size), Handle, mapping_);
    } else {
        err = ipc::OpenObject(name, static_cast<size_t>(size), Handle);
        if (err == 0) err = mapping_.Map(Handle.get(), static_cast<size_t>(size));
    }
    if (err != 0) {
        char text[512];
        std::snprintf(text, sizeof text, "Error creating shared memory %s (%d)", name.c_str(), err);
        std::string message = text;
        if (const std::string why = ipc::OpenFailureText(name, err); !why.empty()) {
            message += "\n" + why;
        }
        ShowMessage(message);
        throw ESharedMemError(message);
    }
    Buffer = mapping_.Data();
}

bool TSharedMem::Leave() {
    Buffer = nullptr;
    return ipc::LeaveSection(Name, Handle, mapping_);
}

TSharedMem::~TSharedMem() {
    mapping_.Unmap();
    Buffer = nullptr;
}

}  // namespace qx
