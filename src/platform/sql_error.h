// The error the SQL layer raises: the engine's message, with the statement or file it concerns.
#pragma once

#include <stdexcept>
#include <string>

namespace qx {

class ESqlError : public std::runtime_error {
  public:
    explicit ESqlError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace qx
