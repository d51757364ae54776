#include "dsd/CurveWalker.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace morrow::dsd {

namespace {

double instant(std::uint64_t first, std::size_t k, double rate) noexcept {
    return static_cast<double>(first + k) / rate;
}

// The first k in [from, count] whose instant is not before end (count when
// all are): estimated from end x rate, then settled by the exact instants,
// which never decrease with k.
std::size_t runStop(std::uint64_t first, std::size_t from, std::size_t count, double rate,
                    double end) noexcept {
    const double estimate = std::ceil(end * rate) - static_cast<double>(first);
    std::size_t m;
    if (!(estimate > static_cast<double>(from))) {
        m = from;
    } else if (!(estimate < static_cast<double>(count))) {
        m = count;
    } else {
        m = static_cast<std::size_t>(estimate);
    }
    while (m > from && !(instant(first, m - 1, rate) < end)) {
        --m;
    }
    while (m < count && instant(first, m, rate) < end) {
        ++m;
    }
    return m;
}

// out[k] for k in [from, stop): the cubic at the instants, Horner's order.
void evaluateRun(const al::file::CubicInterval& iv, std::uint64_t first, std::size_t from,
                 const std::size_t end, double rate, double* out) noexcept {
    std::size_t k = from;
    std::size_t stop = end;
#if defined(__SSE2__)
    constexpr std::uint64_t kExactIndexes = std::uint64_t{1} << 53;
    if (first + stop >= kExactIndexes) {
        stop = from;  // (never for a real track) left to the scalar loop below
    }
    // Two instants per step; the index runs as an exact double (below 2^53)
    // and each lane rounds as the scalar operations do.
    const __m128d c0 = _mm_set1_pd(iv.a0), c1 = _mm_set1_pd(iv.a1), c2 = _mm_set1_pd(iv.a2),
                  c3 = _mm_set1_pd(iv.a3), xLeft = _mm_set1_pd(iv.xLeft), r = _mm_set1_pd(rate);
    const __m128d two = _mm_set1_pd(2.0);
    const double d = static_cast<double>(first + k);
    __m128d index = _mm_set_pd(d + 1.0, d);
    for (; k + 2 <= stop; k += 2) {
        const __m128d x = _mm_sub_pd(_mm_div_pd(index, r), xLeft);
        const __m128d v =
            _mm_add_pd(_mm_mul_pd(_mm_add_pd(_mm_mul_pd(_mm_add_pd(_mm_mul_pd(c3, x), c2), x), c1), x), c0);
        _mm_storeu_pd(out + k, v);
        index = _mm_add_pd(index, two);
    }
#endif
    const double a0 = iv.a0, a1 = iv.a1, a2 = iv.a2, a3 = iv.a3, left = iv.xLeft;
    for (; k < end; ++k) {
        const double x = instant(first, k, rate) - left;
        out[k] = ((a3 * x + a2) * x + a1) * x + a0;
    }
}

}  // namespace

std::size_t CurveWalker::fill(const std::vector<al::file::CurveSegment>& segments, std::uint64_t first,
                              std::size_t count, double rate, double* out, double limit) noexcept {
    std::size_t k = 0;
    while (k < count) {
        const double t = instant(first, k, rate);
        if (!(t < limit)) {
            break;
        }
        out[k] = valueAt(segments, t);
        ++k;
        if (run_ == nullptr) {
            continue;
        }
        const std::size_t stop = runStop(first, k, count, rate, std::min(runEnd_, limit));
        evaluateRun(*run_, first, k, stop, rate, out);
        k = stop;
    }
    return k;
}

}  // namespace morrow::dsd
