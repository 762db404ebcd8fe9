#include "station_record.h"

#include <cstring>

namespace qx {

namespace {

constexpr TElementKind S = TElementKind::Smallint;
constexpr TElementKind F = TElementKind::Float;

uint32_t Word(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

constexpr int32_t kMissingInt = 32766;
constexpr float kMissingFloat = 32766.0f;

}  // namespace

const std::array<TStationElement, kStationElementCount> kStationElements = {{
    {"El2", F},   {"El4", S},   {"El5", S},   {"El6", S},   {"El7", F},   {"El8", F},
    {"El9", S},   {"El11", F},  {"El14", F},  {"El16", S},  {"El23", S},  {"El43", S},
    {"El44", S},  {"El45", F},  {"El46", F},  {"El48", F},  {"El52", F},  {"El56", S},
    {"El57", S},  {"El66", F},  {"El68", S},  {"El69", S},  {"El70", F},  {"El75", S},
    {"El78", S},  {"El128", S}, {"El129", S}, {"El130", S}, {"El131", S}, {"El132", S},
    {"El133", S}, {"El134", F}, {"El135", S}, {"El136", S}, {"El137", F}, {"El138", F},
    {"El139", S}, {"El140", S}, {"El141", F}, {"El142", F}, {"El143", F}, {"El144", S},
    {"El145", F}, {"El146", S}, {"El147", S}, {"El148", S}, {"El150", S}, {"El151", S},
    {"El152", S}, {"El153", S}, {"El154", S}, {"El155", F}, {"El156", F}, {"El157", F},
    {"El158", S}, {"El159", F},
}};

float TStationRecord::FloatElement(size_t i) const {
    float f;
    std::memcpy(&f, &Raw[i], sizeof f);
    return f;
}

bool TStationRecord::IsMissing(size_t i) const {
    return kStationElements[i].Kind == TElementKind::Smallint ? IntElement(i) == kMissingInt
                                                              : FloatElement(i) == kMissingFloat;
}

TStationRecord ParseStationRecord(const unsigned char* bytes) {
    TStationRecord r;
    r.Station = static_cast<int32_t>(Word(bytes));
    r.Date = static_cast<int32_t>(Word(bytes + 4));
    r.Time = static_cast<int32_t>(Word(bytes + 8));
    for (size_t i = 0; i < kStationElementCount; ++i) r.Raw[i] = Word(bytes + 12 + 4 * i);
    return r;
}

}  // namespace qx
