#include "dsd/HiFreqFilter.h"

#include <stdexcept>

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
            const bool positive = v >= 0.0;
            const double below = v - 1.0;
            const double above = v + 1.0;
            const double e = positive ? below : above;
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

}  // namespace morrow::dsd
