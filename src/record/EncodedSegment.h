#pragma once
// A segment exactly as it is stored: kind, anchor and the f32 offsets of the
// later points. Writers that choose their own offsets (rounded down so a
// point lands at or before a given time, nudged so a rebuilt value comes out
// exact) build this form and can rebuild the points as a reader will.

#include <cstdint>
#include <vector>

#include "record/ControlPoint.h"

namespace al::file {

struct EncodedSegment {
    SegmentKind kind = SegmentKind::Pchip;
    double anchorTime = 0.0;
    double anchorValue = 0.0;
    std::vector<float> timeOffsets;   // points 1 .. n-1, relative to the anchor
    std::vector<float> valueOffsets;  // the same count

    std::size_t pointCount() const noexcept { return timeOffsets.size() + 1; }
    // 8 n + 12 bytes for n points.
    std::size_t encodedSize() const noexcept { return 8 * pointCount() + 12; }
    void clear() noexcept {
        timeOffsets.clear();
        valueOffsets.clear();
    }
    void push(float timeOffset, float valueOffset) {
        timeOffsets.push_back(timeOffset);
        valueOffsets.push_back(valueOffset);
    }
};

// Point k as a reader rebuilds it: the offset widened exactly to f64 and
// added to the f64 anchor.
inline double rebuiltTime(const EncodedSegment& s, std::size_t k) noexcept {
    return k == 0 ? s.anchorTime : s.anchorTime + static_cast<double>(s.timeOffsets[k - 1]);
}
inline double rebuiltValue(const EncodedSegment& s, std::size_t k) noexcept {
    return k == 0 ? s.anchorValue : s.anchorValue + static_cast<double>(s.valueOffsets[k - 1]);
}

// All points as a reader rebuilds them.
std::vector<ControlPoint> rebuildPoints(const EncodedSegment& segment);

// Appends the stored bytes (flags 0). Throws std::invalid_argument for fewer
// than 2 or more than 65535 points or offset arrays of different lengths.
void appendEncodedSegment(std::vector<std::byte>& out, const EncodedSegment& segment);

}  // namespace al::file
