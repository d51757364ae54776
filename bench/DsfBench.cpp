// Speed of the DSF surrogate projection, in multiples of real time.
//
// Each iteration projects a whole stereo track, chunk by chunk, as the
// playback source does (1024 frames) and in large requests (65536 frames).
// The x_realtime counter is seconds of audio per second of CPU time on one
// thread (CPU time, so that a busy machine does not distort the figure): these
// readers keep both channels on the calling thread. BM_SurrogateTwoThreads
// measures a reader that filters its second channel on a thread of its own,
// by wall time, as the player's producer sees it.
// Requests of 1024 frames are served from runs projected ahead, so they cost
// about what large requests do.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <numbers>
#include <string>
#include <system_error>

#include "decoders/DsfSurrogateReader.h"
#include "dsd/DsfWriter.h"

namespace {

constexpr double kTrackSeconds = 2.0;

// Second-order delta-sigma modulation of a two-tone signal: music-like bits.
morrow::dsd::DsdBitStream modulate(std::uint64_t count, std::uint32_t rate, double hz) {
    morrow::dsd::DsdBitStream bits;
    bits.reserve(count);
    double i1 = 0.0, i2 = 0.0, y = 0.0;
    for (std::uint64_t n = 0; n < count; ++n) {
        const double t = static_cast<double>(n) / rate;
        const double x = 0.3 * std::sin(2.0 * std::numbers::pi * hz * t) +
                         0.2 * std::sin(2.0 * std::numbers::pi * 7.1 * hz * t);
        i1 += x - y;
        i2 += i1 - y;
        y = i2 >= 0.0 ? 1.0 : -1.0;
        bits.push(y > 0.0);
    }
    return bits;
}

class Fixtures {
public:
    Fixtures() {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        dir_ = std::filesystem::temp_directory_path() / ("auralith-dsf-bench-" + std::to_string(stamp));
        std::filesystem::create_directories(dir_);
    }
    ~Fixtures() {
        readers_.clear();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    // One thread when `paired` is false, else the channels on two.
    const al::file::DsfSurrogateReader& reader(std::uint32_t multiple, bool paired = false) {
        auto& slot = readers_[multiple * 2 + (paired ? 1 : 0)];
        if (!slot) {
            const std::uint32_t rate = multiple * 44'100;
            const auto samples = static_cast<std::uint64_t>(kTrackSeconds * rate);
            const auto path = dir_ / ("dsd" + std::to_string(multiple) + (paired ? "p" : "") + ".dsf");
            morrow::dsd::writeDsfFile(path, {modulate(samples, rate, 997.0), modulate(samples, rate, 1499.0)},
                                      {rate, 1});
            al::file::DsfSurrogateReader::allowChannelThreads(paired);
            slot = std::make_unique<al::file::DsfSurrogateReader>(path);
            al::file::DsfSurrogateReader::allowChannelThreads(true);
        }
        return *slot;
    }

private:
    std::filesystem::path dir_;
    std::map<std::uint32_t, std::unique_ptr<al::file::DsfSurrogateReader>> readers_;
};

Fixtures& fixtures() {
    static Fixtures instance;
    return instance;
}

// The whole track, `chunk` frames per request, once per iteration.
void projectWholeTrack(benchmark::State& state, const al::file::DsfSurrogateReader& reader,
                       std::uint64_t chunk) {
    for (auto _ : state) {
        for (std::uint64_t at = 0; at < reader.frameCount(); at += chunk) {
            auto frames = reader.ReadFrames(at, std::min(chunk, reader.frameCount() - at));
            benchmark::DoNotOptimize(frames.data());
        }
    }
    state.counters["x_realtime"] = benchmark::Counter(
        reader.durationSeconds() * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// Arguments: DSD multiple of 44.1 kHz (64, 256), frames per request, and
// whether the stages may use four doubles per vector (1) or only two (0).
void BM_SurrogateProjection(benchmark::State& state) {
    const auto& reader = fixtures().reader(static_cast<std::uint32_t>(state.range(0)));
    const auto chunk = static_cast<std::uint64_t>(state.range(1));
    al::file::DsfSurrogateReader::allowWideVectors(state.range(2) != 0);
    projectWholeTrack(state, reader, chunk);
    state.SetLabel(reader.formatLabel() +
                   (al::file::DsfSurrogateReader::wideVectorsInUse() ? ", 4 lanes" : ", 2 lanes"));
    al::file::DsfSurrogateReader::allowWideVectors(true);
}
BENCHMARK(BM_SurrogateProjection)
    ->ArgNames({"dsd", "chunk", "wide"})
    ->Args({64, 1024, 1})
    ->Args({64, 1024, 0})
    ->Args({64, 65536, 1})
    ->Args({256, 1024, 1})
    ->Args({256, 65536, 1})
    ->Unit(benchmark::kMillisecond);

// Arguments: DSD multiple, frames per request. x_realtime by wall time.
void BM_SurrogateTwoThreads(benchmark::State& state) {
    const auto& reader = fixtures().reader(static_cast<std::uint32_t>(state.range(0)), true);
    const auto chunk = static_cast<std::uint64_t>(state.range(1));
    projectWholeTrack(state, reader, chunk);
    state.SetLabel(reader.formatLabel() + (reader.usesChannelThread() ? ", two threads" : ", one thread"));
}
BENCHMARK(BM_SurrogateTwoThreads)
    ->ArgNames({"dsd", "chunk"})
    ->Args({64, 1024})
    ->Args({256, 1024})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
