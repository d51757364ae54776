#include "record/PchipCurve.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "record/PchipFill.h"

namespace al::file {

namespace {

using pchip_detail::fillIntervals;
using pchip_detail::reject;

constexpr auto kWhole = [](std::size_t) { return true; };

}  // namespace

template <typename Time, typename Value>
void PchipCurve::buildFrom(std::size_t n, Time timeOf, Value valueOf) {
    intervals_.clear();
    if (n < 2) {
        reject("PCHIP requires equal x/y arrays with at least two points");
    }
    std::vector<CubicInterval> out(n - 1);
    fillIntervals(n, timeOf, valueOf, out.data(), kWhole);
    intervals_ = std::move(out);
}

void PchipCurve::fill(std::span<const ControlPoint> points, std::span<CubicInterval> out) {
    if (points.size() < 2) {
        reject("PCHIP requires equal x/y arrays with at least two points");
    }
    if (out.size() + 1 != points.size()) {
        reject("PCHIP intervals must be one fewer than the points");
    }
    fillIntervals(
        points.size(), [points](std::size_t i) { return points[i].time; },
        [points](std::size_t i) { return points[i].value; }, out.data(), kWhole);
}

double PchipCurve::valueThrough(std::span<const ControlPoint> points, double x) {
    constexpr std::size_t kMost = 8;
    if (points.size() < 2 || points.size() > kMost) {
        reject("PCHIP local evaluation takes 2 to 8 points");
    }
    std::array<CubicInterval, kMost - 1> intervals;
    fillIntervals(
        points.size(), [points](std::size_t i) { return points[i].time; },
        [points](std::size_t i) { return points[i].value; }, intervals.data(), kWhole);
    const std::size_t count = points.size() - 1;
    if (!(x >= intervals[0].xLeft && x <= intervals[count - 1].xRight)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const CubicInterval* iv = &intervals[count - 1];
    if (x != iv->xRight) {
        iv = &*std::upper_bound(intervals.begin(),
                                intervals.begin() + static_cast<std::ptrdiff_t>(count), x,
                                [](double t, const CubicInterval& c) { return t < c.xRight; });
    }
    const double s = x - iv->xLeft;
    return ((iv->a3 * s + iv->a2) * s + iv->a1) * s + iv->a0;
}

void PchipCurve::build(std::span<const double> x, std::span<const double> y) {
    if (x.size() != y.size()) {
        intervals_.clear();
        reject("PCHIP requires equal x/y arrays with at least two points");
    }
    buildFrom(
        x.size(), [x](std::size_t i) { return x[i]; }, [y](std::size_t i) { return y[i]; });
}

void PchipCurve::build(std::span<const ControlPoint> points) {
    buildFrom(
        points.size(), [points](std::size_t i) { return points[i].time; },
        [points](std::size_t i) { return points[i].value; });
}

double PchipCurve::valueAt(double x) const {
    if (intervals_.empty()) {
        throw std::logic_error("PCHIP curve is empty");
    }
    return evaluate(x);
}

double PchipCurve::evaluate(double x) const noexcept {
    const CubicInterval& last = intervals_.back();
    if (!(x >= intervals_.front().xLeft && x <= last.xRight)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    // A time on an interior point uses the interval that starts there.
    const CubicInterval* iv = &last;
    if (x != last.xRight) {
        iv = &*std::upper_bound(intervals_.begin(), intervals_.end(), x,
                                [](double t, const CubicInterval& c) { return t < c.xRight; });
    }
    const double s = x - iv->xLeft;
    return ((iv->a3 * s + iv->a2) * s + iv->a1) * s + iv->a0;
}

}  // namespace al::file
