#include "record/CurveSegment.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "CurveBitPatterns.h"

namespace al::file {
namespace {

void expectRejected(SegmentKind kind, std::vector<ControlPoint> points, const std::string& message) {
    try {
        CurveSegment segment(kind, 0, std::move(points));
        ADD_FAILURE() << "accepted, expected: " << message;
    } catch (const std::invalid_argument& error) {
        EXPECT_EQ(error.what(), message);
    }
}

TEST(CurveSegment, ConstructionRulesInOrder) {
    expectRejected(SegmentKind::Pchip, {{0, 0}}, "Playback segment requires at least two control points");
    expectRejected(SegmentKind::Polyline, {{0, 0}, {1, NAN}, {0.5, 0}},
                   "Playback segment contains nonfinite control point");
    expectRejected(SegmentKind::Polyline, {{0, 0}, {1, 0}, {1, 1}, {2, NAN}},
                   "Playback segment control-point times are not increasing");
    expectRejected(SegmentKind::Linear, {{0, 0}, {1, 0}, {2, 0}},
                   "LINEAR segment must contain exactly two control points");
    expectRejected(static_cast<SegmentKind>(4), {{0, 0}, {1, 0}},
                   "Playback segment kind is not LINEAR, PCHIP or POLYLINE");
    expectRejected(SegmentKind::Pchip, {{0, 0}, {1e-300, 1e300}}, "PCHIP coefficients are not finite");

    const CurveSegment pchip(SegmentKind::Pchip, 7, {{0, 0}, {1, 1}, {2, 0}});
    EXPECT_EQ(pchip.flags(), 7);
    EXPECT_EQ(pchip.pchip().intervals().size(), 2u);
    const CurveSegment line(SegmentKind::Linear, 0, {{0, 0}, {1, 1}});
    EXPECT_TRUE(line.pchip().empty());
}

// Long PCHIP segments take the four-at-a-time curve build, which also
// vouches for their points: a bad point anywhere (the last one too, and one
// the build's blocks reach only in their leftover steps) is still named by
// the segment's own rules, in the same order, and a sound one gives the
// curve PchipCurve builds, to the bit.
TEST(CurveSegment, LongPchipSegmentsKeepTheRulesAndTheCurve) {
    std::vector<ControlPoint> sound;
    for (int i = 0; i < 43; ++i) {
        sound.push_back({0.001 * i, std::sin(0.7 * i)});
    }
    for (const std::size_t at : {std::size_t{0}, std::size_t{17}, std::size_t{41}, std::size_t{42}}) {
        auto points = sound;
        points[at].value = NAN;
        expectRejected(SegmentKind::Pchip, points, "Playback segment contains nonfinite control point");
        points = sound;
        points[at].time = INFINITY;
        expectRejected(SegmentKind::Pchip, points, "Playback segment contains nonfinite control point");
        if (at > 0) {
            points = sound;
            points[at].time = points[at - 1].time;
            expectRejected(SegmentKind::Pchip, points,
                           "Playback segment control-point times are not increasing");
        }
    }
    // Sound points, unbuildable curves: a gap between finite times that
    // overflows, and a coefficient that does.
    auto wide = sound;
    wide.front().time = -1e308;
    for (std::size_t i = 1; i < wide.size(); ++i) {
        wide[i].time = 1e308 * (1.0 + 1e-15 * static_cast<double>(i));
    }
    expectRejected(SegmentKind::Pchip, wide, "PCHIP x values must be strictly increasing");
    auto steep = sound;
    steep[30].time = std::nextafter(steep[29].time, 1.0);
    steep[30].value = 1e300;
    expectRejected(SegmentKind::Pchip, steep, "PCHIP coefficients are not finite");

    const CurveSegment segment(SegmentKind::Pchip, 0, sound);
    PchipCurve curve;
    curve.build(std::span<const ControlPoint>(sound));
    ASSERT_EQ(segment.pchip().intervals().size(), curve.intervals().size());
    for (std::size_t j = 0; j < curve.intervals().size(); ++j) {
        const CubicInterval& a = segment.pchip().intervals()[j];
        const CubicInterval& b = curve.intervals()[j];
        EXPECT_TRUE(a.xLeft == b.xLeft && a.xRight == b.xRight && a.a0 == b.a0 && a.a1 == b.a1 &&
                    a.a2 == b.a2 && a.a3 == b.a3)
            << j;
    }
}

TEST(CurveSegment, EndValuesOutsideThePointsForEveryKind) {
    for (auto kind : {SegmentKind::Linear, SegmentKind::Pchip, SegmentKind::Polyline}) {
        const CurveSegment s(kind, 0, {{1.0, 0.3}, {2.0, -0.7}});
        EXPECT_EQ(s.valueAt(0.0), 0.3);
        EXPECT_EQ(s.valueAt(1.0), 0.3);
        EXPECT_EQ(s.valueAt(2.0), -0.7);
        EXPECT_EQ(s.valueAt(1e9), -0.7);
    }
}

TEST(CurveSegment, PolylineUsesThePairAroundTheTime) {
    const CurveSegment s(SegmentKind::Polyline, 0, {{0, 0}, {1, 1}, {3, 2}, {4, -2}});
    EXPECT_EQ(s.valueAt(0.5), 0.5);
    EXPECT_EQ(s.valueAt(1.0), 1.0);
    EXPECT_EQ(s.valueAt(2.0), 1.5);
    EXPECT_EQ(s.valueAt(3.5), 0.0);
}

TEST(CurveSegment, LinearRuleIsExactAndNeverOvershoots) {
    // Opposite signs: (1 - u) y0 + y1 u, exactly 0 half way.
    const CurveSegment cross(SegmentKind::Linear, 0, {{0, -1}, {1, 1}});
    EXPECT_EQ(cross.valueAt(0.5), 0.0);

    // Same sign: one fused rounding, pinned at y1.
    const CurveSegment up(SegmentKind::Linear, 0, {{0, 0.1}, {3, 0.7}});
    const double u = 1.0 / 3.0;
    EXPECT_EQ(up.valueAt(1.0), std::fma(u, 0.7 - 0.1, 0.1));

    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> magnitude(1e-6, 1.0);
    for (int i = 0; i < 2000; ++i) {
        const double sign = i % 2 == 0 ? 1.0 : -1.0;
        const double y0 = sign * magnitude(random);
        const double y1 = sign * magnitude(random);
        const double t0 = magnitude(random);
        const double t1 = t0 + magnitude(random);
        const CurveSegment s(SegmentKind::Polyline, 0, {{t0, y0}, {t1, y1}});
        const double lo = std::min(y0, y1);
        const double hi = std::max(y0, y1);
        // Just inside the end: the rounding must not carry the value past y1.
        const double nearEnd = std::nextafter(t1, t0);
        for (double x : {t0 + (t1 - t0) * 0.5, nearEnd}) {
            const double v = s.valueAt(x);
            ASSERT_GE(v, lo) << y0 << ' ' << y1;
            ASSERT_LE(v, hi) << y0 << ' ' << y1;
        }
        ASSERT_EQ(s.valueAt(t0), y0);
        ASSERT_EQ(s.valueAt(t1), y1);
    }
}

TEST(CurveSegment, StoredBitsOfEveryBuild) {
    test::expectStoredBits(test::storedPolylineSegment(), test::storedPolylineValues());
}

}  // namespace
}  // namespace al::file
