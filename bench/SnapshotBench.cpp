// Presentation snapshot building: cutting the cubic pieces of a window of
// prepared chunks (192 kHz stereo) into the geometry views' lists.
//
// items_per_second is pieces per second. The per-list budget (262,144
// pieces) is below a 4 s window at one piece per frame (768,000), so the
// 4 s case uses curves with a control point every fourth frame (192,000
// pieces per channel) and the 1 s case one per frame.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include "playback/ChannelGeometry.h"
#include "visual/GeometrySnapshot.h"

namespace {

constexpr double kRate = 192000.0;
constexpr std::uint64_t kChunkFrames = 1024;

// Chunks of 2 channels over `seconds`, PCHIP through every `step`-th frame.
std::vector<std::shared_ptr<const al::surrogate::PlaybackChunk>> chunks(double seconds,
                                                                        std::uint64_t step) {
    const auto frames = static_cast<std::uint64_t>(seconds * kRate);
    std::vector<std::shared_ptr<const al::surrogate::PlaybackChunk>> out;
    for (std::uint64_t first = 0; first < frames; first += kChunkFrames) {
        auto chunk = std::make_shared<al::surrogate::PlaybackChunk>();
        chunk->index = first / kChunkFrames;
        chunk->ownershipStart = static_cast<double>(first) / kRate;
        chunk->ownershipEnd = static_cast<double>(first + kChunkFrames) / kRate;
        for (int ch = 0; ch < 2; ++ch) {
            std::vector<al::file::ControlPoint> points;
            for (std::uint64_t f = first; f <= first + kChunkFrames; f += step) {
                const double t = static_cast<double>(f) / kRate;
                points.push_back(
                    {t, 0.7 * std::sin(2.0 * std::numbers::pi * (440.0 + 110.0 * ch) * t)});
            }
            std::vector<al::file::CurveSegment> segments;
            segments.emplace_back(al::file::SegmentKind::Pchip, 0, std::move(points));
            chunk->channels.emplace_back(ch, chunk->ownershipStart, chunk->ownershipEnd,
                                         std::move(segments));
        }
        out.push_back(std::move(chunk));
    }
    return out;
}

// `reuse`: build into one snapshot again and again, as the background
// builder does once its spare snapshot has storage; otherwise a fresh
// snapshot each time (the first build, or a spare still held elsewhere).
void buildWindow(benchmark::State& state, double seconds, std::uint64_t step, bool reuse) {
    const auto prepared = chunks(seconds + 0.1, step);
    const double duration = static_cast<double>(prepared.size() * kChunkFrames) / kRate;
    al::ui::ChunkIndexAt indexAt = [&](double t) {
        return std::min<std::uint64_t>(static_cast<std::uint64_t>(t * kRate) / kChunkFrames,
                                       prepared.size() - 1);
    };
    al::ui::ChunkLookup lookup = [&](std::uint64_t i) { return prepared[i]; };
    std::size_t pieces = 0;
    const al::ui::SnapshotRequest request{0.01, seconds, true, false, 1};
    al::ui::PresentationGeometrySnapshot reused;
    for (auto _ : state) {
        if (reuse) {
            al::ui::buildPresentationSnapshotInto(reused, request, duration, indexAt, lookup);
            pieces = reused.channels[0].size() + reused.channels[1].size();
            benchmark::DoNotOptimize(reused.channels[0].data());
        } else {
            auto snapshot = al::ui::buildPresentationSnapshot(request, duration, indexAt, lookup);
            pieces = snapshot->channels[0].size() + snapshot->channels[1].size();
            benchmark::DoNotOptimize(snapshot);
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * pieces));
}

void BM_Snapshot4sStereo192kEveryFourthFrame(benchmark::State& state) {
    buildWindow(state, 4.0, 4, true);
}
void BM_Snapshot4sStereo192kEveryFourthFrameFresh(benchmark::State& state) {
    buildWindow(state, 4.0, 4, false);
}
void BM_Snapshot1sStereo192kEveryFrame(benchmark::State& state) {
    buildWindow(state, 1.0, 1, true);
}
void BM_Snapshot50msStereo192kEveryFrame(benchmark::State& state) {
    buildWindow(state, 0.05, 1, true);
}
void BM_Snapshot50msStereo192kEveryFrameFresh(benchmark::State& state) {
    buildWindow(state, 0.05, 1, false);
}

// The memory floor of the 4 s case: every source piece of the window read
// (18.4 MB of 48-byte PCHIP intervals) and stored as f32 (9.2 MB), with no
// rule applied. A build cannot be faster than this on the same machine.
void BM_SourcePieces4sReadAndStoreOnly(benchmark::State& state) {
    const auto prepared = chunks(4.1, 4);
    std::size_t total = 0;
    for (const auto& chunk : prepared) {
        for (const auto& channel : chunk->channels) {
            total += channel.segments()[0].pchip().intervals().size();
        }
    }
    std::vector<al::ui::CubicInterval> out(total);
    for (auto _ : state) {
        std::size_t n = 0;
        for (const auto& chunk : prepared) {
            for (const auto& channel : chunk->channels) {
                for (const auto& k : channel.segments()[0].pchip().intervals()) {
                    out[n++] = {
                        static_cast<float>(k.xLeft), static_cast<float>(k.xRight),
                        static_cast<float>(k.a0),    static_cast<float>(k.a1),
                        static_cast<float>(k.a2),    static_cast<float>(k.a3)};
                }
            }
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_Snapshot4sStereo192kEveryFourthFrame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SourcePieces4sReadAndStoreOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Snapshot4sStereo192kEveryFourthFrameFresh)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Snapshot1sStereo192kEveryFrame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Snapshot50msStereo192kEveryFrame)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Snapshot50msStereo192kEveryFrameFresh)->Unit(benchmark::kMicrosecond);

}  // namespace
