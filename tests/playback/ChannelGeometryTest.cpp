#include "playback/ChannelGeometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace al::surrogate {
namespace {

using file::CurveSegment;
using file::SegmentKind;

CurveSegment line(double t0, double v0, double t1, double v1) {
    return CurveSegment(SegmentKind::Linear, 0, {{t0, v0}, {t1, v1}});
}

std::vector<CurveSegment> segments(std::vector<std::pair<double, double>> spans) {
    std::vector<CurveSegment> out;
    for (auto [first, last] : spans) {
        out.push_back(line(first, 0.0, last, 1.0));
    }
    return out;
}

std::string coverageError(double start, double end, std::vector<std::pair<double, double>> spans) {
    try {
        ChannelGeometry geometry(0, start, end, segments(spans));
        return "";
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
}

// One 1024-frame chunk at 48 kHz: tol = 1024 / 48000 * 2^-19, about 4.07e-8 s.
constexpr double kChunk = 1024.0 / 48000.0;

TEST(ChannelGeometry, LeftEdgeTolerance) {
    const double tol = kChunk * 1.9073486328125e-6;
    const std::string left = "Playback geometry does not cover the owned left edge";
    EXPECT_EQ(coverageError(0.0, kChunk, {{1e-9, kChunk}}), "");
    EXPECT_EQ(coverageError(0.0, kChunk, {{1e-6, kChunk}}), left);
    EXPECT_EQ(coverageError(0.0, kChunk, {{tol, kChunk}}), "");
    EXPECT_EQ(coverageError(0.0, kChunk, {{std::nextafter(tol, 1.0), kChunk}}), left);
    // Far from zero the rounding of the times sets the floor: 1e6 * 2^-44 is
    // about 5.7e-8 s, more than the chunk's own share.
    EXPECT_EQ(coverageError(1e6, 1e6 + kChunk, {{1e6 + 5e-8, 1e6 + kChunk}}), "");
    EXPECT_EQ(coverageError(0.0, kChunk, {{5e-8, kChunk}}), left);
}

TEST(ChannelGeometry, RightEdgeGapsAndOrder) {
    const double tol = kChunk * 1.9073486328125e-6;
    EXPECT_EQ(coverageError(0.0, kChunk, {{0.0, kChunk - tol / 2}}), "");
    EXPECT_EQ(coverageError(0.0, kChunk, {{0.0, kChunk - 2 * tol}}),
              "Playback geometry does not cover the owned right edge");
    // Overlaps and segments beyond the interval are fine.
    EXPECT_EQ(coverageError(0.0, 0.02, {{-0.01, 0.012}, {0.01, 0.03}}), "");
    EXPECT_EQ(coverageError(0.0, 0.02, {{0.0, 0.01}, {0.01 + tol / 2, 0.02}}), "");
    EXPECT_EQ(coverageError(0.0, 0.02, {{0.0, 0.01}, {0.01 + 1e-6, 0.02}}),
              "Playback geometry contains a positive time gap");
    // A long segment keeps the reach even when a later short one ends early.
    EXPECT_EQ(coverageError(0.0, 0.03, {{0.0, 0.03}, {0.01, 0.011}, {0.02, 0.03}}), "");
    EXPECT_EQ(coverageError(0.0, 0.03, {{0.0, 0.03}, {0.02, 0.03}, {0.01, 0.03}}),
              "Playback segments are not in transport order");
}

TEST(ChannelGeometry, IntervalAndEmptyChecks) {
    const std::string interval = "Playback channel has invalid ownership interval";
    EXPECT_EQ(coverageError(0.5, 0.5, {{0.0, 1.0}}), interval);
    EXPECT_EQ(coverageError(0.6, 0.5, {{0.0, 1.0}}), interval);
    EXPECT_EQ(coverageError(NAN, 0.5, {{0.0, 1.0}}), interval);
    EXPECT_EQ(coverageError(0.0, INFINITY, {{0.0, 1.0}}), interval);
    EXPECT_EQ(coverageError(0.0, 1.0, {}), "Playback channel has no segments");
}

TEST(ChannelGeometry, CursorMovesBothWays) {
    std::vector<CurveSegment> chain;
    chain.push_back(line(0.0, 0.0, 1.0, 1.0));
    chain.push_back(line(1.0, 5.0, 2.0, 6.0));  // a step at 1.0 shows which segment is used
    chain.push_back(line(2.0, -1.0, 3.0, -2.0));
    const ChannelGeometry g(3, 0.0, 3.0, std::move(chain));
    EXPECT_EQ(g.channel(), 3);

    std::size_t cursor = 0;
    EXPECT_EQ(g.valueAt(0.5, cursor), 0.5);
    EXPECT_EQ(cursor, 0u);
    EXPECT_EQ(g.valueAt(1.0, cursor), 5.0);  // the end of one is the start of the next
    EXPECT_EQ(cursor, 1u);
    EXPECT_EQ(g.valueAt(2.5, cursor), -1.5);
    EXPECT_EQ(cursor, 2u);
    EXPECT_EQ(g.valueAt(9.0, cursor), -2.0);  // after the last point: its value
    EXPECT_EQ(g.valueAt(1.5, cursor), 5.5);
    EXPECT_EQ(cursor, 1u);
    EXPECT_EQ(g.valueAt(-4.0, cursor), 0.0);  // before the first: the first value
    EXPECT_EQ(cursor, 0u);
    cursor = 99;  // a stale cursor from a longer channel
    EXPECT_EQ(g.valueAt(0.25, cursor), 0.25);
    EXPECT_EQ(cursor, 0u);

    // An increasing lattice evaluates every point the same as a fresh cursor.
    std::size_t running = 0;
    for (int k = 0; k <= 300; ++k) {
        const double x = k / 100.0;
        std::size_t fresh = 0;
        ASSERT_EQ(g.valueAt(x, running), g.valueAt(x, fresh)) << x;
    }
}

}  // namespace
}  // namespace al::surrogate
