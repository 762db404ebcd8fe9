// A named mutex shared with the presentation program (an exclusive flock on a named object;
// the kernel releases it when its holder dies). Like the system mutex it stands for, it may be
// taken again by the thread that holds it; each Wait needs its Release.
#pragma once

#include <cstdint>
#include <string>
#include <thread>

#include "handled_object.h"

namespace qx {

class TMutex : public THandledObject {
  public:
    static constexpr int64_t kInfinite = -1;

    // Creates or opens the mutex, not owned. Raises EAbort (silently) when it cannot.
    explicit TMutex(const std::string& name);
    ~TMutex() override;

    // True when the wait acquired the mutex; false on time-out or failure.
    bool Wait(int64_t milliseconds);
    // True when the release succeeded (the caller held it).
    bool Release();

  private:
    std::string name_;
    std::thread::id owner_;
    int depth_ = 0;
};

}  // namespace qx
