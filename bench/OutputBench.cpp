// The render thread's timing at the player's default buffer: a record played
// at 192 kHz stereo (32-bit float) on the virtual output in real time with
// 5 ms endpoint buffers. Reports each render pass's duration and its deadline
// use (lateness of the event plus the pass) as a share of the buffer
// duration: the median over the passes sampled and the maximum over all.
//
//   output_bench [--seconds S] [benchmark options]    (default 60 s)

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cli/DemoRecord.h"
#include "output/AudioEndpoints.h"
#include "output/ExactWasapiOutput.h"
#include "output/VirtualOutput.h"
#include "playback/PlaybackLattice.h"
#include "playback/PlaybackSource.h"

namespace {

using namespace al;

double g_seconds = 60.0;

double median(std::vector<std::uint64_t> values) {
    if (values.empty()) {
        return 0.0;
    }
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return static_cast<double>(*middle);
}

void RealTimeRenderPasses(benchmark::State& state) {
    const std::uint32_t rate = static_cast<std::uint32_t>(state.range(0));
    const std::filesystem::path record = std::filesystem::temp_directory_path() / "auralith-output-bench.aur";
    cli::makeDemoRecord(g_seconds + 1.0).save(record);

    for (auto _ : state) {
        playback::PlaybackLattice lattice(playback::createPlaybackSource(record));
        lattice.setOutputRate(rate);
        auto device = audio::VirtualOutput::create();  // real time, 3 ms minimum period
        audio::UseVirtualOutput(device, audio::VirtualListing::Only);
        audio::EndpointFormat format;
        for (const audio::EndpointFormat& candidate : audio::ExactFormatCandidates(rate, 2)) {
            if (candidate.kind == audio::SampleKind::Float32) {
                format = candidate;
                break;
            }
        }
        audio::ExactWasapiOutput output;
        output.Initialize(u"virtual", format, &lattice, {5.0, 1.0});
        output.Start();

        // Every pass leaves its figures in the statistics; polling well
        // inside one buffer catches nearly all of them.
        std::vector<std::uint64_t> passes;
        std::vector<std::uint64_t> uses;
        std::uint64_t seen = output.Statistics().passCount;
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(g_seconds);
        while (std::chrono::steady_clock::now() < until && output.IsRunning()) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            const auto stats = output.Statistics();
            if (stats.passCount == seen + 1) {
                passes.push_back(stats.lastPassNs);
                uses.push_back(stats.lastDeadlineUseNs);
            }
            seen = stats.passCount;
        }
        output.Pause();
        const auto stats = output.Statistics();
        const std::string failure = output.LastErrorMessage();
        output.Shutdown();
        if (!failure.empty()) {
            state.SkipWithError(failure.c_str());
            break;
        }

        const double buffer = static_cast<double>(stats.bufferDurationNs);
        state.counters["buffer_ms"] = buffer / 1e6;
        state.counters["passes"] = static_cast<double>(stats.passCount);
        state.counters["sampled"] = static_cast<double>(passes.size());
        state.counters["pass_median_pct"] = 100.0 * median(passes) / buffer;
        state.counters["pass_max_pct"] = 100.0 * static_cast<double>(stats.maxPassNs) / buffer;
        state.counters["use_median_pct"] = 100.0 * median(uses) / buffer;
        state.counters["use_max_pct"] = 100.0 * static_cast<double>(stats.maxDeadlineUseNs) / buffer;
        state.counters["near_misses"] = static_cast<double>(stats.nearMissCount);
        state.counters["missing_frames"] = static_cast<double>(lattice.missingFrames());
        state.counters["underruns"] = static_cast<double>(device->statistics().underruns);
        audio::UseVirtualOutput(nullptr, audio::VirtualListing::WhenNoOther);
    }
    std::error_code ignored;
    std::filesystem::remove(record, ignored);
}

BENCHMARK(RealTimeRenderPasses)->Arg(192000)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            g_seconds = std::max(1.0, std::atof(argv[++i]));
        } else {
            rest.push_back(argv[i]);
        }
    }
    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    if (benchmark::ReportUnrecognizedArguments(count, rest.data())) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
