#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "dsd/AurSource.h"
#include "dsd/HiFreqFilter.h"

namespace {

using morrow::dsd::HiFreqControl;
using morrow::dsd::HiFreqFilter;
using morrow::dsd::ModulatorState;

constexpr double kDsd64 = 2'822'400.0;
constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bitsOf(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

// Peak output amplitude of the filter (mix forced fully in) for a sine.
double filteredPeak(double hz, double rate) {
    HiFreqFilter filter(rate);
    double peak = 0.0;
    const int n = static_cast<int>(rate * 0.02);
    for (int i = 0; i < n; ++i) {
        const double y = filter.process(std::sin(2.0 * std::numbers::pi * hz * i / rate), true);
        if (i > n / 2) peak = std::max(peak, std::fabs(y));
    }
    return peak;
}

TEST(ModulatorTest, ZeroInputGivesTheIdleLikePattern1001) {
    ModulatorState state;
    std::vector<int> bits;
    for (int i = 0; i < 16; ++i) bits.push_back(morrow::dsd::modulate(0.0, state) ? 1 : 0);
    EXPECT_EQ(bits, (std::vector<int>{1, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0, 1}));

    // Through the filter and the packer: every byte is 0x99.
    HiFreqFilter filter(kDsd64);
    ModulatorState fresh;
    std::vector<double> zeros(4096, 0.0);
    std::vector<std::uint8_t> bytes(512, 0x55);
    morrow::dsd::modulateRun(filter, fresh, zeros.data(), zeros.size(), false, true, bytes.data());
    for (std::uint8_t b : bytes) ASSERT_EQ(b, 0x99);
}

TEST(ModulatorTest, ConstantHalfFollowsTheHandComputedSequence) {
    // v = 2 s1 + x/2 - s2, y = sign, e = v - y, worked by hand for x = 0.5.
    ModulatorState state;
    std::vector<int> bits;
    for (int i = 0; i < 8; ++i) bits.push_back(morrow::dsd::modulate(0.5, state) ? 1 : 0);
    EXPECT_EQ(bits, (std::vector<int>{1, 0, 1, 0, 1, 1, 1, 0}));
    EXPECT_EQ(state.s1, -1.0);
    EXPECT_EQ(state.s2, -1.0);
}

TEST(ModulatorTest, LongRunDensityIsHalfTheInput) {
    // Half of the modulation range for full scale: mean(+-1) = x / 2.
    for (double x : {-0.8, -0.3, 0.0, 0.25, 0.9}) {
        ModulatorState state;
        const int n = 200'000;
        long ones = 0;
        for (int i = 0; i < n; ++i) ones += morrow::dsd::modulate(x, state) ? 1 : 0;
        const double mean = (2.0 * static_cast<double>(ones) - n) / n;
        EXPECT_NEAR(mean, x / 2.0, 1e-3) << x;
    }
}

TEST(ModulatorTest, RangeCheckAndOverload) {
    ModulatorState state;
    EXPECT_NO_THROW(morrow::dsd::modulateChecked(2.0, state));
    EXPECT_NO_THROW(morrow::dsd::modulateChecked(-2.0, state));
    for (double bad : {2.0000001, -2.0000001, std::nan(""), kInf}) {
        ModulatorState s;
        EXPECT_EQ(errorOf([&] { morrow::dsd::modulateChecked(bad, s); }), "Modulation input out of range");
    }
    // Without the range check a value beyond the loop's reach makes it
    // diverge, and the overload rule stops it.
    ModulatorState wild;
    EXPECT_EQ(errorOf([&] {
                  for (int i = 0; i < 1000; ++i) morrow::dsd::modulate(3.0, wild);
              }),
              "DSD modulator overload; playback stopped");
    ModulatorState nan;
    EXPECT_EQ(errorOf([&] { morrow::dsd::modulate(std::nan(""), nan); }),
              "DSD modulator overload; playback stopped");
}

TEST(ModulatorTest, RunStopsAtTheFailingValueWithTheStateOfTheLastGoodStep) {
    HiFreqFilter filter(kDsd64);
    ModulatorState state;
    std::vector<double> values(20, 0.0);
    values[11] = 2.5;
    std::vector<std::uint8_t> bytes(3);
    EXPECT_EQ(errorOf([&] {
                  morrow::dsd::modulateRun(filter, state, values.data(), values.size(), false, true, bytes.data());
              }),
              "Modulation input out of range");
    ModulatorState expected;
    for (int i = 0; i < 11; ++i) morrow::dsd::modulate(0.0, expected);
    EXPECT_EQ(state.s1, expected.s1);
    EXPECT_EQ(state.s2, expected.s2);
}

TEST(HiFreqFilterTest, RateLimits) {
    EXPECT_EQ(errorOf([] { HiFreqFilter f(36'000.0); }), "Invalid HiFreq filter rate");
    EXPECT_NO_THROW(HiFreqFilter(36'002.0));
    for (double bad : {0.0, -kDsd64, std::nan(""), kInf}) {
        EXPECT_EQ(errorOf([&] { HiFreqFilter f(bad); }), "Invalid HiFreq filter rate");
    }
    EXPECT_THROW(HiFreqFilter(36'000.0), std::invalid_argument);
}

TEST(HiFreqFilterTest, MixReachesOneOnSample14113AtDsd64) {
    HiFreqFilter filter(kDsd64);
    EXPECT_EQ(filter.mixStep(), 1.0 / (kDsd64 * 0.005));
    int full = 0;
    for (int i = 1; i <= 20'000 && full == 0; ++i) {
        filter.process(0.1, true);
        if (filter.mix() == 1.0) full = i;
    }
    EXPECT_EQ(full, 14'113);
    // The first sample after switching off already moves down by one step.
    filter.process(0.1, false);
    EXPECT_EQ(filter.mix(), 1.0 - filter.mixStep());
}

TEST(HiFreqFilterTest, OffFromTheStartIsBitIdenticalWhileTheSectionsRun) {
    HiFreqFilter filter(kDsd64);
    std::mt19937_64 rng(1234);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    for (int i = 0; i < 10'000; ++i) {
        const double x = value(rng);
        ASSERT_EQ(bitsOf(filter.process(x, false)), bitsOf(x));
    }
    EXPECT_NE(filter.stage(0).z1, 0.0);
    EXPECT_NE(filter.stage(1).z2, 0.0);
}

TEST(HiFreqFilterTest, SectionsAreAUnityGainButterworthLowPassAt18kHz) {
    const HiFreqFilter filter(kDsd64);
    for (int k = 0; k < HiFreqFilter::stageCount(); ++k) {
        const auto& s = filter.stage(k);
        EXPECT_NEAR((s.b0 + s.b1 + s.b2) / (1.0 + s.a1 + s.a2), 1.0, 1e-9);
        EXPECT_EQ(s.b0, s.b2);
    }
    EXPECT_NEAR(filteredPeak(1'000.0, kDsd64), 1.0, 0.01);
    // -3 dB at the corner, -24 dB per octave beyond it.
    EXPECT_NEAR(filteredPeak(18'000.0, kDsd64), std::sqrt(0.5), 0.02);
    EXPECT_LT(filteredPeak(36'000.0, kDsd64), 0.07);
}

TEST(HiFreqControlTest, SwitchIsOneAtomicByte) {
    HiFreqControl control(true);
    EXPECT_TRUE(control.cutoff());
    control.setCutoff(false);
    EXPECT_FALSE(control.cutoff());
}

TEST(SampleIndexTest, RoundsWithinTheToleranceElseUp) {
    using morrow::dsd::sampleIndexAt;
    EXPECT_EQ(sampleIndexAt(1.0, kDsd64), 2'822'400u);
    EXPECT_EQ(sampleIndexAt(0.0, kDsd64), 0u);
    // 1024 frames at 48 kHz: 60211.2 DSD64 samples, so the block starts at 60212.
    EXPECT_EQ(sampleIndexAt(1024.0 / 48'000.0, kDsd64), 60'212u);
    // A rounding away from an integer is absorbed; a real fraction is not.
    EXPECT_EQ(sampleIndexAt((65'536.0 + 1e-10) / kDsd64, kDsd64), 65'536u);
    EXPECT_EQ(sampleIndexAt((65'536.0 - 1e-10) / kDsd64, kDsd64), 65'536u);
    EXPECT_EQ(sampleIndexAt((65'536.0 + 1e-8) / kDsd64, kDsd64), 65'537u);
    for (double bad : {-1e-9, std::nan(""), kInf, 1e13}) {
        EXPECT_EQ(errorOf([&] { sampleIndexAt(bad, kDsd64); }), "Clock overflow") << bad;
    }
}

}  // namespace

namespace {

// The run kernel against the value-by-value reference, with the cutoff
// switching on and off mid-run and both range-check variants.
TEST(ModulatorTest, RunKernelMatchesTheReferenceBitForBit) {
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> value(-1.9, 1.9);
    HiFreqFilter fast(5'644'800.0), slow(5'644'800.0);
    ModulatorState fastState, slowState;
    for (int run = 0; run < 40; ++run) {
        const bool cutoff = (run / 3) % 2 == 1;
        const std::size_t n = 1 + rng() % 20'000;
        std::vector<double> values(n);
        for (double& v : values) v = value(rng);
        std::vector<std::uint8_t> bytes((n + 7) / 8, 0xAA);
        morrow::dsd::modulateRun(fast, fastState, values.data(), n, cutoff, run % 2 == 0, bytes.data());
        for (std::size_t i = 0; i < n; ++i) {
            const bool bit = morrow::dsd::modulate(slow.process(values[i], cutoff), slowState);
            ASSERT_EQ((bytes[i / 8] >> (i % 8) & 1u) != 0, bit) << run << " " << i;
        }
        if (n % 8 != 0) {
            EXPECT_EQ(bytes.back() >> (n % 8), 0) << "unused bits cleared";
        }
        ASSERT_EQ(bitsOf(fastState.s1), bitsOf(slowState.s1));
        ASSERT_EQ(bitsOf(fastState.s2), bitsOf(slowState.s2));
        ASSERT_EQ(bitsOf(fast.mix()), bitsOf(slow.mix()));
        for (int k = 0; k < 2; ++k) {
            ASSERT_EQ(bitsOf(fast.stage(k).z1), bitsOf(slow.stage(k).z1));
            ASSERT_EQ(bitsOf(fast.stage(k).z2), bitsOf(slow.stage(k).z2));
        }
    }
    EXPECT_GT(slow.mix(), 0.0);
}

}  // namespace

namespace {

using morrow::dsd::ModulatorLane;

void expectSameState(const HiFreqFilter& a, const ModulatorState& as, const HiFreqFilter& b,
                     const ModulatorState& bs) {
    EXPECT_EQ(bitsOf(as.s1), bitsOf(bs.s1));
    EXPECT_EQ(bitsOf(as.s2), bitsOf(bs.s2));
    EXPECT_EQ(bitsOf(a.mix()), bitsOf(b.mix()));
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(bitsOf(a.stage(k).z1), bitsOf(b.stage(k).z1));
        EXPECT_EQ(bitsOf(a.stage(k).z2), bitsOf(b.stage(k).z2));
    }
}

// The two-channel kernel against the value-by-value reference on each
// channel: each channel its own cutoff (switching on and off at different
// runs, so one lane ramps while the other is still or at full weight), both
// range-check variants, run lengths that end inside a byte.
TEST(ModulatorTest, PairKernelMatchesTheReferenceOnBothChannels) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> value(-1.9, 1.9);
    HiFreqFilter fast0(2'822'400.0), fast1(2'822'400.0), slow0(2'822'400.0), slow1(2'822'400.0);
    ModulatorState fastState0, fastState1, slowState0, slowState1;
    for (int run = 0; run < 48; ++run) {
        const bool cutoff0 = (run / 4) % 2 == 1;
        const bool cutoff1 = (run / 7) % 2 == 1;
        const std::size_t n = 1 + rng() % 30'000;
        std::vector<double> values0(n), values1(n);
        for (std::size_t i = 0; i < n; ++i) {
            values0[i] = value(rng);
            values1[i] = i % 3 == 0 ? 0.0 : value(rng);
        }
        std::vector<std::uint8_t> bytes0((n + 7) / 8, 0xAA), bytes1((n + 7) / 8, 0x55);
        morrow::dsd::modulateRunPair(ModulatorLane{fast0, fastState0, values0.data(), cutoff0, bytes0.data()},
                                     ModulatorLane{fast1, fastState1, values1.data(), cutoff1, bytes1.data()}, n,
                                     run % 2 == 0);
        for (std::size_t i = 0; i < n; ++i) {
            const bool bit0 = morrow::dsd::modulate(slow0.process(values0[i], cutoff0), slowState0);
            const bool bit1 = morrow::dsd::modulate(slow1.process(values1[i], cutoff1), slowState1);
            ASSERT_EQ((bytes0[i / 8] >> (i % 8) & 1u) != 0, bit0) << run << " " << i;
            ASSERT_EQ((bytes1[i / 8] >> (i % 8) & 1u) != 0, bit1) << run << " " << i;
        }
        if (n % 8 != 0) {
            EXPECT_EQ(bytes0.back() >> (n % 8), 0);
            EXPECT_EQ(bytes1.back() >> (n % 8), 0);
        }
        expectSameState(fast0, fastState0, slow0, slowState0);
        expectSameState(fast1, fastState1, slow1, slowState1);
        ASSERT_FALSE(testing::Test::HasFailure()) << run;
    }
    EXPECT_GT(slow0.mix(), 0.0);
}

// A failure in either channel is thrown where value-by-value processing
// (channel 0, then channel 1, for each value) meets it first, and leaves
// both channels as that processing leaves them.
TEST(ModulatorTest, PairKernelFailsAtTheFirstFailingValueInChannelOrder) {
    struct Case {
        std::size_t at0, at1;  // where each channel gets its bad value (n: none)
        double bad;
        bool checkRange;
        const char* message;
    };
    constexpr std::size_t n = 37;
    const Case cases[] = {
        {20, n, 2.5, true, "Modulation input out of range"},
        {n, 20, 2.5, true, "Modulation input out of range"},
        {21, 20, 1e300, true, "Modulation input out of range"},
        {20, 20, kInf, false, "DSD modulator overload; playback stopped"},
        {n, 3, std::numeric_limits<double>::quiet_NaN(), false, "DSD modulator overload; playback stopped"},
    };
    for (const Case& c : cases) {
        std::vector<double> values0(n, 0.25), values1(n, -0.5);
        if (c.at0 < n) values0[c.at0] = c.bad;
        if (c.at1 < n) values1[c.at1] = c.bad;
        HiFreqFilter fast0(kDsd64), fast1(kDsd64), slow0(kDsd64), slow1(kDsd64);
        ModulatorState fastState0, fastState1, slowState0, slowState1;
        std::vector<std::uint8_t> bytes0(5), bytes1(5);
        const std::string got = errorOf([&] {
            morrow::dsd::modulateRunPair(ModulatorLane{fast0, fastState0, values0.data(), false, bytes0.data()},
                                         ModulatorLane{fast1, fastState1, values1.data(), false, bytes1.data()}, n,
                                         c.checkRange);
        });
        const std::string expected = errorOf([&] {
            for (std::size_t i = 0; i < n; ++i) {
                std::uint8_t bit = 0;
                morrow::dsd::modulateRun(slow0, slowState0, &values0[i], 1, false, c.checkRange, &bit);
                morrow::dsd::modulateRun(slow1, slowState1, &values1[i], 1, false, c.checkRange, &bit);
            }
        });
        EXPECT_EQ(expected, c.message) << c.at0 << " " << c.at1;
        EXPECT_EQ(got, expected) << c.at0 << " " << c.at1;
        expectSameState(fast0, fastState0, slow0, slowState0);
        expectSameState(fast1, fastState1, slow1, slowState1);
    }
}

}  // namespace
