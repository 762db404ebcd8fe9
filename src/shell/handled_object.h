// Base of the objects that own one kernel handle (here: the descriptor of a named object).
#pragma once

#include "platform/posix_io.h"

namespace qx {

class THandledObject {
  public:
    THandledObject() = default;
    virtual ~THandledObject() = default;  // the handle closes with Handle
    THandledObject(const THandledObject&) = delete;
    THandledObject& operator=(const THandledObject&) = delete;

    UniqueFd Handle;
};

}  // namespace qx
