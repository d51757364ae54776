#include "visual/GeometrySnapshot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>

#include "CurveSource.h"
#include "visual/SnapshotBuilder.h"

namespace al::ui {
namespace {

double cubic(double c, double d, double e, double f, double v) {
    return ((f * v + e) * v + d) * v + c;
}

TEST(CubicIntervalRule, ClippedPieceKeepsTheCurveOnTheWindowScale) {
    // Piece [1, 3] s, value c + d v + e v^2 + f v^3; window [2, 2.5] normalised by 1 s.
    const double c = 0.1, d = -0.4, e = 0.9, f = -0.5;
    std::vector<CubicInterval> out;
    ASSERT_TRUE(appendWindowInterval(out, 1.0, 3.0, c, d, e, f, 2.0, 2.5, 1.0));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_FLOAT_EQ(out[0].xLeft, 0.0f);
    EXPECT_FLOAT_EQ(out[0].xRight, 0.5f);
    for (double u = 0.0; u <= 1.0; u += 0.125) {
        const double t = 2.0 + 0.5 * u;
        const double v = (t - 1.0) / 2.0;
        EXPECT_NEAR(evaluateInterval(out[0], static_cast<float>(u)), cubic(c, d, e, f, v), 1e-6)
            << u;
    }
}

TEST(CubicIntervalRule, SkipsPiecesOutsideEmptyOrNotFinite) {
    std::vector<CubicInterval> out;
    EXPECT_FALSE(appendWindowInterval(out, 1.0, 1.0, 0, 0, 0, 0, 0.0, 2.0, 2.0));  // a == b
    EXPECT_FALSE(
        appendWindowInterval(out, 3.0, 4.0, 0, 0, 0, 0, 0.0, 2.0, 2.0));  // after the window
    EXPECT_FALSE(appendWindowInterval(out, -2.0, -1.0, 0, 0, 0, 0, 0.0, 2.0, 2.0));  // before it
    EXPECT_FALSE(
        appendWindowInterval(out, 2.0, 3.0, 0, 0, 0, 0, 0.0, 2.0, 2.0));  // touches the end only
    EXPECT_FALSE(
        appendWindowInterval(out, 0.0, 1.0, 0, 0, 0, 0, 0.0, 2.0, 0.0));  // no window length
    EXPECT_FALSE(appendWindowInterval(out, 0.0, 1.0, NAN, 0, 0, 0, 0.0, 2.0, 2.0));
    EXPECT_FALSE(
        appendWindowInterval(out, 0.0, 1.0, 0, 1e300, 0, 0, 0.0, 2.0, 2.0));  // overflows f32
    EXPECT_TRUE(out.empty());
}

TEST(CubicIntervalRule, BudgetHoldsExactlyTheLimit) {
    std::vector<CubicInterval> out(kMaxSnapshotIntervals - 1);
    EXPECT_TRUE(appendWindowInterval(out, 0.0, 1.0, 0, 0, 0, 0, 0.0, 1.0, 1.0));
    EXPECT_EQ(out.size(), kMaxSnapshotIntervals);
    try {
        appendWindowInterval(out, 0.0, 1.0, 0, 0, 0, 0, 0.0, 1.0, 1.0);
        FAIL() << "no length error";
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "Visual snapshot exceeds its complete-frame geometry budget");
    }
}

class SnapshotOverCurves : public ::testing::Test {
  protected:
    test::CurveSource source{48000, 48000, 997.0};
    ChunkIndexAt indexAt = [this](double t) { return source.chunkIndexAt(t); };
    ChunkLookup lookup = [this](std::uint64_t i) { return source.prepareChunk(i); };

    // The value the playback geometry gives at time t for a channel.
    double playbackValue(int channel, double t) {
        auto chunk = source.prepareChunk(source.chunkIndexAt(t));
        std::size_t cursor = 0;
        return chunk->channels[channel].valueAt(t, cursor);
    }

    void expectTiles(const std::vector<CubicInterval>& list, float end) {
        ASSERT_FALSE(list.empty());
        EXPECT_FLOAT_EQ(list.front().xLeft, 0.0f);
        for (std::size_t i = 0; i + 1 < list.size(); ++i) {
            ASSERT_LT(list[i].xLeft, list[i].xRight) << i;
            ASSERT_NEAR(list[i].xRight, list[i + 1].xLeft, 2e-6f) << i;
        }
        EXPECT_NEAR(list.back().xRight, end, 2e-6f);
    }
};

TEST_F(SnapshotOverCurves, CoversTheWindowExactlyWithTheGeometrysCurve) {
    // Crosses a chunk edge (1024 / 48000 = 0.02133 s) and the overlap inside chunks.
    SnapshotRequest request{0.015, 0.05, true, false, 7};
    auto snapshot = buildPresentationSnapshot(request, source.metadata().duration, indexAt, lookup);
    ASSERT_TRUE(snapshot);
    EXPECT_DOUBLE_EQ(snapshot->time, 0.015);
    EXPECT_DOUBLE_EQ(snapshot->windowLength, 0.05);
    EXPECT_TRUE(snapshot->playing);
    EXPECT_FALSE(snapshot->reachesEnd);
    EXPECT_EQ(snapshot->request, 7u);
    for (int ch = 0; ch < 2; ++ch) {
        const auto& list = snapshot->channels[ch];
        expectTiles(list, 1.0f);
        // One piece per frame step: 0.05 s at 48 kHz is 2400 frames (plus the cut ends).
        EXPECT_GE(list.size(), 2400u);
        EXPECT_LE(list.size(), 2402u);
        for (std::size_t i = 0; i < list.size(); i += 37) {
            for (float u : {0.0f, 0.3f, 0.5f, 0.9f}) {
                const double x = list[i].xLeft + (list[i].xRight - list[i].xLeft) * u;
                const double t = 0.015 + x * 0.05;
                // The piece's x is an f32 on the window scale (a few ns of
                // time), so allow the channel's steepest slope times that.
                const CubicInterval& k = list[i];
                const double steepest = ch == 0 ? 0.8 * 2.0 * 3.14159265 * 997.0 : 48000.0;
                const double tolerance = 2e-5 + steepest * 0.05 * 1.2e-7;
                EXPECT_NEAR(evaluateInterval(k, u), playbackValue(ch, t), tolerance)
                    << ch << " " << i << " " << u;
            }
        }
    }
}

TEST_F(SnapshotOverCurves, UncutPiecesCarryThePchipCoefficientsOnTheirOwnSpan) {
    SnapshotRequest request{0.0, 0.01, false, false, 1};
    auto snapshot = buildPresentationSnapshot(request, source.metadata().duration, indexAt, lookup);
    ASSERT_TRUE(snapshot);
    auto chunk = source.prepareChunk(0);
    const auto& piece = chunk->channels[0].segments()[0].pchip().intervals()[10];
    const double span = piece.xRight - piece.xLeft;
    const auto& got = snapshot->channels[0][10];
    EXPECT_NEAR(got.xLeft, piece.xLeft / 0.01, 1e-6);
    EXPECT_NEAR(got.xRight, piece.xRight / 0.01, 1e-6);
    EXPECT_FLOAT_EQ(got.a0, static_cast<float>(piece.a0));
    EXPECT_FLOAT_EQ(got.a1, static_cast<float>(piece.a1 * span));
    EXPECT_FLOAT_EQ(got.a2, static_cast<float>(piece.a2 * span * span));
    EXPECT_FLOAT_EQ(got.a3, static_cast<float>(piece.a3 * span * span * span));
}

TEST_F(SnapshotOverCurves, WindowClampsAtTheEndAndTheExtensionReachesPastOne) {
    const double duration = source.metadata().duration;  // 1 s
    auto late = buildPresentationSnapshot({5.0, 0.05, false, false, 1}, duration, indexAt, lookup);
    ASSERT_TRUE(late);
    EXPECT_DOUBLE_EQ(late->time, duration);
    EXPECT_TRUE(late->reachesEnd);
    EXPECT_TRUE(late->channels[0].empty());

    auto nearEnd =
        buildPresentationSnapshot({0.98, 0.05, false, false, 1}, duration, indexAt, lookup);
    ASSERT_TRUE(nearEnd);
    EXPECT_TRUE(nearEnd->reachesEnd);
    expectTiles(nearEnd->channels[1], static_cast<float>((duration - 0.98) / 0.05));

    auto extended =
        buildPresentationSnapshot({0.5, 0.05, false, true, 1}, duration, indexAt, lookup);
    ASSERT_TRUE(extended);
    EXPECT_FALSE(extended->reachesEnd);
    expectTiles(extended->channels[0], 2.0f);  // (0.05 + 0.05) / 0.05
}

TEST_F(SnapshotOverCurves, MissingChunkBuildsNothingAndMonoLeavesTheSecondListEmpty) {
    ChunkLookup gap = [this](std::uint64_t i) { return i == 1 ? nullptr : source.prepareChunk(i); };
    EXPECT_FALSE(buildPresentationSnapshot({0.01, 0.05, false, false, 1}, 1.0, indexAt, gap));

    test::CurveSource mono{48000, 48000, 440.0, 1};
    ChunkLookup monoLookup = [&](std::uint64_t i) { return mono.prepareChunk(i); };
    auto snapshot =
        buildPresentationSnapshot({0.1, 0.05, false, false, 1}, 1.0, indexAt, monoLookup);
    ASSERT_TRUE(snapshot);
    EXPECT_FALSE(snapshot->channels[0].empty());
    EXPECT_TRUE(snapshot->channels[1].empty());
}

TEST(IntervalTexels, TwoTexelsPerIntervalInFieldOrder) {
    std::vector<CubicInterval> list{
        {0.0f, 0.5f, 1, 2, 3, 4}, {0.5f, 1.0f, 5, 6, 7, 8}, {1, 2, 9, 10, 11, 12}};
    std::vector<float> texels;
    EXPECT_EQ(packIntervalTexels(list, 4, texels), 2u);  // two intervals per row of four texels
    ASSERT_GE(texels.size(), 2u * 4u * 4u);
    EXPECT_EQ(texels[0], 0.0f);
    EXPECT_EQ(texels[1], 0.5f);
    EXPECT_EQ(texels[3], 2.0f);
    EXPECT_EQ(texels[4], 3.0f);
    EXPECT_EQ(texels[5], 4.0f);
    EXPECT_EQ(texels[16 + 2], 9.0f);  // third interval starts the second row
    EXPECT_THROW(packIntervalTexels(list, 3, texels), std::invalid_argument);
}

TEST(SnapshotBuilderThread, CountsOnlyRealChangesAndRetriesUntilChunksArrive) {
    test::CurveSource source{48000, 48000, 440.0};
    std::atomic<int> misses{3};
    std::atomic<std::uint64_t> followed{~0ull};
    SnapshotBuilder builder(
        1.0, [&](double t) { return source.chunkIndexAt(t); },
        [&](std::uint64_t i) -> std::shared_ptr<const surrogate::PlaybackChunk> {
            if (misses.load() > 0) {
                --misses;
                return nullptr;
            }
            return source.prepareChunk(i);
        },
        [&](std::uint64_t first) { followed = first; });
    EXPECT_TRUE(builder.request(0.5, 0.05, true, false));
    EXPECT_FALSE(builder.request(0.5 + 1e-10, 0.05, true, false));
    EXPECT_EQ(builder.requestCounter(), 1u);
    EXPECT_TRUE(builder.request(0.5, 0.05, true, true));
    EXPECT_EQ(builder.requestCounter(), 2u);
    std::shared_ptr<const PresentationGeometrySnapshot> snapshot;
    for (int i = 0; i < 500 && !(snapshot = builder.latest()); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->request, 2u);
    EXPECT_EQ(followed.load(), source.chunkIndexAt(0.5));
    // Clamped requests: beyond the end and a tiny window.
    EXPECT_TRUE(builder.request(9.0, 0.0, false, false));
    for (int i = 0; i < 500 && builder.latest()->request != 3u; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_DOUBLE_EQ(builder.latest()->time, 1.0);
    EXPECT_DOUBLE_EQ(builder.latest()->windowLength, 0.001);
    builder.stop();
    builder.stop();
}

TEST(SnapshotBuilderThread, AFailingBuildIsKeptAsTextAndNotRetriedInALoop) {
    std::atomic<int> calls{0};
    SnapshotBuilder builder(
        1.0, [](double) { return std::uint64_t{0}; },
        [&](std::uint64_t) -> std::shared_ptr<const surrogate::PlaybackChunk> {
            ++calls;
            throw std::length_error("Visual snapshot exceeds its complete-frame geometry budget");
        });
    builder.request(0.2, 0.05, false, false);
    for (int i = 0; i < 200 && builder.lastError().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(builder.lastError(), "Visual snapshot exceeds its complete-frame geometry budget");
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(calls.load(), 1);  // the same request is not rebuilt every 8 ms
    EXPECT_FALSE(builder.latest());
    builder.request(0.3, 0.05, false, false);  // a new request is tried again
    for (int i = 0; i < 200 && calls.load() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(calls.load(), 2);
}

}  // namespace
}  // namespace al::ui
