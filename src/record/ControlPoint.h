#pragma once

#include <cstdint>

namespace al::file {

// One point of a curve segment: seconds on the record's time axis and a
// full-scale amplitude (1.0 is full scale).
struct ControlPoint {
    double time = 0.0;
    double value = 0.0;
};

// Transport primitive ids, equal to the kind of a decoded segment.
enum class SegmentKind : std::uint8_t { Linear = 1, Pchip = 2, Polyline = 3 };

}  // namespace al::file
