#include "record/PchipCurve.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "record/PchipFill.h"
#include "record/PchipWide.h"

namespace al::file {

namespace {

using pchip_detail::fillIntervals;
using pchip_detail::reject;

constexpr auto kWhole = [](std::size_t) { return true; };

// The four-at-a-time build where the processor has it: true when it filled
// `out`; false when the one-point-at-a-time build must run instead (no wide
// vectors, or a bad point that it must name in point order).
bool fillWide(std::size_t n, const double* x, const double* y, std::size_t stride,
              CubicInterval* out) {
    switch (pchip_wide::fill(n, x, y, stride, out)) {
        case pchip_wide::Outcome::Filled:
            return true;
        case pchip_wide::Outcome::Overflow:
            reject("PCHIP coefficients are not finite");
        case pchip_wide::Outcome::BadPoint:
        case pchip_wide::Outcome::Unavailable:
            break;
    }
    return false;
}

}  // namespace

template <typename Time, typename Value>
void PchipCurve::buildFrom(std::size_t n, Time timeOf, Value valueOf, const double* x,
                           const double* y, std::size_t stride) {
    intervals_.clear();
    if (n < 2) {
        reject("PCHIP requires equal x/y arrays with at least two points");
    }
    CubicIntervals out(n - 1);
    if (!fillWide(n, x, y, stride, out.data())) {
        fillIntervals(n, timeOf, valueOf, out.data(), kWhole);
    }
    intervals_ = std::move(out);
}

void PchipCurve::fill(std::span<const ControlPoint> points, std::span<CubicInterval> out) {
    if (points.size() < 2) {
        reject("PCHIP requires equal x/y arrays with at least two points");
    }
    if (out.size() + 1 != points.size()) {
        reject("PCHIP intervals must be one fewer than the points");
    }
    if (fillWide(points.size(), &points[0].time, &points[0].value, 2, out.data())) {
        return;
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
        x.size(), [x](std::size_t i) { return x[i]; }, [y](std::size_t i) { return y[i]; },
        x.data(), y.data(), 1);
}

void PchipCurve::build(std::span<const ControlPoint> points) {
    buildFrom(
        points.size(), [points](std::size_t i) { return points[i].time; },
        [points](std::size_t i) { return points[i].value; },
        points.empty() ? nullptr : &points[0].time, points.empty() ? nullptr : &points[0].value, 2);
}

bool PchipCurve::buildIfSound(std::span<const ControlPoint> points) {
    intervals_.clear();
    if (points.size() < 2 || !pchip_wide::available()) {
        return false;
    }
    CubicIntervals out(points.size() - 1);
    if (!fillWide(points.size(), &points[0].time, &points[0].value, 2, out.data())) {
        return false;
    }
    intervals_ = std::move(out);
    return true;
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
