#pragma once
// Evaluation of a channel's segments on an increasing run of DSD instants.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "record/CurveSegment.h"

namespace morrow::dsd {

// Gives exactly the value channel evaluation gives (the same segment chosen
// by the same cursor rule, the same interval of a PCHIP curve, the same
// operations, so the same bits), but finds the cubic interval from the one
// used last instead of by bisection: on increasing times that is one
// comparison per value instead of ten. One walker per channel and thread;
// reset() when the segments change.
class CurveWalker {
public:
    void reset() noexcept { *this = CurveWalker{}; }

    // The values at the instants (first + k) / rate for k = 0, 1, ... into
    // out, until count values are written or an instant is not before limit
    // (that instant and those after it are left alone); returns how many
    // were written. Exactly the values (and afterwards the walker state) of
    // valueAt at each instant in turn: each run of instants that falls in
    // one cubic interval is found once and evaluated in a tight loop with
    // the same time computation and the same Horner order.
    // Requires first + count below 2^53 (every index exact as a double).
    std::size_t fill(const std::vector<al::file::CurveSegment>& segments, std::uint64_t first,
                     std::size_t count, double rate, double* out,
                     double limit = std::numeric_limits<double>::infinity()) noexcept;

    double valueAt(const std::vector<al::file::CurveSegment>& segments, double t) noexcept {
        run_ = nullptr;
        const std::size_t count = segments.size();
        if (count == 0) {
            return 0.0;
        }
        std::size_t i = std::min(segment_, count - 1);
        while (i + 1 < count && t >= segments[i].lastTime()) {
            ++i;
        }
        while (i > 0 && segments[i].firstTime() > t) {
            --i;
        }
        segment_ = i;
        const al::file::CurveSegment& s = segments[i];
        const auto& points = s.points();
        if (t <= points.front().time) {
            return points.front().value;
        }
        if (t >= points.back().time) {
            return points.back().value;
        }
        if (s.kind() != al::file::SegmentKind::Pchip) {
            return s.valueAt(t);
        }
        const auto& intervals = s.pchip().intervals();
        std::size_t j;
        if (intervalSegment_ != i || interval_ >= intervals.size()) {
            j = static_cast<std::size_t>(
                std::upper_bound(intervals.begin(), intervals.end(), t,
                                 [](double x, const al::file::CubicInterval& c) { return x < c.xRight; }) -
                intervals.begin());
            j = std::min(j, intervals.size() - 1);
            intervalSegment_ = i;
        } else {
            j = interval_;
            while (j + 1 < intervals.size() && intervals[j].xRight <= t) {
                ++j;
            }
            while (j > 0 && intervals[j - 1].xRight > t) {
                --j;
            }
        }
        interval_ = j;
        const al::file::CubicInterval& iv = intervals[j];
        // Later instants before this bound take the same segment, the same
        // interval and this very expression.
        run_ = &iv;
        runEnd_ = std::min(iv.xRight, points.back().time);
        const double x = t - iv.xLeft;
        return ((iv.a3 * x + iv.a2) * x + iv.a1) * x + iv.a0;
    }

private:
    std::size_t segment_ = 0;
    std::size_t interval_ = 0;
    std::size_t intervalSegment_ = static_cast<std::size_t>(-1);
    // The interval the last valueAt evaluated, null when it took another
    // path, and the time before which it stays the one chosen.
    const al::file::CubicInterval* run_ = nullptr;
    double runEnd_ = 0.0;
};

}  // namespace morrow::dsd
