// Throughput of the playback lattice's pull (curve evaluation at the output
// rate, chunks already prepared) for a stereo 44.1 kHz WAVE source at 44.1,
// 96 and 192 kHz, in seconds of output audio per second on one core; and of
// the sample converters, fast kernels beside the reference loops.
//
//   lattice_bench [--input FILE.wav] [benchmark options]
//
// Without --input a 5 s stereo 44.1 kHz noise file is generated. Only the
// first 5 s of an input are pulled, so that every chunk fits in the buffer
// and is prepared before timing starts.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "decoders/WavReader.h"
#include "output/SampleConverters.h"
#include "playback/PlaybackLattice.h"
#include "support/WaveFiles.h"

namespace {

constexpr double kSeconds = 5.0;
constexpr std::uint64_t kBlock = 512;  // frames per pull, about a 5 ms endpoint buffer at 96 kHz

std::filesystem::path g_input;

std::filesystem::path generatedInput() {
    static const std::filesystem::path path = [] {
        const auto file = std::filesystem::temp_directory_path() / "auralith-lattice-bench.wav";
        std::mt19937 random(2024);
        std::normal_distribution<float> white(0.0F, 1.0F);
        std::vector<float> samples(static_cast<std::size_t>(44100 * kSeconds) * 2);
        float state[2] = {};
        for (std::size_t i = 0; i < samples.size(); ++i) {
            float& s = state[i % 2];
            s = 0.98F * s + 0.02F * white(random) * 6.0F;
            samples[i] = std::clamp(0.3F * s, -1.0F, 1.0F);
        }
        al::test::writeFloatWave(file, 2, 44100, samples);
        return file;
    }();
    return path;
}

// The first 5 s of --input as a float WAVE of its own (24-bit and 16-bit
// codes convert exactly), so that the whole source fits in the buffer and a
// producer running ahead never replaces the chunks the next pass needs.
std::filesystem::path givenInputHead() {
    static const std::filesystem::path path = [] {
        const al::file::WavReader reader(g_input);
        const auto frames = std::min<std::uint64_t>(reader.frameCount(),
                                                     static_cast<std::uint64_t>(kSeconds * reader.sampleRate()));
        const std::vector<double> samples = reader.ReadFrames(0, frames);
        const std::vector<float> narrow(samples.begin(), samples.end());
        const auto file = std::filesystem::temp_directory_path() / "auralith-lattice-bench-input.wav";
        al::test::writeFloatWave(file, reader.channelCount(), reader.sampleRate(), narrow);
        return file;
    }();
    return path;
}

// Runs: the lattice's pull; false: the frame-by-frame pull it replaced.
template <bool Runs>
void BM_Pull(benchmark::State& state) {
    const auto rate = static_cast<std::uint32_t>(state.range(0));
    const auto source = al::playback::createPlaybackSource(g_input.empty() ? generatedInput() : givenInputHead());
    al::playback::PlaybackLattice lattice(source, 256);
    lattice.setOutputRate(rate);
    const double seconds = std::min(kSeconds, source->metadata().duration);
    const auto frames = al::playback::PlaybackLattice::framesBefore(seconds, rate);
    const std::uint64_t lastChunk = source->chunkIndexAt(seconds);
    for (std::uint64_t c = 0; c <= lastChunk; ++c) {
        if (!lattice.surrogate().waitForChunk(c, 60'000)) {
            state.SkipWithError("chunk not prepared");
            return;
        }
    }
    std::vector<double> buffer(kBlock * lattice.channelCount());
    for (auto _ : state) {
        lattice.seekToFrame(0);
        for (std::uint64_t done = 0; done < frames; done += kBlock) {
            if constexpr (Runs) {
                lattice.pull(buffer.data(), std::min(kBlock, frames - done));
            } else {
                lattice.pullPerFrame(buffer.data(), std::min(kBlock, frames - done));
            }
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    if (lattice.missingFrames() != 0) {
        state.SkipWithError("frames were missing");
    }
    state.counters["x_real_time"] =
        benchmark::Counter(static_cast<double>(frames) / rate, benchmark::Counter::kIsIterationInvariantRate);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * frames));
}
// CPU time: the machine is shared, and the buffer's threads are idle here.
BENCHMARK(BM_Pull<true>)->Name("BM_Pull")->Arg(44100)->Arg(96000)->Arg(192000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pull<false>)
    ->Name("BM_PullPerFrame")
    ->Arg(44100)
    ->Arg(96000)
    ->Arg(192000)
    ->Unit(benchmark::kMillisecond);

template <bool Fast>
void BM_Convert(benchmark::State& state) {
    const auto kind = static_cast<al::audio::SampleKind>(state.range(0));
    std::vector<double> in(4096);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> level(-1.1, 1.1);
    for (double& v : in) {
        v = level(random);
    }
    std::vector<std::uint8_t> out(in.size() * 4);
    const auto convert = Fast ? al::audio::ConverterFor(kind) : al::audio::reference::ConverterFor(kind);
    for (auto _ : state) {
        convert(in.data(), in.size(), out.data(), out.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_Convert<true>)->Name("BM_Convert/fast")->DenseRange(0, 4);
BENCHMARK(BM_Convert<false>)->Name("BM_Convert/reference")->DenseRange(0, 4);

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--input") == 0 && i + 1 < argc) {
            g_input = argv[++i];
        } else {
            rest.push_back(argv[i]);
        }
    }
    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
