// How long the machine itself can keep a real-time thread from running: a
// thread in the render thread's scheduling class reads the clock in a tight
// loop for some seconds and counts the gaps between readings. On a machine
// that never takes the processor away, the largest gap stays in the tens of
// microseconds; a virtual machine whose host deschedules it shows gaps of
// milliseconds, which no render pass can hide. Read it beside the render
// pass figures: an underrun during a gap is the machine's, not the player's.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>

#include "platform/ThreadScheduling.h"

namespace {

void BM_SchedulingGaps(benchmark::State& state) {
    const auto seconds = std::chrono::seconds(state.range(0));
    al::platform::ProAudioScheduling scheduling;
    const bool realTime = scheduling.join();
    for (auto _ : state) {
        using Clock = std::chrono::steady_clock;
        const auto end = Clock::now() + seconds;
        auto last = Clock::now();
        Clock::duration longest{};
        std::uint64_t overHalf = 0;
        std::uint64_t overOne = 0;
        std::uint64_t overFive = 0;
        for (;;) {
            const auto now = Clock::now();
            const auto gap = now - last;
            last = now;
            longest = std::max(longest, gap);
            overHalf += gap > std::chrono::microseconds(500) ? 1 : 0;
            overOne += gap > std::chrono::milliseconds(1) ? 1 : 0;
            overFive += gap > std::chrono::milliseconds(5) ? 1 : 0;
            if (now >= end) {
                break;
            }
        }
        state.counters["max_gap_ms"] = std::chrono::duration<double, std::milli>(longest).count();
        state.counters["gaps_over_0.5ms"] = static_cast<double>(overHalf);
        state.counters["gaps_over_1ms"] = static_cast<double>(overOne);
        state.counters["gaps_over_5ms"] = static_cast<double>(overFive);
    }
    state.counters["real_time_class"] = realTime ? 1.0 : 0.0;
    scheduling.leave();
}
BENCHMARK(BM_SchedulingGaps)->Arg(20)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
