#pragma once
// The PCHIP fill shared by the curve and by code that lays out curves in bulk
// (the record encoder): one template, so every caller gets the same
// arithmetic to the bit. Not for general use; PchipCurve is the interface.

#include <cmath>
#include <cstddef>
#include <stdexcept>

#include "record/PchipCurve.h"

namespace al::file::pchip_detail {

[[noreturn]] inline void reject(const char* message) {
    throw std::invalid_argument(message);
}

inline int sign(double v) noexcept {
    return v > 0.0 ? 1 : (v < 0.0 ? -1 : 0);
}

// The slope at an interior point from the widths and secants on either
// side: a weighted harmonic mean where the secants agree in sign, flat where
// they differ or either is flat.
inline double interiorSlope(double hBefore, double h, double left, double right) noexcept {
    if (left != 0.0 && right != 0.0 && sign(left) == sign(right)) {
        const double w1 = hBefore + 2.0 * h;  // weight of the left secant
        const double w2 = 2.0 * hBefore + h;  // weight of the right secant
        return (w2 + w1) / (w2 / right + w1 / left);
    }
    return 0.0;
}

// One-sided three-point slope at an end, limited so that the end piece keeps
// the shape of the data: zero when it points against the first secant, at
// most three times that secant when the secants change sign.
inline double endSlope(double h0, double h1, double m0, double m1) noexcept {
    const double e = ((2.0 * h0 + h1) * m0 - h0 * m1) / (h0 + h1);
    if (sign(e) != sign(m0)) {
        return 0.0;
    }
    if (sign(m0) != sign(m1) && std::fabs(e) > 3.0 * std::fabs(m0)) {
        return 3.0 * m0;
    }
    return e;
}

// Fills out[0 .. n-2] with the curve through n points in one pass: interval
// i's width and secant, then the slope at point i, then interval i - 1's
// coefficients, while the neighbours are still in registers and cache. While
// building, an interval's a2 and a3 hold its width h and secant delta and a1
// its left slope, so nothing is allocated here. Bad points are refused as
// they are met and overflowing coefficients only after every point passed,
// so a curve with both faults names its points.
//
// `finished(i)` is told each interval as soon as its coefficients are final,
// in increasing order; returning false stops the fill there (the remaining
// intervals are left as they are and no overflow is reported), and the
// function returns false. A caller measuring a curve can so give up at its
// first bad interval without computing the rest.
//
// kCheckPoints false skips the checks of the points (finite, increasing) for
// a caller that made them so itself; the coefficients are checked either way.
template <bool kCheckPoints = true, typename Time, typename Value, typename Finished>
bool fillIntervals(std::size_t n, Time timeOf, Value valueOf, CubicInterval* out,
                   Finished finished) {
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
        if (kCheckPoints && (!std::isfinite(xi) || !std::isfinite(yi))) {
            reject("PCHIP control points must be finite");
        }
        const double h = timeOf(i + 1) - xi;
        if (kCheckPoints && (!(h > 0.0) || !std::isfinite(h))) {
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
        if (!finished(i - 1)) {
            return false;
        }
    }
    if (kCheckPoints && (!std::isfinite(timeOf(n - 1)) || !std::isfinite(valueOf(n - 1)))) {
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
    return finished(n - 2);
}

}  // namespace al::file::pchip_detail
