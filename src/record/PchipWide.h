#pragma once
// The PCHIP slope rules, and the curve build four intervals at a time for
// processors with 256-bit vectors. Internal to the curve code (and its tests).

#include <cmath>
#include <cstddef>

#include "record/PchipCurve.h"

namespace al::file::pchip_rules {

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

}  // namespace al::file::pchip_rules

namespace al::file::pchip_wide {

enum class Outcome {
    Filled,      // every interval written, every coefficient finite
    Overflow,    // every interval written and every point sound, but a coefficient overflowed
    BadPoint,    // a point is not finite or the times do not increase: nothing is promised
                 // about `out`, and the caller redoes the build one point at a time so
                 // that the first fault in point order is the one reported
    Unavailable  // the processor lacks the vectors (or tests turned them off)
};

// Fills out[0 .. n-2] as the one-pass build does, bit for bit: the same
// operations in the same order on each interval, without fused multiply-adds.
// Times are x[i * stride], values y[i * stride] (stride 1: separate arrays;
// stride 2: interleaved time and value). n must be at least 16. Any thread.
Outcome fill(std::size_t n, const double* x, const double* y, std::size_t stride,
             CubicInterval* out) noexcept;

// Whether fill may run (the processor has the vectors and they are allowed).
bool available() noexcept;
void allow(bool allowed) noexcept;

}  // namespace al::file::pchip_wide
