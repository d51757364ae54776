// Chunk preparation (fetch, checksum, decode, PCHIP build, coverage) and
// channel evaluation on the output lattice.
//
// prepare: items_per_second is chunks per second on one core; audio_s/s is
// seconds of 2-channel 48 kHz audio prepared per second of that core.
// evaluate: seconds (shown in ns) per output sample of one channel, cursor kept between samples.
#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "playback/ChunkLoader.h"
#include "record/RecordReader.h"
#include "record/RecordWriter.h"

namespace {

using al::file::SegmentKind;

constexpr std::uint32_t kRate = 48000;
constexpr double kChunkSeconds = 1024.0 / kRate;

std::vector<std::vector<double>> music(std::size_t frames) {
    std::vector<std::vector<double>> out(2, std::vector<double>(frames));
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / kRate;
        out[0][i] = 0.3 * std::sin(2 * std::numbers::pi * 440 * t) + 0.2 * std::sin(2 * std::numbers::pi * 3137 * t);
        out[1][i] = 0.25 * std::sin(2 * std::numbers::pi * 660 * t) + 0.1 * std::sin(2 * std::numbers::pi * 9001 * t);
    }
    return out;
}

// Ten seconds of stereo 48 kHz, written once per kind.
std::shared_ptr<const al::file::RecordReader> record(SegmentKind kind) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("auralith-bench-geometry-" + std::to_string(static_cast<int>(kind)) + ".aur");
    al::file::RecordWriter::fromSamples(kRate, 24, music(kRate * 10), kind).save(path);
    auto reader = std::make_shared<const al::file::RecordReader>(path);
    std::filesystem::remove(path);  // the mapping stays valid
    return reader;
}

void BM_PrepareChunk(benchmark::State& state) {
    const auto kind = static_cast<SegmentKind>(state.range(0));
    const auto reader = record(kind);
    const al::surrogate::ChunkLoader loader(reader);
    const std::uint64_t chunks = reader->chunkCount();
    std::uint64_t k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(loader.prepareChunk(k).get());
        k = k + 1 == chunks ? 0 : k + 1;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.counters["audio_s/s"] = benchmark::Counter(
        kChunkSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel(kind == SegmentKind::Pchip      ? "pchip, 1 segment of 1025 points"
                   : kind == SegmentKind::Polyline ? "polyline, 1 segment of 1025 points"
                                                   : "linear, 1024 segments");
}
BENCHMARK(BM_PrepareChunk)->Arg(2)->Arg(3)->Arg(1)->Unit(benchmark::kMicrosecond);

// One channel of one chunk at output rate range(1), times k / rate.
void BM_EvaluateChannel(benchmark::State& state) {
    const auto kind = static_cast<SegmentKind>(state.range(0));
    const double outputRate = static_cast<double>(state.range(1));
    const auto reader = record(kind);
    const al::surrogate::ChunkLoader loader(reader);
    const auto chunk = loader.prepareChunk(5);
    const auto& channel = chunk->channels[0];
    const auto first = static_cast<std::int64_t>(std::ceil(chunk->ownershipStart * outputRate));
    const auto end = static_cast<std::int64_t>(std::ceil(chunk->ownershipEnd * outputRate));
    for (auto _ : state) {
        std::size_t cursor = 0;
        double sum = 0.0;
        for (std::int64_t f = first; f < end; ++f) {
            sum += channel.valueAt(static_cast<double>(f) / outputRate, cursor);
        }
        benchmark::DoNotOptimize(sum);
    }
    const double samples = static_cast<double>(end - first) * static_cast<double>(state.iterations());
    state.counters["sec/sample"] = benchmark::Counter(
        samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_EvaluateChannel)
    ->ArgsProduct({{2, 3, 1}, {44100, 48000, 192000}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
