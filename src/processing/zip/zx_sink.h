// Where decoded bytes go: the extractor's temporary output file, or nothing (fuzz targets).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx {

class TZxSink {
  public:
    virtual ~TZxSink() = default;
    // Receives at most 32768 bytes per call; false stops the entry.
    virtual bool Write(const uint8_t* data, size_t size) = 0;
};

}  // namespace qx
