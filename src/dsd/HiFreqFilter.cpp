#include "dsd/HiFreqFilter.h"

#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace morrow::dsd {

namespace {

// 2 pi x 18,000 Hz.
constexpr double kCutoffRadians = 113'097.33552923256;
// 2Q of the two sections of a fourth-order Butterworth low-pass:
// Q = 1 / (2 cos(pi/8)) and Q = 1 / (2 cos(3 pi/8)).
constexpr double kTwoQ1 = 1.082392200292394;
constexpr double kTwoQ2 = 2.613125929752754;

void design(BiquadStage& s, double c, double alpha) noexcept {
    s.b0 = (1.0 - c) / (2.0 * (1.0 + alpha));
    s.b1 = (1.0 - c) / (1.0 + alpha);
    s.b2 = s.b0;
    s.a1 = -2.0 * c / (1.0 + alpha);
    s.a2 = (1.0 - alpha) / (1.0 + alpha);
    s.z1 = 0.0;
    s.z2 = 0.0;
}

}  // namespace

void throwModulatorOverload() { throw std::runtime_error("DSD modulator overload; playback stopped"); }

void throwModulationInputOutOfRange() { throw std::runtime_error("Modulation input out of range"); }

HiFreqFilter::HiFreqFilter(double rate) {
    if (!std::isfinite(rate) || rate <= 0.0 || rate * 0.5 <= 18'000.0) {
        throw std::invalid_argument("Invalid HiFreq filter rate");
    }
    mixStep_ = 1.0 / (rate * 0.005);
    mix_ = 0.0;
    const double w = kCutoffRadians / rate;
    const double c = std::cos(w);
    const double s = std::sin(w);
    design(stage_[0], c, s / kTwoQ1);
    design(stage_[1], c, s / kTwoQ2);
}

namespace {

// The quantiser's error, v - 1 after a one and v + 1 after a zero, chosen by
// a comparison mask rather than a branch: the bit is as good as random, so a
// branch on it is mispredicted about every other time, and that, not the
// additions, set the pace of a channel on its own.
inline double quantiserError(double v, bool& positive) noexcept {
#if defined(__SSE2__)
    const __m128d x = _mm_set_sd(v);
    const __m128d one = _mm_set_sd(1.0);
    const __m128d mask = _mm_cmpge_sd(x, _mm_setzero_pd());
    positive = (_mm_movemask_pd(mask) & 1) != 0;
    return _mm_cvtsd_f64(
        _mm_or_pd(_mm_and_pd(mask, _mm_sub_sd(x, one)), _mm_andnot_pd(mask, _mm_add_sd(x, one))));
#else
    positive = v >= 0.0;
    return positive ? v - 1.0 : v + 1.0;
#endif
}

// The run kernel: exactly the operations of HiFreqFilter::process and
// modulate, in the same order, with every coefficient and state held in a
// scalar local (the values are doubles too, so state kept in the caller's
// objects would have to be reloaded after every store) and the quantiser's
// error chosen without a branch on the bit. The modulator's own loop (four
// dependent additions per bit) is the floor of this kernel.
template <bool CheckRange>
void modulateRunWith(HiFreqFilter& filter, ModulatorState& state, const double* values, std::size_t count,
                     bool cutoff, std::uint8_t* bytes) {
    const BiquadStage& p = filter.stage(0);
    const BiquadStage& q = filter.stage(1);
    const double pb0 = p.b0, pb1 = p.b1, pb2 = p.b2, pa1 = p.a1, pa2 = p.a2;
    const double qb0 = q.b0, qb1 = q.b1, qb2 = q.b2, qa1 = q.a1, qa2 = q.a2;
    double pz1 = p.z1, pz2 = p.z2, qz1 = q.z1, qz2 = q.z2;
    double mix = filter.mix();
    const double step = filter.mixStep();
    double s1 = state.s1, s2 = state.s2;
    auto writeBack = [&] {
        filter.restore(pz1, pz2, qz1, qz2, mix);
        state.s1 = s1;
        state.s2 = s2;
    };
    for (std::size_t k = 0; k < count; k += 8) {
        const std::size_t n = count - k < 8 ? count - k : 8;
        unsigned byte = 0;
        for (std::size_t j = 0; j < n; ++j) {
            const double x = values[k + j];
            const double y1 = pb0 * x + pz1;
            pz1 = pb1 * x - pa1 * y1 + pz2;
            pz2 = pb2 * x - pa2 * y1;
            const double y2 = qb0 * y1 + qz1;
            qz1 = qb1 * y1 - qa1 * y2 + qz2;
            qz2 = qb2 * y1 - qa2 * y2;
            if (cutoff) {
                const double up = mix + step;
                mix = up < 1.0 ? up : 1.0;
            } else {
                const double down = mix - step;
                mix = down > 0.0 ? down : 0.0;
            }
            const double in = mix == 0.0 ? x : (y2 - x) * mix + x;
            if (CheckRange && !(in >= -2.0 && in <= 2.0)) {
                writeBack();
                throwModulationInputOutOfRange();
            }
            const double v = (s1 + s1) + 0.5 * in - s2;
            bool positive = false;
            const double e = quantiserError(v, positive);
            if (!(std::fabs(e) <= 64.0)) {
                writeBack();
                throwModulatorOverload();
            }
            s2 = s1;
            s1 = e;
            byte |= static_cast<unsigned>(positive) << j;
        }
        bytes[k / 8] = static_cast<std::uint8_t>(byte);
    }
    writeBack();
}

}  // namespace

void modulateRun(HiFreqFilter& filter, ModulatorState& state, const double* values, std::size_t count,
                 bool cutoff, bool checkRange, std::uint8_t* bytes) {
    if (checkRange) {
        modulateRunWith<true>(filter, state, values, count, cutoff, bytes);
    } else {
        modulateRunWith<false>(filter, state, values, count, cutoff, bytes);
    }
}

namespace {

// Value-by-value processing of part of a pair run, channel 0 then channel 1
// for each value: the reference order, used where a failure must be thrown
// exactly where it happens.
void pairByValue(const ModulatorLane& a, const ModulatorLane& b, std::size_t first, std::size_t count,
                 bool checkRange, unsigned& bits0, unsigned& bits1) {
    for (std::size_t j = 0; j < count; ++j) {
        std::uint8_t bit = 0;
        modulateRun(a.filter, a.state, a.values + first + j, 1, a.cutoff, checkRange, &bit);
        bits0 |= static_cast<unsigned>(bit) << j;
        modulateRun(b.filter, b.state, b.values + first + j, 1, b.cutoff, checkRange, &bit);
        bits1 |= static_cast<unsigned>(bit) << j;
    }
}

#if defined(__SSE2__)

inline __m128d pick(__m128d mask, __m128d whenSet, __m128d otherwise) noexcept {
    return _mm_or_pd(_mm_and_pd(mask, whenSet), _mm_andnot_pd(mask, otherwise));
}
inline double low(__m128d v) noexcept { return _mm_cvtsd_f64(v); }
inline double high(__m128d v) noexcept { return _mm_cvtsd_f64(_mm_unpackhi_pd(v, v)); }

// The run kernel's operations, in the same order, on both channels at once:
// lane 0 is channel 0, lane 1 channel 1, and every packed operation rounds
// each lane exactly as the scalar one does. Failures are only noted inside a
// group of 8 values; a group that saw one is run again from its start value
// by value, which throws at the right value with the right states.
// MixActive false: no cutoff on either channel and both mixes at 0, so the
// mix stays 0 and the modulator takes the input itself.
template <bool CheckRange, bool MixActive>
void pairKernel(const ModulatorLane& a, const ModulatorLane& b, std::size_t count) {
    const BiquadStage& pa = a.filter.stage(0);
    const BiquadStage& qa = a.filter.stage(1);
    const BiquadStage& pb = b.filter.stage(0);
    const BiquadStage& qb = b.filter.stage(1);
    const __m128d pb0 = _mm_set_pd(pb.b0, pa.b0), pb1 = _mm_set_pd(pb.b1, pa.b1), pb2 = _mm_set_pd(pb.b2, pa.b2);
    const __m128d pa1 = _mm_set_pd(pb.a1, pa.a1), pa2 = _mm_set_pd(pb.a2, pa.a2);
    const __m128d qb0 = _mm_set_pd(qb.b0, qa.b0), qb1 = _mm_set_pd(qb.b1, qa.b1), qb2 = _mm_set_pd(qb.b2, qa.b2);
    const __m128d qa1 = _mm_set_pd(qb.a1, qa.a1), qa2 = _mm_set_pd(qb.a2, qa.a2);
    const __m128d step = _mm_set_pd(b.filter.mixStep(), a.filter.mixStep());
    const __m128d cutoff =
        _mm_castsi128_pd(_mm_set_epi64x(b.cutoff ? -1 : 0, a.cutoff ? -1 : 0));
    const __m128d one = _mm_set1_pd(1.0);
    const __m128d zero = _mm_setzero_pd();
    const __m128d half = _mm_set1_pd(0.5);
    const __m128d lowest = _mm_set1_pd(-2.0);
    const __m128d highest = _mm_set1_pd(2.0);
    const __m128d limit = _mm_set1_pd(64.0);
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFF'FFFF'FFFF'FFFF));

    __m128d pz1, pz2, qz1, qz2, mix, s1, s2;
    const auto load = [&] {
        pz1 = _mm_set_pd(pb.z1, pa.z1);
        pz2 = _mm_set_pd(pb.z2, pa.z2);
        qz1 = _mm_set_pd(qb.z1, qa.z1);
        qz2 = _mm_set_pd(qb.z2, qa.z2);
        mix = _mm_set_pd(b.filter.mix(), a.filter.mix());
        s1 = _mm_set_pd(b.state.s1, a.state.s1);
        s2 = _mm_set_pd(b.state.s2, a.state.s2);
    };
    const auto writeBack = [&] {
        a.filter.restore(low(pz1), low(pz2), low(qz1), low(qz2), low(mix));
        b.filter.restore(high(pz1), high(pz2), high(qz1), high(qz2), high(mix));
        a.state.s1 = low(s1);
        a.state.s2 = low(s2);
        b.state.s1 = high(s1);
        b.state.s2 = high(s2);
    };
    load();
    for (std::size_t k = 0; k < count; k += 8) {
        const std::size_t n = count - k < 8 ? count - k : 8;
        const __m128d startPz1 = pz1, startPz2 = pz2, startQz1 = qz1, startQz2 = qz2;
        const __m128d startMix = mix, startS1 = s1, startS2 = s2;
        __m128d bad = zero;
        unsigned bits = 0;  // two bits per value: channel 0 low, channel 1 high
        for (std::size_t j = 0; j < n; ++j) {
            const __m128d x = _mm_set_pd(b.values[k + j], a.values[k + j]);
            const __m128d y1 = _mm_add_pd(_mm_mul_pd(pb0, x), pz1);
            pz1 = _mm_add_pd(_mm_sub_pd(_mm_mul_pd(pb1, x), _mm_mul_pd(pa1, y1)), pz2);
            pz2 = _mm_sub_pd(_mm_mul_pd(pb2, x), _mm_mul_pd(pa2, y1));
            const __m128d y2 = _mm_add_pd(_mm_mul_pd(qb0, y1), qz1);
            qz1 = _mm_add_pd(_mm_sub_pd(_mm_mul_pd(qb1, y1), _mm_mul_pd(qa1, y2)), qz2);
            qz2 = _mm_sub_pd(_mm_mul_pd(qb2, y1), _mm_mul_pd(qa2, y2));
            __m128d in = x;
            if constexpr (MixActive) {
                const __m128d up = _mm_add_pd(mix, step);
                const __m128d down = _mm_sub_pd(mix, step);
                mix = pick(cutoff, pick(_mm_cmplt_pd(up, one), up, one),
                           pick(_mm_cmpgt_pd(down, zero), down, zero));
                in = pick(_mm_cmpeq_pd(mix, zero), x, _mm_add_pd(_mm_mul_pd(_mm_sub_pd(y2, x), mix), x));
            }
            if constexpr (CheckRange) {
                bad = _mm_or_pd(bad, _mm_or_pd(_mm_cmpnge_pd(in, lowest), _mm_cmpnle_pd(in, highest)));
            }
            const __m128d v = _mm_sub_pd(_mm_add_pd(_mm_add_pd(s1, s1), _mm_mul_pd(half, in)), s2);
            const __m128d positive = _mm_cmpge_pd(v, zero);
            const __m128d e = pick(positive, _mm_sub_pd(v, one), _mm_add_pd(v, one));
            bad = _mm_or_pd(bad, _mm_cmpnle_pd(_mm_and_pd(e, magnitude), limit));
            s2 = s1;
            s1 = e;
            bits |= static_cast<unsigned>(_mm_movemask_pd(positive)) << (2 * j);
        }
        unsigned bits0 = 0;
        unsigned bits1 = 0;
        if (_mm_movemask_pd(bad) != 0) {
            pz1 = startPz1, pz2 = startPz2, qz1 = startQz1, qz2 = startQz2;
            mix = startMix, s1 = startS1, s2 = startS2;
            writeBack();
            pairByValue(a, b, k, n, CheckRange, bits0, bits1);
            load();
        } else {
            for (std::size_t j = 0; j < n; ++j) {
                bits0 |= (bits >> (2 * j) & 1u) << j;
                bits1 |= (bits >> (2 * j + 1) & 1u) << j;
            }
        }
        a.bytes[k / 8] = static_cast<std::uint8_t>(bits0);
        b.bytes[k / 8] = static_cast<std::uint8_t>(bits1);
    }
    writeBack();
}

#endif

}  // namespace

void modulateRunPair(const ModulatorLane& lane0, const ModulatorLane& lane1, std::size_t count,
                     bool checkRange) {
#if defined(__SSE2__)
    const bool mixActive =
        lane0.cutoff || lane1.cutoff || lane0.filter.mix() != 0.0 || lane1.filter.mix() != 0.0;
    if (checkRange) {
        mixActive ? pairKernel<true, true>(lane0, lane1, count) : pairKernel<true, false>(lane0, lane1, count);
    } else {
        mixActive ? pairKernel<false, true>(lane0, lane1, count) : pairKernel<false, false>(lane0, lane1, count);
    }
#else
    for (std::size_t k = 0; k < count; k += 8) {
        const std::size_t n = count - k < 8 ? count - k : 8;
        unsigned bits0 = 0;
        unsigned bits1 = 0;
        pairByValue(lane0, lane1, k, n, checkRange, bits0, bits1);
        lane0.bytes[k / 8] = static_cast<std::uint8_t>(bits0);
        lane1.bytes[k / 8] = static_cast<std::uint8_t>(bits1);
    }
#endif
}

}  // namespace morrow::dsd
