// The fast paths of snapshot building against the piece rule applied one
// piece at a time, bit for bit, and the builder's reuse of its snapshots.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <set>
#include <stdexcept>
#include <thread>

#include "CurveSource.h"
#include "visual/GeometrySnapshot.h"
#include "visual/SnapshotBuilder.h"

namespace al::ui {
namespace {

// The plain rule: each segment used from where the previous one ends to
// where it ends (the last to the owned end), held end values outside its
// points, every piece through appendCubicInterval.
void referenceChannel(std::vector<CubicInterval>& out, const surrogate::ChannelGeometry& channel,
                      double g, double h, double l) {
    const double ownStart = std::max(channel.ownershipStart(), g);
    const double ownEnd = std::min(channel.ownershipEnd(), h);
    if (!(ownEnd > ownStart)) {
        return;
    }
    double reach = channel.ownershipStart();
    const auto& segments = channel.segments();
    for (std::size_t i = 0; i < segments.size() && reach < ownEnd; ++i) {
        const auto& s = segments[i];
        const double spanEnd = i + 1 == segments.size()
                                   ? channel.ownershipEnd()
                                   : std::min(s.lastTime(), channel.ownershipEnd());
        if (!(spanEnd > reach)) {
            continue;
        }
        const double lo = std::max(reach, ownStart), hi = std::min(spanEnd, ownEnd);
        reach = spanEnd;
        if (!(hi > lo)) {
            continue;
        }
        const auto& pts = s.points();
        if (lo < s.firstTime()) {
            appendCubicInterval(out, lo, s.firstTime(), pts.front().value, 0, 0, 0, lo, hi, g, l);
        }
        if (s.kind() == file::SegmentKind::Pchip) {
            for (const auto& k : s.pchip().intervals()) {
                const double w = k.xRight - k.xLeft;
                appendCubicInterval(out, k.xLeft, k.xRight, k.a0, k.a1 * w, k.a2 * w * w,
                                    k.a3 * w * w * w, lo, hi, g, l);
            }
        } else {
            for (std::size_t p = 0; p + 1 < pts.size(); ++p) {
                appendCubicInterval(out, pts[p].time, pts[p + 1].time, pts[p].value,
                                    pts[p + 1].value - pts[p].value, 0, 0, lo, hi, g, l);
            }
        }
        if (hi > s.lastTime()) {
            appendCubicInterval(out, s.lastTime(), hi, pts.back().value, 0, 0, 0, lo, hi, g, l);
        }
    }
}

void expectSameBits(const std::vector<CubicInterval>& got, const std::vector<CubicInterval>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(std::memcmp(&got[i], &want[i], sizeof(CubicInterval)), 0) << "piece " << i;
    }
}

std::shared_ptr<const surrogate::PlaybackChunk> chunkOf(
    std::vector<std::vector<file::ControlPoint>> perChannel, double start, double end) {
    auto chunk = std::make_shared<surrogate::PlaybackChunk>();
    chunk->ownershipStart = start;
    chunk->ownershipEnd = end;
    int ch = 0;
    for (auto& points : perChannel) {
        std::vector<file::CurveSegment> segments;
        segments.emplace_back(file::SegmentKind::Pchip, 0, std::move(points));
        chunk->channels.emplace_back(ch++, start, end, std::move(segments));
    }
    return chunk;
}

// Runs `body` with the wide vector path allowed and then with it refused
// (on a processor without it both runs take the narrow path).
template <typename Body>
void onBothVectorPaths(Body body) {
    for (const bool wide : {true, false}) {
        allowSnapshotWideVectors(wide);
        SCOPED_TRACE(wide ? "wide vectors" : "narrow vectors");
        body();
    }
    allowSnapshotWideVectors(true);
}

TEST(SnapshotRuns, SameBitsAsThePieceRuleOverManyWindows) {
    onBothVectorPaths([] {
        test::CurveSource source{48000, 48000, 997.0};
        const ChunkIndexAt indexAt = [&](double t) { return source.chunkIndexAt(t); };
        const ChunkLookup lookup = [&](std::uint64_t i) { return source.prepareChunk(i); };
        PresentationGeometrySnapshot into;
        // Windows starting on a chunk edge, inside one, at 0, cut at the end,
        // long enough for runs beyond one pass, and with the extension.
        for (const auto& [t, len, ext] : {std::tuple{0.0, 0.05, false},
                                          {0.0213333, 0.2, false},
                                          {0.015, 0.05, true},
                                          {0.5, 0.3, false},
                                          {0.97, 0.05, true},
                                          {0.3333, 0.001, false}}) {
            ASSERT_TRUE(
                buildPresentationSnapshotInto(into, {t, len, false, ext, 1}, 1.0, indexAt, lookup));
            const double h = std::min(t + len + (ext ? kSnapshotExtension : 0.0), 1.0);
            for (int ch = 0; ch < 2; ++ch) {
                std::vector<CubicInterval> want;
                for (auto i = indexAt(t); i <= indexAt(h); ++i) {
                    referenceChannel(want, source.prepareChunk(i)->channels[ch], t, h, len);
                }
                SCOPED_TRACE(::testing::Message()
                             << "window " << t << " + " << len << " ch " << ch);
                expectSameBits(into.channels[ch], want);
            }
        }
    });
}

TEST(SnapshotRuns, PiecesThatOverflowOrCarrySignedZerosMatchTheRule) {
    onBothVectorPaths([] {
        // Flat stretches with -0 values, a jump so steep that its coefficients
        // overflow f32 (skipped by the rule, and the run around it redone), and
        // more than one pass of pieces.
        std::vector<file::ControlPoint> loud, quiet;
        for (int i = 0; i <= 1500; ++i) {
            const double t = i * 1e-3;
            loud.push_back({t, i == 700 ? 1e39 : (i % 3 == 0 ? -0.0 : 0.25 * (i % 5))});
            quiet.push_back({t, i < 800 ? -0.0 : 0.0});
        }
        const auto chunk = chunkOf({loud, quiet}, 0.0, 1.5);
        for (const auto& [g, len] : {std::pair{0.0, 1.5}, {0.1234, 0.9}}) {
            PresentationGeometrySnapshot into;
            ASSERT_TRUE(buildPresentationSnapshotInto(
                into, {g, len, false, false, 1}, 1.5, [](double) { return std::uint64_t{0}; },
                [&](std::uint64_t) { return chunk; }));
            const double h = std::min(g + len, 1.5);
            for (int ch = 0; ch < 2; ++ch) {
                std::vector<CubicInterval> want;
                referenceChannel(want, chunk->channels[ch], g, h, len);
                expectSameBits(into.channels[ch], want);
            }
            EXPECT_LT(into.channels[0].size(), 1500u);  // the overflowing pieces are gone
        }
    });
}

TEST(SnapshotRuns, TheBudgetStopsAtTheSameExactPiece) {
    // One chunk of more pieces than a list may hold: the length error comes
    // with exactly the limit in the list, as the rule gives it.
    const std::size_t n = kMaxSnapshotIntervals + 700;
    std::vector<file::ControlPoint> points;
    for (std::size_t i = 0; i <= n; ++i) {
        points.push_back({static_cast<double>(i), (i % 4) * 0.1});
    }
    const auto chunk = chunkOf({points}, 0.0, static_cast<double>(n));
    std::vector<CubicInterval> list;
    try {
        appendChannelIntervals(list, chunk->channels[0], 0.0, static_cast<double>(n), 0.0,
                               static_cast<double>(n));
        FAIL() << "no length error";
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "Visual snapshot exceeds its complete-frame geometry budget");
    }
    EXPECT_EQ(list.size(), kMaxSnapshotIntervals);
    std::vector<CubicInterval> want;
    EXPECT_THROW(referenceChannel(want, chunk->channels[0], 0.0, static_cast<double>(n),
                                  static_cast<double>(n)),
                 std::length_error);
    expectSameBits(list, want);
}

TEST(SnapshotBuilderReuse, BuildsIntoReleasedSnapshotsAndNeverIntoAHeldOne) {
    test::CurveSource source{48000, 48000, 440.0};
    SnapshotBuilder builder(
        1.0, [&](double t) { return source.chunkIndexAt(t); },
        [&](std::uint64_t i) { return source.prepareChunk(i); });
    auto waitFor = [&](std::uint64_t request) {
        std::shared_ptr<const PresentationGeometrySnapshot> s;
        for (int i = 0; i < 1000; ++i) {
            s = builder.latest();
            if (s && s->request == request) {
                return s;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return s;
    };
    builder.request(0.1, 0.05, true, false);
    const auto held = waitFor(1);
    ASSERT_TRUE(held);
    const std::vector<CubicInterval> heldCopy = held->channels[0];
    std::set<const CubicInterval*> storage;
    for (std::uint64_t r = 2; r <= 20; ++r) {
        builder.request(0.1 + 0.01 * static_cast<double>(r), 0.05, true, false);
        auto s = waitFor(r);
        ASSERT_TRUE(s);
        ASSERT_EQ(s->request, r);
        EXPECT_NE(s.get(), held.get());
        storage.insert(s->channels[0].data());
    }
    // Released snapshots come back: a handful of storages for 19 builds.
    EXPECT_LE(storage.size(), SnapshotBuilder::kSpareSnapshots + 1);
    expectSameBits(held->channels[0], heldCopy);
}

}  // namespace
}  // namespace al::ui
