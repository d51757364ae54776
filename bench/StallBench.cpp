// How late the machine wakes a real-time thread: a thread in the render
// thread's scheduling class sleeps until each millisecond mark for some
// seconds, as a render thread sleeps until its endpoint's event, and counts
// how late each wake-up comes. On a machine that never takes the processor
// away the latest stays in the tens of microseconds; a virtual machine whose
// host deschedules it shows milliseconds, which no render pass can hide.
// Read it beside the render pass figures: an underrun during such a delay is
// the machine's, not the player's.
//
// The thread sleeps between marks rather than reading the clock in a tight
// loop: a real-time thread that never sleeps is held off by the kernel's
// real-time throttling (on Linux 50 ms of every second by default), which
// would be counted as the machine's stalls and which a render thread, asleep
// most of the time, never meets.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/ThreadScheduling.h"

namespace {

void BM_SchedulingGaps(benchmark::State& state) {
    const auto seconds = std::chrono::seconds(state.range(0));
    al::platform::ProAudioScheduling scheduling;
    const bool realTime = scheduling.join();
    for (auto _ : state) {
        using Clock = std::chrono::steady_clock;
        constexpr auto kMark = std::chrono::milliseconds(1);
        const auto start = Clock::now();
        const auto end = start + seconds;
        auto mark = start;
        Clock::duration latest{};
        std::uint64_t wakes = 0;
        std::uint64_t overHalf = 0;
        std::uint64_t overOne = 0;
        std::uint64_t overFive = 0;
        while (mark < end) {
            mark += kMark;
            std::this_thread::sleep_until(mark);
            const auto now = Clock::now();
            const auto late = now - mark;
            ++wakes;
            latest = std::max(latest, late);
            overHalf += late > std::chrono::microseconds(500) ? 1 : 0;
            overOne += late > std::chrono::milliseconds(1) ? 1 : 0;
            overFive += late > std::chrono::milliseconds(5) ? 1 : 0;
            // A wake-up later than a mark starts counting from now, so that
            // one long delay is one late wake-up, not a burst of them.
            if (now > mark + kMark) {
                mark = now;
            }
        }
        state.counters["wakes"] = static_cast<double>(wakes);
        state.counters["max_late_ms"] = std::chrono::duration<double, std::milli>(latest).count();
        state.counters["late_over_0.5ms"] = static_cast<double>(overHalf);
        state.counters["late_over_1ms"] = static_cast<double>(overOne);
        state.counters["late_over_5ms"] = static_cast<double>(overFive);
    }
    state.counters["real_time_class"] = realTime ? 1.0 : 0.0;
    scheduling.leave();
}
BENCHMARK(BM_SchedulingGaps)->Arg(20)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
