#pragma once
// The PCHIP curve build four intervals at a time, for processors with 256-bit
// vectors. Internal to the curve code (and its tests).

#include <cstddef>

#include "record/PchipCurve.h"

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
