// The station record of forecast and observation files: 236 bytes, little-endian, every field
// 4 bytes wide, records directly after each other without a header. After Station, Date
// (YYYYMMDD) and Time (HHMMSS) at offsets 0, 4 and 8 come 56 elements at 12 + 4 * index, in the
// order of kStationElements, each an int32 (stored in a Smallint column) or a float32 (stored in
// a Float column). That order is also the column order of the station tables.
//
//   offset  type     fields
//   12      float32  El2
//   16..24  int32    El4 El5 El6
//   28..32  float32  El7 El8
//   36      int32    El9
//   40..44  float32  El11 El14
//   48..60  int32    El16 El23 El43 El44
//   64..76  float32  El45 El46 El48 El52
//   80..84  int32    El56 El57
//   88      float32  El66
//   92..96  int32    El68 El69
//   100     float32  El70
//   104..132 int32   El75 El78 El128 El129 El130 El131 El132 El133
//   136     float32  El134
//   140..144 int32   El135 El136
//   148..152 float32 El137 El138
//   156..160 int32   El139 El140
//   164..172 float32 El141 El142 El143
//   176     int32    El144
//   180     float32  El145
//   184..212 int32   El146 El147 El148 El150 El151 El152 El153 El154
//   216..224 float32 El155 El156 El157
//   228     int32    El158
//   232     float32  El159
//
// The value 32766 (int32) or 32766.0 (float32) marks a missing value.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qx {

constexpr size_t kStationRecordSize = 236;
constexpr size_t kStationElementCount = 56;

enum class TElementKind { Smallint, Float };

struct TStationElement {
    const char* Name;  // the column and parameter name, "El2" ...
    TElementKind Kind;
};

extern const std::array<TStationElement, kStationElementCount> kStationElements;

struct TStationRecord {
    int32_t Station = 0;
    int32_t Date = 0;
    int32_t Time = 0;
    std::array<uint32_t, kStationElementCount> Raw{};  // the element words as read

    int32_t IntElement(size_t i) const { return static_cast<int32_t>(Raw[i]); }
    float FloatElement(size_t i) const;
    bool IsMissing(size_t i) const;
};

// Decodes one record from at least 236 bytes.
TStationRecord ParseStationRecord(const unsigned char* bytes);

}  // namespace qx
