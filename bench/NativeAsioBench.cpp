// Submit of the native ASIO output at DSD512 (1,411,200 DoP frames a second):
// the DoP-to-native unpacking (with bit reversal for LSB-first drivers) into
// the queue, plus the driver callback's copy out of it. A buffer of B bits
// lasts B / 22,579,200 seconds of playback; a submit and its callback must
// take a small fraction of that.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "dsd/FakeAsioDriver.h"
#include "dsd/NativeAsioOutput.h"

namespace {

void submitAndSwitch(benchmark::State& state) {
    al::test::FakeAsio fake;
    fake.state.bufferSize.preferred = static_cast<std::int32_t>(state.range(0));
    const std::int32_t type = static_cast<std::int32_t>(state.range(1));
    fake.state.sampleType[0] = fake.state.sampleType[1] = type;
    al::audio::Native native(u"{8F3A2C10-5B6D-4E7F-9A01-23456789ABCD}", fake.system);
    const auto format = native.open(u"", 1411200);
    std::vector<std::uint8_t> buffer(format.bufferBytes());
    std::uint32_t seed = 12345;
    for (auto& b : buffer) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(seed >> 24);
    }
    std::int32_t half = 0;
    for (auto _ : state) {
        native.submit(buffer);
        fake.state.switchHalf(half);
        half ^= 1;
        benchmark::ClobberMemory();
    }
    const double seconds = static_cast<double>(state.range(0)) / 22579200.0;
    state.counters["buffer_us"] = seconds * 1e6;
    state.counters["realtime_x"] = benchmark::Counter(
        seconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(buffer.size()));
}

}  // namespace

BENCHMARK(submitAndSwitch)
    ->ArgNames({"bits", "type"})
    ->Args({4096, 33})
    ->Args({4096, 32})
    ->Args({65536, 33})
    ->Args({65536, 32});
