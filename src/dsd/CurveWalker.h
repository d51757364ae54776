#pragma once
// Evaluation of a channel's segments on an increasing run of DSD instants.

#include <algorithm>
#include <cstddef>
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

    double valueAt(const std::vector<al::file::CurveSegment>& segments, double t) noexcept {
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
        const double x = t - iv.xLeft;
        return ((iv.a3 * x + iv.a2) * x + iv.a1) * x + iv.a0;
    }

private:
    std::size_t segment_ = 0;
    std::size_t interval_ = 0;
    std::size_t intervalSegment_ = static_cast<std::size_t>(-1);
};

}  // namespace morrow::dsd
