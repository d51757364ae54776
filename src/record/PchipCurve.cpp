#include "record/PchipCurve.h"

#include "record/PchipWide.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace al::file {

namespace {

[[noreturn]] void reject(const char* message) {
    throw std::invalid_argument(message);
}

using pchip_rules::endSlope;
using pchip_rules::interiorSlope;

// Fills out[0 .. n-2] with the curve through n points in one pass: interval
// i's width and secant, then the slope at point i, then interval i - 1's
// coefficients, while the neighbours are still in registers and cache. While
// building, an interval's a2 and a3 hold its width h and secant delta and a1
// its left slope, so nothing is allocated here. Bad points are refused as
// they are met and overflowing coefficients only after every point passed,
// so a curve with both faults names its points.
template <typename Time, typename Value>
void fillIntervals(std::size_t n, Time timeOf, Value valueOf, CubicInterval* out) {
    bool overflow = false;
    double beforeH = 0.0;  // width and secant of interval i - 1 once finished
    double beforeDelta = 0.0;
    // Interval j's final coefficients from its width, secant and end slopes.
    const auto finish = [&overflow](CubicInterval& iv, double d1) {
        const double r = 1.0 / iv.a2;
        const double secant = iv.a3;
        const double d0 = iv.a1;
        iv.a2 = (3.0 * secant - 2.0 * d0 - d1) * r;
        iv.a3 = (d0 + d1 - 2.0 * secant) * r * r;
        // Finite points can still be extreme enough to overflow a slope; such
        // a curve would play as NaN or infinity, so it is refused.
        overflow |= !std::isfinite(iv.a1) || !std::isfinite(iv.a2) || !std::isfinite(iv.a3);
    };
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const double xi = timeOf(i);
        const double yi = valueOf(i);
        if (!std::isfinite(xi) || !std::isfinite(yi)) {
            reject("PCHIP control points must be finite");
        }
        const double h = timeOf(i + 1) - xi;
        if (!(h > 0.0) || !std::isfinite(h)) {
            reject("PCHIP x values must be strictly increasing");
        }
        CubicInterval& iv = out[i];
        iv.xLeft = xi;
        iv.xRight = timeOf(i + 1);
        iv.a0 = yi;
        iv.a2 = h;
        iv.a3 = (valueOf(i + 1) - yi) / h;
        if (i == 0) {
            continue;
        }
        // Point i is interior: its slope from the secants on either side.
        CubicInterval& before = out[i - 1];
        const double left = before.a3;
        const double right = iv.a3;
        iv.a1 = interiorSlope(before.a2, h, left, right);
        if (i == 1) {
            before.a1 = endSlope(before.a2, h, left, right);
        }
        beforeH = before.a2;
        beforeDelta = left;
        finish(before, iv.a1);
    }
    if (!std::isfinite(timeOf(n - 1)) || !std::isfinite(valueOf(n - 1))) {
        reject("PCHIP control points must be finite");
    }
    CubicInterval& last = out[n - 2];
    if (n == 2) {
        last.a1 = last.a3;
        finish(last, last.a3);
    } else {
        finish(last, endSlope(last.a2, beforeH, last.a3, beforeDelta));
    }
    if (overflow) {
        reject("PCHIP coefficients are not finite");
    }
}

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
    std::vector<CubicInterval> out(n - 1);
    if (!fillWide(n, x, y, stride, out.data())) {
        fillIntervals(n, timeOf, valueOf, out.data());
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
        [points](std::size_t i) { return points[i].value; }, out.data());
}

double PchipCurve::valueThrough(std::span<const ControlPoint> points, double x) {
    constexpr std::size_t kMost = 8;
    if (points.size() < 2 || points.size() > kMost) {
        reject("PCHIP local evaluation takes 2 to 8 points");
    }
    std::array<CubicInterval, kMost - 1> intervals;
    fillIntervals(
        points.size(), [points](std::size_t i) { return points[i].time; },
        [points](std::size_t i) { return points[i].value; }, intervals.data());
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
