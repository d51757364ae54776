#include "record/PchipWide.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "record/PchipFill.h"

namespace al::file::pchip_wide {

namespace {

std::atomic<bool> wideAllowed{true};

#if defined(__SSE2__)

bool processorHasWideVectors() noexcept {
    static const bool wide = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return wide;
}

// Intervals per tile: the tile's widths, secants and slopes stay in the
// first-level cache between the three steps.
constexpr std::size_t kTile = 256;

using pchip_detail::endSlope;
using pchip_detail::interiorSlope;

// Four consecutive entries x[j], x[j + stride], ... into one register. With
// stride 2 this reads one double past the fourth entry.
template <std::size_t Stride>
__attribute__((target("avx2"))) inline __m256d load4(const double* p) noexcept {
    if constexpr (Stride == 1) {
        return _mm256_loadu_pd(p);
    } else {
        const __m256d a = _mm256_loadu_pd(p);      // e0 . e1 .
        const __m256d b = _mm256_loadu_pd(p + 4);  // e2 . e3 .
        return _mm256_permute4x64_pd(_mm256_unpacklo_pd(a, b), 0xD8);
    }
}

// Writes four intervals from their fields, each a register of four.
__attribute__((target("avx2"))) inline void store4(CubicInterval* out, __m256d xl, __m256d xr,
                                                   __m256d a0, __m256d a1, __m256d a2,
                                                   __m256d a3) noexcept {
    const __m256d pairs[3][2] = {{_mm256_unpacklo_pd(xl, xr), _mm256_unpackhi_pd(xl, xr)},
                                 {_mm256_unpacklo_pd(a0, a1), _mm256_unpackhi_pd(a0, a1)},
                                 {_mm256_unpacklo_pd(a2, a3), _mm256_unpackhi_pd(a2, a3)}};
    for (int f = 0; f < 3; ++f) {
        // Low halves hold intervals 0 and 1, high halves 2 and 3.
        double* base = &out[0].xLeft + 2 * f;
        _mm_storeu_pd(base, _mm256_castpd256_pd128(pairs[f][0]));
        _mm_storeu_pd(base + 6, _mm256_castpd256_pd128(pairs[f][1]));
        _mm_storeu_pd(base + 12, _mm256_extractf128_pd(pairs[f][0], 1));
        _mm_storeu_pd(base + 18, _mm256_extractf128_pd(pairs[f][1], 1));
    }
}

template <std::size_t Stride>
__attribute__((target("avx2"))) Outcome fillWith(std::size_t n, const double* x, const double* y,
                                                 CubicInterval* out) noexcept {
    const auto xs = [x](std::size_t i) { return x[i * Stride]; };
    const auto ys = [y](std::size_t i) { return y[i * Stride]; };
    const std::size_t m = n - 1;  // intervals
    const __m256d zero = _mm256_setzero_pd();
    const __m256d two = _mm256_set1_pd(2.0);
    const __m256d three = _mm256_set1_pd(3.0);
    const __m256d one = _mm256_set1_pd(1.0);
    // Points are checked as the scalar build checks them; any fault sends
    // the whole build back to it.
    __m256d faults = zero;        // all ones in a lane where a point is bad
    __m256d coefficients = zero;  // NaN once a coefficient is not finite
    bool bad = false;
    bool overflow = false;

    std::array<double, kTile + 2> h;  // widths of intervals lo ..
    std::array<double, kTile + 2> d;  // secants of intervals lo ..
    std::array<double, kTile + 1> s;  // slopes at points t0 .. t1
    for (std::size_t t0 = 0; t0 < m; t0 += kTile) {
        const std::size_t t1 = std::min(t0 + kTile, m);
        const std::size_t lo = t0 == 0 ? 0 : t0 - 1;
        const std::size_t hi = std::min(t1 + 1, m);

        // Widths and secants of intervals lo .. hi - 1.
        std::size_t j = lo;
        for (; j + 4 <= hi && j + 5 < n; j += 4) {
            const __m256d x0 = load4<Stride>(x + j * Stride);
            const __m256d x1 = load4<Stride>(x + (j + 1) * Stride);
            const __m256d y0 = load4<Stride>(y + j * Stride);
            const __m256d y1 = load4<Stride>(y + (j + 1) * Stride);
            const __m256d w = _mm256_sub_pd(x1, x0);
            // Not finite: v - v is NaN, which compares unordered.
            const __m256d finite =
                _mm256_and_pd(_mm256_cmp_pd(_mm256_sub_pd(x0, x0), zero, _CMP_EQ_OQ),
                              _mm256_cmp_pd(_mm256_sub_pd(y0, y0), zero, _CMP_EQ_OQ));
            const __m256d increasing =
                _mm256_and_pd(_mm256_cmp_pd(w, zero, _CMP_GT_OQ),
                              _mm256_cmp_pd(_mm256_sub_pd(w, w), zero, _CMP_EQ_OQ));
            faults =
                _mm256_or_pd(faults, _mm256_xor_pd(_mm256_and_pd(finite, increasing),
                                                   _mm256_castsi256_pd(_mm256_set1_epi64x(-1))));
            _mm256_storeu_pd(h.data() + (j - lo), w);
            _mm256_storeu_pd(d.data() + (j - lo), _mm256_div_pd(_mm256_sub_pd(y1, y0), w));
        }
        for (; j < hi; ++j) {
            const double xi = xs(j), yi = ys(j);
            const double w = xs(j + 1) - xi;
            bad |= !std::isfinite(xi) || !std::isfinite(yi) || !(w > 0.0) || !std::isfinite(w);
            h[j - lo] = w;
            d[j - lo] = (ys(j + 1) - yi) / w;
        }
        if (bad || _mm256_movemask_pd(faults) != 0) {
            return Outcome::BadPoint;
        }

        // Slopes at points t0 .. t1.
        std::size_t p = t0;
        if (p == 0) {
            s[0] = endSlope(h[0], h[1], d[0], d[1]);
            p = 1;
        }
        const std::size_t lastInterior = std::min(t1, n - 2);
        for (; p + 4 <= lastInterior + 1; p += 4) {
            const __m256d hb = _mm256_loadu_pd(h.data() + (p - 1 - lo));
            const __m256d hp = _mm256_loadu_pd(h.data() + (p - lo));
            const __m256d left = _mm256_loadu_pd(d.data() + (p - 1 - lo));
            const __m256d right = _mm256_loadu_pd(d.data() + (p - lo));
            // Both non-zero and of one sign, compared as the scalar sign does.
            const __m256d same = _mm256_and_pd(
                _mm256_and_pd(_mm256_cmp_pd(left, zero, _CMP_NEQ_UQ),
                              _mm256_cmp_pd(right, zero, _CMP_NEQ_UQ)),
                _mm256_and_pd(_mm256_xor_pd(_mm256_xor_pd(_mm256_cmp_pd(left, zero, _CMP_GT_OQ),
                                                          _mm256_cmp_pd(right, zero, _CMP_GT_OQ)),
                                            _mm256_castsi256_pd(_mm256_set1_epi64x(-1))),
                              _mm256_xor_pd(_mm256_xor_pd(_mm256_cmp_pd(left, zero, _CMP_LT_OQ),
                                                          _mm256_cmp_pd(right, zero, _CMP_LT_OQ)),
                                            _mm256_castsi256_pd(_mm256_set1_epi64x(-1)))));
            const __m256d w1 = _mm256_add_pd(hb, _mm256_mul_pd(two, hp));
            const __m256d w2 = _mm256_add_pd(_mm256_mul_pd(two, hb), hp);
            const __m256d slope =
                _mm256_div_pd(_mm256_add_pd(w2, w1),
                              _mm256_add_pd(_mm256_div_pd(w2, right), _mm256_div_pd(w1, left)));
            _mm256_storeu_pd(s.data() + (p - t0), _mm256_and_pd(same, slope));
        }
        for (; p <= lastInterior; ++p) {
            s[p - t0] = interiorSlope(h[p - 1 - lo], h[p - lo], d[p - 1 - lo], d[p - lo]);
        }
        if (t1 == m) {
            s[m - t0] = endSlope(h[m - 1 - lo], h[m - 2 - lo], d[m - 1 - lo], d[m - 2 - lo]);
        }

        // The intervals' coefficients.
        j = t0;
        for (; j + 4 <= t1; j += 4) {
            const __m256d w = _mm256_loadu_pd(h.data() + (j - lo));
            const __m256d secant = _mm256_loadu_pd(d.data() + (j - lo));
            const __m256d d0 = _mm256_loadu_pd(s.data() + (j - t0));
            const __m256d d1 = _mm256_loadu_pd(s.data() + (j + 1 - t0));
            const __m256d r = _mm256_div_pd(one, w);
            const __m256d a2 = _mm256_mul_pd(
                _mm256_sub_pd(_mm256_sub_pd(_mm256_mul_pd(three, secant), _mm256_mul_pd(two, d0)),
                              d1),
                r);
            const __m256d a3 = _mm256_mul_pd(
                _mm256_mul_pd(_mm256_sub_pd(_mm256_add_pd(d0, d1), _mm256_mul_pd(two, secant)), r),
                r);
            coefficients = _mm256_add_pd(
                coefficients,
                _mm256_add_pd(_mm256_add_pd(_mm256_sub_pd(d0, d0), _mm256_sub_pd(a2, a2)),
                              _mm256_sub_pd(a3, a3)));
            store4(out + j, load4<Stride>(x + j * Stride), load4<Stride>(x + (j + 1) * Stride),
                   load4<Stride>(y + j * Stride), d0, a2, a3);
        }
        for (; j < t1; ++j) {
            const double w = h[j - lo];
            const double secant = d[j - lo];
            const double d0 = s[j - t0];
            const double d1 = s[j + 1 - t0];
            const double r = 1.0 / w;
            CubicInterval& iv = out[j];
            iv.xLeft = xs(j);
            iv.xRight = xs(j + 1);
            iv.a0 = ys(j);
            iv.a1 = d0;
            iv.a2 = (3.0 * secant - 2.0 * d0 - d1) * r;
            iv.a3 = (d0 + d1 - 2.0 * secant) * r * r;
            overflow |= !std::isfinite(iv.a1) || !std::isfinite(iv.a2) || !std::isfinite(iv.a3);
        }
    }
    if (!std::isfinite(xs(n - 1)) || !std::isfinite(ys(n - 1))) {
        return Outcome::BadPoint;
    }
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, coefficients);
    for (const double lane : lanes) {
        overflow |= lane != 0.0;
    }
    return overflow ? Outcome::Overflow : Outcome::Filled;
}

#endif

}  // namespace

bool available() noexcept {
#if defined(__SSE2__)
    return wideAllowed.load(std::memory_order_relaxed) && processorHasWideVectors();
#else
    return false;
#endif
}

void allow(bool allowed) noexcept {
    wideAllowed.store(allowed, std::memory_order_relaxed);
}

Outcome fill(std::size_t n, const double* x, const double* y, std::size_t stride,
             CubicInterval* out) noexcept {
#if defined(__SSE2__)
    if (n >= 16 && available()) {
        return stride == 1 ? fillWith<1>(n, x, y, out) : fillWith<2>(n, x, y, out);
    }
#else
    (void)n, (void)x, (void)y, (void)stride, (void)out;
#endif
    return Outcome::Unavailable;
}

}  // namespace al::file::pchip_wide
