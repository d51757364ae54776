#pragma once
// One curve segment of a channel: a straight line, a polyline or a PCHIP
// curve through control points, and the decoding of a block payload into
// segments.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "record/ControlPoint.h"
#include "record/PchipCurve.h"
#include "record/RecordFormat.h"

namespace al::file {

// A validated segment: at least two points with finite, strictly increasing
// times and finite values; LINEAR has exactly two; PCHIP carries its curve,
// built once here. Immutable after construction and movable, never copied
// (a channel owns its segments). const members may be called from any thread.
class CurveSegment {
public:
    // Throws std::invalid_argument with the first broken rule: fewer than two
    // points, a nonfinite point, times not increasing, LINEAR without exactly
    // two points, an unknown kind, or a PCHIP curve that cannot be built.
    CurveSegment(SegmentKind kind, std::uint8_t flags, std::vector<ControlPoint> points);

    CurveSegment(CurveSegment&&) noexcept = default;
    CurveSegment& operator=(CurveSegment&&) noexcept = default;
    CurveSegment(const CurveSegment&) = delete;
    CurveSegment& operator=(const CurveSegment&) = delete;

    // The value at time x; the end values outside the points (never an
    // extrapolation). Lines use an exact monotone interpolation: the end
    // values are met exactly and never overshot.
    double valueAt(double x) const noexcept;
    // valueAt for each of `count` times given in non-decreasing order:
    // out[i] = valueAt(times[i]), the same bits. A run of times is walked
    // piece by piece (one cubic interval or one line between two points at a
    // time, its coefficients loaded once) instead of searching per time.
    // Allocates nothing; any thread.
    void valuesAt(const double* times, std::size_t count, double* out) const noexcept;

    SegmentKind kind() const noexcept { return kind_; }
    std::uint8_t flags() const noexcept { return flags_; }
    const std::vector<ControlPoint>& points() const noexcept { return points_; }
    const PchipCurve& pchip() const noexcept { return pchip_; }  // empty unless PCHIP
    double firstTime() const noexcept { return points_.front().time; }
    double lastTime() const noexcept { return points_.back().time; }

private:
    double lineValueAt(double x) const noexcept;
    // The interior (strictly between the first and last point) of valuesAt.
    void pchipValuesAt(const double* times, std::size_t count, double* out) const noexcept;
    void lineValuesAt(const double* times, std::size_t count, double* out) const noexcept;

    SegmentKind kind_;
    std::uint8_t flags_;
    std::vector<ControlPoint> points_;
    PchipCurve pchip_;
};

// Decodes the payload of a block whose checksum has been checked, in place
// through a bounded cursor: the block's segments in payload order. Throws
// std::runtime_error with the decoding message of the first fault (short
// read, bad count, bad id, nonfinite anchor, bad rebuilt points, trailing
// bytes), or std::invalid_argument from segment construction. Any thread.
std::vector<CurveSegment> decodeSegments(const BlockView& block);

// The control points of a block's segments, read from their counts alone
// (no decoding, no checksum): segments are hopped over by their encoded
// size, and counting stops at the first one that is malformed or does not
// fit the payload. Any thread.
std::uint64_t countControlPoints(const BlockView& block) noexcept;

}  // namespace al::file
