// A silent abort: raised to end an operation without any message (the caller already said
// what it had to, or nothing is to be said).
#pragma once

#include <stdexcept>
#include <string>

namespace qx {

class EAbort : public std::runtime_error {
  public:
    explicit EAbort(const std::string& what = "Operation aborted") : std::runtime_error(what) {}
};

}  // namespace qx
