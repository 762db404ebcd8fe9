#include "display.h"

#include <cstdlib>

namespace qx {

namespace {

bool NonEmpty(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0';
}

}  // namespace

bool DisplayConfigured() {
    return NonEmpty("DISPLAY") || NonEmpty("WAYLAND_DISPLAY");
}

}  // namespace qx
