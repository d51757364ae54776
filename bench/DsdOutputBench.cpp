// DSD output costs at DSD512 (22,579,200 bits per second per channel, 1,411,200
// DoP frames per second), per 10 ms buffer:
//   - DoP packing of frame words (3- and 4-byte carriers);
//   - native unpacking: DoP frames back to channel bytes and into each ALSA
//     DSD sample format's layout, as a native output does in submit;
//   - the steady DoP loop (wait, pack, submit) on the virtual endpoint, with
//     the allocations made per submit on the engine thread.
// core_pct is the share of one core the work takes in real time (Google
// Benchmark prints the inverted rate with an "s" suffix: 0.2s reads 0.2 %).
//
//   dsd_output_bench [benchmark options]

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "dsd/AlsaDsdOutput.h"
#include "dsd/CountingAllocator.h"  // tests/dsd: counts this thread's allocations
#include "dsd/DopPacker.h"
#include "dsd/NativeDsdUnpack.h"
#include "dsd/WasapiOutput.h"
#include "output/AudioEndpoints.h"
#include "output/VirtualOutput.h"

namespace {

using namespace morrow::dsd;
using al::platform::DsdSampleFormat;

constexpr std::uint32_t kDsd512Frames = 1'411'200;
constexpr std::uint32_t kFramesPer10Ms = kDsd512Frames / 100;

std::vector<std::uint32_t> words(std::size_t count) {
    std::vector<std::uint32_t> out(count);
    std::uint32_t state = 0x2545F491u;
    for (auto& w : out) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        w = state;
    }
    return out;
}

// 100 x (time per 10 ms buffer) / 10 ms.
void reportCore(benchmark::State& state) {
    state.counters["core_pct"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 0.01 / 100.0,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_DopPackDsd512(benchmark::State& state) {
    DopPacker packer(static_cast<std::uint32_t>(state.range(0)));
    const std::vector<std::uint32_t> in = words(kFramesPer10Ms);
    std::vector<std::uint8_t> out(kFramesPer10Ms * packer.frameBytes());
    for (auto _ : state) {
        packer.packFrames(out, in);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    reportCore(state);
}
BENCHMARK(BM_DopPackDsd512)->Arg(3)->Arg(4);

void BM_NativeUnpackDsd512(benchmark::State& state) {
    const auto format = static_cast<DsdSampleFormat>(state.range(0));
    DopPacker packer(3);
    std::vector<std::uint8_t> dop(kFramesPer10Ms * 6);
    packer.packFrames(dop, words(kFramesPer10Ms));
    std::vector<std::uint8_t> c0(kFramesPer10Ms * 2);
    std::vector<std::uint8_t> c1(kFramesPer10Ms * 2);
    std::vector<std::uint8_t> out(kFramesPer10Ms * 4);
    for (auto _ : state) {
        unpackDopFrames(dop, c0, c1, DsdByteOrder::MsbFirst);
        interleaveNativeDsd(c0, c1, format, out);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetLabel(al::platform::dsdSampleFormatName(format));
    reportCore(state);
}
BENCHMARK(BM_NativeUnpackDsd512)->DenseRange(0, 4);

// The engine's steady loop on a free-running virtual endpoint at DSD512, 20 ms
// buffers. allocs_per_submit counts the allocations made on the engine
// thread (wait, pack, submit) while the loop runs.
void BM_DopLoopOnVirtualEndpoint(benchmark::State& state) {
    al::audio::VirtualOutputConfig config;
    config.id = u"dop-bench";
    config.pace = al::audio::VirtualPace::FreeRunning;
    config.acceptedFormats = {
        {kDsd512Frames, 2, 24, 24, false, al::audio::VirtualFormat::Structure::Any}};
    al::audio::UseVirtualOutput(al::audio::VirtualOutput::create(config),
                                al::audio::VirtualListing::Only);
    WasapiOutput output;
    const auto format = output.open(u"dop-bench", kDsd512Frames);
    DopPacker packer(format.carrierBytes);
    const std::vector<std::uint32_t> in = words(format.framesPerBuffer);
    std::vector<std::uint8_t> buffer(format.bufferBytes());
    packer.packFrames(buffer, in);
    output.submit(buffer);
    output.start();
    std::uint64_t submits = 0;
    std::uint64_t allocations = 0;
    {
        morrow::dsd::test::AllocationCount counted;
        for (auto _ : state) {
            if (!output.wait(2000)) {
                state.SkipWithError("no event");
                break;
            }
            packer.packFrames(buffer, in);
            output.submit(buffer);
            ++submits;
        }
        allocations = counted.count();
    }
    output.stop();
    state.counters["allocs_per_submit"] =
        submits == 0 ? 0.0 : static_cast<double>(allocations) / static_cast<double>(submits);
}
BENCHMARK(BM_DopLoopOnVirtualEndpoint)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
