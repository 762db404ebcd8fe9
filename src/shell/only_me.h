// The single-instance guard: an exclusive lock on the section named after the program, held
// for the life of the process (a crashed instance's lock goes with it).
#pragma once

#include <memory>
#include <string>

#include "shared_mem.h"

namespace qx {

class TOnlyMe {
  public:
    // Maps the section (length of name + 1 bytes) and takes the guard. When another instance
    // holds it, shows "Process <name> already running" and sets AlreadyRunning; the caller then
    // ends the program without taking part in anything. Raises ESharedMemError when the section
    // cannot be created.
    explicit TOnlyMe(const std::string& name);
    // The guard's section goes with the instance that held it.
    ~TOnlyMe();
    TOnlyMe(const TOnlyMe&) = delete;
    TOnlyMe& operator=(const TOnlyMe&) = delete;

    bool AlreadyRunning = false;
    std::unique_ptr<TSharedMem> Mem;

  private:
    std::string name_;
};

}  // namespace qx
