#pragma once
// The one-bit modulator that makes every DSD bit from a waveform, and the
// optional "18 kHz waveform cutoff" in front of it.
//
// The DSD bit stream is a known answer: the filter and the modulator run in
// double precision in exactly the order written here. Every file that uses
// these inline functions is compiled without floating-point contraction, so
// no multiply-add is fused behind our back (the DSD library sets
// -ffp-contract=off; nothing here is ever built with fast-math).

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace morrow::dsd {

// The user's cutoff choice, shared between the engine, a record source and
// its modulator threads. One byte, written by atomic exchange and read
// atomically from any thread.
class HiFreqControl {
public:
    explicit HiFreqControl(bool cutoffOn) noexcept : cutoff_(cutoffOn) {}

    void setCutoff(bool on) noexcept { cutoff_.exchange(on); }
    bool cutoff() const noexcept { return cutoff_.load(); }

private:
    std::atomic<bool> cutoff_;
};
static_assert(sizeof(std::atomic<bool>) == 1, "the cutoff switch is one byte");

// One transposed direct-form II biquad section.
struct BiquadStage {
    double b0 = 0.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
    double z1 = 0.0, z2 = 0.0;
};

// A fourth-order Butterworth low-pass at 18 kHz (two biquads), faded in and
// out over 5 ms. Both sections always run, whether the cutoff is on or off,
// so that switching is seamless; while the mix is 0 the output is the input
// bit for bit. One per channel, owned by the one thread that filters it.
class HiFreqFilter {
public:
    // rate: the DSD rate in hertz. Throws std::invalid_argument("Invalid
    // HiFreq filter rate") unless it is finite and above 36,000 Hz.
    explicit HiFreqFilter(double rate);

    // Filters one sample; the mix moves towards the flag before it is used.
    // Allocates nothing, never throws.
    double process(double x, bool cutoff) noexcept {
        double v = x;
        for (BiquadStage& s : stage_) {
            const double y = s.b0 * v + s.z1;
            s.z1 = s.b1 * v - s.a1 * y + s.z2;
            s.z2 = s.b2 * v - s.a2 * y;
            v = y;
        }
        if (cutoff) {
            const double up = mix_ + mixStep_;
            mix_ = up < 1.0 ? up : 1.0;
        } else {
            const double down = mix_ - mixStep_;
            mix_ = down > 0.0 ? down : 0.0;
        }
        if (mix_ == 0.0) {
            return x;
        }
        return (v - x) * mix_ + x;
    }

    double mix() const noexcept { return mix_; }
    double mixStep() const noexcept { return mixStep_; }
    const BiquadStage& stage(int k) const noexcept { return stage_[k]; }
    static constexpr int stageCount() noexcept { return 2; }
    // Puts back the running state after a run kernel worked on copies.
    void restore(double z1a, double z2a, double z1b, double z2b, double mix) noexcept {
        stage_[0].z1 = z1a;
        stage_[0].z2 = z2a;
        stage_[1].z1 = z1b;
        stage_[1].z2 = z2b;
        mix_ = mix;
    }

private:
    BiquadStage stage_[2];
    double mix_ = 0.0;
    double mixStep_ = 0.0;
};

// The second-order modulator's memory: the last quantisation error and the
// one before. Zero at the start of a track, never reset during it.
struct ModulatorState {
    double s1 = 0.0;
    double s2 = 0.0;
};

// Throw the modulator's failure texts; kept out of line so that the loop
// around a modulator step stays small.
[[noreturn]] void throwModulatorOverload();
[[noreturn]] void throwModulationInputOutOfRange();

// One modulator step: returns true for +1. Throws std::runtime_error("DSD
// modulator overload; playback stopped") when the loop has diverged.
inline bool modulate(double x, ModulatorState& state) {
    const double v = (state.s1 + state.s1) + 0.5 * x - state.s2;
    const bool positive = v >= 0.0;
    const double e = positive ? v - 1.0 : v + 1.0;
    if (!(std::fabs(e) <= 64.0)) {  // also catches NaN
        throwModulatorOverload();
    }
    state.s2 = state.s1;
    state.s1 = e;
    return positive;
}

// The record path's step: the input must be finite and within [-2, 2], else
// std::runtime_error("Modulation input out of range").
inline bool modulateChecked(double x, ModulatorState& state) {
    if (!(x >= -2.0 && x <= 2.0)) {
        throwModulationInputOutOfRange();
    }
    return modulate(x, state);
}

// Filters and modulates count values into packed bits, bit k of the run in
// bit k % 8 of bytes[k / 8] (least significant first, a set bit is +1); the
// bytes are overwritten, the last one's unused bits cleared. checkRange
// selects the record path's input check. Throws as modulate and
// modulateChecked do; on a throw the modulator state is that of the last
// good step (the filter has taken the failing value). Gives exactly the bits
// and states of process() and modulate() called value by value.
void modulateRun(HiFreqFilter& filter, ModulatorState& state, const double* values,
                 std::size_t count, bool cutoff, bool checkRange, std::uint8_t* bytes);

// One channel of a two-channel run: its filter, modulator state, count input
// values, cutoff flag and output bytes (as for modulateRun).
struct ModulatorLane {
    HiFreqFilter& filter;
    ModulatorState& state;
    const double* values;
    bool cutoff;
    std::uint8_t* bytes;
};

// Two channels' runs of the same length at once: the two independent
// dependency chains share one pass (both channels sit side by side in one
// vector register), which halves the time per bit. Gives exactly the bits and
// states of modulateRun on each channel. On a failure it throws what
// value-by-value processing in the order channel 0, channel 1 for each value
// throws first, with each channel's state as that processing leaves it.
void modulateRunPair(const ModulatorLane& lane0, const ModulatorLane& lane1, std::size_t count,
                     bool checkRange);

}  // namespace morrow::dsd
