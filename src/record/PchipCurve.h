#pragma once
// Monotone piecewise-cubic Hermite interpolation (Fritsch-Carlson slopes with
// a weighted harmonic mean inside and a shape-limited three-point formula at
// the ends).
//
// Every output sample of a PCHIP segment comes from here, and playback is
// expected to be reproducible bit for bit on every build, so the slope rules,
// the coefficient form and the operation order of evaluation are fixed. The
// implementation file is compiled without floating-point contraction (no
// fused multiply-add may be formed behind our back).

#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "record/ControlPoint.h"

namespace al::file {

// One cubic piece: value(x) = a0 + a1 s + a2 s^2 + a3 s^3 with s = x - xLeft,
// for xLeft <= x <= xRight. Also the unit of the geometry pictures sent to
// the graphics card.
struct CubicInterval {
    double xLeft = 0.0;
    double xRight = 0.0;
    double a0 = 0.0;  // value at xLeft
    double a1 = 0.0;  // slope at xLeft
    double a2 = 0.0;
    double a3 = 0.0;
};

// The allocator of a curve's intervals: sizing the vector leaves the new
// intervals unwritten instead of zeroing them, since the build writes every
// field of every interval straight after (the zeroing alone was a tenth of a
// curve build). The storage an allocation returns holds intervals already
// (CubicInterval is an aggregate of doubles, an implicit-lifetime type); they
// are only left unwritten. A vector of this kind must be filled in full
// after it is sized, as the curve's builds do.
template <typename T>
struct UnwrittenAllocator : std::allocator<T> {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
    template <typename U>
    struct rebind {
        using other = UnwrittenAllocator<U>;
    };
    UnwrittenAllocator() = default;
    template <typename U>
    UnwrittenAllocator(const UnwrittenAllocator<U>&) noexcept {}
    template <typename U>
    void construct(U*) noexcept {}
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using CubicIntervals = std::vector<CubicInterval, UnwrittenAllocator<CubicInterval>>;

// The curve through n points as n - 1 intervals in increasing time order.
// Built once, then read-only: const members may be called from any thread.
class PchipCurve {
  public:
    PchipCurve() = default;

    // Replaces the content with the curve through (x[i], y[i]). Throws
    // std::invalid_argument, leaving the curve empty, if the arrays differ in
    // length or hold fewer than two points, if a point is not finite, if the
    // times do not strictly increase, or if the data are so extreme that a
    // coefficient overflows.
    void build(std::span<const double> x, std::span<const double> y);
    // The same from control points (no separate time and value arrays).
    void build(std::span<const ControlPoint> points);
    // build, when the four-at-a-time build can run and finds every point
    // sound (finite, times strictly increasing): then it returns true, and
    // the points need no other check. Otherwise (too few points, no wide
    // vectors, a bad point) it returns false with the curve empty, and the
    // caller checks the points and builds as usual. Throws as build does when
    // the points are sound but a coefficient overflows.
    bool buildIfSound(std::span<const ControlPoint> points);

    // The value at x. Throws std::logic_error("PCHIP curve is empty") on an
    // empty curve; a quiet NaN outside [first point, last point].
    double valueAt(double x) const;

    // valueAt for a curve known to be built (a PCHIP segment always is).
    double evaluate(double x) const noexcept;

    // Fills out (points.size() - 1 intervals) with the curve through the
    // points, as build does, into storage the caller keeps. Throws as build
    // does, and std::invalid_argument if out has another size.
    static void fill(std::span<const ControlPoint> points, std::span<CubicInterval> out);

    // The value at x of the curve through 2 .. 8 points, without building
    // one: the same arithmetic as build then valueAt, to the bit, and nothing
    // allocated. Throws as build does.
    static double valueThrough(std::span<const ControlPoint> points, double x);

    bool empty() const noexcept { return intervals_.empty(); }
    const CubicIntervals& intervals() const noexcept { return intervals_; }

  private:
    // timeAt/valueAt give point i; x and y are the same as arrays (point i
    // at x[i * stride], y[i * stride]) for the four-at-a-time build.
    template <typename Time, typename Value>
    void buildFrom(std::size_t n, Time timeAt, Value valueAt, const double* x, const double* y,
                   std::size_t stride);

    CubicIntervals intervals_;
};

}  // namespace al::file
