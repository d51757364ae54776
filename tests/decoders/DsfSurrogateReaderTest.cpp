#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "decoders/DsfSurrogateReader.h"
#include "dsd/DsfWriter.h"
#include "support/TempDir.h"

namespace {

using al::file::DsfSurrogateReader;
using morrow::dsd::DsdBitStream;

constexpr std::uint32_t kDsd64 = 2'822'400;

DsdBitStream constantBits(std::uint64_t count, bool value) {
    DsdBitStream bits;
    bits.reserve(count);
    while (bits.size() + 8 <= count) bits.pushByte(value ? 0xFF : 0x00);
    while (bits.size() < count) bits.push(value);
    return bits;
}

DsdBitStream randomBits(std::uint64_t count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    DsdBitStream bits;
    bits.reserve(count);
    while (bits.size() + 8 <= count) bits.pushByte(static_cast<std::uint8_t>(rng()));
    while (bits.size() < count) bits.push((rng() & 1u) != 0);
    return bits;
}

// A plain second-order delta-sigma modulator: enough to put a tone into DSD.
DsdBitStream modulateSine(std::uint64_t count, std::uint32_t rate, double hz, double amplitude) {
    DsdBitStream bits;
    bits.reserve(count);
    double i1 = 0.0, i2 = 0.0, y = 0.0;
    for (std::uint64_t n = 0; n < count; ++n) {
        const double x = amplitude * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(n) / rate);
        i1 += x - y;
        i2 += i1 - y;
        y = i2 >= 0.0 ? 1.0 : -1.0;
        bits.push(y > 0.0);
    }
    return bits;
}

// Appends `count` bits of the pattern that stands for positions outside a
// track: position n reads n AND 1.
void appendPattern(DsdBitStream& bits, std::uint64_t count) {
    for (std::uint64_t i = 0; i < count; ++i) bits.push((bits.size() & 1u) != 0);
}

std::vector<double> channel(const std::vector<double>& interleaved, std::size_t channels, std::size_t c) {
    std::vector<double> out;
    for (std::size_t i = c; i < interleaved.size(); i += channels) out.push_back(interleaved[i]);
    return out;
}

// Least-squares fit of a*sin + b*cos + d at `hz` over x[from, to); the SNR is
// the fitted tone's power over the residual's.
struct SineFit {
    double a = 0, b = 0, d = 0, snrDb = 0;
};

SineFit fitSine(const std::vector<double>& x, double hz, double rate, std::size_t from, std::size_t to) {
    const auto phase = [&](std::size_t k) { return 2.0 * std::numbers::pi * hz * static_cast<double>(k) / rate; };
    // Normal equations M [a b d]' = r.
    double m[3][3] = {}, r[3] = {};
    for (std::size_t k = from; k < to; ++k) {
        const double basis[3] = {std::sin(phase(k)), std::cos(phase(k)), 1.0};
        for (int i = 0; i < 3; ++i) {
            r[i] += basis[i] * x[k];
            for (int j = 0; j < 3; ++j) m[i][j] += basis[i] * basis[j];
        }
    }
    const auto det = [](const double (&q)[3][3]) {
        return q[0][0] * (q[1][1] * q[2][2] - q[1][2] * q[2][1]) - q[0][1] * (q[1][0] * q[2][2] - q[1][2] * q[2][0]) +
               q[0][2] * (q[1][0] * q[2][1] - q[1][1] * q[2][0]);
    };
    double solution[3];
    for (int col = 0; col < 3; ++col) {  // Cramer's rule
        double q[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) q[i][j] = j == col ? r[i] : m[i][j];
        solution[col] = det(q) / det(m);
    }
    SineFit fit{solution[0], solution[1], solution[2], 0.0};
    double signal = 0.0, noise = 0.0;
    for (std::size_t k = from; k < to; ++k) {
        const double tone = fit.a * std::sin(phase(k)) + fit.b * std::cos(phase(k));
        signal += tone * tone;
        noise += (x[k] - tone - fit.d) * (x[k] - tone - fit.d);
    }
    fit.snrDb = 10.0 * std::log10(signal / noise);
    return fit;
}

class DsfSurrogateTest : public ::testing::Test {
protected:
    std::filesystem::path write(const std::vector<DsdBitStream>& streams, std::uint32_t rate = kDsd64,
                                std::uint32_t bitsPerSample = 1) {
        const auto path = dir / ("f" + std::to_string(counter++) + ".dsf");
        morrow::dsd::writeDsfFile(path, streams, {rate, bitsPerSample});
        return path;
    }
    al::test::TempDir dir;
    int counter = 0;
};

TEST(DsfSurrogateFilters, TapsAreSymmetricWithUnityDcGain) {
    for (const auto& [taps, cutoff] : {std::pair{255u, 0.045}, {63u, 0.2}, {511u, 0.25}}) {
        const auto h = DsfSurrogateReader::designLowPass(taps, cutoff);
        ASSERT_EQ(h.size(), taps);
        double sum = 0.0;
        for (std::size_t i = 0; i < h.size(); ++i) {
            EXPECT_EQ(h[i], h[h.size() - 1 - i]);
            sum += h[i];
        }
        EXPECT_NEAR(sum, 1.0, 1e-14);
        // The centre dominates and the Blackman window closes at the ends.
        EXPECT_GT(h[taps / 2], 0.0);
        EXPECT_LT(std::abs(h[0]), 1e-15);
        for (const double v : h) EXPECT_LE(std::abs(v), h[taps / 2]);
    }
    // Three taps: both outer ones sit on the window's zeros, so the normalised
    // filter is the identity.
    const auto h = DsfSurrogateReader::designLowPass(3, 0.25);
    EXPECT_DOUBLE_EQ(h[1], 1.0);
    EXPECT_THROW(DsfSurrogateReader::designLowPass(4, 0.25), std::invalid_argument);
}

TEST(DsfSurrogateFilters, ByteTableSumsEqualTheDirectFilter) {
    const auto h = DsfSurrogateReader::designLowPass(255, 0.045);
    const auto table = DsfSurrogateReader::foldIntoByteTable(h);
    std::mt19937 rng(20240601);
    for (int trial = 0; trial < 2000; ++trial) {
        std::uint8_t bytes[32];
        for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
        double viaTable = 0.0, direct = 0.0;
        for (std::size_t p = 0; p < 32; ++p) viaTable += table[p][bytes[p]];
        for (std::size_t k = 0; k < 255; ++k) {
            const bool one = (bytes[k / 8] >> (7 - k % 8) & 1u) != 0;
            direct += (one ? 1.0 : -1.0) * h[k];
        }
        ASSERT_NEAR(viaTable, direct, 1e-13) << "trial " << trial;
    }
    // Bit position 255 (the last byte's least significant bit) has no tap.
    for (unsigned v = 0; v < 256; v += 2) EXPECT_EQ(table[31][v], table[31][v | 1]);
    EXPECT_NEAR(table[0][0xFF], h[0] + h[1] + h[2] + h[3] + h[4] + h[5] + h[6] + h[7], 1e-17);
    EXPECT_EQ(table[5][0x00], -table[5][0xFF]);
}

TEST_F(DsfSurrogateTest, DescriptionAndStagesFollowTheRate) {
    struct Case {
        std::uint32_t rate;
        std::uint32_t ratio;
        std::size_t halfBands;
        const char* label;
    };
    for (const Case& c : {Case{kDsd64, 32, 2, "DSF / DSD64 (88.2 kHz filtered surrogate)"},
                          Case{2 * kDsd64, 64, 3, "DSF / DSD128 (88.2 kHz filtered surrogate)"},
                          Case{32 * kDsd64, 1024, 7, "DSF / DSD2048 (88.2 kHz filtered surrogate)"}}) {
        const std::uint64_t samples = 10 * c.ratio + 3;
        const DsfSurrogateReader reader(write({randomBits(samples, 1), randomBits(samples, 2)}, c.rate));
        EXPECT_EQ(reader.ratio(), c.ratio);
        EXPECT_EQ(reader.formatLabel(), c.label);
        EXPECT_EQ(reader.channelCount(), 2);
        EXPECT_EQ(reader.sampleRate(), 88'200u);
        EXPECT_EQ(reader.bitDepth(), 0);
        EXPECT_EQ(reader.frameCount(), 11u);
        EXPECT_DOUBLE_EQ(reader.durationSeconds(), static_cast<double>(samples) / c.rate);
        const auto& stages = reader.stages();
        ASSERT_EQ(stages.size(), c.halfBands + 2);
        EXPECT_EQ(stages.front().factor, 8u);
        EXPECT_EQ(stages.front().taps.size(), 255u);
        for (std::size_t s = 1; s <= c.halfBands; ++s) {
            EXPECT_EQ(stages[s].factor, 2u);
            EXPECT_EQ(stages[s].taps.size(), 63u);
        }
        EXPECT_EQ(stages.back().factor, 1u);
        EXPECT_EQ(stages.back().taps.size(), 511u);
        EXPECT_EQ(reader.ReadFrames(0, 11).size(), 22u);
    }
}

TEST_F(DsfSurrogateTest, RefusesRatesOutsideThe44kFamily) {
    for (const std::uint32_t rate : {3'072'000u, 48u * 88'200u}) {
        const auto path = write({randomBits(64, 3)}, rate);
        try {
            DsfSurrogateReader reader(path);
            ADD_FAILURE() << rate << " was accepted";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "DSF surrogate requires a 44.1 kHz-family DSD rate through DSD2048");
        }
    }
}

TEST_F(DsfSurrogateTest, ConstantRunsProjectToFullScale) {
    const std::uint64_t samples = 32 * 4000;
    const DsfSurrogateReader reader(write({constantBits(samples, true), constantBits(samples, false)}));
    const auto frames = reader.ReadFrames(0, reader.frameCount());
    // Away from the edges (where the filters reach pattern bits) every frame is
    // exactly the DC gain of the cascade.
    for (std::uint64_t f = 300; f + 300 < reader.frameCount(); ++f) {
        ASSERT_NEAR(frames[2 * f], 1.0, 1e-12) << f;
        ASSERT_NEAR(frames[2 * f + 1], -1.0, 1e-12) << f;
    }
    // At the edges the zero-mean pattern pulls the value towards 0.
    EXPECT_LT(frames[0], 0.9);
    EXPECT_GT(frames[0], 0.1);
}

TEST_F(DsfSurrogateTest, ChunkingDoesNotChangeASingleBit) {
    const std::uint64_t samples = 32 * 80'000 + 13;
    const DsfSurrogateReader dsd64(write({randomBits(samples, 11), modulateSine(samples, kDsd64, 3000.0, 0.4)}));
    const auto whole = dsd64.ReadFrames(0, 10'000);
    auto joined = dsd64.ReadFrames(0, 5'000);
    const auto second = dsd64.ReadFrames(5'000, 5'000);
    joined.insert(joined.end(), second.begin(), second.end());
    EXPECT_EQ(whole, joined);

    // Ragged pieces across the reader's internal passes and up to the last frame.
    const auto all = dsd64.ReadFrames(0, dsd64.frameCount());
    std::vector<double> pieces;
    for (std::uint64_t at = 0, step = 1; at < dsd64.frameCount(); step = step * 3 + 1) {
        const std::uint64_t n = std::min(step % 9000 + 1, dsd64.frameCount() - at);
        const auto piece = dsd64.ReadFrames(at, n);
        pieces.insert(pieces.end(), piece.begin(), piece.end());
        at += n;
    }
    EXPECT_EQ(all, pieces);

    // DSD2048 runs its internal passes on short spans.
    const DsfSurrogateReader dsd2048(write({randomBits(1024 * 5'000 + 5, 12)}, 32 * kDsd64));
    const auto big = dsd2048.ReadFrames(0, 5'000);
    std::vector<double> small;
    for (std::uint64_t at = 0; at < 5'000; at += 1'000) {
        const auto piece = dsd2048.ReadFrames(at, 1'000);
        small.insert(small.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(big, small);
}

// The channels filtered on two threads (odd ones on the reader's second
// thread) give the same bits as one thread doing them all, across passes and
// at a high rate with short passes; a mono reader keeps to one thread.
TEST_F(DsfSurrogateTest, ChannelThreadsDoNotChangeASingleBit) {
    const std::uint64_t samples = 32 * 70'000 + 7;
    const auto stereo = write({randomBits(samples, 21), modulateSine(samples, kDsd64, 1000.0, 0.5)});
    EXPECT_FALSE(DsfSurrogateReader(write({randomBits(samples, 22)})).usesChannelThread());
    const auto high = write({randomBits(256 * 6'000, 25), randomBits(256 * 6'000, 26)}, 8 * kDsd64);
    for (const auto& path : {stereo, high}) {
        DsfSurrogateReader::allowChannelThreads(false);
        const DsfSurrogateReader single(path);
        DsfSurrogateReader::allowChannelThreads(true);
        const DsfSurrogateReader paired(path);
        EXPECT_FALSE(single.usesChannelThread());
        if (std::thread::hardware_concurrency() >= 2) {
            EXPECT_TRUE(paired.usesChannelThread());
        }
        const std::uint64_t frames = single.frameCount();
        EXPECT_EQ(single.ReadFrames(0, frames), paired.ReadFrames(0, frames)) << path;
        for (std::uint64_t at = 0; at < frames; at += 1024) {
            const std::uint64_t n = std::min<std::uint64_t>(1024, frames - at);
            ASSERT_EQ(single.ReadFrames(at, n), paired.ReadFrames(at, n)) << path << " at " << at;
        }
    }
}

// Positions outside the track read as n AND 1, with the same phase as if the
// file went on (or had started earlier) with that pattern. So extending a file
// with pattern bits at either end must not change a single sample, including
// a last frame that reaches past the end (the count is not a multiple of 32 or
// of 16, so the DSF reader's idle bits must not leak in).
TEST_F(DsfSurrogateTest, EdgesContinueWithThePattern) {
    const std::uint64_t samples = 32 * 3'000 + 7;
    const DsdBitStream music = modulateSine(samples, kDsd64, 440.0, 0.5);
    DsdBitStream longer = music;
    appendPattern(longer, 32 * 100 + 9);
    DsdBitStream earlier;
    appendPattern(earlier, 32 * 50);
    for (std::uint64_t n = 0; n < samples; ++n) earlier.push(music.at(n));

    const DsfSurrogateReader plain(write({music}));
    const DsfSurrogateReader extended(write({longer}, kDsd64, 8));
    const DsfSurrogateReader delayed(write({earlier}));
    ASSERT_EQ(plain.frameCount(), 3'001u);
    const auto expected = plain.ReadFrames(0, plain.frameCount());
    EXPECT_EQ(extended.ReadFrames(0, plain.frameCount()), expected);
    // Shifted by 50 frames, the final stage's blocks fall elsewhere on the
    // frames, which changes rounding only.
    const auto shifted = delayed.ReadFrames(50, plain.frameCount());
    ASSERT_EQ(shifted.size(), expected.size());
    for (std::size_t f = 0; f < expected.size(); ++f) ASSERT_NEAR(shifted[f], expected[f], 1e-14) << f;

    // The pattern itself is silence.
    DsdBitStream pattern;
    appendPattern(pattern, 32 * 100);
    for (const double v : DsfSurrogateReader(write({pattern})).ReadFrames(0, 100)) ASSERT_NEAR(v, 0.0, 1e-8);
}

TEST_F(DsfSurrogateTest, RequestLimits) {
    const std::uint64_t frames = DsfSurrogateReader::kMaxRequestFrames + 1;
    const DsfSurrogateReader reader(write({randomBits(32 * frames, 21)}));
    ASSERT_EQ(reader.frameCount(), frames);
    EXPECT_EQ(reader.ReadFrames(0, frames - 1).size(), frames - 1);
    try {
        (void)reader.ReadFrames(0, frames);
        ADD_FAILURE() << "an oversized request was served";
    } catch (const std::length_error& error) {
        EXPECT_STREQ(error.what(), "DSF projection request must be chunked");
    }
    EXPECT_TRUE(reader.ReadFrames(frames, 0).empty());
    for (const auto& [start, count] : {std::pair<std::uint64_t, std::uint64_t>{frames, 1},
                                       {frames + 1, 0},
                                       {frames - 2, 3},
                                       {~std::uint64_t{0}, 2}}) {
        try {
            (void)reader.ReadFrames(start, count);
            ADD_FAILURE() << start << "+" << count << " was served";
        } catch (const std::out_of_range& error) {
            EXPECT_STREQ(error.what(), "DSF projection outside track");
        }
    }
}

// A 1 kHz tone put into DSD64 comes back as a 1 kHz tone with its amplitude,
// no phase shift (the cascade is linear-phase and centred) and a clean
// residual, measured by a least-squares fit.
TEST_F(DsfSurrogateTest, SineRoundTripThroughDsd64) {
    const std::uint64_t samples = kDsd64 / 5;  // 0.2 s
    const DsfSurrogateReader reader(
        write({modulateSine(samples, kDsd64, 1000.0, 0.5), modulateSine(samples, kDsd64, 1000.0, -0.25)}));
    const auto frames = reader.ReadFrames(0, reader.frameCount());
    const struct {
        std::size_t c;
        double amplitude;
    } expectations[] = {{0, 0.5}, {1, -0.25}};
    for (const auto& e : expectations) {
        const auto x = channel(frames, 2, e.c);
        const SineFit fit = fitSine(x, 1000.0, 88'200.0, 2'000, x.size() - 2'000);
        const double a = fit.a, b = fit.b, d = fit.d;
        const double snrDb = fit.snrDb;
        RecordProperty("snr_db_channel_" + std::to_string(e.c), std::to_string(snrDb));
        EXPECT_NEAR(a, e.amplitude, 0.005 * std::abs(e.amplitude)) << "channel " << e.c;
        EXPECT_NEAR(b, 0.0, 0.003) << "channel " << e.c;
        EXPECT_NEAR(d, 0.0, 1e-3) << "channel " << e.c;
        EXPECT_GT(snrDb, 60.0) << "channel " << e.c;
    }
}

TEST_F(DsfSurrogateTest, ParallelCallersGetTheSameSamples) {
    const std::uint64_t samples = 32 * 20'000;
    const DsfSurrogateReader reader(write({randomBits(samples, 31), randomBits(samples, 32)}));
    const auto expected = reader.ReadFrames(0, reader.frameCount());
    std::vector<std::vector<double>> results(4);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&, t] {
            for (std::uint64_t at = 0; at < reader.frameCount(); at += 1024) {
                const auto piece = reader.ReadFrames(at, std::min<std::uint64_t>(1024, reader.frameCount() - at));
                results[t].insert(results[t].end(), piece.begin(), piece.end());
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (const auto& result : results) EXPECT_EQ(result, expected);
}

}  // namespace
