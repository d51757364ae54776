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

void modulateRun(HiFreqFilter& filter, ModulatorState& state, const double* values,
                 std::size_t count, bool cutoff, bool checkRange, std::uint8_t* bytes) {
    // Local copies of the state let the compiler keep it in registers; they
    // are written back after every byte and before any throw propagates.
    ModulatorState local = state;
    std::size_t k = 0;
    try {
        while (k < count) {
            const std::size_t n = count - k < 8 ? count - k : 8;
            unsigned byte = 0;
            for (std::size_t j = 0; j < n; ++j) {
                const double x = filter.process(values[k + j], cutoff);
                const bool bit = checkRange ? modulateChecked(x, local) : modulate(x, local);
                byte |= static_cast<unsigned>(bit) << j;
            }
            bytes[k / 8] = static_cast<std::uint8_t>(byte);
            k += n;
            state = local;
        }
    } catch (...) {
        state = local;
        throw;
    }
}

}  // namespace morrow::dsd
