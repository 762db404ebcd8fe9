// The error raised by the ZIP extractor for archive-level failures; what() is the text shown
// to the user.
#pragma once

#include <stdexcept>
#include <string>

namespace qx {

class EZxException : public std::runtime_error {
  public:
    explicit EZxException(const std::string& text) : std::runtime_error(text) {}
};

}  // namespace qx
