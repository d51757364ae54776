// What the DSD engine costs: preparing a whole track in memory from a record
// and from the same audio as WAVE (x real time, wall clock, all threads), and
// playback from memory, the engine and meter threads of a DSD256 DoP track
// played for some seconds on an output paced in real time (10 ms buffers), as
// processor time per second of playback.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <numbers>
#include <thread>
#include <vector>

#include "dsd/DsdEngine.h"
#include "dsd/EngineFakes.h"
#include "dsd/VirtualDsdSink.h"
#include "platform/CpuTime.h"
#include "playback/PlaybackSource.h"
#include "record/RecordWriter.h"
#include "support/WaveFiles.h"

namespace {

using namespace std::chrono_literals;

enum class Sink { Fake, Virtual };

constexpr std::uint32_t kPreparedSeconds = 20;

// A stereo 48 kHz tone pair as a record (".aur": the record's own DSD source)
// and as a float WAVE (the waveform source over its playback source).
std::filesystem::path preparedInput(bool record) {
    static const std::vector<std::vector<double>> channels = [] {
        const std::size_t frames = 48'000 * kPreparedSeconds;
        std::vector<std::vector<double>> c(2, std::vector<double>(frames));
        for (std::size_t i = 0; i < frames; ++i) {
            const double t = static_cast<double>(i) / 48'000.0;
            c[0][i] = 0.4 * std::sin(2.0 * std::numbers::pi * 440.0 * t);
            c[1][i] = 0.3 * std::sin(2.0 * std::numbers::pi * 3100.0 * t);
        }
        return c;
    }();
    const auto path = std::filesystem::temp_directory_path() /
                      (record ? "auralith-engine-bench.aur" : "auralith-engine-bench.wav");
    static bool written[2] = {false, false};  // once per run, never a stale file
    if (!written[record ? 0 : 1]) {
        written[record ? 0 : 1] = true;
        if (record) {
            al::file::RecordWriter::fromSamples(48'000, 24, channels).save(path);
        } else {
            std::vector<float> interleaved;
            for (std::size_t i = 0; i < channels[0].size(); ++i) {
                interleaved.push_back(static_cast<float>(channels[0][i]));
                interleaved.push_back(static_cast<float>(channels[1][i]));
            }
            al::test::writeFloatWave(path, 2, 48'000, interleaved);
        }
    }
    return path;
}

// From construction until the whole track is in memory (state Ready), on an
// output that is opened but never started.
void BM_DsdEnginePreparation(benchmark::State& state) {
    const auto multiple = static_cast<std::int32_t>(state.range(0));
    const bool record = state.range(1) == 0;
    const auto path = preparedInput(record);
    for (auto _ : state) {
        auto output = std::make_shared<al::test::FakeOutputState>();
        output->capture = false;
        al::audio::DsdEngineOptions options;
        options.dsdMultiple = multiple;
        options.outputFactory = [output] { return std::make_unique<al::test::FakeOutput>(output); };
        const double cpu0 = al::platform::processCpuSeconds();
        const auto wall0 = std::chrono::steady_clock::now();
        al::audio::DsdEngine engine(al::playback::createPlaybackSource(path), options);
        while (engine.status().state != al::audio::DsdEngineState::Ready) {
            if (engine.hasFinished()) {
                state.SkipWithError(engine.status().failureText.c_str());
                return;
            }
            std::this_thread::sleep_for(1ms);
        }
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        state.SetIterationTime(wall);
        state.counters["x_real_time"] = kPreparedSeconds / wall;
        state.counters["cpu_s"] = al::platform::processCpuSeconds() - cpu0;
        state.counters["track_MB"] = static_cast<double>(engine.status().memoryBytes) / 1e6;
    }
}
BENCHMARK(BM_DsdEnginePreparation)
    ->ArgNames({"dsd", "wave"})
    ->Args({64, 0})
    ->Args({64, 1})
    ->Args({256, 0})
    ->Args({256, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

void playFromMemory(benchmark::State& state, Sink sink) {
    const auto seconds = static_cast<std::uint32_t>(state.range(0));
    constexpr std::uint32_t kRate = 256 * 44'100;
    constexpr std::uint32_t kFrameRate = kRate / 16;  // 705,600 DoP frames per second
    const std::uint64_t frames = std::uint64_t{kFrameRate} * (seconds + 2);

    for (auto _ : state) {
        auto output = std::make_shared<al::test::FakeOutputState>();
        output->capture = false;
        output->format.framesPerBuffer = kFrameRate / 100;
        output->format.carrierBytes = 3;
        output->period = 10ms;
        auto monitor = std::make_shared<morrow::dsd::VirtualDsdSinkMonitor>();
        auto dsd = al::test::fakeSource(frames, kRate);
        al::audio::DsdEngineOptions options;
        options.dsdMultiple = 256;
        options.sourceFactory = [dsd] { return std::make_unique<al::test::FakeDsdSource>(dsd); };
        if (sink == Sink::Fake) {
            options.outputFactory = [output] {
                return std::make_unique<al::test::FakeOutput>(output);
            };
        } else {
            // The real-time virtual sink: its own device thread takes one
            // 10 ms buffer per period, as a sound card would.
            options.endpointId = u"virtual";
            options.outputFactory = [monitor] {
                morrow::dsd::VirtualDsdSinkOptions sinkOptions;
                sinkOptions.pace = morrow::dsd::DsdSinkPace::RealTime;
                sinkOptions.capture = false;
                return std::make_unique<morrow::dsd::VirtualDsdSink>(sinkOptions, monitor);
            };
        }
        auto pcm = al::test::stepSource(
            2, 88'200, 88'200ull * (seconds + 2), [](std::uint64_t chunk, std::uint16_t c) {
                return 0.25 + 0.1 * static_cast<double>((chunk + c) % 5);
            });
        al::audio::DsdEngine engine(pcm, options);
        engine.play();
        while (engine.status().state != al::audio::DsdEngineState::Playing) {
            if (engine.hasFinished()) {
                state.SkipWithError(engine.status().failureText.c_str());
                return;
            }
            std::this_thread::sleep_for(1ms);
        }
        const auto submitted = [&] {
            return sink == Sink::Fake ? output->submitted()
                                      : monitor->statistics().buffersSubmitted;
        };
        const auto deviceCpu = [&] {
            return sink == Sink::Virtual ? monitor->statistics().deviceCpuSeconds : 0.0;
        };
        const double cpu0 = al::platform::processCpuSeconds();
        const double device0 = deviceCpu();
        const auto wall0 = std::chrono::steady_clock::now();
        const std::uint64_t submits0 = submitted();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double cpu = al::platform::processCpuSeconds() - cpu0;
        const double device = deviceCpu() - device0;
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        const std::uint64_t buffers = submitted() - submits0;
        state.SetIterationTime(wall);
        state.counters["cpu_percent"] = 100.0 * cpu / wall;
        state.counters["buffers_per_s"] = static_cast<double>(buffers) / wall;
        state.counters["us_cpu_per_buffer"] =
            buffers > 0 ? 1e6 * cpu / static_cast<double>(buffers) : 0.0;
        if (sink == Sink::Virtual) {
            state.counters["underruns"] = static_cast<double>(monitor->statistics().underruns);
            // The engine and meter threads alone: the process less the
            // virtual device's own thread (the bench's thread only sleeps).
            state.counters["device_cpu_percent"] = 100.0 * device / wall;
            state.counters["engine_cpu_percent"] = 100.0 * (cpu - device) / wall;
        }
    }
}

void BM_DsdEnginePlaybackFromMemory(benchmark::State& state) {
    playFromMemory(state, Sink::Fake);
}
BENCHMARK(BM_DsdEnginePlaybackFromMemory)
    ->Arg(5)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// The same on the virtual sink, whose device thread counts in the figure.
void BM_DsdEnginePlaybackVirtualSink(benchmark::State& state) {
    playFromMemory(state, Sink::Virtual);
}
BENCHMARK(BM_DsdEnginePlaybackVirtualSink)
    ->Arg(30)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace
