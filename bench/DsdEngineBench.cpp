// What DSD playback from memory costs: the engine and meter threads of a
// DSD256 DoP track played for some seconds on an output paced in real time
// (10 ms buffers), as processor time per second of playback.

#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

#include "dsd/DsdEngine.h"
#include "dsd/EngineFakes.h"
#include "dsd/VirtualDsdSink.h"
#include "platform/CpuTime.h"

namespace {

using namespace std::chrono_literals;

enum class Sink { Fake, Virtual };

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
