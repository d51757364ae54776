#include "record/PchipCurve.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "CurveBitPatterns.h"
#include "record/PchipFill.h"
#include "record/PchipWide.h"

namespace al::file {
namespace {

PchipCurve curveThrough(std::vector<double> x, std::vector<double> y) {
    PchipCurve curve;
    curve.build(x, y);
    return curve;
}

void expectBuildFails(std::vector<double> x, std::vector<double> y, const std::string& message) {
    PchipCurve curve = curveThrough({0.0, 1.0}, {0.0, 1.0});
    try {
        curve.build(x, y);
        ADD_FAILURE() << "accepted, expected: " << message;
    } catch (const std::invalid_argument& error) {
        EXPECT_EQ(error.what(), message);
    }
    EXPECT_TRUE(curve.empty());
}

// Slopes and coefficients worked out by hand from the slope rules.
TEST(PchipCurve, KnownCoefficientsOfSmallCases) {
    {
        const auto c = curveThrough({0, 1}, {0, 2});  // a straight line 2x
        const auto& iv = c.intervals().at(0);
        EXPECT_EQ(iv.a1, 2.0);
        EXPECT_EQ(iv.a2, 0.0);
        EXPECT_EQ(iv.a3, 0.0);
        EXPECT_EQ(c.valueAt(0.25), 0.5);
    }
    {
        // delta = [1, 0]: interior slope 0, left end 1.5, right end 0 (its
        // three-point value -0.5 has a sign other than m0 = 0).
        const auto c = curveThrough({0, 1, 2}, {0, 1, 1});
        const auto& iv = c.intervals();
        EXPECT_EQ(iv[0].a1, 1.5);
        EXPECT_EQ(iv[0].a2, 0.0);
        EXPECT_EQ(iv[0].a3, -0.5);
        EXPECT_EQ(iv[1].a1, 0.0);
        EXPECT_EQ(iv[1].a2, 0.0);
        EXPECT_EQ(iv[1].a3, 0.0);
        EXPECT_EQ(c.valueAt(0.5), 0.6875);
        EXPECT_EQ(c.valueAt(1.5), 1.0);
    }
    {
        // Secants of opposite sign: flat top at the middle point, 2s - s^2.
        const auto c = curveThrough({0, 1, 2}, {0, 1, 0});
        const auto& iv = c.intervals();
        EXPECT_EQ(iv[0].a1, 2.0);
        EXPECT_EQ(iv[0].a2, -1.0);
        EXPECT_EQ(iv[1].a1, 0.0);
        EXPECT_EQ(iv[1].a2, -1.0);
        EXPECT_EQ(iv[1].a3, 0.0);
        for (double x = 0.0; x <= 2.0; x += 1.0 / 64) {
            EXPECT_LE(c.valueAt(x), 1.0) << x;
        }
    }
    {
        // The end formula gives 6.5 = ((2+1)*1 - 1*(-10)) / 2; it is limited
        // to 3 * m0 because the secants change sign.
        const auto c = curveThrough({0, 1, 2}, {0, 1, -9});
        EXPECT_EQ(c.intervals()[0].a1, 3.0);
        EXPECT_EQ(c.valueAt(0.5), 0.875);
    }
    {
        // Unequal widths: w1 = 1 + 2*2 weighs the left secant, w2 = 2*1 + 2
        // the right one; swapped weights would give 9/14.
        const auto c = curveThrough({0, 1, 3}, {0, 1, 2});
        EXPECT_EQ(c.intervals()[1].a1, 9.0 / 13.0);
    }
}

TEST(PchipCurve, MonotoneDataGiveAMonotoneCurve) {
    const auto c = curveThrough({0, 1, 2, 3}, {0, 1, 3, 6});
    EXPECT_EQ(c.intervals()[0].a1, 0.5);
    EXPECT_EQ(c.intervals()[1].a1, 6.0 / 4.5);
    EXPECT_EQ(c.intervals()[2].a1, 2.4);
    double previous = c.valueAt(0.0);
    for (double x = 1.0 / 256; x <= 3.0; x += 1.0 / 256) {
        const double v = c.valueAt(x);
        EXPECT_GE(v, previous) << x;
        previous = v;
    }
}

TEST(PchipCurve, PointsAndOutsideTimes) {
    const auto c = curveThrough({0, 1, 2}, {0.25, 1, -0.5});
    EXPECT_EQ(c.valueAt(0.0), 0.25);
    EXPECT_EQ(c.valueAt(1.0), 1.0);  // uses the interval starting there
    EXPECT_EQ(c.valueAt(2.0), -0.5);
    EXPECT_TRUE(std::isnan(c.valueAt(std::nextafter(0.0, -1.0))));
    EXPECT_TRUE(std::isnan(c.valueAt(std::nextafter(2.0, 3.0))));
    EXPECT_TRUE(std::isnan(c.valueAt(std::nan(""))));

    PchipCurve empty;
    EXPECT_THROW(static_cast<void>(empty.valueAt(0.0)), std::logic_error);
}

TEST(PchipCurve, BuildRejectsBadPoints) {
    const std::string shape = "PCHIP requires equal x/y arrays with at least two points";
    const std::string finite = "PCHIP control points must be finite";
    const std::string increasing = "PCHIP x values must be strictly increasing";
    expectBuildFails({0, 1}, {0}, shape);
    expectBuildFails({0}, {0}, shape);
    expectBuildFails({0, 1, 1}, {0, 1, 2}, increasing);
    expectBuildFails({0, 2, 1}, {0, 1, 2}, increasing);
    expectBuildFails({0, 1, 2}, {0, NAN, 2}, finite);
    expectBuildFails({0, 1, 2}, {0, 1, NAN}, finite);           // the last point, after the loop
    expectBuildFails({0, 1, INFINITY}, {0, 1, 2}, increasing);  // an infinite width first
    expectBuildFails({0, 1e-300}, {0, 1e300}, "PCHIP coefficients are not finite");
}

// The slope rules and evaluation written out plainly, array by array.
struct ReferencePchip {
    std::vector<double> x, y, d;

    static int sgn(double v) { return (v > 0) - (v < 0); }
    static double end(double h0, double h1, double m0, double m1) {
        const double e = ((2 * h0 + h1) * m0 - h0 * m1) / (h0 + h1);
        if (sgn(e) != sgn(m0))
            return 0.0;
        if (sgn(m0) != sgn(m1) && std::fabs(e) > 3 * std::fabs(m0))
            return 3 * m0;
        return e;
    }

    ReferencePchip(std::vector<double> xs, std::vector<double> ys) : x(xs), y(ys), d(xs.size()) {
        const std::size_t n = x.size();
        std::vector<double> h(n - 1), m(n - 1);
        for (std::size_t i = 0; i + 1 < n; ++i) {
            h[i] = x[i + 1] - x[i];
            m[i] = (y[i + 1] - y[i]) / h[i];
        }
        d[0] = end(h[0], h[1], m[0], m[1]);
        d[n - 1] = end(h[n - 2], h[n - 3], m[n - 2], m[n - 3]);
        for (std::size_t j = 1; j + 1 < n; ++j) {
            if (m[j - 1] != 0 && m[j] != 0 && sgn(m[j - 1]) == sgn(m[j])) {
                const double w1 = h[j - 1] + 2 * h[j];
                const double w2 = 2 * h[j - 1] + h[j];
                d[j] = (w2 + w1) / (w2 / m[j] + w1 / m[j - 1]);
            } else {
                d[j] = 0;
            }
        }
    }

    double at(double t) const {
        std::size_t j = 0;
        while (j + 2 < x.size() && !(t < x[j + 1]))
            ++j;
        const double h = x[j + 1] - x[j];
        const double r = 1 / h;
        const double m = (y[j + 1] - y[j]) / h;
        const double a2 = (3 * m - 2 * d[j] - d[j + 1]) * r;
        const double a3 = (d[j] + d[j + 1] - 2 * m) * r * r;
        const double s = t - x[j];
        return ((a3 * s + a2) * s + d[j]) * s + y[j];
    }
};

TEST(PchipCurve, BitExactAgainstAPlainReimplementation) {
    std::mt19937_64 random(20240611);
    std::uniform_real_distribution<double> step(1e-4, 2e-3);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    for (int round = 0; round < 200; ++round) {
        const bool monotone = round % 2 == 0;
        const std::size_t n = 3 + round % 40;
        std::vector<double> x(n), y(n);
        double t = round * 0.01;
        double v = value(random);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = t;
            y[i] = monotone ? v : value(random);
            t += step(random);
            v += std::fabs(value(random)) * 0.1 * (i % 7 == 3 ? 0.0 : 1.0);  // some flat steps
        }
        const auto curve = curveThrough(x, y);
        const ReferencePchip reference(x, y);
        for (std::size_t i = 0; i + 1 < n; ++i) {
            for (double f : {0.0, 0.125, 0.3, 0.5, 0.77, 0.999}) {
                const double at = x[i] + f * (x[i + 1] - x[i]);
                ASSERT_EQ(std::bit_cast<std::uint64_t>(curve.valueAt(at)),
                          std::bit_cast<std::uint64_t>(reference.at(at)))
                    << "round " << round << " x=" << at;
            }
        }
    }
}

// The four-at-a-time build against the one-point-at-a-time one, bit for bit
// and fault for fault, over lengths around its tiles and vector widths, with
// flat runs, sign changes, exact zeros and steep jumps; through all three
// entry points (time and value arrays, control points, caller storage).
TEST(PchipCurve, FourAtATimeBuildGivesTheSameBitsAndTheSameFaults) {
    if (!pchip_wide::available()) {
        GTEST_SKIP() << "this processor has no 256-bit vectors";
    }
    // Every interval of every entry point, or the message it failed with.
    const auto outcome = [](const std::vector<ControlPoint>& points, bool wide) {
        pchip_wide::allow(wide);
        std::vector<std::string> got;
        const auto record = [&got](std::span<const CubicInterval> intervals) {
            std::string bytes(intervals.size() * sizeof(CubicInterval), '\0');
            std::memcpy(bytes.data(), intervals.data(), bytes.size());
            got.push_back(bytes);
        };
        const auto attempt = [&got](const std::function<void()>& build) {
            try {
                build();
            } catch (const std::invalid_argument& error) {
                got.push_back(std::string("refused: ") + error.what());
            }
        };
        std::vector<double> x, y;
        for (const auto& p : points) {
            x.push_back(p.time);
            y.push_back(p.value);
        }
        attempt([&] {
            PchipCurve c;
            c.build(x, y);
            record(c.intervals());
        });
        attempt([&] {
            PchipCurve c;
            c.build(points);
            record(c.intervals());
        });
        attempt([&] {
            std::vector<CubicInterval> out(points.size() - 1);
            PchipCurve::fill(points, out);
            record(out);
        });
        pchip_wide::allow(true);
        return got;
    };
    std::mt19937_64 random(97);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::uniform_int_distribution<int> shape(0, 9);
    for (const std::size_t n : {16, 17, 18, 19, 20, 21, 255, 256, 257, 258, 259, 260, 513, 1025}) {
        std::vector<ControlPoint> points(n);
        double t = 0.25;
        double v = 0.0;
        for (auto& p : points) {
            const int k = shape(random);
            v = k < 3 ? v : (k == 3 ? 0.0 : (k == 4 ? -v : (k == 5 ? v + 1e-12 : value(random))));
            p = {t, k == 6 ? 1e6 * value(random) : v};
            t += k == 7 ? 1e-9 : 1.0 / 44100.0;
        }
        SCOPED_TRACE(::testing::Message() << n << " points");
        const auto sound = outcome(points, true);
        ASSERT_EQ(sound.size(), 3u);
        EXPECT_EQ(sound[0].rfind("refused", 0), std::string::npos) << sound[0];
        EXPECT_EQ(sound, outcome(points, false));
        // A fault at the start, in a vector, in a tail, at tile edges, at the end.
        for (const std::size_t at :
             {std::size_t{0}, std::size_t{5}, std::size_t{255}, std::size_t{256}, n - 2, n - 1}) {
            if (at >= n) {
                continue;
            }
            for (int fault = 0; fault < 4; ++fault) {
                auto bad = points;
                if (fault == 0) {
                    bad[at].value = NAN;
                } else if (fault == 1) {
                    bad[at].time = INFINITY;
                } else if (fault == 2) {
                    bad[at].time = at > 0 ? bad[at - 1].time : bad[at + 1].time;
                } else {
                    bad[at].value = at % 2 == 0 ? 1.7e308 : -1.7e308;  // overflowing secants
                }
                SCOPED_TRACE(::testing::Message() << "fault " << fault << " at " << at);
                const auto wide = outcome(bad, true);
                EXPECT_EQ(wide, outcome(bad, false));
            }
        }
    }
}

TEST(PchipCurve, LocalValueMatchesABuiltCurveToTheBit) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> step(1e-5, 3e-5);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    for (std::size_t n = 2; n <= 8; ++n) {
        for (int round = 0; round < 50; ++round) {
            std::vector<ControlPoint> points(n);
            double t = round * 0.5;
            for (auto& p : points) {
                p = {t, round % 3 == 0 ? std::round(value(random) * 4.0) / 4.0 : value(random)};
                t += step(random);
            }
            PchipCurve curve;
            curve.build(points);
            for (std::size_t i = 0; i + 1 < n; ++i) {
                for (double f : {0.0, 0.2, 0.5, 0.9}) {
                    const double at = points[i].time + f * (points[i + 1].time - points[i].time);
                    ASSERT_EQ(std::bit_cast<std::uint64_t>(PchipCurve::valueThrough(points, at)),
                              std::bit_cast<std::uint64_t>(curve.valueAt(at)))
                        << n << " points, x=" << at;
                }
            }
            EXPECT_EQ(
                std::bit_cast<std::uint64_t>(PchipCurve::valueThrough(points, points.back().time)),
                std::bit_cast<std::uint64_t>(curve.valueAt(points.back().time)));
            EXPECT_TRUE(std::isnan(PchipCurve::valueThrough(points, t + 1.0)));
        }
    }
    const std::vector<ControlPoint> one(1), nine(9);
    EXPECT_THROW(PchipCurve::valueThrough(one, 0.0), std::invalid_argument);
    EXPECT_THROW(PchipCurve::valueThrough(nine, 0.0), std::invalid_argument);
}

TEST(PchipCurve, SharedFillStopsWhereToldAndMatchesTheCurve) {
    // The encoder lays out its pieces through the same fill: told of each
    // finished interval in order, it may stop early, and without the point
    // checks it must give the curve's coefficients to the bit.
    std::mt19937_64 random(99);
    std::uniform_real_distribution<double> step(1e-5, 3e-5);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    for (std::size_t n : {2u, 3u, 4u, 17u}) {
        std::vector<ControlPoint> points(n);
        double t = 1.0;
        for (auto& p : points) {
            p = {t, value(random)};
            t += step(random);
        }
        PchipCurve curve;
        curve.build(points);
        const auto timeOf = [&](std::size_t k) { return points[k].time; };
        const auto valueOf = [&](std::size_t k) { return points[k].value; };
        std::vector<CubicInterval> out(n - 1);
        std::vector<std::size_t> told;
        EXPECT_TRUE(
            pchip_detail::fillIntervals<false>(n, timeOf, valueOf, out.data(), [&](std::size_t i) {
                told.push_back(i);
                return true;
            }));
        ASSERT_EQ(told.size(), n - 1);
        for (std::size_t i = 0; i + 1 < n; ++i) {
            EXPECT_EQ(told[i], i);
            const CubicInterval& a = out[i];
            const CubicInterval& b = curve.intervals()[i];
            for (auto [x, y] : {std::pair{a.a0, b.a0},
                                {a.a1, b.a1},
                                {a.a2, b.a2},
                                {a.a3, b.a3},
                                {a.xLeft, b.xLeft},
                                {a.xRight, b.xRight}}) {
                EXPECT_EQ(std::bit_cast<std::uint64_t>(x), std::bit_cast<std::uint64_t>(y))
                    << n << " points, interval " << i;
            }
        }
        // Stopping at the first interval: nothing further is reported.
        told.clear();
        EXPECT_FALSE(
            pchip_detail::fillIntervals(n, timeOf, valueOf, out.data(), [&](std::size_t i) {
                told.push_back(i);
                return false;
            }));
        EXPECT_EQ(told, std::vector<std::size_t>{0});
    }
    // Without the point checks, coefficients that overflow are still refused.
    const std::vector<ControlPoint> steep{{0.0, -1e300}, {1e-300, 1e300}, {2e-300, -1e300}};
    std::vector<CubicInterval> out(2);
    EXPECT_THROW(pchip_detail::fillIntervals<false>(
                     3, [&](std::size_t k) { return steep[k].time; },
                     [&](std::size_t k) { return steep[k].value; }, out.data(),
                     [](std::size_t) { return true; }),
                 std::invalid_argument);
}

TEST(PchipCurve, StoredBitsOfEveryBuild) {
    test::expectStoredBits(test::storedPchipSegment(), test::storedPchipValues());
}

// A fused Horner step would change these bits, so the stored table can tell a
// build that contracts multiply-adds from one that does not.
TEST(PchipCurve, StoredTableDetectsFusedEvaluation) {
    const auto segment = test::storedPchipSegment();
    int differing = 0;
    for (const auto& v : test::storedPchipValues()) {
        const auto& ivs = segment.pchip().intervals();
        std::size_t j = 0;
        while (!(v.x < ivs[j].xRight))
            ++j;
        const auto& iv = ivs[j];
        const double s = v.x - iv.xLeft;
        const double fused = std::fma(std::fma(std::fma(iv.a3, s, iv.a2), s, iv.a1), s, iv.a0);
        differing += std::bit_cast<std::uint64_t>(fused) != v.bits;
    }
    EXPECT_GT(differing, 0);
}

}  // namespace
}  // namespace al::file
