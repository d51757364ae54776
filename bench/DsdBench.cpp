// The DSD modulator and the record source.
//
// BM_Modulator*: the per-bit kernel (both cutoff sections always run, then
// the second-order modulator) on one core, in ns per DSD bit per channel
// (ns_per_bit). BM_ModulatorOnly is the modulator loop without the filter,
// for the floor that its own dependency chain sets.
// BM_AurSource/M: a 10 s stereo 48 kHz record made into DSD at M x 44.1 kHz
// through the record source (conveyors and worker pool), in x real time of
// wall time, with the most bytes the conveyors held at once (peak_MB).

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <numbers>
#include <string>
#include <system_error>
#include <vector>

#include "dsd/AurSource.h"
#include "dsd/HiFreqFilter.h"
#include "record/RecordWriter.h"

namespace {

constexpr double kDsd64 = 2'822'400.0;

std::vector<double> music(std::size_t count) {
    std::vector<double> v(count);
    for (std::size_t n = 0; n < count; ++n) {
        const double t = static_cast<double>(n) / kDsd64;
        v[n] = 0.5 * std::sin(2.0 * std::numbers::pi * 997.0 * t) + 0.3 * std::sin(2.0 * std::numbers::pi * 7100.0 * t);
    }
    return v;
}

void modulatorKernel(benchmark::State& state, bool cutoff) {
    const std::vector<double> values = music(1 << 16);
    std::vector<std::uint8_t> bytes(values.size() / 8);
    morrow::dsd::HiFreqFilter filter(kDsd64);
    morrow::dsd::ModulatorState modulator;
    for (auto _ : state) {
        morrow::dsd::modulateRun(filter, modulator, values.data(), values.size(), cutoff, true, bytes.data());
        benchmark::DoNotOptimize(bytes.data());
    }
    const auto bits = static_cast<double>(state.iterations()) * static_cast<double>(values.size());
    state.counters["ns_per_bit"] = benchmark::Counter(bits / 1e9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ModulatorCutoffOff(benchmark::State& state) { modulatorKernel(state, false); }
void BM_ModulatorCutoffOn(benchmark::State& state) { modulatorKernel(state, true); }

// Both channels in one pass (two dependency chains side by side); ns per
// bit per channel, so directly comparable with the single-channel figure.
void modulatorPair(benchmark::State& state, bool cutoff) {
    const std::vector<double> values = music(1 << 16);
    std::vector<double> other(values.rbegin(), values.rend());
    std::vector<std::uint8_t> bytes0(values.size() / 8), bytes1(values.size() / 8);
    morrow::dsd::HiFreqFilter filter0(kDsd64), filter1(kDsd64);
    morrow::dsd::ModulatorState modulator0, modulator1;
    for (auto _ : state) {
        morrow::dsd::modulateRunPair({filter0, modulator0, values.data(), cutoff, bytes0.data()},
                                     {filter1, modulator1, other.data(), cutoff, bytes1.data()}, values.size(), true);
        benchmark::DoNotOptimize(bytes0.data());
        benchmark::DoNotOptimize(bytes1.data());
    }
    const auto bits = 2.0 * static_cast<double>(state.iterations()) * static_cast<double>(values.size());
    state.counters["ns_per_bit"] = benchmark::Counter(bits / 1e9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ModulatorPairCutoffOff(benchmark::State& state) { modulatorPair(state, false); }
void BM_ModulatorPairCutoffOn(benchmark::State& state) { modulatorPair(state, true); }

void BM_ModulatorOnly(benchmark::State& state) {
    const std::vector<double> values = music(1 << 16);
    morrow::dsd::ModulatorState modulator;
    for (auto _ : state) {
        unsigned ones = 0;
        for (double x : values) ones += morrow::dsd::modulate(x, modulator) ? 1u : 0u;
        benchmark::DoNotOptimize(ones);
    }
    const auto bits = static_cast<double>(state.iterations()) * static_cast<double>(values.size());
    state.counters["ns_per_bit"] = benchmark::Counter(bits / 1e9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

std::filesystem::path benchRecord() {
    static const std::filesystem::path path = [] {
        const auto p = std::filesystem::temp_directory_path() / "auralith-dsd-bench.aur";
        const std::size_t frames = 48'000 * 10;
        std::vector<std::vector<double>> channels(2, std::vector<double>(frames));
        for (std::size_t i = 0; i < frames; ++i) {
            const double t = static_cast<double>(i) / 48'000.0;
            channels[0][i] = 0.4 * std::sin(2.0 * std::numbers::pi * 440.0 * t);
            channels[1][i] = 0.3 * std::sin(2.0 * std::numbers::pi * 3100.0 * t);
        }
        al::file::RecordWriter::fromSamples(48'000, 24, channels).save(p);
        return p;
    }();
    return path;
}

void BM_AurSource(benchmark::State& state) {
    const int multiple = static_cast<int>(state.range(0));
    const auto path = benchRecord();
    double wall = 0.0;
    double audio = 0.0;
    std::uint64_t peak = 0;
    for (auto _ : state) {
        const auto begun = std::chrono::steady_clock::now();
        morrow::dsd::AurSource source(path, multiple, std::make_shared<morrow::dsd::HiFreqControl>(false), 0);
        const auto info = source.info();
        std::uint32_t fold = 0;
        for (std::uint64_t i = 0; i < info.frameCount; ++i) {
            const auto f = source.readFrame(i);
            fold ^= f[0] ^ (std::uint32_t{f[1]} << 16);
        }
        benchmark::DoNotOptimize(fold);
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
        audio += static_cast<double>(info.sampleCount) / info.rate;
        peak = std::max(peak, source.peakBufferedBytes());
    }
    state.counters["x_real_time"] = audio / wall;
    state.counters["peak_MB"] = static_cast<double>(peak) / 1e6;
}

}  // namespace

BENCHMARK(BM_ModulatorCutoffOff)->MinTime(0.5);
BENCHMARK(BM_ModulatorCutoffOn)->MinTime(0.5);
BENCHMARK(BM_ModulatorOnly)->MinTime(0.5);
BENCHMARK(BM_ModulatorPairCutoffOff)->MinTime(0.5);
BENCHMARK(BM_ModulatorPairCutoffOn)->MinTime(0.5);
BENCHMARK(BM_AurSource)->Arg(64)->Arg(256)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
