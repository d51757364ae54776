#include "decoders/OverlapSaveFilter.h"

#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>

namespace al::file {

namespace {

using Vec2 = double __attribute__((vector_size(16)));
using Vec4 = double __attribute__((vector_size(32)));

// Vectors are passed by reference: by value they would change the calling
// convention between the two widths' callers.
template <typename V>
[[gnu::always_inline]] inline void load(V& v, const double* p) noexcept {
    std::memcpy(&v, p, sizeof v);
}

template <typename V>
[[gnu::always_inline]] inline void store(double* p, const V& v) noexcept {
    std::memcpy(p, &v, sizeof v);
}

// Decimation in frequency: natural order in, bit-reversed order out. The
// butterflies of half-size 4 and up run over `V`; those of half-size 2 and 1
// (the twiddles 1 and -i, applied exactly) over each group of four.
template <typename V>
[[gnu::always_inline]] inline void forwardWith(const double* twiddleRe, const double* twiddleIm,
                                               std::size_t n, double* __restrict re,
                                               double* __restrict im) noexcept {
    constexpr std::size_t kLanes = sizeof(V) / sizeof(double);
    for (std::size_t h = n / 2; h >= 4; h /= 2) {
        const double* wr = twiddleRe + (h - 1);
        const double* wi = twiddleIm + (h - 1);
        for (std::size_t base = 0; base < n; base += 2 * h) {
            double* ar = re + base;
            double* ai = im + base;
            double* br = ar + h;
            double* bi = ai + h;
            for (std::size_t j = 0; j < h; j += kLanes) {
                V xr, xi;
                load(xr, ar + j);
                load(xi, ai + j);
                V yr, yi;
                load(yr, br + j);
                load(yi, bi + j);
                V cr, ci;
                load(cr, wr + j);
                load(ci, wi + j);
                const V dr = xr - yr;
                const V di = xi - yi;
                store(ar + j, V(xr + yr));
                store(ai + j, V(xi + yi));
                store(br + j, V(dr * cr - di * ci));
                store(bi + j, V(dr * ci + di * cr));
            }
        }
    }
    for (std::size_t k = 0; k < n; k += 4) {
        double* r = re + k;
        double* i = im + k;
        // Half-size 2: (0, 2) by 1, (1, 3) by -i.
        const double r0 = r[0] + r[2], i0 = i[0] + i[2];
        const double r2 = r[0] - r[2], i2 = i[0] - i[2];
        const double r1 = r[1] + r[3], i1 = i[1] + i[3];
        const double r3 = i[1] - i[3], i3 = r[3] - r[1];
        // Half-size 1.
        r[0] = r0 + r1;
        i[0] = i0 + i1;
        r[1] = r0 - r1;
        i[1] = i0 - i1;
        r[2] = r2 + r3;
        i[2] = i2 + i3;
        r[3] = r2 - r3;
        i[3] = i2 - i3;
    }
}

// Decimation in time with conjugate twiddles: bit-reversed order in, natural
// order out, unscaled. The exact inverse of forwardWith's order of work.
template <typename V>
[[gnu::always_inline]] inline void inverseWith(const double* twiddleRe, const double* twiddleIm,
                                               std::size_t n, double* __restrict re,
                                               double* __restrict im) noexcept {
    constexpr std::size_t kLanes = sizeof(V) / sizeof(double);
    for (std::size_t k = 0; k < n; k += 4) {
        double* r = re + k;
        double* i = im + k;
        // Half-size 1.
        const double r0 = r[0] + r[1], i0 = i[0] + i[1];
        const double r1 = r[0] - r[1], i1 = i[0] - i[1];
        const double r2 = r[2] + r[3], i2 = i[2] + i[3];
        const double r3 = r[2] - r[3], i3 = i[2] - i[3];
        // Half-size 2: (0, 2) by 1, (1, 3) by +i.
        r[0] = r0 + r2;
        i[0] = i0 + i2;
        r[2] = r0 - r2;
        i[2] = i0 - i2;
        r[1] = r1 - i3;
        i[1] = i1 + r3;
        r[3] = r1 + i3;
        i[3] = i1 - r3;
    }
    for (std::size_t h = 4; h < n; h *= 2) {
        const double* wr = twiddleRe + (h - 1);
        const double* wi = twiddleIm + (h - 1);
        for (std::size_t base = 0; base < n; base += 2 * h) {
            double* ar = re + base;
            double* ai = im + base;
            double* xr = ar + h;
            double* xi = ai + h;
            for (std::size_t j = 0; j < h; j += kLanes) {
                V cr, ci;
                load(cr, wr + j);
                load(ci, wi + j);
                V yr, yi;
                load(yr, xr + j);
                load(yi, xi + j);
                const V br = yr * cr + yi * ci;
                const V bi = yi * cr - yr * ci;
                V pr, pi;
                load(pr, ar + j);
                load(pi, ai + j);
                store(xr + j, V(pr - br));
                store(xi + j, V(pi - bi));
                store(ar + j, V(pr + br));
                store(ai + j, V(pi + bi));
            }
        }
    }
}

template <typename V>
[[gnu::always_inline]] inline void runWith(const double* twiddleRe, const double* twiddleIm,
                                           const double* gainRe, const double* gainIm,
                                           std::size_t n, std::size_t l, const double* in,
                                           double* out, std::size_t pairs,
                                           double* scratch) noexcept {
    constexpr std::size_t kLanes = sizeof(V) / sizeof(double);
    double* __restrict re = scratch;
    double* __restrict im = scratch + n;
    for (std::size_t p = 0; p < pairs; ++p) {
        const double* first = in + 2 * l * p;
        std::memcpy(re, first, n * sizeof(double));
        std::memcpy(im, first + l, n * sizeof(double));
        forwardWith<V>(twiddleRe, twiddleIm, n, re, im);
        for (std::size_t f = 0; f < n; f += kLanes) {
            V xr, xi;
            load(xr, re + f);
            load(xi, im + f);
            V gr, gi;
            load(gr, gainRe + f);
            load(gi, gainIm + f);
            store(re + f, V(xr * gr - xi * gi));
            store(im + f, V(xr * gi + xi * gr));
        }
        inverseWith<V>(twiddleRe, twiddleIm, n, re, im);
        double* target = out + 2 * l * p;
        std::memcpy(target, re, l * sizeof(double));
        std::memcpy(target + l, im, l * sizeof(double));
    }
}

void runNarrow(const double* twiddleRe, const double* twiddleIm, const double* gainRe,
               const double* gainIm, std::size_t n, std::size_t l, const double* in, double* out,
               std::size_t pairs, double* scratch) noexcept {
    runWith<Vec2>(twiddleRe, twiddleIm, gainRe, gainIm, n, l, in, out, pairs, scratch);
}

__attribute__((target("avx2"))) void runWide(const double* twiddleRe, const double* twiddleIm,
                                             const double* gainRe, const double* gainIm,
                                             std::size_t n, std::size_t l, const double* in,
                                             double* out, std::size_t pairs,
                                             double* scratch) noexcept {
    runWith<Vec4>(twiddleRe, twiddleIm, gainRe, gainIm, n, l, in, out, pairs, scratch);
}

}  // namespace

OverlapSaveFilter::OverlapSaveFilter(const std::vector<double>& taps, std::size_t transformSize)
    : taps_(taps.size()), size_(transformSize) {
    const bool powerOfTwo = transformSize >= 4 && (transformSize & (transformSize - 1)) == 0;
    if (taps.empty() || !powerOfTwo || transformSize / 2 < taps.size()) {
        throw std::invalid_argument(
            "Fast convolution needs a power-of-two transform at least twice the taps");
    }
    block_ = size_ - taps_ + 1;
    twiddleRe_.assign(size_ - 1, 0.0);
    twiddleIm_.assign(size_ - 1, 0.0);
    for (std::size_t h = 1; h < size_; h *= 2) {
        for (std::size_t j = 0; j < h; ++j) {
            const double angle =
                -std::numbers::pi * static_cast<double>(j) / static_cast<double>(h);
            twiddleRe_[h - 1 + j] = std::cos(angle);
            twiddleIm_[h - 1 + j] = std::sin(angle);
        }
    }
    // The transform of the taps through the same forward pass, so that it is
    // in the order the inputs' transforms come out in. 1/N is a power of two:
    // folding it in rounds nothing.
    gainRe_.assign(size_, 0.0);
    gainIm_.assign(size_, 0.0);
    for (std::size_t t = 0; t < taps_; ++t) {
        gainRe_[t] = taps[t];
    }
    forwardWith<Vec2>(twiddleRe_.data(), twiddleIm_.data(), size_, gainRe_.data(), gainIm_.data());
    const double scale = 1.0 / static_cast<double>(size_);
    for (std::size_t f = 0; f < size_; ++f) {
        gainRe_[f] *= scale;
        gainIm_[f] *= -scale;
    }
}

void OverlapSaveFilter::run(const double* in, double* out, std::size_t pairs, double* scratch,
                            bool wideVectors) const noexcept {
    if (wideVectors) {
        runWide(twiddleRe_.data(), twiddleIm_.data(), gainRe_.data(), gainIm_.data(), size_, block_,
                in, out, pairs, scratch);
    } else {
        runNarrow(twiddleRe_.data(), twiddleIm_.data(), gainRe_.data(), gainIm_.data(), size_,
                  block_, in, out, pairs, scratch);
    }
}

}  // namespace al::file
