#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "dsd/CurveWalker.h"

namespace {

using al::file::ControlPoint;
using al::file::CurveSegment;
using al::file::SegmentKind;
using morrow::dsd::CurveWalker;

constexpr double kRate = 64 * 44'100.0;

std::uint64_t bitsOf(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// A channel with every kind of segment: long PCHIP pieces whose control
// points sit partly exactly on DSD instants (so runs end on an instant) and
// partly between them, a line, a polyline, a short PCHIP piece that holds
// only a couple of instants, with shared and with open joints.
std::vector<CurveSegment> mixedSegments() {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> value(-0.9, 0.9);
    std::vector<CurveSegment> segments;
    const auto pchip = [&](std::uint64_t from, std::uint64_t to, std::uint64_t gap, bool onInstants) {
        std::vector<ControlPoint> points;
        for (std::uint64_t n = from; n < to; n += 1 + rng() % gap) {
            const double t = onInstants || n == from ? static_cast<double>(n) / kRate
                                                     : (static_cast<double>(n) + 0.37) / kRate;
            points.push_back({t, value(rng)});
        }
        points.push_back({static_cast<double>(to) / kRate, value(rng)});
        segments.emplace_back(SegmentKind::Pchip, 0, std::move(points));
    };
    pchip(0, 20'000, 120, true);
    pchip(20'000, 40'000, 90, false);
    segments.emplace_back(SegmentKind::Linear, 0,
                          std::vector<ControlPoint>{{40'000 / kRate, 0.1}, {41'000 / kRate, -0.3}});
    segments.emplace_back(SegmentKind::Polyline, 0,
                          std::vector<ControlPoint>{{41'000.5 / kRate, 0.2}, {41'300 / kRate, 0.5}, {42'000 / kRate, -0.1}});
    pchip(42'000, 42'003, 1, false);
    pchip(42'010, 60'000, 300, true);
    return segments;
}

// The block path against the instant-by-instant path, bit for bit, for
// many ways of cutting the same increasing run into fill calls (including
// single instants and calls that start inside a cubic interval), and the
// walker state they leave: value-by-value evaluation continues identically.
TEST(CurveWalkerTest, BlockFillEqualsPerInstantValuesBitForBit) {
    const std::vector<CurveSegment> segments = mixedSegments();
    constexpr std::uint64_t kEnd = 61'000;  // past the last point: held values too
    std::vector<double> expected(kEnd);
    CurveWalker reference;
    for (std::uint64_t n = 0; n < kEnd; ++n) {
        expected[n] = reference.valueAt(segments, static_cast<double>(n) / kRate);
    }
    std::mt19937_64 rng(11);
    for (const std::uint64_t maxCall : {1u, 3u, 17u, 4096u, 70'000u}) {
        CurveWalker walker;
        std::vector<double> got(kEnd, -7.0);
        std::uint64_t n = 0;
        while (n < kEnd) {
            const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(1 + rng() % maxCall, kEnd - n));
            ASSERT_EQ(walker.fill(segments, n, count, kRate, got.data() + n), count);
            if (rng() % 4 == 0 && n + count < kEnd) {
                // Interleave single valueAt calls: the state fill left is the
                // state value-by-value evaluation would have left.
                got[n + count] = walker.valueAt(segments, static_cast<double>(n + count) / kRate);
                ++n;
            }
            n += count;
        }
        for (std::uint64_t k = 0; k < kEnd; ++k) {
            ASSERT_EQ(bitsOf(got[k]), bitsOf(expected[k])) << "instant " << k << ", calls up to " << maxCall;
        }
    }
}

// fill stops before the first instant that is not before the limit and
// leaves that output and the ones after it alone.
TEST(CurveWalkerTest, FillStopsAtTheLimit) {
    const std::vector<CurveSegment> segments = mixedSegments();
    CurveWalker walker;
    std::vector<double> out(100, 42.0);
    const double limit = 1050.0 / kRate;  // exactly instant 1050
    EXPECT_EQ(walker.fill(segments, 1000, 100, kRate, out.data(), limit), 50u);
    EXPECT_NE(out[49], 42.0);
    EXPECT_EQ(out[50], 42.0);
    EXPECT_EQ(out[99], 42.0);
    EXPECT_EQ(walker.fill(segments, 1050, 10, kRate, out.data(), limit), 0u);
    // Limits between instants and past the run.
    EXPECT_EQ(walker.fill(segments, 1050, 10, kRate, out.data(), 1052.5 / kRate), 3u);
    EXPECT_EQ(walker.fill(segments, 1053, 10, kRate, out.data()), 10u);
    // No segments: zeros, like valueAt.
    CurveWalker empty;
    std::vector<double> zeros(5, 1.0);
    EXPECT_EQ(empty.fill({}, 0, 5, kRate, zeros.data()), 5u);
    EXPECT_EQ(zeros, std::vector<double>(5, 0.0));
}

}  // namespace
